"""The recorders' API as front-ends drive it: TunerHost and tsserve over the
simulated plug-in (short programmes: GuideBlockSeconds=120), a scan of a few
channels, then api_client.js in Node with the client library the front-ends
use (installed by set-up in .deps/), through its own methods only."""
import os
import socket
import subprocess
import threading
import time

from clients import json_of, wait_viewers
from harness import check

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY = os.path.join(HERE, "..", "..", "..", ".deps", "mirakurun-client", "node_modules", "mirakurun", "lib",
                       "client.js")


def drain(sock):
    """Reads a stream until it ends, as a recorder does."""
    try:
        while sock.recv(1 << 16):
            pass
    except OSError:
        pass


def case_api(rig):
    library = os.path.normpath(LIBRARY)
    check(os.path.exists(library), "the client library is missing (%s): run scripts/setup.sh" % library)
    rig.write("TunerHost.ini", "[Config]\r\nDriverNameT=BonDriver_SimT.dll\r\nDriverNameS=BonDriver_SimS.dll\r\n"
                               "[BonDriver_SimT.dll_Config]\r\nTuningSpaceCATV=-1\r\nTuningSpaceVHF=-1\r\n"
                               "[BonDriver_SimS.dll_Config]\r\nTuningSpaceCS=-1\r\n")
    rig.set_sim("T", "GuideBlockSeconds=120\r\n")
    rig.start_host()
    # The guide's idle pass soon after the tuner is free, for the priority table.
    rig.start_serve("--guide-idle", "2")
    rig.curl("-X", "POST", rig.url("/lineup.post?scan=start&only=t/27,t/28,s/4010"))
    deadline = time.time() + 60
    while json_of(rig, "/lineup_status.json")["ScanInProgress"]:
        check(time.time() < deadline, "the scan did not end within 60 s")
        time.sleep(0.5)
    r = subprocess.run(["node", os.path.join(HERE, "api_client.js"), library, rig.addr, str(rig.port)],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=420)
    print(r.stdout + r.stderr)
    check(r.returncode == 0 and "api: passed" in r.stdout, "the client library's run failed")
    # tsserve is still whole after all of it.
    check(rig.serve.poll() is None and "fault in answering" not in rig.serve_output(), "tsserve faulted")
    # What the user sees: each user of a tuner with its priority, its agent and what it asked for.
    path = "/api/services/%d/stream" % (30960 * 100000 + 7680)
    with socket.create_connection((rig.addr, rig.port), timeout=10) as recorder:
        recorder.sendall(("GET %s HTTP/1.1\r\nHost: x\r\nUser-Agent: EPGStation/2.10\r\n"
                          "X-Mirakurun-Priority: 2\r\n\r\n" % path).encode())
        threading.Thread(target=drain, args=(recorder,), daemon=True).start()
        check(wait_viewers(rig, 1, 15), "the recording is not among the tuner's users")
        users = json_of(rig, "/status.json")["terrestrial"]["viewerList"]
        check([(u["priority"], u["agent"], u["asked"]) for u in users] == [(2, "EPGStation/2.10", path)],
              "status.json's users: %r" % users)
        page = rig.get("/")[2].decode("utf-8", "replace")
        check("(priority 2, EPGStation/2.10): <code>%s</code>" % path in page, "the start page names no user")
