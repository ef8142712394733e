#!/bin/bash
# Builds the x86_64 target and runs bench.exe under Wine with the given options
# (see docs/benchmarks.md), e.g. scripts/bench.sh --runs 5.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" x86_64 >/dev/null
. "$root/scripts/wine-env.sh"
wine_env_start "$root/build-x86_64"
cd "$root/build-x86_64/bin"
"$root/build-x86_64/wine-run.sh" bench.exe "$@"
