"""Viewers sharing one tuner: ten of them on one connection to TunerHost, and
one that stops reading."""
import subprocess
import time

from clients import Reader, curl_get, json_of, wait_viewers
from harness import Stream, check

MESSAGE = 586560


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
    # What the tuner had delivered by then reaches the fast viewers; on a
    # loaded machine part of it is still in flight (tsserve's queue may hold
    # up to the lag, the sockets' buffers more), so it is waited for.
    for r, b in zip(fast, fast_before):
        deadline = time.time() + 15
        while len(r.data) - b < (after - before) - 2 * MESSAGE and time.time() < deadline:
            time.sleep(0.1)
        got = len(r.data) - b
        check(got >= (after - before) - 2 * MESSAGE, "a fast viewer got %d of %d bytes" % (got, after - before))
    for r in fast:
        r.stop = True
        r.join(5)
        s = Stream(r.body())
        check(s.sync_ok() and s.cc_errors() == 0 and s.gaps() == 0, "a fast viewer's stream broke")
    check("dropped: fell more than 2.0 s behind" in rig.serve_output(), "no line for the dropped viewer")
    print("  the stalled viewer was dropped %.1f s after it joined" % dropped)
