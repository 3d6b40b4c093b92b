#!/usr/bin/env bash
# Builds and installs the module, then runs every test: the passes below, two at a time (CI's
# machine has two cores, and most passes keep one busy), each taken in this order by whichever
# worker is free, the longest first so that neither worker ends long after the other:
#   the aarch64 wheel's pass under emulation (scripts/cross-test.sh), the x86_64 wheel's pass
#   under CPython 3.14 and 3.15 (scripts/newest-python.sh), the Python suite under CPython 3.10
#   and 3.13 with wheels built by the other one (scripts/cross-python.sh), the main run (the
#   Python suite under `python -X dev`, with the native core programs under ASan/UBSan), the
#   free-threaded wheel's pass under CPython 3.13t (scripts/free-threaded.sh), a newcomer's first
#   steps on a fresh Debian 13 (scripts/newcomer.sh), the module built with ASan/UBSan
#   (scripts/asan_module.sh), the memcheck pass (scripts/memcheck.sh), the fuzz pass
#   (scripts/fuzz.sh), the documentation site built and opened in headless Chromium
#   (scripts/docs.sh), and the thread tests under ThreadSanitizer (scripts/tsan_threads.sh).
# Each pass's output goes to build/passes/NAME.log and is printed when the pass ends. A failed
# pass stops no other; the run fails if any failed. Arguments go to the main run's pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every group of packages the passes need, and the Python tools of the main run and the docs
# pass, installed once here: the passes' own calls then find nothing missing, and no two of
# them run apt or pip on the same installation at once.
ZUN_TEST_TOOLS=1 ZUN_CROSS_TOOLS=1 ZUN_WHEEL_TOOLS=1 ZUN_PYTHON_BUILD_TOOLS=1 ./scripts/setup.sh
python3 -m pip install -q --disable-pip-version-check -r requirements-dev.txt -r requirements-docs.txt
# Without build isolation the build directory is reused, here and by the
# wheel checks of the packaging tests, so warnings-as-errors is passed each time:
# on where CI is set, off elsewhere (empty is false to CMake).
python3 -m pip install -q --disable-pip-version-check --force-reinstall --no-deps --no-build-isolation \
    --config-settings=cmake.define.ZUN_WERROR=${CI:+ON} .

passes=(cross-test newest-python cross-python main free-threaded newcomer asan_module memcheck fuzz
        docs tsan_threads)
logs=build/passes
rm -rf "$logs"
mkdir -p "$logs"
# The main run's arguments, quoted for the worker that runs it.
[ $# -eq 0 ] || printf '%q ' "$@" >"$logs/.pytest-args"

# run_pass NAME: one pass, its output kept in its log and printed whole when it ends.
run_pass() {
    local name=$1 log=build/passes/$1.log start=$SECONDS status=0
    case $name in
        main) local -a args=()
              [ ! -f build/passes/.pytest-args ] || eval "args=($(cat build/passes/.pytest-args))"
              python3 -X dev -m pytest -q "${args[@]}" ;;
        cross-test) ./scripts/cross-test.sh aarch64 ;;
        *) "./scripts/$name.sh" ;;
    esac >"$log" 2>&1 </dev/null || status=$?
    {
        echo "==== $name: $([ $status -eq 0 ] && echo passed || echo "FAILED (exit $status)")" \
            "in $((SECONDS - start)) s ===="
        cat "$log"
    } | flock build/passes/.print cat
    [ $status -eq 0 ] || touch "build/passes/$name.failed"
}
export -f run_pass
start=$SECONDS
printf '%s\n' "${passes[@]}" | xargs -P 2 -I{} bash -c 'run_pass "$1"' _ {}

failed=$(cd "$logs" && ls -- *.failed 2>/dev/null | sed 's/\.failed$//' | paste -sd' ' || true)
echo "test.sh: every pass ended in $((SECONDS - start)) s$([ -z "$failed" ] || echo "; FAILED: $failed")"
[ -z "$failed" ]
