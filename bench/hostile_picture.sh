#!/usr/bin/env bash
# Cost of a hostile "nophone.bmp" for a picture request: about 1 KB of run-length data
# claiming 16384 x 16384 pixels, with a picture password set so that "/framei.jpg" is
# made from it. Prints the time of each of three "/framei.jpg" requests and the process's
# peak resident memory (VmHWM) after them.
# With --camera-off the same kind of file, claiming 4096 x 4096 (the most any picture may
# have), is the camera-off picture instead, and "/frame.jpg" is asked for without a password.
# Usage: bench/hostile_picture.sh [path of the kestrel binary, default build/kestrel] [--camera-off]
set -euo pipefail
cd "$(dirname "$0")/.."
KEXE=$(realpath "${1:-build/kestrel}")
MODE=${2:-}

work=$(mktemp -d /tmp/kestrel-hostile.XXXXXX)
KPID=
cleanup() {
  [ -n "$KPID" ] && kill "$KPID" 2>/dev/null && wait "$KPID" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 bench/server_port.py)
mkdir -p "$work/root" "$work/config/Velmora" "$work/run" "$work/home"
python3 - "$work/root/nophone.bmp" "$MODE" <<'PY'
import struct, sys
camera_off = sys.argv[2] == "--camera-off"
w = h = 4096 if camera_off else 16384
palette = struct.pack("<BBBB", 0, 0, 0, 0) + struct.pack("<BBBB", 0, 0, 255, 0)
packed = bytes([255, 1]) * 480 + bytes([0, 1])
offset = 14 + 40 + len(palette)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 1, len(packed), 0, 0, 2, 0)
head = struct.pack("<HIHHI", 0x4D42, offset + len(packed), 0, 0, offset)
hostile = head + info + palette + packed
open(sys.argv[1].replace("nophone.bmp", "claim.bmp"), "wb").write(hostile)
open(sys.argv[1], "wb").write(hostile)
# The camera-off picture that the requests compose (no camera here).
w, h = 80, 60
stride = (w * 3 + 3) & ~3
pixels = bytes([128, 128, 128]) * w + bytes(stride - w * 3)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, stride * h, 0, 0, 0, 0)
head = struct.pack("<HIHHI", 0x4D42, 54 + stride * h, 0, 0, 54)
open(sys.argv[1].replace("nophone.bmp", "off80x60.bmp"), "wb").write(head + info + pixels * h)
if camera_off:
    open(sys.argv[1].replace("nophone.bmp", "off80x60.bmp"), "wb").write(hostile)
    open(sys.argv[1], "wb").write(head + info + pixels * h)
PY
picture=/framei.jpg
password='"PicPass"="secret"\r\n'
if [ "$MODE" = --camera-off ]; then picture=/frame.jpg; password=; fi
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\r\n"uPort"=dword:%08x\r\n"strRoot"="%s"\r\n'"$password" \
  "$port" "$work/root" > "$work/config/Velmora/Kestrels.reg"
(cd "$work/run" && HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen exec "$KEXE") \
  >"$work/kestrel.out" 2>&1 &
KPID=$!
for _ in $(seq 200); do
  curl -s -o /dev/null "http://127.0.0.1:$port/pass.jpg" && break
  sleep 0.05
done
echo "hostile picture: $(stat -c %s "$work/root/claim.bmp") bytes claiming $([ "$MODE" = --camera-off ] && echo 4096 x 4096 as off80x60.bmp || echo 16384 x 16384 as nophone.bmp)"
for i in 1 2 3; do
  curl -s -o /dev/null -w "$picture request $i: %{http_code} in %{time_total} s\n" --max-time 60 \
    "http://127.0.0.1:$port$picture"
done
echo "peak resident memory: $(awk '/^VmHWM/ {print $2, $3}' "/proc/$KPID/status")"
