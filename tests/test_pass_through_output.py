"""Pass-through results (next_batch, next_batch_arrow) against a model of the
documented output rules: one type per column and result, decided by the
first value and the kinds of value met; missing fields and Nulls as None;
names in byte order; text columns holding the display text of each value."""
import numpy as np
import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _movra
from conftest import make_plan

NAMES = ["a", "b", "px", "é", "n\0ul", "\u65e5", "Z"]
MISSING = object()

values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**63), 2**63 - 1),
    st.floats(allow_nan=False),
    st.text(alphabet=st.sampled_from("ab\0é\u65e5"), max_size=4),
)
# Events of one emit_json call each (any fields), or blocks of one
# emit_columns call (every field in every event, None for Null).
json_events = st.lists(st.dictionaries(st.sampled_from(NAMES), values, max_size=4), min_size=1, max_size=6)
column_blocks = st.integers(1, 6).flatmap(
    lambda n: st.dictionaries(st.sampled_from(NAMES), st.lists(values, min_size=n, max_size=n), max_size=4).map(
        lambda cols: (n, cols)))
blocks = st.lists(st.one_of(json_events.map(lambda e: ("json", e)), column_blocks.map(lambda c: ("columns", c))),
                  min_size=1, max_size=5)
selects = st.one_of(st.none(), st.lists(st.sampled_from(NAMES + ["absent"]), max_size=4))


def display(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, float):
        return "%.6g" % v
    return str(v)


def model(events, select):
    """The dict next_batch gives for these events (dicts, MISSING-free)."""
    if select is None:
        names = {n for e in events for n in e}
    else:
        names = set(select)
    out = {}
    for name in sorted(names, key=lambda n: n.encode()):
        cells = [e.get(name, MISSING) for e in events]
        seen = [c for c in cells if c is not MISSING] if select is None else [
            None if c is MISSING else c for c in cells]
        kinds = {type(c) for c in seen if c is not None}
        if not kinds or seen[0] is None:
            kind = str
        elif kinds in ({bool}, {int}):
            kind = kinds.pop()
        elif kinds <= {int, float}:
            kind = float
        else:
            kind = str
        convert = {bool: bool, int: int, float: float, str: display}[kind]
        out[name] = [None if c is MISSING or c is None else convert(c) for c in cells]
    return out


def fill(stream, blocks):
    """Emits the blocks; returns the events as the model sees them."""
    events, ts = [], 0
    for how, block in blocks:
        if how == "json":
            for e in block:
                ts += 1
                stream.emit_json({**e, "timestamp": ts})
                events.append({**e, "timestamp": ts})
        else:
            n, cols = block
            stamps = list(range(ts + 1, ts + n + 1))
            ts += n
            stream.emit_columns({**cols, "timestamp": stamps})
            events += [{**{k: v[i] for k, v in cols.items()}, "timestamp": stamps[i]} for i in range(n)]
    return events


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(blocks=blocks, select=selects, batch_size=st.sampled_from([1, 3, 1000]), filtered=st.booleans())
def test_pass_through_dict_follows_the_typing_rules(blocks, select, batch_size, filtered):
    s = _movra.NativeStream.manual(batch_size, 10**9, 10_000)
    events = fill(s, blocks)
    s.close()
    # A filter on a field of any kind leaves picks that are not consecutive.
    plan = make_plan(select=select, filters=[{"field": "a", "op": ">=", "value": 0}] if filtered else [])
    if filtered:
        events = [e for e in events if type(e.get("a")) in (int, float) and e["a"] >= 0]
    got = s.next_batch(plan, timeout_ms=0)
    assert s.next_batch(plan, timeout_ms=0) is None  # the first call took every event
    want = model(events, select) if events else None
    assert got == want
    if want is not None:
        assert list(got) == list(want)
        assert [type(v) for col in got.values() for v in col] == [type(v) for col in want.values() for v in col]


# Texts: a few, one of them not ASCII; many ASCII ones of every length (more
# than the core keeps made objects for, some longer than it keeps at all).
TEXTS = {"few": ["AAPL", "MSFT", "é", ""], "many": [f"s{k}" + "x" * (k % 24) for k in range(500)] + ["", "y"]}


@pytest.mark.parametrize("texts", TEXTS.values(), ids=TEXTS.keys())
@pytest.mark.parametrize("select", [None, ["sym", "px", "absent"]])
@pytest.mark.parametrize("route", ["dict", "arrow"])
def test_a_large_dense_result_reads_back_whole(route, select, texts):
    n = 50_000
    i = np.arange(n)
    syms = np.array(texts)[(i * 7919) % len(texts)]
    s = _movra.NativeStream.manual(7_000, 10**9, n)
    s.emit_arrow(pa.table({"timestamp": i, "sym": syms, "px": i / 8, "qty": i % 50}))
    s.close()
    plan = make_plan(select=select)
    got = s.next_batch(plan, 0) if route == "dict" else pa.table(s.next_batch_arrow(plan, 0)).to_pydict()
    want = {"px": list(i / 8), "qty": list(i % 50), "sym": list(syms), "timestamp": list(i)}
    if select is not None:
        want = {"absent": [None] * n, "px": want["px"], "sym": want["sym"]}
    assert got == want
    assert s.stats()["output_rows"] == n


def bad_text_table(columns):
    """A table of strings from raw bytes and offsets: the only way text that
    is not UTF-8 reaches a stream from Python."""
    arrays = {name: pa.Array.from_buffers(pa.string(), len(offs) - 1,
                                          [None, pa.py_buffer(np.array(offs, np.int32).tobytes()), pa.py_buffer(data)])
              for name, (data, offs) in columns.items()}
    return pa.table({**arrays, "timestamp": [1, 2]})


def test_of_several_bad_strings_the_first_by_row_is_raised_and_the_events_are_taken():
    # "b" is bad in row 0, "a" only in row 1: rows come first.
    s = _movra.NativeStream.manual(1000, 10**9, 1000)
    s.emit_arrow(bad_text_table({"a": (b"ok\xfe", [0, 2, 3]), "b": (b"\xffok", [0, 1, 3])}))
    s.close()
    with pytest.raises(UnicodeDecodeError) as raised:
        s.next_batch(make_plan(), 0)
    assert raised.value.object == b"\xff"
    assert s.next_batch(make_plan(), 0) is None
    assert s.stats()["output_rows"] == 0
