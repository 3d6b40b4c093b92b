#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.13 (python3.13t, configured with --disable-gil),
# building it the first time:
#   scripts/free-threaded-python.sh              the free-threaded interpreter
#   scripts/free-threaded-python.sh --with-gil   the same source and flags with the lock, which
#                                                the benchmarks hold it against
# Debian's mirror holds no 3.14 source, so 3.13 is the only free-threaded version built here.
#
# The source is Debian 13's python3.13 source package at a pinned version, upstream's tree
# without Debian's patches (they move the install layout to Debian's, which a private prefix
# does not want). The interpreter is kept under the user's cache directory, named after the
# version, the variant and a digest of this script (which holds every flag), beside the static
# libraries of scripts/static-deps.sh, so that later runs on the machine build nothing.
set -euo pipefail
# configure reads these from the environment, and the cache key knows nothing of them.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS LDLIBS LIBS CPP CC CXX PYTHONPATH PYTHONHOME
script=$(realpath "$0")
cd "$(dirname "$0")/.."

variant=t
case ${1:-} in
    "") ;;
    --with-gil) variant=gil ;;
    *) echo "usage: $0 [--with-gil]" >&2; exit 2 ;;
esac

python_version=3.13
source_version=3.13.5-2+deb13u5
debian_suite=trixie
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
# Optimised as a plain `make` does (-O3, no profile-guided build: that would take four times
# as long), a static libpython, no pip in the base (each venv gets its own from ensurepip).
configure_options=(--with-ensurepip=no --without-system-libmpdec)
[ "$variant" = t ] && configure_options+=(--disable-gil)

cache=${XDG_CACHE_HOME:-$HOME/.cache}/zun_protocol
recipe=$(sha256sum "$script" | cut -c1-12)
prefix=$cache/python/cpython-$source_version-$variant-$recipe
executable=$prefix/bin/python$python_version
[ "$variant" = t ] && executable+=t
mkdir -p "$cache/python" "$cache/sources"

exec 9>"$cache/python/.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
    echo "$executable"
    exit 0
fi
start=$SECONDS
ZUN_PYTHON_BUILD_TOOLS=1 ./scripts/setup.sh >&2

# Debian's source package, downloaded once into the shared source cache.
dsc=$cache/sources/python${python_version}_${source_version}.dsc
if [ ! -f "$dsc" ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    # grep reads to the end: with -q it would stop at the first match, and apt-cache, killed
    # by SIGPIPE, would fail the pipeline.
    if ! apt-cache showsrc "python$python_version" 2>/dev/null | grep -x "Version: $source_version" >/dev/null; then
        # A file of its own: scripts/static-deps.sh keeps its own suite in another.
        $sudo tee /etc/apt/sources.list.d/zun-protocol-python-sources.sources >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $debian_suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
        $sudo apt-get update -qq >&2
    fi
    if ! apt-cache showsrc "python$python_version" 2>/dev/null | grep -x "Version: $source_version" >/dev/null; then
        echo "error: Debian no longer serves python$python_version $source_version; it serves:" \
            $(apt-cache showsrc "python$python_version" | sed -n 's/^Version: //p') >&2
        echo "Pin one of those in $script." >&2
        exit 1
    fi
    download=$(mktemp -d "$cache/sources/.download-XXXXXX")
    # As root, apt would hand the download to its unprivileged user, which cannot write here.
    sandbox=()
    [ "$(id -u)" -eq 0 ] && sandbox=(-o APT::Sandbox::User=root)
    (cd "$download" && apt-get source -qq "${sandbox[@]}" --download-only \
        "python$python_version=$source_version" >&2)
    # A .dsc in the cache is taken to have its tarballs beside it: it goes in last.
    find "$download" -mindepth 1 -maxdepth 1 ! -name '*.dsc' -exec mv -t "$cache/sources/" {} +
    mv "$download/$(basename "$dsc")" "$dsc"
    rmdir "$download"
fi

work=$(mktemp -d "$cache/python/.work-XXXXXX")
trap 'rm -rf "$work"' EXIT
if ! dpkg-source --skip-patches -x "$dsc" "$work/src" >"$work/unpack.log" 2>&1; then
    cat "$work/unpack.log" >&2
    echo "error: dpkg-source could not unpack $dsc" >&2
    exit 1
fi

echo "free-threaded-python: CPython $source_version ($variant) into $prefix" >&2
(
    mkdir "$work/build" && cd "$work/build" &&
    "$work/src/configure" --prefix="$prefix" "${configure_options[@]}" >"$work/configure.log" 2>&1 &&
    make -j"$jobs" >"$work/make.log" 2>&1 &&
    make install DESTDIR="$work/destdir" >>"$work/make.log" 2>&1
) || { tail -n 40 "$work"/configure.log "$work"/make.log >&2; exit 1; }

stage=$work/destdir$prefix
# Kept only with the modules that pip and the tests need, and the variant asked for.
PYTHONHOME=$stage "$stage/bin/$(basename "$executable")" -c "import ssl, zlib, ctypes, lzma, bz2, sqlite3, sysconfig
assert bool(sysconfig.get_config_var('Py_GIL_DISABLED')) == ('$variant' == 't')" \
    || { echo "error: the interpreter lacks a module pip or the tests need, or is not the variant asked for" >&2; exit 1; }
printf 'CPython %s (Debian source %s, upstream tree), %s\nconfigure %s\n' "$python_version" \
    "$source_version" "$variant" "${configure_options[*]}" >"$stage/recipe.txt"
touch "$stage/.complete"
rm -rf "$prefix"
mv "$stage" "$prefix"
echo "free-threaded-python: built in $((SECONDS - start)) s" >&2
echo "$executable"
