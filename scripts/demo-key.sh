#!/usr/bin/env bash
# Makes the demo signing key once: DIR/minisign.key (no password) and DIR/minisign.pub, with
# which the sample images are signed and the demo and end-to-end builds check them. A stand-in
# for a vendor's key; it signs nothing else.
# Usage: scripts/demo-key.sh DIR
set -euo pipefail
dir=${1:?usage: $0 DIR}
mkdir -p "$dir"
exec 9>"$dir/minisign.lock"
flock 9 # builds of several presets may configure at once
[ -s "$dir/minisign.key" ] && [ -s "$dir/minisign.pub" ] && exit 0
rm -f "$dir/minisign.key" "$dir/minisign.pub"
minisign -G -W -p "$dir/minisign.pub" -s "$dir/minisign.key" >/dev/null
