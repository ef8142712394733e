#!/bin/bash
# The main job: builds TunerHost, starts it under Wine beside the simulated
# tuner plug-in, shows that it runs and that a second instance is refused,
# then ends it the way the tray menu's Exit does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" x86_64 >/dev/null
build="$root/build-x86_64"
demo="$build/demo"
rm -rf "$demo" && mkdir -p "$demo"
cp "$build/bin/TunerHost.exe" "$build/bin/BonDriver_Sim.dll" "$build/bin/thctl.exe" "$demo/"
printf '[Config]\r\nDriverNameT=BonDriver_Sim.dll\r\nDriverNameS=\r\n' > "$demo/TunerHost.ini"
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
echo "== starting a second TunerHost.exe"
start=$(date +%s%N)
set +e; run TunerHost.exe; second=$?; set -e
echo "   second instance ended after $(( ($(date +%s%N) - start) / 1000000 )) ms with exit code $second"
kill -0 "$host_pid" && echo "   the first instance is still running"
echo "== sending Exit"
run thctl.exe exit 15
set +e; wait "$host_pid"; code=$?; set -e
host_pid=""
echo "== TunerHost ended with exit code $code"
