"""aggregate_trade_numeric next to the memory-read limit, NumPy, pandas and
polars, on the same arrays, in one run."""
import numpy as np
import pandas as pd
import polars as pl

import _movra
from common import best_of, table

N = 10_000_000


def shape(symbols, span_ms, seed):
    rng = np.random.default_rng(seed)
    ts = np.sort(rng.integers(1_700_000_000_000, 1_700_000_000_000 + span_ms, N))
    return ts, rng.integers(0, 2, N).astype(np.uint8), rng.integers(0, symbols, N), rng.normal(100.0, 5.0, N)


def run(title, ts, trade, sym, val, window_ms=1000):
    s = _movra.NativeStream.manual(1, 1, 1)

    def ours():
        return s.aggregate_trade_numeric(ts, trade, sym, val, window_ms)

    def memory_read():
        return int(ts.sum()) + int(trade.sum()) + int(sym.sum()) + float(val.sum())

    def numpy_vectorised():
        m = trade != 0
        t, y, v = ts[m], sym[m], val[m]
        start = (t // window_ms) * window_ms
        key = (start - start.min()) * (int(y.max()) + 1) + y
        uniq, inv = np.unique(key, return_inverse=True)
        return np.bincount(inv, weights=v) / np.bincount(inv), uniq

    frame = pd.DataFrame({"ts": ts, "trade": trade, "sym": sym, "val": val})

    def pandas_groupby():
        f = frame[frame["trade"] != 0]
        start = f["ts"] // window_ms * window_ms
        return f.groupby([start, f["sym"]])["val"].agg(["mean", "count"])

    lazy = pl.DataFrame({"ts": ts, "trade": trade, "sym": sym, "val": val})

    def polars_group_by():
        return (lazy.filter(pl.col("trade") != 0)
                .with_columns((pl.col("ts") // window_ms * window_ms).alias("start"))
                .group_by(["start", "sym"]).agg(pl.col("val").mean().alias("mean"), pl.len().alias("count"))
                .sort(["start", "sym"]))

    t_ours, out = best_of(ours, 5)
    rows = [("aggregate_trade_numeric", t_ours),
            ("memory-read limit (one NumPy pass over each array)", best_of(memory_read, 5)[0]),
            ("NumPy vectorised (unique + bincount)", best_of(numpy_vectorised)[0]),
            ("pandas groupby", best_of(pandas_groupby)[0]),
            ("polars group_by", best_of(polars_group_by)[0])]
    table(f"Trade fast path, {title}: {N:,} rows, {len(out['count']):,} groups", rows,
          "aggregate_trade_numeric")
    s.close()


def main():
    run("50 symbols, 1 s windows over one hour", *shape(50, 3_600_000, 1))
    run("5,000 symbols, 1 s windows over one minute", *shape(5000, 60_000, 2))


if __name__ == "__main__":
    main()
