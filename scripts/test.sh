#!/bin/bash
# Builds both targets and runs every test under Wine: the x86_64 build, then
# the i686 build where this machine executes 32-bit code (each in its own
# build folder, prefix and Wine server), then the stream-table library
# natively under the sanitizers and its fuzzers, for a bounded time
# (tests/native/run.sh). Options after the script go to ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
run32=1
if ! "$root/scripts/probe32.sh"; then
  run32=0
  skip_reason="this machine does not execute 32-bit code (a 32-bit probe program did not run)"
elif [ ! -x /usr/lib/wine/wine ]; then
  run32=0
  skip_reason="32-bit Wine (wine32:i386) is not installed"
fi
"$root/scripts/build.sh" i686
"$root/scripts/build.sh" x86_64
# Only system DLLs may be imported.
for arch in x86_64 i686; do
  bits=64
  [ "$arch" = i686 ] && bits=32
  for f in "$root/build-$arch"/bin/{TunerHost.exe,PlugHost$bits.exe,thctl.exe,tsrec.exe,tsserve.exe}; do
    bad=$(x86_64-w64-mingw32-objdump -p "$f" | awk '/DLL Name:/ {print tolower($3)}' |
          grep -vE '^(kernel32|user32|shell32|comctl32|gdi32|advapi32|ole32|oleaut32|msvcrt|ntdll|ws2_32|api-ms-win-.*)\.dll$' || true)
    if [ -n "$bad" ]; then echo "error: $f imports non-system DLLs: $bad"; exit 1; fi
  done
done
# The client plug-in and the test plug-ins are built as users' plug-ins are:
# kernel32 is all they import.
for f in "$root"/build-{x86_64,i686}/bin/{BonDriver_TunerHost_T,BonDriver_TunerHost_S,BonDriver_Sim,BonDriver_SimEH,b25decoder}.dll; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$f" | awk '/DLL Name:/ {print tolower($3)}' | sort -u | tr '\n' ' ')
  if [ "$dlls" != "kernel32.dll " ]; then echo "error: $f imports $dlls"; exit 1; fi
done
. "$root/scripts/wine-env.sh"
status=0
# The SI writer and the simulated plug-in's stream, natively with the sanitizers.
"$root/tests/native/siwriter/run.sh" || status=1
run_ctest() {
  local arch=$1
  shift
  echo "== tests of the $arch build"
  wine_env_start "$root/build-$arch"
  (cd "$root/build-$arch" && ctest --output-on-failure --timeout 300 "$@") || status=1
  wine_env_stop
}
# tsserve's tests (Http*) of one build at a time: the UDP ports of discovery
# (65001, 1900) are the machine's, whoever listens on which loopback address.
# One build takes them first and the other last, so they seldom wait.
http_lock=/tmp/tunerhost-http-tests.lock
run_ctest_split() {
  local arch=$1 http_first=$2
  echo "== tests of the $arch build"
  wine_env_start "$root/build-$arch"
  local no_http=(ctest --output-on-failure --timeout 300 -E '^Http')
  local http=(flock "$http_lock" ctest --output-on-failure --timeout 300 -R '^Http')
  if [ "$http_first" = 1 ]; then
    (cd "$root/build-$arch" && "${http[@]}") || status=1
    (cd "$root/build-$arch" && "${no_http[@]}") || status=1
  else
    (cd "$root/build-$arch" && "${no_http[@]}") || status=1
    (cd "$root/build-$arch" && "${http[@]}") || status=1
  fi
  wine_env_stop
}
# The x86_64 build's client-of-the-other-bitness test needs the i686 tsrec to run.
[ "$run32" = 1 ] || export TUNERHOST_CROSS_SKIP="$skip_reason"
# The two builds' tests run side by side, each with its own prefix, Wine
# server and X server: most of their time is spent waiting on bounds, and the
# tests hold under a loaded machine. The i686 output follows the x86_64 one.
# Options for ctest (a choice of tests, say) run the builds one after the other.
if [ "$run32" = 1 ] && [ $# -eq 0 ]; then
  log32="$root/build-i686/ctest-output.log"
  (WINE_ENV_OWN_X=1 run_ctest_split i686 0; exit $status) >"$log32" 2>&1 &
  pid32=$!
  WINE_ENV_OWN_X=1 run_ctest_split x86_64 1
  wait "$pid32" || status=1
  cat "$log32"
else
  run_ctest x86_64 "$@"
  if [ "$run32" = 1 ]; then
    run_ctest i686 "$@"
  else
    echo "== SKIPPED: the tests of the i686 build were not run: $skip_reason. It was built and linked only."
  fi
fi
echo "== the stream-table library natively (ASan, UBSan, libFuzzer)"
"$root/tests/native/run.sh" || status=1
exit $status
