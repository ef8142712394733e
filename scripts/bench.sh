#!/bin/bash
# The benchmark (docs/benchmarks.md), e.g. scripts/bench.sh --runs 5, or
# scripts/bench.sh --arch i686 --runs 5 for the 32-bit build.
# scripts/bench.sh [--arch ARCH] --counts: TunerHost's calls into the system
# per block and per chunk, from the counter build (build-count-ARCH).
# scripts/bench.sh [--arch ARCH] --versus [COMMIT] [options]: beside this
# build, run by run, the TunerHost of COMMIT (default 9f45285, the last that
# ran plug-ins in its own process), built once from git's copy of that commit
# in /tmp/tunerhost-bench-COMMIT (kept for the next run).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=x86_64
[ "${1:-}" = "--arch" ] && arch=${2:-x86_64}
args=()
while [ $# -gt 0 ]; do
  if [ "$1" != "--versus" ]; then
    args+=("$1")
    shift
    continue
  fi
  shift
  commit=9f45285
  if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
    commit=$1
    shift
  fi
  commit=$(git -C "$root" rev-parse --short "$commit^{commit}")
  tree=/tmp/tunerhost-bench-$commit
  old="$tree/build-$arch"
  if [ ! -f "$old/bin/TunerHost.exe" ]; then
    echo "bench: building $commit's TunerHost in $tree" >&2
    rm -rf "$tree"
    mkdir -p "$tree"
    git -C "$root" archive "$commit" | tar -x -C "$tree"
    ln -s "$root/.deps" "$tree/.deps"
    targets=(TunerHost)
    [ -d "$tree/src/plughost" ] && targets+=(PlugHost)
    cmake -S "$tree" -B "$old" -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
      -DTUNERHOST_TESTS=OFF >/dev/null
    cmake --build "$old" --target "${targets[@]}" -j"$(nproc)" >/dev/null
  fi
  args+=(--versus "$old/bin")
done
case " ${args[*]} " in *" --counts "*) export TUNERHOST_VARIANT=count ;; esac
exec "$root/scripts/run-tool.sh" bench.exe "${args[@]}"
