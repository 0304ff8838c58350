"""The NumPy trade aggregation fast path."""

import numpy as np
import pytest

import _movra
from conftest import runs_beside_other_threads

NativeStream = _movra.NativeStream
KEYS = ["window_start", "window_end", "symbol_id", "avg_value", "count"]


@pytest.fixture
def s():
    stream = NativeStream.manual(1, 1, 1)
    yield stream
    stream.close()


def agg(stream, ts, trade, sym, val, window_ms=1000):
    return stream.aggregate_trade_numeric(
        np.asarray(ts, dtype=np.int64), np.asarray(trade, dtype=np.uint8),
        np.asarray(sym, dtype=np.int64), np.asarray(val, dtype=np.float64), window_ms)


def test_example_rows(s):
    out = agg(s, [1500, 1999, 2000, 1500, 1200], [1, 1, 1, 0, 1], [7, 7, 7, 7, 3], [10.0, 20.0, 30.0, 99.0, 5.0])
    assert out == {"window_start": [1000, 1000, 2000], "window_end": [2000, 2000, 3000], "symbol_id": [3, 7, 7],
                   "avg_value": [5.0, 15.0, 30.0], "count": [1, 2, 1]}
    assert list(out) == KEYS
    assert all(type(v) is list for v in out.values())
    st = s.stats()
    assert (st["ingested"], st["output_batches"], st["output_rows"]) == (5, 1, 3)


@pytest.mark.parametrize("trade", [[], [0, 0, 0]])
def test_no_groups(s, trade):
    n = len(trade)
    out = agg(s, range(n), trade, [1] * n, [1.0] * n)
    assert out == {k: [] for k in KEYS}
    st = s.stats()
    assert (st["ingested"], st["output_batches"], st["output_rows"]) == (n, 1, 0)


@pytest.mark.parametrize(
    "arrays, window_ms, message",
    [
        (([], [], [], []), 0, "window_ms must be positive"),
        (([1], [1], [1], [1.0]), -5, "window_ms must be positive"),
        (([1, 2, 3], [1, 1, 1], [1, 1], [1.0, 1.0, 1.0]), 1000, "numeric columns must have equal length"),
        (([[1, 2]], [1, 1], [1, 1], [1.0]), 0, "numeric columns must be one-dimensional"),
        (([1, 2], [1, 1], 5, [1.0]), 0, "numeric columns must be one-dimensional"),
        ((3, [1], [1], [1.0]), 1000, "numeric columns must be one-dimensional"),
    ],
)
def test_validation_order(s, arrays, window_ms, message):
    ts, trade, sym, val = arrays
    with pytest.raises(ValueError, match=f"^{message}$"):
        s.aggregate_trade_numeric(ts, trade, sym, val, window_ms)
    assert set(s.stats().values()) == {0}


def test_trade_byte_and_forced_casts(s):
    out = s.aggregate_trade_numeric(
        timestamps=np.array([1500.7, 1600.2]), is_trade=np.array([True, False]),
        symbol_id=[4, 4], values=np.array([1, 2], dtype=np.int32), window_ms=1000)
    assert out["count"] == [1] and out["window_start"] == [1000]
    out = agg(s, [1, 2], [2, 255], [9, 9], [1.0, 3.0])
    assert out["count"] == [2] and out["avg_value"] == [2.0]
    out = s.aggregate_trade_numeric(np.arange(10)[::2], np.ones(5), np.zeros(5), np.ones(5), window_ms=1000)
    assert out["count"] == [5]


def test_every_symbol_and_window_is_exact(s):
    big = 2**20 + 5
    far = 2**45 * 1000  # beyond 44 bits of window start
    out = agg(s, [1500, 1500, 1500, -1, -1500, far], [1] * 6, [5, big, -1, -1, -1, 3], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0])
    assert out["window_start"] == [-1000, 0, 1000, 1000, 1000, far]
    assert out["symbol_id"] == [-1, -1, -1, 5, big, 3]
    assert out["window_end"] == [0, 1000, 2000, 2000, 2000, far + 1000]
    assert out["avg_value"] == [5.0, 4.0, 3.0, 1.0, 2.0, 6.0]


def test_values_are_added_in_row_order(s):
    vals = [1e16, 1.0, -1e16, 1.0]
    out = agg(s, [0] * 4, [1] * 4, [0] * 4, vals)
    assert out["avg_value"] == [(((1e16 + 1.0) - 1e16) + 1.0) / 4]


@pytest.mark.parametrize("order", ["random", "sorted", "sorted with late rows"])
def test_matches_a_numpy_model(s, order):
    rng = np.random.default_rng(3)
    n = 50000
    ts = rng.integers(-10**7, 10**7, n)
    if order != "random":
        ts = np.sort(ts)
    if order == "sorted with late rows":
        late = rng.integers(n // 2, n, 20)
        ts[late] -= 50000
    trade = rng.integers(0, 2, n).astype(np.uint8)
    sym = rng.integers(-3, 40, n)
    sym[::97] = rng.integers(8000, 9000, len(sym[::97]))
    val = rng.normal(size=n)
    out = agg(s, ts, trade, sym, val, window_ms=7000)
    m = trade != 0
    start = (np.trunc(ts[m] / 7000).astype(np.int64)) * 7000
    keys, inv = np.unique(np.stack([start, sym[m]], axis=1), axis=0, return_inverse=True)
    counts = np.bincount(inv.ravel())
    sums = np.bincount(inv.ravel(), weights=val[m])
    assert out["window_start"] == keys[:, 0].tolist()
    assert out["symbol_id"] == keys[:, 1].tolist()
    assert out["count"] == counts.tolist()
    np.testing.assert_allclose(out["avg_value"], sums / counts, rtol=1e-12)


def test_extreme_timestamps_do_not_overflow(s):
    lo, hi = np.iinfo(np.int64).min, np.iinfo(np.int64).max
    out = agg(s, [lo, hi, lo + 1], [1, 1, 1], [0, 0, 0], [1.0, 1.0, 1.0], window_ms=hi)
    assert out["window_start"] == [lo + 1, hi]
    assert out["count"] == [2, 1]
    assert out["window_end"] == [0, hi]  # the end saturates instead of wrapping


def test_other_threads_run_during_the_pass(s):
    n = 20_000_000
    ts = np.arange(n, dtype=np.int64)
    trade = np.ones(n, dtype=np.uint8)
    sym = ts % 50
    val = np.ones(n)
    assert runs_beside_other_threads(lambda: s.aggregate_trade_numeric(ts, trade, sym, val, 100000))
