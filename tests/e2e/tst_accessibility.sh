#!/usr/bin/env bash
# What a screen reader sees: the real setup on Xvfb, against the release server, read and driven
# by an accessibility client (atspi_check.py) on a private session bus with its own
# accessibility bus. Run by ctest like tst_e2e.sh, on the same port.
# Usage: tst_accessibility.sh SETUP SAMPLE_DIR SERVER_DIR PORT
set -euo pipefail
setup=$1 samples=$2 server=$3 port=$4
# shellcheck source=tests/e2e/e2e_common.sh
source "$(dirname "$0")/e2e_common.sh"

bus_pid='' launcher_pid=''
stop_at_exit='launcher_pid bus_pid'
bash "$scripts/release-server.sh" cert "$server"
# Slowed down, so that the install view shows for a few seconds.
bash "$scripts/release-server.sh" start "$server" "$port" "$samples" "$work/server-logs" 512
start_xvfb "$work/xvfb"
dbus-daemon --session --nofork --address="unix:dir=$XDG_RUNTIME_DIR" --print-address=1 \
  >"$work/bus-address" &
bus_pid=$!
for _ in $(seq 50); do [ -s "$work/bus-address" ] && break; sleep 0.1; done
DBUS_SESSION_BUS_ADDRESS=$(head -1 "$work/bus-address")
export DBUS_SESSION_BUS_ADDRESS
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$work/at-spi.txt" 2>&1 &
launcher_pid=$!

# A regular file where a folder should be: the copy fails, administrator rights or not.
touch "$work/file"
/usr/bin/python3 "$(dirname "$0")/atspi_check.py" "$setup" "$folder" "$work/file/Applications" \
  "$work" || failures=$((failures + 1))
finish
