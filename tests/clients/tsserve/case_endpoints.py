"""The playlist, the network tuner devices (their documents and how media
servers discover them), each lineup URL, what HTTP says, and a status code for
each failure."""
import json
import random
import re
import socket
import time
import xml.etree.ElementTree as ET

from clients import answers, curl_get, exchange, first_bytes, json_of, listed_channels, values
from discovery import (device_id_valid, hdhomerun_config_discover, hdhr_replies, libhdhomerun_discover, own_address,
                       ssdp_search)
from harness import Stream, check

UPNP = "{urn:schemas-upnp-org:device-1-0}"


def playlist_entries(rig, body, base):
    """(path, tvg-chno, #EXTINF line) of each entry; every one carries Kodi's type hint."""
    lines = body.decode("utf-8").splitlines()
    check(lines[0] == "#EXTM3U", "playlist starts with %r" % lines[0])
    check(len(lines) % 3 == 1, "stray lines in the playlist")
    out = []
    for info, hint, url in zip(lines[1::3], lines[2::3], lines[3::3]):
        m = re.match(r'#EXTINF:-1 tvg-id="[^"]+" tvg-name="[^"]*" tvg-chno="([^"]+)" group-title="(UHF|CATV|VHF|BS|CS)",\S',
                     info)
        check(m, "entry %r" % info)
        check(hint == "#KODIPROP:mimetype=video/mp2t", "after %r: %r" % (info, hint))
        check(url.startswith(base + "/stream/"), "URL %r" % url)
        out.append((url[len(base):], m.group(1), info))
    return out


def check_numbers(entries):
    """Decimal numbers, distinct as numbers and as the leading integer that
    atoi-style readers (Kodi's IPTV client) take."""
    numbers = [n for _, n, _ in entries]
    check(all(re.fullmatch(r"\d+(\.\d+)?", n) for n in numbers), "numbers %s" % [n for n in numbers
                                                                                 if not re.fullmatch(r"\d+", n)][:8])
    check(len({float(n) for n in numbers}) == len(numbers), "numbers repeat")
    check(len({int(n.split(".")[0]) for n in numbers}) == len(numbers), "numbers repeat for atoi")


def check_devices(rig, by_path):
    """Both devices' documents; the devices' (id, base, lineup) by kind."""
    devices = {}
    for kind, port in (("t", rig.port + 1), ("s", rig.port + 2)):
        base = "http://%s:%d" % (rig.addr, port)
        d = json_of(rig, "/discover.json", port=port)
        for key in ("FriendlyName", "ModelNumber", "FirmwareName", "FirmwareVersion", "DeviceID", "DeviceAuth",
                    "BaseURL", "LineupURL", "TunerCount"):
            check(key in d, "discover.json lacks " + key)
        check(d["TunerCount"] == 1 and d["BaseURL"] == base and d["LineupURL"] == base + "/lineup.json", str(d))
        check(re.fullmatch(r"[0-9A-F]{8}", d["DeviceID"]) and device_id_valid(int(d["DeviceID"], 16)),
              "DeviceID %s fails libhdhomerun's check" % d["DeviceID"])
        lineup = json_of(rig, "/lineup.json", port=port)
        kind_paths = {p for p in by_path if p.startswith("/stream/%s/" % kind)}
        check(len(lineup) == len(kind_paths), "%s lineup of %d entries for %d channels" % (kind, len(lineup),
                                                                                           len(kind_paths)))
        for e in lineup:
            check(set(e) >= {"GuideNumber", "GuideName", "URL", "VideoCodec", "AudioCodec"}, str(e))
            check(e["URL"] == base + "/auto/v" + e["GuideNumber"], str(e))
        check({e["GuideNumber"] for e in lineup} == {by_path[p] for p in kind_paths},
              "the %s lineup's numbers are not the playlist's" % kind)
        s = json_of(rig, "/lineup_status.json", port=port)
        check(s["ScanInProgress"] == 0 and isinstance(s["Source"], str) and isinstance(s["SourceList"], list), str(s))
        # (scan=start would scan: case_scan.) Without scan=, and scan=abort with no scan running: nothing to do.
        for query in ("", "?scan=abort"):
            status, _, _ = curl_get(rig, "/lineup.post" + query, "-X", "POST", port=port)
            check(status == 200, "POST /lineup.post%s: %d" % (query, status))
        status, _, _ = curl_get(rig, "/lineup.post?scan=sideways", "-X", "POST", port=port)
        check(status == 400, "POST /lineup.post?scan=sideways: %d" % status)
        status, ctype, body = curl_get(rig, "/device.xml", port=port)
        root = ET.fromstring(body)
        check(status == 200 and ctype.startswith("text/xml") and root.findtext(UPNP + "URLBase") == base and
              root.findtext(UPNP + "device/" + UPNP + "deviceType") == "urn:schemas-upnp-org:device:MediaServer:1",
              "device.xml: %r" % body[:300])
        devices[kind] = {"id": d["DeviceID"], "base": base, "lineup": lineup,
                         "udn": root.findtext(UPNP + "device/" + UPNP + "UDN")}
    check(devices["t"]["id"] != devices["s"]["id"], "both devices have one ID")
    # The main port's documents are the first kind's device.
    check(json_of(rig, "/discover.json")["DeviceID"] == devices["t"]["id"], "the main port's discover.json")
    return devices


def check_iptv(rig):
    """The paths media servers and IPTV clients are told to use with a tuner
    server: each the same document as its counterpart; bad input a clear status."""
    for path, same in (("/api/iptv/playlist", "/playlist.m3u"), ("/api/iptv/channel.m3u8", "/playlist.m3u"),
                       ("/api/iptv/playlist?kind=s&guide=1", "/playlist.m3u?kind=s&guide=1"),
                       ("/api/iptv/discover.json", "/discover.json"), ("/api/iptv/lineup.json", "/lineup.json"),
                       ("/api/iptv/lineup_status.json", "/lineup_status.json")):
        got, want = curl_get(rig, path), curl_get(rig, same)
        check(got[0] == 200 and got == want, "%s: %s, not %s's %s" % (path, got[:2], same, want[:2]))
        r = rig.curl("-I", rig.url(path))
        check(r.stdout.startswith(b"HTTP/1.1 200"), "HEAD %s: %r" % (path, r.stdout[:60]))
    for path, code in (("/api/iptv/playlist?kind=x", 404), ("/api/iptv/epg?days=0", 400), ("/api/iptv/epg?days=9", 400),
                       ("/api/iptv/epg?days=-1", 400), ("/api/iptv/epg?days=", 400), ("/api/iptv/epg?days=1x", 400),
                       ("/api/iptv/nothing", 404)):
        status, _, body = curl_get(rig, path)
        check(status == code, "%s: %d %r" % (path, status, body[:100]))
    status, _, _ = curl_get(rig, "/api/iptv/epg", "-X", "POST", "-d", "x")
    check(status == 405, "POST /api/iptv/epg: %d" % status)
    # The recorders' port, where front-ends look first: the same pages.
    check(curl_get(rig, "/api/iptv/lineup.json", port=40772) == curl_get(rig, "/api/iptv/lineup.json"),
          "port 40772's lineup.json")
    check(json_of(rig, "/api/version", port=40772)["current"], "port 40772's /api/version")


def check_discovery(rig, devices):
    """As media servers find the devices: HDHomeRun's discovery and SSDP."""
    ids, printed = hdhomerun_config_discover(rig.addr)
    check(sorted(ids) == sorted(d["id"] for d in devices.values()), "hdhomerun_config discover: %s" % printed)
    found = {d["id"]: d for d in libhdhomerun_discover(rig.addr)}
    for d in devices.values():
        f = found.get(d["id"])
        check(f and f["type"] == 1 and f["tuners"] == 1 and not f["legacy"] and f["base"] == d["base"]
              and f["lineup"] == d["base"] + "/lineup.json", "libhdhomerun read %s for %s" % (f, d))
    seen = {}
    for answer in ssdp_search(rig.addr, "urn:schemas-upnp-org:device:MediaServer:1"):
        seen[answer.get("LOCATION")] = answer.get("USN", "")
    for d in devices.values():
        location = d["base"] + "/device.xml"
        check(seen.get(location, "").startswith(d["udn"] + "::"), "SSDP: %s not among %s" % (location, seen))
    check(len(ssdp_search(rig.addr, devices["s"]["udn"])) == 1, "SSDP for one device's UDN")
    # A flood of the shortest request from one source (its address may be
    # forged) is answered a few times, not once per request; a source outside
    # the listening address's subnet (this machine's own network address,
    # which reaches loopback too) not at all.
    flood = hdhr_replies(rig.addr, "127.%d.%d.%d" % tuple(random.randrange(1, 255) for _ in range(3)), 40)
    check(2 <= flood <= 40, "40 requests from one source got %d replies" % flood)
    own = own_address()
    if own:
        check(hdhr_replies(rig.addr, own, 2) == 0, "discovery answered %s, outside %s/8" % (own, rig.addr))
    else:
        print("  this machine has no address outside loopback: a foreign source was not tried")


def check_http(rig):
    """What HTTP itself says, on raw connections."""
    where = rig.where
    host = b"Host: x\r\n"
    for r in (b"Range: items=0-", b"Range: bytes=abc", b"Range: bytes=5-1"):
        got = answers(exchange(where, b"GET /status.json HTTP/1.1\r\n" + host + r + b"\r\nConnection: close\r\n\r\n"))
        check(len(got) == 1 and got[0][0] == 200, "%s: %s" % (r, got[0][:2]))
    got = answers(exchange(where, b"GET /status.json HTTP/1.1\r\n" + host + b"Connection: close\r\n\r\n"))
    check(values(got[0][1], "Connection") == ["close"], "Connection: close answered with %s" % got[0][1])
    got = answers(exchange(where, b"DELETE /playlist.m3u HTTP/1.1\r\n" + host + b"\r\n"))
    check(got[0][0] == 405 and values(got[0][1], "Allow") == ["GET, HEAD"], "405: %s" % (got[0][:2],))
    got = answers(exchange(where, b"GET /status.json HTTP/1.1\r\n\r\n"))
    check(got[0][0] == 400, "HTTP/1.1 without Host: %d" % got[0][0])
    got = answers(exchange(where, b"GET /status.json HTTP/1.0\r\n\r\n"))
    check(got[0][0] == 200, "HTTP/1.0 without Host: %d" % got[0][0])
    # Pipelined: answered in order on the one connection.
    got = answers(exchange(where, b"GET /discover.json HTTP/1.1\r\n" + host + b"\r\nGET /playlist.m3u?kind=s HTTP/1.1\r\n" +
                           host + b"Connection: close\r\n\r\n"))
    check([a[0] for a in got] == [200, 200] and got[0][2].startswith(b"{") and got[1][2].startswith(b"#EXTM3U"),
          "pipelined requests: %s" % [a[:2] for a in got])
    # A stream: close-delimited, no ranges, one Connection field.
    for extra in (b"Range: bytes=0-\r\n", b"Connection: close\r\n"):
        s = socket.create_connection(where, timeout=10)
        try:
            s.sendall(b"GET /stream/t/27 HTTP/1.1\r\n" + host + extra + b"\r\n")
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = s.recv(4096)
                check(chunk, "the stream ended before its head")
                head += chunk
        finally:
            s.close()
        status, fields, _ = answers(head.partition(b"\r\n\r\n")[0] + b"\r\n\r\n")[0]
        check(status == 200 and values(fields, "Connection") == ["close"] and not values(fields, "Keep-Alive")
              and not values(fields, "Content-Length") and values(fields, "Accept-Ranges") == ["none"],
              "a stream's head for %r: %d %s" % (extra, status, fields))


def case_endpoints(rig):
    for kind in "TS":
        rig.set_sim(kind, "RateKBps=20000\r\n")
    rig.start_serve("--tune-wait", "3", discovery=True)
    for extra in ((), ("-I",)):
        status, _, body = curl_get(rig, "/stream/t/27", *extra)
        check(status == 503, "without TunerHost, %s: %d %r" % (extra, status, body))
    rig.start_host()

    # The playlist lists what tsrec --list lists, with URLs from the Host header.
    expected = listed_channels(rig)
    check(len(expected) > 100, "tsrec --list listed %d channels" % len(expected))
    status, ctype, body = curl_get(rig, "/playlist.m3u", "-H", "Host: tuner.example:8080")
    check(status == 200 and ctype.startswith("audio/x-mpegurl"), "playlist: %d %s" % (status, ctype))
    entries = playlist_entries(rig, body, "http://tuner.example:8080")
    check({p for p, _, _ in entries} == expected, "playlist and tsrec --list differ: %s" % sorted(
        {p for p, _, _ in entries} ^ expected)[:6])
    check_numbers(entries)
    by_path = {p: n for p, n, _ in entries}
    check(by_path["/stream/t/27"] == "27" and by_path["/stream/t/C22"] == "122" and by_path["/stream/s/40F1"] == "1151"
          and by_path["/stream/s/7040"] == "2004", "numbers of 27, C22, 40F1, 7040: %s" % [
              by_path.get(p) for p in ("/stream/t/27", "/stream/t/C22", "/stream/s/40F1", "/stream/s/7040")])
    # A Host that names no host: the URLs name the address asked.
    for host in ("[", "[::1", "a b", "x:99999", "1.2.3"):
        _, _, body = curl_get(rig, "/playlist.m3u?kind=s", "-H", "Host: " + host)
        playlist_entries(rig, body, rig.url(""))
        _, _, body = curl_get(rig, "/discover.json", "-H", "Host: " + host, port=rig.port + 1)
        check(json.loads(body)["BaseURL"] == rig.url("", rig.port + 1), "Host %r: discover.json %r" % (host, body))
    for kind in "ts":
        status, _, one = curl_get(rig, "/playlist.m3u?kind=" + kind)
        paths = {p for p, _, _ in playlist_entries(rig, one, rig.url(""))}
        check(status == 200 and paths == {p for p in expected if p.startswith("/stream/%s/" % kind)},
              "the playlist of kind " + kind)
    status, ctype, page = curl_get(rig, "/")
    links = dict(re.findall(r'<a href="(/stream/[^"]+)">([^<]+)</a>', page.decode()))
    check(status == 200 and ctype.startswith("text/html") and links == by_path and b"refresh" in page,
          "the start page's numbers are not the playlist's")

    devices = check_devices(rig, by_path)
    check_iptv(rig)
    check_discovery(rig, devices)
    check_http(rig)

    # Every lineup URL streams its own channel: one channel after the other
    # without a pause, as a media server changes channel.
    seen = {}
    started = time.time()
    for kind, d in devices.items():
        for e in d["lineup"]:
            data = first_bytes(e["URL"], 40 * 188)
            stream = Stream(data)
            check(len(data) == 40 * 188 and stream.sync_ok(), "%s: %d bytes" % (e["URL"], len(data)))
            channels = stream.channels()
            check(len(channels) == 1, "%s carries %s" % (e["URL"], channels))
            key = (kind,) + channels.pop()
            check(key not in seen, "%s streams what %s streams" % (e["URL"], seen.get(key)))
            seen[key] = e["URL"]
    print("  %d lineup URLs streamed one after the other in %.1f s" % (len(seen), time.time() - started))
    status, ctype, _ = curl_get(rig, "/auto/v27", "--max-time", "2", "-o", "/dev/null")
    check(ctype == "video/mp2t", "the main port's /auto/v27: %s" % ctype)

    st = json_of(rig, "/status.json")
    for kind in ("terrestrial", "satellite"):
        for key in ("plugin", "channel", "viewers", "bytes", "bytesPerSecond", "syncLosses", "continuityErrors"):
            check(key in st[kind], "status.json %s lacks %s" % (kind, key))
    check(st["terrestrial"]["plugin"] == "BonDriver_SimT.dll", str(st))

    # Each failure its own status code and a one-line reason.
    for path, code in (("/stream/t/99", 404), ("/stream/t/abc", 404), ("/stream/s/1234", 404),
                       ("/stream/x/27", 404), ("/stream/t", 404), ("/stream/", 404), ("/stream/s", 404),
                       ("/auto/v99", 404), ("/nothing", 404)):
        status, ctype, body = curl_get(rig, path)
        check(status == code and ctype.startswith("text/plain") and body.count(b"\n") == 1,
              "%s: %d %r" % (path, status, body))
    status, _, _ = curl_get(rig, "/auto/v27", port=rig.port + 2)
    check(status == 404, "the satellite device streams a terrestrial number: %d" % status)
    status, _, _ = curl_get(rig, "/playlist.m3u", "-X", "POST", "-d", "x")
    check(status == 405, "POST: %d" % status)
    opens = rig.sim_count("T", "open")
    r = rig.curl("-s", "-I", rig.url("/stream/t/27"))
    head = r.stdout.decode().lower()
    check(head.startswith("http/1.1 200") and "content-type: video/mp2t" in head and "content-length" not in head
          and "accept-ranges: none" in head and rig.sim_count("T", "open") == opens, "HEAD of a stream: %s" % head)
    # The tuner is kept a few seconds after its last viewer: these need it opened anew.
    deadline = time.time() + 20
    while json_of(rig, "/status.json")["terrestrial"]["state"] != "idle":
        check(time.time() < deadline, "the tuner was not released")
        time.sleep(0.2)
    rig.set_sim("T", "OpenFails=1\r\n")
    status, _, body = curl_get(rig, "/stream/t/27")
    check(status == 502 and b"failed to open" in body, "tuner failing: %d %r" % (status, body))
    rig.set_sim("T", "TuneFails=1\r\n")
    status, _, body = curl_get(rig, "/stream/t/27")
    check(status == 504 and b"could not tune" in body, "tune refused: %d %r" % (status, body))

    # A kind TunerHost's settings do not serve; and a tune slower than
    # clients wait for an answer.
    check(rig.stop_serve() == 0, "tsserve's exit code after Ctrl+C")
    check("stopped" in rig.serve_output(), "tsserve did not say it stopped")
    rig.write("TunerHost.ini", "[Config]\r\nDriverNameT=BonDriver_SimT.dll\r\n")
    rig.set_sim("T", "FetchMode=2\r\n")
    rig.start_serve("--tune-wait", "6", "--api-port", "off")
    try:
        socket.create_connection((rig.addr, 40772), timeout=2).close()
        check(False, "--api-port off, and port 40772 answers")
    except OSError:
        pass
    status, _, body = curl_get(rig, "/stream/s/4010")
    check(status == 501 and b"satellite" in body, "unserved kind: %d %r" % (status, body))
    check(json_of(rig, "/discover.json", port=rig.port + 1)["TunerCount"] == 1, "TunerCount with one kind")
    try:
        socket.create_connection((rig.addr, rig.port + 2), timeout=2).close()
        check(False, "a device for the unserved kind")
    except OSError:
        pass
    s = socket.create_connection(rig.where, timeout=15)
    try:
        asked = time.time()
        s.sendall(b"GET /stream/t/27 HTTP/1.1\r\nHost: x\r\n\r\n")
        first = s.recv(4096)
        head_at = time.time() - asked
        rest = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            rest += chunk
        ended_at = time.time() - asked
    finally:
        s.close()
    check(first.startswith(b"HTTP/1.1 200 ") and head_at < 5, "the head came after %.1f s: %r" % (head_at, first[:40]))
    check(first.endswith(b"\r\n\r\n") and not rest and 5 < ended_at < 12,
          "a tune that brought nothing: %d bytes, ended after %.1f s" % (len(rest), ended_at))
    print("  a tune without data: the head after %.1f s, the end after %.1f s" % (head_at, ended_at))
    rig.set_sim("T", "")
    port = rig.port

    # Bad command lines, and an address already taken.
    for args, code, text in ((["--listen", "nonsense"], 1, "--listen takes"), (["--allow", "10.0.0.0/33"], 1, "--allow"),
                             (["--frobnicate", "1"], 1, "unknown option"), (["--api-port", "0"], 1, "--api-port"),
                             (["--listen", "%s:%d" % (rig.addr, port), "--api-port", str(port + 2)], 1, "network tuner"),
                             (["--listen", "%s:%d" % (rig.addr, port)], 3, "cannot listen"),
                             (["--listen", "%s:%d" % (rig.addr, port - 1)], 3, "cannot listen")):
        r = rig.run("tsserve.exe", *args, timeout=30)
        check(r.returncode == code and text in r.stdout, "tsserve %s: %d %s" % (args, r.returncode, r.stdout))
    check(rig.stop_serve() == 0, "tsserve's exit code after Ctrl+C")
    # Peers outside --allow.
    rig.start_serve("--allow", "192.0.2.0/24", "--allow", "2001:db8::/32", discovery=True)
    status, _, body = curl_get(rig, "/playlist.m3u")
    check(status == 403 and b"may not" in body, "a peer outside --allow: %d" % status)
    ids, _ = hdhomerun_config_discover(rig.addr)
    check(not ids, "discovery answered a peer outside --allow")
