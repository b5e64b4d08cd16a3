#!/usr/bin/env bash
# Benchmark of the SMPP server: one client (bench/esme_fast) binds as a
# transmitter and submits count messages with a window of outstanding
# submit_sm; the gateway has no SMSC link, so every accepted message stays
# in the queue (on tmpfs by default). Reports submit_sm accepted per
# second, p50 / p99 response latency, the gateway's CPU seconds per 1,000
# messages and its peak resident memory.
#
# With BENCH_CRASH=1 it is the crash test instead: the gateway is killed
# (SIGKILL) while the client submits, restarted, and every message id that
# was answered with status 0 must still be a request file in the queue;
# then the queue is delivered over an SMPP link to bench/smsc_fast, which
# counts how many messages arrived twice.
#
# Build and run:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DSMSGW_TESTS=OFF -DSMSGW_BENCH=ON
#   cmake --build build-rel --target smsgw esme_fast smsc_fast
#   bench/smpp_server.sh build-rel [count (100000)] [window (100)]
#
# Environment:
#   BENCH_TMP=<dir>   where the temporary gateway home (and so the queue) goes
#                     (default /dev/shm, tmpfs, else /tmp)
#   BENCH_KEEP=1      keep the temporary home afterwards
#   BENCH_INI_SMSGW   extra lines for [SMSGW] (e.g. DurableQueue=Yes)
#   BENCH_CRASH=1     the crash test (count default 20000); BENCH_KILL_AFTER
#                     answered submits before the kill (default count / 2)
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
  sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2
  exit 2
fi
build="$(cd "$1" && pwd)"
crash="${BENCH_CRASH:-0}"
if [ "$crash" = 1 ]; then count="${2:-20000}"; else count="${2:-100000}"; fi
window="${3:-100}"
for tool in smsgw esme_fast smsc_fast; do
  [ -x "$build/$tool" ] || { echo "smpp_server: $build/$tool missing" >&2; exit 2; }
done

tmp_base="${BENCH_TMP:-}"
if [ -z "$tmp_base" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then tmp_base=/dev/shm; else tmp_base=/tmp; fi
fi
home="$(mktemp -d "$tmp_base/smsgw-smpp-bench.XXXXXX")"
gw_pid=""; esme_pid=""; smsc_pid=""
cleanup() {
  # Only the processes this script started, by their ids.
  [ -n "$esme_pid" ] && kill -TERM "$esme_pid" 2>/dev/null || true
  [ -n "$gw_pid" ] && kill -KILL "$gw_pid" 2>/dev/null || true
  [ -n "$smsc_pid" ] && kill -TERM "$smsc_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "home kept: $home"; else rm -rf "$home"; fi
}
trap cleanup EXIT

stat_field() { sed 's/^.*) //' "/proc/$1/stat" | awk -v n="$2" '{ print $(n - 2) }'; }
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port="$(free_port)"
cat >"$home/SMSGW.INI" <<INI
[SMSGW]
Debug=No
SMPPPort=$port
SMPPServerEnquireLink=0
${BENCH_INI_SMSGW:-}
INI

start_gateway() {
  # An INI changed within the last two seconds is re-read at every lookup
  # (its time stamp cannot tell a later change yet): the load starts later.
  local age=$(( $(date +%s) - $(stat -c %Z "$home/SMSGW.INI") ))
  [ "$age" -ge 3 ] || sleep $(( 3 - age ))
  SMSGW_HOME="$home" "$build/smsgw" >>"$home/gateway.out" 2>&1 &
  gw_pid=$!
  for _ in $(seq 200); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 0.2).close()" \
      2>/dev/null && return 0
    kill -0 "$gw_pid" 2>/dev/null || { echo "smpp_server: gateway ended" >&2; tail -5 "$home/gateway.out" >&2; exit 1; }
    sleep 0.05
  done
  echo "smpp_server: SMPP port $port not open" >&2
  exit 1
}

# The account is added before the gateway starts.
"$build/esme_fast" --home "$home" --port 1 --user bench --password pw --count 0 >/dev/null 2>&1 || true
start_gateway

if [ "$crash" != 1 ]; then
  tck="$(getconf CLK_TCK)"
  cpu0=$(( $(stat_field "$gw_pid" 14) + $(stat_field "$gw_pid" 15) ))
  echo "== $count submit_sm, window $window, queue on $(stat -f -c %T "$home") ($home)"
  result="$("$build/esme_fast" --port "$port" --user bench --password pw --count "$count" --window "$window")"
  cpu1=$(( $(stat_field "$gw_pid" 14) + $(stat_field "$gw_pid" 15) ))
  hwm_kb="$(awk '/^VmHWM:/ { print $2 }' "/proc/$gw_pid/status")"
  queued="$(find "$home/Q" -iname '*.req' | wc -l)"
  echo "$result"
  get() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$result"; }
  awk -v ok="$(get ok)" -v c="$(( cpu1 - cpu0 ))" -v tck="$tck" -v h="$hwm_kb" -v q="$queued" 'BEGIN {
    printf "request files in the queue %d\n", q
    printf "gateway CPU          %.2f s -> %.3f CPU s per 1,000 msgs\n", c / tck, ok ? c / tck * 1000 / ok : 0
    printf "gateway peak RSS     %.1f MB (VmHWM %d kB)\n", h / 1024, h
  }'
  kill -TERM "$gw_pid"; wait "$gw_pid" 2>/dev/null || true; gw_pid=""
  [ "$queued" -ge "$(get ok)" ]
  exit
fi

kill_after="${BENCH_KILL_AFTER:-$(( count / 2 ))}"
: >"$home/acked.ids"
echo "== crash test: $count submit_sm, window $window, SIGKILL after $kill_after answers"
"$build/esme_fast" --port "$port" --user bench --password pw --count "$count" --window "$window" \
  --ids-file "$home/acked.ids" --timeout 60 >"$home/esme.out" 2>&1 &
esme_pid=$!
for _ in $(seq 1200); do
  [ "$(wc -l <"$home/acked.ids" 2>/dev/null || echo 0)" -ge "$kill_after" ] && break
  kill -0 "$esme_pid" 2>/dev/null || break
  sleep 0.01
done
kill -KILL "$gw_pid"
wait "$gw_pid" 2>/dev/null || true
gw_pid=""
wait "$esme_pid" 2>/dev/null || true
esme_pid=""
cat "$home/esme.out"
start_gateway
sleep 2
kill -TERM "$gw_pid"; wait "$gw_pid" 2>/dev/null || true; gw_pid=""
find "$home/Q" -iname '*.req' -printf '%f\n' | sed 's/\.[Rr][Ee][Qq]$//' | sort >"$home/queued.ids"
sort -u "$home/acked.ids" >"$home/acked.sorted"
acked="$(wc -l <"$home/acked.sorted")"
queued="$(wc -l <"$home/queued.ids")"
lost="$(comm -23 "$home/acked.sorted" "$home/queued.ids" | wc -l)"
echo "answered with status 0: $acked; request files after the restart: $queued; lost: $lost"
echo "(files without an answer: $(( queued - acked + lost )), submitted but killed before the answer)"
[ "$lost" = 0 ] || exit 1

# Then the queue goes to an SMSC: every file once, none twice.
"$build/smsc_fast" --port-file "$home/smsc.port" --status-file "$home/smsc.status" \
  --expect "$queued" >"$home/smsc.out" 2>&1 &
smsc_pid=$!
for _ in $(seq 100); do [ -s "$home/smsc.port" ] && break; sleep 0.05; done
link="SMPP - 127.0.0.1:$(cat "$home/smsc.port")"
printf 'Modem1=%s\n\n[%s]\nWindowSize=100\n' "$link" "$link" >>"$home/SMSGW.INI"
start_gateway
for _ in $(seq 1200); do
  grep -q 'done=1' "$home/smsc.status" 2>/dev/null && break; sleep 0.1
done
sleep 1
kill -TERM "$gw_pid"; wait "$gw_pid" 2>/dev/null || true; gw_pid=""
status="$(cat "$home/smsc.status")"
kill -TERM "$smsc_pid" 2>/dev/null || true; wait "$smsc_pid" 2>/dev/null || true; smsc_pid=""
submits="$(sed -n 's/.*submits=\([0-9]*\).*/\1/p' <<<"$status")"
distinct="$(sed -n 's/.*distinct=\([0-9]*\).*/\1/p' <<<"$status")"
left="$(find "$home/Q" -iname '*.req' | wc -l)"
echo "delivered to the SMSC: $submits submit_sm, $distinct distinct messages, $(( submits - distinct )) twice; left in the queue: $left"
[ "$distinct" -ge "$queued" ] && [ "$left" = 0 ]
