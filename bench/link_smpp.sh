#!/usr/bin/env bash
# End-to-end benchmark of one SMPP link: request files already in the queue
# are delivered by the gateway over one SMPP link (asynchronous window) to a
# fast SMSC on loopback. Reports messages per second, the gateway's CPU
# seconds per 1,000 messages and its peak resident memory.
#
# Build (Release) and run:
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DSMSGW_TESTS=OFF -DSMSGW_BENCH=ON
#   cmake --build build-rel --target smsgw smsc_fast fill_queue
#   bench/link_smpp.sh build-rel [count (100000)] [window size (100)]
#
# Environment:
#   BENCH_TMP=<dir>   where the temporary gateway home goes (default /dev/shm,
#                     tmpfs, else /tmp). On a disk the figure is mostly the
#                     file system's: on a file system mounted with "discard"
#                     every deleted request file costs a synchronous discard.
#   BENCH_PERF=1      record a call-graph profile of the gateway while it
#                     sends (perf record -g) and print the top of the report;
#                     BENCH_PERF_OPTS replaces "-g" (e.g. "--call-graph dwarf
#                     -F 250" for stacks through code built without frame
#                     pointers)
#   BENCH_NICE=<n>    run the SMSC and the gateway each in a session of its
#                     own (setsid) whose scheduling group gets nice <n> (with
#                     autogroup scheduling plain nice only orders the
#                     processes of one session); a negative n needs root and
#                     takes the CPUs from other work for the run
#   BENCH_KEEP=1      keep the temporary home (logs, perf.data) afterwards
#   BENCH_INI_SMSGW, BENCH_INI_LINK
#                     extra lines for [SMSGW] and for the link's section,
#                     e.g. BENCH_INI_SMSGW=$'AsyncCallbackThreads=4'
#   BENCH_TIMEOUT=<s> give up when not everything arrived after this many
#                     seconds (default 300)
#
# Steps: fill the queue with <count> request files (before the gateway
# starts; synced to the file system as a backlog would be), start
# bench/smsc_fast, write SMSGW.INI with
# Modem1=SMPP - 127.0.0.1:<port> and WindowSize=<window>, start the gateway,
# wait until the SMSC has counted every submit, read the gateway's CPU time
# (/proc/<pid>/stat) and VmHWM (/proc/<pid>/status), stop it with SIGTERM.
# Exit status 0 when every message arrived exactly once.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
  sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2
  exit 2
fi
build="$(cd "$1" && pwd)"
count="${2:-100000}"
window="${3:-100}"
timeout_s="${BENCH_TIMEOUT:-300}"
for tool in smsgw smsc_fast fill_queue; do
  if [ ! -x "$build/$tool" ]; then
    echo "link_smpp: $build/$tool missing (build the targets smsgw smsc_fast fill_queue)" >&2
    exit 2
  fi
done

tmp_base="${BENCH_TMP:-}"
if [ -z "$tmp_base" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then tmp_base=/dev/shm; else tmp_base=/tmp; fi
fi
home="$(mktemp -d "$tmp_base/smsgw-bench.XXXXXX")"
smsc_pid=""
gw_pid=""
perf_pid=""
cleanup() {
  # Only the processes this script started, by their ids.
  [ -n "$perf_pid" ] && kill -INT "$perf_pid" 2>/dev/null || true
  [ -n "$gw_pid" ] && kill -KILL "$gw_pid" 2>/dev/null || true
  [ -n "$smsc_pid" ] && kill -TERM "$smsc_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "${BENCH_KEEP:-0}" = 1 ]; then
    echo "home kept: $home"
  else
    rm -rf "$home"
  fi
}
trap cleanup EXIT

now() { date +%s.%N; }
# Field <n> of /proc/<pid>/stat (counted after the command name).
stat_field() { sed 's/^.*) //' "/proc/$1/stat" | awk -v n="$2" '{ print $(n - 2) }'; }
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

echo "== filling $home/Q with $count request files"
"$build/fill_queue" "$home/Q" "$count"
# Written back before the run, as a backlog that waited in the queue is.
sync -f "$home/Q" 2>/dev/null || sync

prio=()
[ -n "${BENCH_NICE:-}" ] && prio=(setsid nice -n "$BENCH_NICE")
set_group_nice() {
  [ -n "${BENCH_NICE:-}" ] || return 0
  # Only once the process leads its own session: before that its group is
  # still this script's.
  for _ in $(seq 100); do
    [ "$(stat_field "$1" 6 2>/dev/null)" = "$1" ] && break
    sleep 0.01
  done
  if [ "$(stat_field "$1" 6 2>/dev/null)" = "$1" ] && [ -w "/proc/$1/autogroup" ]; then
    echo "$BENCH_NICE" >"/proc/$1/autogroup" 2>/dev/null || true
  else
    echo "link_smpp: could not set the scheduling group of $1" >&2
  fi
}
"${prio[@]}" "$build/smsc_fast" --port-file "$home/smsc.port" --status-file "$home/smsc.status" \
  --expect "$count" >"$home/smsc.out" 2>&1 &
smsc_pid=$!
set_group_nice "$smsc_pid"
for _ in $(seq 100); do [ -s "$home/smsc.port" ] && break; sleep 0.05; done
port="$(cat "$home/smsc.port" 2>/dev/null || true)"
if [ -z "$port" ]; then
  echo "link_smpp: smsc_fast did not start" >&2
  exit 1
fi
link="SMPP - 127.0.0.1:$port"
cat >"$home/SMSGW.INI" <<EOF
[SMSGW]
Modem1=$link
Debug=No
WebPort=$(free_port)
${BENCH_INI_SMSGW:-}

[$link]
WindowSize=$window
${BENCH_INI_LINK:-}
EOF

echo "== gateway: $build/smsgw, link '$link', WindowSize=$window"
gw_start="$(now)"
SMSGW_HOME="$home" "${prio[@]}" "$build/smsgw" >"$home/gateway.out" 2>&1 &
gw_pid=$!
set_group_nice "$gw_pid"
if [ "${BENCH_PERF:-0}" = 1 ]; then
  # shellcheck disable=SC2086
  perf record ${BENCH_PERF_OPTS:--g} -o "$home/perf.data" -p "$gw_pid" >"$home/perf.out" 2>&1 &
  perf_pid=$!
fi

status=""
deadline=$(( $(date +%s) + timeout_s ))
next_note=$(( $(date +%s) + 5 ))
while :; do
  status="$(cat "$home/smsc.status" 2>/dev/null || true)"
  case "$status" in *done=1*) break ;; esac
  if ! kill -0 "$gw_pid" 2>/dev/null; then
    echo "link_smpp: the gateway ended early:" >&2
    tail -5 "$home/gateway.out" >&2
    break
  fi
  if [ "$(date +%s)" -ge "$deadline" ]; then
    echo "link_smpp: gave up after ${timeout_s}s" >&2
    break
  fi
  if [ "$(date +%s)" -ge "$next_note" ]; then
    echo "   ... $status"
    next_note=$(( next_note + 5 ))
  fi
  sleep 0.1
done

tck="$(getconf CLK_TCK)"
utime=0; stime=0; hwm_kb=0
if [ -r "/proc/$gw_pid/stat" ]; then
  utime="$(stat_field "$gw_pid" 14)"
  stime="$(stat_field "$gw_pid" 15)"
  hwm_kb="$(awk '/^VmHWM:/ { print $2 }' "/proc/$gw_pid/status")"
fi
load="$(cut -d' ' -f1-3 /proc/loadavg)"
# Per thread: CPU seconds and seconds spent runnable but waiting for a CPU
# (schedstat), which tells a busy machine from a slow gateway.
threads=""
for t in /proc/"$gw_pid"/task/*; do
  [ -r "$t/schedstat" ] || continue
  threads+="$(awk -v id="${t##*/}" '{ printf "%.2f %.2f %s\n", $1 / 1e9, $2 / 1e9, id }' "$t/schedstat")"$'\n'
done

if [ -n "$perf_pid" ]; then
  kill -INT "$perf_pid" 2>/dev/null || true
  wait "$perf_pid" 2>/dev/null || true
  perf_pid=""
fi
kill -TERM "$gw_pid" 2>/dev/null || true
for _ in $(seq 300); do kill -0 "$gw_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$gw_pid" 2>/dev/null; then
  echo "link_smpp: the gateway did not stop within 30 s of SIGTERM" >&2
fi
wait "$gw_pid" 2>/dev/null || true
gw_pid=""

get() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$status"; }
submits="$(get submits)"; distinct="$(get distinct)"
first="$(get first)"; last="$(get last)"
left="$(find "$home/Q" -iname '*.req' | wc -l)"
logged="$(cat "$home"/LOGS/SMSOUT-*.LOG 2>/dev/null | grep -c 'OK -- ' || true)"

echo "== results (load average at the end: $load; home on $(stat -f -c %T "$home"))"
awk -v n="${submits:-0}" -v d="${distinct:-0}" -v f="${first:-0}" -v l="${last:-0}" \
    -v s="$gw_start" -v u="$utime" -v k="$stime" -v t="$tck" -v h="$hwm_kb" \
    -v c="$count" -v left="$left" -v logged="$logged" 'BEGIN {
  printf "delivered            %d of %d (distinct texts %d), left in queue %d, logged OK %d\n", n, c, d, left, logged
  if (n > 1 && l > f) printf "first..last submit   %.3f s  -> %.0f msg/s\n", l - f, (n - 1) / (l - f)
  if (n > 0 && l > s) printf "gateway start..last  %.3f s  -> %.0f msg/s\n", l - s, n / (l - s)
  cpu = (u + k) / t
  printf "gateway CPU          %.2f s (user %.2f, sys %.2f)", cpu, u / t, k / t
  if (n > 0) printf "  -> %.3f CPU s per 1,000 msgs", cpu * 1000 / n
  printf "\n"
  printf "gateway peak RSS     %.1f MB (VmHWM %d kB)\n", h / 1024, h
}'

echo "busiest threads      (CPU s / runnable-but-waiting s)"
sort -rn <<<"$threads" | head -4 | awk 'NF { printf "  tid %-8s %6.2f s / %6.2f s\n", $3, $1, $2 }'

if [ "${BENCH_PERF:-0}" = 1 ] && [ -s "$home/perf.data" ]; then
  echo "== profile (perf report --no-children, top 60 lines)"
  perf report -i "$home/perf.data" --stdio --no-children 2>/dev/null | grep -v '^$' | head -60 || true
fi

[ "${submits:-0}" = "$count" ] && [ "${distinct:-0}" = "$count" ]
