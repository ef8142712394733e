"""Random, oversized and endless requests while a viewer watches."""
import random
import socket
import subprocess
import threading
import time

from clients import curl_get, json_of, wait_viewers
from harness import Failure, Stream, check

MESSAGE = 586560


def fuzz_requests(where, count, seconds):
    """Random and oversized requests; the status codes they got."""
    rnd = random.Random(16)
    statuses = {}
    samples = [
        lambda: bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 3000))),
        lambda: b"GET /" + b"a" * 40000 + b" HTTP/1.1\r\n\r\n",  # a request line past the head's bound
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
                s.connect(where)
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


def flood(where, header_bytes):
    """Header lines without end: true when the server cut the connection first."""
    s = socket.socket()
    s.settimeout(15)
    s.connect(where)
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


def slowloris(where, seconds):
    """One byte at a time: true when the server closed the connection in time."""
    s = socket.socket()
    s.settimeout(2)
    s.connect(where)
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
        threads = [threading.Thread(target=lambda: results.__setitem__("flood", flood(rig.where, 4 << 20))),
                   threading.Thread(target=lambda: results.__setitem__("slow", slowloris(rig.where, 20)))]
        for t in threads:
            t.start()
        statuses = fuzz_requests(rig.where, 400, 15)
        for t in threads:
            t.join(30)
        print("  %d odd requests in %.1f s: %s" % (sum(statuses.values()), time.time() - started, statuses))
        check(set(statuses) <= {"200", "400", "404", "405", "413", "414", "431", "closed", "reset", "waiting"},
              str(statuses))
        check(statuses.get("400", 0) > 50 and statuses.get("414", 0) > 10, "malformed requests not answered 400 and 414")
        check(results.get("flood"), "endless header lines were not cut off")
        check(results.get("slow"), "a request sent a byte at a time was not cut off")
        check(rig.serve.poll() is None, "tsserve ended")
        st = json_of(rig, "/status.json")["terrestrial"]
        check(st["viewers"] == 1 and st["continuityErrors"] == 0, "the viewer was disturbed: %s" % st)
        # What was fed to the viewer by now (the tuner is kept a while after it).
        fed = st["bytes"]
    finally:
        viewer.kill()
        viewer.wait(10)
    with open(rig.path("v.ts"), "rb") as f:
        s = Stream(f.read())
    check(s.sync_ok() and s.cc_errors() == 0 and s.gaps() == 0, "the viewer's stream broke")
    check(len(s.data) >= fed - 2 * MESSAGE, "the viewer got %d of %d bytes" % (len(s.data), fed))
    # TunerHost going away ends the streams; tsserve stays and says so.
    viewer = subprocess.Popen(["curl", "-s", "--max-time", "30", "-o", "/dev/null", rig.url("/stream/t/27")],
                              stdin=subprocess.DEVNULL)
    try:
        check(wait_viewers(rig, 1, 15), "the last viewer did not join")
        rig.stop_host()
        viewer.wait(15)
    finally:
        if viewer.poll() is None:
            viewer.kill()
            viewer.wait(10)
            raise Failure("a stream went on after TunerHost ended")
    status, _, body = curl_get(rig, "/stream/t/27")
    check(status == 503 and b"not running" in body, "after TunerHost ended: %d %r" % (status, body))
    check("TunerHost ended the connection" in rig.serve_output(), "no line for the stream TunerHost ended")
    check(rig.stop_serve() == 0, "tsserve's exit code after Ctrl+C")
