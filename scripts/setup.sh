#!/usr/bin/env bash
# Installs what building zun_protocol needs on a Debian machine (Debian 12 or 13): the compiler,
# CMake, pkg-config, the development packages of libsodium and OpenSSL 3, and the headers of the
# python3 in use when that python3 is Debian's own. The test tools come from
# requirements-dev.txt, which scripts/test.sh installs; the groups below come with the scripts
# that need them. Packages whose names carry a version are chosen by what the release offers.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "error: setup.sh installs Debian packages: run it as root, or install sudo" >&2
        exit 1
    fi
    sudo=sudo
fi
updated=0
apt_update() {
    [ $updated = 1 ] || $sudo apt-get update -qq
    updated=1
}

# The openssl command is the local time-stamping authority of examples/anchor_batch.py
# (and of the tests). python3-venv: Debian's own python3 lets pip install into a venv only.
debian_packages=(g++ pkg-config libsodium-dev libssl-dev openssl python3-venv)
# Debian's python3 (a venv's included, by the interpreter it was made from) builds the module
# with the headers of its own minor version; pyenv's and other builds of CPython carry theirs.
if ! command -v python3 >/dev/null; then
    debian_packages+=(python3 python3-dev)
elif python=$(python3 -c 'import sys; print(sys.base_prefix, "%d.%d" % sys.version_info[:2])') &&
        [ "${python% *}" = /usr ]; then
    debian_packages+=("python${python#* }-dev")
fi
# The test command's own tools: valgrind (scripts/memcheck.sh), clang and its
# fuzzer runtime (scripts/fuzz.sh), gcc for the queue's fault-injection shim,
# e2fsprogs for the power-cut file system, strace to see what the wheel's module opens.
if [ "${ZUN_TEST_TOOLS:-0}" = 1 ]; then
    debian_packages+=(valgrind clang gcc e2fsprogs strace)
    # The fuzzer runtime is the one of the clang that is installed, or of the release's clang.
    if command -v clang >/dev/null; then
        clang_major=$(clang -dumpversion | cut -d. -f1)
    else
        release_clang() {
            apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n1 || true
        }
        clang_major=$(release_clang)
        [ -n "$clang_major" ] || { apt_update; clang_major=$(release_clang); }
    fi
    if [ -z "$clang_major" ]; then
        echo "error: cannot tell which clang this release installs (apt-cache depends clang)" >&2
        exit 1
    fi
    debian_packages+=("libclang-rt-$clang_major-dev")
    # The other interpreters the test command builds with or makes venvs of, where they are
    # Debian's own (Debian 12's python3.11, Debian 13's python3.13).
    for version in 3.10 3.11 3.13; do
        if [ "$(./scripts/python-for.sh "$version" 2>/dev/null)" = "/usr/bin/python$version" ]; then
            debian_packages+=("python$version-dev" "python$version-venv")
        fi
    done
fi
# The documentation pass (scripts/docs.sh), part of the test command's tools: headless Chromium
# opens the built site, with a font of known metrics for its screenshots. Both names are the same
# on Debian 12 and 13.
{ [ "${ZUN_TEST_TOOLS:-0}" = 1 ] || [ "${ZUN_DOCS_TOOLS:-0}" = 1 ]; } && debian_packages+=(chromium fonts-liberation)
# The distributable wheels' static libraries (scripts/static-deps.sh): Debian's source
# packages, unpacked by dpkg-source; libsodium's configure script is made by autoreconf.
[ "${ZUN_WHEEL_TOOLS:-0}" = 1 ] && debian_packages+=(dpkg-dev autoconf automake libtool make perl)
# The free-threaded interpreter (scripts/free-threaded-python.sh): CPython's own build needs.
[ "${ZUN_PYTHON_BUILD_TOOLS:-0}" = 1 ] && debian_packages+=(dpkg-dev gcc make pkg-config libssl-dev
    zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev
    uuid-dev libgdbm-dev libexpat1-dev)
# The passes in Debian roots (scripts/debian-root.sh): the aarch64 one runs under emulation.
[ "${ZUN_CROSS_TOOLS:-0}" = 1 ] && debian_packages+=(qemu-user-static binfmt-support debootstrap)
missing=()
for pkg in "${debian_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
done
command -v cmake >/dev/null || missing+=(cmake)
if [ ${#missing[@]} -gt 0 ]; then
    apt_update
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
