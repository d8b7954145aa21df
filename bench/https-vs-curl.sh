#!/usr/bin/env bash
# The library's HTTPS next to curl (OpenSSL too), and its Windows build (the
# system's TLS, under Wine) next to its Linux build, in one run against the
# same nginx on loopback:
#  (a) a 100 MB file over https: LoopbackTimings large versus curl -o /dev/null;
#      figures in MB/s;
#  (b) 200 sequential small https GETs, each on a fresh connection with a full
#      handshake (nginx keeps no session cache and issues no tickets, so
#      neither side can resume): LoopbackTimings fresh versus one curl process
#      fetching the same 200 URLs with "Connection: close"; requests/s.
# The server's certificate comes from an authority made for the run (openssl,
# EC P-256 as in the tests): curl is given it with --cacert, the Linux build
# through OpenSSL's SSL_CERT_FILE, the Windows build through CORVALE_BENCH_CA
# (put into the current user's Root store of the build's own Wine prefix
# while each run lasts). Certificates are checked on every side.
#
#   bench/https-vs-curl.sh [LINUX_BUILD] [WINDOWS_BUILD]
# Defaults: build/bench-linux and build/bench-windows, configured when missing
# (the Windows one with the benchmarks on and the tests off); LoopbackTimings
# is (re)built in both. WINDOWS_BUILD "none" measures Linux only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux=${1:-build/bench-linux}
windows=${2:-build/bench-windows}

big_mb=100
fresh_requests=200
# The machine is shared: each figure is the best of a few rounds, every side
# taking its turn in each round.
rounds=3

command -v curl >/dev/null || { echo "https-vs-curl: curl is not installed (scripts/install-deps)" >&2; exit 1; }
if [ ! -f "$linux/CMakeCache.txt" ]; then
  cmake --preset default -B "$linux" >/dev/null
fi
cmake --build "$linux" -j2 --target LoopbackTimings >/dev/null
if [ "$windows" != none ]; then
  if [ ! -f "$windows/CMakeCache.txt" ]; then
    cmake --preset windows -B "$windows" -DCORVALE_BUILD_BENCH=ON -DCORVALE_BUILD_TESTS=OFF >/dev/null
  else
    cmake "$windows" -DCORVALE_BUILD_BENCH=ON >/dev/null
  fi
  cmake --build "$windows" -j2 --target LoopbackTimings >/dev/null
  prefix=$(sed -n 's/^CORVALE_WINE_PREFIX:[A-Z]*=//p' "$windows/CMakeCache.txt")
  prefix=${prefix:-$root/$windows/wineprefix}
fi

dir=$(mktemp -d /tmp/corvale-httpsbench-XXXXXX)
pid=
wine_started=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  if [ -n "$wine_started" ]; then scripts/wine-prefix stop "$prefix" || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

# The authority and the server's certificate for localhost and 127.0.0.1.
ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
openssl req -x509 "${ec[@]}" -keyout "$dir/ca.key" -out "$dir/ca.pem" -days 2 \
  -subj "/CN=Corvale Bench Authority" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -new "${ec[@]}" -keyout "$dir/server.key" -out "$dir/server.csr" \
  -subj "/CN=localhost" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$dir/server.ext"
openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
  -CAcreateserial -days 2 -extfile "$dir/server.ext" -out "$dir/server.pem" 2>/dev/null
# A folder without hashed certificates: OpenSSL looks in no other store.
mkdir -p "$dir/nocerts"

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
  client_body_temp_path $dir/temp/body;
  proxy_temp_path $dir/temp/proxy;
  fastcgi_temp_path $dir/temp/fastcgi;
  uwsgi_temp_path $dir/temp/uwsgi;
  scgi_temp_path $dir/temp/scgi;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $dir/server.pem;
    ssl_certificate_key $dir/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache off;
    ssl_session_tickets off;
    root $dir/www;
  }
}
CONF
/usr/sbin/nginx -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" &
pid=$!
base="https://localhost:$port"
for _ in $(seq 100); do
  if curl -s --cacert "$dir/ca.pem" -o /dev/null "$base/small.txt"; then break; fi
  sleep 0.05
done

if [ "$windows" != none ]; then
  scripts/wine-prefix start "$prefix"
  wine_started=1
  . scripts/wine-env "$prefix"
fi

{
  for _ in $(seq "$fresh_requests"); do
    printf 'url = "%s/small.txt"\noutput = "/dev/null"\n' "$base"
  done
} >"$dir/curl.cfg"
: >"$dir/results"
# One round of LoopbackTimings on one side (linux or wine): its line, labelled.
ours() {
  local side=$1
  shift
  if [ "$side" = linux ]; then
    SSL_CERT_FILE="$dir/ca.pem" SSL_CERT_DIR="$dir/nocerts" "$linux/bench/LoopbackTimings" "$@" |
      sed "s/^/linux /" >>"$dir/results"
  else
    # Output to a file: Wine's background processes must not hold a pipe.
    if ! CORVALE_BENCH_CA="$dir/ca.pem" "$WINE" "$windows/bench/LoopbackTimings.exe" "$@" \
      >"$dir/wine.out" 2>&1; then
      sed 's/\r$//' "$dir/wine.out" >&2
      exit 1
    fi
    sed 's/\r$//' "$dir/wine.out" | grep -v '^$' | sed "s/^/wine /" >>"$dir/results"
  fi
}
for _ in $(seq "$rounds"); do
  speed=$(curl -s --cacert "$dir/ca.pem" -o /dev/null -w '%{speed_download}' "$base/big.bin")
  start=$(date +%s%N)
  curl -s --cacert "$dir/ca.pem" --no-sessionid -H 'Connection: close' -K "$dir/curl.cfg"
  end=$(date +%s%N)
  echo "curl large 0 $(awk -v s="$speed" 'BEGIN { printf "%.1f", s / 1e6 }') MB/s" >>"$dir/results"
  echo "curl fresh 0 $(awk -v n="$fresh_requests" -v ns=$((end - start)) \
    'BEGIN { printf "%.1f", n / (ns / 1e9) }') requests/s" >>"$dir/results"
  for side in linux ${prefix:+wine}; do
    ours "$side" large "$base/big.bin" 1
    ours "$side" fresh "$base/small.txt" "$fresh_requests" 1
  done
done

/usr/bin/python3 - "$dir/results" "$big_mb" "$fresh_requests" <<'PY'
import sys
best = {}
for line in open(sys.argv[1]):
    side, name, _secs, figure, unit = line.split()
    key = (side, name)
    best[key] = max(best.get(key, 0.0), float(figure))
print("== Best of each side's rounds")
print("%-6s %16s %16s %20s" % ("", "curl (Linux)", "Corvale Linux", "Corvale Wine"))
for name, unit in (("large", "MB/s"), ("fresh", "req/s")):
    wine = best.get(("wine", name))
    print("%-6s %10.1f %-5s %10.1f %-5s %15s" % (
        name, best[("curl", name)], unit, best[("linux", name)], unit,
        "%.1f %s" % (wine, unit) if wine else "-"))
print("(a) %s MB over https:  Corvale/curl %.2f (goal >= 0.90)"
      % (sys.argv[2], best[("linux", "large")] / best[("curl", "large")]))
print("(b) %s fresh https GETs:  Corvale/curl %.2f (goal >= 0.90)"
      % (sys.argv[3], best[("linux", "fresh")] / best[("curl", "fresh")]))
if ("wine", "large") in best:
    for name in ("large", "fresh"):
        print("Wine/Linux time, %s: %.2fx (above 1 is slower)"
              % (name, best[("linux", name)] / best[("wine", name)]))
PY
