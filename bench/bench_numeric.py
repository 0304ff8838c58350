"""aggregate_trade_numeric next to NumPy, pandas, Polars (eager and lazy) and
DuckDB (1 and 2 threads) on the same arrays, with the memory-read floor, on
four shapes of 10,000,000 rows, half of them trades."""
import duckdb
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa

import _movra
from common import FLOOR_PREFIX, compare, main

N = 10_000_000
T0 = 1_700_000_000_000
OURS = "aggregate_trade_numeric"
FLOOR = f"{FLOOR_PREFIX} one NumPy pass reading each array once"
# key: (title, symbols, time span in ms, window in ms, shuffled, the floor's goal)
SHAPES = {
    "A": ("50 symbols, 1 s windows over one hour, sorted", 50, 3_600_000, 1000, False, 2),
    "B": ("5,000 symbols, 1 s windows over one minute, sorted", 5000, 60_000, 1000, False, 3),
    "C": ("100 symbols, 1 min windows over one hour, sorted", 100, 3_600_000, 60_000, False, 2),
    "D": ("50 symbols, 1 s windows over one hour, shuffled", 50, 3_600_000, 1000, True, 5),
}


def arrays(symbols, span_ms, shuffled, seed=1):
    rng = np.random.default_rng(seed)
    ts = np.sort(rng.integers(T0, T0 + span_ms, N))
    if shuffled:
        ts = rng.permutation(ts)
    return ts, rng.integers(0, 2, N).astype(np.uint8), rng.integers(0, symbols, N), rng.normal(100.0, 5.0, N)


def cases(key):
    _, symbols, span_ms, w, shuffled, _ = SHAPES[key]
    ts, trade, sym, val = arrays(symbols, span_ms, shuffled)
    stream = _movra.NativeStream.manual(1, 1, 1)

    def ours():
        return stream.aggregate_trade_numeric(ts, trade, sym, val, w)

    def floor():
        return int(ts.sum()) + int(trade.sum()) + int(sym.sum()) + float(val.sum())

    def numpy_vectorised():
        m = trade != 0
        t, y, v = ts[m], sym[m], val[m]
        start = (t // w) * w
        key = (start - start.min()) * (int(y.max()) + 1) + y
        uniq, inv = np.unique(key, return_inverse=True)
        return np.bincount(inv, weights=v) / np.bincount(inv), uniq

    frame = pd.DataFrame({"ts": ts, "trade": trade, "sym": sym, "val": val})

    def pandas_groupby():
        f = frame[frame["trade"] != 0]
        start = f["ts"] // w * w
        return f.groupby([start, f["sym"]])["val"].agg(["mean", "count"])

    eager = pl.DataFrame({"ts": ts, "trade": trade, "sym": sym, "val": val})

    def polars_query(df):
        return (df.filter(pl.col("trade") != 0)
                .with_columns((pl.col("ts") // w * w).alias("start"))
                .group_by(["start", "sym"]).agg(pl.col("val").mean().alias("mean"), pl.len().alias("count"))
                .sort(["start", "sym"]))

    def polars_eager():
        return polars_query(eager)

    def polars_lazy():
        return polars_query(eager.lazy()).collect()

    table = pa.table({"ts": ts, "trade": trade, "sym": sym, "val": val})
    sql = (f"SELECT ts // {w} * {w} AS start, sym, avg(val) AS mean, count(*) AS count FROM trades "
           "WHERE trade <> 0 GROUP BY start, sym ORDER BY start, sym")

    def duckdb_case(threads):
        con = duckdb.connect()
        con.execute(f"SET threads = {threads}")
        con.register("trades", table)
        return lambda: con.execute(sql).fetchnumpy()

    return [(OURS, ours), (FLOOR, floor), ("NumPy (unique + bincount)", numpy_vectorised),
            ("pandas groupby", pandas_groupby), ("Polars eager", polars_eager), ("Polars lazy", polars_lazy),
            ("DuckDB, 1 thread", duckdb_case(1)), ("DuckDB, 2 threads", duckdb_case(2))]


def check_peers_agree(built):
    """Every peer finds the same groups and counts as ours (not timed)."""
    fns = dict(built)
    out = fns[OURS]()
    groups, total = len(out["count"]), sum(out["count"])
    for name, fn in built:
        if name in (OURS, FLOOR):
            continue
        got = fn()
        n, counts = {
            "NumPy (unique + bincount)": lambda g: (len(g[1]), None),
            "pandas groupby": lambda g: (len(g), int(g["count"].sum())),
        }.get(name, lambda g: (len(g["count"]), int(np.asarray(g["count"]).sum())))(got)
        assert n == groups and counts in (None, total), (name, n, groups, counts, total)
    return groups


def run():
    for key, (title, _, _, _, _, floor_goal) in SHAPES.items():
        built = cases(key)
        groups = check_peers_agree(built)
        compare(f"Trade fast path, shape {key}: {title}; {N:,} rows, {groups:,} groups", built, OURS,
                memory_key=key,
                goal=f"ahead of every peer; at most {floor_goal}x the floor")


if __name__ == "__main__":
    main(run, cases)
