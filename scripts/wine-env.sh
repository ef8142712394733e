# Sourced by the test and demo scripts: a wine prefix inside the build folder,
# created once, a wineserver kept alive for the whole run, and an X server for
# anything that shows a window. Call wine_env_start BUILD_DIR; it stops itself
# at exit. WINE_ENV_PREFIX names another prefix than the build's own.
wine_env_start() {
  local build=$1
  export WINEPREFIX="${WINE_ENV_PREFIX:-$build/wineprefix}"
  export WINEDEBUG=${WINEDEBUG_OVERRIDE:--all}  # e.g. WINEDEBUG_OVERRIDE=+propsheet to trace
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ -z "${DISPLAY:-}" ] || [ -n "${WINE_ENV_OWN_X:-}" ]; then
    local n=$(( (RANDOM + BASHPID) % 400 + 100 ))  # distinct also in subshells started together
    while [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    WINE_ENV_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  # A prefix made before 32-bit Wine was installed runs only 64-bit programs:
  # where 32-bit Wine is there now, such a prefix is made again.
  local wow64=0
  [ -x /usr/lib/wine/wine ] && wow64=1
  if [ -f "$WINEPREFIX/system.reg" ] && [ "$wow64" = 1 ] && [ ! -f "$WINEPREFIX/.wow64" ]; then
    echo "wine: $WINEPREFIX was made without 32-bit Wine; making it again"
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating prefix in $WINEPREFIX (once per build folder)"
    wineboot -i >/dev/null 2>&1 || true
    [ "$wow64" = 1 ] && [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] && touch "$WINEPREFIX/.wow64"
  fi
  # The pages' font, "ＭＳ Ｐゴシック", is not part of Wine: draw it with IPA's
  # proportional Gothic so that Japanese text renders.
  # Written as a registry file: a name outside ASCII does not survive every
  # locale on a command line.
  if [ ! -f "$WINEPREFIX/.fonts-substituted" ]; then
    local reg="$WINEPREFIX/fonts.reg"
    printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
      '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]' \
      '"ＭＳ Ｐゴシック"="IPAPGothic"' '"MS Shell Dlg"="IPAPGothic"' '' | iconv -f UTF-8 -t UTF-16 > "$reg"
    "$build/wine-run.sh" regedit /S "Z:${reg//\//\\}" </dev/null >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    touch "$WINEPREFIX/.fonts-substituted"
  fi
  # Caption buttons are glyphs of Marlett: without it a window's close button
  # shows as the letter "r". Debian's Wine does not look in fonts-wine's
  # folder, but every prefix loads its own Fonts folder.
  local marlett=/usr/share/wine/fonts/marlett.ttf
  if [ -f "$marlett" ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
  # A server left from an earlier run may hold another display: start afresh.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1 || true
  # Start Wine's own services now, detached from our output: started by the
  # first test instead, they would inherit its pipes and CTest would wait for
  # them to close.
  "$build/wine-run.sh" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
  trap wine_env_stop EXIT
}

wine_env_stop() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${WINE_ENV_XVFB_PID:-}" ]; then
    kill "$WINE_ENV_XVFB_PID" 2>/dev/null || true
    wait "$WINE_ENV_XVFB_PID" 2>/dev/null || true
    # The next start (another build's tests) gets an X server of its own.
    WINE_ENV_XVFB_PID=""
    unset DISPLAY
  fi
}
