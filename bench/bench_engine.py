"""(a) emit_columns then next_batch with a pass-through plan, end to end;
(b) aggregate_columns with a windowed plan next to pandas on the same data;
(c) a windowed stream fed in chunks, each chunk emitted then taken at once,
next to a Polars micro-batch loop and a plain Python dict loop doing the same
work, without and with de-duplication, watermark and lateness; (d) the same
stream through an aggregate plan with eight aggregates next to a Polars loop."""
import numpy as np
import pandas as pd
import polars as pl

import movra

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

    streaming()


CHUNKS = 100
WIDTH_MS = 1000


def stream_chunks():
    """N events over 100 symbols in CHUNKS chunks, four events a millisecond
    (about 40 a window and symbol): times mostly rising with up to 3 s of
    disorder, one id in fifty a repeat of an earlier one."""
    rng = np.random.default_rng(7)
    ts = (np.arange(N) // 4 + rng.integers(-3000, 50, N)).clip(0)
    ids = np.arange(N)
    repeats = rng.random(N) < 0.02
    ids[repeats] = (ids[repeats] * rng.random(int(repeats.sum()))).astype(np.int64)
    sym = rng.integers(0, 100, N)
    cols = {"id": [f"ev-{i:08d}" for i in ids], "timestamp": ts.tolist(),
            "sym": [f"S{k:03d}" for k in sym], "px": rng.normal(100, 5, N).tolist()}
    step = N // CHUNKS
    return [{k: v[c:c + step] for k, v in cols.items()} for c in range(0, N, step)]


def stream_plan(dedup):
    plan = dict(PASS_THROUGH, window={"seconds": WIDTH_MS // 1000, "by": "sym", "time_field": "timestamp"},
                mean={"field": "px", "alias": "avg"})
    if dedup:
        plan.update(event_id_field="id", watermark_ms=2000, allowed_lateness_ms=500, drop_late=True)
    return plan


def stream_ours(chunks, plan):
    s = _movra.NativeStream.manual(batch_size=N // CHUNKS, linger_ms=1, capacity=N)
    closed = 0
    for chunk in chunks:
        s.emit_columns(chunk)
        if (out := s.next_batch(plan, 0)) is not None:
            closed += sum(out["count"])
    s.close()
    while (out := s.next_batch(plan, 0)) is not None:
        closed += sum(out["count"])
    return closed


def stream_package(chunks, dedup):
    """The same through the package: `Stream.emit_columns` and `poll` per
    chunk, then `batches()` to the end."""
    late = dict(dedup="id", watermark=2000, lateness=500, drop_late=True) if dedup else dict(drop_late=False)
    plan = movra.Plan(window=WIDTH_MS, by="sym", mean="px", alias="avg", **late)
    s = movra.manual(batch_size=N // CHUNKS, linger_ms=1, capacity=N)
    closed = 0
    for chunk in chunks:
        s.emit_columns(chunk)
        if (out := s.poll(plan)) is not None:
            closed += sum(out["count"])
    s.close()
    for out in s.batches(plan):
        closed += sum(out["count"])
    return closed


def stream_python(chunks, dedup):
    """Closed windows leave as rows, as lists of the Python values leave the
    stream and the Polars loop."""
    wm, late_ms = (2000, 500) if dedup else (0, 0)
    seen, windows, closed, rows = set(), {}, 0, []
    max_t = None
    for chunk in chunks:
        for i, t, sym, px in zip(chunk["id"], chunk["timestamp"], chunk["sym"], chunk["px"]):
            if dedup:
                if i in seen:
                    continue
                seen.add(i)
            max_t = t if max_t is None or t > max_t else max_t
            if dedup and t + late_ms < max_t - wm:
                continue
            key = (t - t % WIDTH_MS, sym)
            agg = windows.get(key)
            if agg is None:
                windows[key] = [px, 1]
            else:
                agg[0] += px
                agg[1] += 1
        threshold = max_t - wm - late_ms
        done = sorted(k for k in windows if k[0] + WIDTH_MS <= threshold)
        for k in done:
            total, count = windows.pop(k)
            rows.append((k[0], k[0] + WIDTH_MS, k[1], total / count, count))
            closed += count
    return closed + sum(c for _, c in windows.values())


def stream_polars(chunks, dedup):
    wm, late_ms = (2000, 500) if dedup else (0, 0)
    seen, state, closed = set(), None, 0
    max_t = None
    for chunk in chunks:
        df = pl.DataFrame(chunk)
        if dedup:
            keep = [not (i in seen or seen.add(i)) for i in chunk["id"]]
            df = df.filter(pl.Series(keep))
        prev = max_t if max_t is not None else df["timestamp"][0]
        df = df.with_columns(running=pl.max_horizontal(pl.col("timestamp").cum_max(), pl.lit(prev)))
        max_t = df["running"][-1]
        if dedup:
            df = df.filter(pl.col("timestamp") + late_ms >= pl.col("running") - wm)
        part = (df.group_by((pl.col("timestamp") - pl.col("timestamp") % WIDTH_MS).alias("ws"), "sym")
                .agg(pl.col("px").sum().alias("total"), pl.len().alias("n")))
        if state is not None:
            part = pl.concat([state, part]).group_by("ws", "sym").agg(pl.col("total").sum(), pl.col("n").sum())
        ends = pl.col("ws") + WIDTH_MS <= max_t - wm - late_ms
        done = part.filter(ends).sort("ws", "sym").with_columns(avg=pl.col("total") / pl.col("n"))
        closed += int(done["n"].sum())
        done.to_dict(as_series=False)
        state = part.filter(~ends)
    return closed + int(state["n"].sum())


AGGS_PLAN = dict(PASS_THROUGH, window={"size_ms": WIDTH_MS, "by": "sym", "time_field": "timestamp"},
                 watermark_ms=4000, aggs=[
                     {"name": "open", "op": "first", "field": "px"}, {"name": "high", "op": "max", "field": "px"},
                     {"name": "low", "op": "min", "field": "px"}, {"name": "close", "op": "last", "field": "px"},
                     {"name": "volume", "op": "sum", "field": "px"}, {"name": "n", "op": "count", "field": None},
                     {"name": "avg", "op": "mean", "field": "px"}, {"name": "sd", "op": "stddev", "field": "px"}])


def stream_ours_aggs(chunks):
    s = _movra.NativeStream.manual(batch_size=N // CHUNKS, linger_ms=1, capacity=N)
    closed = 0
    for chunk in chunks:
        s.emit_columns(chunk)
        if (out := s.next_batch(AGGS_PLAN, 0)) is not None:
            closed += sum(out["n"])
    s.close()
    while (out := s.next_batch(AGGS_PLAN, 0)) is not None:
        closed += sum(out["n"])
    return closed


def stream_polars_aggs(chunks):
    """The same eight aggregates by a Polars loop that keeps the rows of the
    open windows and aggregates a window's rows when it closes."""
    pending, max_t, closed = None, None, 0

    def aggregate(df):
        return (df.sort("timestamp", maintain_order=True)
                .group_by((pl.col("timestamp") - pl.col("timestamp") % WIDTH_MS).alias("ws"), "sym")
                .agg(open=pl.col("px").first(), high=pl.col("px").max(), low=pl.col("px").min(),
                     close=pl.col("px").last(), volume=pl.col("px").sum(), n=pl.len(), avg=pl.col("px").mean(),
                     sd=pl.col("px").std()).sort("ws", "sym"))

    for chunk in chunks:
        df = pl.DataFrame(chunk).select("timestamp", "sym", "px")
        max_t = max(max_t if max_t is not None else df["timestamp"][0], df["timestamp"].max())
        if pending is not None:
            df = pl.concat([pending, df])
        ends = pl.col("timestamp") - pl.col("timestamp") % WIDTH_MS + WIDTH_MS <= max_t - 4000
        done = aggregate(df.filter(ends))
        closed += int(done["n"].sum())
        done.to_dict(as_series=False)
        pending = df.filter(~ends)
    return closed + int(aggregate(pending)["n"].sum())


def streaming_aggs():
    chunks = stream_chunks()
    assert stream_ours_aggs(chunks) == stream_polars_aggs(chunks) == N
    compare(f"Engine: aggregate plan stream, {N:,} rows in {CHUNKS} chunks, 100 symbols, 1 s windows, "
            "8 aggregates (OHLCV, count, mean, stddev)",
            [("emit_columns + next_batch per chunk", lambda: stream_ours_aggs(chunks)),
             ("Polars micro-batch loop", lambda: stream_polars_aggs(chunks))],
            "emit_columns + next_batch per chunk", goal="at least 2x the Polars loop")


def streaming():
    chunks = stream_chunks()
    for dedup in (False, True):
        plan = stream_plan(dedup)
        expected = stream_python(chunks, dedup)
        assert stream_ours(chunks, plan) == expected == stream_polars(chunks, dedup) == stream_package(chunks, dedup)
        what = "de-duplication + watermark + lateness" if dedup else "no de-duplication"
        compare(f"Engine: windowed stream, {N:,} rows in {CHUNKS} chunks of emit_columns + next_batch, "
                f"100 symbols, 1 s windows, {what}",
                [("emit_columns + next_batch per chunk", lambda: stream_ours(chunks, plan)),
                 ("the package: Stream.emit_columns + poll, then batches()", lambda: stream_package(chunks, dedup)),
                 ("Polars micro-batch loop", lambda: stream_polars(chunks, dedup)),
                 ("plain Python dict loop", lambda: stream_python(chunks, dedup))],
                "emit_columns + next_batch per chunk")
    streaming_aggs()


if __name__ == "__main__":
    main(run)
