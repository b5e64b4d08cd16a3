#!/bin/sh
# Load benchmark of the HTTP server: a trivial GET (a small attachment file)
# over keep-alive from 32 connections with wrk, the gateway's CPU time per
# 1,000 requests, and its resident memory with 1,000 idle connections open.
# Usage: bench/http_get.sh [gateway binary] [seconds]
set -eu

BIN=${1:-build/smsgw}
SECS=${2:-10}
command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 1; }
[ -x "$BIN" ] || { echo "no gateway binary at $BIN" >&2; exit 1; }

HOME_DIR=$(mktemp -d /tmp/smsgw-bench-http-XXXXXX)
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
GW=""
cleanup() {
    [ -n "$GW" ] && kill "$GW" 2>/dev/null && wait "$GW" 2>/dev/null || true
    rm -rf "$HOME_DIR"
}
trap cleanup EXIT INT TERM

printf '[SMSGW]\r\nDebug=No\r\nWebAuth=No\r\nWebPort=%s\r\nMaxWebConnections=4000\r\n' "$PORT" >"$HOME_DIR/SMSGW.INI"
mkdir -p "$HOME_DIR/SMS-IN/A"
printf 'hello' >"$HOME_DIR/SMS-IN/A/hello.txt"
SMSGW_HOME="$HOME_DIR" "$BIN" >"$HOME_DIR/out.txt" 2>&1 &
GW=$!

i=0
until curl -s -o /dev/null "http://127.0.0.1:$PORT/SMSAttachFile/hello.txt"; do
    i=$((i + 1))
    [ $i -lt 100 ] || { echo "gateway did not start" >&2; exit 1; }
    sleep 0.1
done

cpu_ticks() { awk '{print $14 + $15}' "/proc/$GW/stat"; }
rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$GW/status"; }
TICK=$(getconf CLK_TCK)

before=$(cpu_ticks)
wrk -t2 -c32 -d"${SECS}s" --latency "http://127.0.0.1:$PORT/SMSAttachFile/hello.txt" >"$HOME_DIR/wrk.txt"
after=$(cpu_ticks)
cat "$HOME_DIR/wrk.txt"
reqs=$(awk '/requests in/ {print $1}' "$HOME_DIR/wrk.txt")
awk -v t=$((after - before)) -v hz="$TICK" -v n="$reqs" \
    'BEGIN { printf "gateway CPU: %.1f ms per 1,000 requests\n", t * 1000 / hz / n * 1000 }'

idle_before=$(rss_kb)
python3 - "$PORT" "$HOME_DIR" <<'EOF' &
import socket, sys, time
port, home = int(sys.argv[1]), sys.argv[2]
conns = []
for _ in range(1000):
    s = socket.create_connection(("127.0.0.1", port))
    s.send(b"GET /SMSAttachFile/hello.txt HTTP/1.1\r\n\r\n")
    conns.append(s)
for s in conns:
    s.recv(4096)  # answered; the connection stays open (keep-alive)
time.sleep(1)
open(home + "/idle.ready", "w").close()
time.sleep(5)
EOF
HOLDER=$!
i=0
until [ -f "$HOME_DIR/idle.ready" ]; do
    i=$((i + 1))
    [ $i -lt 600 ] || { echo "idle connections not opened" >&2; exit 1; }
    sleep 0.1
done
idle_after=$(rss_kb)
wait "$HOLDER"
echo "resident memory: $idle_before KB before, $idle_after KB with 1,000 idle connections"
awk -v a="$idle_after" -v b="$idle_before" \
    'BEGIN { printf "per idle connection: %.1f KB\n", (a - b) / 1000 }'
