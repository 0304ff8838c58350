"""movra.bars (open, high, low, close, volume, VWAP and count per window and
symbol) next to Polars (group_by_dynamic, and group_by on a floored time)
and DuckDB (1 and 2 threads), with the memory-read floor, on the four
shapes of the trade fast path's benchmark (10,000,000 rows, half of them
trades), with a quantity per row.

Each peer computes what a user would need for the same bars on that shape:
open and close follow time, so on shuffled rows Polars sorts by time first
(group_by_dynamic needs it anyway) and DuckDB uses arg_min/arg_max by time."""
import duckdb
import numpy as np
import polars as pl
import pyarrow as pa

import movra
from bench_numeric import N, SHAPES, arrays
from common import FLOOR_PREFIX, compare, main

OURS = "movra.bars"
FLOOR = f"{FLOOR_PREFIX} one NumPy pass reading each array once"


def bar_arrays(key):
    _, symbols, span_ms, _, shuffled, _ = SHAPES[key]
    ts, trade, sym, px = arrays(symbols, span_ms, shuffled)
    qty = np.random.default_rng(2).integers(1, 100, N).astype(np.float64)
    return ts, trade, sym, px, qty


def cases(key):
    _, _, _, w, shuffled, _ = SHAPES[key]
    ts, trade, sym, px, qty = bar_arrays(key)

    def ours():
        return movra.bars(ts, sym, px, qty, window=w, is_trade=trade)

    def floor():
        return int(ts.sum()) + int(trade.sum()) + int(sym.sum()) + float(px.sum()) + float(qty.sum())

    frame = pl.DataFrame({"ts": ts, "trade": trade, "sym": sym, "px": px, "qty": qty})
    bars = [pl.col("px").first().alias("open"), pl.col("px").max().alias("high"),
            pl.col("px").min().alias("low"), pl.col("px").last().alias("close"),
            pl.col("qty").sum().alias("volume"), ((pl.col("px") * pl.col("qty")).sum() / pl.col("qty").sum()).alias("vwap"),
            pl.len().alias("count")]

    def in_time_order(df):
        # group_by_dynamic needs its index sorted; first/last then follow time.
        if shuffled:
            return df.sort("ts", maintain_order=True)
        return df.with_columns(pl.col("ts").set_sorted())

    def polars_dynamic():
        df = in_time_order(frame.filter(pl.col("trade") != 0))
        return (df.group_by_dynamic("ts", every=f"{w}i", group_by="sym").agg(bars)
                .sort(["ts", "sym"]))

    def polars_floored():
        df = frame.filter(pl.col("trade") != 0)
        if shuffled:
            df = df.sort("ts", maintain_order=True)
        return (df.with_columns((pl.col("ts") // w * w).alias("start"))
                .group_by(["start", "sym"]).agg(bars).sort(["start", "sym"]))

    table = pa.table({"ts": ts, "trade": trade, "sym": sym, "px": px, "qty": qty})
    sql = (f"SELECT ts // {w} * {w} AS start, sym, arg_min(px, ts) AS open, max(px) AS high, min(px) AS low, "
           "arg_max(px, ts) AS close, sum(qty) AS volume, sum(px * qty) / sum(qty) AS vwap, count(*) AS count "
           "FROM trades WHERE trade <> 0 GROUP BY start, sym ORDER BY start, sym")

    def duckdb_case(threads):
        con = duckdb.connect()
        con.execute(f"SET threads = {threads}")
        con.register("trades", table)
        return lambda: con.execute(sql).fetchnumpy()

    return [(OURS, ours), (FLOOR, floor), ("Polars group_by_dynamic", polars_dynamic),
            ("Polars group_by on a floored time", polars_floored), ("DuckDB, 1 thread", duckdb_case(1)),
            ("DuckDB, 2 threads", duckdb_case(2))]


def check_peers_agree(built):
    """Every peer finds our groups, counts, highs and lows (not timed)."""
    fns = dict(built)
    out = fns[OURS]()
    for name, fn in built:
        if name in (OURS, FLOOR):
            continue
        got = fn()
        for c in ("count", "high", "low"):
            assert np.array_equal(np.asarray(got[c]), out[c]), (name, c)
        if name.startswith("Polars"):  # first/last in time, ties in row order: the same rule as ours
            for c in ("open", "close"):
                assert np.array_equal(np.asarray(got[c]), out[c]), (name, c)
    return len(out["count"])


def run():
    for key, (title, _, _, _, _, _) in SHAPES.items():
        built = cases(key)
        groups = check_peers_agree(built)
        compare(f"Market bars, shape {key}: {title}; {N:,} rows, {groups:,} groups", built, OURS,
                memory_key=key,
                goal="ahead of every peer; at most 3x the floor")


if __name__ == "__main__":
    main(run, cases)
