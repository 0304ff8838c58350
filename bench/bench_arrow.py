"""The Arrow routes: events in from Arrow data and NumPy columns next to the
package's own conversion that they replace and to copying their buffers
once, and results out as Arrow next to the dict result that output="arrow"
was built from before and to copying the result's buffers once; and a
trade-shaped result (int, str, float, int) into lists next to Polars'
to_dict and as Arrow next to the buffer copy."""
import time

import _movra
import numpy as np
import pyarrow as pa
from common import FLOOR_PREFIX, Measured, compare, main, value

import movra
from movra._frames import columns_of

N = 1_000_000
PLAN = {"filters": [], "select": None, "window": None, "mean": None, "watermark_ms": None,
        "allowed_lateness_ms": None, "event_id_field": None, "drop_late": None}


def numeric_columns():
    i = np.arange(N, dtype=np.int64)
    return {"id": i, "price": 100.0 + (i % 1000) / 100, "qty": (i % 50).astype(np.int32),
            "timestamp": 1_700_000_000_000 + i}


def copy_buffers(table):
    """The floor: every column's buffers copied once, into new memory."""
    return [np.array(c.chunk(0).to_numpy(zero_copy_only=True), copy=True) for c in table.columns]


def intake_cases():
    arrays = numeric_columns()
    table = pa.table(arrays)

    def core_arrow():
        s = _movra.NativeStream.manual(batch_size=N, linger_ms=10**9, capacity=N)
        s.emit_arrow(table)
        s.close()

    def package(data):
        def run():
            with movra.manual(batch_size=N, capacity=N) as s:
                s.emit_columns(data)
        return run

    def package_conversion():
        # What Stream.emit_columns did with a table before the Arrow route.
        s = _movra.NativeStream.manual(batch_size=N, linger_ms=10**9, capacity=N)
        columns = columns_of(table)
        for start in range(0, N, 16_384):
            s.emit_columns(columns.take(start, min(start + 16_384, N)))
        s.close()

    return [("core emit_arrow(pyarrow Table) (then close)", core_arrow),
            ("Stream.emit_columns(pyarrow Table): the Arrow route", package(table)),
            ("Stream.emit_columns(dict of NumPy arrays): the Arrow route", package(arrays)),
            ("before: the package's conversion of the table, in chunks", package_conversion),
            (f"{FLOOR_PREFIX} copy the table's buffers once", lambda: copy_buffers(table))]


def filled_stream():
    s = _movra.NativeStream.manual(batch_size=N, linger_ms=10**9, capacity=N)
    s.emit_arrow(pa.table(numeric_columns()))
    s.close()
    return s


def timed_result(take):
    """Seconds of one take(stream) on a stream holding N ready rows; the
    filling is not timed."""
    def run():
        s = filled_stream()
        t0 = time.perf_counter()
        result = take(s)
        elapsed = time.perf_counter() - t0
        del result
        return Measured(elapsed)
    return run


def output_cases():
    table = pa.table(filled_stream().next_batch_arrow(PLAN, 0))
    return [("next_batch_arrow + pyarrow.table", timed_result(lambda s: pa.table(s.next_batch_arrow(PLAN, 0)))),
            ("next_batch + pyarrow.table(dict) (output='arrow' before)",
             timed_result(lambda s: pa.table(s.next_batch(PLAN, 0)))),
            ("next_batch (the dict alone)", timed_result(lambda s: s.next_batch(PLAN, 0))),
            (f"{FLOOR_PREFIX} copy the result's buffers once", lambda: copy_buffers(table))]


def trade_frame_data():
    """Goal 3's shape: int ts, str sym, float px, int qty."""
    i = np.arange(N, dtype=np.int64)
    syms = np.array(["AAPL", "MSFT", "GOOG", "AMZN", "TSLA", "NVDA", "META", "NFLX"])
    return {"ts": 1_700_000_000_000 + i, "sym": syms[i % 8], "px": 100.0 + (i % 1000) / 100, "qty": (i % 50) * 10}


# The four columns only, not the stamped "timestamp": the peer's frame has four.
TRADE_PLAN = dict(PLAN, select=["ts", "sym", "px", "qty"])


def copy_all_buffers(table):
    """The floor for any column types: every buffer of every column copied
    once, into new memory."""
    return [np.frombuffer(b, np.uint8).copy() for c in table.columns for b in c.chunk(0).buffers()
            if b is not None]


def trade_result_cases():
    import polars as pl
    data = trade_frame_data()
    table = pa.table(data)
    frame = pl.DataFrame(data)

    def filled():
        s = _movra.NativeStream.manual(batch_size=N, linger_ms=10**9, capacity=N)
        s.emit_arrow(table)
        s.close()
        return s

    def timed(take):
        def run():
            s = filled()
            t0 = time.perf_counter()
            result = take(s)
            elapsed = time.perf_counter() - t0
            del result
            return Measured(elapsed)
        return run

    return [("next_batch (lists)", timed(lambda s: s.next_batch(TRADE_PLAN, 0))),
            ("polars.DataFrame.to_dict(as_series=False)", lambda: frame.to_dict(as_series=False)),
            ("next_batch_arrow + pyarrow.table", timed(lambda s: pa.table(s.next_batch_arrow(TRADE_PLAN, 0)))),
            (f"{FLOOR_PREFIX} copy the result's buffers once", lambda: copy_all_buffers(table))]


def builders(key):
    return {"intake": intake_cases, "output": output_cases, "trades": trade_result_cases}[key]()


def run():
    got = compare(f"Arrow intake: {N:,} rows x 4 numeric columns", intake_cases(),
                  "core emit_arrow(pyarrow Table) (then close)", memory_key="intake",
                  goal="within 2x of copying the buffers once")
    floor = got[f"{FLOOR_PREFIX} copy the table's buffers once"][0]
    value("Arrow intake: emit_arrow per cell", f"{got['core emit_arrow(pyarrow Table) (then close)'][0] / 1e3 / (N * 4) * 1e9:.1f} ns"
          f" ({got['core emit_arrow(pyarrow Table) (then close)'][0] / floor:.1f}x the buffer copy)")
    got = compare(f"Arrow results: pass-through of {N:,} rows x 4 columns", output_cases(),
                  "next_batch_arrow + pyarrow.table", goal="within 2x of copying the buffers once")
    floor = got[f"{FLOOR_PREFIX} copy the result's buffers once"][0]
    value("Arrow results: next_batch_arrow against the buffer copy",
          f"{got['next_batch_arrow + pyarrow.table'][0] / floor:.0f}x")
    got = compare(f"Results out: pass-through of {N:,} rows of int ts, str sym, float px, int qty",
                  trade_result_cases(), "next_batch (lists)",
                  goal="lists at or below polars to_dict; Arrow within 2x of copying the buffers once")
    floor = got[f"{FLOOR_PREFIX} copy the result's buffers once"][0]
    value("Results out: next_batch_arrow against the buffer copy",
          f"{got['next_batch_arrow + pyarrow.table'][0] / floor:.1f}x")


if __name__ == "__main__":
    main(run, builders)
