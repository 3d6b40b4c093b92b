#!/usr/bin/env bash
# Builds and installs the module, then runs every test. Before the main run:
# the memcheck, sanitized-module and fuzz passes (scripts/memcheck.sh,
# asan_module.sh, fuzz.sh), the Python suite under CPython 3.10 and 3.13 with
# wheels built by the other one (scripts/cross-python.sh), the aarch64 wheel's
# pass under emulation (scripts/cross-test.sh), the documentation site built and
# opened in headless Chromium (scripts/docs.sh), the x86_64 wheel's pass under
# CPython 3.14 and 3.15 (scripts/newest-python.sh), the free-threaded wheel's pass
# under CPython 3.13t (scripts/free-threaded.sh) and a newcomer's first steps on
# a fresh Debian 13 (scripts/newcomer.sh). The main run is the Python suite under
# `python -X dev`, with the native core programs under ASan/UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

ZUN_TEST_TOOLS=1 ./scripts/setup.sh
python3 -m pip install -q --disable-pip-version-check -r requirements-dev.txt
# Without build isolation the build directory is reused, here and by the
# wheel checks of the packaging tests, so warnings-as-errors is passed each time:
# on where CI is set, off elsewhere (empty is false to CMake).
python3 -m pip install -q --disable-pip-version-check --force-reinstall --no-deps --no-build-isolation \
    --config-settings=cmake.define.ZUN_WERROR=${CI:+ON} .
./scripts/memcheck.sh
./scripts/asan_module.sh
./scripts/tsan_threads.sh
./scripts/fuzz.sh
./scripts/cross-python.sh
./scripts/cross-test.sh aarch64
./scripts/docs.sh
./scripts/newest-python.sh
./scripts/free-threaded.sh
./scripts/newcomer.sh
python3 -X dev -m pytest -q "$@"
