#!/bin/bash
# Configures and builds one target: build.sh x86_64|i686 (default x86_64).
# build.sh ARCH count: the benchmark's counter build, in build-count-ARCH
# (TunerHost counts its calls into the system; never shipped).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-x86_64}
dir="$root/build-$arch"
extra=()
if [ "${2:-}" = "count" ]; then
  dir="$root/build-count-$arch"
  extra=(-DTUNERHOST_COUNT_CALLS=ON -DTUNERHOST_TESTS=OFF)
fi
cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release "${extra[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
