#!/usr/bin/env bash
# The thread tests against a ThreadSanitizer build of the module: a data race that the module's
# own code takes part in fails the run. The interpreter is not instrumented; libtsan is preloaded
# into it and sees the interpreter lock through the pthread calls it intercepts. The forking and
# exiting tests stay out: ThreadSanitizer does not follow a fork of a threaded process.
set -euo pipefail
cd "$(dirname "$0")/.."
# The interpreter itself, not a launcher script in front of it (pyenv's shims are
# shell scripts, which the tools below would instrument in its place).
python=$(python3 -c "import sys; print(sys.executable)")

build=build/tsan-threads
tsan=$(g++ -print-file-name=libtsan.so)
[ -e "$tsan" ] || { echo "tsan_threads: libtsan.so not found (g++ -print-file-name)" >&2; exit 1; }
started=$SECONDS
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=thread \
    -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j2 >/dev/null
PYTHONPATH="$build" LD_PRELOAD="$tsan" TSAN_OPTIONS="halt_on_error=1 exitcode=66" \
    timeout 600 "$python" -m pytest -q -p no:cacheprovider tests/test_threads.py -k "sharing or sleeping"
echo "tsan_threads: $((SECONDS - started)) s"
