#!/usr/bin/env bash
# One whole check with a change (echo fetch, MX lookup, SMTP delivery) by
# Corvale's main window, next to the same three steps done by curl, kdig and
# swaks, and next to inadyn's own forced check and update, all against the same
# loopback servers in one run. Prints wall and CPU milliseconds per check.
#
# Usage: bench/check-vs-tools.sh [build dir]   (default build/default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
bench=$build/bench/WholeCheckBench
runs=${CORVALE_BENCH_RUNS:-100}
for tool in nginx dnsmasq curl kdig swaks inadyn; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "missing $tool" >&2; exit 1; }
done
[ -x "$bench" ] || { echo "build $bench first (make build)" >&2; exit 1; }

work=$(mktemp -d /tmp/corvale-check-bench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
http=$(free_port); dns=$(free_port); smtp=$(free_port)

mkdir -p "$work/www" "$work/nginx" "$work/mail"
echo "BEGINIP 10.0.0.1 ENDIP" > "$work/www/GetMyIP.pl"
cat > "$work/nginx/nginx.conf" <<CONF
error_log $work/nginx/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$http;
    root $work/www;
    location = /GetMyIP.pl { default_type text/html; }
    location /nic/update { default_type text/plain; return 200 "good 10.0.0.1"; }
  }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" \
  -g 'daemon off; master_process off;' & pids+=($!)
/usr/sbin/dnsmasq --keep-in-foreground --no-resolv --no-hosts --no-poll --user=root \
  --listen-address=127.0.0.1 --bind-interfaces --port="$dns" \
  --mx-host=a.test,127.0.0.1,10 --log-facility=- 2>"$work/dnsmasq.log" & pids+=($!)
/usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$smtp" -c aiosmtpd.handlers.Sink \
  >"$work/smtp.log" 2>&1 & pids+=($!)
for p in $http $smtp; do
  for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null && break; sleep 0.05; done
done
sleep 0.3

echo "== Corvale: one whole check with a change (headless window, $runs... see Iterations)"
CORVALE_BENCH_ECHO=127.0.0.1:$http CORVALE_BENCH_DOCROOT=$work/www \
  CORVALE_BENCH_DNS_PORT=$dns CORVALE_BENCH_SMTP_PORT=$smtp "$bench"

# inadyn: a custom provider whose check and update both go to the loopback nginx.
cat > "$work/inadyn.conf" <<CONF
period = 600
custom bench {
  checkip-server  = 127.0.0.1:$http
  checkip-path    = /GetMyIP.pl
  checkip-ssl     = false
  ddns-server     = 127.0.0.1:$http
  ddns-path       = "/nic/update?hostname=%h&myip=%i"
  ssl             = false
  username        = bench
  password        = bench
  hostname        = bench.localhost
}
CONF

# Runs a command line $runs times; prints wall and CPU (children's user+sys)
# milliseconds per run.
measure() {
  local name=$1; shift
  /usr/bin/python3 - "$runs" "$name" "$@" <<'PY'
import resource, subprocess, sys, time
runs, name, cmd = int(sys.argv[1]), sys.argv[2], sys.argv[3]
before = resource.getrusage(resource.RUSAGE_CHILDREN)
t0 = time.perf_counter()
for _ in range(runs):
    subprocess.run(cmd, shell=True, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = (time.perf_counter() - t0) / runs * 1000
after = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = ((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)) / runs * 1000
print(f"{name:<28} wall {wall:7.2f} ms   cpu {cpu:7.2f} ms   (per run, {runs} runs, incl. /bin/sh)")
PY
}

echo "== The same three steps with command-line tools, and inadyn's check + update"
measure "curl + kdig + swaks" \
  "curl -s http://127.0.0.1:$http/GetMyIP.pl >/dev/null && kdig -p $dns @127.0.0.1 a.test MX >/dev/null && swaks --silent 2 --server 127.0.0.1:$smtp --from bench@a.test --to bench@a.test >/dev/null"
measure "inadyn (forced check+update)" \
  "inadyn -1 --force -l none -f $work/inadyn.conf --cache-dir $work -P $work/inadyn.pid"
