#!/usr/bin/env bash
# Drives a running setup from its main view to Start Now with xdotool, as a person would:
# opens the settings, replaces the install folder, presses Install, waits for the finish view
# and presses Start Now. Takes a screenshot of each screen on the way. Returns when Start
# Now has been pressed and logged; the caller waits for the setup to end. With --keys it uses
# the keyboard alone, as a person without a pointer would.
# Usage: DISPLAY=:N scripts/drive-setup.sh [--keys] WINDOW LOG FOLDER OUT_DIR
#   WINDOW   X id of the setup's window (no window manager: the window is its client area)
#   LOG      the setup's diagnostic log
#   FOLDER   the install folder to type in
#   OUT_DIR  receives 1-main.png, 2-settings.png, 3-install.png, 4-finish.png
set -euo pipefail
keys=no
[ "${1:-}" != --keys ] || { keys=yes; shift; }
[ $# -eq 4 ] || { sed -n 's/^# Usage: /usage: /p' "$0" >&2; exit 2; }
wid=$1 log=$2 folder=$3 out=$4
# shellcheck source=scripts/headless.sh
source "$(dirname "$0")/headless.sh"
mkdir -p "$out"
pid=$(xdotool getwindowpid "$wid")

click() { xdotool mousemove --window "$wid" "$1" "$2" click 1; }

shot() { # name: the pointer leaves the controls first, so no hover colour shows
  [ "$keys" = yes ] || xdotool mousemove --window "$wid" 2 2
  sleep 0.3
  import -silent -window "$wid" "$out/$1.png"
}

wait_for_height() {
  local _
  for _ in $(seq 50); do
    [ "$(xdotool getwindowgeometry --shell "$wid" | sed -n 's/^HEIGHT=//p')" = "$1" ] && return
    sleep 0.1
  done
  echo "drive-setup: the window did not become $1 pixels high" >&2
  return 1
}

fail() {
  echo "drive-setup: $1; the log ends with:" >&2
  tail -n 5 "$log" | sed 's/^/  /' >&2
  exit 1
}

wait_for_line "$log" '  UI: window visible=' 15 "$pid" || fail "the window did not come up"
shot 1-main

# The focus starts on Install; Tab goes round to the accept box, the two agreement links and
# Install Setting, then into the settings: the language list and the folder field.
if [ "$keys" = yes ]; then xdotool key Tab Tab Tab Tab Return; else click 590 338; fi
wait_for_height 516
shot 2-settings

if [ "$keys" = yes ]; then xdotool key Tab Tab; else click 271 474; fi
xdotool key ctrl+a
xdotool type --delay 10 "$folder"
# Read the field back: a wrong folder must never reach Install (its default is ~/Applications).
xdotool key ctrl+a ctrl+c End
typed=$(timeout 5 xclip -o -selection clipboard 2>/dev/null || true)
[ "$typed" = "$folder" ] || fail "the folder field holds \"$typed\", not \"$folder\""

if [ "$keys" = yes ]; then xdotool key Return; else click 320 232; fi # Install
wait_for_line "$log" '  FLOW: Install clicked, dir=' 5 "$pid" || fail "Install did not start"
wait_for_height 368
shot 3-install

wait_for_line "$log" '  FLOW: (install SUCCESS|failure shown to user|download FAILED .*giving up)' 60 "$pid" ||
  fail "the install did not end"
grep -q '  FLOW: install SUCCESS' "$log" || fail "the install failed"
shot 4-finish

if [ "$keys" = yes ]; then xdotool key Return; else click 320 232; fi # Start Now
wait_for_line "$log" '  FLOW: Start Now, launching ' 5 "$pid" || fail "Start Now did nothing"
