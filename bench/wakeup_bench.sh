#!/usr/bin/env bash
# Main-thread wake-ups per second of the setup's window during a long paced download from a
# loopback HTTPS server, against the same window shown and idle, on the offscreen platform.
# Usage: bench/wakeup_bench.sh path/to/bench_wakeups
set -euo pipefail
driver=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$work/state" "$work/config" "$work/cache" "$work/data" "$work/run"
chmod 700 "$work/run"

echo "wake-up benchmark: the main thread, idle window, then a download paced at 64 KiB every 50 ms"
env -u DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM=offscreen HOME="$work" TMPDIR="$work/tmp" \
  XDG_RUNTIME_DIR="$work/run" XDG_STATE_HOME="$work/state" XDG_CONFIG_HOME="$work/config" \
  XDG_CACHE_HOME="$work/cache" XDG_DATA_HOME="$work/data" no_proxy=127.0.0.1 NO_PROXY=127.0.0.1 \
  "$driver" >"$work/out"
grep -v '^wakeups_' "$work/out"
sed -n 's/^wakeups_download=\([0-9.]*\) wakeups_idle=\([0-9.]*\)$/\1 \2/p' "$work/out" |
  awk '{ printf "wake-ups from sleep per second: download %.1f, idle window %.1f, difference %.1f (target: at most about 10 during the download)\n", $1, $2, $1 - $2 }'
