#!/bin/bash
# Builds the x86_64 target and runs one of its Windows programs under Wine in
# the test environment: run-tool.sh PROGRAM [options].
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=$1
shift
"$root/scripts/setup.sh"
"$root/scripts/build.sh" x86_64 >/dev/null
. "$root/scripts/wine-env.sh"
wine_env_start "$root/build-x86_64"
cd "$root/build-x86_64/bin"
"$root/build-x86_64/wine-run.sh" "$program" "$@"
