#!/bin/bash
# The stream-table library natively, in build-native/: built by clang with
# AddressSanitizer and UndefinedBehaviorSanitizer, its tests run, then each
# libFuzzer fuzzer for a bounded time from seeds that the tests' section
# builder makes. Exits nonzero if a test fails or a fuzzer finds a crash (its
# input is kept in build-native/crashes/).
#
#   tests/native/run.sh [SECONDS_PER_FUZZER]   default 25
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-native"
seconds=${1:-25}
CC=clang CXX=clang++ cmake -S "$root/tests/native" -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
echo "== native tests of tstables (ASan, UBSan)"
"$build/tstables_tests" --gtest_brief=1
"$build/tstables_seeds" "$build/corpus"
status=0
for fuzzer in sections tables; do
  mkdir -p "$build/crashes/$fuzzer"
  echo "== fuzz_$fuzzer for ${seconds} s"
  if "$build/fuzz_$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/crashes/$fuzzer/" "$build/corpus/$fuzzer" >"$build/fuzz_$fuzzer.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/fuzz_$fuzzer.log" | tr '\n' ' '
    echo
  else
    tail -n 60 "$build/fuzz_$fuzzer.log"
    echo "fuzz_$fuzzer found a fault: its input is in $build/crashes/$fuzzer/"
    status=1
  fi
done
exit $status
