# Sourced first thing by the passes that need root (debootstrap, chroot, mounts): run by a user,
# the pass runs itself again through sudo, with the caller's PATH and pyenv (the interpreters it
# needs), and when it ends gives back to that user what it made in build/ and dist/, which the
# user's own builds go on using. The pass's cache (~/.cache/zun_protocol/) is then root's.
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "error: $(basename "$0") needs root (debootstrap, chroot, mount): run it as root or install sudo" >&2
        exit 1
    fi
    exec sudo env PATH="$PATH" PYENV_ROOT="${PYENV_ROOT:-$HOME/.pyenv}" ${CI:+CI=$CI} \
        ${CMAKE_BUILD_PARALLEL_LEVEL:+CMAKE_BUILD_PARALLEL_LEVEL=$CMAKE_BUILD_PARALLEL_LEVEL} "$0" "$@"
fi
give_back() {
    if [ -n "${SUDO_UID:-}" ] && [ "$SUDO_UID" != 0 ]; then
        chown -R "$SUDO_UID:$SUDO_GID" build dist 2>/dev/null || true
    fi
}
