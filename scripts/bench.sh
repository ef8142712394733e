#!/bin/bash
# The benchmark (docs/benchmarks.md), e.g. scripts/bench.sh --runs 5, or
# scripts/bench.sh --arch i686 --runs 5 for the 32-bit build.
exec "$(dirname "$0")/run-tool.sh" bench.exe "$@"
