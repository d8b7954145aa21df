#!/usr/bin/env bash
# Idle cost of Corvale next to two dynamic-address clients, inadyn and ddclient,
# measured from outside in the same run: resident memory after start (VmRSS and
# RssAnon, the private part, from /proc/<pid>/status), CPU time over an idle
# window (the scheduler's nanosecond count of every thread) and the wake-ups in
# it (voluntary context switches of every thread: each time the process went
# to sleep, so each time something woke it).
#
# All three check a loopback echo page served by nginx ("BEGINIP" address
# "ENDIP") once a minute: inadyn and ddclient on 127.0.0.1:8080, Corvale at
# the address a build without its own echo host asks, http://127.7.0.1/.
# Corvale runs under Xvfb with trayer as the tray host, its window hidden
# (Start Minimized), so its countdown rests and it wakes only for its checks
# and for what Qt itself needs.
# Everything runs in a private network namespace that has only the loopback
# interface, so nothing can reach another address.
#
# Usage: bench/idle-compare.sh [idle-seconds]   (default 600; IDLE_SECONDS too)
#   CORVALE=path/to/Corvale (default build/default/app/Corvale)
#   FLOOR=path/to/QtIdleFloor (default build/default/bench/QtIdleFloor): a bare
#   Qt Widgets program with a hidden window and a timer once a minute, measured
#   beside them as the toolkit's own idle cost.
# The table is printed and saved to build/bench/idle-compare.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
idle=${1:-${IDLE_SECONDS:-600}}
corvale=${CORVALE:-build/default/app/Corvale}
floor=${FLOOR:-build/default/bench/QtIdleFloor}

if [ -z "${CORVALE_BENCH_NETNS:-}" ]; then
  for tool in inadyn ddclient nginx Xvfb trayer unshare; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
      { echo "idle-compare: $tool is missing (scripts/install-deps)" >&2; exit 1; }
  done
  [ -x "$corvale" ] || { echo "idle-compare: $corvale is not built" >&2; exit 1; }
  [ -x "$floor" ] || { echo "idle-compare: $floor is not built" >&2; exit 1; }
  export CORVALE_BENCH_NETNS=1
  exec unshare --net "$0" "$@"
fi
ip link set lo up

work=$(mktemp -d /tmp/corvale-bench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
port=8080  # free: the namespace is new

# The echo page, and a dyndns2-style update answer for the two clients.
mkdir -p "$work/nginx"
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  log_format ua '\$http_user_agent';
  access_log $work/nginx/access.log ua;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$port;
    listen 127.7.0.1:80;  # Corvale's built-in echo host
    location = /GetMyIP.pl {
      default_type text/html;
      return 200 "<html><body>BEGINIP\$remote_addr ENDIP</body></html>\n";
    }
    location / { default_type text/plain; return 200 "good \$remote_addr\n"; }
  }
}
CONF
/usr/sbin/nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
pids+=($!)

# Corvale: hidden at start, checking every minute. The stored address is the
# one the page answers, so no check sends mail (as on most days): a first
# check that did would wait out its MX query in this network and overlap the
# measurement.
mkdir -p "$work/corvale"
cp "$corvale" "$work/corvale/Corvale"
printf 'Name          Bench\r\nEmail         bench@localhost\r\nSchedule      60\r\nStart Min     1\r\nIP            127.0.0.1\r\n' \
  >"$work/corvale/Corvale.ini"
display=:$((100 + RANDOM % 400))
while [ -e "/tmp/.X${display#:}-lock" ]; do display=:$((100 + RANDOM % 400)); done
Xvfb "$display" -screen 0 1024x640x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
trayer --edge top --align right --widthtype pixel --width 200 --height 32 \
  --SetDockType true --transparent false >"$work/trayer.log" 2>&1 &
pids+=($!)
sleep 1
(cd "$work/corvale" && exec ./Corvale) >"$work/corvale.log" 2>&1 &
corvale_pid=$!
pids+=($corvale_pid)
"$floor" >"$work/floor.log" 2>&1 &
floor_pid=$!
pids+=($floor_pid)

# inadyn: a custom provider on loopback, checking every minute.
mkdir -p "$work/inadyn"
cat >"$work/inadyn/inadyn.conf" <<CONF
period = 60
custom loopback {
  ssl             = false
  checkip-server  = 127.0.0.1:$port
  checkip-path    = /GetMyIP.pl
  checkip-ssl     = false
  ddns-server     = 127.0.0.1:$port
  ddns-path       = "/nic/update?hostname=%h&myip=%i"
  username        = bench
  password        = bench
  hostname        = bench.localhost
}
CONF
inadyn -n -l err -f "$work/inadyn/inadyn.conf" --cache-dir "$work/inadyn" \
  -P "$work/inadyn/inadyn.pid" >"$work/inadyn.log" 2>&1 &
inadyn_pid=$!
pids+=($inadyn_pid)

# ddclient: the same page through its web check, every minute.
mkdir -p "$work/ddclient"
cat >"$work/ddclient/ddclient.conf" <<CONF
daemon=60
syslog=no
quiet=yes
ssl=no
usev4=webv4
webv4=http://127.0.0.1:$port/GetMyIP.pl
webv4-skip=BEGINIP
protocol=dyndns2
server=127.0.0.1:$port
login=bench
password=bench
bench.localhost
CONF
chmod 600 "$work/ddclient/ddclient.conf"
ddclient -foreground -file "$work/ddclient/ddclient.conf" -cache "$work/ddclient/cache" \
  -pid "$work/ddclient/pid" >"$work/ddclient.log" 2>&1 &
ddclient_pid=$!
pids+=($ddclient_pid)

settle=10
sleep "$settle"
# CPU time from the scheduler's own count (nanoseconds on the CPU, every thread
# of the process), not from /proc/<pid>/stat, whose 10 ms ticks are far too
# coarse for processes that wake for microseconds at a time.
cpu_us() { cat /proc/"$1"/task/*/schedstat | awk '{ns += $1} END {printf "%d\n", ns / 1000}'; }
kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }
wakeups() { cat /proc/"$1"/task/*/status | awk '$1 == "voluntary_ctxt_switches:" {n += $2} END {print n}'; }
names=(Corvale inadyn ddclient "Qt floor")
list=($corvale_pid $inadyn_pid $ddclient_pid $floor_pid)
declare -A rss anon c0 w0
for i in 0 1 2 3; do
  p=${list[$i]}
  kill -0 "$p" 2>/dev/null || { echo "idle-compare: ${names[$i]} is not running" >&2; cat "$work"/*.log >&2; exit 1; }
  rss[$i]=$(kb "$p" VmRSS)
  anon[$i]=$(kb "$p" RssAnon)
  c0[$i]=$(cpu_us "$p")
  w0[$i]=$(wakeups "$p")
done
echo "idle-compare: measuring ${idle} s of idle time..." >&2
sleep "$idle"

mkdir -p build/bench
{
  echo "Idle comparison: ${idle} s idle after ${settle} s start-up, all checking a loopback page every 60 s"
  echo "Corvale: window hidden, countdown resting (Xvfb + trayer); $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "Qt floor: bench/QtIdleFloor, a hidden Qt window with a timer once a minute"
  echo "wake-ups: voluntary context switches of all threads during the idle window"
  printf '%-10s %10s %12s %14s %12s %10s %10s\n' program "VmRSS MB" "RssAnon MB" "CPU ms total" \
    "CPU ms/min" "wake-ups" "wakes/min"
  for i in 0 1 2 3; do
    p=${list[$i]}
    kill -0 "$p" 2>/dev/null || { echo "${names[$i]} died during the window"; continue; }
    c1=$(cpu_us "$p")
    w1=$(wakeups "$p")
    awk -v n="${names[$i]}" -v r="${rss[$i]}" -v a="${anon[$i]}" -v d=$((c1 - c0[$i])) -v s="$idle" \
      -v w=$((w1 - w0[$i])) \
      'BEGIN { printf "%-10s %10.1f %12.2f %14.1f %12.2f %10d %10.2f\n", n, r/1024, a/1024, d/1000, d*60/s/1000, w, w*60/s }'
  done
  echo "requests to the echo page during the run, by client:"
  sort "$work/nginx/access.log" | uniq -c | sed 's/^/  /'
} | tee build/bench/idle-compare.txt
