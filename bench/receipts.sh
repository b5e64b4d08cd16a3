#!/usr/bin/env bash
# End-to-end receipt benchmark: <count> request files that ask for a receipt
# wait in the queue; the gateway sends them over one SMPP link (asynchronous
# window) to an SMSC on loopback (tests/system/npm_receipt_smsc.js, the npm
# "smpp" package) that answers every submit with a hexadecimal id and sends
# its delivery receipt back at once, the id in the receipt text in decimal.
# Reports messages per second (gateway start to the last submit the SMSC
# counted), receipts matched per second (gateway start to the last receipt
# record) and the receipts left unmatched.
#
#   cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DSMSGW_TESTS=OFF
#   cmake --build build-rel --target smsgw
#   bench/receipts.sh build-rel [count (100000)] [window size (100)]
#
# Environment: BENCH_TMP (default /dev/shm, else /tmp), BENCH_KEEP=1 keeps the
# home, BENCH_TIMEOUT seconds (default 300), BENCH_INI_SMSGW / BENCH_INI_LINK
# extra INI lines, BENCH_ID_FORM=dec|hex|hexlower (default dec), BENCH_PERF=1
# records a call-graph profile of the gateway (perf.data in the kept home).
# Exit status 0 when every message was sent and every receipt matched.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
  sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2
  exit 2
fi
src="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
count="${2:-100000}"
window="${3:-100}"
timeout_s="${BENCH_TIMEOUT:-300}"
[ -x "$build/smsgw" ] || { echo "receipts: $build/smsgw missing" >&2; exit 2; }
node_modules="$src/tests/interop/node_modules"
[ -d "$node_modules/smpp" ] || { echo "receipts: npm smpp missing (scripts/setup)" >&2; exit 2; }

tmp_base="${BENCH_TMP:-}"
if [ -z "$tmp_base" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then tmp_base=/dev/shm; else tmp_base=/tmp; fi
fi
home="$(mktemp -d "$tmp_base/smsgw-rcpt.XXXXXX")"
smsc_pid=""
gw_pid=""
perf_pid=""
cleanup() {
  # Only the processes this script started, by their ids.
  [ -n "$perf_pid" ] && kill -INT "$perf_pid" 2>/dev/null || true
  [ -n "$gw_pid" ] && kill -KILL "$gw_pid" 2>/dev/null || true
  [ -n "$smsc_pid" ] && kill -TERM "$smsc_pid" 2>/dev/null || true
  exec 3>&- 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "home kept: $home"; else rm -rf "$home"; fi
}
trap cleanup EXIT
now() { date +%s.%N; }
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

echo "== filling $home/Q with $count request files asking for a receipt"
mkdir -p "$home/Q"
python3 - "$home/Q" "$count" <<'EOF'
import os, sys
q, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    name = "R%07X.req" % i
    body = ("[SMS]\r\nSubmitUser=benchuser\r\nSender=Shop\r\nPhoneNumber=4477%08d\r\n"
            "Data=Receipt benchmark %d\r\nReceiptRequested=Yes\r\n" % (i, i))
    tmp = os.path.join(q, "." + name)
    with open(tmp, "w") as f:
        f.write(body)
    os.rename(tmp, os.path.join(q, name))
EOF
sync -f "$home/Q" 2>/dev/null || sync

mkfifo "$home/smsc.in"
NODE_PATH="$node_modules" node "$src/tests/system/npm_receipt_smsc.js" 0 "${BENCH_ID_FORM:-dec}" quiet \
  <"$home/smsc.in" >"$home/smsc.out" 2>&1 &
smsc_pid=$!
exec 3>"$home/smsc.in"
for _ in $(seq 100); do grep -q '^listening' "$home/smsc.out" 2>/dev/null && break; sleep 0.05; done
port="$(sed -n 's/^listening\tport=//p' "$home/smsc.out" | head -1)"
[ -n "$port" ] || { echo "receipts: the SMSC did not start" >&2; cat "$home/smsc.out" >&2; exit 1; }
link="SMPP - 127.0.0.1:$port"
cat >"$home/SMSGW.INI" <<EOF
[SMSGW]
Modem1=$link
Debug=No
ReceiveSMS=No
WebPort=$(free_port)
${BENCH_INI_SMSGW:-}

[$link]
WindowSize=$window
${BENCH_INI_LINK:-}
EOF

counts() {
  echo '{"cmd":"counts"}' >&3
  sleep 0.05
  grep '^counts' "$home/smsc.out" | tail -1
}
field() { sed -n "s/.*\\b$1=\\([0-9]*\\).*/\\1/p" <<<"$2"; }
# "<receipt records> <receipts still to match>" in one walk of the store
# (a walk of 100,000 files is not free: the loop below polls once a second).
store_counts() {
  find "$home/SMS-IN" -type f \( -iname '*.rec' -o -iname '*.rct' \) 2>/dev/null |
    awk '{ if (tolower($0) ~ /\.rec$/) r++; else p++ } END { printf "%d %d\n", r, p }'
}

echo "== gateway: $build/smsgw, link '$link', WindowSize=$window"
gw_start="$(now)"
SMSGW_HOME="$home" "$build/smsgw" >"$home/gateway.out" 2>&1 &
gw_pid=$!
if [ "${BENCH_PERF:-0}" = 1 ]; then
  perf record -g -o "$home/perf.data" -p "$gw_pid" >"$home/perf.out" 2>&1 &
  perf_pid=$!
fi
t_msgs=""; t_rcpts=""
deadline=$(( $(date +%s) + timeout_s ))
next_note=$(( $(date +%s) + 5 ))
while :; do
  c="$(counts)"
  submits="$(field submits "$c")"; submits="${submits:-0}"
  if [ -z "$t_msgs" ] && [ "$submits" -ge "$count" ]; then t_msgs="$(now)"; fi
  if [ -n "$t_msgs" ]; then
    read -r recs pend <<<"$(store_counts)"
    if [ "$recs" -ge "$count" ] && [ "$pend" -eq 0 ]; then t_rcpts="$(now)"; break; fi
  fi
  kill -0 "$gw_pid" 2>/dev/null || { echo "receipts: the gateway ended early" >&2; break; }
  [ "$(date +%s)" -ge "$deadline" ] && { echo "receipts: gave up after ${timeout_s}s" >&2; break; }
  if [ "$(date +%s)" -ge "$next_note" ]; then
    read -r recs pend <<<"$(store_counts)"
    echo "   ... submits $submits, receipt records $recs, waiting $pend"
    next_note=$(( next_note + 5 ))
  fi
  if [ -n "$t_msgs" ]; then sleep 1; else sleep 0.2; fi
done

# CPU seconds of a process so far (user + system).
cpu_s() {
  [ -r "/proc/$1/stat" ] || { echo 0; return; }
  sed 's/^.*) //' "/proc/$1/stat" | awk -v t="$(getconf CLK_TCK)" '{ printf "%.2f", ($12 + $13) / t }'
}
gw_cpu="$(cpu_s "$gw_pid")"
smsc_cpu="$(cpu_s "$smsc_pid")"
if [ -n "$perf_pid" ]; then
  kill -INT "$perf_pid" 2>/dev/null || true
  wait "$perf_pid" 2>/dev/null || true
  perf_pid=""
fi
kill -TERM "$gw_pid" 2>/dev/null || true
for _ in $(seq 300); do kill -0 "$gw_pid" 2>/dev/null || break; sleep 0.1; done
wait "$gw_pid" 2>/dev/null || true
gw_pid=""

c="$(counts)"
read -r recs pend <<<"$(store_counts)"
matched="$(find "$home/SMS-IN" -iname '*.rec' -exec grep -h '^ReceiptMessageId=R' {} + 2>/dev/null | wc -l)"
users="$(find "$home/SMS-IN" -iname '*.rec' -exec grep -h '^RouteToLocalUser=benchuser' {} + 2>/dev/null | wc -l)"
unmatched=$(( recs - matched ))
echo "== results (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
echo "SMSC: $c"
echo "CPU seconds          gateway $gw_cpu, SMSC (node) $smsc_cpu"
awk -v s="$gw_start" -v m="${t_msgs:-0}" -v r="${t_rcpts:-0}" -v n="$count" -v recs="$recs" \
    -v matched="$matched" -v users="$users" -v un="$unmatched" 'BEGIN {
  if (m > s) printf "messages             %d in %.2f s -> %.0f msg/s\n", n, m - s, n / (m - s)
  if (r > s) printf "receipts matched     %d in %.2f s -> %.0f receipts/s\n", matched, r - s, matched / (r - s)
  printf "receipt records      %d, for the submitting account %d, unmatched %d\n", recs, users, un
}'
[ -n "$t_rcpts" ] && [ "$unmatched" -eq 0 ] && [ "$matched" -eq "$count" ]
