#!/bin/bash
# The stream-table library natively, in build-native/: built by clang with
# AddressSanitizer and UndefinedBehaviorSanitizer; its tests, then each
# libFuzzer fuzzer for a bounded time from seeds that the tests' section
# builder makes, all run by CTest. Exits nonzero if a test fails or a fuzzer
# finds a fault (its input is kept as build-native/fuzz_NAME-crash-*).
#
#   tests/native/run.sh [SECONDS_PER_FUZZER]   default 25
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-native"
seconds=${1:-25}
CC=clang CXX=clang++ cmake -S "$root/tests/native" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DFUZZ_SECONDS="$seconds" >/dev/null
mkdir -p "$build"
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
cd "$build" && ctest --output-on-failure
