#!/usr/bin/env bash
# Cost of a hostile "nophone.bmp" for a picture request: about 1 KB of run-length data
# claiming 16384 x 16384 pixels, with a picture password set so that "/framei.jpg" is
# made from it. Prints the time of each of three "/framei.jpg" requests and the process's
# peak resident memory (VmHWM) after them.
# Usage: bench/hostile_picture.sh [path of the kestrel binary, default build/kestrel]
set -euo pipefail
cd "$(dirname "$0")/.."
KEXE=$(realpath "${1:-build/kestrel}")

work=$(mktemp -d /tmp/kestrel-hostile.XXXXXX)
KPID=
cleanup() {
  [ -n "$KPID" ] && kill "$KPID" 2>/dev/null && wait "$KPID" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 bench/server_port.py)
mkdir -p "$work/root" "$work/config/Velmora" "$work/run" "$work/home"
python3 - "$work/root/nophone.bmp" <<'PY'
import struct, sys
w = h = 16384
palette = struct.pack("<BBBB", 0, 0, 0, 0) + struct.pack("<BBBB", 0, 0, 255, 0)
packed = bytes([255, 1]) * 480 + bytes([0, 1])
offset = 14 + 40 + len(palette)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 1, len(packed), 0, 0, 2, 0)
head = struct.pack("<HIHHI", 0x4D42, offset + len(packed), 0, 0, offset)
open(sys.argv[1], "wb").write(head + info + palette + packed)
# The camera-off picture that the requests compose (no camera here).
w, h = 80, 60
stride = (w * 3 + 3) & ~3
pixels = bytes([128, 128, 128]) * w + bytes(stride - w * 3)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, stride * h, 0, 0, 0, 0)
head = struct.pack("<HIHHI", 0x4D42, 54 + stride * h, 0, 0, 54)
open(sys.argv[1].replace("nophone.bmp", "off80x60.bmp"), "wb").write(head + info + pixels * h)
PY
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\r\n"uPort"=dword:%08x\r\n"strRoot"="%s"\r\n"PicPass"="secret"\r\n' \
  "$port" "$work/root" > "$work/config/Velmora/Kestrels.reg"
(cd "$work/run" && HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen exec "$KEXE") \
  >"$work/kestrel.out" 2>&1 &
KPID=$!
for _ in $(seq 200); do
  curl -s -o /dev/null "http://127.0.0.1:$port/pass.jpg" && break
  sleep 0.05
done
echo "nophone.bmp: $(stat -c %s "$work/root/nophone.bmp") bytes claiming 16384 x 16384"
for i in 1 2 3; do
  curl -s -o /dev/null -w "/framei.jpg request $i: %{http_code} in %{time_total} s\n" --max-time 60 \
    "http://127.0.0.1:$port/framei.jpg"
done
echo "peak resident memory: $(awk '/^VmHWM/ {print $2, $3}' "/proc/$KPID/status")"
