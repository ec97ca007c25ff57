# Helpers for running the setup on a display of its own; sourced by scripts/run.sh and the
# end-to-end test, not run. Usage: source scripts/headless.sh
# shellcheck shell=bash

# start_xvfb DIR: a new Xvfb on a free display number, reachable only with the cookie in
# DIR/Xauthority. Sets XVFB_PID, and exports DISPLAY and XAUTHORITY.
start_xvfb() {
  local dir=$1 cookie
  mkdir -p "$dir"
  rm -f "$dir/display"
  : >"$dir/Xauthority"
  : >"$dir/Xauthority.server"
  chmod 600 "$dir/Xauthority" "$dir/Xauthority.server"
  cookie=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
  # The server takes every cookie in its file, whatever display number the entry names.
  xauth -q -f "$dir/Xauthority.server" add :0 . "$cookie"
  # -noreset: by default the server resets when its last client goes, and refuses the next
  # client meanwhile.
  Xvfb -displayfd 3 -auth "$dir/Xauthority.server" -nolisten tcp -noreset \
    -screen 0 1280x1024x24 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
  XVFB_PID=$!
  local _
  for _ in $(seq 100); do
    [ -s "$dir/display" ] && break
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  if ! [ -s "$dir/display" ]; then
    echo "Xvfb did not start; see $dir/xvfb.log" >&2
    return 1
  fi
  DISPLAY=":$(cat "$dir/display")"
  export DISPLAY XAUTHORITY="$dir/Xauthority"
  xauth -q -f "$XAUTHORITY" add "$DISPLAY" . "$cookie"
}

# stop_pid PID [SECONDS]: TERM, then KILL after SECONDS (3); waits for a child to be reaped.
stop_pid() {
  local pid=$1 tries=$((${2:-3} * 10)) _
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq "$tries"); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# unmount_below DIR: lazily unmounts what a killed setup left mounted below DIR (its images).
unmount_below() {
  local dir point
  dir=$(realpath -m "$1")
  awk -v dir="$dir/" 'index($5, dir) == 1 {print $5}' /proc/self/mountinfo | sort -r |
  while read -r point; do
    fusermount3 -uz "$point" 2>/dev/null || umount -l "$point" 2>/dev/null || true
  done
}

# wait_for_line LOG REGEX SECONDS [PID]: until a line of LOG matches the extended REGEX;
# fails on time-out, or as soon as PID has ended.
wait_for_line() {
  local log=$1 regex=$2 tries=$(($3 * 10)) pid=${4:-} _
  for _ in $(seq "$tries"); do
    grep -qE -- "$regex" "$log" 2>/dev/null && return 0
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
      echo "the setup ended while waiting for \"$regex\" in $log" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "timed out after $3 s waiting for \"$regex\" in $log" >&2
  return 1
}

# wait_for_window PID SECONDS: prints the id of the setup's visible window "Quorvel".
wait_for_window() {
  local pid=$1 tries=$(($2 * 10)) id _
  for _ in $(seq "$tries"); do
    id=$(xdotool search --onlyvisible --pid "$pid" --name '^Quorvel$' 2>/dev/null | head -1) || true
    [ -n "$id" ] && { echo "$id"; return 0; }
    kill -0 "$pid" 2>/dev/null || { echo "the setup ended before its window showed" >&2; return 1; }
    sleep 0.1
  done
  echo "timed out after $2 s waiting for the setup's window" >&2
  return 1
}

# Waits at most SECONDS for process PID to end by itself; fails when it still runs.
wait_for_exit() {
  local pid=$1 tries=$(($2 * 10))
  for _ in $(seq "$tries"); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  ! kill -0 "$pid" 2>/dev/null
}
