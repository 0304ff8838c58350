"""Events into a movra stream: every input kind gives the windows the same
data gives as Python lists, values keep their type, and what the engine
would store wrongly or drop is refused or reported."""
import datetime
import warnings

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import movra

PLAN = movra.Plan(window="1s", by="sym", mean="price")
BASE = 1_700_000_000_000
LISTS = {"sym": ["A", "B", "A", "B", "A"], "price": [1.0, 2.0, 3.0, 4.5, 5.25],
         "qty": [1, 2, 3, 4, 5], "timestamp": [BASE, BASE + 400, BASE + 900, BASE + 1200, BASE + 2500]}


def windows(data, plan=PLAN):
    with movra.manual(linger_ms=1) as s:
        s.emit_columns(data)
        s.close()
        return [b for b in s.batches(plan)]


def as_numpy(d):
    return {"sym": np.array(d["sym"]), "price": np.array(d["price"], np.float32),
            "qty": np.array(d["qty"], np.int16), "timestamp": np.array(d["timestamp"], np.uint64)}


def as_datetime64(d):
    return dict(as_numpy(d), timestamp=np.array(d["timestamp"], "datetime64[ms]").astype("datetime64[ns]"))


def as_pandas(d):
    frame = pd.DataFrame(d).astype({"sym": "category", "qty": "Int64"})
    frame["timestamp"] = pd.to_datetime(frame["timestamp"], unit="ms", utc=True).dt.tz_convert("Asia/Tokyo")
    return frame.set_index("timestamp")


def as_polars(d):
    return pl.DataFrame(d).with_columns(pl.col("sym").cast(pl.Categorical),
                                        pl.from_epoch("timestamp", time_unit="ms").dt.replace_time_zone("UTC"))


def as_arrow(d):
    return pa.table({"sym": pa.array(d["sym"]).dictionary_encode(), "price": pa.array(d["price"], pa.float32()),
                     "qty": pa.array(d["qty"], pa.int8()),
                     "timestamp": pa.array([t * 1000 for t in d["timestamp"]], pa.timestamp("us", tz="UTC"))})


@pytest.mark.parametrize("convert", [as_numpy, as_datetime64, as_pandas, as_polars, as_arrow,
                                     lambda d: pl.DataFrame(d).to_arrow().to_batches()[0]])
def test_every_input_kind_gives_the_windows_of_lists(convert):
    expected = windows(LISTS)
    assert sum(expected[0]["count"]) + sum(b["count"][0] for b in expected[1:]) == 5
    assert windows(convert(LISTS)) == expected


def test_values_keep_their_type():
    got = movra._frames.columns_of({
        "i": np.array([1, -2], np.int64), "b": np.array([True, False]), "f": np.array([0.1, 2], np.float32),
        "t": np.array(["1970-01-01T00:00:01.5009", "NaT"], "datetime64[us]"),
        "d": pd.Series([1.5, float("nan")]), "n": np.array([1.0, np.nan]),
        "o": [np.int32(3), datetime.datetime(1970, 1, 1, 0, 0, 2, tzinfo=datetime.timezone.utc)],
        "l": pl.Series([None, 7], dtype=pl.UInt8), "a": pa.chunked_array([[None], [2.5]], pa.float64()),
    }).take(0, 2)
    assert got == {"i": [1, -2], "b": [True, False], "f": [pytest.approx(0.1), 2.0], "t": [1500, None],
                   "d": [1.5, None], "n": [1.0, pytest.approx(float("nan"), nan_ok=True)], "o": [3, 2000],
                   "l": [None, 7], "a": [None, 2.5]}
    assert [type(v) for v in got["i"] + got["b"] + got["f"] + got["o"]] == [int, int, bool, bool, float, float,
                                                                           int, int]


@pytest.mark.parametrize("column, python", [
    (pd.Series(pd.Categorical([3, None, 3])), [3, None, 3]),
    (pa.array([datetime.date(1970, 1, 2), None], pa.date32()), [datetime.date(1970, 1, 2), None]),
    (pl.Series([datetime.timedelta(microseconds=-1500)]), [datetime.timedelta(microseconds=-1500)]),
    (pl.Series([1, None], dtype=pl.Int128), [1, None]),
])
def test_columns_convert_as_their_python_values_do(column, python):
    got = movra._frames.columns_of({"a": column}).take(0, len(python))["a"]
    expected = movra._frames.columns_of({"a": python}).take(0, len(python))["a"]
    assert got == expected and list(map(type, got)) == list(map(type, expected))


@pytest.mark.parametrize("data, text", [
    ({"a": [1, 2], "b": [1]}, "'a': 2, 'b': 1"),
    ({"a": [b"x"]}, "column 'a' row 0: unsupported value b'x'"),
    ({"a": [{"x": 1}]}, "unsupported value {'x': 1}"),
    ({"a": "abc"}, "column 'a' must be a list"),
    ({1: [1]}, "column names must be str"),
    ({"a": np.array([2**63], np.uint64)}, "does not fit in a 64-bit signed integer"),
    ({"a": [2**63]}, "column 'a' row 0: 9223372036854775808 does not fit"),
    ({"a": np.zeros((2, 2))}, "one-dimensional"),
    ({"timestamp": [1.7e12]}, "'timestamp' must be epoch milliseconds"),
    ({"timestamp": pd.Series([1, None], dtype="Int64")}, "'timestamp' has missing values"),
    ({"a": pl.Series([[1]])}, "Polars type List"),
    (pd.DataFrame([[1, 2]], columns=["a", "a"]), "column 'a' appears more than once"),
    ({"a": np.array([2**62], "datetime64[s]")}, "datetime64[s] values beyond the 64-bit range"),
    ({"a": pa.array([2**62], pa.timestamp("s"))}, "timestamp[s] values beyond the 64-bit range"),
])
def test_values_the_engine_would_misread_are_refused(data, text):
    with movra.manual() as s:
        with pytest.raises(movra.DataError) as info:
            s.emit_columns(data)
        assert text in str(info.value)
        assert s.stats()["ingested"] == 0


def test_emit_converts_and_checks_one_event():
    with movra.manual(linger_ms=1) as s:
        s.emit({"v": np.float32(1.5), "n": np.int64(7), "timestamp": np.datetime64(BASE, "ms")})
        with pytest.raises(movra.DataError, match="event key 'timestamp' must be epoch milliseconds"):
            s.emit({"timestamp": 1.7e12})
        with pytest.raises(movra.DataError, match="column names must be str"):
            s.emit({1: 2})
        s.close()
        assert list(s.batches(movra.Plan())) == [{"n": [7], "timestamp": [BASE], "v": [1.5]}]
        with pytest.raises(movra.StreamClosedError):
            s.emit({"v": 1})


def test_drops_at_capacity_are_reported_with_their_count():
    frame = pd.DataFrame({"v": np.arange(200_000, dtype=np.float64)})
    with movra.manual(capacity=100_000, linger_ms=10**6, on_drop="warn") as s:
        with pytest.warns(movra.Dropped) as caught:
            assert s.emit_columns(frame) == 100_000
        assert caught[0].message.count == 100_000 and "capacity=100000" in str(caught[0].message)
        assert caught[0].filename == __file__  # points at the caller
    with movra.manual(capacity=10, linger_ms=10**6, on_drop="raise") as s:
        with pytest.raises(movra.DroppedError) as info:
            s.emit_columns({"v": np.arange(25)}, chunk_rows=20)
        assert (info.value.count, info.value.offered) == (10, 20)
        assert s.stats()["ingested"] == 20  # the chunk after the drop was not sent
        with pytest.raises(movra.DroppedError):
            s.emit({"v": 1})
    with movra.manual(capacity=10) as s, warnings.catch_warnings():
        warnings.simplefilter("error")
        s.emit_columns({"v": list(range(10))})  # exactly full: no warning
