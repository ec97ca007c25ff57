#!/usr/bin/env bash
# Builds the sample product images quorvel.dmg (x86_64) and quorvel.silicon.dmg (arm64):
# SquashFS files, each holding Quorvel.app/, an AppDir whose AppRun leaves a marker file; with
# a minisign secret key (made without a password), each is signed as a vendor signs a release:
# IMAGE.minisig beside it.
# Usage: scripts/make-sample-images.sh OUT_DIR [SECRET_KEY]
set -euo pipefail
out=${1:?usage: $0 OUT_DIR [SECRET_KEY]}
key=${2:-}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build_image() { # arch image-name
  local root="$work/$1" app="$work/$1/Quorvel.app"
  mkdir -p "$app/usr/bin" "$app/usr/share/quorvel"
  cat >"$app/usr/bin/quorvel" <<'SCRIPT'
#!/bin/sh
# Sample product: records that it was started, so the setup's Start Now can be checked.
here=$(dirname "$(readlink -f "$0")")
state=${XDG_STATE_HOME:-$HOME/.local/state}/quorvel
mkdir -p "$state"
printf '%s started from %s (%s)\n' "$(date '+%Y-%m-%d %H:%M:%S')" "$here" \
  "$(cat "$here/../share/quorvel/arch")" >>"$state/started"
SCRIPT
  chmod 755 "$app/usr/bin/quorvel"
  printf '%s\n' "$1" >"$app/usr/share/quorvel/arch"
  ln -s usr/bin/quorvel "$app/AppRun"
  cat >"$app/quorvel.desktop" <<'DESKTOP'
[Desktop Entry]
Type=Application
Name=Quorvel
Exec=AppRun
Icon=quorvel
Categories=Utility;
DESKTOP
  cat >"$app/quorvel.svg" <<'SVG'
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">
  <rect width="256" height="256" rx="56" fill="#2b6cdf"/>
  <circle cx="128" cy="120" r="64" fill="none" stroke="#fff" stroke-width="22"/>
  <path d="M160 156 L200 204" stroke="#fff" stroke-width="22" stroke-linecap="round"/>
</svg>
SVG
  ln -s quorvel.svg "$app/.DirIcon"
  mksquashfs "$root" "$out/$2" -noappend -all-root -no-progress -quiet >/dev/null
  rm -f "$out/$2.minisig"
  if [ -n "$key" ]; then
    minisign -S -s "$key" -m "$out/$2" -c 'Quorvel sample image' </dev/null >/dev/null
  fi
}

build_image x86_64 quorvel.dmg
build_image arm64 quorvel.silicon.dmg
