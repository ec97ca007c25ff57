#!/usr/bin/env bash
# The whole setup under random faults: RUNS runs (200 by default) of bench/fault_soak.cpp in
# a throwaway home, one progress line per run on stderr, then the figures beside their targets.
# Usage: bench/fault_soak.sh path/to/tst_fault_soak [runs] [seed]
set -euo pipefail
soak=$(realpath "$1")
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/tmp"
HOME=$home TMPDIR=$home/tmp XDG_STATE_HOME=$home/state QUORVEL_TEST_TMP=$home \
  "$soak" --runs "${2:-200}" ${3:+--seed "$3"}
