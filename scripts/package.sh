#!/bin/bash
# Builds both targets and makes the release zips in dist/:
# TunerHost-<version>-win64.zip and TunerHost-<version>-win32.zip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
mkdir -p "$root/dist"
# Both builds first: each zip carries both plug-in hosts, its own and the
# other build's, so that it serves plug-ins of either bitness, and the client
# plug-in in both bitnesses, for apps of either.
for arch in x86_64 i686; do
  "$root/scripts/build.sh" "$arch" >/dev/null
done
for arch in x86_64 i686; do
  (cd "$root/build-$arch" && rm -rf package && cpack -G ZIP >/dev/null)
  for zip in "$root/build-$arch"/package/TunerHost-*.zip; do
    for host in PlugHost32.exe PlugHost64.exe client-plugin/{32,64}-bit/BonDriver_TunerHost_{T,S}.dll; do
      if ! unzip -l "$zip" | grep -q " $host\$"; then echo "package: $host is missing from $(basename "$zip")" >&2; exit 1; fi
    done
    cp "$zip" "$root/dist/"
    echo "package: dist/$(basename "$zip")"
    unzip -l "$zip" | awk 'NR > 3 && $4 != "" && $1 ~ /^[0-9]+$/ {print "   " $4}'
  done
done
