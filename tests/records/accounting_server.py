#!/usr/bin/env python3
"""Accounting service for the tests: records every request ("<client port>\t<path>"
in LOG) and answers with the ANSWER file, whose first lines may be directives:
SLEEP <s>, CLOSE (no answer), GARBAGE (not HTTP), STATUS <code>, NOKEEP.
Prints its loopback port; serves until stdin closes."""
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOG, ANSWER = sys.argv[1], sys.argv[2]
log_lock = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        # Headers and body leave at once, not held back for an ACK.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, *args):
        pass

    def do_GET(self):
        with log_lock, open(LOG, "a") as f:
            f.write("%d\t%s\n" % (self.client_address[1], self.path))
        with open(ANSWER) as f:
            text = f.read()
        status, keep = 200, True
        while True:
            first, _, rest = text.partition("\n")
            word = first.split(" ")
            if word[0] == "SLEEP":
                time.sleep(float(word[1]))
            elif word[0] == "CLOSE":
                self.close_connection = True
                return
            elif word[0] == "GARBAGE":
                self.wfile.write(b"\x00\x01garbage\r\n\r\n")
                self.close_connection = True
                return
            elif word[0] == "STATUS":
                status = int(word[1])
            elif word[0] == "NOKEEP":
                keep = False
            else:
                break
            text = rest
        body = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "keep-alive" if keep else "close")
        self.end_headers()
        self.wfile.write(body)
        if not keep:
            self.close_connection = True


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
threading.Thread(target=server.serve_forever, daemon=True).start()
sys.stdin.read()
server.shutdown()
