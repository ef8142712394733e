"""The guide: filled by a scan, by the idle pass of an idle tuner kind and by
a viewer's stream; served as XMLTV that the XMLTV project's validator
passes, with every service's programmes, their times in Japan's offset and
their titles as the broadcast wrote them; now and next on the start page
and in status.json; a viewer who comes during the idle pass served as fast
as from an idle tuner; a damaged saved guide left out in one line. A
station that two transmitters bring (UHF 27 and its relay on 29): its
services listed once, with the numbers they had before the relay was
scanned, and streamed from the relay when 27 cannot be tuned. The services'
logos, from the broadcast's CDT, as PNGs that ImageMagick decodes to the
image the simulated broadcast carries and to what aribts's own logo
extraction makes of it; in the playlist, the XMLTV and the API, kept across
a restart. The IPTV paths' guide: the same XMLTV, or `days` of it."""
import datetime
import json
import os
import re
import socket
import statistics
import subprocess
import time
import xml.etree.ElementTree as ET

from clients import curl_get, first_bytes, json_of
from harness import Stream, check

JST = datetime.timezone(datetime.timedelta(hours=9))
HERE = os.path.dirname(os.path.abspath(__file__))
ARIBTS = os.path.normpath(os.path.join(HERE, "..", "..", "..", ".deps", "aribts", "node_modules", "aribts"))
LOGOS = {"7680.30960.t.tunerhost": (3096007680, 0), "7681.30960.t.tunerhost": (3096007681, 1),
         "8192.30968.t.tunerhost": (3096808192, 0)}  # API id, place in its stream


def sim_logo(place):
    """The palette indexes of the simulated broadcast's logo (SimCarousel.h)."""
    return [8 if x in (0, 63) or y in (0, 35) else 1 + (x // 8 + 3 * (y // 12) + place) % 15
            for y in range(36) for x in range(64)]


def rgba(rig, png):
    """What ImageMagick decodes of a PNG: (width, height, RGBA bytes)."""
    path = rig.path("logo.png")
    with open(path, "wb") as f:
        f.write(png)
    size = subprocess.run(["identify", "-format", "%w %h", path], capture_output=True, text=True, timeout=30)
    check(size.returncode == 0, "identify: %s" % size.stderr)
    pixels = subprocess.run(["convert", path, "-depth", "8", "rgba:-"], capture_output=True, timeout=30)
    check(pixels.returncode == 0, "convert: %s" % pixels.stderr)
    w, h = map(int, size.stdout.split())
    return w, h, pixels.stdout


def check_logos(rig):
    """Each service's logo: in the API, the playlist and the XMLTV; what
    ImageMagick decodes of it is the broadcast's image in the common fixed
    colour table's colours, as aribts makes of the same broadcast."""
    check(os.path.exists(ARIBTS), "aribts is missing (%s): run scripts/setup.sh" % ARIBTS)
    # aribts's own extraction, of a recording from a fresh tune (it reads the
    # SDT before the CDT, as receivers do).
    r = rig.run("tsrec.exe", "-c", "27", "-t", "4", "-o", "logos.ts")
    check(r.returncode == 0, "tsrec: " + r.stdout)
    folder = rig.path("aribts-logos")
    os.makedirs(folder, exist_ok=True)
    r = subprocess.run(["node", os.path.join(ARIBTS, "sample", "get_logo.js"), rig.path("logos.ts"), folder],
                       capture_output=True, text=True, timeout=60)
    check(r.returncode == 0, "get_logo.js: " + r.stderr)
    r = subprocess.run(["node", os.path.join(HERE, "logo_palette.js"), ARIBTS, folder], capture_output=True, text=True,
                       timeout=60)
    check(r.returncode == 0, "logo_palette.js: " + r.stderr)
    clut = json.loads(r.stdout)
    check(sorted(os.listdir(folder)) == ["30960-1-5.png", "30960-2-5.png"], "aribts found %s" % os.listdir(folder))
    services = {s["id"]: s for s in json_of(rig, "/api/services")}
    served = {}
    for cid, (sid, place) in LOGOS.items():
        check(services[sid]["hasLogoData"] is True, "%s: %s" % (sid, services[sid]))
        path = "/api/services/%d/logo" % sid
        status, headers, png = rig.get(path)
        check(status == 200 and headers["Content-Type"] == "image/png", "%s: %d %s" % (path, status, headers))
        want = b"".join(bytes(clut[i]) for i in sim_logo(place))
        check(rgba(rig, png) == (64, 36, want), "%s is not the broadcast's image" % path)
        if sid // 100000 == 30960:
            with open(os.path.join(folder, "30960-%d-5.png" % (place + 1)), "rb") as f:
                check(rgba(rig, f.read()) == (64, 36, want), "aribts's logo %d differs" % (place + 1))
        r = rig.curl("-I", rig.url(path))
        check(r.stdout.startswith(b"HTTP/1.1 200") and b"image/png" in r.stdout, "HEAD %s: %r" % (path, r.stdout))
        check(rig.curl(rig.url(path, rig.port + 1)).stdout == png, "%s on the network tuner's port" % path)
        served[cid] = png
    # Where media servers find them: the playlist's tvg-logo, the XMLTV's icon.
    _, _, m3u = curl_get(rig, "/playlist.m3u?kind=t", "-H", "Host: tuner.example:8080")
    logos = dict(re.findall(r'tvg-id="([^"]+)"[^\n]* tvg-logo="([^"]+)"', m3u.decode()))
    check(logos == {cid: "http://tuner.example:8080/api/services/%d/logo" % sid for cid, (sid, _) in LOGOS.items()},
          "the playlist's logos: %s" % logos)
    _, root = guide(rig)
    icons = {c.get("id"): c.find("icon").get("src") for c in root.iter("channel") if c.find("icon") is not None}
    check(icons == {cid: rig.url("/api/services/%d/logo" % sid) for cid, (sid, _) in LOGOS.items()},
          "the XMLTV's icons: %s" % icons)
    # Bad ids: a clear status.
    for path, code in (("/api/services/abc/logo", 400), ("/api/services/99999999999/logo", 400),
                       ("/api/services/-1/logo", 400), ("/api/services/3096099999/logo", 404)):
        status, _, body = curl_get(rig, path)
        check(status == code and json.loads(body)["code"] == code, "%s: %d %r" % (path, status, body))
    return served


def xmltv_time(text):
    return datetime.datetime.strptime(text, "%Y%m%d%H%M%S %z")


def validate(rig, body, name):
    path = rig.path(name)
    with open(path, "wb") as f:
        f.write(body)
    r = subprocess.run(["tv_validate_file", path], capture_output=True, text=True, timeout=120,
                       env=dict(os.environ, XMLTV_SUPPLEMENT="/usr/share/xmltv"))
    check(r.returncode == 0, "tv_validate_file %s:\n%s%s" % (name, r.stdout[-2000:], r.stderr[-2000:]))


def guide(rig):
    status, ctype, body = curl_get(rig, "/xmltv.xml")
    check(status == 200 and ctype.startswith("application/xml"), "/xmltv.xml: %d %s" % (status, ctype))
    return body, ET.fromstring(body)


def programmes(root):
    """{channel id: [(start, stop, title)]}"""
    out = {}
    for p in root.iter("programme"):
        stop = xmltv_time(p.get("stop")) if p.get("stop") else None
        out.setdefault(p.get("channel"), []).append((xmltv_time(p.get("start")), stop, p.findtext("title")))
    return out


def first_byte(rig, path):
    """Seconds from the request to the stream's first packet."""
    s = socket.create_connection(rig.where, timeout=20)
    try:
        asked = time.time()
        s.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % path.encode())
        data = b""
        while True:
            chunk = s.recv(1 << 16)
            check(chunk, "%s ended: %r" % (path, data[:200]))
            data += chunk
            head = data.find(b"\r\n\r\n")
            if head >= 0:
                check(data.startswith(b"HTTP/1.1 200 "), "%s: %r" % (path, data[:100]))
                if len(data) >= head + 4 + 188:
                    return time.time() - asked
    finally:
        s.close()


def wait_log(rig, text, count, seconds):
    deadline = time.time() + seconds
    while rig.serve_output().count(text) < count:
        check(time.time() < deadline, "no %d lines %r within %d s:\n%s" % (count, text, seconds, rig.serve_output()))
        time.sleep(0.25)


def numbers(rig):
    """{tvg-id: tvg-chno} of the terrestrial playlist."""
    _, _, m3u = curl_get(rig, "/playlist.m3u?kind=t")
    return dict(re.findall(r'tvg-id="([^"]+)" tvg-name="[^"]*" tvg-chno="([^"]+)"', m3u.decode()))


def case_guide(rig):
    rig.set_sim("T", "Relay=27:29\r\n")
    rig.start_host()
    r = rig.run("tsserve.exe", "--scan", "--only", "t/27,t/28", timeout=120)
    check(r.returncode == 0, "tsserve --scan: " + r.stdout)
    rig.start_serve("--guide-every", "0")
    before = numbers(rig)
    check(before == {"7680.30960.t.tunerhost": "31", "7681.30960.t.tunerhost": "32", "8192.30968.t.tunerhost": "41"},
          "numbers after the first scan: %s" % before)
    rig.stop_serve()
    # The relay on 29: the same services, which keep their entries and numbers.
    r = rig.run("tsserve.exe", "--scan", "--only", "t/29", timeout=120)
    check(r.returncode == 0 and "terrestrial 29 (29ch): TSID 78F0, 31 試験放送27" in r.stdout, "tsserve --scan: " + r.stdout)
    rig.start_serve("--guide-idle", "4", "--guide-every", "1")
    check(numbers(rig) == before, "numbers after the relay's scan: %s" % numbers(rig))

    # The scan left each service its programme now and next.
    body, root = guide(rig)
    validate(rig, body, "after-scan.xml")
    channels = {c.get("id"): [d.text for d in c.findall("display-name")] for c in root.iter("channel")}
    ids = {"7680.30960.t.tunerhost", "7681.30960.t.tunerhost", "8192.30968.t.tunerhost"}
    check(set(channels) == ids, "the guide's channels: %s" % sorted(channels))
    from_scan = programmes(root)
    check(all(len(from_scan.get(i, [])) >= 2 for i in ids), "after the scan: %s" % {
        i: len(v) for i, v in from_scan.items()})

    # The playlist for IPTV clients names the guide in its first line; the
    # lineup's numbers are the guide's.
    status, _, m3u = curl_get(rig, "/playlist.m3u?guide=1", "-H", "Host: tuner.example:8080")
    first = m3u.decode().splitlines()[0]
    check(first == '#EXTM3U url-tvg="http://tuner.example:8080/xmltv.xml" '
                   'x-tvg-url="http://tuner.example:8080/xmltv.xml"', first)
    entries = dict(re.findall(r'tvg-id="([^"]+)" tvg-name="[^"]*" tvg-chno="([^"]+)"', m3u.decode()))
    lineup = {e["GuideNumber"]: e["GuideName"] for e in json_of(rig, "/lineup.json", port=rig.port + 1)}
    for cid, names in channels.items():
        check(names == [lineup[entries[cid]], entries[cid]], "channel %s: %s; playlist %s, lineup %s" % (
            cid, names, entries[cid], lineup.get(entries[cid])))

    # An idle tuner for comparison, before the idle pass takes it (4 s idle).
    idle = [first_byte(rig, "/stream/t/27/7680")]
    time.sleep(0.3)
    idle.append(first_byte(rig, "/stream/t/28"))
    check("idle pass" not in rig.serve_output(), "the idle pass came before the idle tuner was measured")
    # The idle pass: a viewer who comes takes the tuner at once.
    during = []
    for path in ("/stream/t/28/8192", "/stream/t/27"):
        wait_log(rig, "the guide's idle pass takes the schedules", len(during) + 1, 30)
        time.sleep(0.5)
        during.append(first_byte(rig, path))
    check(rig.serve_output().count("gave the tuner to a viewer") >= 2, "the idle pass kept the tuner")
    print("  first packet from an idle tuner in %s s, during the idle pass in %s s" % (
        ["%.2f" % t for t in idle], ["%.2f" % t for t in during]))
    check(max(during) <= max(idle) + 0.5, "a viewer waited longer during the idle pass: %s vs %s" % (during, idle))

    # Another client of TunerHost (tsrec) started while the idle pass has the
    # kind records at once; the pass comes back once the kind is free again.
    wait_log(rig, "the guide's idle pass takes the schedules", len(during) + 1, 30)
    time.sleep(0.5)
    started = time.time()
    r = rig.run("tsrec.exe", "-c", "28", "-t", "2", "-o", "rec.ts")
    took = time.time() - started
    check(r.returncode == 0 and "continuity errors 0" in r.stdout and os.path.getsize(rig.path("rec.ts")) > 586560,
          "tsrec during the idle pass: exit %d\n%s" % (r.returncode, r.stdout))
    check(took < 10, "tsrec took %.1f s during the idle pass" % took)
    check("another client of TunerHost" in rig.serve_output(), "the idle pass did not say it gave way to tsrec")
    wait_log(rig, "the guide's idle pass takes the schedules", len(during) + 2, 40)
    print("  tsrec during the idle pass: 2 s recorded in %.1f s" % took)

    # Left alone, the idle pass takes both streams' schedules: eight days.
    wait_log(rig, "the guide's idle pass took the schedule of", 2, 120)
    # ...and ends there: 27's stream is not taken again from its relay.
    deadline = time.time() + 90
    while json_of(rig, "/status.json")["terrestrial"]["guidePass"]["running"]:
        check(time.time() < deadline, "the idle pass does not end:\n" + rig.serve_output())
        time.sleep(0.5)
    check("idle pass took the schedule of terrestrial 29" not in rig.serve_output(),
          "the relay's stream was taken as well:\n" + rig.serve_output())
    logos = check_logos(rig)
    status = json_of(rig, "/status.json")
    g = status["guide"]
    check(g["events"] > 500 and g["lastScheduleTaken"] and g["lastCollected"], "the guide's state: %s" % g)
    body, root = guide(rig)
    validate(rig, body, "guide.xml")
    # The IPTV paths: the same guide; `days` of it from now.
    check(curl_get(rig, "/api/iptv/xmltv")[2] == body, "/api/iptv/xmltv is not /xmltv.xml")
    _, _, day = curl_get(rig, "/api/iptv/epg?days=1")
    validate(rig, day, "epg1.xml")
    starts = [xmltv_time(p.get("start")) for p in ET.fromstring(day).iter("programme")]
    limit = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=1)
    check(starts and max(starts) <= limit and len(starts) < len(list(root.iter("programme"))) / 3,
          "epg?days=1: %d programmes, the last from %s" % (len(starts), max(starts, default=None)))
    check(curl_get(rig, "/api/iptv/epg?days=8")[2].count(b"<programme ") == body.count(b"<programme "),
          "epg?days=8 is not the whole guide")
    now = datetime.datetime.now(datetime.timezone.utc)
    got = programmes(root)
    for cid in ids:
        events = sorted(got.get(cid, []))
        check(len(events) > 100, "%s has %d programmes" % (cid, len(events)))
        check(events[-1][0] - now > datetime.timedelta(days=6), "%s's guide ends %s" % (cid, events[-1][0]))
        check(all(a[1] == b[0] for a, b in zip(events, events[1:])), "%s's programmes overlap or leave gaps" % cid)
        check(any(s <= now < e for s, e, _ in events), "%s: nothing on now" % cid)
    # Times in Japan's offset: 21:00 JST is 12:00 UTC. Titles say the service and the clock.
    evening = [(s, t) for cid in ids for s, _, t in got[cid] if s.hour == 21 and s.minute == 0]
    check(evening, "no programme at 21:00")
    for start, title in evening:
        check(start.utcoffset() == datetime.timedelta(hours=9) and start.astimezone(datetime.timezone.utc).hour == 12,
              "21:00 JST is %s" % start.astimezone(datetime.timezone.utc))
        check(title.endswith(" 21時00分"), "the 21:00 programme's title: %r" % title)
    names = dict((cid, channels[cid][0]) for cid in ids)
    for cid in ids:
        for start, _, title in got[cid]:
            check(title.startswith(names[cid] + "の") and title.endswith(start.astimezone(JST).strftime(" %-H時%M分")),
                  "%s: %r at %s" % (cid, title, start))
    p = next(root.iter("programme"))
    check(p.find("title").get("lang") == "ja" and p.findtext("desc") and p.find("category") is not None,
          "a programme: %s" % ET.tostring(p, encoding="unicode")[:500])

    # Now and next, in status.json and on the start page.
    services = {s["id"]: s for s in status["services"]}
    for cid in ids:
        s = services[cid]
        check(s["now"] and s["next"] and s["now"]["stop"] == s["next"]["start"] and
              s["now"]["title"].startswith(names[cid]), "now and next of %s: %s" % (cid, s))
    status, _, page = curl_get(rig, "/")
    check(services["7680.30960.t.tunerhost"]["now"]["title"] in page.decode() and b"xmltv.xml" in page,
          "the start page lacks now and next")

    # A restart keeps the guide; a viewer's stream fills it without a pass.
    check(rig.stop_serve() == 0, "tsserve's exit code")
    check(os.path.exists(rig.path("tsserve-guide.json")), "the guide was not saved")
    rig.start_serve("--guide-every", "0")
    # What was over by then is left out.
    current = sum(1 for events in got.values() for _, stop, _ in events if stop > datetime.datetime.now(JST))
    loaded = json_of(rig, "/status.json")["guide"]["events"]
    check(current - 10 <= loaded <= g["events"], "%d events loaded of %d held, %d not over" % (loaded, g["events"],
                                                                                              current))
    for cid, (sid, _) in LOGOS.items():
        check(rig.get("/api/services/%d/logo" % sid)[2] == logos[cid], "the logo of %s after a restart" % sid)
    # 27 out of reach: its services come from the relay on 29 (the plug-in's
    # channel index 16), found by number as media servers ask.
    rig.stop_serve()
    rig.set_sim("T", "Relay=27:29\r\nTuneFailsOn=27\r\n")
    rig.start_serve("--guide-every", "0")
    data = first_bytes(rig.url("/auto/v31", port=rig.port + 1), 586560 // 2, timeout=40)
    check(Stream(data).channels() == {(0, 16)}, "/auto/v31 with 27 out of reach came from %s" % Stream(data).channels())
    wait_log(rig, "trying the service's next channel", 1, 10)
    check("terrestrial: 27 for " in rig.serve_output(), "the fallback's line:\n" + rig.serve_output())
    rig.set_sim("T", "Relay=27:29\r\n")
    rig.stop_serve()
    os.remove(rig.path("tsserve-guide.json"))
    rig.start_serve("--guide-every", "0")
    _, root = guide(rig)
    check(not list(root.iter("programme")), "a guide without a file or a pass")
    status, _, body = curl_get(rig, "/api/services/3096007680/logo")
    check(status == 503 and json.loads(body)["code"] == 503, "a logo not held: %d %r" % (status, body))
    first_bytes(rig.url("/stream/t/28/8192"), 4 * 586560 // 3, timeout=30)
    got = programmes(guide(rig)[1])
    check(len(got.get("8192.30968.t.tunerhost", [])) >= 2, "a viewer's stream did not fill the guide: %s" % {
        k: len(v) for k, v in got.items()})
    # A damaged guide: one line, and tsserve starts without it.
    rig.stop_serve()
    rig.write("tsserve-guide.json", '{"format": "tsserve guide", "version": 1, "events": [{"onid": -1}]}')
    rig.start_serve("--guide-every", "0")
    lines = [l for l in rig.serve_output().splitlines() if "saved guide" in l]
    check(len(lines) == 1 and "left out" in lines[0], "a damaged guide: %s" % lines)
    check(json_of(rig, "/status.json")["guide"]["events"] == 0, "events from a damaged guide")
