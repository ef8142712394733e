#!/bin/bash
# Builds the x86_64 target and runs soak.exe under Wine with the given options
# (see docs/reliability.md), e.g. scripts/soak.sh --long.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" x86_64 >/dev/null
. "$root/scripts/wine-env.sh"
wine_env_start "$root/build-x86_64"
cd "$root/build-x86_64/bin"
"$root/build-x86_64/wine-run.sh" soak.exe "$@"
