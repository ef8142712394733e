"""The HTTP clients the tests use besides curl's plain calls, and what they read."""
import http.client
import json
import re
import threading
import socket
import subprocess
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


def mpv(rig, *args, timeout=60):
    """(exit code, what it printed) of mpv playing two seconds of each entry
    without picture or sound. When it does not end in time, a failure that
    says what it printed and the end of its own detailed log."""
    log = rig.path("mpv.log")
    # Two seconds by frames, every frame counted however late: a replayed file
    # loops with its timestamps starting over, so a position two seconds on
    # may never come, and behind the seam a late player may drop them all.
    # Nor does it pause to fill its cache: measured by timestamps that went
    # back at the seam, the cache may never look full again.
    command = ["mpv", "--no-config", "--ytdl=no", "--vo=null", "--ao=null", "--frames=50", "--framedrop=no",
               "--cache-pause=no", "--log-file=" + log] + list(args)
    try:
        r = subprocess.run(command, capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired as e:
        out = ((e.stdout or b"") + (e.stderr or b"")).decode(errors="replace")
        try:
            with open(log, errors="replace") as f:
                detail = f.read()[-6000:]
        except OSError:
            detail = "(no log)"
        check(False, "mpv did not end within %d s:\n%s\nits log's end:\n%s" % (timeout, out[-3000:], detail))
    return r.returncode, (r.stdout + r.stderr).decode(errors="replace")


def curl_get(rig, path, *extra, port=None):
    """(status, content type, body) as curl sees them; port: another of tsserve's ports."""
    r = rig.curl("-w", "\n%{http_code} %{content_type}", *extra, rig.url(path, port))
    body, _, tail = r.stdout.rpartition(b"\n")
    status, _, ctype = tail.decode().partition(" ")
    return int(status), ctype, body


def json_of(rig, path, port=None):
    status, ctype, body = curl_get(rig, path, port=port)
    check(status == 200, "%s: status %d" % (path, status))
    check(ctype.startswith("application/json"), "%s: content type %s" % (path, ctype))
    return json.loads(body)


def first_bytes(url, n, timeout=20):
    """The first n bytes of a stream; the connection is closed once they came,
    and the next request may be for another channel of the kind at once."""
    parts = urllib.parse.urlsplit(url)
    c = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
    try:
        c.request("GET", parts.path)
        r = c.getresponse()
        check(r.status == 200, "%s: status %d %r" % (url, r.status, r.read(300) if r.status != 200 else b""))
        data = b""
        while len(data) < n:
            chunk = r.read(n - len(data))
            if not chunk:
                break
            data += chunk
        return data
    finally:
        c.close()


def exchange(where, data, timeout=5.0):
    """The bytes sent on a connection of their own, and all that came back
    until the server closed it (or the time ran out)."""
    s = socket.create_connection(where, timeout=timeout)
    got = b""
    try:
        s.sendall(data)
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                chunk = s.recv(1 << 16)
            except socket.timeout:
                break
            if not chunk:
                break
            got += chunk
    finally:
        s.close()
    return got


def answers(data):
    """The answers in what a connection received: [(status, [(name, value)], body)],
    bodies by their Content-Length; an answer without one takes the rest."""
    out = []
    while data:
        head, sep, rest = data.partition(b"\r\n\r\n")
        check(sep, "an answer's head does not end: %r" % data[:200])
        lines = head.decode("latin-1").split("\r\n")
        check(lines[0].startswith("HTTP/1.1 "), "status line %r" % lines[0])
        fields = [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:]]
        lengths = [int(v) for k, v in fields if k.lower() == "content-length"]
        size = lengths[0] if lengths else len(rest)
        out.append((int(lines[0].split()[1]), fields, rest[:size]))
        data = rest[size:]
    return out


def values(fields, name):
    return [v for k, v in fields if k.lower() == name.lower()]


class Reader(threading.Thread):
    """A viewer on a plain socket that reads everything, or nothing at all."""

    def __init__(self, where, path, reads=True):
        super().__init__(daemon=True)
        self.sock = socket.socket()
        if not reads:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.connect(where)
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


def wait_viewers(rig, n, seconds, kind="terrestrial"):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if json_of(rig, "/status.json")[kind]["viewers"] == n:
            return True
        time.sleep(0.25)
    return False
