#!/usr/bin/env bash
# The free-threaded pass: the distributable wheel for CPython 3.13t (scripts/build-wheel.sh
# --python 3.13t, the interpreter from scripts/python-for.sh, which builds and keeps one from
# Debian's source when there is none) installed into a venv of that interpreter, and the Python
# suite run there under `-X dev` with PYTHON_GIL=0, as scripts/newest-python.sh runs it: without
# the native core programs and the wheel checks, which do not depend on the interpreter. The
# eight-thread stress test gets ZUN_STRESS_SECONDS (default 15) instead of its usual second.
#
# Before the suite, the module is imported without PYTHON_GIL and with warnings as errors: an
# interpreter turns the lock back on (with a RuntimeWarning) for a module that does not declare
# that it runs without it, and the pass fails unless the lock is still off.
set -euo pipefail
cd "$(dirname "$0")/.."
version=3.13t
# pytest and hypothesis as the other passes pin them; hypothesis from 6.156 on ships no
# free-threaded wheel and its source distribution needs Rust.
test_requirements=(pytest==9.2.0 hypothesis==6.155.7 tqdm==4.70.1)
start=$SECONDS

python=$(./scripts/python-for.sh "$version")
wheel=$(./scripts/build-wheel.sh --python "$version")
built=$SECONDS

# The venv is the checkout's, made again when the interpreter or the requirements change.
venv=build/free-threaded-$version
key=$(printf '%s\n' "$python" "${test_requirements[@]}" | sha256sum | cut -c1-12)
if [ "$(cat "$venv/.complete" 2>/dev/null)" != "$key" ]; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "${test_requirements[@]}"
    echo "$key" >"$venv/.complete"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps --force-reinstall "$wheel"

label="$("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])') free-threaded, $(basename "$wheel")"
echo "free-threaded: $label" >&2
if ! env -u PYTHON_GIL "$venv/bin/python" -X dev -W error -c '
import sys, sysconfig, zun_protocol
assert sysconfig.get_config_var("Py_GIL_DISABLED"), "not a free-threaded interpreter"
assert not sys._is_gil_enabled(), "importing zun_protocol turned the interpreter lock on"
'; then
    echo "free-threaded: FAILED: the module does not keep the lock off" >&2
    exit 1
fi

status=0
# --capture=sys: an interpreter's fatal error reaches the log instead of dying with the output.
if ! PYTHON_GIL=0 ZUN_STRESS_SECONDS=${ZUN_STRESS_SECONDS:-15} "$venv/bin/python" -X dev -m pytest -q \
        -p no:cacheprovider --capture=sys --ignore-glob='tests/*_core.py' --ignore=tests/test_packaging.py tests; then
    status=1
fi
echo "free-threaded: CPython $label pass $( [ $status -eq 0 ] && echo passed || echo FAILED)" \
    "in $((SECONDS - start)) s (wheel $((built - start)) s)" >&2
exit $status
