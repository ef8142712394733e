#!/bin/bash
# The benchmark (docs/benchmarks.md), e.g. scripts/bench.sh --runs 5.
exec "$(dirname "$0")/run-tool.sh" bench.exe "$@"
