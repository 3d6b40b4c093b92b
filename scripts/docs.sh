#!/usr/bin/env bash
# The documentation pass: builds the site of docs/ into docs/_build/html, every warning an error
# and nothing fetched from the network, then runs docs/tests/: every Python block of the pages,
# the reference's completeness against the installed module, and the built site opened in
# headless Chromium (screenshots under docs/_build/screenshots/). Prints how long each part took.
# Needs the module installed (python3 -m pip install . or the set-up command of README.md);
# installs requirements-docs.txt, and Chromium from Debian when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

ZUN_DOCS_TOOLS=1 ./scripts/setup.sh
python3 -m pip install -q --disable-pip-version-check -r requirements-docs.txt
if ! python3 -c "import zun_protocol" 2>/dev/null; then
    echo "docs.sh: zun_protocol is not installed for $(command -v python3); install it first: python3 -m pip install ." >&2
    exit 2
fi

seconds() { awk -v from="$1" -v to="$2" 'BEGIN { printf "%.1f", to - from }'; }
rm -rf docs/_build docs/_generated
started=$EPOCHREALTIME
python3 -m sphinx -W --keep-going -E -q -b html docs docs/_build/html
built=$EPOCHREALTIME
status=0
python3 -X dev -m pytest -q -p no:cacheprovider docs/tests "$@" || status=$?
tested=$EPOCHREALTIME
printf 'docs: site built in %.1f s, pages and browser tests in %.1f s; screenshots in docs/_build/screenshots/\n' \
    "$(seconds "$started" "$built")" "$(seconds "$built" "$tested")"
exit $status
