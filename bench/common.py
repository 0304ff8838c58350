"""Shared helpers for the benchmarks: best-of timing and a ratio table."""
import time


def best_of(fn, repeat=3):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def table(title, rows, ours):
    """rows: [(name, seconds)]; ours: the name of our entry.  Prints each
    entry's time and its ratio to ours (above 1 means ours is faster)."""
    base = dict(rows)[ours]
    print(f"\n{title}")
    print(f"  {'':44s} {'time':>10s} {'vs ours':>9s}")
    for name, secs in rows:
        print(f"  {name:44s} {secs * 1e3:8.1f} ms {secs / base:8.2f}x")
