#!/usr/bin/env bash
# End-to-end benchmark of HTTP submission: wrk submits texts over 32
# keep-alive connections (GET /?PhoneNumber=..&Text=.., every recipient and
# text distinct, WebAuth=No), the gateway writes the request files and
# delivers them over one SMPP link (WindowSize=100) to bench/smsc_fast on
# loopback. Reports messages per second from the first request to the last
# submit_sm, the HTTP accept rate and p99 latency (wrk), the gateway's CPU
# seconds per 1,000 messages and its peak resident memory (VmHWM).
#
# Build (Release) and run:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DSMSGW_TESTS=OFF -DSMSGW_BENCH=ON
#   cmake --build build-rel --target smsgw smsc_fast
#   bench/http_submit.sh build-rel [count (100000)] [connections (32)]
#
# Environment:
#   BENCH_TMP=<dir>   where the temporary gateway home (and so the queue) goes
#                     (default /dev/shm, tmpfs, else /tmp)
#   BENCH_PERF=1      perf record -g the gateway for the whole run and print
#                     the top of the report (BENCH_PERF_OPTS replaces "-g")
#   BENCH_KEEP=1      keep the temporary home afterwards
#   BENCH_INI_SMSGW   extra lines for [SMSGW]
#   BENCH_TIMEOUT=<s> wrk's bound and the wait for the SMSC (default 120)
#
# wrk stops each of its 2 threads after count/2 answered requests (a few
# more are in flight, so slightly more than count are sent); the run waits
# until the SMSC has counted as many submits as wrk got 200 answers.
# "first request" is the time just before wrk starts.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
  sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2
  exit 2
fi
build="$(cd "$1" && pwd)"
count="${2:-100000}"
conns="${3:-32}"
timeout_s="${BENCH_TIMEOUT:-120}"
here="$(cd "$(dirname "$0")" && pwd)"
command -v wrk >/dev/null || { echo "http_submit: wrk is not installed" >&2; exit 2; }
for tool in smsgw smsc_fast; do
  [ -x "$build/$tool" ] || { echo "http_submit: $build/$tool missing" >&2; exit 2; }
done

tmp_base="${BENCH_TMP:-}"
if [ -z "$tmp_base" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then tmp_base=/dev/shm; else tmp_base=/tmp; fi
fi
home="$(mktemp -d "$tmp_base/smsgw-bench.XXXXXX")"
smsc_pid=""; gw_pid=""; perf_pid=""
cleanup() {
  # Only the processes this script started, by their ids.
  [ -n "$perf_pid" ] && kill -INT "$perf_pid" 2>/dev/null || true
  [ -n "$gw_pid" ] && kill -KILL "$gw_pid" 2>/dev/null || true
  [ -n "$smsc_pid" ] && kill -TERM "$smsc_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "home kept: $home"; else rm -rf "$home"; fi
}
trap cleanup EXIT

now() { date +%s.%N; }
stat_field() { sed 's/^.*) //' "/proc/$1/stat" | awk -v n="$2" '{ print $(n - 2) }'; }
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

"$build/smsc_fast" --port-file "$home/smsc.port" --status-file "$home/smsc.status" \
  >"$home/smsc.out" 2>&1 &
smsc_pid=$!
for _ in $(seq 100); do [ -s "$home/smsc.port" ] && break; sleep 0.05; done
port="$(cat "$home/smsc.port" 2>/dev/null || true)"
[ -n "$port" ] || { echo "http_submit: smsc_fast did not start" >&2; exit 1; }
link="SMPP - 127.0.0.1:$port"
web="$(free_port)"
cat >"$home/SMSGW.INI" <<INI
[SMSGW]
Modem1=$link
Debug=No
WebAuth=No
WebPort=$web
MaxWebConnections=1000
${BENCH_INI_SMSGW:-}

[$link]
WindowSize=100
INI

SMSGW_HOME="$home" "$build/smsgw" >"$home/gateway.out" 2>&1 &
gw_pid=$!
for i in $(seq 200); do
  curl -s -o /dev/null "http://127.0.0.1:$web/SMSAttachFile/none" && break
  kill -0 "$gw_pid" 2>/dev/null || { echo "http_submit: gateway ended" >&2; tail -5 "$home/gateway.out" >&2; exit 1; }
  sleep 0.05
done
# The link is bound before the load starts.
for _ in $(seq 200); do
  grep -q 'binds=[1-9]' "$home/smsc.status" 2>/dev/null && break; sleep 0.05
done
tck="$(getconf CLK_TCK)"
cpu0=$(( $(stat_field "$gw_pid" 14) + $(stat_field "$gw_pid" 15) ))
if [ "${BENCH_PERF:-0}" = 1 ]; then
  # shellcheck disable=SC2086
  perf record ${BENCH_PERF_OPTS:--g} -o "$home/perf.data" -p "$gw_pid" >"$home/perf.out" 2>&1 &
  perf_pid=$!
  sleep 0.5
fi

echo "== $count submissions over $conns connections, home on $(stat -f -c %T "$home") ($home)"
load0="$(cut -d' ' -f1-3 /proc/loadavg)"
t0="$(now)"
SUBMIT_PER_THREAD=$(( count / 2 )) SUBMIT_DONE_DIR="$home" wrk -t2 -c"$conns" -d"${timeout_s}s" \
  --latency -s "$here/http_submit.lua" "http://127.0.0.1:$web/" >"$home/wrk.txt" 2>&1 &
wrk_pid=$!
# wrk runs for its whole duration even when its threads stopped: once both
# wrote the time of their last answer, SIGINT makes it print its figures.
for _ in $(seq $(( timeout_s * 20 ))); do
  [ -s "$home/done.0" ] && [ -s "$home/done.1" ] && break
  kill -0 "$wrk_pid" 2>/dev/null || break
  sleep 0.05
done
kill -INT "$wrk_pid" 2>/dev/null || true
wait "$wrk_pid" || true
t1="$(cat "$home/done.0" "$home/done.1" 2>/dev/null | sort -n | tail -1)"
[ -n "$t1" ] || t1="$(now)"
sent="$(awk '/requests in/ { print $1 }' "$home/wrk.txt")"
non2xx="$(awk '/Non-2xx/ { print $NF }' "$home/wrk.txt")"
errs="$(grep -c 'Socket errors' "$home/wrk.txt" || true)"
accepted=$(( sent - ${non2xx:-0} ))

status=""; deadline=$(( $(date +%s) + timeout_s ))
get() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$status"; }
while :; do
  status="$(cat "$home/smsc.status" 2>/dev/null || true)"
  [ "$(get submits)" -ge "$accepted" ] 2>/dev/null && break
  [ "$(date +%s)" -lt "$deadline" ] || { echo "http_submit: gave up waiting for the SMSC" >&2; break; }
  sleep 0.1
done
# Requests in flight when wrk was stopped may still arrive: wait until the
# count holds still for a second.
prev=""
for _ in $(seq 20); do
  sleep 0.5
  status="$(cat "$home/smsc.status")"
  [ "$(get submits)" = "$prev" ] && break
  prev="$(get submits)"
done
cpu1=$(( $(stat_field "$gw_pid" 14) + $(stat_field "$gw_pid" 15) ))
hwm_kb="$(awk '/^VmHWM:/ { print $2 }' "/proc/$gw_pid/status")"
load="$(cut -d' ' -f1-3 /proc/loadavg)"
if [ -n "$perf_pid" ]; then kill -INT "$perf_pid"; wait "$perf_pid" 2>/dev/null || true; perf_pid=""; fi
kill -TERM "$gw_pid" 2>/dev/null || true
for _ in $(seq 300); do kill -0 "$gw_pid" 2>/dev/null || break; sleep 0.1; done
wait "$gw_pid" 2>/dev/null || true
gw_pid=""

submits="$(get submits)"; distinct="$(get distinct)"; last="$(get last)"
left="$(find "$home/Q" -iname '*.req' 2>/dev/null | wc -l)"
echo "== results (load average at the end: $load; before: $load0)"
sed -n '/Latency Distribution/,/99%/p; /Requests\/sec/p; /Non-2xx/p; /Socket errors/p' "$home/wrk.txt"
awk -v n="$submits" -v d="$distinct" -v a="$accepted" -v s="$sent" -v l="$last" \
    -v t0="$t0" -v t1="$t1" -v c="$(( cpu1 - cpu0 ))" -v tck="$tck" -v h="$hwm_kb" -v left="$left" 'BEGIN {
  printf "sent %d, accepted (200) %d, delivered %d (distinct texts %d), left in queue %d\n", s, a, n, d, left
  printf "HTTP accept rate     %.0f req/s (%.3f s)\n", a / (t1 - t0), t1 - t0
  if (l > t0) printf "first request..last submit_sm  %.3f s  -> %.0f msg/s\n", l - t0, n / (l - t0)
  printf "gateway CPU          %.2f s -> %.3f CPU s per 1,000 msgs\n", c / tck, n ? c / tck * 1000 / n : 0
  printf "gateway peak RSS     %.1f MB (VmHWM %d kB)\n", h / 1024, h
}'
if [ "${BENCH_PERF:-0}" = 1 ] && [ -s "$home/perf.data" ]; then
  echo "== profile (perf report --no-children, top 50 lines)"
  perf report -i "$home/perf.data" --stdio --no-children 2>/dev/null | grep -v '^$' | grep -v '^#' | head -50 || true
fi
# wrk's count misses the answers in flight when it stopped, so delivered may
# exceed accepted by up to the number of connections.
[ "$submits" -ge "$accepted" ] && [ "$distinct" = "$submits" ] && [ "${non2xx:-0}" = 0 ] && [ "$left" = 0 ]
