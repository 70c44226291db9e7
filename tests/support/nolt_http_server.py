#!/usr/bin/env python3
"""HTTP test server of the transfer tests (python3 standard library only).

Serves the files of one directory on a free loopback port, and can be told to
misbehave per request, so that the tests state both the answer and what the
server must have received.

Start:
    nolt_http_server.py --root DIR [--log FILE] [--answer-log FILE] [--rules FILE]
                        [--port-file FILE] [--lease] [--port N]
                        [--tls-cert PEM --tls-key PEM --tls-port-file FILE [--tls-port N]]

It listens on 127.0.0.1 (port 0 picks a free port) and prints the port on
stdout as one line; with --port-file it also writes the port to that file
(written to a side name, then renamed, so a reader never sees half a number).
It stops when
  - it receives GET /_quit,
  - with --lease: the connection that sent "GET /_lease" closes (the test that
    started the server holds it open; when the test ends or dies, the kernel
    closes it), or no lease arrives within 30 seconds of the start,
  - or the --root directory has been removed,
and it removes the port file as its last act. With --tls-cert and --tls-key it also
serves the same requests over TLS on a second free port, which it writes to
--tls-port-file before the first port file is written. The lease works the same for a
Linux test and for a Windows test under Wine, which cannot hand a pipe to a
Linux child process.

Requests. GET and HEAD serve <root>/<path>; a directory or a missing file is a
404. A request with a Range header of one range ("bytes=A-", "bytes=A-B" or
"bytes=-N") gets that part of the file as 206 with Content-Range, or 416 with
"Content-Range: bytes */SIZE" when it starts beyond the end; with If-Range the
range is served only when the validator equals the ETag (when one is sent) or the
Last-Modified text of the answer, otherwise the whole file as 200. A backslash in the path (raw or as %5C) separates directories. A request target in absolute form ("GET http://host/x HTTP/1.1", as a client
sends it to a proxy) is served the same way from its path, so the server can stand
in for a proxy. PUT and POST store the received body (Content-Length or chunked)
at <root>/<path> and answer 201 (PUT) or 200 (POST) with an empty body; a body
that ends short of its Content-Length is logged with the length that came, not
stored and not answered.

Behaviour options, given as query parameters of the request (?drop=100&delay=1)
or per path in the --rules file, a JSON object {"/path": {"option": "value"}}
that is read again on every request (query parameters win); the path "*" holds
the options of every path that has none of its own (a portal that answers every
URL with its page):
    status=N        answer status N with the body "status N\\n"
    body=TEXT       answer TEXT instead of a file
    auth=USER:PASS  demand Basic authorization; otherwise 401 with WWW-Authenticate
    lastmod=omit    send no Last-Modified (default: the file's modification time)
    lastmod=DATE    send this Last-Modified text
    length=omit     send no Content-Length; the body ends when the connection closes
    chunked=1       send the body with chunked transfer coding
    drop=N          announce the full length, send N body bytes, then close
    delay=SECONDS   wait before answering
    slow=SECONDS    wait this long before every piece of 16384 body bytes
    redirect=URL    answer 302 with Location URL (a path or a full URL)
    redirect_status=N  the status of that answer instead of 302 (307, 308)
    garbage=TEXT    answer TEXT, which is no HTTP at all, and close the connection
    close=1         close the connection after the answer
  GET and HEAD only:
    etag=TEXT       send this ETag (give the quotes: "v1"); etag=auto derives one
                    from the file's size and modification time
    ranges=none     ignore Range and If-Range: always the whole file as 200
    stall=N         announce the full length, send N body bytes, then send nothing
                    more, holding the connection open until the client closes it
    hang=1          read the request and never answer, holding the connection open
                    until the client closes it
    trickle=SECONDS send the body one byte at a time, SECONDS apart
    extra=N         send N bytes more than the announced length after the body
    endless=1       send no Content-Length, and after the body zero bytes without
                    end, until the client closes the connection
  PUT and POST only, applied while the body comes in:
    hangup=N        read N body bytes, then close the connection without an answer
    stall=N         read N body bytes, then stop reading until the client gives up
    sink=1          read the body in large pieces and throw it away (benchmarks)

Log. With --log, every request but the two above (/_lease, /_quit) is appended
to FILE as one JSON object per line, written before the answer is sent (for PUT
and POST, once the body has come):
    {"method": "GET", "target": "/a.cab?x=1", "path": "/a.cab", "absolute": false,
     "headers": [["Host", "127.0.0.1:4711"], ...], "client_port": 51234,
     "body_length": 0}
With --answer-log, every answer of a GET with a body is appended to that file once
it has ended (sent, dropped, or given up when the client went away):
    {"path": "/a.cab", "status": 206, "content_range": "bytes 100-999/1000",
     "announced": 900, "sent": 900, "client_port": 51234}
"""

import argparse
import base64
import email.utils
import json
import os
import select
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PIECE = 16384
HOLD_LIMIT = 600  # the longest a stalled or hanging answer holds its connection, in seconds


class Config:
    root = "."
    log = None
    answer_log = None
    rules = None
    log_lock = threading.Lock()


def load_rules(path):
    if not Config.rules:
        return {}
    try:
        with open(Config.rules, "r", encoding="utf-8") as f:
            rules = json.load(f)
    except (OSError, ValueError):
        return {}
    return dict(rules.get(path, rules.get("*", {})))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "NoltTestServer/1.0"

    def log_message(self, fmt, *args):  # quiet: the JSON log is the record
        pass

    # -- request parsing -------------------------------------------------
    def split_target(self):
        target = self.path
        absolute = False
        if "://" in target.split("?", 1)[0]:
            absolute = True
            parts = urllib.parse.urlsplit(target)
            target = parts.path or "/"
            if parts.query:
                target += "?" + parts.query
        path, _, query = target.partition("?")
        options = load_rules(path)
        for key, values in urllib.parse.parse_qs(query, keep_blank_values=True).items():
            options[key] = values[-1]
        return path, absolute, options

    def read_body(self, options):
        """The request body, or None when the client or an option cut it short
        (the connection is then closed without an answer)."""
        hangup = int(options["hangup"]) if "hangup" in options else None
        stall = int(options["stall"]) if "stall" in options else None
        if hangup is not None or stall is not None or options.get("sink") == "1":
            return self.read_limited(hangup, stall, options.get("sink") == "1")
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            data = bytearray()
            while True:
                line = self.rfile.readline()
                size = int(line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    self.received = len(data)
                    return bytes(data)
                data += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length", "0") or "0")
        body = self.rfile.read(length) if length > 0 else b""
        self.received = len(body)
        return body if len(body) == length else None

    def read_limited(self, hangup, stall, sink):
        length = int(self.headers.get("Content-Length", "0") or "0")
        limit = min(x for x in (hangup, stall, length) if x is not None)
        data = bytearray()
        got = 0
        while got < limit:
            piece = self.rfile.read1(min(1 << 20, limit - got))
            if not piece:
                break
            got += len(piece)
            if not sink:
                data += piece
        self.received = got
        if got == length and hangup is None and stall is None:
            return bytes(data)
        if stall is not None and got == stall:
            # Reads nothing more for longer than any client waits, then closes.
            time.sleep(90)
        self.close_connection = True
        return None

    def write_log(self, path, absolute, body_length):
        if not Config.log:
            return
        record = {
            "method": self.command,
            "target": self.path,
            "path": path,
            "absolute": absolute,
            "headers": [[k, v] for k, v in self.headers.items()],
            "client_port": self.client_address[1],
            "body_length": body_length,
        }
        with Config.log_lock:
            with open(Config.log, "a", encoding="utf-8") as f:
                f.write(json.dumps(record) + "\n")

    def write_answer_log(self, path, status, content_range, announced, sent):
        if not Config.answer_log:
            return
        record = {"path": path, "status": status, "content_range": content_range, "announced": announced,
                  "sent": sent, "client_port": self.client_address[1]}
        with Config.log_lock:
            with open(Config.answer_log, "a", encoding="utf-8") as f:
                f.write(json.dumps(record) + "\n")

    def hold_until_client_closes(self):
        """Sends nothing and waits until the client closes the connection."""
        self.wfile.flush()
        deadline = time.monotonic() + HOLD_LIMIT
        try:
            while time.monotonic() < deadline:
                ready, _, _ = select.select([self.connection], [], [], 0.5)
                if ready and not self.connection.recv(4096):
                    break
        except OSError:
            pass
        self.close_connection = True

    def local_file(self, path):
        # A backslash in the path is a directory separator, as on a Windows server:
        # packages of names such as sub\\file.dll are requested that way.
        rel = urllib.parse.unquote(path).replace("\\", "/").lstrip("/")
        full = os.path.normpath(os.path.join(Config.root, rel))
        root = os.path.normpath(Config.root)
        if full != root and not full.startswith(root + os.sep):
            return None
        return full

    # -- answers -----------------------------------------------------------
    def simple(self, status, text, extra=(), close=False):
        body = text.encode("utf-8")
        self.send_response(status)
        for k, v in extra:
            self.send_header(k, v)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def authorized(self, options):
        want = options.get("auth")
        if not want:
            return True
        got = self.headers.get("Authorization", "")
        expected = "Basic " + base64.b64encode(want.encode("latin-1")).decode("ascii")
        return got == expected

    def common(self, options, close):
        """Delay, authorization, status and redirect; True when answered."""
        if "delay" in options:
            time.sleep(float(options["delay"]))
        if not self.authorized(options):
            self.simple(401, "authorization required\n", [("WWW-Authenticate", 'Basic realm="nolt"')], close)
            return True
        if "garbage" in options:
            self.wfile.write(options["garbage"].encode("utf-8"))
            self.close_connection = True
            return True
        if "redirect" in options:
            status = int(options.get("redirect_status", "302"))
            self.simple(status, "moved\n", [("Location", options["redirect"])], close)
            return True
        if "status" in options:
            status = int(options["status"])
            self.simple(status, "status %d\n" % status, (), close)
            return True
        return False

    def hold_lease(self):
        self.server.leased.set()
        try:
            while self.connection.recv(4096):
                pass
        except OSError:
            pass
        self.close_connection = True
        threading.Thread(target=self.server.shutdown, daemon=True).start()

    def do_GET(self):
        self.answer_get()

    def do_HEAD(self):
        self.answer_get()

    def answer_get(self):
        path, absolute, options = self.split_target()
        if path == "/_lease":
            self.hold_lease()
            return
        if path == "/_quit":
            self.simple(200, "bye\n", close=True)
            threading.Thread(target=self.server.shutdown, daemon=True).start()
            return
        self.write_log(path, absolute, 0)
        close = options.get("close") == "1"
        if options.get("hang") == "1":
            self.hold_until_client_closes()
            return
        if self.common(options, close):
            return

        mtime = None
        if "body" in options:
            data = options["body"].encode("utf-8")
            size = len(data)
            source = None
        else:
            full = self.local_file(path)
            if full is None or not os.path.isfile(full):
                self.simple(404, "not found\n", close=close)
                return
            source = open(full, "rb")
            size = os.fstat(source.fileno()).st_size
            mtime = os.fstat(source.fileno()).st_mtime
            data = None
        try:
            self.send_body(options, close, data, source, size, mtime, path)
        finally:
            if source:
                source.close()

    def etag_of(self, options, size, mtime):
        etag = options.get("etag")
        if etag == "auto":
            return '"%x-%x"' % (size, int((mtime or 0) * 1e9))
        return etag

    def requested_range(self, options, size, validators):
        """(first, last) of a satisfiable single range, "unsatisfiable", or None
        for the whole body."""
        header = self.headers.get("Range")
        if not header or options.get("ranges") == "none":
            return None
        if_range = self.headers.get("If-Range")
        if if_range is not None and if_range not in validators:
            return None
        unit, _, ranges = header.partition("=")
        if unit.strip().lower() != "bytes" or "," in ranges:
            return None
        first, _, last = ranges.strip().partition("-")
        try:
            if first == "":
                n = int(last)
                if n <= 0:
                    return "unsatisfiable"
                return max(0, size - n), size - 1
            first = int(first)
            last = int(last) if last else size - 1
        except ValueError:
            return None
        if first >= size:
            return "unsatisfiable"
        return first, min(last, size - 1)

    def send_body(self, options, close, data, source, size, mtime, path):
        lastmod = options.get("lastmod")
        chunked = options.get("chunked") == "1"
        no_length = options.get("length") == "omit"
        drop = int(options["drop"]) if "drop" in options else None
        stall = int(options["stall"]) if "stall" in options else None
        slow = float(options.get("slow", "0"))
        trickle = float(options.get("trickle", "0"))
        extra = int(options.get("extra", "0"))
        endless = options.get("endless") == "1"
        if endless:
            no_length = True

        lastmod_text = None
        if lastmod and lastmod != "omit":
            lastmod_text = lastmod
        elif lastmod is None and mtime is not None:
            lastmod_text = email.utils.formatdate(mtime, usegmt=True)
        etag = self.etag_of(options, size, mtime)
        # The validators If-Range may name: the ETag when one is sent, else the date.
        validators = [etag] if etag else [lastmod_text] if lastmod_text else []
        wanted = self.requested_range(options, size, validators)
        if wanted == "unsatisfiable":
            self.simple(416, "range not satisfiable\n", [("Content-Range", "bytes */%d" % size)], close)
            return
        status, first, content_range = 200, 0, None
        length = size
        if wanted is not None:
            first, last = wanted
            status, length = 206, last - first + 1
            content_range = "bytes %d-%d/%d" % (first, last, size)

        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if lastmod_text:
            self.send_header("Last-Modified", lastmod_text)
        if etag:
            self.send_header("ETag", etag)
        if content_range:
            self.send_header("Content-Range", content_range)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif not no_length:
            self.send_header("Content-Length", str(length))
        if no_length or drop is not None or close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command == "HEAD":
            return

        limit = length
        for cut in (drop, stall):
            if cut is not None:
                limit = min(limit, cut)
        sent = 0
        try:
            if (source is not None and not chunked and slow == 0 and trickle == 0 and limit == length
                    and not extra and not endless):
                # The fast path: the kernel copies the file to the socket.
                self.wfile.flush()
                if length:
                    self.connection.sendfile(source, first, length)
                sent = length
            else:
                if source is not None:
                    source.seek(first)
                while sent < limit:
                    n = 1 if trickle else min(PIECE, limit - sent)
                    piece = data[first + sent:first + sent + n] if source is None else source.read(n)
                    if not piece:
                        break
                    if slow:
                        time.sleep(slow)
                    if trickle:
                        time.sleep(trickle)
                    if chunked:
                        self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
                    else:
                        self.wfile.write(piece)
                    if trickle:
                        self.wfile.flush()
                    sent += len(piece)
                if endless:
                    zeros = bytes(PIECE)
                    while True:  # ends with OSError when the client closes
                        self.wfile.write(zeros)
                        sent += len(zeros)
                if extra:
                    self.wfile.write(b"x" * extra)
                    self.wfile.flush()
                    self.close_connection = True
                    return
                if stall is not None:
                    self.hold_until_client_closes()
                    return
                if drop is not None:
                    self.wfile.flush()
                    try:
                        self.connection.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
                    self.close_connection = True
                    return
                if chunked:
                    self.wfile.write(b"0\r\n\r\n")
        except OSError:
            # The client went away in the middle.
            self.close_connection = True
        finally:
            self.write_answer_log(path, status, content_range, length, sent)

    def store(self, status):
        path, absolute, options = self.split_target()
        self.received = 0
        body = self.read_body(options)
        self.write_log(path, absolute, self.received)
        if body is None:
            self.close_connection = True
            return
        if options.get("sink") == "1":
            self.simple(status, "", close=options.get("close") == "1")
            return
        close = options.get("close") == "1"
        if self.common(options, close):
            return
        full = self.local_file(path)
        if full is None:
            self.simple(403, "refused\n", close=close)
            return
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(body)
        self.simple(status, "", close=close)

    def do_PUT(self):
        self.store(201)

    def do_POST(self):
        self.store(200)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64
    leased = threading.Event()


def watch(server, args):
    """Ends the server when its directory is gone or no lease came in time."""
    start = time.monotonic()
    while os.path.isdir(args.root):
        time.sleep(0.2)
        if args.lease and not server.leased.is_set() and time.monotonic() - start > 30:
            break
    server.shutdown()


def write_port_file(path, port):
    side = path + ".new"
    with open(side, "w") as f:
        f.write("%d\n" % port)
    os.replace(side, path)


def main():
    parser = argparse.ArgumentParser(description="HTTP test server of the transfer tests")
    parser.add_argument("--root", required=True)
    parser.add_argument("--log")
    parser.add_argument("--answer-log")
    parser.add_argument("--rules")
    parser.add_argument("--port-file")
    parser.add_argument("--lease", action="store_true")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--tls-port-file")
    parser.add_argument("--tls-port", type=int, default=0)
    args = parser.parse_args()

    Config.root = os.path.abspath(args.root)
    Config.log = args.log
    Config.answer_log = args.answer_log
    Config.rules = args.rules

    server = Server(("127.0.0.1", args.port), Handler)
    port = server.server_address[1]
    tls_server = None
    if args.tls_cert:
        tls_server = Server(("127.0.0.1", args.tls_port), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        # The handshake happens in the handler's thread, on its first read, so a
        # client that refuses the certificate never holds up the accepting loop.
        tls_server.socket = context.wrap_socket(tls_server.socket, server_side=True,
                                                do_handshake_on_connect=False)
        write_port_file(args.tls_port_file, tls_server.server_address[1])
        threading.Thread(target=tls_server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    if args.port_file:
        write_port_file(args.port_file, port)
    print(port, flush=True)

    threading.Thread(target=watch, args=(server, args), daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.1)
    finally:
        if tls_server:
            tls_server.shutdown()
            tls_server.server_close()
        server.server_close()
        if args.port_file:
            try:
                os.remove(args.port_file)
            except OSError:
                pass


if __name__ == "__main__":
    main()
