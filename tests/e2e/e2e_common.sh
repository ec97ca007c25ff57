# What the end-to-end scripts share: a fresh test home, the skip without FUSE, the clean-up
# on exit and the counted checks. Sourced after `setup samples server port` are set; not run.
# shellcheck shell=bash
scripts=$(realpath "$(dirname "${BASH_SOURCE[0]}")/../../scripts")
work=${QUORVEL_TEST_TMP:?run by ctest}
# shellcheck source=scripts/headless.sh
source "$scripts/headless.sh"

if [ "$(id -u)" -ne 0 ] && ! { [ -r /dev/fuse ] && [ -w /dev/fuse ] && command -v fusermount3 >/dev/null; }; then
  echo "SKIP: mounting the image as a user needs read-write /dev/fuse and fusermount3"
  exit 77
fi

# A run killed before its clean-up may have left its server running.
bash "$scripts/release-server.sh" stop "$server"
rm -rf "$work"
log=$XDG_STATE_HOME/Logs/quorvel-installer.log
# The install folder exists and is the user's: a missing one would need administrator rights.
folder=$work/Applications
mkdir -p "$TMPDIR" "$HOME" "$XDG_RUNTIME_DIR" "$folder"
chmod 700 "$XDG_RUNTIME_DIR"
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1
unset WAYLAND_DISPLAY

# The script names in `stop_at_exit` the variables that hold the pids of what it starts, in
# the order they are stopped at the end; an empty one is skipped.
stop_at_exit='' XVFB_PID=''
cleanup() {
  set +e # every step is tried, whatever failed before
  local name
  for name in $stop_at_exit; do [ -n "${!name:-}" ] && stop_pid "${!name}"; done
  unmount_below "$TMPDIR"
  [ -n "$XVFB_PID" ] && stop_pid "$XVFB_PID"
  bash "$scripts/release-server.sh" stop "$server"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() { echo "FAIL: $*" >&2; exit 1; }
ere() { sed 's/[][\.*^$+?(){}|]/\\&/g' <<<"$1"; } # TEXT as a literal in a regular expression
failures=0
check() { # description command...: a failed check is counted, the run goes on
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1" >&2; failures=$((failures + 1)); fi
}
# Ends the script: passed, or failed with the number of failed checks.
finish() {
  [ "$failures" -eq 0 ] || fail "$failures check(s) failed; the setup's files are in $work"
  echo "all checks passed"
}
