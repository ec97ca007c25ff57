#!/usr/bin/env bash
# Start-up to a visible window: the setup against a minimal Qt Widgets window of the same size,
# both started the same way on an Xvfb display of this run's own, in turn, several rounds.
# Usage: bench/startup_bench.sh path/to/quorvel-setup path/to/bench_minimal_window [rounds]
set -euo pipefail
setup=$(realpath "$1")
minimal=$(realpath "$2")
rounds=${3:-5}
# EPOCHREALTIME and date print a decimal point whatever the user's locale.
export LC_ALL=C.UTF-8
work=$(mktemp -d)
XVFB_PID='' run_pid=''
cleanup() {
  set +e # every step is tried, whatever failed before
  [ -n "$run_pid" ] && kill -KILL "$run_pid" 2>/dev/null && wait "$run_pid" 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The setup sends an analytics event to its real host as it starts: each run gets a network
# namespace in which only loopback exists, the reference too, so that both pay the same.
if ! unshare -rn true 2>/dev/null; then
  echo "start-up benchmark skipped: no network namespace (unshare -rn) to keep the setup offline"
  exit 0
fi

# shellcheck source=scripts/headless.sh
source "$(dirname "$0")/../scripts/headless.sh"
start_xvfb "$work/xvfb"
display=$DISPLAY

# run NAME PROGRAM LINE_FILE: starts PROGRAM with a home of its own and prints the milliseconds
# from its exec to its "UI: window visible" line in LINE_FILE (relative to that home).
# "Start" is the wall clock the wrapper shell reads just before it execs the program; "visible"
# is the stamp the program itself puts on the line when the window became shown and active.
# Both programs stamp in local time truncated to the millisecond, so the figures are fair to
# each other, independent of how fast this script notices the line, and never early.
run() {
  local name=$1 program=$2 home line
  home=$(mktemp -d -p "$work" "$name.XXXXXX")
  mkdir -p "$home/run" "$home/tmp" "$home/state" "$home/config" "$home/cache" "$home/data"
  chmod 700 "$home/run"
  # shellcheck disable=SC2016 # the inner shell expands them
  env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY -u SESSION_MANAGER \
    DISPLAY="$display" QT_QPA_PLATFORM=xcb HOME="$home" TMPDIR="$home/tmp" \
    XDG_RUNTIME_DIR="$home/run" XDG_STATE_HOME="$home/state" XDG_CONFIG_HOME="$home/config" \
    XDG_CACHE_HOME="$home/cache" XDG_DATA_HOME="$home/data" \
    unshare -rn bash -c 'ip link set lo up && echo "$EPOCHREALTIME" >"$0" && exec "$@"' \
    "$home/start" "$program" >"$home/out" 2>&1 &
  run_pid=$!
  for _ in $(seq 300); do
    line=$(grep -s -m1 '  UI: window visible=' "$home/$3") && break
    kill -0 "$run_pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$run_pid" 2>/dev/null || true
  wait "$run_pid" 2>/dev/null || true
  run_pid=''
  [ -n "${line:-}" ] || { echo "$name: no visible window" >&2; cat "$home/out" >&2; exit 1; }
  # Without activation the line comes from the one-second fallback, which measures nothing.
  [[ $line == *" key=1"* ]] || { echo "$name: window never became active: $line" >&2; exit 1; }
  awk -v start="$(cat "$home/start")" -v visible="$(date -d "${line:0:23}" +%s.%N)" \
    'BEGIN {printf "%.3f\n", (visible - start) * 1000}'
  rm -rf "$home"
}
run_setup() { run setup "$setup" state/Logs/quorvel-installer.log; }
run_minimal() { run minimal "$minimal" out; }

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

echo "start-up benchmark: $rounds rounds on Xvfb, exec to the window shown and active"
# Untimed: the first start of each fills the page cache and font caches for the others.
run_setup >/dev/null
run_minimal >/dev/null
# Alternate who goes first, so that neither always follows the other.
for round in $(seq "$rounds"); do
  if [ $((round % 2)) -eq 1 ]; then
    run_setup >>"$work/setup.ms"; run_minimal >>"$work/minimal.ms"
  else
    run_minimal >>"$work/minimal.ms"; run_setup >>"$work/setup.ms"
  fi
done
ours=$(median <"$work/setup.ms")
ref=$(median <"$work/minimal.ms")
runs() { awk '{printf "%s%.1f", (NR > 1 ? " " : ""), $1}' "$1"; }
awk -v o="$ours" -v r="$ref" -v os="$(runs "$work/setup.ms")" -v rs="$(runs "$work/minimal.ms")" '
  BEGIN {
    printf "setup   median %6.1f ms (runs: %s)\n", o, os
    printf "minimal median %6.1f ms (runs: %s)\n", r, rs
    printf "start-up ratio setup/minimal %.2f (target: at most 1.5)\n", o / r }'
