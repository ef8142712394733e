#!/bin/bash
# Builds both targets and runs every test (the x86_64 build under Wine; this
# machine cannot run the i686 build, which must still compile and link).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" i686
"$root/scripts/build.sh" x86_64
# Only system DLLs may be imported.
for f in "$root"/build-x86_64/bin/TunerHost.exe "$root"/build-x86_64/bin/thctl.exe "$root"/build-x86_64/bin/tsrec.exe; do
  bad=$(x86_64-w64-mingw32-objdump -p "$f" | awk '/DLL Name:/ {print tolower($3)}' |
        grep -vE '^(kernel32|user32|shell32|comctl32|gdi32|advapi32|ole32|oleaut32|msvcrt|ntdll|ws2_32|api-ms-win-.*)\.dll$' || true)
  if [ -n "$bad" ]; then echo "error: $f imports non-system DLLs: $bad"; exit 1; fi
done
# The test plug-ins are built as users' plug-ins are: kernel32 is all they import.
for f in "$root"/build-{x86_64,i686}/bin/{BonDriver_Sim,b25decoder}.dll; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$f" | awk '/DLL Name:/ {print tolower($3)}' | sort -u | tr '\n' ' ')
  if [ "$dlls" != "kernel32.dll " ]; then echo "error: $f imports $dlls"; exit 1; fi
done
. "$root/scripts/wine-env.sh"
wine_env_start "$root/build-x86_64"
cd "$root/build-x86_64"
ctest --output-on-failure --timeout 300 "$@"
