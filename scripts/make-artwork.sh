#!/usr/bin/env bash
# Renders the setup window's artwork: every resources/art/NAME.svg becomes
# resources/NAME.png at its own size and resources/NAME@2x.png at twice that size.
# Needs rsvg-convert (Debian package librsvg2-bin).
# Usage: scripts/make-artwork.sh   (from any directory)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
art="$root/resources/art"
out="$root/resources"

command -v rsvg-convert >/dev/null || { echo "rsvg-convert is missing: install librsvg2-bin" >&2; exit 1; }

shopt -s nullglob
sources=("$art"/*.svg)
if [ ${#sources[@]} -eq 0 ]; then
  echo "no SVG sources in $art" >&2
  exit 1
fi
for svg in "${sources[@]}"; do
  name=$(basename "$svg" .svg)
  rsvg-convert --zoom=1 --format=png --output="$out/$name.png" "$svg"
  rsvg-convert --zoom=2 --format=png --output="$out/$name@2x.png" "$svg"
  echo "$name.png $name@2x.png"
done
