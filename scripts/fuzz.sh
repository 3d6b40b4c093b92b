#!/usr/bin/env bash
# Builds the record reader's fuzz target with clang (libFuzzer, ASan, UBSan,
# the core instrumented as well) and runs it for a bounded time, starting from
# the committed seeds in fuzz/seeds. New inputs collect in fuzz/corpus
# (ignored by git). Any crash, leak, sanitizer report or failed round trip
# fails the pass; the reproducer is left as build/fuzz/crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/fuzz
seconds=${ZUN_FUZZ_SECONDS:-60}
start=$SECONDS

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DZUN_FUZZ=ON \
    -DZUN_PYTHON_MODULE=OFF -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
cmake --build "$build" -j2 --target fuzz_record_reader >/dev/null
mkdir -p fuzz/corpus
(cd "$build" && UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ./fuzz_record_reader \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    ../../fuzz/corpus ../../fuzz/seeds) >"$build/fuzz.log" 2>&1 || {
    tail -60 "$build/fuzz.log"
    echo "fuzz pass failed"
    exit 1
}
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz.log")
echo "fuzz pass: $runs inputs in ${seconds} s of fuzzing, $(ls fuzz/corpus | wc -l) in the corpus; $((SECONDS - start)) s in all"
