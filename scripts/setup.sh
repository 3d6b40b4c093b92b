#!/usr/bin/env bash
# Installs what building zun_protocol needs on a Debian machine: the compiler, CMake,
# pkg-config and the development packages of libsodium and OpenSSL 3. The test tools come
# from requirements-dev.txt, which scripts/test.sh installs; the groups below come with the
# scripts that need them.
set -euo pipefail
cd "$(dirname "$0")/.."

# The openssl command is the local time-stamping authority of examples/anchor_batch.py
# (and of the tests). python3-venv: Debian's own python3 lets pip install into a venv only.
debian_packages=(g++ pkg-config libsodium-dev libssl-dev openssl python3-venv)
# The test command's own tools: valgrind (scripts/memcheck.sh), clang and its
# fuzzer runtime (scripts/fuzz.sh), gcc for the queue's fault-injection shim,
# e2fsprogs for the power-cut file system, strace to see what the wheel's module opens.
[ "${ZUN_TEST_TOOLS:-0}" = 1 ] && debian_packages+=(valgrind clang libclang-rt-14-dev gcc e2fsprogs strace)
# The documentation pass (scripts/docs.sh), part of the test command's tools: headless Chromium
# opens the built site, with a font of known metrics for its screenshots. Both names are the same
# on Debian 12 and 13.
{ [ "${ZUN_TEST_TOOLS:-0}" = 1 ] || [ "${ZUN_DOCS_TOOLS:-0}" = 1 ]; } && debian_packages+=(chromium fonts-liberation)
# The distributable wheels' static libraries (scripts/static-deps.sh): Debian's source
# packages, unpacked by dpkg-source; libsodium's configure script is made by autoreconf.
[ "${ZUN_WHEEL_TOOLS:-0}" = 1 ] && debian_packages+=(dpkg-dev autoconf automake libtool make perl)
# The aarch64 pass (scripts/cross-test.sh): an arm64 Debian root, run under emulation.
[ "${ZUN_CROSS_TOOLS:-0}" = 1 ] && debian_packages+=(qemu-user-static binfmt-support debootstrap)
missing=()
for pkg in "${debian_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
done
command -v cmake >/dev/null || missing+=(cmake)
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
