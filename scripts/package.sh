#!/bin/bash
# Builds both targets and makes the release zips in dist/:
# TunerHost-<version>-win64.zip and TunerHost-<version>-win32.zip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
mkdir -p "$root/dist"
for arch in x86_64 i686; do
  "$root/scripts/build.sh" "$arch" >/dev/null
  (cd "$root/build-$arch" && rm -rf package && cpack -G ZIP >/dev/null)
  for zip in "$root/build-$arch"/package/TunerHost-*.zip; do
    cp "$zip" "$root/dist/"
    echo "package: dist/$(basename "$zip")"
    unzip -l "$zip" | awk 'NR > 3 && $4 != "" && $1 ~ /^[0-9]+$/ {print "   " $4}'
  done
done
