#!/usr/bin/env bash
# The one-file setup: its size packed with gzip and with xz, and its start-up to a visible window
# against the unpacked bundle's, in paired runs on an Xvfb display of this run's own.
# Usage: bench/package_bench.sh BUNDLE_DIR [rounds]
set -euo pipefail
bundle=$(realpath "$1")
rounds=${2:-5}
root=$(realpath "$(dirname "$0")/..")
export LC_ALL=C.UTF-8 # EPOCHREALTIME and date print a decimal point
work=$(mktemp -d)
XVFB_PID='' run_pid=''
cleanup() {
  set +e # every step is tried, whatever failed before
  [ -n "$run_pid" ] && pkill -KILL -P "$run_pid" 2>/dev/null
  [ -n "$run_pid" ] && kill -KILL "$run_pid" 2>/dev/null && wait "$run_pid" 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# As in startup_bench.sh: each run offline in a network namespace of its own.
if ! unshare -rn true 2>/dev/null; then
  echo "package benchmark skipped: no network namespace (unshare -rn) to keep the setup offline"
  exit 0
fi
for c in gzip xz; do
  bash "$root/scripts/package.sh" --bundle "$bundle" --out "$work/setup-$c.run" "--$c" >/dev/null
done

# shellcheck source=scripts/headless.sh
source "$(dirname "$0")/../scripts/headless.sh"
start_xvfb "$work/xvfb"
display=$DISPLAY

# run NAME COMMAND...: milliseconds from the exec of COMMAND to the setup's own stamp on its
# "UI: window visible" line; the packed file's figure includes its check and unpacking.
run() {
  local name=$1 home line
  shift
  home=$(mktemp -d -p "$work" "$name.XXXXXX")
  mkdir -p "$home/run" "$home/tmp" "$home/state"
  chmod 700 "$home/run"
  # shellcheck disable=SC2016 # the inner shell expands them
  env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY -u SESSION_MANAGER \
    DISPLAY="$display" QT_QPA_PLATFORM=xcb HOME="$home" TMPDIR="$home/tmp" \
    XDG_RUNTIME_DIR="$home/run" XDG_STATE_HOME="$home/state" \
    unshare -rn bash -c 'ip link set lo up && echo "$EPOCHREALTIME" >"$0" && exec "$@"' \
    "$home/start" "$@" >"$home/out" 2>&1 &
  run_pid=$!
  for _ in $(seq 400); do
    line=$(grep -s -m1 '  UI: window visible=' "$home/state/Logs/quorvel-installer.log") && break
    kill -0 "$run_pid" 2>/dev/null || break
    sleep 0.05
  done
  pkill -KILL -P "$run_pid" 2>/dev/null || true # the packed setup runs as a child
  kill -KILL "$run_pid" 2>/dev/null || true
  wait "$run_pid" 2>/dev/null || true
  run_pid=''
  [ -n "${line:-}" ] || { echo "$name: no visible window" >&2; cat "$home/out" >&2; exit 1; }
  awk -v start="$(cat "$home/start")" -v visible="$(date -d "${line:0:23}" +%s.%N)" \
    'BEGIN {printf "%.3f\n", (visible - start) * 1000}'
  rm -rf "$home"
}
median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

echo "package benchmark: $rounds paired rounds on Xvfb, exec to the window shown and active"
run bundle "$bundle/quorvel-setup" >/dev/null # untimed: fills the page and font caches
for _ in $(seq "$rounds"); do
  b=$(run bundle "$bundle/quorvel-setup")
  for c in gzip xz; do
    p=$(run "$c" sh "$work/setup-$c.run")
    echo "$b $p" >>"$work/$c.pairs"
  done
done
for c in gzip xz; do
  awk '{print $2 / $1}' "$work/$c.pairs" | median >"$work/$c.ratio"
  awk -v c=$c -v mib="$(stat -c %s "$work/setup-$c.run")" -v r="$(cat "$work/$c.ratio")" \
    -v b="$(awk '{print $1}' "$work/$c.pairs" | median)" -v p="$(awk '{print $2}' "$work/$c.pairs" | median)" \
    'BEGIN {printf "%-4s %5.1f MiB (target: at most 25), start-up median %.0f ms against %.0f ms unpacked, median ratio %.2f\n", c, mib / 1048576, p, b, r}'
done
