#!/usr/bin/env bash
# Installs what is needed, builds the demo preset and starts the setup against a local release
# server: nginx on https://127.0.0.1:8443, whose CA the demo build alone trusts.
# With a display a person clicks through the setup. Without one (or with --headless) the setup
# runs under Xvfb and is driven from Install to Start Now; OUT_DIR then holds a screenshot of
# each screen, the diagnostic log, the installed bundle, the product's start trace and the
# server's access log. The setup's state (log, temporary files) goes to OUT_DIR either way.
# Usage: scripts/run.sh [--headless | --interactive] [OUT_DIR]   (default build/demo-run/<time>/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=
out=
for arg in "$@"; do
  case $arg in
    --headless) mode=headless ;;
    --interactive) mode=interactive ;;
    -*) sed -n 's/^# Usage: /usage: /p' "$0" >&2; exit 2 ;;
    *) out=$arg ;;
  esac
done
if [ -z "$mode" ]; then
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then mode=interactive; else mode=headless; fi
fi
out=$(realpath -m "${out:-build/demo-run/$(date +%Y%m%d-%H%M%S)}")

bash scripts/install-deps.sh
server=$root/build/demo-server
# The demo preset names $server/ca.pem as the build's only trust anchor.
bash scripts/release-server.sh cert "$server"
cmake --preset demo >/dev/null
cmake --build --preset demo --target quorvel-setup quorvel_tools
setup=$root/build/demo/bundle/quorvel-setup
[ -f build/demo/sample/quorvel.dmg ] || { echo "run: the sample images were not built" >&2; exit 1; }

# shellcheck source=scripts/headless.sh
source scripts/headless.sh
# The install folder exists and is the user's: a missing one would need administrator rights.
mkdir -p "$out/tmp" "$out/state" "$out/Applications"
setup_pid='' drive_pid='' XVFB_PID=''
cleanup() {
  local status=$?
  set +e # every step is tried, whatever failed before
  [ -n "$drive_pid" ] && stop_pid "$drive_pid"
  [ -n "$setup_pid" ] && stop_pid "$setup_pid"
  unmount_below "$out/tmp"
  [ -n "$XVFB_PID" ] && stop_pid "$XVFB_PID"
  bash "$root/scripts/release-server.sh" stop "$server"
  if [ "$mode" = headless ] && [ "$status" -ne 0 ]; then
    echo "run: the headless run did not reach Start Now; what there is is in $out" >&2
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The images go out at 1 KiB/s, so that the few kilobytes of the sample take seconds and the
# progress can be seen.
bash scripts/release-server.sh start "$server" 8443 build/demo/sample "$out" 1k
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1
export XDG_STATE_HOME=$out/state TMPDIR=$out/tmp
log=$out/state/Logs/quorvel-installer.log

if [ "$mode" = interactive ]; then
  echo "run: the setup's log goes to $log"
  echo "run: it installs into ~/Applications and adds a desktop entry; to keep it out of your"
  echo "run: folders, choose e.g. $out/Applications in Install Setting"
  "$setup" &
  setup_pid=$!
  wait "$setup_pid" || true
  setup_pid=
  echo "run: the release server's access log is $out/access.log"
  exit 0
fi

# Headless: nothing of the user's home is read or written.
export HOME=$out/home XDG_CONFIG_HOME=$out/home/.config XDG_CACHE_HOME=$out/home/.cache \
  XDG_DATA_HOME=$out/home/.local/share XDG_RUNTIME_DIR=$out/run QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
start_xvfb "$out/xvfb"
"$setup" >"$out/setup-output.txt" 2>&1 &
setup_pid=$!
window=$(wait_for_window "$setup_pid" 15)
# In the background, so that a signal is handled at once, not after the driver's time-outs.
bash scripts/drive-setup.sh "$window" "$log" "$out/Applications" "$out" &
drive_pid=$!
wait "$drive_pid"
drive_pid=
if ! wait_for_exit "$setup_pid" 20; then
  echo "run: the setup did not end within 20 s of Start Now" >&2
  exit 1
fi
wait "$setup_pid" || { echo "run: the setup ended with status $?" >&2; exit 1; }
setup_pid=
wait_for_line "$out/state/quorvel/started" "started from $out/Applications/Quorvel.app/" 5

cat <<EOF
run: the setup went from Install to Start Now. In $out:
  1-main.png 2-settings.png 3-install.png 4-finish.png   the four screens
  state/Logs/quorvel-installer.log                         the diagnostic log
  Applications/Quorvel.app/                                the installed bundle
  state/quorvel/started                                    the started product's trace
  access.log                                               the release server's access log
EOF
