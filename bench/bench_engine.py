"""(a) emit_columns then next_batch with a pass-through plan, end to end;
(b) aggregate_columns with a windowed plan next to pandas on the same data."""
import numpy as np
import pandas as pd

import _movra
from common import compare, main, min_median, value

N = 1_000_000
PASS_THROUGH = {"filters": [], "select": None, "window": None, "mean": None, "watermark_ms": None,
                "allowed_lateness_ms": None, "event_id_field": None, "drop_late": False}
WINDOWED = dict(PASS_THROUGH, window={"seconds": 10, "by": "g", "time_field": "timestamp"},
                mean={"field": "v", "alias": "avg"})


def data():
    rng = np.random.default_rng(5)
    ts = np.sort(rng.integers(0, 3_600_000, N))
    groups = rng.integers(0, 100, N)
    return {
        "timestamp": ts.tolist(),
        "g": [f"G{g:03d}" for g in groups],
        "v": rng.normal(100, 10, N).tolist(),
    }


def run():
    cols = data()

    def end_to_end():
        s = _movra.NativeStream.manual(batch_size=N, linger_ms=10**9, capacity=N)
        s.emit_columns(cols)
        s.close()
        rows = 0
        while (out := s.next_batch(PASS_THROUGH, timeout_ms=0)) is not None:
            rows += len(out["v"])
        assert rows == N

    t_e2e, t_med = min_median(end_to_end)
    value(f"Engine: emit_columns + next_batch pass-through, {N:,} rows",
          f"min {t_e2e * 1e3:.0f} ms, median {t_med * 1e3:.0f} ms = {N / t_e2e / 1e6:.2f} M rows/s end to end")

    def ours():
        s = _movra.NativeStream.manual(1, 1, 1)
        out = s.aggregate_columns(cols, WINDOWED)
        s.close()
        return out

    frame = pd.DataFrame(cols)

    def pandas_from_lists():
        df = pd.DataFrame(cols)
        df["window_start"] = df["timestamp"] // 10000 * 10000
        return df.groupby(["window_start", "g"])["v"].agg(["mean", "count"])

    def pandas_prebuilt():
        start = frame["timestamp"] // 10000 * 10000
        return frame.groupby([start, frame["g"]])["v"].agg(["mean", "count"])

    out, ref = ours(), pandas_from_lists()
    assert sum(out["count"]) == N and len(out["count"]) == len(ref)
    compare(f"Engine: windowed aggregate, {N:,} rows, {len(ref):,} groups (10 s windows x 100 groups)",
            [("aggregate_columns (lists in, lists out)", ours),
             ("pandas groupby from the same lists", pandas_from_lists),
             ("pandas groupby on a prebuilt DataFrame", pandas_prebuilt)], "aggregate_columns (lists in, lists out)")


if __name__ == "__main__":
    main(run)
