"""emit_columns throughput next to a Polars frame and Python dicts built from the same lists, and
emit_json of one very wide event whatever the order of its keys."""
import _movra
import numpy as np
import polars as pl
from common import FLOOR_PREFIX, best_of, compare, main, table, value

N = 1_000_000


def columns():
    return {
        "id": list(range(N)),
        "price": [100.0 + (i % 1000) / 100 for i in range(N)],
        "symbol": [("AAPL", "MSFT", "NVDA", "GOOG")[i % 4] for i in range(N)],
        "buy": [bool(i & 1) for i in range(N)],
        "timestamp": [1_700_000_000_000 + i for i in range(N)],
    }


def run():
    cols = columns()

    def ours():
        s = _movra.NativeStream.manual(batch_size=N, linger_ms=10**9, capacity=N)
        s.emit_columns(cols)
        assert s.stats()["ingested"] == N
        s.close()  # the final cut is part of the cost of a round trip

    def pure_python():
        names = list(cols)
        values = [cols[k] for k in names]
        return [dict(zip(names, row)) for row in zip(*values)]

    def polars_frame():
        return pl.DataFrame(cols)

    got = compare(f"Intake: {N:,} rows x 5 columns", [("emit_columns (then close)", ours),
                                                      ("Polars: pl.DataFrame from the same lists", polars_frame),
                                                      ("pure Python: the same rows as dicts", pure_python)],
                  "emit_columns (then close)", goal="at or below Polars' cost per cell")
    t_ours = got["emit_columns (then close)"][0] / 1e3
    value("Intake: emit_columns per cell", f"{t_ours / (N * 5) * 1e9:.1f} ns ({N / t_ours / 1e6:.2f} M rows/s)")
    t_polars = got["Polars: pl.DataFrame from the same lists"][0] / 1e3
    value("Intake: pl.DataFrame per cell", f"{t_polars / (N * 5) * 1e9:.1f} ns")
    numpy_floats()
    wide_event()


def numpy_floats():
    """emit_columns of NumPy float64 arrays, read from their buffers, next to
    copying those buffers once."""
    i = np.arange(N, dtype=np.float64)
    arrays = {"a": i / 3, "b": i * 2.5, "c": -i, "timestamp": 1.7e12 + i}

    def ours():
        s = _movra.NativeStream.manual(batch_size=N, linger_ms=10**9, capacity=N)
        s.emit_columns(arrays)
        s.close()

    def copy_once():
        return [np.array(a, copy=True) for a in arrays.values()]

    got = compare(f"Intake: {N:,} rows x 4 NumPy float64 columns",
                  [("emit_columns(dict of float64 arrays) (then close)", ours),
                   (f"{FLOOR_PREFIX} copy the arrays' buffers once", copy_once)],
                  "emit_columns(dict of float64 arrays) (then close)", goal="within 2x of copying the buffers once")
    t_ours = got["emit_columns(dict of float64 arrays) (then close)"][0]
    floor = got[f"{FLOOR_PREFIX} copy the arrays' buffers once"][0]
    value("Intake: emit_columns of NumPy float64 per cell",
          f"{t_ours / 1e3 / (N * 4) * 1e9:.1f} ns ({t_ours / floor:.1f}x the buffer copy)")


def wide_event(n=40_000):
    keys = [f"k{i:07d}" for i in range(n)]
    ascending = dict.fromkeys(keys, 1)
    descending = dict.fromkeys(reversed(keys), 1)
    columns = {k: [1] for k in descending}
    s = _movra.NativeStream.manual(batch_size=10, linger_ms=10**9, capacity=10)

    def emit(event):
        return lambda: s.emit_json(event)

    rows = [
        ("emit_json, keys in descending order", best_of(emit(descending))[0]),
        ("emit_json, keys in ascending order", best_of(emit(ascending))[0]),
        ("emit_columns, the same keys, one row", best_of(lambda: s.emit_columns(columns))[0]),
        ("pure Python: sorted(event.items())", best_of(lambda: sorted(descending.items()))[0]),
    ]
    s.close()
    table(f"Intake: one event with {n:,} keys", rows, "emit_json, keys in descending order")


if __name__ == "__main__":
    main(run)
