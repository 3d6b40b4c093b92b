#!/usr/bin/env bash
# Builds and installs the module, then runs every test: the Python suite under
# `python -X dev` and the native core programs under ASan/UBSan, after the
# memcheck, sanitized-module and fuzz passes (scripts/memcheck.sh, asan_module.sh, fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

ZUN_WITH_CLANG=1 ./scripts/setup.sh
# Without build isolation the build directory is reused, here and by the
# wheel checks of the packaging tests.
python3 -m pip install -q --disable-pip-version-check --force-reinstall --no-deps --no-build-isolation \
    --config-settings=cmake.define.ZUN_WERROR=ON .
./scripts/memcheck.sh
./scripts/asan_module.sh
./scripts/fuzz.sh
python3 -X dev -m pytest -q "$@"
