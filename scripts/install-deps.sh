#!/usr/bin/env bash
# Installs the Debian packages Kestrel needs. Safe to run again: apt-get skips what is
# already installed.
#
#   scripts/install-deps.sh --run        building and running the program (scripts/run.sh)
#   scripts/install-deps.sh              that and everything the tests, benchmarks and package
#                                        checks need (scripts/test.sh, .ci/run)
#   scripts/install-deps.sh --camera-vm  the camera checks' virtual machine (tests/camera-vm/run.sh)
set -euo pipefail

# Building and running.
RUN_PACKAGES=(
  build-essential cmake pkg-config ninja-build
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
  libjpeg62-turbo-dev libv4l-dev libcurl4-openssl-dev libssl-dev
  fonts-ipafont-gothic media-types xdg-utils
)
# Testing: unit and process tests, benchmarks, screenshots, the package and its checks.
TEST_PACKAGES=(
  clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  openssl testssl.sh pebble fail2ban nginx-light wrk
  python3 python3-pil
  xvfb xauth xdotool
  dpkg-dev lintian desktop-file-utils appstream man-db
  chromium
)
case "${1:-}" in
  --run) PACKAGES=("${RUN_PACKAGES[@]}") ;;
  --camera-vm) PACKAGES=(qemu-system-x86 linux-image-amd64 busybox-static kmod v4l-utils python3 python3-pil) ;;
  "") PACKAGES=("${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  *) echo "usage: scripts/install-deps.sh [--run | --camera-vm]" >&2; exit 2 ;;
esac

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
