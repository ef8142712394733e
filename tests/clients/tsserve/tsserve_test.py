#!/usr/bin/env python3
"""tsserve end to end: the real TunerHost.exe and tsserve.exe under Wine, and
real clients (curl, ffprobe, sockets) from the Linux side.

    tsserve_test.py BUILD_DIR CASE     CASE: endpoints, viewers, slow, robustness, replay, scan, service, guide, fuzz,
                                       api, recording, hostile
"""
import os
import subprocess
import sys
import time

from case_api import case_api
from case_endpoints import case_endpoints
from case_fuzz import case_fuzz
from case_guide import case_guide
from case_recording import case_recording
from case_hostile import case_hostile
from case_replay import case_replay
from case_robustness import case_robustness
from case_scan import case_scan
from case_service import case_service
from case_viewers import case_slow, case_viewers
from harness import Failure, Rig


CASES = {"endpoints": case_endpoints, "viewers": case_viewers, "slow": case_slow, "robustness": case_robustness,
         "replay": case_replay, "scan": case_scan, "service": case_service, "guide": case_guide,
         "fuzz": case_fuzz, "api": case_api, "recording": case_recording, "hostile": case_hostile}


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
