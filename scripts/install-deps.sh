#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the setup needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang-format
  qt6-base-dev qt6-base-dev-tools libqt6network6 libqt6dbus6 libqt6svg6
  libgl-dev libxkbcommon-dev
  libcurl4-openssl-dev libplist-dev libsodium-dev minisign
  makeself patchelf
  squashfs-tools squashfuse fuse3 pkexec iproute2 util-linux
  openssl curl ca-certificates nginx-light
  xvfb xdotool imagemagick xauth x11-utils xclip librsvg2-bin
  dbus-daemon at-spi2-core python3-pyatspi desktop-file-utils
  fonts-dejavu-core fonts-noto-cjk
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
