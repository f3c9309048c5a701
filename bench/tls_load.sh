#!/usr/bin/env bash
# CPU time per HTTPS request with a new connection (and a full TLS 1.3 handshake) per
# request: the program's web server (bench/tls_load_server: the same server, TLS code and
# hit log, session tickets and cache off) against nginx (one worker, ssl, keep-alive off,
# access log off, tickets and cache off, the same P-256 certificate), side by side under
# the same wrk load, 1 KiB file. CPU time is the server process's utime + stime from /proc
# before and after each run, divided by the requests wrk completed. Resumed handshakes are
# counted by each server (Kestrel: SSL_session_reused; nginx: $ssl_session_reused in a
# separate counting run with an access log).
# Usage: bench/tls_load.sh [seconds per wrk run, default 5] [rounds, default 3]
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_RUN=${1:-5}
ROUNDS=${2:-3}
CONCURRENCY=16

need=()
command -v wrk >/dev/null || need+=(wrk)
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || need+=(nginx-light)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=(); [ "$(id -u)" -eq 0 ] || SUDO=(sudo)
  echo "tls_load: installing ${need[*]}"
  DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
fi
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

[ -d build ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j2 tls_load_server >/dev/null

work=$(mktemp -d /tmp/kestrel-tls-load.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 bench/server_port.py; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
TICK_HZ=$(getconf CLK_TCK)

mkdir -p "$work/root" "$work/run" "$work/nginx"
chmod 755 "$work" "$work/root" "$work/nginx" # nginx's worker runs as another user
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 > "$work/root/k.html"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
  -addext subjectAltName=DNS:localhost -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
chmod 644 "$work/key.pem"

cpu_per_request() {
  local pid=$1 url=$2 before after out done errors
  before=$(cpu_ticks "$pid")
  out=$(wrk -t2 -c"$CONCURRENCY" -d"${SECONDS_PER_RUN}s" -H 'Connection: close' "$url")
  after=$(cpu_ticks "$pid")
  done=$(awk '/requests in/ {print $1}' <<<"$out")
  errors=$(awk '/Non-2xx|Socket errors/ {print}' <<<"$out")
  if [ -n "$errors" ]; then echo "tls_load: $url: $errors" >&2; fi
  python3 -c "import sys; t,n,hz=int(sys.argv[1]),int(sys.argv[2]),int(sys.argv[3]); print(f'{t/hz/n*1e6:.1f} {n}')" \
    "$((after - before))" "$done" "$TICK_HZ"
}

TLS_SERVER="$(pwd)/build/bench/tls_load_server"
kport=$(free_port); ktport=$(free_port)
(cd "$work/run" && exec "$TLS_SERVER" "$work/root" "$kport" "$ktport" "$work/cert.pem" \
  "$work/key.pem" "$work/counts") >"$work/kestrel.out" 2>&1 &
KPID=$!; pids+=("$KPID")
for _ in $(seq 100); do curl -skf -o /dev/null "https://127.0.0.1:$ktport/k.html" && break; sleep 0.05; done

nginx_conf() { # port, access log line
  cat <<NGINX
worker_processes 1;
daemon off;
pid $work/nginx/nginx-$1.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  $2
  keepalive_timeout 0;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  server {
    listen 127.0.0.1:$1 ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    ssl_protocols TLSv1.3;
    ssl_session_tickets off;
    ssl_session_cache off;
    root $work/root;
  }
}
NGINX
}
nport=$(free_port)
nginx_conf "$nport" "access_log off;" > "$work/nginx/nginx.conf"
"$NGINX" -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do curl -skf -o /dev/null "https://127.0.0.1:$nport/k.html" && break; sleep 0.05; done
NWORKER=$(pgrep -P "$(cat "$work/nginx/nginx-$nport.pid")" | head -1)
[ -n "$NWORKER" ] || { echo "tls_load: nginx did not start"; cat "$work/nginx/error.log"; exit 1; }

protocol=$(openssl s_client -connect "127.0.0.1:$ktport" </dev/null 2>/dev/null | awk '/Protocol *:/ {print $3; exit}' || true)
echo "== 1 KiB file over HTTPS (new connection and full handshake per request, ${protocol:-?}), wrk -c $CONCURRENCY, ${SECONDS_PER_RUN} s a run"
wrk -t2 -c"$CONCURRENCY" -d1s -H 'Connection: close' "https://127.0.0.1:$ktport/k.html" >/dev/null
wrk -t2 -c"$CONCURRENCY" -d1s -H 'Connection: close' "https://127.0.0.1:$nport/k.html" >/dev/null
sleep 1
read -r hs0 res0 < "$work/counts"
k_all=(); n_all=()
for round in $(seq "$ROUNDS"); do
  read -r k kn < <(cpu_per_request "$KPID" "https://127.0.0.1:$ktport/k.html")
  read -r n nn < <(cpu_per_request "$NWORKER" "https://127.0.0.1:$nport/k.html")
  echo "round $round: Kestrel $k us/request ($kn requests), nginx $n us/request ($nn requests)"
  k_all+=("$k"); n_all+=("$n")
done
sleep 1
read -r hs1 res1 < "$work/counts"
echo "Kestrel handshakes during the runs: $((hs1 - hs0)), resumed: $((res1 - res0))"
logged=$(cat "$work/run/"*.hsl 2>/dev/null | grep -c $'^ 200' || true)
echo "hit log lines written by Kestrel: $logged"

# nginx's resumed handshakes under the same client: a counting run with an access log.
cport=$(free_port)
nginx_conf "$cport" "log_format r '\$ssl_session_reused'; access_log $work/nginx/count.log r;" > "$work/nginx/count.conf"
"$NGINX" -p "$work/nginx" -c "$work/nginx/count.conf" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do curl -skf -o /dev/null "https://127.0.0.1:$cport/k.html" && break; sleep 0.05; done
wrk -t2 -c"$CONCURRENCY" -d2s -H 'Connection: close' "https://127.0.0.1:$cport/k.html" >/dev/null
sleep 0.5
echo "nginx counting run: $(wc -l < "$work/nginx/count.log") handshakes, resumed: $(grep -c '^r' "$work/nginx/count.log" || true)"

python3 - "${k_all[*]}" "${n_all[*]}" <<'PY'
import statistics, sys
k = statistics.median(map(float, sys.argv[1].split())); n = statistics.median(map(float, sys.argv[2].split()))
print(f"median CPU per HTTPS request: Kestrel {k:.1f} us, nginx {n:.1f} us, ratio Kestrel/nginx {k/n:.2f} (target at most 1.10)")
PY
