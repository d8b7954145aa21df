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

echo "== (a) ${big_mb} MB body"
curl_speed=0
for _ in 1 2 3; do
  s=$(curl -s -o /dev/null -w '%{speed_download}' "$base/big.bin")
  curl_speed=$(awk -v a="$curl_speed" -v b="$s" 'BEGIN { print (b > a) ? b : a }')
done
awk -v s="$curl_speed" 'BEGIN { printf "curl -o /dev/null:  %.0f MB/s (best of 3)\n", s / 1e6 }'

echo "== (b) ${small_requests} small GETs on fresh connections"
{
  for _ in $(seq "$small_requests"); do
    printf 'url = "%s/small.txt"\noutput = "/dev/null"\n' "$base"
  done
} >"$dir/curl.cfg"
start=$(date +%s%N)
curl -s -H 'Connection: close' -K "$dir/curl.cfg"
end=$(date +%s%N)
awk -v n="$small_requests" -v ns=$((end - start)) \
  'BEGIN { printf "curl (one process):  %d requests in %.3f s = %.0f requests/s\n", n, ns / 1e9, n / (ns / 1e9) }'

echo "== Corvale"
CORVALE_BENCH_HTTP_BASE=$base "$bench" --benchmark_counters_tabular=true \
  --benchmark_out="$dir/ours.json" --benchmark_out_format=json
start_ns=$start end_ns=$end curl_speed=$curl_speed n=$small_requests /usr/bin/python3 - "$dir/ours.json" <<'PY'
import json, os, sys
runs = {b["name"].split("/")[0]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
ours_mb = runs["BM_GetLargeToStream"]["bytes_per_second"] / 1e6
curl_mb = float(os.environ["curl_speed"]) / 1e6
ours_rate = runs["BM_FreshSmallGets"]["items_per_second"]
curl_rate = int(os.environ["n"]) / ((int(os.environ["end_ns"]) - int(os.environ["start_ns"])) / 1e9)
print("== Summary")
print("(a) 100 MB body:  GetToStream %.0f MB/s, curl %.0f MB/s, ratio %.2f (goal >= 0.80)"
      % (ours_mb, curl_mb, ours_mb / curl_mb))
print("(b) fresh GETs:   GetText %.0f requests/s, curl %.0f requests/s, ratio %.2f (goal >= 1.00)"
      % (ours_rate, curl_rate, ours_rate / curl_rate))
PY
