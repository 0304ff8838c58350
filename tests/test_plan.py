"""Plan parsing, filters and projection."""
import numpy as np
import pytest

import _movra
from conftest import make_plan, wait_for, window_plan

NativeStream = _movra.NativeStream
CAST = "^Unable to cast Python instance of type"
KEYS = ["filters", "select", "window", "mean", "watermark_ms", "allowed_lateness_ms", "event_id_field", "drop_late"]


def run(plan, columns):
    s = NativeStream.manual(10, 1, 10)
    try:
        return s.aggregate_columns(columns, plan)
    finally:
        s.close()


def test_minimal_plan_passes_rows_through():
    assert run(make_plan(), {"a": [1, 2], "timestamp": [1, 2]}) == {"a": [1, 2], "timestamp": [1, 2]}


@pytest.mark.parametrize("key", KEYS)
def test_every_top_level_key_is_required(key):
    plan = make_plan()
    del plan[key]
    with pytest.raises(KeyError, match=key):
        run(plan, {})


def test_key_order_decides_which_error_is_reported():
    plan = make_plan(select=5)
    del plan["drop_late"]
    with pytest.raises(TypeError):
        run(plan, {})


@pytest.mark.parametrize(
    "plan, error, match",
    [
        (make_plan(filters=None), TypeError, "not iterable"),
        (make_plan(filters=[{"field": "a", "op": "=="}]), KeyError, "value"),
        (make_plan(filters=[5]), TypeError, None),
        (make_plan(window={"seconds": 10, "time_field": "t"}), KeyError, "by"),
        (make_plan(window={"seconds": 10, "by": None}), KeyError, "time_field"),
        (make_plan(window={"seconds": 1.5, "by": None, "time_field": "t"}), RuntimeError, CAST),
        (make_plan(window={"seconds": 10, "by": None, "time_field": None}), RuntimeError, CAST),
        (make_plan(mean={"field": "v"}), KeyError, "alias"),
        (make_plan(select=[1]), RuntimeError, CAST),
        (make_plan(watermark_ms=2**63), RuntimeError, CAST),
        (make_plan(drop_late="yes"), RuntimeError, CAST),
    ],
)
def test_plan_faults_raise_the_conversion_errors(plan, error, match):
    s = NativeStream.manual(10, 1, 10)
    s.emit_json({"a": 1})
    s.close()
    with pytest.raises(error, match=match):
        s.next_batch(plan, timeout_ms=0)
    # Nothing was taken: the ready batch is still there for a good plan.
    assert s.next_batch(make_plan(), timeout_ms=0)["a"] == [1]
    assert s.stats()["output_batches"] == 1


def test_accepted_conversions():
    cols = {"v": [2.0, 4.0], "t": [1000, 2000]}
    out = run(window_plan(seconds=True, time_field="t", filters=(f for f in [])), cols)
    assert out["window_start"] == [1000, 2000] and out["window_end"] == [2000, 3000]
    out = run(make_plan(filters=[[("field", "v"), ("op", ">"), ("value", 3)]]), cols)
    assert out["v"] == [4.0]
    assert list(run(make_plan(select="vt"), cols)) == ["t", "v"]
    assert run(make_plan(select=[b"v"]), cols) == {"v": [2.0, 4.0]}


@pytest.mark.parametrize("drop_late, kept", [(0, 3), (2, 2), (False, 3), (None, 2)])
def test_drop_late_conversion(drop_late, kept):
    out = run(make_plan(drop_late=drop_late), {"timestamp": [100, 200, 150]})
    assert len(out["timestamp"]) == kept


@pytest.mark.parametrize(
    "op, value, column, passes",
    [
        ("==", 5.0, 5, True),
        ("==", "5", 5, False),
        ("!=", "5", 5, False),
        ("==", None, None, False),
        ("!=", None, 1, False),
        ("==", 1, True, False),
        ("==", True, True, True),
        ("<", True, True, False),
        ("<", "b", "a", False),
        ("!=", "b", "a", True),
        ("=", 5, 5, False),
        ("", 5, 5, False),
        (" ==", 5, 5, False),
        ("==", np.int64(5), 5, False),
        ("==", np.float64(5), 5, True),
        (">=", 9007199254740992, 9007199254740993, True),
        ("<", 9007199254740992, 9007199254740993, False),
        ("!=", float("nan"), float("nan"), True),
        ("==", float("nan"), float("nan"), False),
    ],
)
def test_filter_table(op, value, column, passes):
    out = run(make_plan(filters=[{"field": "c", "op": op, "value": value}]), {"c": [column], "timestamp": [1]})
    assert (out != {}) == passes


def test_filters_are_anded_and_missing_columns_fail():
    cols = {"a": [1, 2, 3], "timestamp": [1, 2, 3]}
    f = [{"field": "a", "op": ">", "value": 1}, {"field": "a", "op": "<", "value": 3}]
    assert run(make_plan(filters=f), cols)["a"] == [2]
    assert run(make_plan(filters=[{"field": "zz", "op": "!=", "value": 1}]), cols) == {}


def test_projection():
    cols = {"a": [1], "c": [3], "timestamp": [0]}
    assert run(make_plan(select=["b", "a", "b"]), cols) == {"a": [1], "b": [None]}
    assert run(make_plan(select=[]), cols) == {}
    s = NativeStream.manual(10, 1, 10)
    s.emit_json({"a": 1})
    s.close()
    # An empty select keeps the rows, but rows without columns make no columns.
    assert s.next_batch(make_plan(select=[]), timeout_ms=0) == {}
    assert s.stats()["output_rows"] == 1


def test_select_on_window_rows():
    out = run(window_plan(select=["avg", "nothing"], time_field="t"), {"v": [1.0, 3.0], "t": [1, 2]})
    assert out == {"avg": [2.0], "nothing": [None]}


GOOD = window_plan(seconds=1, by="g", time_field="t")


@pytest.mark.parametrize(
    "bad",
    [
        window_plan(seconds=1, by="g", time_field="t", alias=b"\xffavg"),
        window_plan(seconds=1, by=b"g\xff", time_field="t"),
        window_plan(seconds=1, by="g", time_field="t", select=["avg", b"\xfe"]),
    ],
    ids=["alias", "by", "select"],
)
@pytest.mark.parametrize("op", ["next_batch", "aggregate_columns"])
def test_output_names_that_are_not_utf8_fail_before_anything_is_taken(op, bad):
    s = NativeStream.manual(1000, 1, 1000)
    s.emit_columns({"t": [0, 400], "g": ["A", "B"], "v": [1.0, 2.0]})
    assert wait_for(lambda: s.stats()["microbatches_emitted"] == 1)
    assert s.next_batch(GOOD, timeout_ms=0) is None  # two windows open
    s.emit_columns({"t": [900, 5000], "g": ["A", "A"], "v": [3.0, 9.0]})
    s.close()  # and one batch ready
    before = s.stats()
    with pytest.raises(UnicodeDecodeError):
        if op == "next_batch":
            s.next_batch(bad, timeout_ms=0)
        else:
            s.aggregate_columns({"t": [950], "g": ["B"], "v": [4.0]}, bad)
    assert s.stats() == before
    windows = []
    while (out := s.next_batch(GOOD, timeout_ms=0)) is not None:
        windows += zip(out["window_start"], out["g"], out["count"], out["avg"])
    assert windows == [(0, "A", 2, 2.0), (0, "B", 1, 2.0), (5000, "A", 1, 9.0)]
