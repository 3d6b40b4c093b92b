#!/usr/bin/env bash
# Builds the static libsodium and libcrypto that a distributable wheel links, for one target
# (x86_64 or aarch64), and prints the directory that holds them: include/, lib/ (with
# libsodium's pkg-config file) and bin/, the compiler wrappers the wheel's own build uses.
#
# Everything is compiled by a pinned Zig toolchain (`ziglang` from PyPI) against the symbols of
# glibc 2.28, from Debian's source packages at pinned versions. The result is kept under the
# user's cache directory, in a directory named after the target, the versions and a digest of
# this script (which holds every flag), so that a later run on the same machine, CI's included,
# builds nothing; entries of earlier recipes go once no build has used them for a day. A pinned
# version that Debian's mirror no longer serves fails the run and says which versions it serves.
set -euo pipefail
# Resolved before the cd below, which a relative $0 would not survive.
script=$(realpath "$0")
# OpenSSL's Configure, libsodium's configure and make read the caller's environment, and the
# cache key below knows nothing of it: the flags are this script's alone.
. "$(dirname "$script")/build-env.sh"
cd "$(dirname "$0")/.."

target=${1:?usage: static-deps.sh x86_64|aarch64}
case $target in
    x86_64 | aarch64) ;;
    *) echo "error: unknown target '$target' (x86_64 or aarch64)" >&2; exit 2 ;;
esac

zig_version=0.17.1
glibc=2.28
# OpenSSL 3.5, the long-term support line, as Debian 13 patches it; libsodium of the same release.
openssl_version=3.5.7-1~deb13u2
sodium_version=1.0.18-1+deb13u1
# Where the pinned versions come from: Debian 13's own suite and its security updates (a
# version moves from the second to the first with a point release), whatever the host's release.
debian_suites=(trixie trixie-security)
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# libcrypto with what the module and the time-stamp verification use (digests, Ed25519, RSA
# and PSS, ECDSA on the prime curves, X.509 and its verification, PEM, ASN.1, PKCS#7, CMS, TS),
# and KECCAK-256 and RIPEMD-160 (OpenTimestamps' digests, checked below once built), and none of:
# shared libraries, loadable modules and engines (no-dso: nothing is ever loaded
# from a directory), the legacy provider and its ciphers, regional and rarely used algorithms,
# the SSL/TLS and QUIC protocols, HTTP, the post-quantum signatures and key exchange (ML-DSA,
# SLH-DSA, ML-KEM: nothing here signs or verifies with them yet), sockets, prompting on a terminal, and reading a configuration file at
# start-up (no-autoload-config: a user's OPENSSL_CONF or openssl.cnf never changes what the
# module does). OPENSSLDIR is /etc/ssl, the system's own; no directory of the build machine
# ends up in the library.
openssl_options=(
    --prefix=/usr/local --openssldir=/etc/ssl --libdir=lib
    no-shared no-dso no-module no-engine no-legacy no-tests no-autoload-config no-ui-console
    no-sock no-async no-ssl no-tls no-dtls no-psk no-srp no-srtp no-nextprotoneg no-ktls
    no-ssl-trace no-multiblock no-idea no-seed no-whirlpool no-bf no-cast no-rc2 no-rc4 no-md4
    no-mdc2 no-aria no-camellia no-sm2 no-sm3 no-sm4 no-gost no-ec2m no-siphash no-blake2 no-cmp
    no-ct no-ocsp no-comp no-quic no-http no-ml-dsa no-ml-kem no-slh-dsa no-argon2 no-thread-pool
    no-integrity-only-ciphers
)
sodium_options=(--disable-shared --enable-static --with-pic --disable-dependency-tracking)

cache=${XDG_CACHE_HOME:-$HOME/.cache}/zun_protocol
recipe=$(cat "$script" "$(dirname "$script")/build-env.sh" | sha256sum | cut -c1-12)
recipe_name=zig$zig_version-openssl$openssl_version-sodium$sodium_version-$recipe
name=$target-linux-gnu.$glibc-$recipe_name
prefix=$cache/deps/$name
mkdir -p "$cache/deps" "$cache/sources"

# One build at a time on the machine, whichever run (or pytest session) asked first: builds
# share the toolchain, which the first one installs.
exec 9>"$cache/deps/.lock"
flock 9

# What the current recipe makes (for either target) stays. An entry of another recipe (another
# pin, flag or toolchain) goes once no build has used it for a day: other checkouts on the machine
# may still build with it. So do the toolchains and source packages that nothing here uses any
# more, and the work directories of killed builds (none runs: this one holds the lock).
prune() {
    local entry stamp version
    rm -rf "$cache"/deps/.work-*
    for entry in "$cache"/deps/*-linux-gnu.*; do
        [ -d "$entry" ] || continue
        case $entry in *-"$recipe_name") continue ;; esac
        stamp=$entry/.used
        [ -e "$stamp" ] || stamp=$entry
        if [ -z "$(find "$stamp" -maxdepth 0 -mmin -1440)" ]; then
            echo "static-deps: removing $(basename "$entry"), unused for a day" >&2
            rm -rf "$entry"
        fi
    done
    for entry in "$cache"/zig-*; do
        [ -d "$entry" ] && [ "$entry" != "$zig_dir" ] || continue
        if ! grep -qsF "$entry/" "$cache"/deps/*/bin/cc; then
            echo "static-deps: removing $(basename "$entry"), which no library build uses" >&2
            rm -rf "$entry"
        fi
    done
    # A source package's files: name_version.dsc, name_version.debian.tar.xz, name_upstream.orig.tar.gz.
    for entry in "$cache"/sources/libsodium_* "$cache"/sources/openssl_*; do
        [ -f "$entry" ] || continue
        version=${entry##*/}
        version=${version#*_}
        version=${version%%.dsc}
        version=${version%%.debian.tar.*}
        version=${version%%.orig.tar.*}
        case $version in "$openssl_version" | "$sodium_version" | "${openssl_version%-*}" | "${sodium_version%-*}") continue ;; esac
        [ -n "$(find "$entry" -maxdepth 0 -mmin -1440)" ] || rm -f "$entry"
    done
}
zig_dir=$cache/zig-$zig_version
prune

if [ -f "$prefix/.complete" ]; then
    touch "$prefix/.used"
    echo "$prefix"
    exit 0
fi
start=$SECONDS
ZUN_WHEEL_TOOLS=1 ./scripts/setup.sh >&2

# The toolchain: Zig's C and C++ compilers with their own glibc stubs and libc++.
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
        if ! apt-cache showsrc "$package" 2>/dev/null | grep -x "Version: $version" >/dev/null; then
            add_source_entry
        fi
        if ! apt-cache showsrc "$package" 2>/dev/null | grep -x "Version: $version" >/dev/null; then
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

# The same entries on any release: the pins are Debian 13's, and only their sources are listed.
add_source_entry() {
    local sudo="" suite main=() security=()
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    for suite in "${debian_suites[@]}"; do
        case $suite in *-security) security+=("$suite") ;; *) main+=("$suite") ;; esac
    done
    $sudo tee /etc/apt/sources.list.d/zun-protocol-sources.sources >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: ${main[*]}
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: ${security[*]}
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

# The digests that later code fetches by name must be in the library, with their values for the
# empty input. Another architecture's program cannot run here: the same configuration built for
# this one stands for it.
if [ "$target" = "$(uname -m)" ]; then
    cat >"$work/digests.c" <<'EOF'
#include <openssl/evp.h>
#include <stdio.h>
int main(void) {
    static const char *const names[] = {"KECCAK-256", "RIPEMD-160", "SHA256"};
    for (size_t i = 0; i < sizeof names / sizeof *names; i++) {
        EVP_MD *md = EVP_MD_fetch(NULL, names[i], NULL);
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (md == NULL || !EVP_Digest("", 0, out, &size, md, NULL)) {
            printf("%s missing\n", names[i]);
            return 1;
        }
        printf("%s ", names[i]);
        for (unsigned int j = 0; j < size; j++) printf("%02x", out[j]);
        printf("\n");
        EVP_MD_free(md);
    }
    return 0;
}
EOF
    "$stage/bin/cc" -I"$stage/include" "$work/digests.c" "$stage/lib/libcrypto.a" -lpthread -ldl \
        -o "$work/digests"
    "$work/digests" >"$work/digests.txt" || true
    if ! diff -u - "$work/digests.txt" >&2 <<'EOF'
KECCAK-256 c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470
RIPEMD-160 9c1185a5c5e9fc54612808977ee8f548b2258d31
SHA256 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855
EOF
    then
        echo "error: the libcrypto built lacks a digest that the module needs (see above)" >&2
        exit 1
    fi
fi

printf 'target %s, glibc %s, zig %s\nopenssl %s: %s\nlibsodium %s: %s\n' "$target" "$glibc" \
    "$zig_version" "$openssl_version" "${openssl_options[*]}" "$sodium_version" "${sodium_options[*]}" \
    >"$stage/recipe.txt"
touch "$stage/.complete"
rm -rf "$prefix"
mv "$stage" "$prefix"
echo "static-deps: $target built in $((SECONDS - start)) s" >&2
echo "$prefix"
