#!/usr/bin/env bash
# Builds the benchmarks in build-bench (Release), runs them all and prints one
# summary table. Usage: bench/run.sh [--quick]
#   --quick  one repetition each and W=1000 only end to end (a smoke run).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build-bench}"
OUT="$BUILD/bench-results"
QUICK=0
[[ "${1:-}" == "--quick" ]] && QUICK=1

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_BENCH=ON >/dev/null
TARGETS=(velmor_bench_codec velmor_bench_memory velmor_bench_e2e velmor_bench_scale velmor_bench_scale10k
         velmor_bench_session velmor_bench_pool velmor_bench_window)
# The anchors need libsmpp34-dev (make bench installs it); without it the
# ratios are reported n/a.
grep -q '^VELMOR_LIBSMPP34:FILEPATH=/' "$BUILD/CMakeCache.txt" && TARGETS+=(velmor_bench_anchors)
# The receipt stores need libsqlite3-dev and libhiredis-dev (make test installs them).
grep -q '^SQLite3_LIBRARY:FILEPATH=/' "$BUILD/CMakeCache.txt" && TARGETS+=(velmor_bench_receipts)
cmake --build "$BUILD" -j "$(nproc)" --target "${TARGETS[@]}"
# The npm `smpp` client runs from the install tests/interop pins.
if command -v npm >/dev/null; then
  cmake -DNPM="$(command -v npm)" -DDIR="$ROOT/tests/interop" -P "$ROOT/tests/interop/NpmCi.cmake" >/dev/null
fi
mkdir -p "$OUT"
B="$BUILD/bench"

REPS=5; E2E_REPS=3; SCALE_RUNS=3; E2E_FILTER='.'; ROUNDS=3
if (( QUICK )); then REPS=1; E2E_REPS=1; SCALE_RUNS=1; E2E_FILTER='W:1000/'; ROUNDS=1; fi
rm -f "$OUT"/*.json
AGG=(--benchmark_report_aggregates_only=true --benchmark_out_format=json)

echo "== builders, decoders, framing ($REPS repetitions)"
"$B/velmor_bench_codec" --benchmark_repetitions=$REPS "${AGG[@]}" --benchmark_out="$OUT/codec.json"
echo "== heap per session, allocations per PDU"
"$B/velmor_bench_memory" --benchmark_out_format=json --benchmark_out="$OUT/memory.json"
echo "== end to end over loopback ($E2E_REPS repetitions)"
"$B/velmor_bench_e2e" --benchmark_filter="$E2E_FILTER" --benchmark_repetitions=$E2E_REPS "${AGG[@]}" \
  --benchmark_out="$OUT/e2e.json"
echo "== managed session next to the bare component, W=1000 ($E2E_REPS repetitions)"
"$B/velmor_bench_session" --benchmark_repetitions=$E2E_REPS "${AGG[@]}" --benchmark_out="$OUT/session.json"
echo "== session pool against the fast sink: one bind, eight binds over two threads ($E2E_REPS repetitions)"
"$B/velmor_bench_pool" --benchmark_repetitions=$E2E_REPS "${AGG[@]}" --benchmark_out="$OUT/pool.json"
echo "== 1,000 sessions ($SCALE_RUNS runs, one process each)"
for i in $(seq 1 $SCALE_RUNS); do
  "$B/velmor_bench_scale" --benchmark_out_format=json --benchmark_out="$OUT/scale-$i.json"
done

echo "== 10,000 idle bound sessions, component and session layer (one process each)"
"$B/velmor_bench_scale10k" --benchmark_filter='/layer:0' --benchmark_out_format=json --benchmark_out="$OUT/scale10k-component.json"
"$B/velmor_bench_scale10k" --benchmark_filter='/layer:1' --benchmark_out_format=json --benchmark_out="$OUT/scale10k-session.json"
if [[ -x "$B/velmor_bench_anchors" ]]; then
  echo "== peers against the fast sink, $ROUNDS rounds (each pair back to back)"
  for i in $(seq 1 $ROUNDS); do
    "$B/velmor_bench_anchors" --benchmark_out_format=json --benchmark_out="$OUT/anchors-$i.json"
  done
fi

echo "== throughput and round trips against the window, component / session / bare C ($E2E_REPS repetitions)"
"$B/velmor_bench_window" --benchmark_repetitions=$E2E_REPS "${AGG[@]}" --benchmark_out="$OUT/window.json"

if [[ -x "$B/velmor_bench_receipts" ]]; then
  echo "== submit_sm with a receipt each, W=1000, per receipt store (msgs_per_s, worst_pause_ms, vs_kannel_1600)"
  "$B/velmor_bench_receipts" --benchmark_out_format=json --benchmark_out="$OUT/receipts.json"
fi

echo "== load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 "$ROOT/bench/summary.py" "$OUT"
# The pictures of bench/README.md (gnuplot-nox, in BENCH_PKGS), written
# next to this script; a full run refreshes them.
if (( QUICK )); then
  python3 "$ROOT/bench/plot.py" "$OUT" "$OUT"
else
  python3 "$ROOT/bench/plot.py" "$OUT" "$ROOT/bench"
fi
