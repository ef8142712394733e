#!/bin/bash
# The benchmark (docs/benchmarks.md), e.g. scripts/bench.sh --runs 5, or
# scripts/bench.sh --arch i686 --runs 5 for the 32-bit build.
# scripts/bench.sh [--arch ARCH] --counts: TunerHost's calls into the system
# per block and per chunk, from the counter build (build-count-ARCH).
case " $* " in *" --counts "*) export TUNERHOST_VARIANT=count ;; esac
exec "$(dirname "$0")/run-tool.sh" bench.exe "$@"
