#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one.
#
#   fuzz/run.sh [seconds]      seconds per target (default $FUZZ_SECONDS, else 60)
#   FUZZ_TARGETS="fuzz_tlv fuzz_hex" fuzz/run.sh 30    only these targets
#
# Each target starts from a scratch copy of its committed seeds
# (build-fuzz/corpus/<target>, kept between runs so coverage accumulates), so
# fuzz/corpus/ is never written. A finding leaves its input in
# build-fuzz/artifacts/<target>/ and makes the script exit non-zero once every
# target has run; minimise it (<target> -minimize_crash=1 -runs=10000 <file>),
# then commit it under fuzz/regressions/<target>/.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
SECONDS_EACH="${1:-${FUZZ_SECONDS:-60}}"
JOBS="${FUZZ_BUILD_JOBS:-$(nproc)}"

# Several runs may share one build tree (one target each, in parallel): the
# lock lets only one of them configure and build at a time.
mkdir -p "$BUILD"
exec 9>"$BUILD/.run.lock"
flock 9
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMOR_BUILD_FUZZ=ON -DVELMOR_BUILD_TESTS=OFF -DVELMOR_BUILD_TOOLS=ON \
  -DVELMOR_BUILD_EXAMPLES=OFF -DVELMOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target fuzz_targets
flock -u 9

read -r -a built < "$BUILD/fuzz_targets.txt"
IFS=';' read -r -a built <<< "${built[*]}"
targets=(${FUZZ_TARGETS:-${built[@]}})

failed=()
for t in "${targets[@]}"; do
  exe="$BUILD/fuzz/$t"
  [[ -x "$exe" ]] || { echo "fuzz: $t was not built" >&2; failed+=("$t"); continue; }
  work="$BUILD/corpus/$t"
  artifacts="$BUILD/artifacts/$t/"
  mkdir -p "$work" "$artifacts"
  cp -n "$ROOT/fuzz/corpus/$t/"* "$work/" 2>/dev/null || true
  echo "== $t: ${SECONDS_EACH}s"
  if ! "$exe" "$work" -dict="$ROOT/fuzz/smpp.dict" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
       -max_total_time="$SECONDS_EACH" -print_final_stats=1 -artifact_prefix="$artifacts" \
       2> "$BUILD/$t.log"; then
    echo "fuzz: $t found something; see $BUILD/$t.log and $artifacts" >&2
    grep -E "ERROR|SUMMARY|Test unit written" "$BUILD/$t.log" >&2 || true
    failed+=("$t")
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$BUILD/$t.log" | sed "s/^/   /" || true
  grep -E "^#[0-9]+.*(DONE|cov:)" "$BUILD/$t.log" | tail -1 | sed "s/^/   /" || true
done

if ((${#failed[@]})); then
  echo "fuzz: findings or failures in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: no findings"
