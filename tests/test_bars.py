"""movra.bars and NativeStream.aggregate_bars against two oracles: a plain Python
model (rows taken one by one, sums in row order: equal to the bit) and
pandas groupby on the truncated window start (sums within rounding)."""
import datetime
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _movra
import movra
from conftest import runs_beside_other_threads

COLUMNS = ["window_start", "window_end", "symbol", "open", "high", "low", "close", "volume", "vwap", "count"]


def window_start(t, w):
    """The trade path's grid: the quotient truncated toward zero."""
    return (abs(t) // w) * w * (1 if t >= 0 else -1)


def model(ts, sym, px, qty, w, mask=None):
    groups = {}
    for i in range(len(ts)):
        p, q, t = float(px[i]), float(qty[i]), int(ts[i])
        if (mask is not None and not mask[i]) or math.isnan(p) or math.isnan(q):
            continue
        key = (window_start(t, w), int(sym[i]))
        g = groups.get(key)
        if g is None:
            groups[key] = g = {"open": p, "ot": t, "close": p, "ct": t, "high": p, "low": p,
                               "volume": 0.0, "notional": 0.0, "count": 0}
        if t < g["ot"]:
            g["open"], g["ot"] = p, t
        if t >= g["ct"]:
            g["close"], g["ct"] = p, t
        g["high"] = p if g["high"] < p else g["high"]
        g["low"] = p if p < g["low"] else g["low"]
        g["volume"] += q
        g["notional"] += p * q
        g["count"] += 1
    out = {c: [] for c in COLUMNS}
    for (start, s), g in sorted(groups.items()):
        out["window_start"].append(start)
        out["window_end"].append(start + w)
        out["symbol"].append(s)
        for c in ("open", "high", "low", "close", "volume", "count"):
            out[c].append(g[c])
        out["vwap"].append(g["notional"] / g["volume"] if g["volume"] != 0 else math.nan)
    return out


def pandas_oracle(ts, sym, px, qty, w, mask=None):
    f = pd.DataFrame({"ts": ts, "sym": sym, "px": px, "qty": qty, "row": np.arange(len(ts))})
    keep = f["px"].notna() & f["qty"].notna()
    if mask is not None:
        keep &= np.asarray(mask) != 0
    f = f[keep]
    f["start"] = np.where(f["ts"] >= 0, f["ts"] // w, -((-f["ts"]) // w)) * w
    f["pq"] = f["px"] * f["qty"]
    f = f.sort_values(["start", "sym", "ts", "row"], kind="stable")
    g = f.groupby(["start", "sym"], sort=True).agg(
        open=("px", "first"), high=("px", "max"), low=("px", "min"), close=("px", "last"),
        volume=("qty", "sum"), notional=("pq", "sum"), count=("px", "size")).reset_index()
    vwap = np.where(g["volume"] != 0, g["notional"] / g["volume"].where(g["volume"] != 0, 1.0), np.nan)
    return {"window_start": g["start"].to_numpy(), "window_end": g["start"].to_numpy() + w,
            "symbol": g["sym"].to_numpy(), "open": g["open"].to_numpy(), "high": g["high"].to_numpy(),
            "low": g["low"].to_numpy(), "close": g["close"].to_numpy(), "volume": g["volume"].to_numpy(),
            "vwap": vwap, "count": g["count"].to_numpy()}


def assert_same(got, want, exact=True):
    assert list(got) == COLUMNS
    for c in COLUMNS:
        g, x = np.asarray(got[c]), np.asarray(want[c], dtype=np.asarray(got[c]).dtype)
        if exact or c not in ("volume", "vwap"):
            np.testing.assert_array_equal(g, x, err_msg=c, strict=False)
        else:
            np.testing.assert_allclose(g, x, rtol=1e-9, atol=1e-9, err_msg=c)


def random_rows(rng, n, *, symbols, span, shuffled, nan_share=0.0, t0=1_700_000_000_000):
    ts = np.sort(rng.integers(t0, t0 + span, n))
    if shuffled:
        ts = rng.permutation(ts)
    px = rng.normal(100.0, 5.0, n).round(2)
    qty = rng.integers(0, 100, n).astype(np.float64)
    if nan_share:
        px[rng.random(n) < nan_share] = np.nan
        qty[rng.random(n) < nan_share] = np.nan
    return ts, rng.integers(0, symbols, n), px, qty, rng.integers(0, 2, n).astype(np.uint8)


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("shuffled", [False, True])
@pytest.mark.parametrize("symbols, span, w", [
    (50, 3_600_000, 1000),        # dense table
    (5000, 60_000, 1000),         # many symbols
    (30, 5000, 1),                # 1 ms windows
    (10**12, 3_600_000, 60_000),  # sparse symbols: no table
])
def test_matches_pandas(seed, shuffled, symbols, span, w):
    rng = np.random.default_rng(seed)
    ts, sym, px, qty, mask = random_rows(rng, 30_000, symbols=symbols, span=span, shuffled=shuffled,
                                         nan_share=0.01)
    for m in (mask, None):
        got = movra.bars(ts, sym, px, qty, window=w, is_trade=m)
        assert_same(got, pandas_oracle(ts, sym, px, qty, w, m), exact=False)


def test_two_threads_match_pandas():
    # Over a million time-ordered rows the pass splits them between two threads.
    rng = np.random.default_rng(3)
    ts, sym, px, qty, mask = random_rows(rng, 1_200_000, symbols=40, span=600_000, shuffled=False)
    got = movra.bars(ts, sym, px, qty, window="250ms", is_trade=mask)
    assert_same(got, pandas_oracle(ts, sym, px, qty, 250, mask), exact=False)


rows = st.lists(st.tuples(st.integers(-5000, 5000), st.integers(-3, 3),
                          st.sampled_from([1.0, 2.5, -3.0, 0.0, 7.25, math.nan, 100.0]),
                          st.sampled_from([0.0, 1.0, 2.0, 0.5, -1.0, math.nan])),
                max_size=60)


@settings(max_examples=300, deadline=None)
@given(rows=rows, w=st.sampled_from([1, 7, 1000, 3000, 2**62]), masked=st.booleans(),
       mask_seed=st.integers(0, 2**32 - 1))
def test_matches_the_plain_model(rows, w, masked, mask_seed):
    ts = np.array([r[0] for r in rows], dtype=np.int64)
    sym = np.array([r[1] for r in rows], dtype=np.int64)
    px = np.array([r[2] for r in rows])
    qty = np.array([r[3] for r in rows])
    mask = np.random.default_rng(mask_seed).integers(0, 3, len(rows)).astype(np.uint8) if masked else None
    assert_same(movra.bars(ts, sym, px, qty, window=w, is_trade=mask), model(ts, sym, px, qty, w, mask))


@pytest.mark.parametrize("ts, want_start, want_end", [
    ([5], [0], [1000]),
    ([-1], [0], [1000]),            # truncated toward zero, as on the trade path
    ([-999, 999], [0], [1000]),
    ([-1000], [-1000], [0]),
    ([-1001, -1999], [-1000], [0]),
    ([1000, 1999], [1000], [2000]),
])
def test_window_grid(ts, want_start, want_end):
    n = len(ts)
    got = movra.bars(np.array(ts), np.zeros(n, dtype=np.int64), np.ones(n), np.ones(n), window="1s")
    assert got["window_start"].tolist() == want_start
    assert got["window_end"].tolist() == want_end
    assert got["count"].tolist() == [n]


def test_ties_in_time_open_first_close_last():
    ts = np.array([1200, 1500, 1200, 1900, 1100, 1900, 1900])
    px = np.array([11.0, 10.0, 12.0, 9.0, np.nan, 13.0, 8.0])
    got = movra.bars(ts, np.zeros(7, dtype=np.int64), px, np.ones(7), window=1000)
    assert (got["open"][0], got["close"][0]) == (11.0, 8.0)
    assert (got["high"][0], got["low"][0], got["count"][0]) == (13.0, 8.0, 6)


@pytest.mark.parametrize("px, qty, want", [
    ([10.0], [2.0], {"volume": [2.0], "vwap": [10.0], "count": [1]}),          # one row
    ([10.0, 20.0], [0.0, 0.0], {"volume": [0.0], "vwap": [math.nan], "count": [2]}),  # no volume
    ([10.0, 20.0], [1.0, -1.0], {"volume": [0.0], "vwap": [math.nan], "count": [2]}),
    ([10.0, 20.0], [1.0, 3.0], {"volume": [4.0], "vwap": [17.5], "count": [2]}),
    ([np.nan, 20.0], [5.0, 1.0], {"volume": [1.0], "vwap": [20.0], "count": [1]}),   # NaN price: left out
    ([10.0, 20.0], [np.nan, 1.0], {"volume": [1.0], "vwap": [20.0], "count": [1]}),  # NaN quantity too
    ([np.nan], [1.0], {"volume": [], "vwap": [], "count": []}),                      # no bar at all
    ([np.inf, 1.0], [1.0, 1.0], {"volume": [2.0], "vwap": [np.inf], "count": [2]}),  # infinities are prices
])
def test_volume_vwap_and_nan_rows(px, qty, want):
    n = len(px)
    got = movra.bars(np.arange(n), np.zeros(n, dtype=np.int64), np.array(px), np.array(qty), window="1h")
    for c, values in want.items():
        np.testing.assert_array_equal(got[c], np.array(values, dtype=got[c].dtype), err_msg=c)


def test_empty_and_all_masked():
    empty = movra.bars(np.array([], dtype=np.int64), [], [], [], window=5)
    assert all(len(empty[c]) == 0 for c in COLUMNS)
    assert empty["window_start"].dtype == np.int64 and empty["open"].dtype == np.float64
    masked = movra.bars([1, 2], [0, 0], [1.0, 2.0], [1.0, 1.0], is_trade=np.array([False, False]))
    assert len(masked["count"]) == 0


@pytest.mark.parametrize("mask", [np.array([1, 0, 2, 256]), np.array([True, False, True, True]),
                                  np.array([1, 0, 2, 1], dtype=np.uint8)])
def test_mask_counts_nonzero_entries(mask):
    got = movra.bars([0, 1, 2, 3], [0, 0, 0, 0], [1.0, 2.0, 3.0, 4.0], [1.0, 1.0, 1.0, 1.0], is_trade=mask)
    assert got["count"].tolist() == [3]
    assert got["high"].tolist() == [4.0]


def test_frames_and_labels():
    frame = pd.DataFrame({"ts": pd.to_datetime([0, 400, 1200, -1], unit="ms"),
                          "sym": pd.Categorical(["B", "A", "B", "A"]), "px": [1.0, 2.0, 3.0, 4.0],
                          "qty": [1, 2, 3, 4], "trade": [True, True, True, False]})
    got = movra.bars(frame, time="ts", symbol="sym", price="px", qty="qty", is_trade="trade", window="1s")
    assert got["symbol"].tolist() == ["A", "B", "B"]
    assert got["window_start"].dtype == np.dtype("datetime64[ms]")
    # A datetime of -1 ms floors to -1 ms; its window (truncated) starts at 0.
    assert got["window_start"].view(np.int64).tolist() == [0, 0, 1000]
    assert got["volume"].tolist() == [2.0, 1.0, 3.0]
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    plain = {"ts": [0, 5, 10], "sym": ["x", "y", "x"], "px": [1.0, 2.0, 3.0], "qty": [1.0, 1.0, 1.0]}
    names = {"time": "ts", "symbol": "sym", "price": "px", "qty": "qty", "window": 10}
    for data in (plain, pd.DataFrame(plain), pl.DataFrame(plain), pa.table(plain)):
        got = movra.bars(data, **names)
        assert got["symbol"].tolist() == ["x", "y", "x"]
        assert got["count"].tolist() == [1, 1, 1]
    assert isinstance(movra.bars(plain, **names, output="pandas"), pd.DataFrame)
    assert movra.bars(plain, **names, output="polars").columns == COLUMNS
    assert movra.bars(plain, **names, output="arrow").column_names == COLUMNS


@pytest.mark.parametrize("window, ms", [("250ms", 250), (datetime.timedelta(seconds=2), 2000), (7, 7),
                                        ("1m", 60_000)])
def test_window_spellings(window, ms):
    got = movra.bars([0, ms - 1, ms], [1, 1, 1], [1.0, 2.0, 3.0], [1.0, 1.0, 1.0], window=window)
    assert got["window_start"].tolist() == [0, ms]


@pytest.mark.parametrize("kwargs, error, text", [
    ({"window": 0}, ValueError, "window must be positive"),
    ({"window": "soon"}, ValueError, "window"),
    ({"window": 1.5}, TypeError, "window"),
    ({"prices": [1.0]}, ValueError, "prices has 1 rows, but timestamps has 2"),
    ({"is_trade": [1]}, ValueError, "is_trade has 1 rows"),
    ({"data": [0.5, 1.5]}, TypeError, "timestamps must be integer"),
    ({"quantities": ["a", "b"]}, TypeError, "quantities must be numbers"),
    ({"symbols": [1.0, 2.0]}, TypeError, "symbols must be integer ids"),
    ({"data": [[0, 1]]}, ValueError, "timestamps must be one-dimensional"),
    ({"quantities": None}, TypeError, "quantities is missing"),
    ({"output": "excel"}, ValueError, "output must be one of"),
])
def test_errors_name_the_argument(kwargs, error, text):
    args = {"data": [0, 1], "symbols": [0, 0], "prices": [1.0, 2.0], "quantities": [1.0, 1.0], **kwargs}
    with pytest.raises(error, match=text):
        movra.bars(**args)


def test_frame_errors_name_the_column():
    with pytest.raises(KeyError, match="price='px'"):
        movra.bars({"timestamp": [0], "symbol": [0], "price": [1.0], "quantity": [1.0]}, price="px")
    with pytest.raises(TypeError, match="name its columns"):
        movra.bars({"timestamp": [0]}, [0], [1.0], [1.0])


@pytest.mark.parametrize("arrays, message", [
    (([[0]], [0], [1.0], [1.0], 10, None), "numeric columns must be one-dimensional"),
    (([0], [0], [1.0], [1.0], 10, [[1]]), "numeric columns must be one-dimensional"),
    (([0, 1], [0], [1.0, 1.0], [1.0, 1.0], 10, None), "numeric columns must have equal length"),
    (([0], [0], [1.0], [1.0], 10, [1, 1]), "numeric columns must have equal length"),
    (([0], [0], [1.0], [1.0], 0, None), "window_ms must be positive"),
])
def test_core_validation(arrays, message):
    with pytest.raises(ValueError, match=message):
        _movra.NativeStream.aggregate_bars(*arrays)


def test_other_threads_run_during_the_pass():
    n = 20_000_000
    ts = np.arange(n, dtype=np.int64)
    sym = ts % 50
    px = np.ones(n)
    assert runs_beside_other_threads(lambda: _movra.NativeStream.aggregate_bars(ts, sym, px, px, 100000, None))
