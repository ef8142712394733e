"""Streams of one service: the transport stream cut down to the service, its
PAT rewritten, its PIDs and the SI alone, counters continuous; viewers of
different services of one transport stream sharing one tuning; ffprobe
finding one program and its video, and mpv playing it."""
import json
import re
import subprocess
import time

from clients import Reader, curl_get, json_of, mpv, wait_viewers
from harness import Stream, check, wine_path
from tables import crc_ok, packets, parse_pat, parse_pmt, parse_sdt, pid_of, sections

SI_PIDS = {0x0001, 0x0010, 0x0011, 0x0012, 0x0014}
MAGIC = (0x544D4953).to_bytes(4, "little")


def check_service(name, data, sid):
    """The stream of one service: its PAT alone, its PIDs and the SI, whole."""
    s = Stream(data)
    check(len(data) > 1_000_000 and data[0] == 0x47 and s.sync_ok(), "%s: %d bytes, sync lost" % (name, len(data)))
    check(s.cc_errors() == 0, "%s: %d continuity errors" % (name, s.cc_errors()))
    pats = sections(data, 0x0000)
    check(len(pats) >= 3 and all(crc_ok(p) for p in pats), "%s: %d PATs, CRCs %s" % (
        name, len(pats), [crc_ok(p) for p in pats]))
    listed = {parse_pat(p)[2].__repr__() for p in pats}
    versions = {parse_pat(p)[1] for p in pats}
    programs = parse_pat(pats[0])[2]
    check(len(listed) == 1 and list(programs) == [sid] and len(versions) == 1, "%s: the PATs list %s" % (name, listed))
    sdts = [parse_sdt(s) for s in sections(data, 0x0011) if s[0] == 0x42 and crc_ok(s)]
    check(sdts and all([e[0] for e in sdt[2]] == [sid] for sdt in sdts), "%s: the SDT lists %s" % (
        name, {tuple(e[0] for e in sdt[2]) for sdt in sdts}))
    pmt_pid = programs[sid]
    pmts = [parse_pmt(p) for p in sections(data, pmt_pid) if p[0] == 0x02]
    check(pmts and pmts[0][0] == sid, "%s: no PMT of %d on 0x%x" % (name, sid, pmt_pid))
    _, pcr, streams, ecms = pmts[0]
    wanted = {pmt_pid, pcr} | {pid for _, pid in streams} | set(ecms)
    seen = {pid_of(p) for p in packets(data)}
    check(seen - {0} <= wanted | SI_PIDS, "%s: PIDs %s beyond %s" % (name, sorted(map(hex, seen - wanted - SI_PIDS)),
                                                                      sorted(map(hex, wanted))))
    check(wanted <= seen, "%s: PIDs %s missing" % (name, sorted(map(hex, wanted - seen))))
    channels = {(int.from_bytes(p[8:12], "little"), int.from_bytes(p[12:16], "little"))
                for p in packets(data) if p[4:8] == MAGIC}
    check(channels == {(0, 14)}, "%s carries %s" % (name, channels))


def case_service(rig):
    rig.start_host()
    rig.start_serve()
    opens = rig.sim_count("T", "open")
    # The station's main service, its sub-channel and the whole stream, side by side.
    viewers = [Reader(rig.where, path) for path in ("/stream/t/27/7680", "/stream/t/27/7681", "/stream/t/27")]
    for v in viewers:
        v.start()
    try:
        check(wait_viewers(rig, 3, 15), "the three viewers did not join")
        time.sleep(2.5)
        st = json_of(rig, "/status.json")["terrestrial"]
        check(st["viewers"] == 3 and st["connections"] == 1, "three viewers of one stream: %s" % st)
        check(sorted(v["channel"] for v in st["viewerList"]) == ["27", "27/7680", "27/7681"], str(st["viewerList"]))
        status, _, body = curl_get(rig, "/stream/t/28/8192")
        check(status == 409, "another transport stream while one is watched: %d %r" % (status, body))
    finally:
        for v in viewers:
            v.stop = True
            v.join(10)
            v.sock.close()
    check(rig.sim_count("T", "open") == opens + 1, "the viewers did not share one tuning")
    check_service("27/7680", viewers[0].body(), 7680)
    check_service("27/7681", viewers[1].body(), 7681)
    whole = viewers[2].body()
    check(len(parse_pat(sections(whole, 0)[0])[2]) == 3, "the whole stream's PAT")
    check(wait_viewers(rig, 0, 10), "the viewers did not leave")

    # A service the stream does not carry: the stream ends, and says why.
    started = time.time()
    r = rig.curl("-s", "--max-time", "20", "-o", rig.path("none.ts"), "-w", "%{http_code}", rig.url("/stream/t/27/9999"))
    check(r.stdout == b"200" and time.time() - started < 10, "a service not carried: %r after %.1f s" % (
        r.stdout, time.time() - started))
    check("service 9999 is not on 27 (27ch) now" in rig.serve_output(), "no line for the missing service")
    for path in ("/stream/t/27/0", "/stream/t/27/70000", "/stream/t/27/x", "/stream/t/27/1/2"):
        status, _, _ = curl_get(rig, path)
        check(status == 404, "%s: %d" % (path, status))

    # Real decoders on a stream of two programs that ffmpeg made.
    rig.stop_serve()
    rig.stop_host()
    two = rig.path("two.ts")
    r = subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x180:rate=25",
                        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-f", "lavfi",
                        "-i", "testsrc2=size=320x180:rate=25", "-f", "lavfi", "-i", "sine=frequency=880:sample_rate=48000",
                        "-t", "3", "-map", "0:v", "-map", "1:a", "-map", "2:v", "-map", "3:a", "-c:v", "mpeg2video",
                        "-b:v", "1000k", "-c:a", "mp2", "-program", "program_num=1024:title=A:st=0:st=1",
                        "-program", "program_num=1025:title=B:st=2:st=3", "-muxrate", "5000k", "-f", "mpegts", two],
                       capture_output=True, timeout=60)
    check(r.returncode == 0, "ffmpeg: " + r.stderr.decode())
    rig.set_sim("T", "SourceFile=%s\r\n" % wine_path(two))
    rig.start_host()
    rig.start_serve()
    for path, expected in (("/stream/t/27", [1024, 1025]), ("/stream/t/27/1025", [1025])):
        r = subprocess.run(["timeout", "60", "ffprobe", "-v", "error", "-read_intervals", "%+3", "-show_programs",
                            "-of", "json", rig.url(path)], capture_output=True, timeout=90)
        check(r.returncode == 0, "ffprobe %s: %s" % (path, r.stderr.decode()))
        programs = json.loads(r.stdout)["programs"]
        check(sorted(p["program_num"] for p in programs) == expected, "%s: programs %s" % (
            path, [p["program_num"] for p in programs]))
    p = programs[0]
    streams = {s["id"]: s.get("codec_name") for s in p["streams"]}
    check(streams == {"0x102": "mpeg2video", "0x103": "mp2"} and p["pmt_pid"] == 4097, "program 1025: %s" % streams)
    code, out = mpv(rig, rig.url("/stream/t/27/1025"))
    check(code == 0 and "Video --vid=1" in out and "Audio --aid=1" in out and "Failed" not in out,
          "mpv:\n" + out[-2000:])
    check(not re.search(r"--vid=2|--aid=2", out), "mpv saw the other program:\n" + out[-2000:])
