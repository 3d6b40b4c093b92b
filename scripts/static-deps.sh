#!/usr/bin/env bash
# Builds the static libsodium and libcrypto that a distributable wheel links, for one target
# (x86_64 or aarch64), and prints the directory that holds them: include/, lib/ (with
# libsodium's pkg-config file) and bin/, the compiler wrappers the wheel's own build uses.
#
# Everything is compiled by a pinned Zig toolchain (`ziglang` from PyPI) against the symbols of
# glibc 2.28, from Debian's source packages at pinned versions. The result is kept under the
# user's cache directory, in a directory named after the target, the versions and a digest of
# this script (which holds every flag), so that a later run on the same machine, CI's included,
# builds nothing. A pinned version that Debian's mirror no longer serves fails the run and says
# which versions it serves now.
set -euo pipefail
# OpenSSL's Configure and libsodium's configure read these from the environment, and the
# cache key below knows nothing of them: the flags are this script's alone.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS LDLIBS LIBS CPP CROSS_COMPILE
# Resolved before the cd below, which a relative $0 would not survive.
script=$(realpath "$0")
cd "$(dirname "$0")/.."

target=${1:?usage: static-deps.sh x86_64|aarch64}
case $target in
    x86_64 | aarch64) ;;
    *) echo "error: unknown target '$target' (x86_64 or aarch64)" >&2; exit 2 ;;
esac

zig_version=0.17.1
glibc=2.28
openssl_version=3.0.20-1~deb12u2
sodium_version=1.0.18-1+deb12u1
# The suite the pinned source versions come from (bookworm's own, not its security updates).
debian_suite=bookworm
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# libcrypto with what the module and the time-stamp verification use (digests, Ed25519, RSA
# and PSS, ECDSA on the prime curves, X.509 and its verification, PEM, ASN.1, PKCS#7, CMS, TS),
# and none of: shared libraries, loadable modules and engines (no-dso: nothing is ever loaded
# from a directory), the legacy provider and its ciphers, regional and rarely used algorithms,
# the SSL/TLS protocols, sockets, prompting on a terminal, and reading a configuration file at
# start-up (no-autoload-config: a user's OPENSSL_CONF or openssl.cnf never changes what the
# module does). OPENSSLDIR is /etc/ssl, the system's own; no directory of the build machine
# ends up in the library.
openssl_options=(
    --prefix=/usr/local --openssldir=/etc/ssl --libdir=lib
    no-shared no-dso no-module no-engine no-legacy no-tests no-autoload-config no-ui-console
    no-sock no-async no-ssl no-tls no-dtls no-psk no-srp no-srtp no-nextprotoneg no-ktls
    no-ssl-trace no-multiblock no-idea no-seed no-whirlpool no-bf no-cast no-rc2 no-rc4 no-md4
    no-mdc2 no-aria no-camellia no-sm2 no-sm3 no-sm4 no-gost no-ec2m no-siphash no-blake2 no-cmp
    no-ct no-ocsp no-comp
)
sodium_options=(--disable-shared --enable-static --with-pic --disable-dependency-tracking)

cache=${XDG_CACHE_HOME:-$HOME/.cache}/zun_protocol
recipe=$(sha256sum "$script" | cut -c1-12)
name=$target-linux-gnu.$glibc-zig$zig_version-openssl$openssl_version-sodium$sodium_version-$recipe
prefix=$cache/deps/$name
mkdir -p "$cache/deps" "$cache/sources"

# One build at a time on the machine, whichever run (or pytest session) asked first: builds
# share the toolchain, which the first one installs.
exec 9>"$cache/deps/.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi
start=$SECONDS
ZUN_WHEEL_TOOLS=1 ./scripts/setup.sh >&2

# The toolchain: Zig's C and C++ compilers with their own glibc stubs and libc++.
zig_dir=$cache/zig-$zig_version
if [ ! -x "$zig_dir/ziglang/zig" ]; then
    rm -rf "$zig_dir.tmp"
    "${PYTHON:-python3}" -m pip install -q --disable-pip-version-check --no-deps --target "$zig_dir.tmp" \
        "ziglang==$zig_version" >&2
    rm -rf "$zig_dir"
    mv "$zig_dir.tmp" "$zig_dir"
fi

work=$(mktemp -d "$cache/deps/.work-$target-XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/stage
mkdir -p "$stage/bin"
# The wrappers pin the target, its glibc and the baseline CPU of the architecture (the
# build machine's own extensions would make the wheel crash elsewhere), and turn off the
# trapping sanitizer Zig adds to unoptimised C.
for tool in cc c++; do
    cat >"$stage/bin/$tool" <<EOF
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR='$zig_dir/cache' ZIG_LOCAL_CACHE_DIR='$zig_dir/cache' \\
    exec '$zig_dir/ziglang/zig' $tool -target $target-linux-gnu.$glibc -mcpu=baseline -fno-sanitize=all "\$@"
EOF
done
for tool in ar ranlib; do
    printf "#!/bin/sh\nexec '%s' %s \"\$@\"\n" "$zig_dir/ziglang/zig" "$tool" >"$stage/bin/$tool"
done
chmod +x "$stage/bin/"*

# Debian's source package, downloaded once into the cache and unpacked (patches applied) here.
unpack() {
    local package=$1 version=$2 dsc
    dsc=$cache/sources/${package}_${version}.dsc
    if [ ! -f "$dsc" ]; then
        if ! apt-cache showsrc "$package" 2>/dev/null | grep -qx "Version: $version"; then
            add_source_entry
        fi
        if ! apt-cache showsrc "$package" 2>/dev/null | grep -qx "Version: $version"; then
            echo "error: Debian no longer serves $package $version; it serves:" \
                $(apt-cache showsrc "$package" | sed -n 's/^Version: //p') >&2
            echo "Pin one of those in $script." >&2
            exit 1
        fi
        local download
        download=$(mktemp -d "$cache/sources/.download-XXXXXX")
        # As root, apt would hand the download to its unprivileged user, which cannot write here.
        local sandbox=()
        [ "$(id -u)" -eq 0 ] && sandbox=(-o APT::Sandbox::User=root)
        (cd "$download" && apt-get source -qq "${sandbox[@]}" --download-only "$package=$version" >&2)
        # A .dsc in the cache is taken to have its tarballs beside it: it goes in last.
        find "$download" -mindepth 1 -maxdepth 1 ! -name '*.dsc' -exec mv -t "$cache/sources/" {} +
        mv "$download/$(basename "$dsc")" "$dsc"
        rmdir "$download"
    fi
    if ! dpkg-source -x "$dsc" "$work/$package" >"$work/$package-unpack.log" 2>&1; then
        cat "$work/$package-unpack.log" >&2
        echo "error: dpkg-source could not unpack $dsc" >&2
        exit 1
    fi
}

add_source_entry() {
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo tee /etc/apt/sources.list.d/zun-protocol-sources.sources >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $debian_suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    $sudo apt-get update -qq >&2
}

unpack libsodium "$sodium_version"
unpack openssl "$openssl_version"
export PATH=$stage/bin:$PATH

echo "static-deps: libsodium $sodium_version for $target" >&2
# set -e does not reach into a subshell on the left of ||: each step is chained to the next.
(
    cd "$work/libsodium" &&
    # Debian's upstream tarball is a git export: the configure script is made here, as
    # Debian's own build does.
    autoreconf -fi >"$work/sodium-autoreconf.log" 2>&1 &&
    mkdir build && cd build &&
    ../configure --host="$target-linux-gnu" --prefix="$prefix" "${sodium_options[@]}" \
        CC=cc AR=ar RANLIB=ranlib CFLAGS=-O2 >"$work/sodium-configure.log" 2>&1 &&
    make -s -j"$jobs" >"$work/sodium-make.log" 2>&1 &&
    make -s install DESTDIR="$work/destdir" >>"$work/sodium-make.log" 2>&1
) || { tail -n 40 "$work"/sodium-*.log >&2; exit 1; }
cp -R "$work/destdir$prefix/." "$stage/"
rm -f "$stage/lib/libsodium.la"

echo "static-deps: libcrypto of OpenSSL $openssl_version for $target" >&2
(
    mkdir "$work/openssl-build" && cd "$work/openssl-build" &&
    perl "$work/openssl/Configure" "linux-$target" CC=cc AR=ar RANLIB=ranlib "${openssl_options[@]}" \
        >"$work/openssl-configure.log" 2>&1 &&
    # libcrypto.a alone: no libssl, no programs, no documentation.
    make -s -j"$jobs" build_generated >"$work/openssl-make.log" 2>&1 &&
    make -s -j"$jobs" libcrypto.a >>"$work/openssl-make.log" 2>&1
) || { tail -n 40 "$work"/openssl-*.log >&2; exit 1; }
mkdir -p "$stage/include/openssl"
cp "$work/openssl/include/openssl/"*.h "$work/openssl-build/include/openssl/"*.h "$stage/include/openssl/"
cp "$work/openssl-build/libcrypto.a" "$stage/lib/"

printf 'target %s, glibc %s, zig %s\nopenssl %s: %s\nlibsodium %s: %s\n' "$target" "$glibc" \
    "$zig_version" "$openssl_version" "${openssl_options[*]}" "$sodium_version" "${sodium_options[*]}" \
    >"$stage/recipe.txt"
touch "$stage/.complete"
rm -rf "$prefix"
mv "$stage" "$prefix"
echo "static-deps: $target built in $((SECONDS - start)) s" >&2
echo "$prefix"
