#!/usr/bin/env python3
"""Loopback HTTP server for the 2-way system test: answers by path and
appends every request line to the log file named by its argument. Prints its
port, serves until its standard input closes.
  /info?s=..&t=..  text/plain "Info for <s>: <t>"
  /long            text/plain of 200 characters
  /html            text/html
  /fail            500"""
import sys, threading, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOG = sys.argv[1]
lock = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # One write per answer, sent at once: no delayed-ACK stall per request.
    wbufsize = 1 << 16
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def reply(self, status, ctype, body):
        data = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        with lock, open(LOG, "a") as f:
            f.write(self.path + "\n")
        url = urllib.parse.urlsplit(self.path)
        q = urllib.parse.parse_qs(url.query)
        if url.path == "/info":
            self.reply(200, "text/plain; charset=utf-8",
                       "Info for %s: %s" % (q.get("s", [""])[0], q.get("t", [""])[0]))
        elif url.path == "/long":
            self.reply(200, "text/plain", "".join(chr(ord("a") + i % 26) for i in range(200)))
        elif url.path == "/html":
            self.reply(200, "text/html", "<p>no</p>")
        else:
            self.reply(500, "text/plain", "broken")


srv = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(srv.server_address[1], flush=True)
threading.Thread(target=srv.serve_forever, daemon=True).start()
sys.stdin.read()
srv.shutdown()
