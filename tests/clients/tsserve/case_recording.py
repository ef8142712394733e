"""Recording by programme as front-ends do it: TunerHost and tsserve over the
simulated plug-in, whose guide starts a block of short programmes (a minute)
soon after the scan, with one service's programme moved later; then
api_recording.js in Node with the front-ends' client library."""
import os
import subprocess
import time

from case_api import LIBRARY
from clients import json_of
from harness import check

HERE = os.path.dirname(os.path.abspath(__file__))
GUIDE = "GuideBlockSeconds=60\r\nGuideLate=7681:6\r\n"


def case_recording(rig):
    library = os.path.normpath(LIBRARY)
    check(os.path.exists(library), "the client library is missing (%s): run scripts/setup.sh" % library)
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
    r = subprocess.run(["node", os.path.join(HERE, "api_recording.js"), library, rig.addr, str(rig.port), str(block)],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    print(r.stdout + r.stderr)
    check(r.returncode == 0 and "recording: passed" in r.stdout, "the recordings failed")
    check(rig.serve.poll() is None and "fault in answering" not in rig.serve_output(), "tsserve faulted")
