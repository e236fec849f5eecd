#!/usr/bin/env python3
"""HTTPS gateway stand-in for tests and the demo.

Serves files from a document root on 127.0.0.1 over TLS with a self-signed
certificate made at start, plus routes that misbehave on purpose (stalls,
resets, early closes, oversized bodies) so that a downloading client can be
tested against them. Prints "port N" once it accepts connections.
"""

import argparse
import base64
import gzip
import hashlib
import http.server
import os
import re
import select
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

try:
    import fcntl
    import termios
except ImportError:  # not on POSIX: resets do not wait for acknowledgements
    fcntl = termios = None

PATTERN = bytes(range(256)) * 256  # 64 KiB of a repeating pattern
CHUNK = len(PATTERN)
STALL_LIMIT = 300.0  # seconds a stalled response waits for the client to go
BROKEN_LENGTH = 1000000  # announced length of /stall and /reset
MAX_BODY = 64 * 1024 * 1024  # largest request body /echo accepts
FILE_MODES = ("normal", "404", "redirect", "nolength", "empty", "drip", "reset", "stall",
              "close-early", "big-header", "overflow", "hold", "empty-frames", "silent")
BIG_HEADER = 200 * 1024  # bytes of the header that big-header mode adds
EMPTY_FRAME_INTERVAL = 0.05  # seconds between the empty DATA frames of empty-frames mode


def make_certificate(workdir):
    cert = os.path.join(workdir, "cert.pem")
    key = os.path.join(workdir, "key.pem")
    result = subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit("gateway: openssl could not make a certificate:\n" + result.stderr)
    # The key's pin, as clients that pin it give it: sha256// and the base64
    # of the SHA-256 of the public key in DER form.
    public = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"],
                            stdin=subprocess.DEVNULL, capture_output=True, check=True).stdout
    with open(os.path.join(workdir, "pin.txt"), "w") as f:
        f.write("sha256//" + base64.b64encode(hashlib.sha256(public).digest()).decode())
    return cert, key


def pattern(size):
    """Yields size bytes of PATTERN in pieces of at most CHUNK bytes."""
    while size > 0:
        piece = PATTERN[:min(size, CHUNK)]
        size -= len(piece)
        yield piece


def read_pieces(f, limit, size=CHUNK):
    """Yields up to limit bytes of file f in pieces of at most size bytes."""
    while limit > 0:
        piece = f.read(min(size, limit))
        if not piece:
            return
        limit -= len(piece)
        yield piece


def import_h2():
    """Debian's python3-h2; a python3 of another installation first on PATH
    does not look where Debian puts it."""
    try:
        import h2.config, h2.connection, h2.events
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        import h2.config, h2.connection, h2.events
    return h2


class BadRequest(Exception):
    pass


ROUTES = {path: "route_" + path[1:].replace("-", "_") for path in (
    "/redirect", "/nolength", "/empty", "/drip", "/stall", "/reset", "/close-early",
    "/big", "/echo", "/set-cookie", "/big-header", "/overflow", "/gzip", "/basic-auth", "/bearer-auth",
    "/digest-auth")}


class DropBody:
    """Stands for a connection's output once a HEAD answer's head is out."""

    def __init__(self, wfile):
        self.wfile = wfile

    def write(self, data):
        return len(data)

    def flush(self):
        self.wfile.flush()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 300  # idle keep-alive connections end after this

    def setup(self):
        # Handshake here, in the connection's thread, not in the accept loop.
        self.request.settimeout(30)
        if self.server.file_mode == "silent":  # the connection is taken, the handshake never answered
            self.stall(raw=True)
            raise ConnectionAbortedError()
        if isinstance(self.request, ssl.SSLSocket):
            self.request.do_handshake()
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().setup()

    def handle(self):
        if isinstance(self.request, ssl.SSLSocket) and self.request.selected_alpn_protocol() == "h2":
            return self.flood_empty_frames()
        super().handle()

    def flood_empty_frames(self):
        """HTTP/2: answers each request with a 200 head and then empty DATA
        frames without end, a peer that is never silent yet sends nothing;
        until the client goes or the limit passes."""
        h2 = import_h2()
        conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
        conn.initiate_connection()
        streams = set()
        deadline = time.monotonic() + STALL_LIMIT
        while time.monotonic() < deadline:
            self.request.sendall(conn.data_to_send())
            readable, _, _ = select.select([self.request], [], [], EMPTY_FRAME_INTERVAL)
            if readable:
                data = self.request.recv(65536)
                if not data:
                    return
                for event in conn.receive_data(data):
                    if isinstance(event, h2.events.RequestReceived):
                        conn.send_headers(event.stream_id, [(":status", "200")])
                        streams.add(event.stream_id)
                    elif isinstance(event, h2.events.StreamReset):
                        streams.discard(event.stream_id)
                    elif isinstance(event, h2.events.ConnectionTerminated):
                        return
            for stream_id in streams:
                conn.send_data(stream_id, b"")

    def log_message(self, format, *args):
        pass

    def end_headers(self):
        super().end_headers()
        if self.command == "HEAD":
            self.wfile = DropBody(self.wfile)

    # --- responses ---------------------------------------------------------

    def reply(self, code, body=b"", headers=()):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        if code >= 200 and code not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if code >= 200 and code not in (204, 304):
            self.wfile.write(body)

    def start(self, length):
        """Sends a 200 header; length None means close-delimited."""
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if length is None:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(length))
        self.end_headers()

    def send_pieces(self, pieces, interval=0.0):
        for i, piece in enumerate(pieces):
            if i and interval:
                time.sleep(interval)
            self.wfile.write(piece)

    def close_cleanly(self):
        """Ends TLS with close_notify, so the client sees a clean end of data."""
        self.close_connection = True
        try:
            self.request.settimeout(2)  # bounds the wait for the peer's close_notify
            if isinstance(self.request, ssl.SSLSocket):
                self.request.unwrap()
        except (OSError, ValueError):
            pass

    def abort(self):
        """Resets the TCP connection once what was sent has been acknowledged."""
        self.close_connection = True
        deadline = time.monotonic() + 2
        while self.unacknowledged() and time.monotonic() < deadline:
            time.sleep(0.005)
        self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.rfile.close()  # the socket closes only once its files are closed
        self.request.close()

    def unacknowledged(self):
        """Bytes sent but not yet acknowledged by the peer (Linux: SIOCOUTQ)."""
        if fcntl is None:
            return 0
        try:
            buf = fcntl.ioctl(self.request.fileno(), termios.TIOCOUTQ, struct.pack("i", 0))
        except OSError:
            return 0
        return struct.unpack("i", buf)[0]

    def stall(self, raw=False):
        """Sends nothing more; waits until the client goes or the limit passes.
        raw: reads past TLS, so that no handshake is answered."""
        self.close_connection = True
        receive = (lambda: socket.socket.recv(self.request, 4096)) if raw else (lambda: self.request.recv(4096))
        deadline = time.monotonic() + STALL_LIMIT
        while (left := deadline - time.monotonic()) > 0:
            readable, _, _ = select.select([self.request], [], [], min(left, 1.0))
            if readable:
                try:
                    if not receive():
                        return
                except OSError:
                    return

    def hold(self):
        """Waits until the file "release" is in the workdir, or the limit passes."""
        release = os.path.join(self.server.workdir, "release")
        deadline = time.monotonic() + STALL_LIMIT
        while not os.path.exists(release) and time.monotonic() < deadline:
            time.sleep(0.01)

    # --- routing -----------------------------------------------------------

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        name = ROUTES.get(url.path, "route_file")
        if url.path.startswith("/status/"):
            name, query = "route_status", {"code": url.path[len("/status/"):]}
        try:
            if self.command not in ("GET", "HEAD") and name not in ("route_echo", "route_redirect",
                                                                      "route_set_cookie"):
                self.close_connection = True  # the request body stays unread
                return self.reply(405, b"method not allowed\n")
            getattr(self, name)(url, query)
        except BadRequest:
            self.close_connection = True
            self.reply(400, b"bad request\n")

    do_POST = do_PUT = do_PATCH = do_DELETE = do_GET

    def __getattr__(self, name):
        # Any other method (OPTIONS, PROPFIND, ...) is routed as these are.
        if name.startswith("do_"):
            return self.do_GET
        raise AttributeError(name)

    def do_HEAD(self):
        connection = self.wfile
        try:
            self.do_GET()
        finally:
            self.wfile = connection

    def number(self, query, name):
        try:
            value = int(query[name])
        except (KeyError, ValueError):
            raise BadRequest()
        if value < 0:
            raise BadRequest()
        return value

    def route_status(self, url, query):
        code = self.number(query, "code")
        if not 200 <= code <= 599:
            raise BadRequest()
        self.reply(code, b"status %d\n" % code)

    def route_redirect(self, url, query):
        """One hop to /status/200; ?hops=N makes a chain, ?to= goes there,
        ?code= answers with that redirect status (302 by default)."""
        hops = self.number(query, "hops") if "hops" in query else 1
        code = self.number(query, "code") if "code" in query else 302
        if code not in (301, 302, 303, 307, 308):
            raise BadRequest()
        self.read_body()  # a body sent here is read, not answered
        location = query.get("to") or ("/redirect?hops=%d" % (hops - 1) if hops > 1 else "/status/200")
        self.reply(code, b"redirect body\n", [("Location", location)])

    def route_nolength(self, url, query):
        self.start(None)
        self.send_pieces(pattern(self.number(query, "size")))
        self.close_cleanly()

    def route_empty(self, url, query):
        self.reply(200)

    def route_drip(self, url, query):
        chunks, size = self.number(query, "chunks"), self.number(query, "size")
        interval = self.number(query, "interval_ms") / 1000
        piece = (PATTERN * (size // CHUNK + 1))[:size]
        self.start(chunks * size)
        self.send_pieces((piece for _ in range(chunks)), interval)

    def route_stall(self, url, query):
        self.start(BROKEN_LENGTH)
        self.send_pieces(pattern(min(self.number(query, "after"), BROKEN_LENGTH)))
        self.stall()

    def route_reset(self, url, query):
        self.start(BROKEN_LENGTH)
        self.send_pieces(pattern(min(self.number(query, "after"), BROKEN_LENGTH)))
        self.abort()

    def route_close_early(self, url, query):
        self.close_cleanly()

    def route_big(self, url, query):
        size = self.number(query, "size")
        self.start(size)
        self.send_pieces(pattern(size))

    def route_gzip(self, url, query):
        """size bytes of the pattern, gzip-compressed for a client that accepts it."""
        body = b"".join(pattern(self.number(query, "size")))
        if "gzip" not in self.headers.get("Accept-Encoding", ""):
            return self.reply(200, body)
        self.reply(200, gzip.compress(body, 9), [("Content-Encoding", "gzip")])

    def route_basic_auth(self, url, query):
        """200 for ?user=&password= sent with Basic, else 401 asking for Basic."""
        expected = base64.b64encode(("%s:%s" % (query.get("user", ""), query.get("password", ""))).encode())
        if self.headers.get("Authorization", "") == "Basic " + expected.decode():
            return self.reply(200, b"authorized\n")
        self.reply(401, b"unauthorized\n", [("WWW-Authenticate", 'Basic realm="tandrel"')])

    def route_bearer_auth(self, url, query):
        if self.headers.get("Authorization", "") == "Bearer " + query.get("token", ""):
            return self.reply(200, b"authorized\n")
        self.reply(401, b"unauthorized\n", [("WWW-Authenticate", 'Bearer realm="tandrel"')])

    def route_digest_auth(self, url, query):
        """Digest (MD5, qop auth) for ?user=&password=, as RFC 7616 has it."""
        realm, nonce = "tandrel", "5ccc069c403ebaf9f0171e9517f40e41"
        md5 = lambda text: hashlib.md5(text.encode()).hexdigest()
        header = self.headers.get("Authorization", "")
        if header.startswith("Digest "):
            fields = {m[0]: m[1] or m[2] for m in re.findall(r'(\w+)=(?:"([^"]*)"|([^,\s]*))', header[7:])}
            ha1 = md5("%s:%s:%s" % (query.get("user", ""), realm, query.get("password", "")))
            ha2 = md5("%s:%s" % (self.command, fields.get("uri", "")))
            response = md5(":".join([ha1, fields.get("nonce", ""), fields.get("nc", ""),
                                     fields.get("cnonce", ""), fields.get("qop", ""), ha2]))
            if fields.get("username") == query.get("user") and fields.get("response") == response:
                return self.reply(200, b"authorized\n")
        self.reply(401, b"unauthorized\n", [("WWW-Authenticate",
                                             'Digest realm="%s", nonce="%s", qop="auth", algorithm=MD5'
                                             % (realm, nonce))])

    def route_set_cookie(self, url, query):
        if "=" not in url.query:
            raise BadRequest()
        self.read_body()  # a login's form, say
        self.reply(200, b"ok\n", [("Set-Cookie", url.query + "; Path=/")])

    def route_big_header(self, url, query):
        self.reply(200, b"ok\n", [("X-Big", "a" * self.number(query, "size"))])

    def route_overflow(self, url, query):
        announced, sent = self.number(query, "announced"), self.number(query, "sent")
        self.start(announced)
        self.send_pieces(pattern(sent))
        self.close_cleanly()

    def route_echo(self, url, query):
        text = "%s %s\n" % (self.command, self.path)
        text += "".join("%s: %s\n" % item for item in self.headers.items()) + "\n"
        body = text.encode("latin-1", "replace") + self.read_body()
        self.reply(200, body, [("Content-Type", "text/plain")])

    def read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            return self.read_chunked()
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            raise BadRequest()
        if not 0 <= length <= MAX_BODY:
            raise BadRequest()
        return self.rfile.read(length)

    def read_chunked(self):
        body = bytearray()
        while True:  # ends: every chunk adds to body, which is bounded
            try:
                size = int(self.rfile.readline(1024).split(b";")[0], 16)
            except ValueError:
                raise BadRequest()
            if not 0 <= size <= MAX_BODY - len(body):
                raise BadRequest()
            if size == 0:
                for _ in range(100):  # trailer lines up to the blank one
                    if self.rfile.readline(65537).strip() == b"":
                        break
                return bytes(body)
            data = self.rfile.read(size)
            if len(data) < size:
                raise BadRequest()
            body += data
            self.rfile.readline(1024)  # the CRLF after the chunk data

    # --- files -------------------------------------------------------------

    def route_file(self, url, query):
        mode = self.server.file_mode
        if mode == "404":
            return self.reply(404, b"not found\n")
        if mode == "redirect":
            return self.route_redirect(url, query)
        if mode == "close-early":
            return self.close_cleanly()
        if mode == "empty-frames":  # a client that did not choose HTTP/2
            return self.reply(505, b"HTTP/2 only\n")
        path = self.resolve(urllib.parse.unquote(url.path))
        if path is None:
            return self.reply(404, b"not found\n")
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            pieces = lambda limit, piece=CHUNK: read_pieces(f, limit, piece)
            if mode == "empty":
                self.reply(200)
            elif mode == "nolength":
                self.start(None)
                self.send_pieces(pieces(size))
                self.close_cleanly()
            elif mode == "drip":
                self.start(size)
                self.send_pieces(pieces(size, 1024), 0.05)
            elif mode == "big-header":
                self.reply(200, f.read(), [("X-Big", "a" * BIG_HEADER)])
            elif mode == "overflow":
                # Announces half the file, sends all of it.
                self.start(size // 2)
                self.send_pieces(pieces(size))
                self.close_cleanly()
            elif mode == "hold":
                # Half, then the rest once the file "release" is in the workdir.
                self.start(size)
                self.send_pieces(pieces(size // 2))
                self.hold()
                self.send_pieces(pieces(size))
            elif mode in ("reset", "stall"):
                self.start(size)
                self.send_pieces(pieces(size // 2))
                if mode == "reset":
                    self.abort()
                else:
                    self.stall()
            elif query.get("ranges") != "no" and self.headers.get("Range", "").startswith("bytes="):
                self.send_range(f, size)
            else:
                self.start(size)
                self.send_pieces(pieces(size))

    def send_range(self, f, size):
        """Answers "Range: bytes=N-": 206 with the rest, 416 past the end."""
        try:
            first = int(self.headers["Range"][len("bytes="):].rstrip("-"))
        except ValueError:
            raise BadRequest()
        if not 0 <= first < size:
            return self.reply(416, b"", [("Content-Range", "bytes */%d" % size)])
        f.seek(first)
        self.send_response(206)
        self.send_header("Content-Range", "bytes %d-%d/%d" % (first, size - 1, size))
        self.send_header("Content-Length", str(size - first))
        self.end_headers()
        self.send_pieces(read_pieces(f, size - first))

    def resolve(self, path):
        """The regular file under the document root for a URL path, or None."""
        parts = [p for p in path.split("/") if p not in ("", ".")]
        if ".." in parts or any("\\" in p or "\0" in p for p in parts):
            return None
        root = self.server.root
        full = os.path.realpath(os.path.join(root, *parts))
        if os.path.commonpath([root, full]) != root or not os.path.isfile(full):
            return None
        return full


class ProxyHandler(socketserver.BaseRequestHandler):
    """A forward proxy to loopback targets: HTTP (absolute-form requests and
    CONNECT, over TLS when the server is) or SOCKS5, with the credentials of
    --proxy-user when given. Each request's target is appended to proxy.log
    in the workdir, as the client named it."""

    def handle(self):
        self.request.settimeout(30)
        if isinstance(self.request, ssl.SSLSocket):
            self.request.do_handshake()
        if self.server.proxy_kind == "socks5":
            self.socks5()
        else:
            self.http()

    def log_target(self, text):
        with self.server.log_lock, open(os.path.join(self.server.workdir, "proxy.log"), "a") as log:
            log.write(text + "\n")

    def open_target(self, host, port):
        if host not in ("127.0.0.1", "localhost"):  # loopback only
            return None
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=30)
        except OSError:
            return None

    def relay(self, target):
        """Copies both ways until either side closes."""
        ends = [self.request, target]
        while True:
            readable, _, _ = select.select(ends, [], [], STALL_LIMIT)
            if not readable:
                return
            for end in readable:
                try:
                    data = end.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    return
                (target if end is self.request else self.request).sendall(data)

    # --- HTTP ------------------------------------------------------------

    def http(self):
        stream = self.request.makefile("rb")
        line = stream.readline(65537).decode("latin-1").rstrip("\r\n")
        headers = []
        while True:
            header = stream.readline(65537).decode("latin-1").rstrip("\r\n")
            if not header:
                break
            headers.append(header)
        method, target, _ = (line.split(" ") + ["", "", ""])[:3]
        self.log_target(method + " " + target)
        wanted = self.server.proxy_user
        if wanted:
            given = [h.split(":", 1)[1].strip() for h in headers if h.lower().startswith("proxy-authorization:")]
            if given != ["Basic " + base64.b64encode(wanted.encode()).decode()]:
                return self.request.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                                            b"Proxy-Authenticate: Basic realm=\"proxy\"\r\n"
                                            b"Content-Length: 0\r\nConnection: close\r\n\r\n")
        if method == "CONNECT":
            host, _, port = target.rpartition(":")
            remote = self.open_target(host.strip("[]"), int(port or 0))
            if remote is None:
                return self.request.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
            self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            with remote:
                return self.relay(remote)
        url = urllib.parse.urlsplit(target)
        remote = self.open_target(url.hostname or "", url.port or 80)
        if remote is None:
            return self.request.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
        kept = [h for h in headers if not h.lower().startswith(("proxy-", "connection:"))]
        head = "%s %s HTTP/1.1\r\n%s\r\nConnection: close\r\n\r\n" % (
            method, (url.path or "/") + ("?" + url.query if url.query else ""), "\r\n".join(kept))
        with remote:
            remote.sendall(head.encode("latin-1") + stream.read(
                int(next((h.split(":", 1)[1] for h in kept if h.lower().startswith("content-length:")), "0"))))
            self.relay(remote)

    # --- SOCKS5 (RFC 1928, with RFC 1929 credentials) --------------------

    def read(self, count):
        data = b""
        while len(data) < count:
            piece = self.request.recv(count - len(data))
            if not piece:
                raise ConnectionAbortedError()
            data += piece
        return data

    def socks5(self):
        version, count = self.read(2)
        methods = self.read(count)
        wanted = self.server.proxy_user
        method = 2 if wanted else 0
        if version != 5 or method not in methods:
            return self.request.sendall(b"\x05\xff")
        self.request.sendall(bytes([5, method]))
        if wanted:
            _, length = self.read(2)
            user = self.read(length)
            password = self.read(self.read(1)[0])
            good = (user + b":" + password).decode("latin-1") == wanted
            self.request.sendall(b"\x01\x00" if good else b"\x01\x01")
            if not good:
                return
        _, command, _, kind = self.read(4)
        if kind == 3:
            host = self.read(self.read(1)[0]).decode("latin-1")
            named = "domain"
        elif kind == 1:
            host = socket.inet_ntoa(self.read(4))
            named = "ipv4"
        else:
            return self.request.sendall(b"\x05\x08\x00\x01" + bytes(6))
        port = struct.unpack("!H", self.read(2))[0]
        self.log_target("SOCKS5 %s %s:%d" % (named, host, port))
        remote = self.open_target(host, port) if command == 1 else None
        if remote is None:
            return self.request.sendall(b"\x05\x02\x00\x01" + bytes(6))
        self.request.sendall(b"\x05\x00\x00\x01" + bytes(6))
        with remote:
            self.relay(remote)


class ProxyServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (OSError, ValueError)):
            super().handle_error(request, client_address)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def server_bind(self):
        # Skips HTTPServer's reverse lookup of the host name.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        # Clients that go away or fail the handshake are part of the job.
        if not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workdir", required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--file-mode", choices=FILE_MODES, default="normal")
    parser.add_argument("--plain", action="store_true",
                        help="speak plain HTTP, so a TLS client's handshake fails")
    parser.add_argument("--exit-on-eof", action="store_true",
                        help="stop when standard input reaches its end")
    parser.add_argument("--proxy", choices=("http", "socks5"),
                        help="be a forward proxy of this kind instead (http over TLS unless --plain)")
    parser.add_argument("--proxy-user", default="", help="user:password the proxy asks for")
    args = parser.parse_args()

    if args.proxy:
        server = ProxyServer(("127.0.0.1", args.port), ProxyHandler)
        server.proxy_kind, server.proxy_user = args.proxy, args.proxy_user
        server.log_lock = threading.Lock()
        args.plain = args.plain or args.proxy == "socks5"
    else:
        server = Server(("127.0.0.1", args.port), Handler)
    if not args.plain:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*make_certificate(args.workdir))
        if args.file_mode == "empty-frames":
            context.set_alpn_protocols(["h2"])
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
    server.root = os.path.realpath(args.root)
    server.workdir = args.workdir
    server.file_mode = args.file_mode
    if args.exit_on_eof:
        threading.Thread(target=lambda: (sys.stdin.buffer.read(), server.shutdown()),
                         daemon=True).start()
    print("port %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
