#!/usr/bin/env python3
"""Loopback HTTP(S) server for the tests of both builds (standard library only).

    http_server.py --root DIR [--tls CERT KEY] [--port 0] [--log FILE]

Binds 127.0.0.1 (port 0 = any free port), prints one line "PORT <n>" on stdout
once it listens, and serves until it is killed (SIGTERM). Each connection has
a thread of its own. With --tls every connection speaks TLS with CERT (PEM,
may hold the chain) and KEY. With --log each request is appended to FILE as
one line "METHOD TARGET" (the target with its query), written before the
answer, so a test can see which requests arrived.

HTTP/1.1 with keep-alive; no conditional requests (If-Modified-Since is
ignored, every answer is whole). GET and HEAD are served on every path; HEAD
sends the same headers as GET (Content-Length included) and no body. Other
methods get 501. A request body announced by Content-Length is read (and
shown by /echo).

Generated bodies are the byte pattern (offset % 251) from their first byte,
so a test can compare any length it asked for.

Paths:
  /<file>                          the file under DIR, Last-Modified from its mtime,
                                   application/octet-stream; a folder or missing file: 404
  /status/<code>                   that status, a small text body "Status <code>\\n"
                                   (none for 1xx, 204, 304)
  /nolength/<bytes>                200, no Content-Length, body then connection close
  /short/<announced>/<sent>        Content-Length announced, <sent> bytes, orderly close
  /drop/<announced>/<sent>         Content-Length announced, <sent> bytes, connection reset
  /slow/<bytes>/<chunks>/<delay_ms>
                                   Content-Length <bytes>, body in <chunks> near-equal pieces
                                   with <delay_ms> before each piece but the first
  /stall/<bytes>[/<sent>]          Content-Length <bytes>, <sent> bytes (default half), then
                                   silence until the client goes away
  /gate/<bytes>/<sent>/<name>      Content-Length <bytes>, <sent> bytes, then the rest once the
                                   file DIR/<name> exists (a test makes it when it has seen the
                                   first part; gives up after 60 s)
  /hang                            reads the request, never answers
  /endless                         200, no Content-Length, the pattern without end (until the
                                   client goes away)
  /redirect?to=<path>[&code=<n>]   302 (or <n>) with Location: <scheme>://<Host header><path>;
                                   a <path> that starts with http: or https: is sent as it is
  /auth/<user>/<password>/<path>   Basic authentication with that user and password (each may
                                   be empty; percent-decoded) required, 401 with
                                   WWW-Authenticate otherwise; then /<path> as if asked directly
  /echo[?query]                    200 text/plain: the request line, "Query: <query>", every
                                   request header as received, "Credentials: <user:password>"
                                   when Basic credentials came, and "Body: <request body>";
                                   header X-Request-Body-Length (so HEAD shows it too)
  /lastmod/<date>/<path>           /<path> with Last-Modified fixed: <date> is an HTTP date
                                   (percent-encoded) sent verbatim or seconds since 1970
  /nolastmod/<path>                /<path> without any Last-Modified header
  /hold/<sent>/<path>              /<path>, but of a file longer than <sent> bytes only the first
                                   <sent> go out, then nothing until the client goes away (a
                                   download under way when the test kills the server)
  /endless/<path>                  /<path> without Content-Length, its body repeated without end
  /trickle/<delay_ms>/<path>       /<path> with its headers at once, then its body one byte every
                                   <delay_ms> (a server that never goes silent for long)
  /moved/<name>/<port>/<path>      a GET of /<path> whose last segment is <name>: 302 with
                                   Location: http://127.0.0.1:<port>/<path>; anything else: /<path>
  /await/<name>/<flag>/<path>      a GET of /<path> whose last segment is <name>: answered as
                                   /<path> once the file DIR/<flag> exists (a test makes it when
                                   it is ready; gives up after 60 s); anything else: /<path> at once

The wrappers /auth, /lastmod, /nolastmod, /hold, /endless, /trickle, /moved and /await nest
and may wrap any path above; /endless and /trickle change only the bodies of files.
"""

import argparse
import base64
import email.utils
import http.server
import os
import select
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

PATTERN_PERIOD = 251
_PATTERN = bytes(i % PATTERN_PERIOD for i in range(PATTERN_PERIOD)) * 1044  # 262,044 bytes


def pattern(offset, count):
    """count bytes of the pattern starting at offset."""
    out = bytearray()
    while count > 0:
        start = offset % PATTERN_PERIOD
        take = min(count, len(_PATTERN) - start)
        out += _PATTERN[start:start + take]
        offset += take
        count -= take
    return bytes(out)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # headers and body go out as written, without delayed-ACK stalls
    server_version = "RestLevelTestServer/1"

    def version_string(self):
        return self.server_version

    def log_message(self, fmt, *args):
        pass

    # --- dispatch -----------------------------------------------------------

    def do_GET(self):
        self.handle_request()

    def do_HEAD(self):
        self.handle_request()

    def do_POST(self):
        self.handle_request()

    def handle_request(self):
        self.request_body = b""
        length = self.headers.get("Content-Length")
        if length and length.isdigit():
            self.request_body = self.rfile.read(int(length))
        log = self.server.request_log
        if log is not None:
            with self.server.log_lock:
                log.write("%s %s\n" % (self.command, self.path))
                log.flush()
        if self.command not in ("GET", "HEAD"):
            self.send_simple(501)
            return
        split = urllib.parse.urlsplit(self.path)
        self.query = split.query
        self.last_modified = "file"  # "file": from the file; None: no header; else the text
        self.hold_after = None  # bytes of a file sent before /hold stops
        self.file_body = None  # None: as it is; "endless"; or the trickle's delay in ms
        self.dispatch(split.path)

    def dispatch(self, path):
        parts = path.split("/")[1:]  # keeps empty fields: /auth//pw/x is user ""
        head = parts[0] if parts else ""
        try:
            if head == "status" and len(parts) == 2:
                return self.send_simple(int(parts[1]))
            if head == "nolength" and len(parts) == 2:
                return self.send_nolength(int(parts[1]))
            if head in ("short", "drop") and len(parts) == 3:
                return self.send_cut(int(parts[1]), int(parts[2]), reset=(head == "drop"))
            if head == "slow" and len(parts) == 4:
                return self.send_slow(int(parts[1]), int(parts[2]), int(parts[3]))
            if head == "stall" and len(parts) in (2, 3):
                total = int(parts[1])
                return self.send_stall(total, int(parts[2]) if len(parts) == 3 else total // 2)
            if head == "gate" and len(parts) == 4:
                return self.send_gated(int(parts[1]), int(parts[2]), urllib.parse.unquote(parts[3]))
            if head == "hang" and len(parts) == 1:
                return self.wait_for_client_to_leave()
            if head == "endless" and len(parts) == 1:
                return self.send_endless(None)
            if head == "endless" and len(parts) >= 2:
                self.file_body = "endless"
                return self.dispatch("/" + "/".join(parts[1:]))
            if head == "trickle" and len(parts) >= 3:
                self.file_body = int(parts[1])
                return self.dispatch("/" + "/".join(parts[2:]))
            if head == "moved" and len(parts) >= 4:
                inner = "/" + "/".join(parts[3:])
                if self.command == "GET" and parts[-1] == urllib.parse.unquote(parts[1]):
                    location = "http://127.0.0.1:%d%s" % (int(parts[2]), inner)
                    return self.send_simple(302, extra=[("Location", location)])
                return self.dispatch(inner)
            if head == "await" and len(parts) >= 4:
                inner = "/" + "/".join(parts[3:])
                if self.command == "GET" and parts[-1] == urllib.parse.unquote(parts[1]) \
                        and not self.wait_for_file(urllib.parse.unquote(parts[2])):
                    self.close_connection = True
                    return
                return self.dispatch(inner)
            if head == "redirect" and len(parts) == 1:
                return self.send_redirect()
            if head == "auth" and len(parts) >= 4:
                return self.check_auth(urllib.parse.unquote(parts[1]), urllib.parse.unquote(parts[2]),
                                       "/" + "/".join(parts[3:]))
            if head == "echo" and len(parts) == 1:
                return self.send_echo()
            if head == "lastmod" and len(parts) >= 3:
                self.last_modified = self.fixed_date(urllib.parse.unquote(parts[1]))
                return self.dispatch("/" + "/".join(parts[2:]))
            if head == "nolastmod" and len(parts) >= 2:
                self.last_modified = None
                return self.dispatch("/" + "/".join(parts[1:]))
            if head == "hold" and len(parts) >= 3:
                self.hold_after = int(parts[1])
                return self.dispatch("/" + "/".join(parts[2:]))
        except ValueError:
            return self.send_simple(400)
        return self.send_file(path)

    # --- helpers ------------------------------------------------------------

    @staticmethod
    def fixed_date(text):
        if text.isdigit():
            return email.utils.formatdate(int(text), usegmt=True)
        return text

    def start(self, code, length, content_type="application/octet-stream", extra=(), mtime=None):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        if length is not None:
            self.send_header("Content-Length", str(length))
        if self.last_modified == "file":
            if mtime is not None:
                self.send_header("Last-Modified", email.utils.formatdate(mtime, usegmt=True))
        elif self.last_modified is not None:
            self.send_header("Last-Modified", self.last_modified)
        for name, value in extra:
            self.send_header(name, value)
        if length is None:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.flush()
        return self.command != "HEAD"

    def write(self, data):
        self.wfile.write(data)
        self.wfile.flush()

    def send_simple(self, code, extra=()):
        body = b"" if code < 200 or code in (204, 304) else ("Status %d\n" % code).encode()
        if self.start(code, len(body), "text/plain", extra):
            self.write(body)

    def send_file(self, path):
        local = os.path.realpath(os.path.join(self.server.root, urllib.parse.unquote(path).lstrip("/")))
        if not (local == self.server.root or local.startswith(self.server.root + os.sep)) \
                or not os.path.isfile(local):
            return self.send_simple(404)
        with open(local, "rb") as f:
            st = os.fstat(f.fileno())
            if self.file_body == "endless":
                return self.send_endless(f.read(), st.st_mtime)
            if not self.start(200, st.st_size, mtime=st.st_mtime):
                return
            if self.file_body is not None:
                return self.send_trickle(f.read(), self.file_body)
            if self.hold_after is not None and st.st_size > self.hold_after:
                self.write(f.read(self.hold_after))
                return self.wait_for_client_to_leave()
            if self.server.tls:
                while True:
                    block = f.read(1 << 18)
                    if not block:
                        break
                    self.wfile.write(block)
                self.wfile.flush()
            else:
                self.wfile.flush()
                self.connection.sendfile(f)

    def send_nolength(self, count):
        if self.start(200, None):
            self.write(pattern(0, count))

    def send_cut(self, announced, sent, reset):
        if self.start(200, announced):
            self.write(pattern(0, sent))
        self.close_connection = True
        if reset:
            self.reset_connection()

    def reset_connection(self):
        # Linger 0: close() sends RST instead of FIN (and no TLS close_notify).
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()

    def send_slow(self, count, chunks, delay_ms):
        if not self.start(200, count):
            return
        chunks = max(1, chunks)
        sent = 0
        for i in range(chunks):
            if i:
                time.sleep(delay_ms / 1000.0)
            end = count * (i + 1) // chunks
            self.write(pattern(sent, end - sent))
            sent = end

    def send_endless(self, content, mtime=None):
        # The file's content over and over, or the pattern; a file that is
        # empty has nothing to repeat and is sent as the pattern too.
        if not self.start(200, None, mtime=mtime):
            return
        block = content * max(1, (1 << 16) // len(content)) if content else pattern(0, PATTERN_PERIOD * 256)
        try:
            while True:
                self.wfile.write(block)
        except (OSError, ssl.SSLError):
            self.close_connection = True

    def send_trickle(self, content, delay_ms):
        try:
            for i in range(len(content)):
                if i:
                    time.sleep(delay_ms / 1000.0)
                self.write(content[i:i + 1])
        except (OSError, ssl.SSLError):
            self.close_connection = True

    def send_stall(self, count, sent):
        if self.start(200, count):
            self.write(pattern(0, min(sent, count)))
        self.wait_for_client_to_leave()

    def send_gated(self, count, sent, name):
        if not self.start(200, count):
            return
        sent = min(sent, count)
        self.write(pattern(0, sent))
        gate = os.path.join(self.server.root, name)
        deadline = time.monotonic() + 60
        while not os.path.exists(gate):
            if time.monotonic() > deadline:
                self.close_connection = True
                return
            time.sleep(0.01)
        self.write(pattern(sent, count - sent))

    def wait_for_file(self, name):
        """Whether DIR/<name> came to exist within 60 s."""
        gate = os.path.join(self.server.root, name)
        deadline = time.monotonic() + 60
        while not os.path.exists(gate):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)
        return True

    def wait_for_client_to_leave(self):
        self.close_connection = True
        sock = self.connection
        while True:
            ready, _, _ = select.select([sock], [], [], 1.0)
            if ready:
                try:
                    if not sock.recv(4096):
                        return
                except (OSError, ssl.SSLError):
                    return

    def send_redirect(self):
        params = urllib.parse.parse_qs(self.query, keep_blank_values=True)
        target = params.get("to", ["/"])[0]
        code = int(params.get("code", ["302"])[0])
        if not target.startswith(("http:", "https:")):
            scheme = "https" if self.server.tls else "http"
            host = self.headers.get("Host") or "127.0.0.1:%d" % self.server.server_address[1]
            target = "%s://%s%s" % (scheme, host, target)
        self.send_simple(code, extra=[("Location", target)])

    def credentials(self):
        value = self.headers.get("Authorization", "")
        if not value.lower().startswith("basic "):
            return None
        try:
            return base64.b64decode(value[6:].strip(), validate=True).decode("latin-1")
        except ValueError:
            return None

    def check_auth(self, user, password, inner):
        if self.credentials() != "%s:%s" % (user, password):
            return self.send_simple(401, extra=[("WWW-Authenticate", 'Basic realm="restlevel-test"')])
        return self.dispatch(inner)

    def send_echo(self):
        lines = [self.requestline, "Query: " + self.query]
        lines += ["%s: %s" % (k, v) for k, v in self.headers.items()]
        cred = self.credentials()
        if cred is not None:
            lines.append("Credentials: " + cred)
        lines.append("Body: " + self.request_body.decode("latin-1"))
        body = ("\n".join(lines) + "\n").encode("latin-1", "replace")
        extra = [("X-Request-Body-Length", str(len(self.request_body)))]
        if self.start(200, len(body), "text/plain", extra):
            self.write(body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # Clients that go away mid-answer (the tests' failures on purpose) are normal here.
        pass


def main():
    parser = argparse.ArgumentParser(description="Loopback HTTP(S) server for the tests.")
    parser.add_argument("--root", required=True)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log")
    args = parser.parse_args()

    server = Server(("127.0.0.1", args.port), Handler)
    server.root = os.path.realpath(args.root)
    server.tls = args.tls is not None
    server.log_lock = threading.Lock()
    server.request_log = open(args.log, "a", encoding="latin-1") if args.log else None
    if server.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        # The handshake runs in the connection's thread, on its first read.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)

    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
