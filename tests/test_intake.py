"""Python values into events, micro-batching, column output and the counters."""
import enum
import random
import time

import numpy as np
import pytest

import _movra
from conftest import drain, make_plan, wait_for

NativeStream = _movra.NativeStream
PLAN = make_plan()


class Color(enum.IntEnum):
    RED = 3


class Weird:
    def __str__(self):
        return "weird!"


class Broken:
    def __str__(self):
        raise ZeroDivisionError("no text")


def roundtrip(event):
    """One event through emit_json and next_batch, as a plain dict of values."""
    s = NativeStream.manual(10, 0, 10)
    s.emit_json(event)
    s.close()
    out = s.next_batch(PLAN, timeout_ms=0)
    return {k: v[0] for k, v in out.items()}


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (True, True),
        (False, False),
        (1, 1),
        (0, 0),
        (-(2**63), -(2**63)),
        (2**63 - 1, 2**63 - 1),
        (1.0, 1.0),
        (Color.RED, 3),
        ("text", "text"),
        ("é€😀", "é€😀"),
        (b"ab", "b'ab'"),
        ({"x": 1}, "{'x': 1}"),
        (Weird(), "weird!"),
        (np.int64(5), "5"),
        (np.float64(2.5), 2.5),
        (np.bool_(True), "True"),
    ],
)
def test_value_conversion(value, expected):
    got = roundtrip({"a": value, "timestamp": 1})["a"]
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, "\ud800"])
def test_values_that_do_not_fit_raise_the_cast_error(value):
    s = NativeStream.manual(10, 0, 10)
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type"):
        s.emit_json({"a": value})
    assert s.stats()["ingested"] == 0
    s.close()


def test_str_that_raises_propagates():
    s = NativeStream.manual(10, 0, 10)
    with pytest.raises(ZeroDivisionError):
        s.emit_json({"a": Broken()})
    with pytest.raises(ZeroDivisionError):
        s.emit_columns({"a": [1, Broken()]})
    assert s.stats()["ingested"] == 0
    s.close()


def test_timestamp_is_stamped_only_when_absent():
    before = int(time.time() * 1000)
    row = roundtrip({"a": 1})
    assert before - 5 <= row["timestamp"] <= int(time.time() * 1000) + 5
    assert roundtrip({"timestamp": None})["timestamp"] is None
    assert roundtrip({"timestamp": "yesterday"})["timestamp"] == "yesterday"


def test_colliding_keys_keep_the_later_value():
    row = roundtrip({1: "int key", "1": "str key", "timestamp": 0})
    assert row == {"1": "str key", "timestamp": 0}
    row = roundtrip({"1": "str key", 1: "int key", "timestamp": 0})
    assert row == {"1": "int key", "timestamp": 0}


def columns_roundtrip(columns):
    s = NativeStream.manual(1000, 0, 1000)
    s.emit_columns(columns)
    s.close()
    return s.next_batch(PLAN, timeout_ms=0)


@pytest.mark.parametrize(
    "columns",
    [{"a": [1, 2, 3], "b": [1, 2]}, {"a": [1, 2, 3], "b": [1, 2, 3], "c": [1, 2]}, {"a": [1], "b": [Broken(), 2]}],
)
def test_column_lengths_are_checked_before_conversion(columns):
    s = NativeStream.manual(10, 0, 10)
    with pytest.raises(ValueError, match="^all columns must have the same length$"):
        s.emit_columns(columns)
    assert s.stats()["ingested"] == 0
    s.close()


class Meddler:
    """A column, or a column name, that edits the dict holding it when asked
    its len() or str(), as a lazily loaded column might."""

    def __init__(self, table, edit):
        self.table, self.edit = table, edit

    def __len__(self):
        self.edit(self.table)
        return 3

    def __str__(self):
        self.edit(self.table)
        return "v"

    def __getitem__(self, i):
        return float(i)


@pytest.mark.parametrize(
    "as_key, edit",
    [(False, dict.clear), (True, dict.clear), (False, lambda t: t.update(v=[0.0, 1.0, 2.0]))],
    ids=["column-clears-the-dict", "key-deletes-its-entry", "column-replaces-itself"],
)
@pytest.mark.parametrize("op", ["emit_columns", "aggregate_columns"])
def test_columns_that_edit_their_dict_while_read(op, as_key, edit):
    # str(key) and len(column) run Python code that drops the dict's
    # references: the conversion must hold its own (a use after free crashed
    # here), and read all three rows.
    table = {}
    if as_key:
        table[Meddler(table, edit)] = [0.0, 1.0, 2.0]
    else:
        table["v"] = Meddler(table, edit)
    s = NativeStream.manual(10, 0, 10)
    if op == "emit_columns":
        s.emit_columns(table)
        s.close()
        out = s.next_batch(PLAN, timeout_ms=0)
    else:
        out = s.aggregate_columns(table, PLAN)
    s.close()
    assert out["v"] == [0.0, 1.0, 2.0]


def test_emit_json_sorts_many_keys_once():
    # A descending dict of this size took minutes when each key was inserted
    # into the sorted row on its own; now it is one sort.  The bound only
    # catches that blow-up.
    n = 100_000
    event = {f"k{i:06d}": i for i in reversed(range(n))}
    event.update({1: "int key", "1": "str key", "timestamp": 5})
    s = NativeStream.manual(1, 0, 1)
    t0 = time.monotonic()
    s.emit_json(event)
    assert time.monotonic() - t0 < 10
    s.close()
    row = {k: v[0] for k, v in s.next_batch(PLAN, timeout_ms=0).items()}
    assert list(row) == ["1", *(f"k{i:06d}" for i in range(n)), "timestamp"]
    assert row["1"] == "str key" and row["k000000"] == 0 and row[f"k{n - 1:06d}"] == n - 1


@pytest.mark.parametrize("keys_per_event", [10, 1000])
def test_ever_new_keys_cost_memory_only_while_queued(keys_per_event):
    # A producer that never repeats a key (a hostile sender) must not grow
    # the stream's column names for good: once the events are taken, their
    # names go with them, give or take the current table's bound.
    s = NativeStream.manual(100_000, 20, 100_000)
    events_per_round = 10_000 // keys_per_event
    most = 0
    for round_ in range(15):  # 150,000 distinct keys in all, one table's bound twice over
        for e in range(events_per_round):
            s.emit_json({f"r{round_}e{e}k{j}": j for j in range(keys_per_event)})
        taken = 0
        while taken < events_per_round:
            out = s.next_batch(PLAN, timeout_ms=5000)
            assert out is not None
            if taken == 0:
                assert out[f"r{round_}e0k0"][0] == 0
            taken += len(out["timestamp"])
        most = max(most, s.live_names())
    s.close()
    assert most < 120_000


def test_column_without_length_raises_type_error():
    s = NativeStream.manual(10, 0, 10)
    with pytest.raises(TypeError):
        s.emit_columns({"a": 5})
    s.close()


@pytest.mark.parametrize("columns", [{}, {"a": [], "b": ()}])
def test_empty_columns_give_no_rows(columns):
    assert columns_roundtrip(columns) is None


@pytest.mark.parametrize(
    "column, expected",
    [
        ("abc", ["a", "b", "c"]),
        ((1, 2, 3), [1, 2, 3]),
        (range(3), [0, 1, 2]),
        ({0: "x", 1: "y", 2: "z"}, ["x", "y", "z"]),
        (np.array([1, 2, 3]), ["1", "2", "3"]),
        (np.array([1.5, 2.5, 3.5]), [1.5, 2.5, 3.5]),
        (np.array([True, False, True]), ["True", "False", "True"]),
    ],
)
def test_column_kinds(column, expected):
    out = columns_roundtrip({"c": column, "timestamp": [1, 2, 3]})
    assert out["c"] == expected


def test_repeated_column_names_keep_the_later_column():
    out = columns_roundtrip({1: [1, 2], "1": ["a", "b"], "timestamp": [5, 6]})
    assert out == {"1": ["a", "b"], "timestamp": [5, 6]}


def test_columns_get_timestamps_when_absent():
    out = columns_roundtrip({"z": [1, 2], "a": [3, 4]})
    assert list(out) == ["a", "timestamp", "z"]
    assert all(isinstance(t, int) for t in out["timestamp"])
    assert out["timestamp"] == sorted(out["timestamp"])


@pytest.mark.parametrize(
    "values, expected",
    [
        ([1, 2.5], [1.0, 2.5]),
        ([2.5, 1], [2.5, 1.0]),
        ([1, "a"], ["1", "a"]),
        ([True, 1], ["true", "1"]),
        ([True, None], [True, None]),
        ([1, None], [1, None]),
        ([None, 1], [None, "1"]),
        ([None, None], [None, None]),
        ([1, 2.5, "x"], ["1", "2.5", "x"]),
        ([1234567.0, "s"], ["1.23457e+06", "s"]),
        ([1234567.0, 1], [1234567.0, 1.0]),
        ([float("inf"), "s", -0.0], ["inf", "s", "-0"]),
    ],
)
def test_column_type_inference(values, expected):
    out = columns_roundtrip({"x": values, "timestamp": list(range(len(values)))})
    assert out["x"] == expected
    assert [type(v) for v in out["x"]] == [type(v) for v in expected]


def test_column_missing_from_some_rows_is_none():
    s = NativeStream.manual(10, 0, 10)
    s.emit_json({"a": 1, "timestamp": 1})
    s.emit_json({"b": 2, "timestamp": 2})
    s.close()
    assert s.next_batch(PLAN, timeout_ms=0) == {"a": [1, None], "b": [None, 2], "timestamp": [1, 2]}


def test_output_columns_are_in_byte_order():
    out = columns_roundtrip({"b": [1], "a": [1], "B": [1], "é": [1], "timestamp": [0]})
    assert list(out) == ["B", "a", "b", "timestamp", "é"]


def test_capacity_keeps_the_first_events_and_counts_the_rest():
    s = NativeStream.manual(batch_size=10, linger_ms=100000, capacity=3)
    for i in range(5):
        s.emit_json({"i": i, "timestamp": i})
    st = s.stats()
    assert (st["ingested"], st["dropped"], st["microbatches_emitted"]) == (5, 2, 0)
    s.close()
    assert s.next_batch(PLAN, timeout_ms=0)["i"] == [0, 1, 2]


def test_emit_columns_into_one_free_place():
    s = NativeStream.manual(batch_size=10, linger_ms=100000, capacity=2)
    s.emit_json({"i": -1})
    s.emit_columns({"i": [0, 1, 2, 3]})
    st = s.stats()
    assert (st["ingested"], st["dropped"]) == (5, 3)
    s.close()
    assert s.next_batch(PLAN, timeout_ms=0)["i"] == [-1, 0]


def test_zero_sizes_clamp_to_one():
    s = NativeStream.manual(batch_size=0, linger_ms=100000, capacity=0)
    s.emit_json({"i": 1})
    s.emit_json({"i": 2})
    assert s.stats()["dropped"] == 1
    s.close()
    assert s.stats()["microbatches_emitted"] == 1


def test_each_tick_cuts_at_most_one_batch():
    # Five events in batches of two take three ticks, so at least two whole
    # lingers pass between the emit and the third cut, however loaded the
    # machine; no fourth cut ever comes.
    s = NativeStream.manual(batch_size=2, linger_ms=150, capacity=100)
    t0 = time.monotonic()
    s.emit_columns({"i": [0, 1, 2, 3, 4]})
    assert wait_for(lambda: s.stats()["microbatches_emitted"] >= 3)
    assert time.monotonic() - t0 >= 0.3
    s.close()
    assert s.stats()["microbatches_emitted"] == 3
    assert s.next_batch(PLAN, timeout_ms=0)["i"] == [0, 1, 2, 3, 4]


def test_no_cut_before_the_first_tick():
    s = NativeStream.manual(batch_size=100, linger_ms=100000, capacity=1000)
    s.emit_columns({"i": list(range(250))})
    time.sleep(0.05)
    assert s.stats()["microbatches_emitted"] == 0
    assert s.next_batch(PLAN, timeout_ms=0) is None
    s.close()


def test_close_delivers_every_pending_event():
    # All 250 events were accepted, so all 250 are delivered, in batches of
    # at most batch_size rows.
    s = NativeStream.manual(batch_size=100, linger_ms=100000, capacity=1000)
    s.emit_columns({"i": list(range(250))})
    s.close()
    st = s.stats()
    assert st["microbatches_emitted"] == 3
    assert s.next_batch(PLAN, timeout_ms=0)["i"] == list(range(250))


def test_events_offered_after_close_are_counted_as_dropped():
    s = NativeStream.manual(batch_size=10, linger_ms=1, capacity=100)
    s.close()
    s.emit_json({"i": 1})
    s.emit_columns({"i": [2, 3]})
    st = s.stats()
    assert (st["ingested"], st["dropped"]) == (3, 3)
    assert s.next_batch(PLAN, timeout_ms=0) is None


def test_huge_linger_never_ticks_and_huge_batch_size_is_safe():
    s = NativeStream.manual(batch_size=2**64 - 1, linger_ms=2**64 - 1, capacity=10)
    s.emit_columns({"i": [1, 2, 3]})
    time.sleep(0.05)
    assert s.stats()["microbatches_emitted"] == 0
    s.close()
    assert s.stats()["microbatches_emitted"] == 1
    assert s.next_batch(PLAN, timeout_ms=0)["i"] == [1, 2, 3]


def test_stats_keys_in_byte_order_and_zero():
    s = NativeStream.manual(1, 1, 1)
    st = s.stats()
    assert list(st) == sorted(st) and len(st) == 12
    assert set(st.values()) == {0}
    s.close()
    assert s.stats() == st


def test_rows_keep_arrival_order_across_batches():
    s = NativeStream.manual(batch_size=7, linger_ms=0, capacity=100000)
    for start in range(0, 1000, 100):
        s.emit_columns({"i": list(range(start, start + 100))})
    assert drain(s)["i"] == list(range(1000))


@pytest.mark.parametrize("batch_size", [1, 3, 64])
def test_mixed_intake_arrives_whole_and_in_order_through_cut_chunks(batch_size):
    # Single events, short and long column calls and takes interleaved, so
    # that cuts fall inside column calls and events keep coming while earlier
    # ones wait in ready batches: every event comes out once, in order, with
    # its fields (a field an event lacks comes out as None).
    rng = random.Random(batch_size)
    s = NativeStream.manual(batch_size=batch_size, linger_ms=0, capacity=10**6)
    sent, got = [], []

    def take():
        out = s.next_batch(PLAN, timeout_ms=0)
        if out is not None:
            got.extend(zip(out["i"], out.get("s", [None] * len(out["i"]))))

    for _ in range(300):
        op = rng.random()
        if op < 0.5:
            i = len(sent)
            event = {"i": i, "timestamp": i}
            if i % 3:
                event["s"] = f"x{i}\u00e9"
            s.emit_json(event)
            sent.append((i, event.get("s")))
        elif op < 0.8:
            start, k = len(sent), rng.choice([1, 2, 7, 300])
            s.emit_columns({"i": list(range(start, start + k)), "timestamp": list(range(start, start + k)),
                            "s": [f"c{j}" for j in range(start, start + k)]})
            sent.extend((j, f"c{j}") for j in range(start, start + k))
        else:
            take()
    s.close()
    take()
    take()
    assert got == sent
    st = s.stats()
    assert (st["ingested"], st["dropped"]) == (len(sent), 0)


@pytest.mark.parametrize("array", [
    np.array([1.5, -0.0, np.nan, 1e300]),
    np.array([-128, 0, 127], dtype=np.int8),
    np.array([0, 2**64 - 1], dtype=np.uint64),
    np.array([-(2**63), 2**63 - 1], dtype=np.int64),
    np.array([True, False]),
    np.arange(10, dtype=np.float64)[::3],                # strided
    np.array([1.0, 2.0], dtype=">f8"),                   # not native: item by item
    np.array([0.1, 2.5], dtype=np.float32),              # no float subclass: item by item
], ids=["f64", "i8", "u64", "i64", "bool", "strided", "big-endian", "f32"])
def test_numpy_columns_give_the_cells_of_their_items(array):
    # Read straight from the buffer or item by item, an array column gives
    # what the same NumPy scalars give one by one in a list.
    def out(column):
        s = NativeStream.manual(batch_size=100, linger_ms=100000, capacity=100)
        s.emit_columns({"a": column, "timestamp": list(range(len(column)))})
        s.close()
        return s.next_batch(PLAN, timeout_ms=0)["a"]

    got, want = out(array), out(list(array))
    assert repr(got) == repr(want)
