#!/bin/bash
# The soak and fault campaign (docs/reliability.md), e.g. scripts/soak.sh --long,
# or scripts/soak.sh --arch i686 --long for the 32-bit build.
exec "$(dirname "$0")/run-tool.sh" soak.exe "$@"
