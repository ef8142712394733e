"""Recording by programme as front-ends do it: TunerHost and tsserve over the
simulated plug-in, whose guide starts a block of short programmes (a minute)
soon after the scan, with one service's programme moved later; then
api_recording.js in Node with the front-ends' client library."""
import os
import re
import subprocess
import time

from case_api import LIBRARY
from clients import json_of
from harness import check

ARIBTS = os.path.join(os.path.dirname(LIBRARY), "..", "..", "..", "..", "aribts", "node_modules", "aribts")

HERE = os.path.dirname(os.path.abspath(__file__))
GUIDE = "GuideBlockSeconds=60\r\nGuideLate=7681:6\r\nDrops=7681:500\r\n"


def case_recording(rig):
    library = os.path.normpath(LIBRARY)
    aribts = os.path.normpath(ARIBTS)
    for path in (library, aribts):
        check(os.path.exists(path), "%s is missing: run scripts/setup.sh" % path)
    rig.write("TunerHost.ini", "[Config]\r\nDriverNameT=BonDriver_SimT.dll\r\nDriverNameS=BonDriver_SimS.dll\r\n"
                               "[BonDriver_SimT.dll_Config]\r\nTuningSpaceCATV=-1\r\nTuningSpaceVHF=-1\r\n")
    rig.set_sim("T", GUIDE)
    rig.start_host()
    rig.start_serve()
    rig.curl("-X", "POST", rig.url("/lineup.post?scan=start&only=t/27,t/28"))
    deadline = time.time() + 60
    while json_of(rig, "/lineup_status.json")["ScanInProgress"]:
        check(time.time() < deadline, "the scan did not end within 60 s")
        time.sleep(0.5)
    # The plug-in reads its settings at each open: the next tune has a block
    # start 21 s from now, its first programme 20 s long.
    block = int(time.time()) + 21
    rig.set_sim("T", GUIDE + "GuideBlockStart=%d\r\n" % block)
    r = subprocess.run(["node", os.path.join(HERE, "api_recording.js"), library, aribts, rig.addr, str(rig.port),
                        str(block)],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    print(r.stdout + r.stderr)
    check(r.returncode == 0 and "recording: passed" in r.stdout, "the recordings failed")
    check(rig.serve.poll() is None and "fault in answering" not in rig.serve_output(), "tsserve faulted")
    # tsserve's line for each recorder that left says its drops.
    for user, drops in re.findall(r"^user (\S+) drops (\d+)$", r.stdout, re.M):
        line = re.search(r"viewer %s left after [^\n]*, %s drops? \(" % (re.escape(user), drops), rig.serve_output())
        check(line, "tsserve's log does not say %s drops for %s" % (drops, user))
