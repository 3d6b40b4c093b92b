#!/usr/bin/env bash
# Builds the extension module with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the Python suite against it: every test file except the native core
# programs (sanitized on their own in the main run), the packaging checks (they
# build wheels) and the leak tests (resident-size limits mean nothing under ASan).
# Tests that preload a shim of their own put it after ASan's runtime.
# The uninstrumented interpreter gets the ASan runtime by LD_PRELOAD, with the
# C++ runtime beside it so that ASan finds the real __cxa_throw when it starts;
# leak detection is off because the interpreter keeps memory until exit, and
# PYTHONMALLOC=malloc hands every Python object to ASan's allocator.
set -euo pipefail
cd "$(dirname "$0")/.."
# The interpreter itself, not a launcher script in front of it (pyenv's shims are
# shell scripts, which the tools below would instrument in its place).
python=$(python3 -c "import sys; print(sys.executable)")
build=build/asan-module
start=$SECONDS

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUN_SANITIZE=ON -DZUN_PYTHON_MODULE=ON \
    -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j2 >/dev/null

tests=()
for file in tests/test_*.py; do
    case $file in
        *_core.py | tests/test_packaging.py | tests/test_leaks.py) ;;
        *) tests+=("$file") ;;
    esac
done

export PYTHONPATH=$PWD/$build PYTHONMALLOC=malloc
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The sanitized build, not the installed module, must be the one under test.
"$python" -c "import sys, zun_protocol; sys.exit(not zun_protocol.__file__.startswith(sys.argv[1]))" "$PWD/$build"
"$python" -X dev -m pytest -q -p no:cacheprovider "${tests[@]}" >"$build/pytest.log" 2>&1 || {
    tail -80 "$build/pytest.log"
    echo "sanitized module pass failed"
    exit 1
}
tail -1 "$build/pytest.log"
echo "sanitized module pass: $((SECONDS - start)) s"
