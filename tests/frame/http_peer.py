#!/usr/bin/env python3
"""Loopback HTTP(S) server for the outbound client tests: well-formed and
deliberately broken responses chosen by the request path. Prints its port,
serves until its standard input closes. Usage: http_peer.py [cert key]"""
import os, socket, ssl, sys, threading, time

conn_count = 0
lock = threading.Lock()


def read_request(f):
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        line = f.readline()
        if not line:
            return None
        head += line
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":")[1])
    return head + (f.read(length) if length else b"")


def answer(body, status="200 OK", extra=b"", version=b"HTTP/1.1"):
    return (version + b" " + status.encode() + b"\r\nContent-Type: text/plain\r\n" + extra +
            b"Content-Length: %d\r\n\r\n" % len(body) + body)


def serve(sock, port, tls):
    global conn_count
    with lock:
        conn_count += 1
        conn = conn_count
    f = sock.makefile("rb")
    served = 0
    try:
        while True:
            req = read_request(f)
            if req is None:
                return
            served += 1
            path = req.split(b" ")[1].decode()
            if path.startswith("http://"):  # absolute form through a proxy
                path = "/" + path.split("/", 3)[3]
            tag = b"conn=%d req=%d\n" % (conn, served)
            if path.startswith("/redirect/"):
                n = int(path.split("/")[2])
                loc = b"/ok" if n == 0 else b"%d" % (n - 1)  # relative to /redirect/
                sock.sendall(answer(b"", "302 Found", b"Location: " + loc + b"\r\n"))
            elif path == "/redirect-other":
                sock.sendall(answer(b"", "302 Found", b"Location: http://localhost:%d/ok\r\n" % port))
            elif path.startswith("/to-plain/"):
                loc = b"http://127.0.0.1:" + path.split("/")[2].encode() + b"/ok"
                sock.sendall(answer(b"", "302 Found", b"Location: " + loc + b"\r\n"))
            elif path == "/redirect-ftp":
                sock.sendall(answer(b"", "301 Moved", b"Location: ftp://127.0.0.1/file\r\n"))
            elif path == "/continue":
                sock.sendall(b"HTTP/1.1 100 Continue\r\n\r\n" + answer(tag + req))
            elif path == "/chunked":
                sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                             b"5\r\nhello\r\n7;x=1\r\n, world\r\n0\r\nX-Trailer: 1\r\n\r\n")
            elif path == "/close":
                sock.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + tag + b"until close")
                return
            elif path == "/short":
                sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten..")
                return
            elif path == "/keep-then-close":
                sock.sendall(answer(tag))
                return
            elif path == "/drop-next":
                sock.sendall(answer(tag))
                if read_request(f) is not None:
                    return  # closes without answering the second request
            elif path == "/beyond":
                sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n12345" + b"x" * 200000)
            elif path == "/endless-headers":
                end = time.time() + 10
                while time.time() < end:
                    sock.sendall(b"X-Filler: " + b"a" * 1000 + b"\r\n")
            elif path == "/chunk-overflow":
                sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                             b"FFFFFFFFFFFFFFFFFFFFFFFF\r\nabc")
                time.sleep(3)
            elif path == "/bad-chunk":
                sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n")
                time.sleep(3)
            elif path in ("/flood", "/drip"):
                sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
                end = time.time() + 15
                while time.time() < end:
                    sock.sendall(b"400\r\n" + b"z" * 1024 + b"\r\n" if path == "/flood" else b"1\r\nz\r\n")
                    if path == "/drip":
                        time.sleep(0.2)
            elif path.startswith("/status/"):
                sock.sendall(answer(tag, path.split("/")[2] + " Status"))
            else:
                sock.sendall(answer(tag + req, extra=b"Connection: close\r\n" if path == "/once" else b""))
                if path == "/once":
                    return
    except (OSError, ssl.SSLError):
        pass
    finally:
        try:
            sock.close()
        except OSError:
            pass


def main():
    ctx = None
    if len(sys.argv) == 3:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(sys.argv[1], sys.argv[2])
    lsock = socket.socket()
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(64)
    port = lsock.getsockname()[1]
    print(port, flush=True)
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    while True:
        s, _ = lsock.accept()
        if ctx:
            try:
                s.settimeout(5)
                s = ctx.wrap_socket(s, server_side=True)
                s.settimeout(None)
            except (OSError, ssl.SSLError):
                s.close()
                continue
        threading.Thread(target=serve, args=(s, port, ctx is not None), daemon=True).start()


main()
