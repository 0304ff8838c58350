"""Quantiles and distinct counts: the exact p99 of 1,000,000 events in 100
groups and 1 s windows through a stream pulled in micro-batches, next to a
Polars micro-batch loop that keeps the rows of open windows and aggregates
the windows that close; and the memory of one window's state at 1,000,000
values for the exact and the sketched aggregates (from the C++ core)."""
import subprocess

import numpy as np
import polars as pl

import _movra
from common import CORE_BENCH, compare, main, value

OURS = "movra stream, aggs quantile"
N = 1_000_000
GROUPS = 100
WIDTH_MS = 1000
SPAN_MS = 100_000  # 100 windows of 100 groups, 100 values each
CHUNK = 10_000


def columns():
    rng = np.random.default_rng(7)
    ts = np.sort(rng.integers(0, SPAN_MS, N))
    g = rng.integers(0, GROUPS, N).astype(np.int64)
    lat = rng.lognormal(3.0, 0.8, N)
    return ts, g, lat


def cases(_key=None):
    ts, g, lat = columns()
    plan = {"filters": [], "select": None, "mean": None, "watermark_ms": None, "allowed_lateness_ms": None,
            "event_id_field": None, "drop_late": None,
            "window": {"size_ms": WIDTH_MS, "by": ["g"], "time_field": "ts"},
            "aggs": [{"name": "p99", "op": "quantile", "field": "lat", "q": 0.99}]}
    # Both sides start from the same chunks of Python lists, as events
    # arrive, and turn each into their own form inside the loop.
    cols = {"ts": ts.tolist(), "g": g.tolist(), "lat": lat.tolist()}
    chunks = [{k: v[c:c + CHUNK] for k, v in cols.items()} for c in range(0, N, CHUNK)]

    def ours():
        stream = _movra.NativeStream.manual(batch_size=CHUNK, linger_ms=1, capacity=N)
        windows = 0
        for chunk in chunks:
            stream.emit_columns(chunk)
            if (out := stream.next_batch(plan, 0)) is not None:
                windows += len(out["p99"])
        stream.close()
        while (out := stream.next_batch(plan, 0)) is not None:
            windows += len(out["p99"])
        return windows

    def aggregate(df):
        return (df.group_by((pl.col("ts") - pl.col("ts") % WIDTH_MS).alias("start"), "g")
                .agg(pl.col("lat").quantile(0.99, "linear").alias("p99")).sort("start", "g"))

    def polars_loop():
        pending, windows = None, 0
        for chunk in chunks:
            df = pl.DataFrame(chunk)
            watermark = df["ts"].max()
            if pending is not None:
                df = pl.concat([pending, df])
            ends = pl.col("ts") - pl.col("ts") % WIDTH_MS + WIDTH_MS <= watermark
            done = aggregate(df.filter(ends))
            windows += done.height
            done.to_dict(as_series=False)
            pending = df.filter(~ends)
        return windows + aggregate(pending).height

    return [(OURS, ours), ("Polars micro-batch loop (concat, filter, group_by quantile)", polars_loop)]


def check_agree(built):
    fns = dict(built)
    counts = {name: fn() for name, fn in fns.items()}
    assert len(set(counts.values())) == 1, counts
    return counts[OURS]


def run():
    built = cases()
    windows = check_agree(built)
    compare(f"Exact p99 per 1 s window and group: {N:,} events, {GROUPS} groups, {windows:,} windows, "
            f"micro-batches of {CHUNK:,}", built, OURS, memory_key="p99",
            goal="at least 2x the Polars micro-batch loop")
    out = subprocess.run([CORE_BENCH, "sketches"], capture_output=True, text=True, check=True).stdout
    held = {}
    for line in out.split("\n"):
        if line:
            op, mem, saved = line.split()
            held[op] = (int(mem), int(saved))
    for exact, sketch in (("quantile", "approx_quantile"), ("count_distinct", "approx_count_distinct")):
        (em, _), (sm, ss) = held[exact], held[sketch]
        value(f"One window's state at 1,000,000 values: {sketch} vs {exact}",
              f"{sm:,} B in memory ({ss:,} B in a checkpoint) vs {em:,} B: {em / sm:,.0f}x less",
              goal="at most 8 KB per sketch; at least 5x less than exact")


if __name__ == "__main__":
    main(run, cases)
