#!/usr/bin/env bash
# End-to-end: the setup packed as one file (scripts/package.sh), run where the system's Qt,
# libcurl, libplist, libsodium and squashfuse are hidden, from Install to Start Now against the
# release server on loopback, on Xvfb. What it maps must come from its unpacked folder.
# Run by ctest, which points HOME, TMPDIR and the XDG folders into QUORVEL_TEST_TMP.
# Usage: tst_package.sh BUNDLE SAMPLE_DIR SERVER_DIR PORT
set -euo pipefail
bundle=$1 samples=$2 server=$3 port=$4
# shellcheck source=tests/e2e/e2e_common.sh
source "$(dirname "$0")/e2e_common.sh"
if ! unshare -m true 2>/dev/null; then
  echo "SKIP: hiding the system's libraries needs a mount namespace, and unshare -m fails here"
  exit 77
fi
case $(uname -m) in
  aarch64 | arm64) arch=arm64 ;;
  *) arch=x86_64 ;;
esac

run_pid='' setup_pid='' drive_pid='' namespace=''
stop_at_exit='drive_pid setup_pid run_pid'
# At the end, what is left in the setup's mount namespace (a squashfuse never detached, the
# started product) goes, and the namespace's mounts with it.
end_namespace() {
  local p
  [ -n "$namespace" ] && [ "$namespace" != "$(readlink /proc/self/ns/mnt)" ] || return 0
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/ns/mnt" 2>/dev/null)" != "$namespace" ] || kill -KILL "${p#/proc/}" 2>/dev/null || true
  done
}
trap 'cleanup; end_namespace' EXIT

packed=$work/QuorvelSetup.run
bash "$scripts/package.sh" --bundle "$bundle" --out "$packed" || fail "packing failed"

# What a desktop without them lacks: each hidden by an empty file or folder bound over it. As
# root the disk-image stand-in would fall back to a loop mount: mount(8) goes too, last, so that
# the image mounts only through the carried squashfuse.
: >"$work/empty"
mkdir -p "$work/empty.d"
mapfile -t hidden < <(find /usr/lib* -maxdepth 3 -type d -path '*/qt6/plugins' 2>/dev/null
  find /usr/lib* -type f \( -name 'libQt6*.so*' -o -name 'libcurl*.so*' -o -name 'libplist*.so*' \
    -o -name 'libsodium*.so*' -o -name 'libsquashfuse*.so*' \) 2>/dev/null)
[ ${#hidden[@]} -gt 5 ] || fail "found no system Qt to hide"
hidden+=(/usr/bin/squashfuse)
[ "$(id -u)" -ne 0 ] || hidden+=("$(realpath /bin/mount)")
# shellcheck disable=SC2016 # expanded by the inner shell
hide='for f in "${@:2:$1}"; do
    if [ -d "$f" ]; then mount --bind "$0.d" "$f"; else mount --bind "$0" "$f"; fi || exit 125
  done
  shift $(($1 + 1))
  exec "$@"'

bash "$scripts/release-server.sh" cert "$server"
bash "$scripts/release-server.sh" start "$server" "$port" "$samples" "$work/server-logs"
start_xvfb "$work/xvfb"
unshare -m --propagation private bash -c "$hide" "$work/empty" ${#hidden[@]} "${hidden[@]}" \
  sh "$packed" >"$work/setup-output.txt" 2>&1 &
run_pid=$!
# The packed file unpacks, then starts the setup as its child.
for _ in $(seq 150); do
  setup_pid=$(pgrep -P "$run_pid" -x quorvel-setup || true)
  [ -n "$setup_pid" ] || ! kill -0 "$run_pid" 2>/dev/null || { sleep 0.1; continue; }
  break
done
[ -n "$setup_pid" ] || { cat "$work/setup-output.txt" >&2; fail "the packed setup did not start, or ended at once"; }
unpacked=$(dirname "$(readlink "/proc/$setup_pid/exe")")
namespace=$(readlink "/proc/$setup_pid/ns/mnt")
window=$(wait_for_window "$setup_pid" 20) || { cat "$work/setup-output.txt" >&2; fail "no window"; }
echo "ok: the packed setup's window came up, from $unpacked"

# By now Qt has loaded its platform plugin, and the libraries it links are all mapped.
maps=$(awk '$6 ~ /\.so/ {print $6}' "/proc/$setup_pid/maps" | sort -u)
check "the setup maps none of the system's Qt, libcurl, libplist or libsodium" \
  test -z "$(grep -E '^(/usr)?/lib[^ ]*/(libQt6|libcurl|libplist|libsodium|qt6/plugins/)' <<<"$maps")"
for lib in lib/libQt6Core lib/libQt6Widgets lib/libQt6XcbQpa lib/libcurl lib/libplist \
  lib/libsodium lib/libicuuc plugins/platforms/libqxcb.so; do
  check "the setup maps $lib from its unpacked folder" grep -q "^$unpacked/$lib" <<<"$maps"
done

bash "$scripts/drive-setup.sh" "$window" "$log" "$folder" "$work/screens" &
drive_pid=$!
wait "$drive_pid"
drive_pid=
wait_for_exit "$setup_pid" 20 || fail "the setup did not end within 20 s of Start Now"
setup_pid=
wait "$run_pid" || fail "the packed setup ended with status $?"
run_pid=

check "the signature was checked with the carried libsodium" grep -q '  DL: signature verified$' "$log"
check "the carried squashfuse mounted the image and the setup installed it" \
  grep -qF "  FLOW: install SUCCESS, app=$folder/Quorvel.app" "$log"
check "the product is in the install folder" test -x "$folder/Quorvel.app/AppRun"
check "Start Now started the installed product" wait_for_line "$XDG_STATE_HOME/quorvel/started" \
  "started from $(ere "$folder")/Quorvel\.app/usr/bin \($arch\)$" 5
check "the unpacked folder was removed" test ! -e "$unpacked"

finish
