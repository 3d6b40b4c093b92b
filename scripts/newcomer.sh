#!/usr/bin/env bash
# The newcomer pass: what a new user of a fresh Debian 13 machine does, as the README says.
#
# A copy of a pristine Debian root (debootstrap's minbase, nothing else: scripts/debian-root.sh
# keeps it) gets a user with sudo, who clones this checkout's HEAD and runs the README's two
# lines for Debian's own python3: the one that makes and enters a venv, then command 1, which
# installs what is missing with scripts/setup.sh, builds and installs the module with its dask
# extra and runs the examples. Whatever setup.sh fails to install, nothing else brings: the
# pass fails. Only apt's downloaded packages are kept between runs; the copy goes at the end.
#
#   scripts/newcomer.sh [--as-root] [SUITE]
# SUITE is trixie (Debian 13) by default; --as-root runs the lines as root instead of the user.
# Needs root for chroot and mounts, or sudo.
set -euo pipefail
. "$(dirname "$0")/as-root.sh"
cd "$(dirname "$0")/.."
who=newcomer
if [ "${1:-}" = --as-root ]; then who=root; shift; fi
suite=${1:-trixie}
start=$SECONDS

# The README's lines, run as they stand there: a change to either must be made in both places.
venv_line="./scripts/setup.sh && python3 -m venv ~/zun-venv && . ~/zun-venv/bin/activate"
command_1="./scripts/setup.sh && python3 -m pip install '.[dask]' && ./scripts/examples.sh"
for line in "$venv_line" "$command_1"; do
    if ! grep -qxF "    $line" README.md; then
        echo "error: README.md no longer has the line: $line" >&2
        exit 1
    fi
done

ZUN_CROSS_TOOLS=1 ./scripts/setup.sh
pristine=$(./scripts/debian-root.sh make "$suite")
cache=$(dirname "$pristine")
debs=$cache/debs-$(basename "$pristine")
mkdir -p "$debs"
exec 9>"$debs/.lock"
flock 9  # one pass at a time uses the downloaded packages

work=$(mktemp -d "${TMPDIR:-/tmp}/zun-newcomer-XXXXXX")
log=$PWD/build/newcomer-$suite.log
mkdir -p build
trap 'rm -rf "$work"; give_back' EXIT
root=$work/root
cp -a "$pristine" "$root"
in_root() { ./scripts/debian-root.sh run "$root" --bind "$debs" /var/cache/apt/archives "$@"; }

# The machine: a user who may use sudo, and the host name in /etc/hosts, as an installer leaves
# them (sudo is the one package added).
in_root --env DEBIAN_FRONTEND=noninteractive -- /bin/sh -c 'apt-get update -qq && apt-get install -y -qq sudo >/dev/null &&
    echo "127.0.1.1 $(uname -n)" >>/etc/hosts && useradd --create-home --shell /bin/bash newcomer &&
    echo "newcomer ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/newcomer'
# The checkout may be the user's who called the pass through sudo.
home=/home/newcomer
[ $who = root ] && home=/root
git -c safe.directory='*' clone -q "$PWD" "$root$home/zun_protocol"
chown -R --reference="$root$home" "$root$home/zun_protocol"
ready=$SECONDS

echo "newcomer: $suite, as $( [ $who = root ] && echo root || echo a user with sudo):" \
    "$venv_line && $command_1" >&2
as_user=()
[ $who = root ] || as_user=(--user "$who")
status=0
in_root "${as_user[@]}" -- /bin/bash -c "set -e; cd ~/zun_protocol; $venv_line && $command_1" \
    >"$log" 2>&1 || status=$?
if [ $status -ne 0 ]; then
    tail -n 60 "$log" >&2
fi
versions=$(in_root -- /bin/sh -c '. /etc/os-release; echo "Debian $VERSION_ID, $(python3 --version),\
 $(gcc --version | head -n1), cmake $(cmake --version | sed -n "s/^cmake version //p"),\
 libssl-dev $(dpkg-query -W -f="\${Version}" libssl-dev)"' 2>/dev/null || true)
echo "newcomer: ${versions:-(versions unavailable)}" >&2
echo "newcomer: pass $( [ $status -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - start)) s" \
    "(root ready $((ready - start)) s, README lines $((SECONDS - ready)) s)" >&2
exit $status
