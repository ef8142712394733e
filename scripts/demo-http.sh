#!/bin/bash
# scripts/demo.sh --http: a picture through TunerHost and tsserve. Makes a
# test-pattern transport stream with ffmpeg (the channel number drawn in),
# starts TunerHost with the simulated plug-in replaying it as every
# terrestrial channel, starts tsserve on 127.0.0.1:40080, grabs a frame from
# the stream URL with ffmpeg, and prints the URLs to open in VLC or mpv. It
# then serves until Ctrl+C (without a terminal, it ends at once).
#   --grab FILE   also copy the grabbed frame to FILE
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
grab=""
[ "${1:-}" = "--grab" ] && grab=$(realpath -m "${2:?--grab takes a file}")
"$root/scripts/setup.sh"
"$root/scripts/build.sh" x86_64 >/dev/null
build="$root/build-x86_64"
demo="$build/demo-http"
rm -rf "$demo" && mkdir -p "$demo"
cp "$build/bin/"{TunerHost.exe,PlugHost64.exe,BonDriver_Sim.dll,thctl.exe,tsserve.exe} "$demo/"
cp "$build/bin/BonDriver_Sim.dll" "$demo/BonDriver_SimS.dll"
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

echo "== making a 10-second test pattern with ffmpeg: $demo/pattern.ts"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
ffmpeg -v error -y -f lavfi -i "testsrc=size=960x540:rate=25" -f lavfi -i "sine=frequency=440:sample_rate=48000" \
  -t 10 -vf "drawtext=fontfile=$font:text='CH 27':fontsize=120:fontcolor=white:box=1:boxcolor=black@0.6:x=(w-tw)/2:y=h-th-40" \
  -c:v mpeg2video -b:v 3500k -g 25 -c:a mp2 -b:a 192k -f mpegts -mpegts_service_id 27 -muxrate 4500k "$demo/pattern.ts"
printf '[Config]\r\nDriverNameT=BonDriver_Sim.dll\r\nDriverNameS=BonDriver_SimS.dll\r\n' > "$demo/TunerHost.ini"
printf '[Sim]\r\nSpaces=T\r\nSourceFile=%s\r\n' "$(winpath "$demo/pattern.ts")" > "$demo/BonDriver_Sim.ini"
printf '[Sim]\r\nSpaces=S\r\n' > "$demo/BonDriver_SimS.ini"

. "$root/scripts/wine-env.sh"
wine_env_start "$build"
run() { "$build/wine-run.sh" "$@"; }
host_pid="" serve_pid=""
cleanup() {
  if [ -n "$serve_pid" ] && kill -0 "$serve_pid" 2>/dev/null; then
    kill -INT "$serve_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$serve_pid" 2>/dev/null || true
    sleep 0.3
  fi
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
    (cd "$demo" && run thctl.exe exit 15 >/dev/null) || kill "$host_pid" 2>/dev/null || true
  fi
  wine_env_stop
}
trap cleanup EXIT
trap 'exit 0' INT

cd "$demo"
echo "== starting TunerHost.exe in $demo"
run TunerHost.exe </dev/null >/dev/null 2>&1 &
host_pid=$!
run thctl.exe wait 30
echo "== starting tsserve.exe (its lines follow, prefixed 'tsserve:')"
# In a process group of its own: a script's background jobs otherwise ignore
# SIGINT, which is how Ctrl+C reaches tsserve.
set -m
"$build/wine-run.sh" tsserve.exe </dev/null >"$demo/tsserve.out" 2>&1 &
serve_pid=$!
set +m
tail -n +1 -f --pid="$serve_pid" "$demo/tsserve.out" | sed -u 's/^/   tsserve: /' &
for _ in $(seq 100); do curl -s -o /dev/null http://127.0.0.1:40080/status.json && break; sleep 0.2; done
url=http://127.0.0.1:40080/stream/t/27
echo "== grabbing a frame from $url with ffmpeg"
ffmpeg -v error -y -i "$url" -frames:v 1 -update 1 "$demo/frame.png" 2>&1 | grep -vE "frame dimensions|Last message" || true
echo "   $demo/frame.png ($(stat -c %s "$demo/frame.png" 2>/dev/null || echo 0) bytes)"
[ -n "$grab" ] && cp "$demo/frame.png" "$grab" && echo "   copied to $grab"
echo
echo "   Open in VLC or mpv:  $url"
echo "   The playlist:        http://127.0.0.1:40080/playlist.m3u"
echo "   The start page:      http://127.0.0.1:40080/"
echo "   Network tuners for media servers (HDHomeRun's HTTP interface):"
echo "                        http://127.0.0.1:40081 (terrestrial), http://127.0.0.1:40082 (satellite)"
echo
if [ -t 0 ]; then
  echo "== serving until Ctrl+C"
  while kill -0 "$serve_pid" 2>/dev/null; do sleep 1; done
else
  echo "== no terminal: ending now"
fi
