"""The channel scan over the simulated plug-in: started as media servers
start it (POST /lineup.post?scan=start at tsserve's root), followed in
lineup_status.json, every service the plug-in carries found with its name
as libaribb24 decodes it from the stream itself, and the lists made from it
(playlist, lineups, start page) agreeing; HD and DRM in the lineups (a
sub-channel in 480i, a service whose packets come scrambled); the channels
not yet scanned listed as channels while a viewer pauses the first scan;
tsserve --scan on the console, and a channel passed over when another client
takes the tuner each time it is tuned; a damaged saved scan left out in one
line, and what a tsserve that ended mid-save left removed."""
import json
import os
import re
import subprocess
import threading
import time

from clients import Reader, curl_get, first_bytes, json_of, wait_viewers
from harness import check, end
from tables import aribb24_decode, parse_pat, parse_sdt, sections

# The plug-in's channels as its README tells them (testing/sim/SimLineup.cpp),
# for the bands this case serves: UHF 13-62, and BS by TunerHost's TSIDs.
BS_TSIDS = [0x4010, 0x4011, 0x4030, 0x4031, 0x4090, 0x4091, 0x4092, 0x40D0, 0x40D1, 0x40F1, 0x40F2]


def expected_services():
    """{(kind, channel): {service id: (name, three-digit number)}} of the television and radio services."""
    out = {}
    for i in range(50):  # UHF 13..62 is station n = i
        key = 1 + i % 12
        sid = (i + 1) * 512
        services = {sid: ("試験放送%d" % (13 + i), 10 * key + 1)}
        if i % 2 == 0:
            services[sid + 1] = ("試験放送%dサブ" % (13 + i), 10 * key + 2)
        out[("t", str(13 + i))] = services
    for i, tsid in enumerate(BS_TSIDS):
        services = {101 + 10 * i: ("BS試験%d" % (101 + 10 * i), 101 + 10 * i),
                    102 + 10 * i: ("BS試験%d" % (102 + 10 * i), 102 + 10 * i)}
        if i % 3 == 2:
            services[401 + i] = ("BSラジオ%d" % (401 + i), 401 + i)
        out[("s", "%04X" % tsid)] = services
    return out


def serve_uhf_and_bs(rig):
    rig.write("TunerHost.ini", "[Config]\r\nDriverNameT=BonDriver_SimT.dll\r\nDriverNameS=BonDriver_SimS.dll\r\n"
                               "[BonDriver_SimT.dll_Config]\r\nTuningSpaceCATV=-1\r\nTuningSpaceVHF=-1\r\n"
                               "[BonDriver_SimS.dll_Config]\r\nTuningSpaceCS=-1\r\n")


def sdt_names(rig, path):
    """What the whole transport stream's PAT and SDT say: {service id: (type, name)} of the programs in the PAT."""
    data = first_bytes(rig.url(path), 3 * 586560, timeout=30)
    pats = [parse_pat(s) for s in sections(data, 0x0000) if s[0] == 0x00]
    sdts = [parse_sdt(s) for s in sections(data, 0x0011) if s[0] == 0x42]
    check(pats and sdts, "%s: no PAT or SDT in %d bytes" % (path, len(data)))
    programs = pats[-1][2]
    return {sid: (kind, aribb24_decode(name)) for sid, kind, name in sdts[-1][2] if sid in programs}


def case_scan(rig):
    serve_uhf_and_bs(rig)
    # 27's main service (7680) goes out scrambled, as with no descrambler beside TunerHost.
    rig.set_sim("T", "RateKBps=4000\r\nScrambled=7680\r\n")
    rig.set_sim("S", "RateKBps=4000\r\n")
    rig.write("tsserve-scan.json", '{"format": "tsserve scan", "version": 1, "channels": [{"kind"')
    # Saves cut short by a crash (no process has that id), and a file that is none.
    unfinished = ["tsserve-scan.json.4000000000-12.new", "tsserve-guide.json.4000000000-16.new"]
    for name in unfinished + ["tsserve-scan.json.mine.new"]:
        rig.write(name, "{")
    rig.start_host()
    rig.start_serve()
    lines = [l for l in rig.serve_output().splitlines() if "saved scan" in l]
    check(len(lines) == 1 and "left out" in lines[0], "a damaged saved scan: %s" % lines)
    check(not any(os.path.exists(rig.path(n)) for n in unfinished) and
          os.path.exists(rig.path("tsserve-scan.json.mine.new")), "unfinished saves: %s" % sorted(os.listdir(rig.dir)))
    # Before any scan: channels, as ever.
    status, _, body = curl_get(rig, "/playlist.m3u")
    check(b"/stream/t/27\n" in body, "before a scan the playlist lists channels")

    # Asked for while a viewer has the terrestrial tuner, its scan waits for it.
    viewer = Reader(rig.where, "/stream/t/27")
    viewer.start()
    check(wait_viewers(rig, 1, 15), "the viewer did not join")
    started = time.time()
    status, _, _ = curl_get(rig, "/lineup.post?scan=start&source=Antenna", "-X", "POST")
    check(status == 200, "POST /lineup.post?scan=start: %d" % status)
    time.sleep(1)
    t = json_of(rig, "/lineup_status.json", port=rig.port + 1)
    scan = json_of(rig, "/status.json")["terrestrial"]["scan"]
    check(t["ScanInProgress"] == 1 and t.get("ScanWaiting") == 1 and t["Found"] == 0 and
          scan["state"] == "waiting for the tuner", "a scan during a viewer: %s, %s" % (t, scan))
    viewer.stop = True
    viewer.join(5)
    viewer.sock.close()
    # While it scans: another client of TunerHost (tsrec), then a viewer,
    # take the tuner, and it goes on from where it was; it saves as it goes.
    seen, others, saving = [], [], False
    while True:
        s = json_of(rig, "/lineup_status.json")
        device = json_of(rig, "/lineup_status.json", port=rig.port + 2)
        check({"ScanInProgress", "Progress", "Found", "ScanPossible"} <= set(s), str(s))
        if not s["ScanInProgress"]:
            break
        check(device["ScanInProgress"] in (0, 1), str(device))
        seen.append((s["Progress"], s["Found"]))
        done = json_of(rig, "/status.json")["terrestrial"]["scan"]["done"]
        if done >= 5 and not others:
            saving = any(c["kind"] == "t" for c in json.load(open(rig.path("tsserve-scan.json")))["channels"])
            r = rig.run("tsrec.exe", "-c", "20", "-t", "1", "-o", "rec.ts")
            others.append("tsrec: exit %d" % r.returncode)
            check(r.returncode == 0 and "continuity errors 0" in r.stdout, "tsrec during the scan:\n" + r.stdout)
        elif done >= 20 and len(others) == 1:
            viewer = Reader(rig.where, "/stream/t/13")
            viewer.start()
            check(wait_viewers(rig, 1, 15), "the viewer during the scan did not join")
            unscanned_listed(rig)
            deadline = time.time() + 30
            while len(viewer.body()) < 586560 and viewer.is_alive() and time.time() < deadline:
                time.sleep(0.1)
            viewer.stop = True
            viewer.join(5)
            viewer.sock.close()
            others.append("viewer: %d bytes" % len(viewer.body()))
            check(len(viewer.body()) >= 586560, "a viewer during the scan got %d bytes" % len(viewer.body()))
        check(time.time() - started < 150, "the scan takes too long: %s" % s)
        time.sleep(0.5)
    took = time.time() - started
    out = rig.serve_output()
    check(len(others) == 2 and out.count("terrestrial scan goes on at") == 2 and
          "paused after" in out and "another client of TunerHost took the terrestrial tuner" in out and
          "a viewer took the tuner" in out, "the scan around tsrec and a viewer (%s):\n%s" % (others, out))
    check(saving, "the scan did not save as it went")
    check(len(seen) >= 3 and seen == sorted(seen) and 0 < seen[-1][0] < 100,
          "progress while scanning: %s" % (seen[:3] + seen[-3:],))
    expected = expected_services()
    total = sum(len(v) for v in expected.values())
    check(s["Progress"] == 100 and s["Found"] == total, "after the scan: %s, %d services expected" % (s, total))
    print("  the scan of 50 UHF and 11 BS channels took %.1f s (the kinds side by side; %s)" % (took, ", ".join(others)))

    # Every service the plug-in carries, by name and number, in the playlist.
    status, _, body = curl_get(rig, "/playlist.m3u")
    lines = body.decode().splitlines()
    check(lines[0] == "#EXTM3U", lines[0])
    found = {}
    for info, url in zip(lines[1::3], lines[3::3]):
        m = re.match(r'#EXTINF:-1 tvg-id="(\d+)\.(\d+)\.([ts])\.tunerhost" tvg-name="([^"]*)" tvg-chno="([\d.]+)" '
                     r'group-title="(UHF|BS)"(?: tvg-logo="[^"]+")?,(.*)$', info)
        check(m, "entry %r" % info)
        sid, kind, name, number = int(m.group(1)), m.group(3), m.group(4), m.group(5)
        u = re.search(r"/stream/([ts])/([0-9A-F]+)/(\d+)$", url)
        check(u and u.group(1) == kind and int(u.group(3)) == sid, "URL %s for %s" % (url, info))
        found.setdefault((kind, u.group(2)), {})[sid] = (name, number)
    check(set(found) == set(expected), "channels with services: %s" % sorted(set(found) ^ set(expected))[:6])
    numbers = []
    for channel, services in expected.items():
        got = found[channel]
        check(set(got) == set(services), "%s: services %s, expected %s" % (channel, sorted(got), sorted(services)))
        for sid, (name, number) in services.items():
            check(got[sid][0] == name, "%s %d is named %r, not %r" % (channel, sid, got[sid][0], name))
            # The broadcaster's number, with a decimal part where it repeats.
            check(got[sid][1].split(".")[0] == str(number), "%s %d has number %s, not %d" % (
                channel, sid, got[sid][1], number))
            numbers.append(got[sid][1])
    check(len({float(n) for n in numbers}) == len(numbers), "numbers repeat")

    # The names as libaribb24 decodes them from the stream's own SDT.
    for path, channel in (("/stream/t/27", ("t", "27")), ("/stream/s/40D0", ("s", "40D0"))):
        for sid, (kind, name) in sdt_names(rig, path).items():
            if kind in (0x01, 0x02):
                check(found[channel][sid][0] == name, "%s %d: %r in the lineup, %r in the SDT" % (
                    path, sid, found[channel][sid][0], name))
            else:
                check(sid not in found[channel], "data service %d listed" % sid)

    # The network tuners' lineups and the start page list the same.
    by_number = {n: (k, sid) for k, services in found.items() for sid, (_, n) in services.items()}
    for kind, port in (("t", rig.port + 1), ("s", rig.port + 2)):
        lineup = json_of(rig, "/lineup.json", port=port)
        check({e["GuideNumber"] for e in lineup} == {n for n, (k, _) in by_number.items() if k[0] == kind},
              "the %s lineup's numbers are not the playlist's" % kind)
        for e in lineup:
            check(e["URL"].endswith("/auto/v" + e["GuideNumber"]) and e.get("VideoCodec", "") in ("MPEG2", "") and
                  e["AudioCodec"] == "AAC", str(e))
            # HD but for radio and the sub-channels (480i); DRM for the scrambled one alone.
            sd = "VideoCodec" not in e or e["GuideName"].endswith("サブ")
            check(e.get("HD") == (None if sd else 1) and e.get("DRM") == (1 if e["GuideName"] == "試験放送27" else None),
                  "HD and DRM: %s" % e)
    status, _, page = curl_get(rig, "/")
    links = re.findall(r'<a href="/stream/[ts]/[0-9A-F]+/\d+">([\d.]+)</a>', page.decode())
    check(sorted(links) == sorted(by_number), "the start page's numbers are not the playlist's")
    status, ctype, _ = curl_get(rig, "/auto/v" + numbers[0], "--max-time", "2", "-o", "/dev/null", port=rig.port + 1)
    check(ctype == "video/mp2t", "a service's lineup URL: %s" % ctype)

    # tsserve --scan on the console, of two channels: a line per channel, exit 0.
    code = rig.stop_serve()
    check(code == 0, "tsserve's exit code: %s" % code)
    r = rig.run("tsserve.exe", "--scan", "--only", "t/28,s/4011", timeout=120)
    check(r.returncode == 0, "tsserve --scan: %d\n%s" % (r.returncode, r.stdout))
    check(re.search(r"terrestrial 28 \(28ch\): TSID 78F8, 41 試験放送28, 641 試験放送28ワンセグ \(data\) "
                    r"\[\d+\.\d s; 1 of 1, about 0\.0 s left\]", r.stdout) and
          re.search(r"satellite 4011 \(BS\d+\): TSID 4011, 111 BS試験111, 112 BS試験112", r.stdout) and
          "terrestrial scan done: 1 services in 1 channels" in r.stdout, "tsserve --scan:\n" + r.stdout)
    # Two at once, each of one kind: each keeps the other's channel.
    before = time.time() - 1
    results = {}
    runs = [threading.Thread(target=lambda only: results.update({only: rig.run(
        "tsserve.exe", "--scan", "--only", only, timeout=120)}), args=(only,)) for only in ("t/29", "s/4030")]
    for run in runs:
        run.start()
    for run in runs:
        run.join(130)
    check(all(results[o].returncode == 0 for o in results) and len(results) == 2, "two tsserve --scan: %s" % {
        o: (r.returncode, r.stdout) for o, r in results.items()})
    saved = {(c["kind"], c["channel"]): c for c in json.load(open(rig.path("tsserve-scan.json")))["channels"]}
    check(len(saved) == 61 and all(saved[k]["scanned"] >= before for k in (("t", "29"), ("s", "4030"))),
          "two tsserve --scan saved %d channels; 29 at %s, 4030 at %s, after %d" % (
              len(saved), saved.get(("t", "29"), {}).get("scanned"), saved.get(("s", "4030"), {}).get("scanned"),
              before))
    r = rig.run("tsserve.exe", "--scan", "--only", "t/99", timeout=60)
    check(r.returncode == 1 and "t/99" in r.stdout, "tsserve --scan --only t/99: %d %s" % (r.returncode, r.stdout))
    passed_over(rig)


def unscanned_listed(rig):
    """A viewer has paused the first scan: the UHF channels it has yet to
    scan are in the playlist and the lineup as channels, the others as their
    services."""
    for _ in range(5):
        done = json_of(rig, "/status.json")["terrestrial"]["scan"]["done"]
        _, _, playlist = curl_get(rig, "/playlist.m3u")
        names = {e["GuideName"] for e in json_of(rig, "/lineup.json", port=rig.port + 1)}
        if json_of(rig, "/status.json")["terrestrial"]["scan"]["done"] == done:
            break
    for n in range(13, 63):
        scanned = n < 13 + done
        check((b"/stream/t/%d\n" % n in playlist) != scanned and ("%dch" % n in names) != scanned and
              (("試験放送%d" % n) in names) == scanned,
              "channel %d while the scan is paused after %d channels:\n%s" % (n, done, playlist.decode()))


def passed_over(rig):
    """tsrec comes each time the scan has the tuner (which it yields): after
    the third loss in a row the scan passes the channel over and ends.
    Opening the tuner takes 2 s and its tune fails: tsrec, started as the
    scan takes the tuner, waits while it opens it and comes long before the
    channel is done."""
    rig.set_sim("T", "OpenHangMs=2000\r\nTuneFailsOn=30\r\n")
    out = open(rig.path("passed.out"), "w")
    scan = subprocess.Popen([rig.wine, "tsserve.exe", "--scan", "--only", "t/30"], cwd=rig.dir, stdout=out,
                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def said():
        with open(rig.path("passed.out"), errors="replace") as f:
            return f.read()
    runs, deadline = 0, time.time() + 90
    try:
        while scan.poll() is None and time.time() < deadline:
            if said().count("scanning 1 terrestrial channels") + said().count("terrestrial scan goes on at 30") > runs:
                rig.run("tsrec.exe", "-c", "31", "-t", "1", "-q", "-o", "rec.ts")
                runs += 1
            time.sleep(0.1)
        code = scan.wait(30)
    finally:
        end(scan)
        out.close()
    check(code == 0 and runs == 3 and "terrestrial 30: passed over: another client of TunerHost took the "
          "terrestrial tuner, each of 3 times it was tuned" in said(),
          "tsserve --scan against tsrec (%d runs):\n%s" % (runs, said()))
    rig.set_sim("T", "")
    print("  a channel passed over after tsrec took the tuner three times (%d runs of tsrec)" % runs)
