#!/bin/bash
# The SI writer's native tests (CMakeLists.txt beside this), in
# build-native-siwriter/: built with the sanitizers and run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build="$root/build-native-siwriter"
CXX=clang++ cmake -S "$root/tests/native/siwriter" -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
echo "== native tests of the SI writer and the simulated stream (ASan, UBSan)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 "$build/siwriter_tests" --gtest_brief=1
