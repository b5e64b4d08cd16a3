#!/usr/bin/env bash
# End-to-end benchmark of received messages: the npm "smpp" SMSC of the
# system tests (tests/system/npm_smsc.js, after scripts/setup) delivers
# <count> deliver_sm over one SMPP link; the gateway stores them and its
# inbound threads route them to a local account ([Inbound SMS Routing]
# alice=7*). Reports messages per second from the first deliver_sm sent to
# the last file in the account's queue.
#
#   cmake --build build --target smsgw
#   bench/inbound_mo.sh build [count (2000)] [2WaySMSThreadCount (0)]
#
# BENCH_TMP=<dir> where the temporary home goes (default /dev/shm, else /tmp).
# The SMSC itself (one Node.js process) may be the limit; the figure is a
# floor for the gateway.
set -euo pipefail
[ $# -ge 1 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2; exit 2; }
build="$(cd "$1" && pwd)"
count="${2:-2000}"
pairs="${3:-0}"
src="$(cd "$(dirname "$0")/.." && pwd)"
tmp_base="${BENCH_TMP:-}"
if [ -z "$tmp_base" ]; then
  if [ -w /dev/shm ]; then tmp_base=/dev/shm; else tmp_base=/tmp; fi
fi
home="$(mktemp -d "$tmp_base/smsgw-mo.XXXXXX")"
smsc_pid=""
gw_pid=""
cleanup() {
  # Only the processes this script started, by their ids.
  if [ -n "$gw_pid" ]; then kill -TERM "$gw_pid" 2>/dev/null || true; fi
  if [ -n "$smsc_pid" ]; then kill -TERM "$smsc_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
count_lines() { grep -c "$1" "$2" 2>/dev/null || true; }

mkfifo "$home/smsc.in"
node "$src/tests/system/npm_smsc.js" 0 <"$home/smsc.in" >"$home/smsc.out" 2>&1 &
smsc_pid=$!
exec 3>"$home/smsc.in"
for _ in $(seq 200); do
  if grep -q '^listening' "$home/smsc.out"; then break; fi
  sleep 0.05
done
port="$(grep -m1 '^listening' "$home/smsc.out" | sed 's/.*port=\([0-9]*\).*/\1/')"
if [ -z "$port" ]; then echo "inbound_mo: SMSC did not start" >&2; exit 1; fi
link="SMPP - 127.0.0.1:$port"
printf '[SMSGW]\nModem1=%s\nWebPort=%s\nEnableReceiptProcessing=No\n2WaySMSThreadCount=%s\n\n[%s]\nUserName=gw\nPassword=pw\n\n[Inbound SMS Routing]\nalice=7*\n' \
  "$link" "$(free_port)" "$pairs" "$link" >"$home/SMSGW.INI"
SMSGW_HOME="$home" "$build/smsgw" >"$home/gateway.out" 2>&1 &
gw_pid=$!
for _ in $(seq 600); do
  if [ "$(count_lines '^bind' "$home/smsc.out")" -ge 2 ]; then break; fi
  sleep 0.05
done

queued() { find "$home/USERS/alice" -name '*.req' 2>/dev/null | wc -l; }
# The commands are written beforehand, so that only sending them is timed.
python3 - "$count" >"$home/commands" <<'PY'
import sys
for i in range(1, int(sys.argv[1]) + 1):
    text = ("mo-%06d" % i).encode().hex().upper()
    print('{"cmd":"deliver","tag":"%d","source_addr":"447700%06d",'
          '"destination_addr":"7001","short_message":"%s"}' % (i, i, text))
PY
start="$(date +%s.%N)"
cat "$home/commands" >&3
for _ in $(seq 1200); do
  if [ "$(queued)" -ge "$count" ]; then break; fi
  sleep 0.1
done
end="$(date +%s.%N)"
got="$(queued)"
echo "messages: $got of $count in the account's queue"
awk -v n="$got" -v a="$start" -v b="$end" \
  'BEGIN { printf "MO/s into the user queue: %.0f (%.2f s)\n", n / (b - a), b - a }'
[ "$got" -eq "$count" ]
