#!/usr/bin/env python3
"""tsserve end to end: the real TunerHost.exe and tsserve.exe under Wine, and
real clients (curl, ffprobe, sockets) from the Linux side.

    tsserve_test.py BUILD_DIR CASE     CASE: endpoints, viewers, slow, robustness, replay
"""
import http.client
import json
import os
import random
import re
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

from harness import Failure, Rig, Stream, check, wine_path

MESSAGE = 586560


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


def case_endpoints(rig):
    for kind in "TS":
        rig.set_sim(kind, "RateKBps=20000\r\n")
    rig.start_serve("--tune-wait", "3")
    status, _, body = curl_get(rig, "/stream/t/27")
    check(status == 503 and b"not running" in body, "without TunerHost: %d %r" % (status, body))
    rig.start_host()

    # The playlist lists what tsrec --list lists, with URLs from the Host header.
    expected = listed_channels(rig)
    check(len(expected) > 100, "tsrec --list listed %d channels" % len(expected))
    status, ctype, body = curl_get(rig, "/playlist.m3u", "-H", "Host: tuner.example:8080")
    check(status == 200 and ctype.startswith("audio/x-mpegurl"), "playlist: %d %s" % (status, ctype))
    lines = body.decode("utf-8").splitlines()
    check(lines[0] == "#EXTM3U", "playlist starts with %r" % lines[0])
    urls, info = [], []
    for a, b in zip(lines[1::2], lines[2::2]):
        check(re.match(r'#EXTINF:-1 tvg-id="[^"]+" .*group-title="(UHF|CATV|VHF|BS|CS)",\S', a), "entry %r" % a)
        check(b.startswith("http://tuner.example:8080/stream/"), "URL %r" % b)
        urls.append(b[len("http://tuner.example:8080"):])
        info.append(a)
    check(len(lines) == 1 + 2 * len(urls), "stray lines in the playlist")
    check(set(urls) == expected, "playlist and tsrec --list differ: %s" % sorted(set(urls) ^ expected)[:6])
    check('tvg-id="t27"' in body.decode() and "27ch" in body.decode(), "channel 27's entry")
    for kind in "ts":
        status, _, one = curl_get(rig, "/playlist.m3u?kind=" + kind)
        paths = {line.split(rig.url(""), 1)[1] for line in one.decode().splitlines() if line.startswith("http")}
        check(status == 200 and paths == {p for p in expected if p.startswith("/stream/%s/" % kind)},
              "the playlist of kind " + kind)

    # The network-tuner documents.
    base = rig.url("")
    d = json_of(rig, "/discover.json")
    for key in ("FriendlyName", "ModelNumber", "FirmwareName", "FirmwareVersion", "DeviceID", "DeviceAuth",
                "BaseURL", "LineupURL", "TunerCount"):
        check(key in d, "discover.json lacks " + key)
    check(d["TunerCount"] == 2 and d["BaseURL"] == base and d["LineupURL"] == base + "/lineup.json", str(d))
    check(re.fullmatch(r"[0-9A-F]{8}", d["DeviceID"]), "DeviceID " + d["DeviceID"])
    lineup = json_of(rig, "/lineup.json")
    check(isinstance(lineup, list) and len(lineup) == len(urls), "lineup of %d entries" % len(lineup))
    check(len({e["GuideNumber"] for e in lineup}) == len(lineup), "guide numbers repeat")
    for e in lineup:
        check(set(e) >= {"GuideNumber", "GuideName", "URL"} and e["URL"].startswith(base + "/"), str(e))
    s = json_of(rig, "/lineup_status.json")
    check(s["ScanInProgress"] == 0 and s["ScanPossible"] == 0 and isinstance(s["Source"], str)
          and isinstance(s["SourceList"], list), str(s))

    # Every lineup URL streams its own channel.
    seen = {}
    started = time.time()
    for e in lineup:
        data = first_bytes(e["URL"], 40 * 188)
        stream = Stream(data)
        check(len(data) == 40 * 188 and stream.sync_ok(), "%s: %d bytes" % (e["URL"], len(data)))
        channels = stream.channels()
        check(len(channels) == 1, "%s carries %s" % (e["URL"], channels))
        kind = "s" if len(e["GuideNumber"]) == 4 and not e["GuideNumber"].startswith("C") else "t"
        check((kind,) + channels.pop() not in seen, "%s streams what %s streams" % (e["URL"], seen.get(kind)))
        seen[(kind,) + stream.payloads()[0][1:3]] = e["URL"]
    print("  %d lineup URLs streamed in %.1f s" % (len(lineup), time.time() - started))
    status, ctype, _ = curl_get(rig, "/stream/t/27", "--max-time", "2", "-o", "/dev/null")
    check(ctype == "video/mp2t", "stream content type " + ctype)

    st = json_of(rig, "/status.json")
    for kind in ("terrestrial", "satellite"):
        for key in ("plugin", "channel", "viewers", "bytes", "bytesPerSecond", "syncLosses", "continuityErrors"):
            check(key in st[kind], "status.json %s lacks %s" % (kind, key))
    check(st["terrestrial"]["plugin"] == "BonDriver_SimT.dll", str(st))
    status, ctype, body = curl_get(rig, "/")
    check(status == 200 and ctype.startswith("text/html") and b'href="/stream/t/27"' in body
          and b"refresh" in body, "start page")

    # Each failure its own status code and a one-line reason.
    for path, code in (("/stream/t/99", 404), ("/stream/t/abc", 404), ("/stream/s/1234", 404),
                       ("/stream/x/27", 404), ("/auto/v99", 404), ("/nothing", 404)):
        status, ctype, body = curl_get(rig, path)
        check(status == code and ctype.startswith("text/plain") and body.count(b"\n") == 1,
              "%s: %d %r" % (path, status, body))
    status, _, _ = curl_get(rig, "/playlist.m3u", "-X", "POST", "-d", "x")
    check(status == 405, "POST: %d" % status)
    opens = rig.sim_count("T", "open")
    status, ctype, _ = curl_get(rig, "/stream/t/27", "-I")
    check(status == 200 and ctype == "video/mp2t" and rig.sim_count("T", "open") == opens, "HEAD opened the tuner")
    rig.set_sim("T", "OpenFails=1\r\n")
    status, _, body = curl_get(rig, "/stream/t/27")
    check(status == 502 and b"failed to open" in body, "tuner failing: %d %r" % (status, body))
    rig.set_sim("T", "TuneFails=1\r\n")
    status, _, body = curl_get(rig, "/stream/t/27")
    check(status == 504 and b"could not tune" in body, "tune refused: %d %r" % (status, body))
    rig.set_sim("T", "")

    # A kind TunerHost's settings do not serve.
    check(rig.stop_serve() == 0, "tsserve's exit code after Ctrl+C")
    check("stopped" in rig.serve_output(), "tsserve did not say it stopped")
    rig.write("TunerHost.ini", "[Config]\r\nDriverNameT=BonDriver_SimT.dll\r\n")
    rig.start_serve()
    status, _, body = curl_get(rig, "/stream/s/4010")
    check(status == 501 and b"satellite" in body, "unserved kind: %d %r" % (status, body))
    check(json_of(rig, "/discover.json")["TunerCount"] == 1, "TunerCount with one kind")
    port = rig.port

    # Bad command lines, and an address already taken.
    for args, code, text in ((["--listen", "nonsense"], 1, "--listen takes"), (["--allow", "10.0.0.0/33"], 1, "--allow"),
                             (["--frobnicate", "1"], 1, "unknown option"),
                             (["--listen", "127.0.0.1:%d" % port], 3, "cannot listen")):
        r = rig.run("tsserve.exe", *args, timeout=30)
        check(r.returncode == code and text in r.stdout, "tsserve %s: %d %s" % (args, r.returncode, r.stdout))
    check(rig.stop_serve() == 0, "tsserve's exit code after Ctrl+C")
    # Peers outside --allow.
    rig.start_serve("--allow", "192.0.2.0/24", "--allow", "2001:db8::/32")
    status, _, body = curl_get(rig, "/playlist.m3u")
    check(status == 403 and b"may not" in body, "a peer outside --allow: %d" % status)


def case_viewers(rig):
    rig.start_host()
    rig.start_serve()
    url = rig.url("/stream/t/27")
    # The plug-ins were opened already, when TunerHost and tsserve probed them.
    opens, closes = rig.sim_count("T", "open"), rig.sim_count("T", "close")
    viewers = []
    for i in range(10):
        out = rig.path("v%d.ts" % i)
        viewers.append((out, subprocess.Popen(["curl", "-s", "--max-time", "%.1f" % (8 - 0.4 * i), "-o", out, url],
                                              stdin=subprocess.DEVNULL)))
        time.sleep(0.4)
    try:
        time.sleep(0.5)
        st = json_of(rig, "/status.json")["terrestrial"]
        check(st["viewers"] == 10 and st["connections"] == 1 and st["continuityErrors"] == 0,
              "status with ten viewers: %s" % st)
        status, _, body = curl_get(rig, "/stream/t/28")
        check(status == 409 and b"27" in body, "another channel: %d %r" % (status, body))
        r = rig.curl("-D", "-", "-o", "/dev/null", rig.url("/auto/v28"))
        check(b" 503 " in r.stdout.split(b"\r\n")[0] and b"X-HDHomeRun-Error: 805" in r.stdout, r.stdout.decode())
        for _, p in viewers:
            p.wait(30)
    finally:
        for _, p in viewers:
            if p.poll() is None:
                p.kill()
    streams = []
    for out, _ in viewers:
        with open(out, "rb") as f:
            s = Stream(f.read())
        check(len(s.data) > 2 * MESSAGE, "%s: %d bytes" % (out, len(s.data)))
        check(s.data[0] == 0x47 and s.sync_ok(), out + " does not start at a packet or loses sync")
        check(s.cc_errors() == 0 and s.gaps() == 0, "%s: %d CC errors, %d gaps" % (out, s.cc_errors(), s.gaps()))
        check(s.channels() == {(0, 14)}, "%s carries %s" % (out, s.channels()))
        streams.append(s)
    # The same packets from each one's join point on.
    common = max(s.payloads()[0][3] for s in streams)
    tails = [s.from_sequence(common) for s in streams]
    length = min(len(t) for t in tails) // 188 * 188
    check(length > MESSAGE, "the viewers overlap by %d bytes" % length)
    check(all(t[:length] == tails[0][:length] for t in tails), "viewers received different packets")
    check(rig.sim_count("T", "open") == opens + 1, "TunerHost opened the tuner %d times" % (
        rig.sim_count("T", "open") - opens))
    deadline = time.time() + 10
    while rig.sim_count("T", "close") == closes and time.time() < deadline:
        time.sleep(0.2)
    check(rig.sim_count("T", "close") == closes + 1, "the tuner was not released after the last viewer")
    check(json_of(rig, "/status.json")["terrestrial"]["state"] == "idle", "still streaming")
    print("  ten viewers: %.1f .. %.1f MB each, %d bytes in common" % (
        min(len(s.data) for s in streams) / 1e6, max(len(s.data) for s in streams) / 1e6, length))


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


def case_slow(rig):
    rig.set_sim("T", "RateKBps=4000\r\n")
    rig.start_host()
    rig.start_serve("--lag", "2")
    fast = [Reader(rig.port, "/stream/t/27") for _ in range(2)]
    for r in fast:
        r.start()
    check(wait_viewers(rig, 2, 15), "the fast viewers did not join")
    slow = Reader(rig.port, "/stream/t/27", reads=False)
    check(wait_viewers(rig, 3, 10), "the slow viewer did not join")
    joined = time.time()
    before = json_of(rig, "/status.json")["terrestrial"]["bytes"]
    fast_before = [len(r.data) for r in fast]
    # Its queue holds 2 s; the socket buffers on both sides take some more.
    check(wait_viewers(rig, 2, 20), "the stalled viewer was not dropped")
    dropped = time.time() - joined
    # Its connection ends within the write time-out (5 s) after that.
    slow.start()
    slow.join(15)
    check(not slow.is_alive(), "the stalled viewer's connection was not closed")
    time.sleep(3)
    after = json_of(rig, "/status.json")["terrestrial"]["bytes"]
    for r, b in zip(fast, fast_before):
        got = len(r.data) - b
        check(got >= (after - before) - 2 * MESSAGE, "a fast viewer got %d of %d bytes" % (got, after - before))
    for r in fast:
        r.stop = True
        r.join(5)
        s = Stream(r.body())
        check(s.sync_ok() and s.cc_errors() == 0 and s.gaps() == 0, "a fast viewer's stream broke")
    check("dropped: fell more than 2.0 s behind" in rig.serve_output(), "no line for the dropped viewer")
    print("  the stalled viewer was dropped %.1f s after it joined" % dropped)


def fuzz_requests(port, count, seconds):
    """Random and oversized requests; the status codes they got."""
    rnd = random.Random(16)
    statuses = {}
    samples = [
        lambda: bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 3000))),
        lambda: b"GET /" + b"a" * 10000 + b" HTTP/1.1\r\n\r\n",
        lambda: b"GET / HTTP/1.1\r\nX: " + b"b" * 6000 + b"\r\n\r\n",
        lambda: b"GET / HTTP/1.1\r\n" + b"X-Many: " + b"c" * 500 + b"\r\n" * 1 + b"".join(
            b"X-%d: %s\r\n" % (i, b"d" * 400) for i in range(200)) + b"\r\n",
        lambda: b"POST /playlist.m3u HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + b"e" * 100000,
        lambda: b"FOO / HTTP/1.1\r\n\r\n",
        lambda: b"GET /\r\n\r\n",
        lambda: b"GET /stream/t/%ff%00%c3 HTTP/1.1\r\n\r\n",
        lambda: b"GET /stream/t/" + b"9" * 500 + b" HTTP/1.1\r\n\r\n",
        lambda: b"GET /playlist.m3u HTTP/1.1\r\nHost: a\"b<c>\r\n\r\n",
        lambda: b"GET /status.json HTTP/1.1\r\nRange: bytes=5-1,x\r\n\r\n",
        lambda: b"\r\n" * 50,
        lambda: b"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzzzz\r\n",
        lambda: bytes(rnd.choice(b"GET /:\r\n HTTP1.%") for _ in range(rnd.randrange(1, 400))),
    ]
    deadline = time.time() + seconds
    requests = [samples[i % len(samples)]() for i in range(count)]
    lock = threading.Lock()

    def send(batch):
        for request in batch:
            if time.time() > deadline:
                return
            s = socket.socket()
            s.settimeout(1)
            try:
                s.connect(("127.0.0.1", port))
                s.sendall(request)
                answer = s.recv(200)
                code = answer[9:12].decode(errors="replace") if answer.startswith(b"HTTP/1.1 ") else "closed"
            except socket.timeout:
                code = "waiting"  # an unfinished request: its budget ends it
            except OSError:
                code = "reset"
            finally:
                s.close()
            with lock:
                statuses[code] = statuses.get(code, 0) + 1

    threads = [threading.Thread(target=send, args=(requests[k::8],)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 10)
    return statuses


def flood(port, header_bytes):
    """Header lines without end: true when the server cut the connection first."""
    s = socket.socket()
    s.settimeout(15)
    s.connect(("127.0.0.1", port))
    try:
        s.sendall(b"GET / HTTP/1.1\r\n")
        line = b"X-Flood: " + b"f" * 1000 + b"\r\n"
        sent = 0
        while sent < header_bytes:
            s.sendall(line)
            sent += len(line)
        s.recv(100)
        return False
    except OSError:
        return True
    finally:
        s.close()


def slowloris(port, seconds):
    """One byte at a time: true when the server closed the connection in time."""
    s = socket.socket()
    s.settimeout(2)
    s.connect(("127.0.0.1", port))
    start = time.time()
    try:
        s.sendall(b"GET / HTTP/1.1\r\n")
        while time.time() - start < seconds:
            s.sendall(b"X")
            time.sleep(0.5)
            try:
                if s.recv(100) == b"":
                    return True
            except socket.timeout:
                pass
        return False
    except OSError:
        return True
    finally:
        s.close()


def case_robustness(rig):
    rig.start_host()
    rig.start_serve()
    viewer = subprocess.Popen(["curl", "-s", "--max-time", "30", "-o", rig.path("v.ts"), rig.url("/stream/t/27")],
                              stdin=subprocess.DEVNULL)
    try:
        check(wait_viewers(rig, 1, 15), "the viewer did not join")
        started = time.time()
        results = {}
        threads = [threading.Thread(target=lambda: results.__setitem__("flood", flood(rig.port, 4 << 20))),
                   threading.Thread(target=lambda: results.__setitem__("slow", slowloris(rig.port, 20)))]
        for t in threads:
            t.start()
        statuses = fuzz_requests(rig.port, 400, 15)
        for t in threads:
            t.join(30)
        print("  %d odd requests in %.1f s: %s" % (sum(statuses.values()), time.time() - started, statuses))
        check(set(statuses) <= {"200", "400", "404", "405", "413", "414", "416", "closed", "reset", "waiting"},
              str(statuses))
        check(statuses.get("400", 0) > 50 and statuses.get("414", 0) > 10, "malformed requests not answered 400")
        check(results.get("flood"), "endless header lines were not cut off")
        check(results.get("slow"), "a request sent a byte at a time was not cut off")
        check(rig.serve.poll() is None, "tsserve ended")
        st = json_of(rig, "/status.json")["terrestrial"]
        check(st["viewers"] == 1 and st["continuityErrors"] == 0, "the viewer was disturbed: %s" % st)
    finally:
        viewer.kill()
        viewer.wait(10)
    time.sleep(1)
    fed = json_of(rig, "/status.json")["terrestrial"]["bytes"]
    with open(rig.path("v.ts"), "rb") as f:
        s = Stream(f.read())
    check(s.sync_ok() and s.cc_errors() == 0 and s.gaps() == 0, "the viewer's stream broke")
    check(len(s.data) >= fed - 2 * MESSAGE, "the viewer got %d of %d bytes" % (len(s.data), fed))
    check(rig.stop_serve() == 0, "tsserve's exit code after Ctrl+C")


def case_replay(rig):
    pattern = rig.path("ch27.ts")
    r = subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x180:rate=25",
                        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "3",
                        "-c:v", "mpeg2video", "-b:v", "1500k", "-c:a", "mp2", "-f", "mpegts",
                        "-mpegts_service_id", "27", "-muxrate", "4000k", pattern], capture_output=True, timeout=60)
    check(r.returncode == 0, "ffmpeg: " + r.stderr.decode())
    rig.set_sim("T", "SourceFile=%s\r\n" % wine_path(pattern))
    rig.start_host()
    rig.start_serve()
    r = subprocess.run(["ffprobe", "-v", "error", "-show_programs", "-of", "json", rig.url("/stream/t/27")],
                       capture_output=True, timeout=60)
    check(r.returncode == 0, "ffprobe: " + r.stderr.decode())
    programs = json.loads(r.stdout)["programs"]
    check(len(programs) == 1 and programs[0]["program_num"] == 27, str(programs))
    codecs = sorted(s["codec_name"] for s in programs[0]["streams"])
    check(codecs == ["mp2", "mpeg2video"], "streams " + str(codecs))
    # The generated stream has no timestamps, so ffprobe reads it to its end: three seconds of it.
    data = subprocess.run("curl -s --max-time 3 '%s' | ffprobe -v error -show_programs -of json -" % rig.url(
        "/stream/s/4010"), shell=True, capture_output=True, timeout=60)
    programs = json.loads(data.stdout)["programs"]
    check(len(programs) == 1 and programs[0]["program_num"] == 1 and programs[0]["pmt_pid"] == 0x1000
          and programs[0]["streams"][0]["id"] == "0x100", "generated stream: " + str(programs))
    # A looped file plays on at its own rate (500 kB/s): the seam keeps every
    # counter and flags the clock's jump.
    started = time.time()
    data = first_bytes(rig.url("/stream/t/27"), 1_600_000, timeout=40)
    took = time.time() - started
    s = Stream(data)
    check(len(data) == 1_600_000 and s.sync_ok() and s.cc_errors() == 0, "replayed stream: %d bytes, %d CC errors"
          % (len(data), s.cc_errors()))
    flagged = sum(1 for p in s.packets() if p[3] & 0x20 and p[4] > 0 and p[5] & 0x80)
    check(flagged >= 1, "no discontinuity flag at the seam")
    check(took > 0.7 * 1_600_000 / 500_000, "1.6 MB came in %.1f s: the file was not paced by its PCRs" % took)


CASES = {"endpoints": case_endpoints, "viewers": case_viewers, "slow": case_slow, "robustness": case_robustness,
         "replay": case_replay}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        print(__doc__)
        return 2
    build, name = os.path.abspath(sys.argv[1]), sys.argv[2]
    rig = Rig(build, name)
    started = time.time()
    try:
        CASES[name](rig)
        print("%s: passed in %.1f s" % (name, time.time() - started))
        return 0
    except (Failure, AssertionError, subprocess.TimeoutExpired, OSError, ValueError, KeyError) as e:
        print("%s: FAILED: %s" % (name, e))
        print("tsserve's output:\n" + rig.serve_output() if os.path.exists(rig.serve_out) else "")
        return 1
    finally:
        rig.close()


if __name__ == "__main__":
    sys.exit(main())
