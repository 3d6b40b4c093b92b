#!/usr/bin/env bash
# The pass of the CPython releases after 3.13: the distributable x86_64 wheel (one build with
# CPython 3.10's headers for the 3.10 stable ABI) installed into a venv of CPython 3.14 and one
# of 3.15, and the Python suite run by each as scripts/cross-python.sh runs it: the reference
# stress and the cross-interpreter pickles among it, without the native core programs and the
# wheel checks, which do not depend on the interpreter.
#
# The interpreters are Debian unstable's python3.14 and python3.15 packages, in a Debian root
# (scripts/debian-root.sh) with gcc and the openssl command, which some tests run; it and the
# venvs in it are made once and kept under the user's cache directory. Needs root (chroot,
# mounts); a user's run goes through sudo (scripts/as-root.sh).
set -euo pipefail
. "$(dirname "$0")/as-root.sh"
cd "$(dirname "$0")/.."
trap give_back EXIT
versions=(3.14 3.15)
test_requirements=(pytest==9.2.0 hypothesis==6.170.29 tqdm==4.70.1)
packages=python3.14,python3.14-venv,python3.15,python3.15-venv,gcc,libc6-dev,openssl
start=$SECONDS

ZUN_CROSS_TOOLS=1 ./scripts/setup.sh
# The root first: making it waits on the network while the other pass running beside this one
# may be building the libraries the wheel needs.
root=$(./scripts/debian-root.sh make sid --include "$packages")
rooted=$SECONDS
wheel=$(./scripts/build-wheel.sh)
built=$SECONDS
exec 9>"$root.lock"
flock 9  # one pass at a time owns the root's venvs

work=build/newest-python
rm -rf "$work"
mkdir -p "$work"
cp -R tests examples src pyproject.toml README.md "$work/"
cp "$wheel" "$work/"
work=$(cd "$work" && pwd)
in_root() { ./scripts/debian-root.sh run "$root" --bind "$work" /work -- /bin/sh -c 'cd /work && exec "$@"' sh "$@"; }

status=0
for version in "${versions[@]}"; do
    venv=/opt/venv-$version-$(printf '%s\n' "${test_requirements[@]}" | sha256sum | cut -c1-12)
    if [ ! -f "$root$venv/.complete" ]; then
        echo "newest-python: making the root's $version venv" >&2
        rm -rf "$root$venv"
        in_root "python$version" -m venv "$venv"
        in_root "$venv/bin/python" -m pip install -q --disable-pip-version-check "${test_requirements[@]}"
        touch "$root$venv/.complete"
    fi
    in_root "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps \
        --force-reinstall "/work/$(basename "$wheel")"
    label="$(in_root "$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    label+=" (Debian unstable's python$version $(in_root dpkg-query -W -f='${Version}' "python$version"))"
    echo "newest-python: $label, $(basename "$wheel")" >&2
    # --capture=sys: an interpreter's fatal error reaches the log instead of dying with the output.
    if ! in_root "$venv/bin/python" -X dev -m pytest -q -p no:cacheprovider --capture=sys \
            --ignore-glob='tests/*_core.py' --ignore=tests/test_packaging.py tests; then
        echo "newest-python: FAILED under $label" >&2
        status=1
    fi
done
echo "newest-python: CPython ${versions[*]} pass $( [ $status -eq 0 ] && echo passed || echo FAILED)" \
    "in $((SECONDS - start)) s (root $((rooted - start)) s, wheel $((built - rooted)) s)" >&2
exit $status
