#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Kestrel needs.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config ninja-build clang-format
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-ipafont-gothic
  libjpeg62-turbo-dev libv4l-dev libcurl4-openssl-dev libssl-dev openssl testssl.sh
  media-types python3 python3-pil
  xvfb xauth xdotool
  dpkg-dev lintian desktop-file-utils appstream man-db
  nginx-light
  chromium
  xdg-utils
)
# Test-only group: the camera checks in a throw-away virtual machine (tests/camera-vm/run.sh).
if [ "${1:-}" = "--camera-vm" ]; then
  PACKAGES=(qemu-system-x86 linux-image-amd64 busybox-static kmod v4l-utils python3 python3-pil)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "install-deps: need root or sudo to install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -q
"${SUDO[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
