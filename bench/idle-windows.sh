#!/usr/bin/env bash
# Idle cost of Corvale.exe under Wine next to the Linux build, in the same run:
# memory after start (VmRSS, and RssAnon: the private part) and, over an idle
# window, CPU time (the scheduler's nanosecond count of every thread) and
# wake-ups (voluntary context switches of every thread), all measured from
# outside as bench/idle-compare.sh does.
#
# Under Wine a Windows program is not one Linux process: beside the program's
# own process (comm "Corvale.exe") run the wineserver and Wine's background
# programs (services.exe, winedevice.exe, plugplay.exe, svchost.exe, rpcss.exe,
# explorer.exe: Wine's own, started with the first program of a prefix). Every
# process of the prefix is measured and listed; the Wine total counts them all,
# which a native Windows would not charge to the program.
#
# Both programs check the loopback echo page at http://127.7.0.1/ (nginx) once
# a minute with their windows hidden (Start Minimized), the stored address
# being the one the page answers, so that no check sends mail. Beside them, as
# floors: bench/QtIdleFloor (a hidden Qt window with a timer once a minute) and
# bench/Win32IdleFloor.exe (the same in plain Win32, under Wine in the same
# prefix: the wineserver and the background programs serve both Wine programs),
# run twice: bare, and asking the same page at each tick with the fewest
# Winsock calls a check can make. Under Wine each Winsock call is a round trip
# to the wineserver, which the program's thread sleeps through: wake-ups that
# Windows, where the call is a system call, does not have. The second floor
# shows what a check costs any program there.
# Everything runs in a private network namespace with only the loopback
# interface, on Xvfb with trayer as the tray host, and Wine in a prefix of its
# own (created on first use) whose processes all end with the run.
#
# Usage: bench/idle-windows.sh [idle-seconds]   (default 600; IDLE_SECONDS too)
#   CORVALE=build/default/app/Corvale     FLOOR=build/default/bench/QtIdleFloor
#   CORVALE_EXE=build/windows/app/Corvale.exe
#   WIN_FLOOR=build/bench-windows/bench/Win32IdleFloor.exe
#   IDLE_PREFIX=build/bench/wineprefix-idle
# A floor that is not built is left out. The table is printed and saved to
# build/bench/idle-windows.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
idle=${1:-${IDLE_SECONDS:-600}}
corvale=${CORVALE:-build/default/app/Corvale}
floor=${FLOOR:-build/default/bench/QtIdleFloor}
corvale_exe=${CORVALE_EXE:-build/windows/app/Corvale.exe}
win_floor=${WIN_FLOOR:-build/bench-windows/bench/Win32IdleFloor.exe}
prefix=$(realpath -m "${IDLE_PREFIX:-build/bench/wineprefix-idle}")

if [ -z "${CORVALE_BENCH_NETNS:-}" ]; then
  for tool in nginx Xvfb trayer unshare xdpyinfo; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
      { echo "idle-windows: $tool is missing (scripts/install-deps)" >&2; exit 1; }
  done
  [ -x "$corvale" ] || { echo "idle-windows: $corvale is not built" >&2; exit 1; }
  [ -f "$corvale_exe" ] || { echo "idle-windows: $corvale_exe is not built (make windows)" >&2; exit 1; }
  # The prefix is made outside the namespace, once; its server ends with it.
  scripts/wine-prefix init "$prefix"
  export CORVALE_BENCH_NETNS=1
  exec unshare --net "$0" "$@"
fi
ip link set lo up

work=$(mktemp -d /tmp/corvale-idlewin-XXXXXX)
pids=()
cleanup() {
  (. scripts/wine-env "$prefix" && "$WINESERVER" -k) 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

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
    listen 127.7.0.1:80;  # Corvale's built-in echo host
    location = /GetMyIP.pl {
      default_type text/html;
      return 200 "<html><body>BEGINIP\$remote_addr ENDIP</body></html>\n";
    }
  }
}
CONF
/usr/sbin/nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
pids+=($!)

display=:$((100 + RANDOM % 400))
while [ -e "/tmp/.X${display#:}-lock" ]; do display=:$((100 + RANDOM % 400)); done
Xvfb "$display" -screen 0 1024x640x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display CORVALE_WINE_DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
trayer --edge top --align right --widthtype pixel --width 200 --height 32 \
  --SetDockType true --transparent false >"$work/trayer.log" 2>&1 &
pids+=($!)
sleep 1

ini='Name          Bench\r\nEmail         bench@localhost\r\nSchedule      60\r\nStart Min     1\r\nIP            127.0.0.1\r\n'
mkdir -p "$work/linux" "$work/windows"
cp "$corvale" "$work/linux/Corvale"
# Both Windows programs run as they are shipped: without their debugging
# sections (scripts/release-windows strips them the same way). A MinGW image's
# sections are not page-aligned in the file, so Wine reads every section of it,
# the 16 MB of DWARF of a build-tree Corvale.exe included, into private memory
# (RssAnon 11.9 MB against 7.0 MB stripped, measured here), which the Windows
# loader, mapping the file, does not.
x86_64-w64-mingw32-strip -o "$work/windows/Corvale.exe" "$corvale_exe"
if [ -f "$win_floor" ]; then
  x86_64-w64-mingw32-strip -o "$work/windows/Win32IdleFloor.exe" "$win_floor"
  win_floor=$work/windows/Win32IdleFloor.exe
fi
printf "$ini" >"$work/linux/Corvale.ini"
printf "$ini" >"$work/windows/Corvale.ini"
(cd "$work/linux" && exec ./Corvale) >"$work/corvale.log" 2>&1 &
corvale_pid=$!
pids+=($corvale_pid)
floor_pid=
if [ -x "$floor" ]; then
  "$floor" >"$work/floor.log" 2>&1 &
  floor_pid=$!
  pids+=($floor_pid)
fi
# Wine's environment only from here on: the processes that carry its prefix
# are the ones counted as Wine's. Wine's own programs start with the first
# program of the server; the output of each goes to a file (Wine's background
# processes would hold a pipe).
. scripts/wine-env "$prefix"
"$WINESERVER" -p
(cd "$work/windows" && exec "$WINE" Corvale.exe) >"$work/wine-corvale.log" 2>&1 &
pids+=($!)
if [ -f "$win_floor" ]; then
  "$WINE" "$win_floor" >"$work/wine-floor.log" 2>&1 &
  pids+=($!)
  # The same floor asking the page once a minute with the fewest calls.
  "$WINE" "$win_floor" 127.7.0.1 /GetMyIP.pl >"$work/wine-check-floor.log" 2>&1 &
  pids+=($!)
fi

# Wine starts slowly on a loaded machine: every figure is taken after the
# settling time.
settle=20
sleep "$settle"

cpu_us() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ns += $1} END {printf "%d\n", ns / 1000}'; }
kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status" 2>/dev/null; }
wakeups() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '$1 == "voluntary_ctxt_switches:" {n += $2} END {print n}'; }
# Every process of the prefix: the ones whose environment names it.
wine_pids() {
  for e in /proc/[0-9]*/environ; do
    # Processes come and go while the list is read; those are not Wine's.
    if { tr '\0' '\n' <"$e"; } 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then
      p=${e#/proc/}
      echo "${p%/environ}"
    fi
  done
}

names=("Corvale (Linux, Qt)")
list=($corvale_pid)
if [ -n "$floor_pid" ]; then names+=("Qt floor"); list+=($floor_pid); fi
for p in $(wine_pids); do
  c=$(cat "/proc/$p/comm" 2>/dev/null) || continue
  # The shell that started the program is not Wine.
  case "$c" in bash | sh) continue ;; esac
  case "$c" in
    Corvale.exe) c="Corvale.exe (Wine)" ;;
    Win32IdleFloor*)
      if tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null | grep -q GetMyIP; then
        c="Win32 floor + check (Wine)"
      else
        c="Win32 floor (Wine)"
      fi
      ;;
    *) c="  Wine: $c" ;;
  esac
  names+=("$c")
  list+=($p)
done
declare -A rss anon c0 w0
for i in "${!list[@]}"; do
  p=${list[$i]}
  kill -0 "$p" 2>/dev/null || { echo "idle-windows: ${names[$i]} is not running" >&2; cat "$work"/*.log >&2; exit 1; }
  rss[$i]=$(kb "$p" VmRSS)
  anon[$i]=$(kb "$p" RssAnon)
  c0[$i]=$(cpu_us "$p")
  w0[$i]=$(wakeups "$p")
done
printf '%s\n' "${names[@]}" | grep -q '^Corvale.exe' ||
  { echo "idle-windows: Corvale.exe is not running under Wine" >&2; cat "$work"/wine-corvale.log >&2; exit 1; }
echo "idle-windows: measuring ${idle} s of idle time..." >&2
sleep "$idle"

mkdir -p build/bench
{
  echo "Idle comparison: ${idle} s idle after ${settle} s start-up; each Corvale checks a loopback page every 60 s, window hidden"
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'); Xvfb + trayer; Wine $("$WINE" --version 2>/dev/null) in a prefix of its own"
  echo "wake-ups: voluntary context switches of all threads during the idle window"
  printf '%-26s %9s %11s %13s %11s %9s %9s\n' process "VmRSS MB" "RssAnon MB" "CPU ms total" \
    "CPU ms/min" "wake-ups" "wakes/min"
  row() {
    awk -v n="$1" -v r="$2" -v a="$3" -v d="$4" -v s="$idle" -v w="$5" \
      'BEGIN { printf "%-26s %9.1f %11.2f %13.1f %11.2f %9d %9.2f\n", n, r/1024, a/1024, d/1000, d*60/s/1000, w, w*60/s }'
  }
  tr=0 ta=0 tc=0 tw=0
  for i in "${!list[@]}"; do
    p=${list[$i]}
    kill -0 "$p" 2>/dev/null || { echo "${names[$i]} ended during the window"; continue; }
    c1=$(cpu_us "$p")
    w1=$(wakeups "$p")
    row "${names[$i]}" "${rss[$i]}" "${anon[$i]}" $((c1 - c0[$i])) $((w1 - w0[$i]))
    case "${names[$i]}" in
      "Corvale.exe (Wine)" | "  Wine: "*)
        tr=$((tr + rss[$i])) ta=$((ta + anon[$i])) tc=$((tc + c1 - c0[$i])) tw=$((tw + w1 - w0[$i]))
        ;;
    esac
  done
  row "Corvale.exe + all of Wine" "$tr" "$ta" "$tc" "$tw"
  echo "(the last row charges Corvale.exe with every Wine process of the prefix, the Win32 floor's share of them included)"
  echo "requests to the echo page during the run, by client:"
  sort "$work/nginx/access.log" | uniq -c | sed 's/^/  /'
} | tee build/bench/idle-windows.txt
