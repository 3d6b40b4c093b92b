#!/usr/bin/env bash
# Runs the native core programs and a short walk over the Python module under
# valgrind memcheck, from a debug build, and fails on any error record that has
# a frame in our code. The interpreter's own records are not suppressed by name:
# scripts/memcheck_count.py counts only records with a frame in the module, the
# test programs or this repository's sources, and tallies the rest. Python runs
# with PYTHONMALLOC=malloc so that its small-object allocator does not hide
# reads of freed or uninitialised memory.
set -euo pipefail
cd "$(dirname "$0")/.."
# The interpreter itself, not a launcher script in front of it (pyenv's shims are
# shell scripts, which the tools below would instrument in its place).
python=$(python3 -c "import sys; print(sys.executable)")
repo=$PWD
build=build/memcheck
logs=$build/logs
start=$SECONDS

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZUN_CORE_TESTS=ON -DZUN_PYTHON_MODULE=ON \
    -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j2 >/dev/null
rm -rf "$logs" && mkdir -p "$logs"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

memcheck() {  # memcheck NAME LEAK-KINDS COMMAND... (stdin passes through)
    local name=$1 leaks=$2
    shift 2
    valgrind --tool=memcheck --error-limit=no --track-origins=yes --num-callers=30 \
        --leak-check=full --show-leak-kinds="$leaks" --errors-for-leak-kinds="$leaks" \
        --xml=yes --xml-file="$logs/$name.xml" --log-file="$logs/$name.txt" "$@" >"$logs/$name.out"
}

memcheck test_text definite,indirect "$build/test_text"
memcheck test_anchor_address definite,indirect "$build/test_anchor_address"
# All groups but enumerate_large (enumerate's code at a size that is slow under
# valgrind) and permissions (it needs an unprivileged user); the main run has both.
for group in paths default_dir spill spill_refusals enumerate enumerate_bad_items remove error_texts; do
    mkdir -p "$scratch/$group"
    memcheck "test_queue_store-$group" definite,indirect "$build/test_queue_store" "$group" "$scratch/$group"
done
# Every seed of the fuzz corpus through every record reader.
"$python" - fuzz/seeds >"$scratch/requests" <<'PY'
import base64, pathlib, sys
records = ["ProtocolAddress", "AttestationChain", "PeerIdentityDescriptor", "AnchorReceipt",
           "AnchorProof", "SignedEnvelope", "QueuedItem", "InclusionProof", "ConsistencyProof"]
for seed in sorted(pathlib.Path(sys.argv[1]).iterdir()):
    data = base64.b64encode(seed.read_bytes()).decode() or "-"
    for record in records:
        print(f"read\t{record}\t{data}")
PY
memcheck record_probe definite,indirect "$build/record_probe" <"$scratch/requests"
printf '%s\n' "pubkey $(printf '07%.0s' {1..32})" "sign $(printf '07%.0s' {1..32}) 616263" "generate 00" \
    | memcheck ed25519_probe definite,indirect "$build/ed25519_probe"

PYTHONPATH="$build" PYTHONMALLOC=malloc memcheck python-walk definite "$python" scripts/memcheck_walk.py

"$python" scripts/memcheck_count.py "$repo" "$logs"/*.xml
echo "memcheck pass: $((SECONDS - start)) s"
