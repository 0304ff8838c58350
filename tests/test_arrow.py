"""Arrow in and out of the core (emit_arrow, next_batch_arrow,
aggregate_arrow) and through the package: every type gives the Cells the
package's own conversion gives, refusals name the column and type before any
row is taken, results type their columns as the dict results do, and
exported buffers live as long as their consumers."""
import datetime
import decimal
import gc
import math
import warnings

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _movra
import movra
import movra._stream
from movra._frames import columns_of

from conftest import make_plan

PLAN = make_plan()
SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def stream():
    return _movra.NativeStream.manual(1_000_000, 1, 1_000_000)


def same(a, b):
    """Dicts of lists equal, NaN equal to NaN, and every value of the same type."""
    assert a.keys() == b.keys()
    for k in a:
        assert len(a[k]) == len(b[k]), k
        for x, y in zip(a[k], b[k]):
            assert type(x) is type(y), (k, x, y)
            assert x == y or (isinstance(x, float) and math.isnan(x) and math.isnan(y)), (k, x, y)
    return True


def via_package_conversion(table):
    """What the core makes of `table` through the package's own conversion."""
    columns = columns_of(table)
    return stream().aggregate_columns(columns.take(0, columns.rows), PLAN)


def via_arrow(data):
    return pa.table(stream().aggregate_arrow(data, PLAN)).to_pydict()


# ------------------------------------------------------------------ types in

STAMPS = pa.array([1, 2, 3, 4], pa.int64())
TIMES = [-1_500_001, None, 0, 1_700_000_000_123_457]
ARRAYS = {
    **{f"{t}": pa.array([-5, None, 0, 7] if t.startswith("int") else [5, None, 0, 7], getattr(pa, t)())
       for t in ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]},
    "uint64 at the signed limit": pa.array([2**63 - 1, None, 0, 1], pa.uint64()),
    "halffloat": pa.array(np.array([1.5, np.nan, -0.0, 65504], np.float16)),
    "float": pa.array([1.1, None, float("nan"), -float("inf")], pa.float32()),
    "double": pa.array([1.1, None, float("nan"), 1e300], pa.float64()),
    "bool": pa.array([True, None, False, True]),
    "string": pa.array(["a", None, "", "zé\x00x"]),
    "large_string": pa.array(["a", None, "", "long enough to need a buffer"], pa.large_string()),
    "string_view": pa.array(["short", None, "", "long enough to need a buffer"], pa.string_view()),
    "dictionary of strings": pa.array(["x", None, "y", "x"]).dictionary_encode().cast(
        pa.dictionary(pa.int8(), pa.string())),
    "dictionary of ints": pa.array([5, None, 7, 5]).dictionary_encode(),
    **{f"timestamp[{u}]": pa.array(TIMES, pa.timestamp(u)) for u in ["ms", "us", "ns"]},
    "timestamp[s]": pa.array([-3, None, 0, 1_700_000_000], pa.timestamp("s")),
    "timestamp[us, tz=Asia/Tokyo]": pa.array(TIMES, pa.timestamp("us", tz="Asia/Tokyo")),
    "date32": pa.array([-1, None, 0, 19000], pa.date32()),
    "date64": pa.array([-86_400_000, None, 0, 86_400_000], pa.date64()),
    **{f"duration[{u}]": pa.array([-1_500_001, None, 0, 7], pa.duration(u)) for u in ["s", "ms", "us", "ns"]},
    "null": pa.nulls(4),
}


@pytest.mark.parametrize("name", list(ARRAYS))
def test_each_arrow_type_gives_the_cells_of_the_package_conversion(name):
    table = pa.table({"v": ARRAYS[name], "timestamp": STAMPS})
    assert same(via_arrow(table), via_package_conversion(table))


def test_a_sliced_table_of_several_batches_gives_every_row_once_in_order():
    whole = pa.table({"v": ARRAYS["string_view"], "d": ARRAYS["dictionary of strings"],
                      "b": ARRAYS["bool"], "timestamp": STAMPS})
    table = pa.concat_tables([whole, whole, whole]).slice(3, 7)
    assert table.column(0).num_chunks == 3
    assert same(via_arrow(table), via_package_conversion(table))
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches())
    assert same(via_arrow(reader), via_package_conversion(table))


def test_rows_are_stamped_and_queued_as_emit_columns_queues_them():
    s = stream()
    table = pa.table({"sym": ["a", "b", None], "v": [1, 2, 3]})
    before = _movra.NativeStream.manual(10, 1, 10)
    before.emit_columns(table.to_pydict())
    s.emit_arrow(table)
    s.close()
    got = s.next_batch(PLAN, 0)
    assert got["sym"] == ["a", "b", None] and got["v"] == [1, 2, 3]
    assert all(abs(t - got["timestamp"][0]) < 60_000 for t in got["timestamp"])
    assert s.stats()["ingested"] == 3 and s.stats()["microbatches_emitted"] == 1


def test_capacity_drops_are_counted_as_for_emit_columns():
    s = _movra.NativeStream.manual(100, 10_000, 3)
    s.emit_arrow(pa.table({"v": list(range(5))}))
    assert {k: s.stats()[k] for k in ("ingested", "dropped")} == {"ingested": 5, "dropped": 2}


# ---------------------------------------------------------------- refusals

REFUSED = [
    (pa.array([b"x"]), "column 'v' has Arrow type binary, which has no event value type (bool, int, float, str, "
                       "timestamp); cast it first"),
    (pa.array([[1]]), "column 'v' has Arrow type list<item: int64>, which has no event value type (bool, int, "
                      "float, str, timestamp); cast it first"),
    (pa.array([decimal.Decimal("1.5")], pa.decimal128(5, 1)),
     "column 'v' has Arrow type decimal128(5, 1), which has no event value type (bool, int, float, str, "
     "timestamp); cast it first"),
    (pa.array([1], pa.time64("us")), "column 'v' has Arrow type time64[us], which has no event value type "
                                     "(bool, int, float, str, timestamp); cast it first"),
    (pa.array([{"a": 1}]), "column 'v' has Arrow type struct<a: int64>, which has no event value type (bool, "
                           "int, float, str, timestamp); cast it first"),
]


def refusing_reader(array):
    """A reader of one batch holding `array`; records whether it was taken."""
    taken = []

    def batches():
        taken.append(1)
        yield pa.record_batch({"v": array})

    return pa.RecordBatchReader.from_batches(pa.schema([("v", array.type)]), batches()), taken


@pytest.mark.parametrize(("array", "message"), REFUSED)
def test_unsupported_types_are_refused_by_name_before_any_row_is_read(array, message):
    s = stream()
    reader, taken = refusing_reader(array)
    with pytest.raises(ValueError) as e:
        s.emit_arrow(reader)
    assert str(e.value) == message
    assert taken == [] and s.stats()["ingested"] == 0


@pytest.mark.parametrize(("array", "message"), [
    (pa.array([1, 2**64 - 1, 2**63, 2**64 - 1], pa.uint64()),
     "column 'v' row 3: 18446744073709551615 does not fit in a 64-bit signed integer"),
    (pa.array([0, 2**62, 0, 0], pa.timestamp("s", tz="UTC")),
     "column 'v' has timestamp[s, tz=UTC] values beyond the 64-bit range of milliseconds"),
    (pa.array([0, -(2**62), 0, 0], pa.duration("s")),
     "column 'v' has duration[s] values beyond the 64-bit range of milliseconds"),
])
def test_values_beyond_the_cells_refuse_the_whole_call(array, message):
    s = stream()
    # A good batch first: its rows are not taken either, and rows are
    # counted across batches.
    reader = pa.RecordBatchReader.from_batches(pa.schema([("v", array.type)]),
                                               [pa.record_batch({"v": pa.array([0, 0], array.type)}),
                                                pa.record_batch({"v": array})])
    with pytest.raises(ValueError) as e:
        s.emit_arrow(reader)
    assert str(e.value) == message
    assert s.stats()["ingested"] == 0


def test_the_package_names_refused_columns_as_its_own_conversion_does():
    for array, _ in REFUSED[:1]:
        table = pa.table({"v": array})
        with pytest.raises(movra.DataError) as arrow_route:
            movra.manual().emit_columns(table)
        with pytest.raises(movra.DataError) as own:
            columns_of(table)
        assert str(arrow_route.value) == str(own.value)
    table = pa.table({"v": pa.array([3, 2**64 - 1], pa.uint64())})
    with pytest.raises(movra.DataError) as arrow_route:
        movra.manual().emit_columns(table)
    with pytest.raises(movra.DataError) as own:
        columns_of(table)
    assert str(arrow_route.value) == str(own.value)


@pytest.mark.parametrize(("data", "error"), [
    (5, TypeError), ({"v": [1]}, TypeError), (pa.array([1, 2]), ValueError), (pa.nulls(2), ValueError)])
def test_what_is_not_a_table_of_columns_is_refused(data, error):
    s = stream()
    with pytest.raises(error, match="Arrow data"):
        s.emit_arrow(data)


# -------------------------------------------------------------- results out

OUTPUT_CASES = {
    "ints and doubles widen to double": [{"x": 1}, {"x": 2.5}],
    "int and text become text": [{"x": 1}, {"x": "a"}],
    "bool and int become text": [{"x": True}, {"x": 1}],
    "int then null stays int": [{"x": 1}, {"x": None}],
    "null first makes text": [{"x": None}, {"x": 1}],
    "only nulls give a null column": [{"x": None}, {"x": None}],
    "a missing column is null": [{"x": 1}, {"y": "b"}],
    "doubles print with six digits as text": [{"x": 1234567.0}, {"x": "a"}, {"x": float("nan")}],
    "bools": [{"x": True}, {"x": False}, {"x": None}],
    "non-ASCII names and values": [{"é": "ü\x00"}, {"é": ""}],
}


def through_both(rows):
    a, b = stream(), stream()
    for row in rows:
        a.emit_json(dict(row, timestamp=1))
        b.emit_json(dict(row, timestamp=1))
    a.close()
    b.close()
    return a.next_batch(PLAN, 0), b.next_batch_arrow(PLAN, 0)


@pytest.mark.parametrize("rows", list(OUTPUT_CASES.values()), ids=list(OUTPUT_CASES))
def test_arrow_results_type_columns_as_the_dict_results(rows):
    as_dict, as_arrow = through_both(rows)
    table = pa.table(as_arrow)
    assert same(table.to_pydict(), as_dict)
    # The types pyarrow gives the dict, which is what output="arrow" gave.
    assert table.schema == pa.table(as_dict).schema
    assert as_arrow.column_names == list(as_dict) and len(as_arrow) == len(rows)


values = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**63 - 1),
                   st.floats(allow_nan=True), st.text(max_size=4))


@SETTINGS
@given(rows=st.lists(st.dictionaries(st.sampled_from(["a", "b", "ü"]), values), min_size=1, max_size=12))
def test_random_rows_come_out_as_the_dict_results(rows):
    as_dict, as_arrow = through_both(rows)
    assert same(pa.table(as_arrow).to_pydict(), as_dict)
    assert same(pl.DataFrame(as_arrow).to_dict(as_series=False), as_dict)


def test_a_name_arrow_cannot_hold_is_refused_by_name():
    s = stream()
    s.emit_json({"a\x00b": 1, "timestamp": 1})
    s.close()
    with pytest.raises(ValueError) as e:
        s.next_batch_arrow(PLAN, 0)
    assert str(e.value) == "column 'a\\x00b' holds a NUL byte, which an Arrow column name cannot hold"


def test_next_batch_arrow_gives_none_and_counts_as_next_batch():
    s = stream()
    assert s.next_batch_arrow(PLAN, 0) is None
    s.emit_json({"x": 1, "timestamp": 1})
    s.emit_json({"x": 2, "timestamp": 2})
    s.close()
    r = s.next_batch_arrow(PLAN, 0)
    assert pa.table(r).column("x").to_pylist() == [1, 2]
    stats = s.stats()
    assert (stats["output_batches"], stats["output_rows"]) == (1, 2)
    assert s.next_batch_arrow(PLAN, 0) is None


def invalid_utf8_table(data, offsets):
    buffers = [None, pa.py_buffer(np.array(offsets, np.int32).tobytes()), pa.py_buffer(data)]
    return pa.table({"s": pa.Array.from_buffers(pa.string(), len(offsets) - 1, buffers), "timestamp": [1] * (len(offsets) - 1)})


@pytest.mark.parametrize(("data", "offsets"), [
    (b"ok\xff", [0, 2, 3]),          # one bad byte
    (b"\xc3\xa9", [0, 1, 2]),        # valid as a whole, cut inside a character
])
def test_text_that_is_not_utf8_raises_as_the_dict_result_does(data, offsets):
    a, b = stream(), stream()
    a.emit_arrow(invalid_utf8_table(data, offsets))
    b.emit_arrow(invalid_utf8_table(data, offsets))
    a.close()
    b.close()
    with pytest.raises(UnicodeDecodeError):
        a.next_batch(PLAN, 0)
    with pytest.raises(UnicodeDecodeError):
        b.next_batch_arrow(PLAN, 0)


def test_results_share_their_buffers_and_outlive_the_stream():
    s = stream()
    s.emit_arrow(pa.table({"x": np.arange(1000), "s": ["v"] * 1000, "timestamp": np.arange(1000)}))
    s.close()
    r = s.next_batch_arrow(PLAN, 0)
    del s
    gc.collect()
    first, second = pa.table(r), pa.record_batch(r)
    # Two imports see one buffer: nothing was copied.
    assert first.column("x").chunk(0).buffers()[1].address == second.column("x").buffers()[1].address
    schema_only = r.__arrow_c_schema__()
    unread = r.__arrow_c_array__()
    del r, schema_only, unread
    gc.collect()
    assert first.column("x").to_pylist() == list(range(1000))
    assert second.column("s").to_pylist() == ["v"] * 1000
    frame = pl.DataFrame(pa.table(first))
    del first, second
    gc.collect()
    assert frame["x"].sum() == sum(range(1000))


def test_aggregate_arrow_is_aggregate_columns_with_an_arrow_result():
    columns = {"sym": ["a", "b", "a"], "v": [1.0, 2.0, 4.0], "timestamp": [1000, 5000, 12000]}
    plan = make_plan(window={"seconds": 10, "by": "sym", "time_field": "timestamp"},
                     mean={"field": "v", "alias": "avg"})
    expected = stream().aggregate_columns(columns, plan)
    assert same(pa.table(stream().aggregate_arrow(pa.table(columns), plan)).to_pydict(), expected)
    empty = stream().aggregate_arrow(pa.table({"v": pa.array([], pa.int64())}), PLAN)
    assert len(empty) == 0 and pa.table(empty).num_columns == 0


@pytest.mark.parametrize("library", ["nanoarrow", "duckdb"])
def test_other_arrow_libraries_read_and_write(library):
    lib = pytest.importorskip(library)
    events = pa.table({"x": [1, 2], "s": ["a", None], "timestamp": [1, 2]})
    s = stream()
    if library == "nanoarrow":
        s.emit_arrow(lib.c_array_stream(events))
    else:
        s.emit_arrow(lib.sql("select * from events"))
    s.close()
    result = s.next_batch_arrow(PLAN, 0)
    back = lib.c_array_stream(result) if library == "nanoarrow" else lib.sql("select * from result").arrow()
    assert pa.table(back).to_pydict() == events.select(["s", "timestamp", "x"]).to_pydict()


# ---------------------------------------------------------------- package


def package_route(data, arrow, output="dict", plan=movra.Plan()):
    original = movra._stream.arrow_source
    if not arrow:
        movra._stream.arrow_source = lambda _: None
    try:
        return movra.manual().aggregate(data, plan, output=output)
    finally:
        movra._stream.arrow_source = original


def frame_equal(a, b, output):
    if output == "pandas":
        pd.testing.assert_frame_equal(a, b)
    elif output == "polars":
        assert a.schema == b.schema
        assert same(a.to_dict(as_series=False), b.to_dict(as_series=False))
    elif output == "arrow":
        assert a.schema == b.schema
        assert same(a.to_pydict(), b.to_pydict())
    else:
        assert same(a, b)
    return True


def maybe(strategy):
    return st.one_of(st.none(), strategy)


COLUMN_KINDS = {
    "int": (maybe(st.integers(-(2**63), 2**63 - 1)), pa.int64()),
    "int16": (maybe(st.integers(-(2**15), 2**15 - 1)), pa.int16()),
    "uint32": (maybe(st.integers(0, 2**32 - 1)), pa.uint32()),
    "float": (maybe(st.floats()), pa.float64()),
    "float32": (maybe(st.floats(width=32)), pa.float32()),
    "bool": (maybe(st.booleans()), pa.bool_()),
    "str": (maybe(st.text(max_size=14)), pa.string()),
    "large_str": (maybe(st.text(max_size=3)), pa.large_string()),
    "time": (maybe(st.integers(-(2**50), 2**50)), pa.timestamp("us", tz="UTC")),
    "time_ns": (maybe(st.integers(-(2**62), 2**62)), pa.timestamp("ns")),
    "date": (maybe(st.integers(-100_000, 100_000)), pa.date32()),
}


@st.composite
def tables(draw):
    n = draw(st.integers(1, 8))
    kinds = draw(st.lists(st.sampled_from(sorted(COLUMN_KINDS)), min_size=1, max_size=4))
    columns = {f"c{i}_{k}": pa.array(draw(st.lists(COLUMN_KINDS[k][0], min_size=n, max_size=n)), COLUMN_KINDS[k][1])
               for i, k in enumerate(kinds)}
    if draw(st.booleans()):
        columns["d"] = pa.array(draw(st.lists(maybe(st.sampled_from("xyz")), min_size=n, max_size=n)), pa.string()) \
            .dictionary_encode()
    columns["timestamp"] = pa.array(range(n), pa.int64())
    return pa.table(columns)


FRAME_KINDS = {"arrow": lambda t: t, "batch": lambda t: t.to_batches()[0] if t.num_rows else t,
               "polars": pl.from_arrow, "pandas": lambda t: t.to_pandas()}


@SETTINGS
@given(table=tables(), kind=st.sampled_from(sorted(FRAME_KINDS)))
def test_random_frames_give_the_results_of_the_package_conversion(table, kind):
    data = FRAME_KINDS[kind](table)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert same(package_route(data, True), package_route(data, False))


@pytest.mark.parametrize("output", ["arrow", "polars", "pandas", "dict"])
@pytest.mark.parametrize("datetimes", [False, True])
def test_frame_outputs_equal_those_made_from_dict_results(output, datetimes, monkeypatch):
    data = {"sym": ["A", "B", "A", None], "v": [1, 2.5, 4, 8], "flag": [True, None, False, True],
            "timestamp": [1000, 2000, 13000, 25000]}
    plan = movra.Plan(window="10s", by="sym", mean="v")

    def results(arrow):
        if not arrow:
            monkeypatch.setattr(movra._stream, "wants_arrow", lambda _: False)
        with movra.manual(linger_ms=1) as s:
            s.emit_columns(data)
            s.close()
            out = list(s.batches(plan, output=output, datetimes=datetimes))
        monkeypatch.undo()
        return out

    got, want = results(True), results(False)
    assert len(got) == len(want) >= 1
    for a, b in zip(got, want):
        assert frame_equal(a, b, output)


def test_a_pandas_frame_with_a_named_index_keeps_the_package_conversion():
    frame = pd.DataFrame({"v": [1, 2]}, index=pd.Index([10, 20], name="timestamp"))
    assert movra._stream.arrow_source(frame) is None
    assert movra._stream.arrow_source(frame.reset_index()) is not None
    assert package_route(frame, True) == {"timestamp": [10, 20], "v": [1, 2]}


@pytest.mark.parametrize("data", [
    pa.table({"timestamp": pa.array([1.5])}), pa.table({"timestamp": pa.array([1, None])}),
    pl.DataFrame({"timestamp": ["a"]}), pa.table([pa.array([1]), pa.array([2])], names=["a", "a"])])
def test_frames_the_core_would_read_otherwise_keep_the_package_errors(data):
    assert movra._stream.arrow_source(data) is None
    with pytest.raises(movra.DataError):
        movra.manual().emit_columns(data)


def test_drops_with_on_drop_raise_stop_after_the_first_chunk_with_drops():
    table = pa.table({"v": list(range(10)), "timestamp": list(range(10))})
    counts = []
    for arrow in (True, False):
        original = movra._stream.arrow_source
        if not arrow:
            movra._stream.arrow_source = lambda _: None
        try:
            s = movra.manual(capacity=5, linger_ms=60_000, on_drop="raise")
            with pytest.raises(movra.DroppedError) as e:
                s.emit_columns(table, chunk_rows=4)
            counts.append((str(e.value), s.stats()["ingested"]))
        finally:
            movra._stream.arrow_source = original
    assert counts[0] == counts[1] and counts[0][1] == 8


def test_a_failing_producer_raises_its_error_and_nothing_is_taken():
    def batches():
        yield pa.record_batch({"v": [1]})
        raise KeyError("producer broke")

    s = stream()
    with pytest.raises(RuntimeError, match="reading the Arrow stream failed: .*producer broke"):
        s.emit_arrow(pa.RecordBatchReader.from_batches(pa.schema([("v", pa.int64())]), batches()))
    assert s.stats()["ingested"] == 0


NUMPY_COLUMNS = {
    "plain": {"i": np.array([1, -2], np.int16), "f": np.array([np.nan, 1.5], np.float32),
              "b": np.array([True, False]), "h": np.array([0.5, -1], np.float16), "timestamp": np.array([1, 2])},
    "unsigned at the limit": {"u": np.array([2**63 - 1, 0], np.uint64), "timestamp": np.array([1, 2], np.uint32)},
}


@pytest.mark.parametrize("columns", list(NUMPY_COLUMNS.values()), ids=list(NUMPY_COLUMNS))
def test_numpy_numeric_columns_take_the_arrow_route_with_the_same_values(columns):
    assert movra._stream.arrow_source(columns) is not None
    assert same(package_route(columns, True), package_route(columns, False))


@pytest.mark.parametrize("columns", [
    {"v": np.array([1, 2]), "w": [1, 2]},                 # a list beside the array
    {"v": np.array(["a", "b"])},                          # text
    {"v": np.array([1, 2]), "w": np.array([1])},          # lengths differ
    {"v": np.array([[1, 2]])},                            # two dimensions
    {"timestamp": np.array([1.5])},                       # a time the engine cannot use
    {"v": np.array(["2024-01-01"], "datetime64[ms]")},    # NaT is no null to pyarrow
])
def test_other_numpy_columns_keep_the_package_conversion(columns):
    assert movra._stream.arrow_source(columns) is None


def test_unsigned_values_beyond_int64_name_the_same_row_on_both_routes():
    columns = {"u": np.array([1, 2**64 - 1, 5, 2**64 - 1], np.uint64)}
    errors = []
    for arrow in (True, False):
        with pytest.raises(movra.DataError) as e:
            package_route(columns, arrow)
        errors.append(str(e.value))
    assert errors[0] == errors[1] == "column 'u' row 1: 18446744073709551615 does not fit in a 64-bit signed integer"


@pytest.mark.parametrize(("table", "message"), [
    (pa.table([pa.array([1]), pa.array([2])], names=["a", "a"]), "column 'a' appears more than once"),
    (pa.table({"timestamp": pa.array([1, None])}), "column 'timestamp' has missing values"),
])
def test_other_arrow_exporters_get_the_package_errors(table, message):
    class Exporter:
        def __arrow_c_stream__(self, requested_schema=None):
            return table.__arrow_c_stream__(requested_schema)

    with pytest.raises(movra.DataError, match=message):
        movra.manual().emit_columns(Exporter())


# ------------------------------------------------------- into column chunks

def drained(s):
    s.close()
    out = {}
    while (got := s.next_batch(PLAN, 0)) is not None:
        for k, v in got.items():
            out.setdefault(k, []).extend(v)
    return out


CHUNK_ARRAYS = {
    **ARRAYS,
    "dictionary holding a null": pa.DictionaryArray.from_arrays(pa.array([0, 1, None, 2], pa.int8()),
                                                                pa.array(["x", None, "y"])),
    "dictionary of nulls": pa.DictionaryArray.from_arrays(pa.array([0, 0, None, 0], pa.int8()),
                                                          pa.array([None], pa.string())),
    "sliced dictionary": pa.array(["x", None, "y", "x", "z", "y"]).dictionary_encode().slice(2),
}


@pytest.mark.parametrize("prior", [None, ["s", None], [2.5, 1]], ids=["fresh", "strings-before", "numbers-before"])
@pytest.mark.parametrize("name", list(CHUNK_ARRAYS))
def test_emit_arrow_gives_the_events_of_the_row_route(name, prior):
    # Columns go into the chunk whole, next to events that already gave the
    # column other kinds; a repeated name keeps its last column.  The events
    # equal those of the row route's values offered as lists.
    array = CHUNK_ARRAYS[name]
    table = pa.table([array, ARRAYS["double"], array, STAMPS], names=["v", "w", "w", "timestamp"])
    a, b = stream(), stream()
    if prior is not None:
        for s in (a, b):
            s.emit_columns({"v": prior, "w": prior, "timestamp": [0, 0]})
    a.emit_arrow(table)
    b.emit_columns(via_arrow(table))
    assert repr(drained(a)) == repr(drained(b))


@pytest.mark.parametrize(("first", "second", "named"), [(1500, 10, "b"), (10, 500, "a"), (10, 10, "a"), (2000, 1100, "a"), (1024, 1023, "b")])
def test_a_refusal_names_the_column_the_row_route_meets_first(first, second, named):
    # The row route goes 1024 rows at a time, every column within them: of
    # two columns with times beyond range, the one in the earlier block is
    # named, or the first column within one block.
    a = np.zeros(3000, np.int64)
    b = np.zeros(3000, np.int64)
    a[first] = 2**62
    b[second] = 2**62
    table = pa.table({"a": pa.array(a, pa.timestamp("s")), "b": pa.array(b, pa.timestamp("s"))})
    s = stream()
    s.emit_columns({"x": [1], "timestamp": [0]})
    with pytest.raises(ValueError) as e:
        s.emit_arrow(table)
    with pytest.raises(ValueError) as rows_route:
        stream().aggregate_arrow(table, PLAN)
    assert str(e.value) == str(rows_route.value)
    assert str(e.value).startswith(f"column '{named}' ")
    assert drained(s) == {"timestamp": [0], "x": [1]}
