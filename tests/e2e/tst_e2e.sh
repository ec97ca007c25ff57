#!/usr/bin/env bash
# End-to-end: the real setup, built against the release server (nginx) on loopback, on Xvfb.
# A second start only raises the first window; then the setup is driven from Install to Start
# Now, and once more by the keyboard alone. Run by ctest, which points HOME, TMPDIR and the XDG folders into QUORVEL_TEST_TMP.
# Usage: tst_e2e.sh SETUP SAMPLE_DIR SERVER_DIR PORT BUNDLE_ID
set -euo pipefail
setup=$1 samples=$2 server=$3 port=$4 bundle_id=$5
# shellcheck source=tests/e2e/e2e_common.sh
source "$(dirname "$0")/e2e_common.sh"
case $(uname -m) in
  aarch64 | arm64) image=quorvel.silicon.dmg arch=arm64 ;;
  *) image=quorvel.dmg arch=x86_64 ;;
esac

setup_pid='' cover_pid='' drive_pid='' killed_pid=''
stop_at_exit='drive_pid setup_pid killed_pid cover_pid'

# top_first A B: A is above B on the screen (xwininfo lists the top-most first). awk reads to
# the end: one that left early could fail xwininfo, and with it the pipe.
top_first() {
  xwininfo -root -children | awk -v a="$(printf '0x%x' "$1")" -v b="$(printf '0x%x' "$2")" \
    'seen {next} $1 == a {print "yes"; seen = 1} $1 == b {seen = 1}' | grep -q yes
}
# A run killed before its clean-up, which leaves its private folder (in killed_folder). It keeps
# its log and its lock apart, so that it is no instance of the setup under test.
killed_run() {
  XDG_STATE_HOME=$work/killed-state "$setup" >>"$work/killed-output.txt" 2>&1 &
  killed_pid=$!
  wait_for_window "$killed_pid" 15 >/dev/null
  kill -KILL "$killed_pid"
  wait "$killed_pid" || true
  killed_pid=
  killed_folder=$(find "$TMPDIR" -maxdepth 1 -name 'quorvel-setup-*')
  [ -d "$killed_folder" ] || fail "a killed run did not leave its folder alone: $killed_folder"
}
# Polls for up to 3 s: the first setup answers the second one's request asynchronously.
eventually() {
  local _
  for _ in $(seq 30); do "$@" && return 0; sleep 0.1; done
  return 1
}

bash "$scripts/release-server.sh" cert "$server"
bash "$scripts/release-server.sh" start "$server" "$port" "$samples" "$work/server-logs"
start_xvfb "$work/xvfb"
# What a run killed before its clean-up left: a start sure to be alone sweeps it.
killed_run
"$setup" >"$work/setup-output.txt" 2>&1 &
setup_pid=$!
window=$(wait_for_window "$setup_pid" 15)
# The first start's events are answered, so nothing else writes to the log meanwhile.
wait_for_line "$log" '  UI: window visible=' 15 "$setup_pid"
wait_for_line "$log" '  GA: setup_run debug/mp/collect ' 10 "$setup_pid"

# A second start, while another window covers the first.
display -title cover -geometry 800x600+0+0 -size 800x600 xc:gray &
cover_pid=$!
cover=$(timeout 10 xdotool search --sync --onlyvisible --name '^cover$' | head -1)
top_first "$cover" "$window" || fail "the cover window is not on top"
cp "$log" "$work/log-before-second-start"
timeout -k 5 15 "$setup" >"$work/second-output.txt" 2>&1 || fail "the second start ended with status $?"
check "a second start writes no log line" cmp -s "$log" "$work/log-before-second-start"
check "a second start raises the first window" eventually top_first "$window" "$cover"
stop_pid "$cover_pid"
cover_pid=

bash "$scripts/drive-setup.sh" "$window" "$log" "$folder" "$work/screens" &
drive_pid=$!
wait "$drive_pid"
drive_pid=
wait_for_exit "$setup_pid" 20 || fail "the setup did not end within 20 s of Start Now"
wait "$setup_pid" || fail "the setup ended with status $?"
setup_pid=

check "the installed product was started from the install folder" \
  wait_for_line "$XDG_STATE_HOME/quorvel/started" "started from $(ere "$folder")/Quorvel\.app/usr/bin \($arch\)$" 5

# in_order LOG REGEX...: each REGEX matches a whole line after the timestamp, in this order.
in_order() {
  local log=$1 after=0 n regex
  shift
  for regex in "$@"; do
    n=$(grep -nE "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}  $regex\$" "$log" |
      cut -d: -f1 | awk -v after="$after" '$1 > after {print; exit}')
    [ -n "$n" ] || { echo "  no line \"$regex\" after line $after" >&2; return 1; }
    after=$n
  done
}
f=$(ere "$folder")
entry=$XDG_DATA_HOME/applications/quorvel.desktop
check "the log holds the run's lines in order" in_order "$log" \
  '======== Quorvel Setup started ========' \
  "UI: ready, language=English, default dir=$(ere "$HOME")/Applications" \
  'GA: event setup_run .*' \
  'UI: window visible=1 key=1 frame=\{\{-?[0-9]+, -?[0-9]+\}, \{640, 368\}\} subviews=16' \
  "FLOW: Install clicked, dir=\"$f\"" \
  "FLOW: architecture URL -> https://127\.0\.0\.1:$port/$(ere "$image")" \
  'DL: .*' \
  'DL: signature verified' \
  'FLOW: download complete' \
  "FLOW: installing Quorvel\.app into $f" \
  'INST: stage .*' \
  "FLOW: install SUCCESS, app=$f/Quorvel\.app" \
  "FLOW: desktop entry written: $(ere "$entry")" \
  "FLOW: Start Now, launching $f/Quorvel\.app"
check "the desktop entry is valid" desktop-file-validate "$entry"
check "the desktop entry starts the installed AppRun" \
  grep -qxF "Exec=$folder/Quorvel.app/AppRun" "$entry"
check "the log starts with its header" grep -qE '^.{23}  ======== Quorvel Setup started ========$' \
  <(head -1 "$log")

access=$work/server-logs/access.log
query='measurement_id=G-E2ETEST&api_secret=e2e-secret'
for event in setup_run install_start install_success; do
  # nginx writes the body's quotes as \". The answers come a second late: install_success's
  # are still on their way when Start Now ends the setup, which waits for them.
  posts=$(grep -F "\\\"name\\\":\\\"$event\\\"" "$access" | grep -F 'completion="OK"' || true)
  check "the analytics stand-in received $event" \
    grep -qF "\"POST /mp/collect?$query HTTP/1.1\" 204 " <<<"$posts"
  check "the validation stand-in received $event" \
    grep -qF "\"POST /debug/mp/collect?$query HTTP/1.1\" 200 " <<<"$posts"
done
check "the image was fetched with the setup's user agent" grep -qF \
  "\"GET /$image HTTP/1.1\" 200 $(stat -c %s "$samples/$image") \"QuorvelOnlineInstaller/1.0\"" "$access"
check "the setup removed its temporary folder and the one a killed run left" \
  test -z "$(find "$TMPDIR" -mindepth 1 -maxdepth 1 -name 'quorvel-setup-*')"
check "nothing is left mounted" test -z "$(awk -v d="$TMPDIR/" 'index($5, d) == 1' /proc/self/mountinfo)"

# The same road with the keyboard alone, into another folder, with a log of its own.
mv "$log" "$work/log-mouse"
keys_folder=$work/Keyboard
mkdir -p "$keys_folder"
"$setup" >"$work/keys-output.txt" 2>&1 &
setup_pid=$!
window=$(wait_for_window "$setup_pid" 15)
bash "$scripts/drive-setup.sh" --keys "$window" "$log" "$keys_folder" "$work/screens-keys" &
drive_pid=$!
wait "$drive_pid"
drive_pid=
wait_for_exit "$setup_pid" 20 || fail "the setup did not end within 20 s of Start Now by keyboard"
wait "$setup_pid" || fail "the setup ended with status $?"
setup_pid=
check "the keyboard alone installs and starts the product" in_order "$log" \
  "FLOW: install SUCCESS, app=$(ere "$keys_folder")/Quorvel\.app" \
  "FLOW: Start Now, launching $(ere "$keys_folder")/Quorvel\.app"
check "the later install's entry replaces the first's" \
  grep -qxF "Exec=$keys_folder/Quorvel.app/AppRun" "$entry"

# A lock folder others may write cannot be trusted: the setup runs, but, unsure it is alone,
# sweeps nothing.
killed_run
mkdir -p "$XDG_STATE_HOME/$bundle_id"
chmod 777 "$XDG_STATE_HOME/$bundle_id"
"$setup" >"$work/unsure-output.txt" 2>&1 &
setup_pid=$!
wait_for_window "$setup_pid" 15 >/dev/null
sleep 1 # the sweep, were there one, runs at once beside the window
check "a start unsure it is alone sweeps nothing" test -d "$killed_folder"
stop_pid "$setup_pid" 0
setup_pid=
chmod 700 "$XDG_STATE_HOME/$bundle_id"

finish
