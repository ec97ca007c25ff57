#!/usr/bin/env bash
# Plants realistic faults in the code one at a time, builds, runs the tests that should catch
# each, restores the file, and prints a table: caught, SLIPPED, NOCOMPILE or NOMATCH (the
# planted text no longer appears: the list needs a look). Not part of CI; about half a minute
# a fault. Usage:
#   scripts/plant-faults.sh [--preset dev] [--full] [--who FILE] [scripts/faults/AREA.py...]
# --full runs the whole suite for each fault instead of the tests the list names; --who FILE
# writes, per fault, the tests, rows and check lines that failed (JSON).
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/faults/run.py "$@"
