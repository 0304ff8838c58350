"""Shared helpers for the benchmarks: best-of timing, a ratio table, and the
records that bench/report.py turns into bench/RESULTS.md.

When MOVRA_BENCH_RESULTS names a file, every table and value printed here is
also appended to it as one JSON line, tagged with the benchmark's file name."""
import json
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORE_BENCH = os.path.join(ROOT, "build", "cpp", "movra_core_bench")


def best_of(fn, repeat=3):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def _record(entry):
    path = os.environ.get("MOVRA_BENCH_RESULTS")
    if path:
        entry["script"] = os.path.basename(sys.argv[0])
        with open(path, "a") as f:
            f.write(json.dumps(entry) + "\n")


def table(title, rows, ours, unit="ms", scale=1e3):
    """rows: [(name, seconds)]; ours: the name of our entry.  Prints each
    entry's time and its ratio to ours (above 1 means ours is faster)."""
    base = dict(rows)[ours]
    print(f"\n{title}")
    print(f"  {'':52s} {'time':>11s} {'vs ours':>9s}")
    for name, secs in rows:
        print(f"  {name:52s} {secs * scale:8.1f} {unit:2s} {secs / base:8.2f}x")
    _record({"kind": "comparison", "title": title, "ours": ours, "unit": unit,
             "rows": [[name, secs * scale] for name, secs in rows]})


def value(title, text):
    """A measurement with no peer to compare with."""
    print(f"{title}: {text}")
    _record({"kind": "value", "title": title, "text": text})
