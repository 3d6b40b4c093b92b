#!/usr/bin/env bash
# The aarch64 pass: scripts/cross-test.sh aarch64
#
# Installs the distributable aarch64 wheel into a venv of an arm64 Debian root, which runs
# here under qemu's user-mode emulation, and runs the quickstart and the tests marked
# `portable` (those that need build tools are marked `needs_build_tools` and left out). The
# same selection then runs natively with the x86_64 wheel under the same CPython minor
# version, and the two runs must agree: the same tests with the same outcomes, and the same
# quickstart output.
#
# The root (debootstrap's minbase with python3 and python3-venv, scripts/debian-root.sh) and its
# venv are made once and kept under the user's cache directory. Needs root: debootstrap, chroot
# and mounts (in a mount namespace of their own, gone when the pass ends); a user's run goes
# through sudo (scripts/as-root.sh).
set -euo pipefail
. "$(dirname "$0")/as-root.sh"
cd "$(dirname "$0")/.."
trap give_back EXIT
arch=${1:?usage: cross-test.sh aarch64}
if [ "$arch" != aarch64 ]; then
    echo "error: the only other architecture is aarch64, not '$arch'" >&2
    exit 2
fi
start=$SECONDS

suite=bookworm
python_minor=3.11  # bookworm's python3
test_requirements=(pytest==9.2.0 hypothesis==6.170.27)
selection="portable and not needs_build_tools"

ZUN_CROSS_TOOLS=1 ./scripts/setup.sh

# Emulation: the kernel hands aarch64 programs to qemu. The F flag makes the kernel open
# qemu when the format is registered, so that it need not exist inside the root.
[ -e /proc/sys/fs/binfmt_misc/status ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
binfmt=/proc/sys/fs/binfmt_misc/qemu-aarch64
if [ ! -e "$binfmt" ] || ! grep -qx enabled "$binfmt"; then
    # binfmt-support's name for it (Debian 12), else the systemd-binfmt line (Debian 13's
    # qemu-user-binfmt), written to the kernel as systemd-binfmt would.
    if update-binfmts --display qemu-aarch64 >/dev/null 2>&1; then
        update-binfmts --enable qemu-aarch64
    elif [ -f /usr/lib/binfmt.d/qemu-aarch64.conf ] && [ ! -e "$binfmt" ]; then
        grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf >/proc/sys/fs/binfmt_misc/register
    else
        echo 1 >"$binfmt"
    fi
fi
if ! grep -q '^flags:.*F' "$binfmt"; then
    echo "error: qemu-aarch64 is registered without the F flag; reinstall qemu-user-static" >&2
    exit 1
fi

# The wheels first: building them needs nothing of the arm64 root, whose lock comes after.
aarch64_wheel=$(./scripts/build-wheel.sh --target aarch64)
x86_64_wheel=$(./scripts/build-wheel.sh --target x86_64)
built=$SECONDS

root=$(./scripts/debian-root.sh make "$suite" --arch arm64 --include python3,python3-venv)
venv=/opt/venv-$(printf '%s\n' "${test_requirements[@]}" | sha256sum | cut -c1-12)
exec 9>"$root.lock"
flock 9  # one pass at a time owns the root's venv

work=build/cross-aarch64
rm -rf "$work"
mkdir -p "$work/wheels"
cp -R tests examples pyproject.toml "$work/"
work=$(cd "$work" && pwd)

# Runs a command inside the root, with $work at /work, which is also where it starts.
in_root() { ./scripts/debian-root.sh run "$root" --bind "$work" /work -- /bin/sh -c 'cd /work && exec "$@"' sh "$@"; }

# The test tools, downloaded here for the root's interpreter and installed without a network.
native=$PWD/build/cross-venv-$python_minor
[ -x "$native/bin/python" ] || "$(./scripts/python-for.sh $python_minor)" -m venv "$native"
"$native/bin/python" -m pip install -q --disable-pip-version-check "${test_requirements[@]}"
if [ ! -f "$root$venv/.complete" ]; then
    echo "cross: making the root's test venv" >&2
    rm -rf "$root$venv"
    "$native/bin/python" -m pip download -q --disable-pip-version-check --only-binary=:all: \
        --platform manylinux2014_aarch64 --implementation cp --python-version "$python_minor" \
        --abi "cp${python_minor/./}" -d "$work/wheels" "${test_requirements[@]}"
    in_root /usr/bin/python3 -m venv "$venv"
    in_root "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index \
        --find-links /work/wheels "${test_requirements[@]}"
    touch "$root$venv/.complete"
fi

cp "$aarch64_wheel" "$work/wheels/"
in_root "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps \
    --force-reinstall "/work/wheels/$(basename "$aarch64_wheel")"
"$native/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$x86_64_wheel"

# Only the files that use the marker are collected: the others may import what the root lacks.
mapfile -t files < <(grep -lE 'pytest\.mark\.portable\b' tests/test_*.py)
pytest_args=(-X dev -m pytest -q -p no:cacheprovider --capture=sys -m "$selection")
echo "cross: aarch64 ($(basename "$aarch64_wheel"))" >&2
in_root "$venv/bin/python" -X dev examples/quickstart.py >"$work/quickstart-aarch64.txt"
status=0
in_root "$venv/bin/python" "${pytest_args[@]}" --junit-xml=/work/junit-aarch64.xml "${files[@]}" || status=$?
emulated=$SECONDS

echo "cross: x86_64 ($(basename "$x86_64_wheel"))" >&2
(cd "$work" && "$native/bin/python" -X dev examples/quickstart.py >quickstart-x86_64.txt)
(cd "$work" && "$native/bin/python" "${pytest_args[@]}" --junit-xml=junit-x86_64.xml "${files[@]}") || status=$?

if ! diff -u "$work/quickstart-x86_64.txt" "$work/quickstart-aarch64.txt" >&2; then
    echo "cross: the quickstart printed something else on aarch64" >&2
    status=1
fi
"$native/bin/python" - "$work/junit-x86_64.xml" "$work/junit-aarch64.xml" <<'EOF' || status=1
import sys
import xml.etree.ElementTree as ET

def outcomes(path):
    found = {}
    for case in ET.parse(path).iter("testcase"):
        kinds = [child.tag for child in case if child.tag in ("failure", "error", "skipped")]
        found[f"{case.get('classname')}::{case.get('name')}"] = kinds[0] if kinds else "passed"
    return found

native, emulated = outcomes(sys.argv[1]), outcomes(sys.argv[2])
differ = sorted(name for name in native.keys() | emulated.keys() if native.get(name) != emulated.get(name))
for name in differ:
    print(f"cross: {name}: x86_64 {native.get(name, 'not run')}, aarch64 {emulated.get(name, 'not run')}",
          file=sys.stderr)
counts = {kind: list(emulated.values()).count(kind) for kind in sorted(set(emulated.values()))}
print(f"cross: {len(emulated)} tests on aarch64 {counts}; "
      + ("the same outcomes on x86_64" if not differ else f"{len(differ)} differ from x86_64"), file=sys.stderr)
sys.exit(1 if differ or not emulated else 0)
EOF

echo "cross: aarch64 pass $( [ $status -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - start)) s" \
    "(wheels $((built - start)) s, emulated run $((emulated - built)) s)" >&2
exit $status
