#!/bin/bash
# Makes the README's pictures from the real program under Xvfb: the tray menu
# and the tray tip while a client records,
# both settings pages with the simulated plug-ins chosen, one page with "無効"
# chosen, and the terrestrial page at 144 DPI. Writes docs/screenshots/*.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" x86_64 >/dev/null
build="$root/build-x86_64"
work="$build/screenshots"
out="$root/docs/screenshots"
rm -rf "$work" && mkdir -p "$work" "$out"
cp "$build/bin/TunerHost.exe" "$build/bin/PlugHost64.exe" "$build/bin/thctl.exe" "$build/bin/tsrec.exe" "$work/"
cp "$build/bin/BonDriver_Sim.dll" "$work/BonDriver_SimT.dll"
cp "$build/bin/BonDriver_Sim.dll" "$work/BonDriver_SimS.dll"
printf '[Sim]\r\nSpaces=T\r\n' > "$work/BonDriver_SimT.ini"
printf '[Sim]\r\nSpaces=S\r\n' > "$work/BonDriver_SimS.ini"
printf '[Config]\r\nDriverNameT=BonDriver_SimT.dll\r\nDriverNameS=BonDriver_SimS.dll\r\n' > "$work/TunerHost.ini"
printf '[BonDriver_SimT.dll_Config]\r\nTuningSpaceUHF=0\r\nTuningSpaceCATV=1\r\nTuningSpaceVHF=2\r\n' >> "$work/TunerHost.ini"
printf '[BonDriver_SimS.dll_Config]\r\nTuningSpaceBS=0\r\nTuningSpaceCS=1\r\nFixChannel=1\r\nFixedTuningSpace=0\r\nFixedChannel=2\r\n' >> "$work/TunerHost.ini"

export WINE_ENV_OWN_X=1  # a screen of our own, nothing else on it
# A prefix of its own: it runs as a virtual desktop, so that Wine draws the
# window frames itself, and its DPI changes.
export WINE_ENV_PREFIX="$build/wineprefix-screenshots"
. "$root/scripts/wine-env.sh"
wine_env_start "$build"
# As a Japanese user sees it: the sheet frame takes its Japanese resources.
run() { env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 "$build/wine-run.sh" "$@"; }
desktop='HKCU\Control Panel\Desktop'

host_pid=""
stop_host() {
  if [ -n "$host_pid" ]; then
    run thctl.exe exit 15 >/dev/null 2>&1 || kill "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
    host_pid=""
  fi
}
cleanup() {
  stop_host
  wine_env_stop
}
trap cleanup EXIT

start_host() {
  (cd "$work" && exec env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 "$build/wine-run.sh" TunerHost.exe) &
  host_pid=$!
  (cd "$work" && run thctl.exe wait 30 >/dev/null)
}
ctl() { (cd "$work" && run thctl.exe "$@" | tr -d '\r'); }

# shot NAME "left top width height": the screen's pixels inside that rectangle.
shot() {
  local name=$1; read -r x y w h <<<"$2"
  sleep "${SHOT_DELAY:-1.5}"  # let the window finish drawing
  xwd -root -silent -display "$DISPLAY" > "$work/root.xwd"
  convert "$work/root.xwd" -crop "${w}x${h}+${x}+${y}" +repage "$out/$name.png"
  echo "screenshots: $out/$name.png (${w}x${h})"
}

run reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
run reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x700 /f >/dev/null 2>&1
run reg add "$desktop" /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
# The desktop is read when Wine's explorer starts: start Wine afresh.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
start_host
# The menu with the corner of the taskbar and the tray icon beneath it.
read -r mx my _ _ <<<"$(ctl menu)"
SHOT_DELAY=0.3 shot tray-menu "$((mx - 160)) $((my - 40)) $((800 - mx + 160)) $((700 - my + 40))"
ctl close
rect=$(ctl settings)
shot page-terrestrial "$rect"
ctl page 1
shot page-satellite "$rect"
ctl page 0
ctl choose 131 -1   # UHF: "無効"
shot page-none "$rect"
ctl close
# The tray tip while a client records UHF 27: the busy icon, and each kind's
# plug-in, state, channel and signal level.
(cd "$work" && exec "$build/wine-run.sh" tsrec.exe -c 27 -t 20 -o NUL >/dev/null 2>&1) &
rec_pid=$!
sleep 5  # the icon follows the clients every 3 s
ctl hover
SHOT_DELAY=2.5 shot tray-tip "420 560 380 140"
wait "$rec_pid" 2>/dev/null || true
stop_host

run reg add "$desktop" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
start_host
shot page-terrestrial-144dpi "$(ctl settings)"
ctl close
