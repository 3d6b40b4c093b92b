#!/usr/bin/env bash
# Builds and installs the module, then runs every test: the Python suite under
# `python -X dev` and the native core programs under ASan/UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
# Without build isolation the build directory is reused, here and by the
# wheel checks of the packaging tests.
python3 -m pip install -q --disable-pip-version-check --force-reinstall --no-deps --no-build-isolation \
    --config-settings=cmake.define.ZUN_WERROR=ON .
./scripts/tsan_threads.sh
python3 -X dev -m pytest -q "$@"
