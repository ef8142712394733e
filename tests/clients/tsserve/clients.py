"""The HTTP clients the tests use besides curl's plain calls, and what they read."""
import http.client
import json
import re
import threading
import socket
import time
import urllib.parse

from harness import check


def listed_channels(rig):
    """tsrec --list: the stream paths every listed channel should have."""
    r = rig.run("tsrec.exe", "--list")
    check(r.returncode == 0, "tsrec --list failed: " + r.stdout + r.stderr)
    paths, kind = set(), None
    for line in r.stdout.splitlines():
        if line.startswith("terrestrial"):
            kind = "t"
        elif line.startswith("satellite"):
            kind = "s"
        m = re.match(r"\s+-c (\S+)", line)
        if m and kind:
            paths.add("/stream/%s/%s" % (kind, m.group(1)))
    return paths


def curl_get(rig, path, *extra):
    """(status, content type, body) as curl sees them."""
    r = rig.curl("-w", "\n%{http_code} %{content_type}", *extra, rig.url(path))
    body, _, tail = r.stdout.rpartition(b"\n")
    status, _, ctype = tail.decode().partition(" ")
    return int(status), ctype, body


def json_of(rig, path):
    status, ctype, body = curl_get(rig, path)
    check(status == 200, "%s: status %d" % (path, status))
    check(ctype.startswith("application/json"), "%s: content type %s" % (path, ctype))
    return json.loads(body)


def first_bytes(url, n, timeout=20):
    """The first n bytes of a stream; the connection is closed once they came.
    A tuner still held by the previous viewer, whose leaving tsserve notices
    at its next write, is asked again."""
    parts = urllib.parse.urlsplit(url)
    deadline = time.time() + timeout
    while True:
        c = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
        try:
            c.request("GET", parts.path)
            r = c.getresponse()
            if r.status in (409, 503) and time.time() < deadline:
                r.read()
                time.sleep(0.1)
                continue
            check(r.status == 200, "%s: status %d" % (url, r.status))
            data = b""
            while len(data) < n:
                chunk = r.read(n - len(data))
                if not chunk:
                    break
                data += chunk
            return data
        finally:
            c.close()


class Reader(threading.Thread):
    """A viewer on a plain socket that reads everything, or nothing at all."""

    def __init__(self, port, path, reads=True):
        super().__init__(daemon=True)
        self.sock = socket.socket()
        if not reads:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.connect(("127.0.0.1", port))
        self.sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % path.encode())
        self.reads = reads
        self.data = bytearray()
        self.stop = False

    def run(self):
        self.sock.settimeout(1)
        while not self.stop:
            try:
                chunk = self.sock.recv(1 << 16)
            except socket.timeout:
                continue
            except OSError:
                break
            if not chunk:
                break
            self.data += chunk

    def body(self):
        return bytes(self.data[self.data.find(b"\r\n\r\n") + 4:])


def wait_viewers(rig, n, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if json_of(rig, "/status.json")["terrestrial"]["viewers"] == n:
            return True
        time.sleep(0.25)
    return False
