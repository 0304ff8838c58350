"""emit_columns a column at a time: lists, tuples and NumPy arrays give the
events, errors and leftovers that the conversion event by event gives.

A column that is neither a list, a tuple nor a NumPy array sends the whole
call the event-by-event way, so wrapping every column in `Seq` gives the
reference for the same values."""
import enum
import random

import numpy as np
import pytest

import _movra
from conftest import make_plan

NativeStream = _movra.NativeStream
PLAN = make_plan()


class Seq:
    """A sequence that only item access reads."""

    def __init__(self, values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


class Level(enum.IntEnum):
    HIGH = 7


class Text(str):
    pass


class Real(float):
    pass


class Weird:
    def __str__(self):
        return "weird!"


class Broken:
    def __str__(self):
        raise ZeroDivisionError("no text")


def emit(stream, columns):
    """emit_columns, and the error it raised (type and text), if any."""
    try:
        stream.emit_columns(columns)
    except Exception as e:  # noqa: BLE001 - compared below, type and text
        return type(e), str(e)
    return None


def run(calls, wrap):
    """Every call into one stream (each column passed through wrap), then
    what comes out: the rows as repr text (so NaN equals NaN), the errors
    and the counters."""
    s = NativeStream.manual(batch_size=10**6, linger_ms=10**9, capacity=10**6)
    errors = [emit(s, {k: wrap(v) for k, v in call}) for call in calls]
    s.close()
    out = s.next_batch(PLAN, timeout_ms=0)
    return repr(out), errors, s.stats()["ingested"]


VALUES = [None, True, False, 0, -1, 2**63 - 1, -(2**63), 1.5, -0.0, float("nan"), float("inf"), "", "é€😀",
          "a\0b", Level.HIGH, Text("sub"), Real(2.5)]


def random_column(rng, n):
    shape = rng.randrange(6)
    if shape == 0:
        return [rng.randrange(-10**12, 10**12) if rng.random() > 0.1 else None for _ in range(n)]
    if shape == 1:
        return [rng.random() if rng.random() > 0.1 else None for _ in range(n)]
    if shape == 2:
        return [rng.choice(["AAPL", "MSFT", "é", ""]) if rng.random() > 0.1 else None for _ in range(n)]
    if shape == 3:
        return [rng.random() > 0.5 for _ in range(n)]
    if shape == 4:
        # One kind, then another part way through.
        cut = rng.randrange(n + 1)
        return [1.0] * cut + [rng.choice(VALUES) for _ in range(n - cut)]
    return [rng.choice(VALUES) for _ in range(n)]


@pytest.mark.parametrize("seed", range(6))
def test_lists_give_the_events_of_the_event_by_event_path(seed):
    # Calls of random columns (repeated names, a "timestamp" column, NumPy
    # arrays, tuples) into one stream, so later calls land on columns earlier
    # ones made: the rows equal those the event-by-event way makes.
    rng = random.Random(seed)
    calls = []
    for _ in range(30):
        n = rng.choice([0, 1, 2, 5, 100, 1000])
        call = [("timestamp", list(range(n)))]
        for _ in range(rng.randrange(5)):
            column = random_column(rng, n)
            if rng.random() < 0.2:
                column = tuple(column)
            call.append((rng.choice(["a", "b", "é", "n\0ul"]), column))
        if rng.random() < 0.2:
            call.append(("f", np.arange(n, dtype=np.float64) / 3))
        if rng.random() < 0.2:
            call.append(("i", np.arange(n, dtype=np.int32)[::-1]))
        if rng.random() < 0.2:
            call.append(("a", np.arange(2 * n, dtype=np.float64)[::2]))
        if rng.random() < 0.1:
            call.append(("timestamp", [None] * n))
        calls.append(call)
    assert run(calls, lambda v: v) == run(calls, Seq)


@pytest.mark.parametrize("bad", [2**63, -(2**63) - 1, "\ud800", Broken()], ids=["big", "small", "surrogate", "str-raises"])
@pytest.mark.parametrize("where", [0, 1, 2])
def test_a_refused_call_leaves_nothing_and_names_what_the_event_path_names(bad, where):
    # The bad value and a second bad one (an int beyond 64 bits) in another
    # column, one row before or after it: the same error, naming the same
    # value, as event by event; nothing of the call stays, and the calls
    # around it go in whole.
    a = [1.0, 2.0, 3.0, 4.0]
    b = ["x", "y", "z", "w"]
    a[where + 1] = bad
    b[2 - where + 1] = -(2**70)
    calls = [[("a", [1, 2]), ("timestamp", [0, 1])],
             [("b", b), ("a", a), ("timestamp", [2, 3, 4, 5])],
             [("a", ["s"]), ("timestamp", [6])]]
    got = run(calls, lambda v: v)
    assert got == run(calls, Seq)
    assert got[1][1] is not None and got[2] == 3


def test_numpy_columns_are_read_without_their_items():
    # An array column converts from its buffer: no NumPy scalar is made.
    # A float64 array equals the list of its Python floats; an int array
    # gives the text of its items, as today's item-by-item path does.
    n = 10_000
    f = np.linspace(-1, 1, n)
    out = run([[("f", f), ("i", np.arange(n, dtype=np.int16)), ("timestamp", list(range(n)))]], lambda v: v)
    want = run([[("f", f.tolist()), ("i", [str(i) for i in range(n)]), ("timestamp", list(range(n)))]], lambda v: v)
    assert out == want


def test_stamps_come_only_where_no_timestamp_column_is_given():
    s = NativeStream.manual(batch_size=100, linger_ms=10**9, capacity=100)
    s.emit_columns({"x": [1, 2, 3]})
    s.emit_columns({"x": [4], "timestamp": [None]})
    s.close()
    out = s.next_batch(PLAN, timeout_ms=0)
    assert out["x"] == [1, 2, 3, 4]
    assert all(isinstance(t, int) and t > 1_600_000_000_000 for t in out["timestamp"][:3])
    assert out["timestamp"][3] is None


@pytest.mark.parametrize(("edit", "raises"), [(list.clear, True), (lambda v: v.pop(), True),
                                              (lambda v: v.append(9.0), False)],
                         ids=["emptied", "shortened", "lengthened"])
def test_a_list_edited_while_the_names_are_read_converts_as_item_access_reads_it(edit, raises):
    # str() of a later key edits a list whose length was already taken: the
    # list is not read past its end (reading it whole crashed here), and the
    # call raises or takes the rows as the event-by-event way does.
    def attempt(wrap):
        values = [1.0, 2.0, 3.0]

        class Key:
            def __str__(self):
                edit(values)
                return "k"

        return run([[("a", wrap(values)), (Key(), [1, 2, 3]), ("timestamp", [0, 1, 2])]], lambda v: v)

    got = attempt(lambda v: v)
    assert got == attempt(Seq)
    assert (got[1][0] is not None) == raises
    assert got[2] == (0 if raises else 3)
