#!/usr/bin/env bash
# Load figures of the web server, printed for the closing note of a speed change:
#  1. CPU time per request for a 1 KiB static file, Kestrel (hit log on) against nginx (one worker,
#     keep-alive off, access log off), side by side under the same load: wrk, 16 connections, one
#     request per connection. The CPU time is the server process's utime + stime from /proc,
#     read before and after each run, divided by the requests wrk completed.
#  2. "/frame.jpg" against the composition alone (bench/ServerFrameBench);
#  3. resident size of Kestrel after 1,000 and after 100,000 requests.
# Installs wrk, apache2-utils and nginx-light for itself when they are missing (root or sudo).
# Usage: bench/server_load.sh [seconds per wrk run, default 5] [rounds, default 3]
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_RUN=${1:-5}
ROUNDS=${2:-3}
CONCURRENCY=16

need=()
command -v wrk >/dev/null || need+=(wrk)
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

free_port() { python3 bench/server_port.py; }

mkdir -p "$work/root" "$work/config/Velmora" "$work/run" "$work/nginx"
chmod 755 "$work" "$work/root" # nginx's worker runs as another user
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 > "$work/root/k.html"

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
# utime + stime of a process (all its threads), in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
TICK_HZ=$(getconf CLK_TCK)

# CPU microseconds per request of process $1 while wrk loads $2 for SECONDS_PER_RUN seconds
# with $3 connections at once (default CONCURRENCY).
cpu_per_request() {
  local pid=$1 url=$2 connections=${3:-$CONCURRENCY} before after out done errors
  before=$(cpu_ticks "$pid")
  out=$(wrk -t"$((connections > 1 ? 2 : 1))" -c"$connections" -d"${SECONDS_PER_RUN}s" -H 'Connection: close' "$url")
  after=$(cpu_ticks "$pid")
  done=$(awk '/requests in/ {print $1}' <<<"$out")
  errors=$(awk '/Non-2xx/ {print $NF}' <<<"$out")
  if [ -n "$errors" ]; then echo "server_load: $errors answers were not 200 for $url" >&2; fi
  python3 -c "import sys; t,n,hz=int(sys.argv[1]),int(sys.argv[2]),int(sys.argv[3]); print(f'{t/hz/n*1e6:.1f} {n}')" \
    "$((after - before))" "$done" "$TICK_HZ"
}

KEXE="$(pwd)/build/kestrel"
start_kestrel() {
  local port=$1
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\r\n"uPort"=dword:%08x\r\n"strRoot"="%s"\r\n' \
    "$port" "$work/root" > "$work/config/Velmora/Kestrels.reg"
  (cd "$work/run" && XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen exec "$KEXE" --headless) >"$work/kestrel.out" 2>&1 &
  KPID=$!
  pids+=("$KPID")
  for _ in $(seq 100); do
    curl -sf -o /dev/null "http://127.0.0.1:$port/k.html" && return 0
    sleep 0.05
  done
  echo "server_load: Kestrel did not start:"; cat "$work/kestrel.out"; exit 1
}

# 1. Static file: Kestrel and nginx, same file, alternating runs under the same load.
kport=$(free_port)
start_kestrel "$kport"
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
NWORKER=$(pgrep -P "$(cat "$work/nginx/nginx.pid")" | head -1)
[ -n "$NWORKER" ] || { echo "server_load: nginx did not start"; cat "$work/nginx/error.log"; exit 1; }

wrk -t2 -c"$CONCURRENCY" -d1s -H 'Connection: close' "http://127.0.0.1:$kport/k.html" >/dev/null # warm-up
wrk -t2 -c"$CONCURRENCY" -d1s -H 'Connection: close' "http://127.0.0.1:$nport/k.html" >/dev/null
echo "== 1 KiB static file, wrk -c $CONCURRENCY, ${SECONDS_PER_RUN} s a run, one request per connection"
k_all=(); n_all=()
for round in $(seq "$ROUNDS"); do
  read -r k kn < <(cpu_per_request "$KPID" "http://127.0.0.1:$kport/k.html")
  read -r n nn < <(cpu_per_request "$NWORKER" "http://127.0.0.1:$nport/k.html")
  echo "round $round: Kestrel $k us/request ($kn requests), nginx $n us/request ($nn requests)"
  k_all+=("$k"); n_all+=("$n")
done
logged=$(cat "$work/run/"*.hsl 2>/dev/null | grep -c $'^ 200' || true)
echo "hit log lines written by Kestrel: $logged"
python3 - "${k_all[*]}" "${n_all[*]}" <<'PY'
import statistics, sys
k = statistics.median(map(float, sys.argv[1].split())); n = statistics.median(map(float, sys.argv[2].split()))
print(f"median CPU per request: Kestrel {k:.1f} us, nginx {n:.1f} us, ratio Kestrel/nginx {k/n:.2f} (target at most 1.00)")
PY
# One client at a time: every request wakes the server from its sleep, which is the fixed
# cost of one HTTP exchange that a "/frame.jpg" request adds to its composition.
read -r k1 _ < <(cpu_per_request "$KPID" "http://127.0.0.1:$kport/k.html" 1)
read -r n1 _ < <(cpu_per_request "$NWORKER" "http://127.0.0.1:$nport/k.html" 1)
echo "one client at a time: Kestrel $k1 us/request, nginx $n1 us/request"
kill "$KPID"; wait "$KPID" 2>/dev/null || true
rm -f "$work/run/"*.hsl

# 3. Memory: a fresh Kestrel, 1,000 then 99,000 more requests.
mport=$(free_port)
start_kestrel "$mport"
ab -q -n 999 -c "$CONCURRENCY" "http://127.0.0.1:$mport/k.html" >/dev/null
sleep 2
rss1=$(rss_kb "$KPID")
ab -q -n 99000 -c "$CONCURRENCY" "http://127.0.0.1:$mport/k.html" >/dev/null
sleep 2
rss2=$(rss_kb "$KPID")
echo "== Memory"
echo "resident after 1,000 requests: ${rss1} kB; after 100,000: ${rss2} kB"
python3 -c "import sys; a,b=int(sys.argv[1]),int(sys.argv[2]); print(f'growth: {100*(b-a)/a:+.2f}% (target within 1%)')" "$rss1" "$rss2"
kill "$KPID"; wait "$KPID" 2>/dev/null || true

# 2. The picture: the composition alone against "/frame.jpg" over HTTP, server CPU only
# (bench/ServerFrameBench takes its client thread's CPU time out).
for width in 320 640; do
  echo "== /frame.jpg against the composition alone, width $width, two captions"
  build/bench/ServerFrameBench --benchmark_filter=NONE --width="$width" 2>/dev/null | grep -v '^$'
done
echo "(for scale: one HTTP exchange of a 1 KiB file, one client at a time, costs nginx $n1 us)"
