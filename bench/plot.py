#!/usr/bin/env python3
"""Draws the window pictures of bench/README.md from velmor_bench_window's
JSON with gnuplot (Debian gnuplot-nox): throughput against window, and
round-trip p50/p99 against window, for the component, the managed session
and the bare C client. Usage: plot.py RESULTS_DIR OUT_DIR"""
import json
import os
import shutil
import subprocess
import sys

results, out_dir = sys.argv[1], sys.argv[2]
path = os.path.join(results, "window.json")
if not os.path.exists(path):
    sys.exit(f"plot.py: {path} missing (velmor_bench_window did not run)")
if not shutil.which("gnuplot"):
    sys.exit("plot.py: gnuplot not found (install gnuplot-nox: make bench)")

CLIENTS = {0: "component", 1: "managed session", 2: "bare C client"}
WINDOWS = (1, 10, 100, 1000)
rows = {}  # (client, window) -> benchmark entry
for b in json.load(open(path))["benchmarks"]:
    name = b.get("run_name", b["name"])
    if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
        continue
    parts = dict(p.split(":") for p in name.split("/")[1:3])
    rows[(int(parts["client"]), int(parts["W"]))] = b

data = os.path.join(results, "window.dat")
with open(data, "w") as f:
    for c, label in CLIENTS.items():
        f.write(f'# "{label}"\n')
        for w in WINDOWS:
            b = rows.get((c, w))
            if b:
                f.write(f'{w} {b["msgs_per_s"]:.0f} {b["rtt_p50_us"]:.2f} {b["rtt_p99_us"]:.2f}\n')
        f.write("\n\n")

common = f"""
set terminal svg size 640,400 dynamic noenhanced font "sans,11" background rgb "white"
set logscale xy
set format y "%.0s%c"
set xtics (1, 10, 100, 1000)
set xlabel "window (requests outstanding)"
set key top left
set grid
"""
throughput = os.path.join(out_dir, "throughput-vs-window.svg")
rtt = os.path.join(out_dir, "rtt-vs-window.svg")
plots = ", ".join(f'"{data}" index {i} using 1:2 with linespoints lw 2 lc {i + 1} title "{label}"'
                  for i, label in enumerate(CLIENTS.values()))
script = common + f"""
set output "{throughput}"
set title "submit_sm against the fast sink over loopback: throughput"
set ylabel "messages per second"
plot {plots}
"""
plots = ", ".join(f'"{data}" index {i} using 1:{col} with linespoints lw 2 lc {i + 1} dt {dt} title "{label} {q}"'
                  for i, label in enumerate(CLIENTS.values())
                  for col, q, dt in ((3, "p50", 1), (4, "p99", 2)))
script += f"""
set output "{rtt}"
set key top left font ",9"
set title "submit_sm against the fast sink over loopback: round trip"
set ylabel "microseconds, request made to response handled"
plot {plots}
"""
subprocess.run(["gnuplot"], input=script, text=True, check=True)
print(f"wrote {throughput} and {rtt}")
