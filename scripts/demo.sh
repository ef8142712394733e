#!/bin/bash
# The main job: builds TunerHost, starts it under Wine beside the simulated
# tuner plug-in, records a few seconds of its stream through the pipes with
# tsrec, then ends it the way the tray menu's Exit does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" x86_64 >/dev/null
build="$root/build-x86_64"
demo="$build/demo"
rm -rf "$demo" && mkdir -p "$demo"
cp "$build/bin/TunerHost.exe" "$build/bin/BonDriver_Sim.dll" "$build/bin/thctl.exe" "$build/bin/tsrec.exe" "$demo/"
printf '[Config]\r\nDriverNameT=BonDriver_Sim.dll\r\nDriverNameS=BonDriver_Sim.dll\r\n' > "$demo/TunerHost.ini"
printf '[Sim]\r\nLog=Z:%s\r\n' "$(echo "$demo/sim.log" | tr / '\\')" > "$demo/BonDriver_Sim.ini"

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
echo "== recording 5 seconds of the terrestrial tuner: tsrec.exe -t 5 -o demo.ts"
set +e; run tsrec.exe -t 5 -o demo.ts; rec=$?; set -e
echo "   tsrec ended with exit code $rec; $(stat -c %s "$demo/demo.ts" 2>/dev/null || echo 0) bytes in $demo/demo.ts"
echo "== what the simulated plug-in saw:"
sed 's/^/   sim: /' "$demo/sim.log" | tail -n 8
echo "== sending Exit"
run thctl.exe exit 15
set +e; wait "$host_pid"; code=$?; set -e
host_pid=""
echo "== TunerHost ended with exit code $code"
