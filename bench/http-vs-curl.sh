#!/usr/bin/env bash
# The HTTP client next to curl, in one run against the same nginx on loopback:
#  (a) a 100 MB file: GetToStream (HttpBench, BM_GetLargeToStream) versus
#      curl -o /dev/null; figures in MB/s;
#  (b) 1000 sequential small GETs, each on a fresh connection: HttpBench's
#      BM_FreshSmallGets versus one curl process fetching the same 1000 URLs
#      with "Connection: close"; figures in requests/s.
# nginx runs from a private temp directory and is stopped on exit.
#
#   bench/http-vs-curl.sh [build directory (default build/default)]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
bench="$build/bench/HttpBench"
[ -x "$bench" ] || { echo "http-vs-curl: $bench not built" >&2; exit 1; }
command -v curl >/dev/null || { echo "http-vs-curl: curl is not installed (scripts/install-deps)" >&2; exit 1; }

# Size of the large file and number of small requests.
big_mb=100
small_requests=1000

dir=$(mktemp -d /tmp/corvale-httpbench-XXXXXX)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

mkdir -p "$dir/www" "$dir/temp"
head -c $((big_mb * 1000 * 1000)) /dev/urandom >"$dir/www/big.bin"
printf 'BEGINIP127.0.0.1ENDIP' >"$dir/www/small.txt"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $dir/temp/body;
  proxy_temp_path $dir/temp/proxy;
  fastcgi_temp_path $dir/temp/fastcgi;
  uwsgi_temp_path $dir/temp/uwsgi;
  scgi_temp_path $dir/temp/scgi;
  server {
    listen 127.0.0.1:$port;
    root $dir/www;
  }
}
CONF
/usr/sbin/nginx -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" &
pid=$!
base="http://127.0.0.1:$port"
for _ in $(seq 100); do
  if curl -s -o /dev/null "$base/small.txt"; then break; fi
  sleep 0.05
done

# The machine is shared, so each figure is the best of a few rounds, curl and
# Corvale taking turns in every round.
rounds=3
{
  for _ in $(seq "$small_requests"); do
    printf 'url = "%s/small.txt"\noutput = "/dev/null"\n' "$base"
  done
} >"$dir/curl.cfg"
: >"$dir/curl.txt"
for r in $(seq "$rounds"); do
  speed=$(curl -s -o /dev/null -w '%{speed_download}' "$base/big.bin")
  start=$(date +%s%N)
  curl -s -H 'Connection: close' -K "$dir/curl.cfg"
  end=$(date +%s%N)
  echo "$speed $((end - start))" >>"$dir/curl.txt"
  CORVALE_BENCH_HTTP_BASE=$base "$bench" --benchmark_counters_tabular=true \
    --benchmark_out="$dir/ours-$r.json" --benchmark_out_format=json >"$dir/ours-$r.txt"
done
echo "== Corvale (last round)"
cat "$dir/ours-$rounds.txt"
n=$small_requests big_mb=$big_mb /usr/bin/python3 - "$dir" "$rounds" <<'PY'
import json, os, sys
d, rounds = sys.argv[1], int(sys.argv[2])
n = int(os.environ["n"])
curl = [line.split() for line in open(os.path.join(d, "curl.txt"))]
curl_mb = max(float(s) for s, _ in curl) / 1e6
curl_rate = max(n / (int(ns) / 1e9) for _, ns in curl)
ours_mb = ours_rate = 0.0
for r in range(1, rounds + 1):
    runs = {b["name"].split("/")[0]: b
            for b in json.load(open(os.path.join(d, "ours-%d.json" % r)))["benchmarks"]}
    ours_mb = max(ours_mb, runs["BM_GetLargeToStream"]["bytes_per_second"] / 1e6)
    ours_rate = max(ours_rate, runs["BM_FreshSmallGets"]["items_per_second"])
print("== Summary (best of %d rounds)" % rounds)
print("(a) %s MB body:  GetToStream %.0f MB/s, curl -o /dev/null %.0f MB/s, ratio %.2f (goal >= 0.80)"
      % (os.environ["big_mb"], ours_mb, curl_mb, ours_mb / curl_mb))
print("(b) %d fresh GETs:  GetText %.0f requests/s, curl %.0f requests/s, ratio %.2f (goal >= 1.00)"
      % (n, ours_rate, curl_rate, ours_rate / curl_rate))
PY
