#!/usr/bin/env bash
# MX lookups per second against dnsmasq on loopback: Corvale's resolver
# (DnsResolverBench, BM_MxLookup) next to kdig asking the same question the
# same number of times in one process. dnsmasq answers from its own
# configuration only and is stopped on exit.
#
#   bench/dns-lookups.sh [build directory (default build/default)] [lookups (default 2000)]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
count=${2:-2000}
bench="$build/bench/DnsResolverBench"
[ -x "$bench" ] || { echo "dns-lookups: $bench not built" >&2; exit 1; }

dir=$(mktemp -d /tmp/corvale-dnsbench-XXXXXX)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user=()
if [ "$(id -u)" -eq 0 ]; then user=(--user=root); fi
/usr/sbin/dnsmasq --keep-in-foreground --no-resolv --no-hosts --no-poll --port="$port" \
  --listen-address=127.0.0.1 --bind-interfaces --pid-file="$dir/pid" --conf-file=/dev/null \
  --local=/test/ --local-ttl=3600 --mx-host=one.test,mail.one.test,10 \
  --log-facility="$dir/log" "${user[@]}" &
pid=$!
for _ in $(seq 50); do
  if kdig +short +timeout=1 +retry=0 @127.0.0.1 -p "$port" one.test MX >/dev/null 2>&1; then break; fi
  sleep 0.1
done

CORVALE_BENCH_DNS_PORT=$port "$bench" --benchmark_filter=BM_MxLookup \
  --benchmark_counters_tabular=true

queries=()
for _ in $(seq "$count"); do queries+=(one.test MX); done
start=$(date +%s%N)
kdig +notcp +retry=0 +timeout=2 +noall +answer @127.0.0.1 -p "$port" "${queries[@]}" >"$dir/kdig.out"
end=$(date +%s%N)
answers=$(grep -c 'MX' "$dir/kdig.out" || true)
awk -v n="$count" -v a="$answers" -v ns=$((end - start)) \
  'BEGIN { printf "kdig: %d lookups (%d answers) in %.3f s = %.0f lookups/s\n", n, a, ns / 1e9, n / (ns / 1e9) }'
