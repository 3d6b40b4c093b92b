#!/usr/bin/env bash
# Runs every example end to end with the installed module: the quickstart, a batch of
# envelopes anchored with a local time-stamping authority (the openssl command, which
# scripts/setup.sh installs), the same batch anchored in Bitcoin through two local
# OpenTimestamps calendars (regtest blocks mined on the spot), and an archive of envelopes audited on Dask worker processes
# (the `dask` extra: pip install '.[dask]'). Each example works in a temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."
for example in quickstart anchor_batch anchor_ots audit_archive; do
    echo "== examples/$example.py"
    python3 "examples/$example.py"
done
