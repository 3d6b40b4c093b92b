#!/usr/bin/env bash
# Prints the path of a CPython X.Y interpreter: pyenv's copy when there is one, else
# pythonX.Y on PATH. Fails, naming the version, when there is none: the runs that need a
# particular interpreter never skip it in silence. X.Yt asks for a free-threaded one the same
# way (pyenv's X.Y.Zt, pythonX.Yt), and for 3.13t, failing those, the one that
# scripts/free-threaded-python.sh builds once and keeps.
set -euo pipefail
version=${1:?usage: python-for.sh X.Y[t]}
minor=${version%t}
variant=${version#"$minor"}  # t: free-threaded
root=${PYENV_ROOT:-$HOME/.pyenv}
if command -v pyenv >/dev/null && prefix=$(pyenv prefix "$version" 2>/dev/null) \
        && [ -x "$prefix/bin/python$version" ]; then
    echo "$prefix/bin/python$version"
    exit 0
fi
for candidate in "$root"/versions/"$minor".*"$variant"/bin/"python$version"; do
    if [ -x "$candidate" ]; then echo "$candidate"; exit 0; fi
done
if command -v "python$version" >/dev/null && "python$version" -c "" 2>/dev/null; then
    command -v "python$version"
    exit 0
fi
[ "$version" = 3.13t ] && exec "$(dirname "$0")/free-threaded-python.sh"
echo "error: CPython $version is needed but was not found (no pyenv version $version, no python$version on PATH)" >&2
exit 1
