"""The playlist, the network-tuner documents, each lineup URL, and a status
code for each failure."""
import re
import time

from clients import curl_get, first_bytes, json_of, listed_channels
from harness import Stream, check


def case_endpoints(rig):
    for kind in "TS":
        rig.set_sim(kind, "RateKBps=20000\r\n")
    rig.start_serve("--tune-wait", "3")
    status, _, body = curl_get(rig, "/stream/t/27")
    check(status == 503 and b"not running" in body, "without TunerHost: %d %r" % (status, body))
    rig.start_host()

    # The playlist lists what tsrec --list lists, with URLs from the Host header.
    expected = listed_channels(rig)
    check(len(expected) > 100, "tsrec --list listed %d channels" % len(expected))
    status, ctype, body = curl_get(rig, "/playlist.m3u", "-H", "Host: tuner.example:8080")
    check(status == 200 and ctype.startswith("audio/x-mpegurl"), "playlist: %d %s" % (status, ctype))
    lines = body.decode("utf-8").splitlines()
    check(lines[0] == "#EXTM3U", "playlist starts with %r" % lines[0])
    urls, info = [], []
    for a, b in zip(lines[1::2], lines[2::2]):
        check(re.match(r'#EXTINF:-1 tvg-id="[^"]+" .*group-title="(UHF|CATV|VHF|BS|CS)",\S', a), "entry %r" % a)
        check(b.startswith("http://tuner.example:8080/stream/"), "URL %r" % b)
        urls.append(b[len("http://tuner.example:8080"):])
        info.append(a)
    check(len(lines) == 1 + 2 * len(urls), "stray lines in the playlist")
    check(set(urls) == expected, "playlist and tsrec --list differ: %s" % sorted(set(urls) ^ expected)[:6])
    check('tvg-id="t27"' in body.decode() and "27ch" in body.decode(), "channel 27's entry")
    for kind in "ts":
        status, _, one = curl_get(rig, "/playlist.m3u?kind=" + kind)
        paths = {line.split(rig.url(""), 1)[1] for line in one.decode().splitlines() if line.startswith("http")}
        check(status == 200 and paths == {p for p in expected if p.startswith("/stream/%s/" % kind)},
              "the playlist of kind " + kind)

    # The network-tuner documents.
    base = rig.url("")
    d = json_of(rig, "/discover.json")
    for key in ("FriendlyName", "ModelNumber", "FirmwareName", "FirmwareVersion", "DeviceID", "DeviceAuth",
                "BaseURL", "LineupURL", "TunerCount"):
        check(key in d, "discover.json lacks " + key)
    check(d["TunerCount"] == 2 and d["BaseURL"] == base and d["LineupURL"] == base + "/lineup.json", str(d))
    check(re.fullmatch(r"[0-9A-F]{8}", d["DeviceID"]), "DeviceID " + d["DeviceID"])
    lineup = json_of(rig, "/lineup.json")
    check(isinstance(lineup, list) and len(lineup) == len(urls), "lineup of %d entries" % len(lineup))
    check(len({e["GuideNumber"] for e in lineup}) == len(lineup), "guide numbers repeat")
    for e in lineup:
        check(set(e) >= {"GuideNumber", "GuideName", "URL"} and e["URL"].startswith(base + "/"), str(e))
    s = json_of(rig, "/lineup_status.json")
    check(s["ScanInProgress"] == 0 and s["ScanPossible"] == 0 and isinstance(s["Source"], str)
          and isinstance(s["SourceList"], list), str(s))

    # Every lineup URL streams its own channel.
    seen = {}
    started = time.time()
    for e in lineup:
        data = first_bytes(e["URL"], 40 * 188)
        stream = Stream(data)
        check(len(data) == 40 * 188 and stream.sync_ok(), "%s: %d bytes" % (e["URL"], len(data)))
        channels = stream.channels()
        check(len(channels) == 1, "%s carries %s" % (e["URL"], channels))
        kind = "s" if len(e["GuideNumber"]) == 4 and not e["GuideNumber"].startswith("C") else "t"
        check((kind,) + channels.pop() not in seen, "%s streams what %s streams" % (e["URL"], seen.get(kind)))
        seen[(kind,) + stream.payloads()[0][1:3]] = e["URL"]
    print("  %d lineup URLs streamed in %.1f s" % (len(lineup), time.time() - started))
    status, ctype, _ = curl_get(rig, "/stream/t/27", "--max-time", "2", "-o", "/dev/null")
    check(ctype == "video/mp2t", "stream content type " + ctype)

    st = json_of(rig, "/status.json")
    for kind in ("terrestrial", "satellite"):
        for key in ("plugin", "channel", "viewers", "bytes", "bytesPerSecond", "syncLosses", "continuityErrors"):
            check(key in st[kind], "status.json %s lacks %s" % (kind, key))
    check(st["terrestrial"]["plugin"] == "BonDriver_SimT.dll", str(st))
    status, ctype, body = curl_get(rig, "/")
    check(status == 200 and ctype.startswith("text/html") and b'href="/stream/t/27"' in body
          and b"refresh" in body, "start page")

    # Each failure its own status code and a one-line reason.
    for path, code in (("/stream/t/99", 404), ("/stream/t/abc", 404), ("/stream/s/1234", 404),
                       ("/stream/x/27", 404), ("/auto/v99", 404), ("/nothing", 404)):
        status, ctype, body = curl_get(rig, path)
        check(status == code and ctype.startswith("text/plain") and body.count(b"\n") == 1,
              "%s: %d %r" % (path, status, body))
    status, _, _ = curl_get(rig, "/playlist.m3u", "-X", "POST", "-d", "x")
    check(status == 405, "POST: %d" % status)
    opens = rig.sim_count("T", "open")
    status, ctype, _ = curl_get(rig, "/stream/t/27", "-I")
    check(status == 200 and ctype == "video/mp2t" and rig.sim_count("T", "open") == opens, "HEAD opened the tuner")
    rig.set_sim("T", "OpenFails=1\r\n")
    status, _, body = curl_get(rig, "/stream/t/27")
    check(status == 502 and b"failed to open" in body, "tuner failing: %d %r" % (status, body))
    rig.set_sim("T", "TuneFails=1\r\n")
    status, _, body = curl_get(rig, "/stream/t/27")
    check(status == 504 and b"could not tune" in body, "tune refused: %d %r" % (status, body))
    rig.set_sim("T", "")

    # A kind TunerHost's settings do not serve.
    check(rig.stop_serve() == 0, "tsserve's exit code after Ctrl+C")
    check("stopped" in rig.serve_output(), "tsserve did not say it stopped")
    rig.write("TunerHost.ini", "[Config]\r\nDriverNameT=BonDriver_SimT.dll\r\n")
    rig.start_serve()
    status, _, body = curl_get(rig, "/stream/s/4010")
    check(status == 501 and b"satellite" in body, "unserved kind: %d %r" % (status, body))
    check(json_of(rig, "/discover.json")["TunerCount"] == 1, "TunerCount with one kind")
    port = rig.port

    # Bad command lines, and an address already taken.
    for args, code, text in ((["--listen", "nonsense"], 1, "--listen takes"), (["--allow", "10.0.0.0/33"], 1, "--allow"),
                             (["--frobnicate", "1"], 1, "unknown option"),
                             (["--listen", "127.0.0.1:%d" % port], 3, "cannot listen")):
        r = rig.run("tsserve.exe", *args, timeout=30)
        check(r.returncode == code and text in r.stdout, "tsserve %s: %d %s" % (args, r.returncode, r.stdout))
    check(rig.stop_serve() == 0, "tsserve's exit code after Ctrl+C")
    # Peers outside --allow.
    rig.start_serve("--allow", "192.0.2.0/24", "--allow", "2001:db8::/32")
    status, _, body = curl_get(rig, "/playlist.m3u")
    check(status == 403 and b"may not" in body, "a peer outside --allow: %d" % status)
