#!/usr/bin/env bash
# Kestrel beside Motion on the same camera: boots the camera virtual machine
# (tests/camera-vm/vm-run), runs Kestrel and then Motion on vivid's /dev/video0 at 640x480
# and 10 frames a second with no stream client, 1 and 8 clients, and prints the table of
# CPU per second, stream pictures per second per client and CPU per delivered picture,
# with the Kestrel / Motion ratios. Takes several minutes (the machine is emulated); not
# part of the test run.
#
#   bench/beside_motion.sh [build-folder] [--measure S] [--warmup S] [--settle S]
#
# Needs the camera machine's packages (scripts/install-deps.sh --camera-vm), Debian's
# "motion" (apt-get install motion; its service need not run) and a C compiler.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
  BUILD=$1
  shift
fi
[ -x "$BUILD/kestrel" ] || { echo "beside_motion: $BUILD/kestrel is missing: build first" >&2; exit 1; }
BUILD=$(cd "$BUILD" && pwd)
for p in qemu-system-x86 linux-image-amd64 busybox-static kmod v4l-utils python3-pil motion; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { echo "beside_motion: package $p is missing (apt-get install $p)" >&2; exit 1; }
done
# The reader is built next to the program, in a folder the machine shares.
WORK=$(mktemp -d /tmp/beside-motion.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cc -O2 -Wall -o "$WORK/stream_reader" "$ROOT/bench/stream_reader.c"
cd "$ROOT"
tests/camera-vm/vm-run --timeout 1800 --share "$BUILD" -- \
  /usr/bin/python3 bench/beside_motion.py "$BUILD/kestrel" "$WORK/stream_reader" "$@"
