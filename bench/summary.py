#!/usr/bin/env python3
"""Prints the one summary table of bench/run.sh from its JSON results."""
import glob
import json
import os
import statistics
import sys

out = sys.argv[1]


def load(name):
    path = os.path.join(out, name)
    return json.load(open(path))["benchmarks"] if os.path.exists(path) else []


def median_of(runs, prefix):
    """The median aggregate of a repeated benchmark (or its single run)."""
    for b in runs:
        if b.get("run_name", b["name"]) == prefix and b.get("aggregate_name") == "median":
            return b
    for b in runs:
        if b.get("run_name", b["name"]) == prefix and b.get("run_type") == "iteration":
            return b
    return None


rows = []


def row(name, value, unit, target=None, ok=None):
    figure = "n/a" if value is None else f"{value:,.{0 if value >= 100 else 2}f} {unit}"
    met = "" if ok is None else ("yes" if ok else "NO")
    rows.append((name, figure, target or "-", met))


codec = load("codec.json")
for label, bench, target in [
    ("build submit_sm (160 oct, 3 TLVs)", "BM_Build_submit_sm", 80),
    ("build data_sm (1 KiB payload)", "BM_Build_data_sm", None),
    ("build submit_multi (10 dests)", "BM_Build_submit_multi", None),
    ("build bind", "BM_Build_bind", None),
    ("build enquire_link", "BM_Build_enquire_link", None),
    ("dispatch deliver_sm receipt (2 TLVs)", "BM_Dispatch_deliver_sm_receipt", 150),
    ("dispatch data_sm (5 TLVs)", "BM_Dispatch_data_sm_5tlv", None),
    ("dispatch submit_sm_resp", "BM_Dispatch_submit_sm_resp", None),
    ("dispatch submit_multi_resp (5 unsuccess)", "BM_Dispatch_submit_multi_resp_5", None),
]:
    b = median_of(codec, bench)
    v = b["cpu_time"] if b else None
    row(label + " [CPU]", v, "ns", f"<= {target} ns" if target else None,
        (v is not None and v <= target) if target else None)

for read in (0, 1460):
    for h in (0, 1):
        b = median_of(codec, f"BM_Framing/read:{read}/handlers:{h}")
        v = b["bytes_per_second"] / 1e9 if b else None
        label = f"framing 1 MiB mixed, {'one piece' if read == 0 else '1,460-octet reads'}" + \
                (", handlers" if h else ", no handlers")
        target = ">= 1 GB/s" if not h else None
        row(label + " [CPU]", v, "GB/s", target, (v is not None and v >= 1.0) if not h else None)

e2e = load("e2e.json")
for own in (1, 0):
    for w in (1, 10, 100, 1000):
        b = median_of(e2e, f"BM_EndToEnd_submit_sm/W:{w}/own_thread:{own}/iterations:1/manual_time")
        mode = "sim own thread" if own else "sim same loop"
        n = "50k msgs" if w == 1 else "1M msgs"
        v = b["msgs_per_s"] if b else None
        target = ">= 500,000/s" if (w == 1000 and own) else None
        row(f"e2e submit_sm W={w} ({mode}, {n})", v, "msg/s", target,
            (v is not None and v >= 500000) if target else None)
        row(f"  client CPU per msg W={w} ({mode})", b["client_cpu_us_per_msg"] if b else None, "us")

b = median_of(e2e, "BM_EndToEnd_submit_sm_tls/W:1000/own_thread:1/iterations:1/manual_time")
row("e2e submit_sm W=1000 over TLS (sim own thread, 1M msgs)", b["msgs_per_s"] if b else None, "msg/s")
row("  client CPU per msg W=1000 over TLS (sim own thread)", b["client_cpu_us_per_msg"] if b else None, "us")

sess = load("session.json")
bare = median_of(sess, "BM_Bare_submit_sm/iterations:1/manual_time")
managed = median_of(sess, "BM_Session_submit_sm/iterations:1/manual_time")
if bare and managed:
    share = managed["msgs_per_s"] / bare["msgs_per_s"] * 100
    row(f"session submit_sm W=1000 vs bare ({managed['msgs_per_s']:,.0f} vs {bare['msgs_per_s']:,.0f} msg/s)",
        share, "%", ">= 80 %", share >= 80)
    extra = (managed["client_cpu_us_per_msg"] - bare["client_cpu_us_per_msg"]) * 1000
    row("  session CPU per msg over bare", extra, "ns", "<= 150 ns", extra <= 150)

pool = load("pool.json")
for binds, threads in ((1, 1), (8, 2)):
    b = median_of(pool, f"BM_Pool_submit_sm/binds:{binds}/threads:{threads}/iterations:1/manual_time")
    what = "1 bind, 1 thread" if binds == 1 else f"{binds} binds over {threads} threads"
    row(f"pool submit_sm, {what} (fast sink, 1M msgs)", b["msgs_per_s"] if b else None, "msg/s")
    row(f"  client CPU per msg, {what}", b["client_cpu_us_per_msg"] if b else None, "us")

scale = [b for f in sorted(glob.glob(os.path.join(out, "scale-*.json")))
         for b in json.load(open(f))["benchmarks"] if b.get("run_type") == "iteration"]
ok_scale = [b for b in scale if "error_occurred" not in b]
row("1,000 sessions connect+bind+enquire+unbind",
    statistics.median(b["total_ms"] for b in ok_scale) if ok_scale else None, "ms")
row("  resident memory per session",
    statistics.median(b["rss_per_session_KiB"] for b in ok_scale) if ok_scale else None, "KiB")

for layer, label in ((0, "component"), (1, "with the session layer")):
    b = next((b for b in load(f"scale10k-{'session' if layer else 'component'}.json")
              if b.get("run_type") == "iteration" and "error_occurred" not in b), None)
    row(f"10,000 idle bound sessions, {label}: time to idle", b["to_idle_ms"] if b else None, "ms")
    row(f"  resident memory per session ({label})", b["rss_per_session_KiB"] if b else None, "KiB",
        "<= 16 KiB" if layer else None, (b["rss_per_session_KiB"] <= 16) if (b and layer) else None)
    row(f"  heap per session ({label})", b["heap_per_session_B"] if b else None, "B",
        "<= 16 KiB" if layer else None, (b["heap_per_session_B"] <= 16384) if (b and layer) else None)

mem = load("memory.json")
heap = next((b for b in mem if b["name"].startswith("BM_Heap_idle_session")), None)
if heap:
    row("heap per connected component", heap["heap_connected_B"], "B", "<= 16 KiB",
        heap["heap_connected_B"] <= 16384)
    row("heap per idle bound session", heap["heap_idle_bound_B"], "B", "<= 16 KiB",
        heap["heap_idle_bound_B"] <= 16384)
for b in mem:
    if b["name"].startswith("BM_Allocs_"):
        kind = b["name"].split("/")[0][len("BM_Allocs_"):]
        h = "handlers" if "handlers:1" in b["name"] else "no handlers"
        row(f"allocs/PDU {kind}, {h} (carried {b['carried']:.0f})", b["allocs_per_pdu"], "",
            "extra = 0", abs(b["extra"]) < 1e-9)


# ---- ratios against peers: bench/run.sh runs velmor_bench_anchors in rounds;
# each round measures a pair back to back, the ratio is taken per round and
# the median over the rounds is reported (X > 1: ours is faster).
rounds = [json.load(open(f))["benchmarks"] for f in sorted(glob.glob(os.path.join(out, "anchors-*.json")))]


def anchor(runs, name):
    return next((b for b in runs if b["name"] == name and "error_occurred" not in b), None)


def e2e_name(w, client):
    return f"BM_Anchor_e2e/W:{w}/client:{client}/iterations:1/manual_time"


RATIOS = [
    # (ratio name, ours, peer, figure of a run, faster means larger, target)
    ("build_submit_sm_vs_libsmpp34", "BM_Anchor_build_submit_sm/peer:0", "BM_Anchor_build_submit_sm/peer:1",
     "cpu_time", False, 100),
    ("decode_receipt_vs_libsmpp34", "BM_Anchor_decode_receipt/peer:0", "BM_Anchor_decode_receipt/peer:1",
     "cpu_time", False, 40),
    ("e2e_w1000_vs_bare_c", e2e_name(1000, 0), e2e_name(1000, 1), "msgs_per_s", True, 0.75),
    ("e2e_w1_vs_bare_c", e2e_name(1, 0), e2e_name(1, 1), "msgs_per_s", True, 0.97),
    ("e2e_w1000_vs_npm_smpp", e2e_name(1000, 0), e2e_name(1000, 3), "msgs_per_s", True, 150),
    ("session_vs_component_w1000", e2e_name(1000, 2), e2e_name(1000, 0), "msgs_per_s", True, 0.8),
]
ratio_lines = []
for name, ours, peer, key, larger, target in RATIOS:
    per_round = []
    for runs in rounds:
        a, b = anchor(runs, ours), anchor(runs, peer)
        if a and b and a[key] > 0 and b[key] > 0:
            per_round.append(a[key] / b[key] if larger else b[key] / a[key])
    x = statistics.median(per_round) if per_round else None
    ratio_lines.append(f"ratio {name} {'n/a' if x is None else f'{x:.3g}'}")
    row(f"ratio {name} (median of {len(per_round)} rounds)", x, "x", f">= {target}x",
        None if x is None else x >= target)
for client, label in ((0, "component"), (1, "bare C"), (2, "session"), (3, "npm smpp")):
    for w in (1, 1000):
        vals = [b["msgs_per_s"] for runs in rounds if (b := anchor(runs, e2e_name(w, client)))]
        cpu = [b["client_cpu_us_per_msg"] for runs in rounds if (b := anchor(runs, e2e_name(w, client)))]
        if vals:
            row(f"  fast sink, W={w}, {label}: msg/s (client CPU us/msg)", statistics.median(vals), "msg/s",
                f"{statistics.median(cpu):.3f} us/msg")
for bench, label in (("BM_Anchor_build_submit_sm", "build submit_sm"), ("BM_Anchor_decode_receipt", "decode receipt")):
    for peer, who in ((0, "ours"), (1, "libsmpp34")):
        vals = [b["cpu_time"] for runs in rounds if (b := anchor(runs, f"{bench}/peer:{peer}"))]
        if vals:
            row(f"  {label}, {who} [CPU]", statistics.median(vals), "ns")

w = [max(len(r[i]) for r in rows + [("benchmark", "figure", "target", "met?")]) for i in range(4)]
line = "+".join("-" * (x + 2) for x in w)
print("\n" + " | ".join(h.ljust(w[i]) for i, h in enumerate(("benchmark", "figure", "target", "met?"))))
print(line)
for r in rows:
    print(" | ".join(c.ljust(w[i]) if i != 1 else c.rjust(w[i]) for i, c in enumerate(r)))
print()
for line in ratio_lines:
    print(line)
