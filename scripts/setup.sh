#!/usr/bin/env bash
# Installs what building and testing zun_protocol needs on a Debian machine:
# the C/C++ libraries from Debian, the Python tools from PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(g++ pkg-config libsodium-dev libssl-dev)
[ "${ZUN_WITH_CLANG:-0}" = 1 ] && debian_packages+=(clang libclang-rt-14-dev)
debian_packages+=(gcc e2fsprogs)  # queue durability tests: the fault-injection shim, the power-cut file system
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

python3 -m pip install -q --disable-pip-version-check -r requirements-dev.txt
