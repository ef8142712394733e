"""ffprobe on tsserve's streams, and mpv, VLC and GStreamer on its playlist,
the simulated plug-in replaying a file that ffmpeg made; ffprobe on its
generated stream, through tsserve and as tsrec records it."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time

from clients import curl_get, first_bytes, json_of, mpv
from harness import Stream, check, end, wine_path


def case_replay(rig):
    pattern = rig.path("ch27.ts")
    r = subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x180:rate=25",
                        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "3",
                        "-c:v", "mpeg2video", "-b:v", "1500k", "-c:a", "mp2", "-f", "mpegts",
                        "-mpegts_service_id", "27", "-muxrate", "4000k", pattern], capture_output=True, timeout=60)
    check(r.returncode == 0, "ffmpeg: " + r.stderr.decode())
    rig.set_sim("T", "SourceFile=%s\r\n" % wine_path(pattern))
    rig.start_host()
    rig.start_serve()
    r = subprocess.run(["ffprobe", "-v", "error", "-show_programs", "-of", "json", rig.url("/stream/t/27")],
                       capture_output=True, timeout=60)
    check(r.returncode == 0, "ffprobe: " + r.stderr.decode())
    programs = json.loads(r.stdout)["programs"]
    check(len(programs) == 1 and programs[0]["program_num"] == 27, str(programs))
    codecs = sorted(s["codec_name"] for s in programs[0]["streams"])
    check(codecs == ["mp2", "mpeg2video"], "streams " + str(codecs))
    # The generated stream, three seconds recorded by tsrec: ffprobe finds its
    # services by the PAT and PMTs, and their names in the SDT. FFmpeg reads
    # SDT text as ISO 6937, not ARIB: a name written in two-byte JIS codes
    # through GL, as "ＢＳ試験１０１" is, comes out as those codes' bytes.
    r = rig.run("tsrec.exe", "-s", "-c", "4010", "-t", "3", "-o", "gen.ts")
    check(r.returncode == 0, "tsrec: " + r.stdout)
    r = subprocess.run(["ffprobe", "-v", "error", "-show_programs", "-of", "json", rig.path("gen.ts")],
                       capture_output=True, timeout=60)
    programs = {p["program_num"]: p for p in json.loads(r.stdout)["programs"]}
    check(sorted(programs) == [101, 102, 801], "generated stream's programs: " + str(sorted(programs)))
    for number, pmt, video, name in ((101, 0x1F0, "0x100", "#B#S;n83#1#0#1"), (102, 0x1F1, "0x120", "#B#S;n83#1#0#2")):
        p = programs[number]
        streams = {s["id"]: s["codec_name"] for s in p["streams"]}
        check(p["pmt_pid"] == pmt and streams.get(video) == "mpeg2video" and p["tags"]["service_name"] == name,
              "program %d: %s" % (number, {k: p[k] for k in ("pmt_pid", "pcr_pid", "tags")}))
    # A looped file plays on at its own rate (500 kB/s): the seam keeps every
    # counter and flags the clock's jump.
    started = time.time()
    data = first_bytes(rig.url("/stream/t/27"), 1_600_000, timeout=40)
    took = time.time() - started
    s = Stream(data)
    check(len(data) == 1_600_000 and s.sync_ok() and s.cc_errors() == 0, "replayed stream: %d bytes, %d CC errors"
          % (len(data), s.cc_errors()))
    flagged = sum(1 for p in s.packets() if p[3] & 0x20 and p[4] > 0 and p[5] & 0x80)
    check(flagged >= 1, "no discontinuity flag at the seam")
    check(took > 0.7 * 1_600_000 / 500_000, "1.6 MB came in %.1f s: the file was not paced by its PCRs" % took)
    players(rig)


def players(rig):
    """mpv, VLC and GStreamer on tsserve's own playlist, by its URL: each plays
    its first three entries, one after the other, each tuned as it comes."""
    # Each entry from the file's start (a tune starts it over): not the
    # tuner kept from the last viewer, whose file may loop under mpv.
    deadline = time.time() + 20
    while json_of(rig, "/status.json")["terrestrial"]["state"] != "idle":
        check(time.time() < deadline, "the tuner was not released")
        time.sleep(0.2)
    playlist = rig.url("/playlist.m3u")
    _, _, body = curl_get(rig, "/playlist.m3u")
    urls = [line for line in body.decode().splitlines() if line and not line.startswith("#")][:3]
    # mpv takes a playlist given by --playlist=, or by a URL without the
    # .m3u ending, for an M3U by its first line alone.
    started = time.time()
    # Each run ends as entry n + 1 starts (a playlist given as a file starts first).
    # The second, at the path media servers use with tuner servers.
    for args, n, starts in ((["--playlist=" + playlist], 3, 3), ([rig.url("/api/iptv/playlist?kind=t")], 1, 2)):
        script = rig.path("entries.lua")
        with open(script, "w") as f:
            f.write('local n = 0\nmp.register_event("start-file", function()\n'
                    '  n = n + 1\n  if n > %d then mp.command("quit") end\nend)\n' % starts)
        _, out = mpv(rig, "--script=" + script, *args, timeout=120)
        check(re.findall(r"Playing: (\S+)", out)[:n] == urls[:n] and "Failed to recognize" not in out
              and "HTTP error" not in out and out.count("Video --vid=1") >= n, "mpv %s:\n%s" % (args, "\n".join(
                  line for line in out.splitlines() if "AV:" not in line)[-3000:]))
    print("  mpv played the playlist's first entries in %.1f s" % (time.time() - started))
    decoded = vlc_entries(playlist, 3)
    check(decoded[:3] == [(u, True) for u in urls], "VLC on %s: %s" % (playlist, decoded))
    # GStreamer reads no playlist itself (its players do): each entry. Its
    # HTTP source takes a stream of unknown length without ranges. (Its
    # "Seekable" line says what the MPEG-TS demuxer makes of a duration it
    # estimates from the bitrate, whatever the server answers.)
    for url in urls:
        r = subprocess.run(["gst-discoverer-1.0", url], capture_output=True, text=True, timeout=60,
                           stdin=subprocess.DEVNULL)
        check(r.returncode == 0 and "container #0: MPEG-2 Transport Stream" in r.stdout and "MPEG-2 Video" in r.stdout
              and "MPEG-1 Layer 2" in r.stdout, "gst-discoverer-1.0 %s:\n%s%s" % (url, r.stdout[-2000:], r.stderr[-1000:]))


def vlc_entries(playlist, count, seconds=90):
    """VLC (cvlc, as an unprivileged user: it refuses root) on the playlist:
    [(URL, whether a video decoder started)] of the entries it opened, in
    order. Its command line says "next" once an entry's video decoder starts
    (or after 30 s without one), as a user pressing next would: its own
    --run-time is not kept while a loaded machine keeps it buffering. It is
    ended, by its id, once it opens the entry after `count` (or after
    `seconds`)."""
    home = tempfile.mkdtemp(prefix="vlc-")
    os.chmod(home, 0o777)
    vlc = subprocess.Popen(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env", "HOME=" + home,
                            "cvlc", "-vv", "--intf", "rc", "--rc-fake-tty", "--vout", "dummy", "--aout", "dummy",
                            playlist], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    entries = []
    timer = threading.Timer(seconds, vlc.kill)
    timer.start()

    def say_next(entry_count):
        if len(entries) == entry_count and vlc.poll() is None:
            try:
                vlc.stdin.write(b"next\n")
                vlc.stdin.flush()
            except OSError:
                pass
    try:
        for line in vlc.stdout:
            line = line.decode(errors="replace")
            m = re.search(r"main input debug: `(\S+)' successfully opened", line)
            if m and m.group(1) != playlist:
                entries.append((m.group(1), False))
                if len(entries) > count:
                    break
                bound = threading.Timer(30, say_next, (len(entries),))
                bound.daemon = True
                bound.start()
            elif "using video decoder module" in line and entries and not entries[-1][1]:
                entries[-1] = (entries[-1][0], True)
                say_next(len(entries))
    finally:
        timer.cancel()
        end(vlc)
        shutil.rmtree(home, ignore_errors=True)
    return entries
