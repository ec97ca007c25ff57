#!/usr/bin/env bash
# Renders the window's four views (main, main with settings open, install, finish), and the
# install view waiting for the network, in each of the nine languages to OUT_DIR/LANG-VIEW.png,
# and all 45 side by side, labelled, to OUT_DIR/all.png, so that a person can check every text
# of every view at one glance.
# Not a test. Usage: scripts/screenshots.sh OUT_DIR
set -euo pipefail
out=$(realpath -m "${1:?usage: $0 OUT_DIR}")
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target quorvel-screenshots
# The setup's log lines of this run go to a throwaway folder, not to the user's log.
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
# The offscreen platform warns that it cannot pass size hints to a window manager it lacks.
XDG_STATE_HOME=$state QT_QPA_PLATFORM=offscreen build/dev/src/app/quorvel-screenshots "$out" \
  2> >(grep -v propagateSizeHints >&2)
