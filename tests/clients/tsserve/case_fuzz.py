"""A bounded fuzzer while a viewer watches: random and mutated requests to
tsserve's three ports (paths from its routes and mutations of them, methods,
versions, Host, Range, Content-Length, Transfer-Encoding and other fields,
bodies, broken request lines, pipelined requests, half-closed and reset
connections), and random and mutated datagrams to its discovery ports (UDP
65001 and 1900 on the rig's address, from many loopback sources). At the end
tsserve still runs, streams, answers discovery, and printed no fault.

Seeded: the seed is printed, TSSERVE_FUZZ_SEED=N replays a run (each worker
draws from its own generator; the interleaving is the machine's), and
TSSERVE_FUZZ_SECONDS sets how long it runs (60)."""
import os
import random
import socket
import struct
import subprocess
import threading
import time
import zlib

from clients import first_bytes, json_of
from discovery import hdhomerun_config_discover
from harness import Stream, check

ROUTES = ["/", "/playlist.m3u", "/playlist.m3u?kind=t", "/playlist.m3u?kind=s&guide=1", "/status.json",
          "/xmltv.xml", "/stream/t/27", "/stream/t/C22", "/stream/t/557000", "/stream/s/4010", "/stream/s/0x40F1",
          "/stream/t/27/1024", "/stream/s/40D0/171", "/auto/v27", "/auto/v1151", "/discover.json", "/lineup.json",
          "/lineup_status.json", "/lineup.post", "/lineup.post?scan=abort", "/lineup.post?scan=start&only=s/4010",
          "/device.xml"]
METHODS = ["GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "get", "G\x00T", "", "CONNECT", "TRACE", "X" * 300]
VERSIONS = ["HTTP/1.1", "HTTP/1.0", "HTTP/1.1", "HTTP/2.0", "HTTP/1.9", "HTTP/0.9", "HTTX/1.1", "", "HTTP/1.1 x"]
HOSTS = ["x", "[", "[::1]", "[::1]:40080", "tuner.example:8080", "a b", "", "x:99999", "x:", "1.2.3", "\xff\xfe",
         "a" * 300, "[fe80::1%25eth0]:1", "h\"<>", "127.0.0.1:0"]
FIELDS = [("Range", ["bytes=0-", "bytes=5-1", "bytes=-0", "items=0-", "bytes=" + "1-2," * 400, "bytes=99999999999999999999-"]),
          ("Content-Length", ["0", "5", "-1", "4097", "18446744073709551616", "abc", " 3", "3, 4", "99999999999"]),
          ("Transfer-Encoding", ["chunked", "gzip, chunked", "identity", "chunked, chunked", "x"]),
          ("Connection", ["close", "keep-alive", "Upgrade", "close, keep-alive", ""]),
          ("Expect", ["100-continue", "200-ok"]),
          ("X-Mirakurun-Priority", ["2", "-1", "x"]), ("Accept", ["*/*", ""]),
          ("User-Agent", ["mpv 0.35.1", "VLC/3.0.18 LibVLC/3.0.18", "\x01\x02"])]
CHUNKS = [b"0\r\n\r\n", b"5\r\nhello\r\n0\r\n\r\n", b"zz\r\n", b"ffffffffffffffffff\r\n", b"1000\r\n" + b"c" * 5000,
          b"3;ext=1\r\nabc\r\n0\r\nTrailer: x\r\n\r\n", b"-1\r\n\r\n"]


def mutate_path(rnd, path):
    for _ in range(rnd.randrange(3)):
        kind = rnd.randrange(9)
        at = rnd.randrange(len(path) + 1)
        if kind == 0:  # cut, often next to a slash: "/stream/t", "/stream/", "/auto/v", ...
            slashes = [i + d for i, c in enumerate(path) if c == "/" for d in (0, 1, 2)]
            path = path[:rnd.choice(slashes) if slashes and rnd.random() < 0.7 else at]
        elif kind == 1:
            path = path[:at] + rnd.choice(["%00", "%ff", "%zz", "%", "//", "/../", "/./", "?", "&", "=", "#", " ",
                                           "\t", "\\", "%2F", "\x80", "\xc3\x28"]) + path[at:]
        elif kind == 2:
            path = path[:at] + chr(rnd.randrange(1, 256)) + path[at + 1:]
        elif kind == 3:
            path += rnd.choice(["/", "/x", "/0", "/65536", "/99999999999", "/-1", "/1/2", "?kind", "?kind=",
                                "?kind=t&kind=s", "?guide=2", "?scan=", "?scan=start&only=", "?only=,,,"])
        elif kind == 4:
            path = path + rnd.choice(["9", "F", "a"]) * rnd.randrange(1, 3000)
        elif kind == 5:
            path = "http://" + rnd.choice(HOSTS) + path
        elif kind == 6:
            path = path.upper()
        elif kind == 7:
            path = "".join("%%%02X" % ord(c) if rnd.random() < 0.3 and ord(c) < 256 else c for c in path)
        else:
            path = rnd.choice(["*", "", "stream/t/27", "/" + "a/" * 500])
    return path


def request(rnd):
    """One request's bytes, well formed or not."""
    if rnd.random() < 0.05:
        return bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 2000)))
    method = rnd.choice(METHODS) if rnd.random() < 0.3 else rnd.choice(["GET", "GET", "HEAD"])
    path = rnd.choice(ROUTES)
    if rnd.random() < 0.7:
        path = mutate_path(rnd, path)
    version = rnd.choice(VERSIONS) if rnd.random() < 0.2 else "HTTP/1.1"
    line = " ".join(p for p in (method, path, version) if p or rnd.random() < 0.5)
    fields = []
    hosts = rnd.choice([0, 1, 1, 1, 1, 2])
    fields += [("Host", rnd.choice(HOSTS) if rnd.random() < 0.4 else "x") for _ in range(hosts)]
    for name, choices in rnd.sample(FIELDS, rnd.randrange(len(FIELDS))):
        fields.append((name, rnd.choice(choices)))
    if rnd.random() < 0.1:
        fields.append((rnd.choice(["X", "x y", ":", "X\x00", "\x80"]), "v"))
    eol = "\r\n" if rnd.random() < 0.9 else rnd.choice(["\n", "\r", "\r\r\n"])
    head = line + eol + "".join(
        ("%s:%s%s" % (k, rnd.choice([" ", "", "\t", "  "]), v)) + eol +
        (" folded" + eol if rnd.random() < 0.03 else "") for k, v in fields) + eol
    body = b""
    if any(k == "Transfer-Encoding" for k, _ in fields):
        body = b"".join(rnd.choice(CHUNKS) for _ in range(rnd.randrange(3)))
    elif rnd.random() < 0.3:
        body = bytes(rnd.randrange(256) for _ in range(rnd.choice([0, 3, 5, 100, 4096, 6000])))
    return head.encode("latin-1", "replace") + body


def statuses(data):
    """The status codes of the answers' status lines in what a connection got."""
    out, at = [], 0
    while True:
        at = data.find(b"HTTP/1.1 ", at)
        if at < 0:
            return out
        code = data[at + 9:at + 12]
        out.append(code.decode(errors="replace"))
        at += 12


def http_worker(rig, rnd, deadline, seen, lock):
    ports = [rig.port, rig.port + 1, rig.port + 2]
    while time.time() < deadline:
        data = b"".join(request(rnd) for _ in range(rnd.choice([1, 1, 1, 2, 5])))  # pipelined
        s = socket.socket()
        s.settimeout(0.5)
        got = b""
        try:
            s.connect((rig.addr, rnd.choice(ports)))
            if rnd.random() < 0.1:  # in pieces
                for i in range(0, len(data), 7):
                    s.sendall(data[i:i + 7])
            else:
                s.sendall(data)
            how = rnd.randrange(10)
            if how == 0:
                s.shutdown(socket.SHUT_WR)  # half-closed
            elif how == 1:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # reset
                raise ConnectionResetError
            while len(got) < 200_000:  # a stream goes on: enough of it
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
        except (socket.timeout, OSError):
            pass
        finally:
            s.close()
        with lock:
            for code in statuses(got[:100_000]) or ["none"]:
                seen[code] = seen.get(code, 0) + 1


def hdhr_packet(payload, rnd=None):
    p = struct.pack(">HH", 2, len(payload)) + payload
    return p + struct.pack("<I", zlib.crc32(p))


def datagram(rnd):
    """A datagram for HDHomeRun's port or SSDP's: (port, bytes)."""
    if rnd.random() < 0.5:
        items = [bytes([0x01, 4, 0, 0, 0, 1]), bytes([0x02, 4, 0xFF, 0xFF, 0xFF, 0xFF]), bytes([0x7E, 0x81, 0x01]),
                 bytes([0x01, 0x80]), bytes([0x02, 0xFF, 0x7F]), bytes(rnd.randrange(256) for _ in range(20))]
        payload = b"".join(rnd.choice(items) for _ in range(rnd.randrange(5)))
        if rnd.random() < 0.5:  # mutated, then made whole again (a right CRC)
            b = bytearray(payload)
            for _ in range(rnd.randrange(1, 4)):
                if b:
                    b[rnd.randrange(len(b))] = rnd.randrange(256)
            payload = bytes(b)
        p = hdhr_packet(payload)
        if rnd.random() < 0.2:
            p = rnd.choice([p[:rnd.randrange(len(p))], p + b"x", p[:2] + b"\xff\xff" + p[4:],
                            bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 1600)))])
        return 65001, p
    lines = ["M-SEARCH * HTTP/1.1", "HOST: 239.255.255.250:1900", 'MAN: "ssdp:discover"', "MX: 1",
             "ST: " + rnd.choice(["ssdp:all", "upnp:rootdevice", "urn:schemas-upnp-org:device:MediaServer:1", "",
                                  "uuid:x", "x" * 3000])]
    if rnd.random() < 0.5:
        rnd.shuffle(lines)
    if rnd.random() < 0.3:
        del lines[rnd.randrange(len(lines))]
    text = rnd.choice(["\r\n", "\n", "\r"]).join(lines) + "\r\n\r\n"
    if rnd.random() < 0.2:
        text = "".join(chr(rnd.randrange(1, 256)) for _ in range(rnd.randrange(1, 2500)))
    return 1900, text.encode("latin-1")[:65000]


def udp_worker(rig, rnd, deadline, counts):
    sockets = []
    for _ in range(16):  # sources of their own
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.%d.%d.%d" % (rnd.randrange(256), rnd.randrange(256), rnd.randrange(1, 255)), 0))
        s.setblocking(False)
        sockets.append(s)
    try:
        while time.time() < deadline:
            s = rnd.choice(sockets)
            port, data = datagram(rnd)
            try:
                s.sendto(data, (rig.addr, port))
                counts["sent"] += 1
            except OSError:
                pass
            for r in sockets:
                try:
                    while r.recv(4096):
                        counts["replies"] += 1
                except OSError:
                    pass
            time.sleep(0.005)
    finally:
        for s in sockets:
            s.close()


def case_fuzz(rig):
    seed = int(os.environ.get("TSSERVE_FUZZ_SEED") or random.randrange(1 << 31))
    seconds = float(os.environ.get("TSSERVE_FUZZ_SECONDS") or 60)
    print("  seed %d (TSSERVE_FUZZ_SEED=%d replays it), %.0f s" % (seed, seed, seconds))
    rig.start_host()
    rig.start_serve(discovery=True)
    viewer = subprocess.Popen(["curl", "-s", "--max-time", str(int(seconds) + 60), "-o", "/dev/null",
                               rig.url("/stream/t/27")], stdin=subprocess.DEVNULL)
    try:
        deadline = time.time() + seconds
        seen, lock, counts = {}, threading.Lock(), {"sent": 0, "replies": 0}
        threads = [threading.Thread(target=http_worker, args=(rig, random.Random(seed + i), deadline, seen, lock))
                   for i in range(6)]
        threads.append(threading.Thread(target=udp_worker, args=(rig, random.Random(seed + 99), deadline, counts)))
        for t in threads:
            t.start()
        for t in threads:
            t.join(seconds + 30)
        print("  %d connections: %s; %d datagrams, %d replies" % (
            sum(seen.values()), dict(sorted(seen.items())), counts["sent"], counts["replies"]))
        check(rig.serve.poll() is None, "tsserve ended (seed %d)" % seed)
        out = rig.serve_output()
        for sign in ("terminate called", "nhandled exception", "fault in answering", "wine: "):
            check(sign not in out, "tsserve printed %r (seed %d)" % (sign, seed))
        check("500" not in seen, "%d answers were 500 (seed %d)" % (seen.get("500", 0), seed))
        check(sum(n for code, n in seen.items() if code.startswith("2")) > 50, "hardly anything answered 2xx")

        # Serving still: a stream, every port's documents, and discovery
        # (the fuzz may have used up its budget for a moment).
        s = Stream(first_bytes(rig.url("/stream/t/27"), 188 * 2000))
        check(len(s.data) == 188 * 2000 and s.sync_ok() and s.cc_errors() == 0, "the stream after the fuzz")
        for port in (rig.port + 1, rig.port + 2):
            check(json_of(rig, "/discover.json", port=port)["TunerCount"] == 1, "port %d after the fuzz" % port)
        ids, printed = [], ""
        until = time.time() + 20
        while len(ids) < 2 and time.time() < until:
            ids, printed = hdhomerun_config_discover(rig.addr)
        check(len(ids) == 2, "discovery after the fuzz: %s" % printed)
    finally:
        viewer.kill()
        viewer.wait(10)
    check(rig.stop_serve() == 0, "tsserve's exit code after Ctrl+C")
