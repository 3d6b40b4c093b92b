#!/usr/bin/env bash
# Builds and installs the module, then runs every test, in two lanes that share the machine's
# cores (most passes keep one busy).
#   First lane: the memcheck and sanitized-module passes (scripts/memcheck.sh, asan_module.sh,
#   tsan_threads.sh), the Python suite under CPython 3.10 and 3.13 with wheels built by the
#   other one (scripts/cross-python.sh), the documentation site built and opened in headless
#   Chromium (scripts/docs.sh), a newcomer's first steps on a fresh Debian 13
#   (scripts/newcomer.sh), then the main run: the Python suite under `python -X dev`, with the
#   native core programs under ASan/UBSan.
#   Second lane: the fuzz pass (scripts/fuzz.sh), the aarch64 wheel's pass under emulation
#   (scripts/cross-test.sh), the x86_64 wheel's pass under CPython 3.14 and 3.15
#   (scripts/newest-python.sh) and the free-threaded wheel's pass under CPython 3.13t
#   (scripts/free-threaded.sh). Its output goes to build/second-lane.log and is shown when the
#   run ends; either lane failing fails the run, and the first lane failing stops the second.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every group of packages the passes need, installed once here: the passes' own calls then
# find nothing missing, and no two lanes run apt at the same time.
ZUN_TEST_TOOLS=1 ZUN_CROSS_TOOLS=1 ZUN_WHEEL_TOOLS=1 ZUN_PYTHON_BUILD_TOOLS=1 ./scripts/setup.sh
python3 -m pip install -q --disable-pip-version-check -r requirements-dev.txt
# Without build isolation the build directory is reused, here and by the
# wheel checks of the packaging tests, so warnings-as-errors is passed each time:
# on where CI is set, off elsewhere (empty is false to CMake).
python3 -m pip install -q --disable-pip-version-check --force-reinstall --no-deps --no-build-isolation \
    --config-settings=cmake.define.ZUN_WERROR=${CI:+ON} .

mkdir -p build
second_log=build/second-lane.log
# A session of its own, so that the whole lane (pytest, qemu, builds) can be stopped at once.
setsid bash -c 'set -e
    ./scripts/fuzz.sh
    ./scripts/cross-test.sh aarch64
    ./scripts/newest-python.sh
    ./scripts/free-threaded.sh
    echo "second lane: passed"' >"$second_log" 2>&1 </dev/null &
second=$!
second_done=0
finish() {
    [ $second_done = 1 ] || kill -- -"$second" 2>/dev/null || true
    echo "---- second lane (fuzz, aarch64, CPython 3.14 and 3.15, free-threaded) ----"
    cat "$second_log"
}
trap finish EXIT

./scripts/memcheck.sh
./scripts/asan_module.sh
./scripts/tsan_threads.sh
./scripts/cross-python.sh
./scripts/docs.sh
./scripts/newcomer.sh
python3 -X dev -m pytest -q "$@"

status=0
wait "$second" || status=$?
second_done=1
[ $status -eq 0 ] || echo "error: the second lane failed (exit $status); its output follows" >&2
exit $status
