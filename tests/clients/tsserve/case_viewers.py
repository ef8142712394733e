"""Viewers sharing one tuner: ten of them on one connection to TunerHost, a
player changing channel, a viewer who comes while TunerHost closes another
client's slow plug-in, one viewer that stops reading, and a tuner whose data
stops."""
import socket
import subprocess
import time

from clients import Reader, curl_get, first_bytes, json_of, wait_viewers
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
        status, _, _ = curl_get(rig, "/stream/t/28", "-I")
        check(status == 409, "HEAD of another channel: %d" % status)
        for extra in ((), ("-I",)):
            r = rig.curl("-D", "-", "-o", "/dev/null", *extra, rig.url("/auto/v28", rig.port + 1))
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
    change_channels(rig)


def sim_tunes(rig):
    with open(rig.path("simT.log")) as f:
        return sum(1 for line in f if line.startswith("tune "))


def change_channels(rig):
    """A player leaves a channel and at once asks for it again, or for
    another, while the tuner waits for its next data: the tuner, kept a few
    seconds after its last viewer, serves it on its one connection to
    TunerHost, retuned for another channel (not refused). The stream is slow
    (a data message every 1.5 s) and each viewer takes its first message
    whole, so that it leaves between two writes."""
    rig.set_sim("T", "RateKBps=400\r\n")
    refused = rig.serve_output().count("refused")
    opens, tunes = rig.sim_count("T", "open"), sim_tunes(rig)
    started = time.time()
    changes = (("28", (0, 15)), ("28", (0, 15)), ("29", (0, 16)), ("28", (0, 15)), ("30", (0, 17)))
    for i, (channel, space_channel) in enumerate(changes):
        s = socket.create_connection(rig.where, timeout=20)
        try:
            s.sendall(b"GET /stream/t/%s HTTP/1.1\r\nHost: x\r\n\r\n" % channel.encode())
            data = b""
            while b"\r\n\r\n" not in data or len(data) - data.index(b"\r\n\r\n") - 4 < MESSAGE - 188:
                chunk = s.recv(1 << 16)
                check(chunk, "channel %s ended early: %r" % (channel, data[:100]))
                data += chunk
            time.sleep(0.1)
        finally:
            s.close()
        check(data.startswith(b"HTTP/1.1 200 "), "channel %s, change %d: %r" % (channel, i, data[:120]))
        body = Stream(data[data.index(b"\r\n\r\n") + 4:])
        check(body.channels() == {space_channel}, "channel %s carries %s" % (channel, body.channels()))
    check(rig.serve_output().count("refused") == refused, "a change of channel was refused:\n" + rig.serve_output())
    check(rig.sim_count("T", "open") == opens + 1 and sim_tunes(rig) == tunes + 4,
          "TunerHost opened the tuner %d times and tuned it %d times for five viewers of four channels" % (
              rig.sim_count("T", "open") - opens, sim_tunes(rig) - tunes))
    print("  a viewer back and three changes of channel in %.1f s" % (time.time() - started))
    slow_close(rig)


def slow_close(rig):
    """tsrec leaves a plug-in that takes 4.5 s to close: TunerHost's pipe is
    busy meanwhile, as when another client holds the tuner, but nobody reads
    its stream. A viewer who comes then is served once it has closed."""
    deadline = time.time() + 15
    while json_of(rig, "/status.json")["terrestrial"]["state"] != "idle":
        check(time.time() < deadline, "the tuner was not released")
        time.sleep(0.2)
    rig.set_sim("T", "CloseHangMs=4500\r\n")
    r = rig.run("tsrec.exe", "-c", "27", "-t", "1", "-q", "-o", "rec.ts")
    check(r.returncode == 0, "tsrec: %d %s" % (r.returncode, r.stdout))
    started = time.time()
    data = first_bytes(rig.url("/stream/t/28"), MESSAGE, timeout=30)
    check(len(data) == MESSAGE, "the viewer after tsrec got %d bytes" % len(data))
    rig.set_sim("T", "")
    print("  a viewer who came while TunerHost closed tsrec's slow plug-in was served after %.1f s" % (
        time.time() - started))


def case_slow(rig):
    rig.set_sim("T", "RateKBps=4000\r\n")
    rig.start_host()
    rig.start_serve("--lag", "2", "--tune-wait", "3")
    fast = [Reader(rig.where, "/stream/t/27") for _ in range(2)]
    for r in fast:
        r.start()
    check(wait_viewers(rig, 2, 15), "the fast viewers did not join")
    slow = Reader(rig.where, "/stream/t/27", reads=False)
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
    for r in fast:
        r.sock.close()
    check(wait_viewers(rig, 0, 5), "viewers that closed their connections are still there")
    data_stops(rig)


def data_stops(rig):
    """The tuner's data stops (a plug-in whose FetchBlock hangs, as with a
    lost signal): after --tune-wait the session ends, with its viewers'
    streams, and the kind is free for another channel."""
    deadline = time.time() + 15
    while json_of(rig, "/status.json")["terrestrial"]["state"] != "idle":
        check(time.time() < deadline, "the tuner was not released")
        time.sleep(0.2)
    rig.set_sim("T", "RateKBps=4000\r\nFetchHangMs=8000\r\nFetchHangAfterMs=1500\r\n")
    viewer = Reader(rig.where, "/stream/t/27")
    viewer.start()
    try:
        started = time.time()
        viewer.join(20)
        ended = time.time() - started
        check(not viewer.is_alive(), "the stream went on after its data stopped")
    finally:
        viewer.stop = True
        viewer.sock.close()
    check(len(viewer.body()) > 0 and 3 < ended < 12, "the stream ended after %.1f s with %d bytes" % (
        ended, len(viewer.body())))
    check("no data came from TunerHost for 3 s" in rig.serve_output(), "no line for the stopped data")
    st = json_of(rig, "/status.json")["terrestrial"]
    check(st["viewers"] == 0 and st["state"] == "idle", "after the data stopped: %s" % st)
    status, _, _ = curl_get(rig, "/stream/t/28", "-I")
    check(status == 200, "another channel after the data stopped: %d" % status)
    rig.set_sim("T", "")
    print("  the stream whose data stopped ended after %.1f s" % ended)
