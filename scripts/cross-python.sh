#!/usr/bin/env bash
# The one abi3 module must behave the same whichever interpreter compiled it. Builds the wheel
# with the newest supported CPython and runs the Python suite under the oldest, then runs it
# under the newest with the distributable wheel, which the oldest builds. Headers of 3.12 and
# later differ from those of 3.10 and 3.11 in ways that matter (immortal singletons), which a
# build and test by one interpreter cannot show. A missing interpreter fails the run.
#
# The native core programs (tests/*_core.py) and the wheel checks (test_packaging.py) do not
# depend on the interpreter and run once, in the main pytest run. Nor does the memory growth of
# many calls depend on which headers built the module (what the headers change, the counts of
# the immortal singletons, has its own test here): it is measured by the main run and by the
# CPython 3.14/3.15 and free-threaded passes, and here it would take most of the pass's time.
set -euo pipefail
cd "$(dirname "$0")/.."
oldest=3.10
newest=3.13
start=$SECONDS

python_oldest=$(./scripts/python-for.sh "$oldest")
python_newest=$(./scripts/python-for.sh "$newest")

# A venv per interpreter under build/, kept between runs; the module is reinstalled each time.
# Its interpreter's path goes into the variable named third: in a command substitution,
# set -e would not stop the script at a failing step.
venv() {
    local version=$1 python=$2 dir=build/cross-venv-$1
    [ -x "$dir/bin/python" ] || "$python" -m venv "$dir" >&2
    "$dir/bin/python" -m pip install -q --disable-pip-version-check "pytest>=7" "hypothesis>=6" \
        "scikit-build-core>=0.11" >&2
    printf -v "$3" '%s' "$dir/bin/python"
}

run_suite() {
    local python=$1 wheel=$2 label=$3
    "$python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
    echo "cross: $label" >&2
    # --capture=sys leaves the process's own stderr alone, so that an interpreter's fatal
    # error ("deallocating None") reaches the log instead of dying with the captured output.
    if ! "$python" -X dev -m pytest -q -p no:cacheprovider --capture=sys \
            --ignore-glob='tests/*_core.py' --ignore=tests/test_packaging.py \
            --deselect=tests/test_leaks.py::test_no_growth tests; then
        echo "cross: FAILED: $label" >&2
        return 1
    fi
}

venv "$oldest" "$python_oldest" venv_oldest
venv "$newest" "$python_newest" venv_newest

# Built by the newest, run by the oldest. The build directory is kept, with CMake's cached
# options: warnings-as-errors is passed each time, on where CI is set (empty is false).
out=build/cross-wheel-cp${newest/./}
rm -rf "$out"
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} "$venv_newest" -m pip wheel -q \
    --disable-pip-version-check --no-deps --no-build-isolation -w "$out" \
    --config-settings=build-dir=build/cross-cp${newest/./} \
    --config-settings=cmake.define.ZUN_WERROR=${CI:+ON} .
run_suite "$venv_oldest" "$(ls "$out"/zun_protocol-*.whl)" "built by $newest, run by $oldest"

# Built by the oldest (the distributable wheel), run by the newest.
dist=$(./scripts/build-wheel.sh)
run_suite "$venv_newest" "$dist" "built by $oldest ($dist), run by $newest"

echo "cross: both directions passed in $((SECONDS - start)) s" >&2
