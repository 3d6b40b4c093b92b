#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan, the core
# instrumented as well) and runs each for a bounded share of the time, starting
# from its committed seeds: the record readers from fuzz/seeds for half, the
# time-stamp reader and verifier from fuzz/seeds-timestamp and the .ots reader,
# merger and upgrader from fuzz/seeds-ots for a quarter each. New inputs
# collect in fuzz/corpus, fuzz/corpus-timestamp and fuzz/corpus-ots (ignored by
# git). Any crash, leak, sanitizer report or failed check fails the pass; the
# reproducer is left as build/fuzz/crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/fuzz
seconds=${ZUN_FUZZ_SECONDS:-60}
start=$SECONDS

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DZUN_FUZZ=ON \
    -DZUN_PYTHON_MODULE=OFF -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
cmake --build "$build" -j2 --target fuzz_record_reader fuzz_timestamp fuzz_ots >/dev/null

# fuzz <target> <seconds> <corpus> <seeds> [libFuzzer options]
fuzz() {
    local target=$1 time=$2 corpus=$3 seeds=$4
    shift 4
    mkdir -p "$corpus"
    (cd "$build" && UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "./$target" \
        -max_total_time="$time" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$@" \
        "../../$corpus" "../../$seeds") >"$build/$target.log" 2>&1 || {
        tail -60 "$build/$target.log"
        echo "fuzz pass failed: $target"
        exit 1
    }
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.log")
    echo "fuzz pass: $target, $runs inputs in ${time} s, $(ls "$corpus" | wc -l) in the corpus"
}

share=$((seconds / 4))
fuzz fuzz_record_reader $((seconds - 2 * share)) fuzz/corpus fuzz/seeds
fuzz fuzz_timestamp "$share" fuzz/corpus-timestamp fuzz/seeds-timestamp -max_len=8192
fuzz fuzz_ots "$share" fuzz/corpus-ots fuzz/seeds-ots -max_len=20000
echo "fuzz pass: $((SECONDS - start)) s in all"
