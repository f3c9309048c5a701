#!/usr/bin/env bash
# Load figures of the web server, printed for the closing note:
#  1. a 1 KiB static file under `ab -c 16` (HTTP/1.0, a new connection per request),
#     Kestrel against nginx (one worker, keep-alive off, access log off) in the same run;
#  2. "/frame.jpg" against the composition alone (bench/ServerFrameBench);
#  3. resident size of Kestrel after 1,000 and after 100,000 requests.
# Installs apache2-utils and nginx-light for itself when they are missing (root or sudo).
# Usage: bench/server_load.sh [requests per ab run, default 50000]
set -euo pipefail
cd "$(dirname "$0")/.."

REQUESTS=${1:-50000}
CONCURRENCY=16

need=()
command -v ab >/dev/null || need+=(apache2-utils)
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || need+=(nginx-light)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=(); [ "$(id -u)" -eq 0 ] || SUDO=(sudo)
  echo "server_load: installing ${need[*]}"
  DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
fi
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

[ -d build ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j2 kestrel ServerFrameBench >/dev/null

work=$(mktemp -d /tmp/kestrel-load.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

mkdir -p "$work/root" "$work/config/Velmora" "$work/run" "$work/nginx"
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 > "$work/root/k.html"

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
rate() { ab -q -n "$2" -c "$CONCURRENCY" "$1" 2>&1 | awk '/Requests per second/ {print $4} /Failed requests/ {f=$3} END {if (f>0) print "failed=" f > "/dev/stderr"}'; }

# 1. Static file: Kestrel and nginx, same file, same run.
kport=$(free_port)
KEXE="$(pwd)/build/kestrel"
start_kestrel_simple() {
  local port=$1
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\r\n"uPort"=dword:%08x\r\n"strRoot"="%s"\r\n' \
    "$port" "$work/root" > "$work/config/Velmora/Kestrels.reg"
  (cd "$work/run" && XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen exec "$KEXE") >"$work/kestrel.out" 2>&1 &
  KPID=$!
  pids+=("$KPID")
  for _ in $(seq 100); do
    curl -sf -o /dev/null "http://127.0.0.1:$port/k.html" && return 0
    sleep 0.05
  done
  echo "server_load: Kestrel did not start:"; cat "$work/kestrel.out"; exit 1
}
start_kestrel_simple "$kport"
ab -q -n 2000 -c "$CONCURRENCY" "http://127.0.0.1:$kport/k.html" >/dev/null  # warm-up
k_rate=$(rate "http://127.0.0.1:$kport/k.html" "$REQUESTS")

nport=$(free_port)
cat > "$work/nginx/nginx.conf" <<NGINX
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  server {
    listen 127.0.0.1:$nport;
    root $work/root;
  }
}
NGINX
"$NGINX" -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$nport/k.html" && break; sleep 0.05; done
ab -q -n 2000 -c "$CONCURRENCY" "http://127.0.0.1:$nport/k.html" >/dev/null
n_rate=$(rate "http://127.0.0.1:$nport/k.html" "$REQUESTS")
# Kestrel once more after nginx, so that neither run has the machine to itself alone.
k_rate2=$(rate "http://127.0.0.1:$kport/k.html" "$REQUESTS")

echo "== 1 KiB static file, ab -n $REQUESTS -c $CONCURRENCY, HTTP/1.0, new connection per request"
echo "Kestrel: $k_rate req/s, again after nginx: $k_rate2 req/s"
echo "nginx (1 worker, keep-alive off, access log off): $n_rate req/s"
python3 - "$k_rate" "$k_rate2" "$n_rate" <<'PY'
import sys
k = max(float(sys.argv[1]), float(sys.argv[2])); n = float(sys.argv[3])
print(f"ratio Kestrel/nginx: {k/n:.2f} (target at least 0.50)")
PY
kill "$KPID"; wait "$KPID" 2>/dev/null || true

# 3. Memory: a fresh Kestrel, 1,000 then 99,000 more requests.
mport=$(free_port)
start_kestrel_simple "$mport"
ab -q -n 999 -c "$CONCURRENCY" "http://127.0.0.1:$mport/k.html" >/dev/null
sleep 1
rss1=$(rss_kb "$KPID")
ab -q -n 99000 -c "$CONCURRENCY" "http://127.0.0.1:$mport/k.html" >/dev/null
sleep 1
rss2=$(rss_kb "$KPID")
echo "== Memory"
echo "resident after 1,000 requests: ${rss1} kB; after 100,000: ${rss2} kB"
python3 -c "import sys; a,b=int(sys.argv[1]),int(sys.argv[2]); print(f'growth: {100*(b-a)/a:+.1f}% (target within 5%)')" "$rss1" "$rss2"
logs=$(cat "$work/run/"*.hsl 2>/dev/null | grep -c $'^ 200' || true)
echo "hit log lines written: $logs"
kill "$KPID"; wait "$KPID" 2>/dev/null || true

# 2. The picture: the composition alone against "/frame.jpg" over HTTP.
echo "== /frame.jpg (320 x 240, two captions) against the composition alone"
build/bench/ServerFrameBench --benchmark_min_time=2 2>/dev/null | tee "$work/frame.txt" | grep '^BM_'
python3 - "$work/frame.txt" <<'PY'
import re, sys
wall, cpu = {}, {}
for line in open(sys.argv[1]):
    m = re.match(r'(BM_\w+)\s+([\d.]+) us\s+([\d.]+) us', line)
    if m:
        wall[m.group(1)] = float(m.group(2)); cpu[m.group(1)] = float(m.group(3))
if 'BM_ComposeAlone' in wall and 'BM_FrameOverHttp' in wall:
    w = wall['BM_FrameOverHttp'] / wall['BM_ComposeAlone'] - 1
    c = cpu['BM_FrameOverHttp'] / cpu['BM_ComposeAlone'] - 1
    print(f"server adds {100*w:.0f}% wall time, {100*c:.0f}% CPU time over the composition alone "
          "(target at most 30%; client and server share the process, so the CPU figure includes the client)")
PY
