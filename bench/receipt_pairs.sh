#!/usr/bin/env bash
# The memory store against the same run with receipts not matched: N
# alternating pairs, each row in a process of its own. Prints the median of
# the per-pair ratios (memory / unmatched msg/s), the ratio of the two rows'
# medians, and the same for the client thread's CPU per message (unmatched /
# memory), which the machine's speed moves less.
# Usage: bench/receipt_pairs.sh [BINARY] [N]
B=${1:-"$(dirname "$0")/../build-bench/bench/velmor_bench_receipts"}; N=${2:-12}
row() {
  "$B" --benchmark_filter="BM_Receipts_$1/" 2>/dev/null |
    grep -o 'client_cpu_us_per_msg=[0-9.]*\|msgs_per_s=[0-9.]*[kM]*' | sed 's/.*=//;s/k$/e3/;s/M$/e6/' | tr '\n' ' '
}
for i in $(seq "$N"); do
  if ((i % 2)); then u=$(row unmatched); m=$(row memory); else m=$(row memory); u=$(row unmatched); fi
  echo "$u $m"
done | python3 -c '
import sys, statistics as st
r = [list(map(float, l.split())) for l in sys.stdin if len(l.split()) == 4]  # u_cpu u_rate m_cpu m_rate
if not r: sys.exit("no complete pairs: is " + sys.argv[1] + " built?")
med = lambda xs: st.median(xs)
print("pairs %d" % len(r))
print("msg/s   median of ratios %.3f, ratio of medians %.3f (%.0f / %.0f)" % (
    med([m / u for _, u, _, m in r]), med([x[3] for x in r]) / med([x[1] for x in r]), med([x[3] for x in r]), med([x[1] for x in r])))
print("cpu/msg median of ratios %.3f (unmatched %.2f us, memory %.2f us)" % (
    med([uc / mc for uc, _, mc, _ in r]), med([x[0] for x in r]), med([x[2] for x in r])))
' "$B"
