"""Hostile clients on loopback: malformed requests each get one clear answer;
held connections (events streams, requests sent a byte at a time, silent
connections, from other loopback sources) leave room for a page; a request
whose tuner is taken before its head went out is told at once; a scan starts
right after an abort."""
import json
import select
import socket
import threading
import time

from clients import answers, exchange, json_of
from harness import check

HOST = b"Host: x\r\n"
GET = b"GET /status.json HTTP/1.1\r\n" + HOST

# Each with the one status it is to get, alone on its connection.
MALFORMED = [(GET + b"Content-Length: " + v + b"\r\n\r\nabc", 400) for v in (b"-1", b"+3", b"0x3", b"3, 3")] + [
    (GET + b"Content-Length: 99999999999999999999999\r\n\r\n", 413),
    (GET + b"Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400),
    (GET + b"Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 400),
    (b"POST /lineup.post HTTP/1.1\r\n" + HOST + b"Transfer-Encoding: chunked\r\n\r\nzz\r\n", 400),
    (b"POST /lineup.post HTTP/1.1\r\n" + HOST + b"Transfer-Encoding: chunked\r\n\r\n" +
     (b"400\r\n" + b"b" * 1024 + b"\r\n") * 5, 413),
    (b"GET\t/status.json\tHTTP/1.1\r\n" + HOST + b"\r\n", 400),
    (GET + b"Foo : x\r\n\r\n", 400),
    (GET + b"Foo: a\r\n b\r\n\r\n", 400),
    (b"GET /api/services/3084800512%00/stream HTTP/1.1\r\n" + HOST + b"\r\n", 400),
    (b"GET /status.json\x00x HTTP/1.1\r\n" + HOST + b"\r\n", 400),
    (b"GET /status.json HTTP/2.0\r\n\r\n", 505),
    # The limits: a head of 32 kB with up to 100 fields, 500 query parameters.
    (GET.replace(b".json", b".json?x=" + b"a" * 30000), 200),
    (GET.replace(b".json", b".json?" + b"&".join(b"p%d=1" % i for i in range(500))) + b"\r\n", 200),
    (GET + b"".join(b"X-%d: %s\r\n" % (i, b"v" * 290) for i in range(98)) + b"\r\n", 200),
    (GET.replace(b".json", b".json?x=" + b"a" * 33000), 414),
    (GET.replace(b".json", b".json?" + b"&".join(b"p%d" % i for i in range(501))) + b"\r\n", 414),
    (GET + b"".join(b"X-%d: v\r\n" % i for i in range(101)) + b"\r\n", 431),
    (GET + b"X: " + b"v" * 33000 + b"\r\n\r\n", 431),
]


def statuses(data):
    return [int(data[at + 9:at + 12]) for at in range(len(data)) if data.startswith(b"HTTP/1.1 ", at)]


def check_malformed(rig):
    for request, status in MALFORMED:
        if status == 200:
            request = request.replace(HOST, HOST + b"Connection: close\r\n", 1)
            request += b"" if request.endswith(b"\r\n\r\n") else b"\r\n"
        data = exchange(rig.where, request, timeout=4)
        got = statuses(data)
        check(got == [status], "%r...: %s, not one %d: %r" % (request[:60], got, status, data[-120:]))
    # Bodies framed by length or chunks end where the next request starts.
    for body in (b"Content-Length: 5\r\n\r\nhello",
                 b"Transfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\n0\r\nT: 1\r\n\r\n"):
        got = answers(exchange((rig.addr, rig.port + 1), b"POST /lineup.post HTTP/1.1\r\n" + HOST + body +
                               b"GET /discover.json HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n", timeout=4))
        check([a[0] for a in got] == [200, 200] and got[1][2].startswith(b"{"), "after a body: %s" % got)


def connect_from(rig, source):
    s = socket.socket()
    s.setblocking(True)
    s.settimeout(5)
    s.bind((source, 0))
    s.connect(rig.where)
    return s


def page_time(rig, timeout=5):
    """How long /status.json takes to come, from the rig's own address."""
    started = time.time()
    got = exchange(rig.where, GET + b"Connection: close\r\n\r\n", timeout=timeout)
    check(got.startswith(b"HTTP/1.1 200"), "/status.json under the attack: %r" % got[:60])
    return time.time() - started


def check_held(rig):
    held = []
    try:
        # Events streams: one peer past its share, and others past the port's.
        streams = []
        for source, n in (("127.66.0.2", 70), ("127.66.0.3", 50), ("127.66.0.4", 50), ("127.66.0.5", 50)):
            for _ in range(n):
                s = connect_from(rig, source)
                s.sendall(b"GET /api/events/stream HTTP/1.1\r\n" + HOST + b"\r\n")
                streams.append((source, s))
        heads = {}
        for source, s in streams:
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = s.recv(4096)
                if not chunk:
                    break
                head += chunk
            code = int(head[9:12]) if head.startswith(b"HTTP/1.1 ") else 0
            heads.setdefault(source, []).append(code)
        held += [s for _, s in streams]
        served = {src: codes.count(200) for src, codes in heads.items()}
        print("  events streams served per peer: %s" % served)
        check(served["127.66.0.2"] <= 64 and sum(served.values()) == 192 and
              all(c in (200, 503) for codes in heads.values() for c in codes), "events streams: %s" % heads)
        # Requests sent a byte at a time, and connections that send nothing.
        slow = [connect_from(rig, "127.66.1.%d" % (i % 4 + 1)) for i in range(48)]
        opened = time.time()
        held += slow + [connect_from(rig, "127.66.2.1") for _ in range(36)]
        for s in slow:
            s.sendall(b"GET /status.json HTTP/1.1\r\n")
        # The page is asked once the attack's connections are in: a burst of
        # newcomers is accepted one by one, each with a thread of its own, and
        # a page asked meanwhile waits its turn (on a loaded machine, seconds).
        times, cut, first = [], {}, None
        while time.time() - opened < 13:
            for s in slow:
                if s in cut:
                    continue
                try:
                    if select.select([s], [], [], 0)[0] and s.recv(100) == b"":
                        cut[s] = time.time() - opened
                    else:
                        s.send(b"X")
                except OSError:
                    cut[s] = time.time() - opened
            if first is None and time.time() - opened > 2:
                first = page_time(rig, timeout=9)
                after = time.time()
            elif first is not None and len(times) < 8 and time.time() - after > len(times) * 0.8:
                times.append(page_time(rig))
            time.sleep(0.25)
        print("  /status.json under the attack: first %.2f s, then %s s; requests a byte at a time cut after "
              "%.1f..%.1f s" % (
            first, ", ".join("%.2f" % t for t in times), min(cut.values() or [0]), max(cut.values() or [0])))
        check(len(times) >= 4 and max(times) < 1.0, "/status.json took %s s" % times)
        check(len(cut) == len(slow), "%d of %d requests sent a byte at a time were not cut in 13 s" % (
            len(slow) - len(cut), len(slow)))
    finally:
        for s in held:
            s.close()


def check_preempted(rig):
    """A viewer waits for a tune that brings nothing; a recording takes the tuner."""
    viewer = socket.create_connection(rig.where, timeout=10)
    recorder = socket.create_connection(rig.where, timeout=10)
    try:
        viewer.sendall(b"GET /stream/t/27 HTTP/1.1\r\n" + HOST + b"\r\n")
        time.sleep(1.0)
        taken = time.time()
        recorder.sendall(b"GET /api/channels/GR/C22/stream HTTP/1.1\r\n" + HOST + b"X-Mirakurun-Priority: 2\r\n\r\n")
        head = viewer.recv(4096)
        late = time.time() - taken
        print("  the viewer whose tuner was taken: %r after %.2f s" % (head[:12], late))
        check(head.startswith(b"HTTP/1.1 503") and late < 1.0, "preempted: %r after %.2f s" % (head[:40], late))
    finally:
        viewer.close()
        recorder.close()


def check_scan_after_abort(rig):
    """A media server's abort and new start, pipelined, while the scan tunes a channel."""
    device = (rig.addr, rig.port + 1)
    post = b"POST /lineup.post?scan=%s HTTP/1.1\r\n" + HOST + b"Content-Length: 0\r\n\r\n"
    check(exchange(device, post % b"start" + b"GET /discover.json HTTP/1.1\r\n" + HOST + b"Connection: close\r\n\r\n",
                   timeout=10).startswith(b"HTTP/1.1 200"), "scan start")
    deadline = time.time() + 15
    while json_of(rig, "/lineup_status.json", port=device[1]).get("ScanWaiting") and time.time() < deadline:
        time.sleep(0.2)
    time.sleep(0.5)
    got = statuses(exchange(device, post % b"abort" + (post % b"start").replace(b"\r\n\r\n", b"\r\nConnection: close"
                                                                                  b"\r\n\r\n"), timeout=10))
    time.sleep(1)
    progress = json_of(rig, "/lineup_status.json", port=device[1])
    print("  abort and start at once: %s, then %s" % (got, progress))
    check(got == [200, 200] and progress["ScanInProgress"] == 1 or got == [200, 503],
          "start after abort: %s, then %s" % (got, progress))
    exchange(device, (post % b"abort").replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n"))


def case_hostile(rig):
    rig.set_sim("T", "FetchMode=2\r\n")  # tunes that bring nothing: a viewer's head waits
    rig.start_host()
    rig.start_serve()
    started = time.time()
    check_malformed(rig)
    check_preempted(rig)
    check_scan_after_abort(rig)
    check_held(rig)
    check(rig.serve.poll() is None, "tsserve ended")
    check("fault in answering" not in rig.serve_output(), "tsserve printed a fault")
    print("  hostile clients: %.1f s" % (time.time() - started))
