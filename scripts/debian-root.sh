#!/usr/bin/env bash
# Debian roots made by debootstrap, kept under the user's cache directory, for the passes that
# test on another release or architecture than the machine's own:
#
#   scripts/debian-root.sh make SUITE [--arch ARCH] [--include PKG,PKG...]
#       makes the root once per machine (or finds it) and prints its path
#   scripts/debian-root.sh run ROOT [--bind HOST-DIR DIR]... [--env NAME=VALUE]... [--user NAME] -- COMMAND...
#       runs COMMAND in ROOT, with /proc, /sys, /dev, an empty /tmp and the given directories
#
# A root is named after its suite, architecture and package list: `make` returns what
# debootstrap left (its minbase variant, with the packages asked for), and whoever changes a
# root afterwards owns that change (the aarch64 pass adds its venv; the newcomer pass works in a
# copy of the pristine root, gone when it ends). Debian unstable's Release file may be older
# than its validity window on a mirror: apt in those roots does not check it. Needs root.
set -euo pipefail

mirror=${ZUN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=${XDG_CACHE_HOME:-$HOME/.cache}/zun_protocol/roots

usage() {
    sed -n '4,7p' "$0" | sed 's/^# \{0,3\}//' >&2
    exit 2
}

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: debian-root.sh $1 needs root (debootstrap, chroot, mount)" >&2
        exit 1
    fi
}

make_root() {
    local suite=${1:-} arch include=""
    [ -n "$suite" ] || usage
    shift
    arch=$(dpkg --print-architecture)
    while [ $# -gt 0 ]; do
        case $1 in
            --arch) arch=${2:?--arch needs a Debian architecture}; shift 2 ;;
            --include) include=${2:?--include needs a package list}; shift 2 ;;
            *) usage ;;
        esac
    done
    need_root make
    local name=debian-$suite-$arch-minbase
    [ -n "$include" ] && name+=-$(tr ',' '\n' <<<"$include" | sort -u | paste -sd, | sha256sum | cut -c1-12)
    local root=$cache/$name
    mkdir -p "$cache"
    exec 7>"$cache/.make-$name.lock"
    flock 7  # a root is made once, by whoever comes first
    if [ ! -f "$root/.complete" ]; then
        echo "debian-root: making $name (${include:-minbase alone}; once per machine)" >&2
        local start=$SECONDS options=(--variant=minbase --arch="$arch")
        [ -n "$include" ] && options+=(--include="$include")
        rm -rf "$root" "$root.tmp"
        if ! debootstrap "${options[@]}" "$suite" "$root.tmp" "$mirror" >"$cache/$name.log" 2>&1; then
            tail -n 30 "$cache/$name.log" >&2
            exit 1
        fi
        case $suite in
            sid | unstable)
                echo 'Acquire::Check-Valid-Until "false";' >"$root.tmp/etc/apt/apt.conf.d/90zun-valid-until" ;;
        esac
        # What debootstrap downloaded is installed: the packages' files and the lists go.
        rm -rf "$root.tmp"/var/cache/apt/archives/*.deb "$root.tmp"/var/lib/apt/lists/*
        touch "$root.tmp/.complete"
        mv "$root.tmp" "$root"
        echo "debian-root: $name made in $((SECONDS - start)) s" >&2
    fi
    echo "$root"
}

run_in_root() {
    local root=${1:-} binds=() environment=() user=""
    [ -d "$root" ] || usage
    shift
    while [ $# -gt 0 ]; do
        case $1 in
            --bind) binds+=("${2:?}" "${3:?}"); shift 3 ;;
            --env) environment+=("${2:?}"); shift 2 ;;
            --user) user=${2:?}; shift 2 ;;
            --) shift; break ;;
            *) usage ;;
        esac
    done
    [ $# -gt 0 ] || usage
    need_root run
    local home=/root as_user=()
    if [ -n "$user" ]; then
        home=$(awk -F: -v user="$user" '$1 == user { print $6 }' "$root/etc/passwd")
        if [ -z "$home" ]; then echo "error: $root has no user $user" >&2; exit 1; fi
        as_user=(/usr/sbin/runuser -u "$user" --)
    fi
    # pip in the root trusts what this machine trusts (a proxy's certificate authority, say).
    local ca=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
    local command=("${as_user[@]}" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
                   HOME="$home" ${user:+USER=$user} LANG=C.UTF-8 ${CI:+CI=$CI}
                   PIP_CERT=/tmp/.host-ca.pem "${environment[@]}" "$@")
    # The mounts live in a namespace of their own and go with it, whatever ends the command.
    unshare --mount --propagation private -- /bin/bash -c '
        set -e
        root=$1 ca=$2 count=$3
        shift 3
        mount -t proc proc "$root/proc"
        mount -t sysfs sysfs "$root/sys"
        mount --rbind /dev "$root/dev"
        mount -t tmpfs tmpfs "$root/tmp"
        if [ -r "$ca" ]; then cp "$ca" "$root/tmp/.host-ca.pem"; fi
        while [ "$count" -gt 0 ]; do
            mkdir -p "$root$2"
            mount --bind "$1" "$root$2"
            shift 2
            count=$((count - 1))
        done
        exec chroot "$root" "$@"' \
        bash "$root" "$ca" $((${#binds[@]} / 2)) "${binds[@]}" "${command[@]}"
}

command=${1:-}
[ $# -gt 0 ] && shift
case $command in
    make) make_root "$@" ;;
    run) run_in_root "$@" ;;
    *) usage ;;
esac
