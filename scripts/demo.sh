#!/bin/bash
# The main job: builds TunerHost, starts it under Wine beside the simulated
# tuner plug-in, records a few seconds of its stream through the pipes with
# tsrec, then ends it the way the tray menu's Exit does.
# With --descrambler the stand-in b25decoder.dll is put beside TunerHost.exe,
# and the recording is XOR-transformed by it.
# With --http it serves the tuners over HTTP instead (scripts/demo-http.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ "${1:-}" = "--http" ] && exec "$root/scripts/demo-http.sh" "${@:2}"
descrambler=0
[ "${1:-}" = "--descrambler" ] && descrambler=1
"$root/scripts/setup.sh"
"$root/scripts/build.sh" x86_64 >/dev/null
build="$root/build-x86_64"
demo="$build/demo"
rm -rf "$demo" && mkdir -p "$demo"
cp "$build/bin/TunerHost.exe" "$build/bin/PlugHost64.exe" "$build/bin/BonDriver_Sim.dll" "$build/bin/thctl.exe" "$build/bin/tsrec.exe" "$demo/"
printf '[Config]\r\nDriverNameT=BonDriver_Sim.dll\r\nDriverNameS=BonDriver_Sim.dll\r\n' > "$demo/TunerHost.ini"
printf '[Sim]\r\nSpaces=TS\r\nLog=Z:%s\r\n' "$(echo "$demo/sim.log" | tr / '\\')" > "$demo/BonDriver_Sim.ini"
if [ "$descrambler" = 1 ]; then
  cp "$build/bin/b25decoder.dll" "$demo/"
  printf '[B25]\r\nLog=Z:%s\r\n' "$(echo "$demo/b25.log" | tr / '\\')" > "$demo/b25decoder.ini"
fi

. "$root/scripts/wine-env.sh"
wine_env_start "$build"
run() { "$build/wine-run.sh" "$@"; }

host_pid=""
cleanup() {
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then kill "$host_pid" 2>/dev/null || true; fi
  wine_env_stop
}
trap cleanup EXIT

cd "$demo"
echo "== starting TunerHost.exe in $demo"
run TunerHost.exe &
host_pid=$!
run thctl.exe wait 30
echo "== the simulated plug-in was probed at start-up:"
sed 's/^/   sim: /' "$demo/sim.log"
echo "== the channels TunerHost would tune (tsrec.exe --list), first lines:"
run tsrec.exe --list | head -n 8 | sed 's/^/   /'
echo "== recording 5 seconds of UHF channel 27 from the terrestrial tuner: tsrec.exe -c 27 -t 5 -o demo.ts"
set +e; run tsrec.exe -c 27 -t 5 -o demo.ts; rec=$?; set -e
echo "   tsrec ended with exit code $rec; $(stat -c %s "$demo/demo.ts" 2>/dev/null || echo 0) bytes in $demo/demo.ts"
echo "== what the simulated plug-in saw:"
sed 's/^/   sim: /' "$demo/sim.log" | tail -n 7
if [ "$descrambler" = 1 ]; then
  echo "   (the stand-in XORs every byte, so tsrec finds no packet sync: that is the transform, not a loss)"
  echo "== what the stand-in descrambler saw:"
  sed 's/^/   b25: /' "$demo/b25.log"
fi
echo "== sending Exit"
run thctl.exe exit 15
set +e; wait "$host_pid"; code=$?; set -e
host_pid=""
echo "== TunerHost ended with exit code $code"
