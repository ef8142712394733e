#!/bin/bash
# Builds one target and runs one of its Windows programs under Wine in the
# test environment: run-tool.sh PROGRAM [--arch x86_64|i686] [options].
# The x86_64 build unless --arch says otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=$1
shift
arch=x86_64
if [ "${1:-}" = "--arch" ]; then
  arch=${2:-}
  shift 2 || true
fi
case "$arch" in
  x86_64) ;;
  i686)
    if ! "$root/scripts/probe32.sh"; then
      echo "error: this machine does not execute 32-bit code, so the i686 build cannot run here" >&2
      exit 2
    fi ;;
  *) echo "error: --arch takes x86_64 or i686" >&2; exit 2 ;;
esac
"$root/scripts/setup.sh"
build="$root/build-$arch"
if [ "${TUNERHOST_VARIANT:-}" = "count" ]; then
  "$root/scripts/build.sh" "$arch" count >/dev/null
  build="$root/build-count-$arch"
else
  "$root/scripts/build.sh" "$arch" >/dev/null
fi
. "$root/scripts/wine-env.sh"
wine_env_start "$build"
cd "$build/bin"
"$build/wine-run.sh" "$program" "$@"
