#!/usr/bin/env bash
# The network library's Windows build under Wine next to its Linux build, in
# one run against the same peers on loopback (all of them Linux processes):
#   readline  ReadLine over 100 MB of 40-byte lines from a Python sender
#   large     a 100 MB body from nginx with GetToStream
#   fresh     1000 small GETs from nginx, each on a fresh connection
#   mx        2000 MX lookups answered by dnsmasq
# Both sides run bench/LoopbackTimings (best of three rounds each) and the
# summary gives, per measurement, the time under Wine divided by the time on
# Linux. Wine's own share shows beside it: bench/LoopbackFloor makes the same
# transfers with bare sockets (no Corvale code), each read either blocking
# ("bare") or after a select with a time-out ("waited", as any program whose
# reads are bounded in time must), on both sides too. A Corvale ratio close to
# the floors' ratios is Wine's cost, not Corvale's.
#
#   bench/windows-vs-linux.sh [LINUX_BUILD] [WINDOWS_BUILD]
# Defaults: build/bench-linux and build/bench-windows; each is configured
# (the default preset, the windows preset with the benchmarks on and the tests
# off) when missing, and LoopbackTimings and LoopbackFloor are (re)built in
# both. The Windows
# build's Wine prefix is its own (created on first use) and its wineserver is
# stopped on exit, as are the peers.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux=${1:-build/bench-linux}
windows=${2:-build/bench-windows}

# Sizes: the same as the Linux-only benchmarks (ReadLineBench, http-vs-curl.sh,
# dns-lookups.sh) so that the figures can be read side by side.
big_mb=100
fresh_requests=1000
mx_lookups=2000
rounds=3

if [ ! -f "$linux/CMakeCache.txt" ]; then
  cmake --preset default -B "$linux" >/dev/null
fi
if [ ! -f "$windows/CMakeCache.txt" ]; then
  cmake --preset windows -B "$windows" -DCORVALE_BUILD_BENCH=ON -DCORVALE_BUILD_TESTS=OFF >/dev/null
else
  cmake "$windows" -DCORVALE_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$linux" -j2 --target LoopbackTimings LoopbackFloor >/dev/null
cmake --build "$windows" -j2 --target LoopbackTimings LoopbackFloor >/dev/null
prefix=$(sed -n 's/^CORVALE_WINE_PREFIX:[A-Z]*=//p' "$windows/CMakeCache.txt")
prefix=${prefix:-$root/$windows/wineprefix}

dir=$(mktemp -d /tmp/corvale-winbench-XXXXXX)
pids=()
wine_started=
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  if [ -n "$wine_started" ]; then scripts/wine-prefix stop "$prefix" || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c "import socket; s=socket.socket(socket.AF_INET, socket.$1); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])"
}

# nginx: the 100 MB body and the small reply of the fresh GETs.
mkdir -p "$dir/www" "$dir/temp"
head -c $((big_mb * 1000 * 1000)) /dev/urandom >"$dir/www/big.bin"
printf 'BEGINIP127.0.0.1ENDIP' >"$dir/www/small.txt"
http_port=$(free_port SOCK_STREAM)
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
    listen 127.0.0.1:$http_port;
    root $dir/www;
  }
}
CONF
/usr/sbin/nginx -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" &
pids+=($!)
base="http://127.0.0.1:$http_port"

# dnsmasq: one MX record from its own configuration.
dns_port=$(free_port SOCK_DGRAM)
user=()
if [ "$(id -u)" -eq 0 ]; then user=(--user=root); fi
/usr/sbin/dnsmasq --keep-in-foreground --no-resolv --no-hosts --no-poll --port="$dns_port" \
  --listen-address=127.0.0.1 --bind-interfaces --pid-file="$dir/dnsmasq.pid" --conf-file=/dev/null \
  --local=/test/ --local-ttl=3600 --mx-host=one.test,mail.one.test,10 \
  --log-facility="$dir/dnsmasq.log" "${user[@]}" &
pids+=($!)

# The line sender: to every client, 100 blocks of 1 MiB made of 40-byte CR LF
# lines (the stream of ReadLineBench), then a close.
/usr/bin/python3 -I - "$dir/lines.port" "$big_mb" <<'PY' &
import socket, sys
block = b"".join(b"line %07d abcdefghijklmnopqrstuvwxy\r\n" % i for i in range(26215))
block = block[:(1 << 20) - 2] + b"\r\n"
srv = socket.create_server(("127.0.0.1", 0))
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(srv.getsockname()[1]))
import os
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
while True:
    c, _ = srv.accept()
    try:
        for _ in range(int(sys.argv[2])):
            c.sendall(block)
    except OSError:
        pass
    c.close()
PY
pids+=($!)

# Every peer answers before any figure is taken.
for _ in $(seq 100); do
  if [ -s "$dir/lines.port" ] && curl -s -o /dev/null "$base/small.txt" &&
    kdig +short +timeout=1 +retry=0 @127.0.0.1 -p "$dns_port" one.test MX | grep -q mail; then
    break
  fi
  sleep 0.1
done
lines_port=$(cat "$dir/lines.port")

scripts/wine-prefix start "$prefix"
wine_started=1
. scripts/wine-env "$prefix"

# Runs one measurement of one program (LABEL PROGRAM [--wait] ARGS...) on
# both sides; each appends its line to results.
measure() {
  local label=$1 program=$2
  shift 2
  "$linux/bench/$program" "$@" | sed "s/^/linux $label /" >>"$dir/results"
  # Output to a file: Wine's background processes must not hold a pipe.
  if ! "$WINE" "$windows/bench/$program.exe" "$@" >"$dir/wine.out" 2>&1; then
    sed 's/\r$//' "$dir/wine.out" >&2
    exit 1
  fi
  sed 's/\r$//' "$dir/wine.out" | grep -v '^$' | sed "s/^/wine $label /" >>"$dir/results"
}
: >"$dir/results"
for run in "Corvale LoopbackTimings" "bare LoopbackFloor" "waited LoopbackFloor --wait"; do
  set -- $run
  measure "$@" readline "$lines_port" "$rounds"
  measure "$@" large "$base/big.bin" "$rounds"
  measure "$@" fresh "$base/small.txt" "$fresh_requests" "$rounds"
  measure "$@" mx "$dns_port" one.test "$mx_lookups" "$rounds"
done

/usr/bin/python3 - "$dir/results" <<'PY'
import sys
rows = {}
for line in open(sys.argv[1]):
    side, label, name, secs, figure, unit = line.split()
    rows.setdefault(label, {}).setdefault(name, {})[side] = (float(secs), float(figure), unit)
for label, title in (("Corvale", "Corvale's library (LoopbackTimings)"),
                     ("bare", "Floor: bare sockets, blocking reads (LoopbackFloor)"),
                     ("waited", "Floor: bare sockets, select before each read (LoopbackFloor --wait)")):
    print("== " + title)
    print("%-9s %22s %22s %10s" % ("", "Linux", "Windows under Wine", "Wine/Linux"))
    for name, r in rows[label].items():
        (ls, lf, unit), (ws, wf, _) = r["linux"], r["wine"]
        print("%-9s %12.1f %-9s %12.1f %-9s %9.2fx" % (name, lf, unit, wf, unit, ws / ls))
print("== Corvale under Wine against the floors under Wine (time / floor's time)")
for name in rows["Corvale"]:
    ours = rows["Corvale"][name]["wine"][0]
    print("%-9s %8.2fx bare %8.2fx waited" % (name, ours / rows["bare"][name]["wine"][0],
                                             ours / rows["waited"][name]["wine"][0]))
print("(best of each side's rounds; ratios are times: above 1 is slower)")
PY
