#!/usr/bin/env bash
# A few seconds of fuzzing per target (default 5; FUZZ_SMOKE_SECONDS to
# change): enough to show that every target builds, loads its seeds and runs.
# Exits non-zero on a finding, like run.sh.
set -euo pipefail
exec "$(dirname "${BASH_SOURCE[0]}")/run.sh" "${FUZZ_SMOKE_SECONDS:-5}"
