#!/usr/bin/env bash
# The memory store against the same run with receipts not matched: N
# alternating pairs, each row in a process of its own; prints each pair's
# ratio (memory / unmatched msg/s) and their median.
# Usage: bench/receipt_pairs.sh [BINARY] [N]
B=${1:-"$(dirname "$0")/../build-bench/bench/velmor_bench_receipts"}; N=${2:-12}
rate() { "$B" --benchmark_filter="BM_Receipts_$1/" 2>/dev/null | grep -o 'msgs_per_s=[0-9.]*[kM]' | sed 's/msgs_per_s=//;s/k$/e3/;s/M$/e6/'; }
for i in $(seq $N); do
  if (( i % 2 )); then u=$(rate unmatched); m=$(rate memory); else m=$(rate memory); u=$(rate unmatched); fi
  python3 -c "print('%.3f' % ($m/$u))"
done | sort -n | tee /dev/stderr | awk '{a[NR]=$1} END {print "median", (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'
