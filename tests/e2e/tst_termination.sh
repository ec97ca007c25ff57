#!/usr/bin/env bash
# The real setup told to end (SIGTERM) in each of its states, with nobody there to answer: it
# ends by itself within its bound, with status 0, and leaves no private folder (with the partial
# image in it) and no mount behind. Run by ctest like tst_e2e.sh, on the same port.
# Usage: tst_termination.sh SETUP SAMPLE_DIR SERVER_DIR PORT
set -euo pipefail
setup=$1 samples=$2 server=$3 port=$4
# shellcheck source=tests/e2e/e2e_common.sh
source "$(dirname "$0")/e2e_common.sh"

# A copy of the setup whose image attaches slowly, so that an end can find it installing, and
# whose hdiutil VERB waits while $work/hold-VERB exists.
bundle=$(dirname "$setup") slow=$work/slow-bundle
mkdir -p "$slow/libexec"
cp "$setup" "$slow/quorvel-setup"
ln -s "$(realpath "$bundle/Resources")" "$slow/Resources"
for tool in "$bundle"/libexec/*; do
  ln -s "$(realpath "$tool")" "$slow/libexec/$(basename "$tool")"
done
rm "$slow/libexec/hdiutil"
printf '#!/bin/sh\n[ "$1" = attach ] && sleep 3\nwhile [ -e "%s/hold-$1" ]; do sleep 0.1; done\nexec "%s" "$@"\n' \
  "$work" "$(realpath "$bundle/libexec/hdiutil")" >"$slow/libexec/hdiutil"
chmod +x "$slow/libexec/hdiutil"

setup_pid=''
stop_at_exit=setup_pid
server() { # RATE, or "stop"
  if [ "$1" = stop ]; then
    bash "$scripts/release-server.sh" stop "$server"
  else
    bash "$scripts/release-server.sh" start "$server" "$port" "$samples" "$work/server-logs" "$1"
  fi
}
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
start() { # BINARY: a fresh setup, its window shown
  mark=$({ wc -l <"$log"; } 2>/dev/null || echo 0)
  "$1" >>"$work/setup-output.txt" 2>&1 &
  setup_pid=$!
  window=$(wait_for_window "$setup_pid" 15)
  wait_logged 'UI: window visible=.*' 15
}
install() { # opens the settings, types the install folder and presses Install
  click 590 338
  sleep 1
  click 271 474
  xdotool key ctrl+a
  xdotool type --delay 10 "$folder"
  click 320 232
  wait_logged 'FLOW: Install clicked, dir=.*' 5
}
logged() { # REGEX: a line of this run's log, after the timestamp, matches
  # grep reads to the end: a grep -q that left early would fail tail, and with it the pipe.
  tail -n +"$((mark + 1))" "$log" | grep -E "^.{23}  $1\$" >/dev/null
}
wait_logged() { # REGEX SECONDS: until this run logs such a line; fails when the setup ends
  local _
  for _ in $(seq "$(($2 * 10))"); do
    logged "$1" && return 0
    kill -0 "$setup_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "no line \"$1\" within $2 s" >&2
  return 1
}
answered() { # EVENT: the release server answered both its posts in full
  [ "$(grep -F "\\\"name\\\":\\\"$1\\\"" "$work/server-logs/access.log" |
    grep -cF 'completion="OK"')" -eq 2 ]
}
# end NAME SECONDS: SIGTERM now; see ended.
end() {
  kill -TERM "$setup_pid"
  ended "$@"
}
# ended NAME SECONDS [kept]: the setup ends by itself within SECONDS, with status 0, and leaves
# nothing behind; with "kept", its private folder stays.
ended() {
  local name=$1 bound=$2 kept=${3:-} status=0
  if ! wait_for_exit "$setup_pid" "$bound"; then
    echo "FAIL: $name: the setup still runs $bound s after SIGTERM" >&2
    failures=$((failures + 1))
    gdb -p "$setup_pid" -batch -ex 'thread apply all bt 20' >"$work/stuck-$name.txt" 2>&1 || true
    stop_pid "$setup_pid" 1
    setup_pid=
    return
  fi
  wait "$setup_pid" || status=$?
  setup_pid=
  check "$name: ended with status 0" test "$status" -eq 0
  if [ -n "$kept" ]; then
    check "$name: the private folder is left" \
      test -n "$(find "$TMPDIR" -maxdepth 1 -name 'quorvel-setup-*')"
    return
  fi
  check "$name: no private folder is left" \
    test -z "$(find "$TMPDIR" "$XDG_CACHE_HOME" -maxdepth 1 -name 'quorvel-setup-*' 2>/dev/null)"
  check "$name: nothing is left mounted" \
    test -z "$(awk -v d="$TMPDIR/" 'index($5, d) == 1' /proc/self/mountinfo)"
}

start_xvfb "$work/xvfb"
bash "$scripts/release-server.sh" cert "$server"
server 0

# Ready, Finished: nothing is lost by ending, so it ends at once.
start "$setup"
end ready 5
check "ready: ended without a question" logged 'UI: termination requested, nothing to lose'

start "$setup"
install
wait_logged 'FLOW: install SUCCESS, app=.*' 30
end finished 5
check "finished: the product is installed, not started" \
  eval 'test -x "$folder/Quorvel.app/AppRun" && ! test -e "$XDG_STATE_HOME/quorvel/started"'

# Installing: the installation is waited for, then the setup ends without asking.
start "$slow/quorvel-setup"
install
wait_logged 'FLOW: installing Quorvel\.app into .*' 15
end installing 20
check "installing: waited for the installation, which succeeded" eval \
  "logged 'UI: termination requested during the installation' && logged 'FLOW: install SUCCESS, app=.*'"

# Finished while the image is still being detached: the end waits its while for the installer,
# then leaves the private folder, whose name the privileged copy may still use, to a later
# start, which sweeps it.
touch "$work/hold-detach"
start "$slow/quorvel-setup"
install
wait_logged 'INST: detaching .*' 30
end "still detaching" 20 kept
check "still detaching: said why the folder is left" logged 'UI: work still runs at the end; .*'
rm "$work/hold-detach"
for _ in $(seq 50); do
  [ -z "$(awk -v d="$TMPDIR/" 'index($5, d) == 1' /proc/self/mountinfo)" ] && break
  sleep 0.1
done

# Downloading: nobody answers the exit question within 10 s, which counts as OK; this start
# sweeps what the one before left.
server 200
start "$setup"
install
wait_logged 'FLOW: architecture URL -> .*' 5
sleep 1
kill -TERM "$setup_pid"
sleep 9
check "downloading: the question is given its 10 s" kill -0 "$setup_pid"
ended downloading 8
check "downloading: left as when OK is pressed" eval \
  "logged 'UI: exit question unanswered, leaving' && logged 'FLOW: download cancelled, closing' &&
   logged 'GA: event install_cancelled .*'"
check "downloading: the end waited for install_cancelled to be answered" answered install_cancelled

# Waiting to retry: asked as well; it ends when the question goes unanswered or the download
# is given up, whichever comes first. Failed: nothing left to lose.
server stop
start "$setup"
install
wait_logged 'FLOW: auto-retry 1/3 .*' 5
end "waiting to retry" 15
check "waiting to retry: asked" logged 'UI: termination requested, asking'

start "$setup"
install
wait_logged 'FLOW: download FAILED after 3 retries, giving up' 15
end failed 5
check "failed: ended without a question" logged 'UI: termination requested, nothing to lose'

finish
