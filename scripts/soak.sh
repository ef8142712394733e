#!/bin/bash
# The soak and fault campaign (docs/reliability.md), e.g. scripts/soak.sh --long.
exec "$(dirname "$0")/run-tool.sh" soak.exe "$@"
