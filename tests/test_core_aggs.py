"""Aggregate plans ("aggs") in the core: plan checks, tumbling windows of any
millisecond width with several group fields and every exact aggregate,
against pandas and plain-Python oracles; the null rule; plan changes."""

import math
import random
import statistics

import numpy as np
import pandas as pd
import pytest

import _movra
from conftest import make_plan, wait_for, window_plan

ALL_AGGS = [
    {"name": "n", "op": "count", "field": None},
    {"name": "n_p", "op": "count", "field": "p"},
    {"name": "total", "op": "sum", "field": "p"},
    {"name": "avg", "op": "mean", "field": "p"},
    {"name": "lo", "op": "min", "field": "p"},
    {"name": "hi", "op": "max", "field": "p"},
    {"name": "open", "op": "first", "field": "p"},
    {"name": "close", "op": "last", "field": "p"},
    {"name": "first_venue", "op": "first", "field": "venue"},
    {"name": "var1", "op": "var", "field": "p"},
    {"name": "var0", "op": "var", "field": "p", "ddof": 0},
    {"name": "sd1", "op": "stddev", "field": "p"},
    {"name": "distinct_p", "op": "count_distinct", "field": "p"},
]


def aggs_plan(aggs=None, by=("sym",), size_ms=1000, time_field="ts", window_extra=None, **overrides):
    window = {"size_ms": size_ms, "by": list(by) if by is not None else None, "time_field": time_field}
    window.update(window_extra or {})
    return make_plan(window=window, aggs=ALL_AGGS if aggs is None else aggs, **overrides)


def new_stream():
    return _movra.NativeStream.manual(batch_size=100000, linger_ms=1, capacity=1000000)


def rows_of(columns):
    """A dict of columns as a list of row dicts (None where a row has no value)."""
    if columns is None:
        return []
    names = list(columns)
    return [dict(zip(names, values)) for values in zip(*columns.values())]


def feed(stream, events, plan, chunks=1):
    """Emits the events in `chunks` parts, pulling with plan after each part
    (so windows close on the way), then closes and drains.  All output rows."""
    out = []
    size = max(1, math.ceil(len(events) / chunks))
    for k in range(0, len(events), size):
        part = events[k:k + size]
        for e in part:
            stream.emit_json(e)
        assert wait_for(lambda: stream.scan_ready_times("ts")[0] == len(part))
        out += rows_of(stream.next_batch(plan, timeout_ms=0))
    stream.close()
    while (batch := stream.next_batch(plan, timeout_ms=0)) is not None:
        out += rows_of(batch)
    return out


def random_events(rng, n, syms=("a", "b", "c"), venues=("X", "Y"), t_max=20000):
    times = sorted(rng.randrange(0, t_max) for _ in range(n))
    events = []
    for t in times:
        e = {"ts": t, "sym": rng.choice(syms), "venue": rng.choice(venues)}
        kind = rng.random()
        if kind < 0.6:
            e["p"] = round(rng.uniform(-50, 50), 3)
        elif kind < 0.75:
            e["p"] = rng.randrange(-5, 5)
        elif kind < 0.83:
            e["p"] = None
        elif kind < 0.9:
            pass  # no p at all
        elif kind < 0.95:
            e["p"] = "text"
        else:
            e["p"] = True
        if rng.random() < 0.05:
            del e["venue"]
        events.append(e)
    return events


NULL_KEY = "<null group value>"


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def expected_tumbling(events, width, by, ddof_names=(("var1", 1), ("var0", 0))):
    """The windows by pandas (numeric aggregates over floored time) and plain
    Python (counts, first/last, distinct), keyed by (group..., start)."""
    frame = pd.DataFrame({
        "start": [e["ts"] // width * width for e in events],
        "p": [float(e["p"]) if is_number(e.get("p")) else np.nan for e in events],
        **{f: [NULL_KEY if e.get(f) is None else e[f] for e in events] for f in by},
    })
    keys = list(by) + ["start"]
    grouped = frame.groupby(keys, dropna=False, sort=False)["p"]
    numeric = pd.DataFrame({
        "total": grouped.sum(min_count=1), "avg": grouped.mean(), "lo": grouped.min(), "hi": grouped.max(),
        "var1": grouped.var(ddof=1), "var0": grouped.var(ddof=0), "sd1": grouped.std(ddof=1),
    })
    expected = {}
    for e in events:
        key = tuple(e.get(f) for f in by) + (e["ts"] // width * width,)
        w = expected.setdefault(key, {"n": 0, "n_p": 0, "open": None, "close": None, "first_venue": None,
                                      "distinct": set()})
        w["n"] += 1
        p = e.get("p")
        if p is not None:
            w["n_p"] += 1
            w["distinct"].add(p if not isinstance(p, bool) else ("bool", p))
            if w["open"] is None:
                w["open"] = p
            w["close"] = p
        if w["first_venue"] is None and e.get("venue") is not None:
            w["first_venue"] = e["venue"]
    for key, w in expected.items():
        row = numeric.loc[tuple(NULL_KEY if k is None else k for k in key)] if by else numeric.loc[key[-1]]
        for name in ("total", "avg", "lo", "hi", "var1", "var0", "sd1"):
            v = row[name]
            w[name] = None if pd.isna(v) else float(v)
        w["distinct_p"] = len(w.pop("distinct"))
    return expected


def check_against(out, expected, by, width):
    got = {tuple(r.get(f) for f in by) + (r["window_start"],): r for r in out}
    assert len(out) == len(got), "a window came out twice"
    assert set(got) == set(expected)
    for key, w in expected.items():
        r = got[key]
        assert r["window_end"] == key[-1] + width
        for name, v in w.items():
            if isinstance(v, float):
                assert r[name] == pytest.approx(v, rel=1e-9, abs=1e-9), (key, name)
            elif name in ("open", "close") and v is not None:
                assert r[name] == pytest.approx(float(v)) if is_number(v) else r[name] == v, (key, name)
            else:
                assert r[name] == v, (key, name)


@pytest.mark.parametrize("width", [1, 7, 250, 1000])
@pytest.mark.parametrize("by", [("sym",), ("sym", "venue"), ()])
def test_tumbling_windows_match_pandas(width, by):
    rng = random.Random(width * 31 + len(by))
    events = random_events(rng, 1500)
    # first/last over a column of mixed numbers: keep only numbers and nulls
    # there, so the column's type is float; text and bools are in "q".
    for e in events:
        if "p" in e and not (is_number(e["p"]) or e["p"] is None):
            e["q"] = e.pop("p")
    plan = aggs_plan(by=by, size_ms=width)
    if not by:
        plan["window"]["by"] = None
    out = feed(new_stream(), events, plan, chunks=4)
    check_against(out, expected_tumbling(events, width, by), by, width)


def test_tumbling_windows_close_by_watermark_in_order():
    """Windows come out as the watermark passes their end, ordered by
    (window_end, window_start, group in first-seen order)."""
    s = new_stream()
    plan = aggs_plan(aggs=[{"name": "n", "op": "count", "field": None}], watermark_ms=100)
    for t, sym in [(10, "b"), (20, "a"), (1050, "a"), (1099, "b")]:
        s.emit_json({"ts": t, "sym": sym})
    assert wait_for(lambda: s.scan_ready_times("ts")[0] == 4)
    assert s.next_batch(plan, timeout_ms=0) is None  # threshold 999
    s.emit_json({"ts": 1100, "sym": "c"})
    assert wait_for(lambda: s.scan_ready_times("ts")[0] == 1)
    out = s.next_batch(plan, timeout_ms=0)
    assert out == {"n": [1, 1], "sym": ["b", "a"], "window_end": [1000, 1000], "window_start": [0, 0]}
    assert s.stats()["open_windows"] == 3
    s.close()


def test_null_rule_and_types():
    events = [
        {"ts": 1, "sym": "a", "p": True},
        {"ts": 2, "sym": "a", "p": "7"},
        {"ts": 3, "sym": "a", "p": None},
        {"ts": 4, "sym": "a"},
        {"ts": 5, "sym": "a", "p": 4},
        {"ts": 10, "sym": "b", "p": "only text"},
    ]
    s = _movra.NativeStream.manual(batch_size=1000, linger_ms=1, capacity=1000)
    plan = aggs_plan(aggs=[
        {"name": "n", "op": "count", "field": None},
        {"name": "n_p", "op": "count", "field": "p"},
        {"name": "total", "op": "sum", "field": "p"},
        {"name": "lo", "op": "min", "field": "p"},
        {"name": "sd", "op": "stddev", "field": "p"},
        {"name": "first_p", "op": "first", "field": "p"},
        {"name": "last_p", "op": "last", "field": "p"},
        {"name": "d", "op": "count_distinct", "field": "p"},
    ], size_ms=100)
    got = {r["sym"]: r for r in feed(s, events, plan)}
    a, b = got["a"], got["b"]
    assert (a["n"], a["n_p"], a["total"], a["lo"], a["sd"], a["d"]) == (5, 3, 4.0, 4.0, None, 3)
    assert isinstance(a["total"], float) and isinstance(a["lo"], float)
    assert (b["n"], b["n_p"], b["total"], b["lo"], b["sd"], b["d"]) == (1, 1, None, None, None, 1)
    # first/last keep their type (a bool, an int, a str); a column that
    # mixes them comes out as text, as any column does.
    assert (a["first_p"], a["last_p"], b["first_p"]) == ("true", "4", "only text")


def test_first_last_by_event_time_ties_by_arrival():
    events = [
        {"ts": 50, "sym": "a", "p": 1.0},
        {"ts": 10, "sym": "a", "p": 2.0},
        {"ts": 10, "sym": "a", "p": 3.0},
        {"ts": 90, "sym": "a", "p": 4.0},
        {"ts": 90, "sym": "a", "p": 5.0},
        {"ts": 60, "sym": "a", "p": 6.0},
    ]
    plan = aggs_plan(aggs=[{"name": "f", "op": "first", "field": "p"}, {"name": "l", "op": "last", "field": "p"}],
                     size_ms=100, allowed_lateness_ms=1000)
    for chunks in (1, 6):
        (row,) = feed(new_stream(), events, plan, chunks=chunks)
        assert (row["f"], row["l"]) == (2.0, 5.0)


def test_var_and_stddev_match_statistics_and_nan_propagates():
    values = [1e9 + 4, 1e9 + 7, 1e9 + 13, 1e9 + 16]
    events = [{"ts": i, "sym": "a", "p": v} for i, v in enumerate(values)]
    plan = aggs_plan(aggs=[
        {"name": "v1", "op": "var", "field": "p"},
        {"name": "v0", "op": "var", "field": "p", "ddof": 0},
        {"name": "s1", "op": "stddev", "field": "p"},
        {"name": "s0", "op": "stddev", "field": "p", "ddof": 0},
    ])
    (row,) = feed(new_stream(), events, plan, chunks=3)
    assert row["v1"] == pytest.approx(statistics.variance(values), rel=1e-12)
    assert row["v0"] == pytest.approx(statistics.pvariance(values), rel=1e-12)
    assert row["s1"] == pytest.approx(statistics.stdev(values), rel=1e-12)
    assert row["s0"] == pytest.approx(statistics.pstdev(values), rel=1e-12)
    events.append({"ts": 9, "sym": "a", "p": float("nan")})
    plan["aggs"] += [{"name": "lo", "op": "min", "field": "p"}, {"name": "hi", "op": "max", "field": "p"}]
    (row,) = feed(new_stream(), events, plan)
    assert all(math.isnan(row[k]) for k in ("v1", "v0", "s1", "s0", "lo", "hi"))


def test_groups_are_typed_values():
    events = [{"ts": 1, "k": 1}, {"ts": 2, "k": "1"}, {"ts": 3, "k": 1.0}, {"ts": 4, "k": None}, {"ts": 5}]
    plan = aggs_plan(aggs=[{"name": "n", "op": "count", "field": None}], by=("k",))
    out = feed(new_stream(), events, plan)
    counts = sorted((repr(r["k"]), r["n"]) for r in out)
    # The int 1 and the float 1.0 are one group, the text "1" another, null
    # and missing a third; a column mixing int and str comes out as text.
    assert sorted(n for _, n in counts) == [1, 2, 2]
    assert len(out) == 3


def test_several_by_fields_come_out_as_columns():
    events = [{"ts": 1, "sym": "a", "venue": "X"}, {"ts": 2, "sym": "a", "venue": "Y"},
              {"ts": 3, "sym": "a", "venue": "X"}]
    plan = aggs_plan(aggs=[{"name": "n", "op": "count", "field": None}], by=("sym", "venue"))
    out = feed(new_stream(), events, plan)
    assert out == [
        {"n": 2, "sym": "a", "venue": "X", "window_end": 1000, "window_start": 0},
        {"n": 1, "sym": "a", "venue": "Y", "window_end": 1000, "window_start": 0},
    ]


BASE_WINDOW = {"size_ms": 1000, "by": "sym", "time_field": "ts"}
COUNT = [{"name": "n", "op": "count", "field": None}]


@pytest.mark.parametrize("overrides, words", [
    ({"aggs": [{"name": "x", "op": "median", "field": "p"}]}, ['"x"', '"median"']),
    ({"aggs": [{"name": "x", "op": "sum", "field": None}]}, ['"x"', '"field"']),
    ({"aggs": COUNT * 2}, ['"n"', "twice"]),
    ({"aggs": [{"name": "sym", "op": "count", "field": None}]}, ['"sym"']),
    ({"aggs": [{"name": "window_end", "op": "count", "field": None}]}, ['"window_end"']),
    ({"aggs": []}, ['"aggs"']),
    ({"aggs": COUNT, "mean": {"field": "p", "alias": "m"}}, ['"aggs"', '"mean"']),
    ({"aggs": COUNT, "window": None}, ["aggs needs a window"]),
    ({"aggs": COUNT, "window": dict(BASE_WINDOW, slide_ms=300)}, ['"size_ms"', '"slide_ms"']),
    ({"aggs": COUNT, "window": dict(BASE_WINDOW, size_ms=0)}, ['"size_ms"']),
    ({"aggs": COUNT, "window": dict(BASE_WINDOW, size_ms=10**9, slide_ms=1)}, ['"size_ms"', '"slide_ms"']),
    ({"aggs": COUNT, "window": dict(BASE_WINDOW, gap_ms=10)}, ['"gap_ms"', '"size_ms"']),
    ({"aggs": COUNT, "window": dict(BASE_WINDOW, by=["sym", "sym"])}, ['"sym"']),
    ({"aggs": [{"name": "v", "op": "var", "field": "p", "ddof": -1}]}, ['"ddof"']),
    ({"aggs": COUNT, "close_idle_after_ms": -5}, ['"close_idle_after_ms"']),
    ({"window": dict(BASE_WINDOW, by=["sym"]), "mean": {"field": "p", "alias": "m"}}, ['"by"']),
    ({"window": dict(BASE_WINDOW, size_ms=1500), "mean": {"field": "p", "alias": "m"}}, ['"size_ms"']),
    ({"window": dict(BASE_WINDOW, gap_ms=5, size_ms=None), "mean": {"field": "p", "alias": "m"}}, ['"gap_ms"']),
])
def test_plan_errors_name_the_key(stream, overrides, words):
    plan = make_plan(**{"window": dict(BASE_WINDOW), **overrides})
    with pytest.raises(ValueError) as info:
        stream.next_batch(plan, timeout_ms=0)
    for w in words:
        assert w in str(info.value)


def test_mean_plan_with_whole_seconds_in_size_ms_is_todays_plan(stream):
    stream.emit_columns({"ts": [1000, 5000, 12000], "v": [1.0, 2.0, 6.0]})
    assert wait_for(lambda: stream.stats()["microbatches_emitted"] == 1)
    plan = window_plan(seconds=None, time_field="ts")
    plan["window"]["size_ms"] = 10000
    assert stream.next_batch(plan, timeout_ms=0) == {
        "avg": [1.5], "count": [2], "window_end": [10000], "window_start": [0]}


def test_a_different_plan_is_refused_while_windows_are_open(stream):
    plan = aggs_plan(aggs=COUNT)
    stream.emit_json({"ts": 10, "sym": "a"})
    assert wait_for(lambda: stream.scan_ready_times("ts")[0] == 1)
    assert stream.next_batch(plan, timeout_ms=0) is None
    other = aggs_plan(aggs=COUNT + [{"name": "s", "op": "sum", "field": "p"}])
    stream.emit_json({"ts": 20, "sym": "a"})
    assert wait_for(lambda: stream.scan_ready_times("ts")[0] == 1)
    with pytest.raises(ValueError, match="different window/aggregate plan"):
        stream.next_batch(other, timeout_ms=0)
    # Nothing was taken: the same plan still finds the event.
    assert stream.scan_ready_times("ts")[0] == 1
    # A mean plan works beside the open aggregate windows and leaves them be.
    legacy = window_plan(seconds=1, time_field="ts", field="p")
    assert stream.next_batch(legacy, timeout_ms=0) is None
    assert stream.stats()["open_windows"] == 1
    stream.emit_json({"ts": 5000, "sym": "a"})
    assert wait_for(lambda: stream.scan_ready_times("ts")[0] == 1)
    assert stream.next_batch(plan, timeout_ms=0) == {
        "n": [1], "sym": ["a"], "window_end": [1000], "window_start": [0]}
    stream.emit_json({"ts": 9000, "sym": "a"})
    assert wait_for(lambda: stream.scan_ready_times("ts")[0] == 1)
    # The window of 5000 is still open under the first plan; now it closes.
    assert stream.next_batch(plan, timeout_ms=0)["window_start"] == [5000]
    stream.emit_json({"ts": 9500, "sym": "a"})
    assert wait_for(lambda: stream.scan_ready_times("ts")[0] == 1)
    with pytest.raises(ValueError):
        stream.next_batch(other, timeout_ms=0)


def test_any_plan_may_start_once_no_window_is_open(stream):
    stream.emit_json({"ts": 10, "sym": "a", "p": 2})
    stream.close()
    assert stream.next_batch(aggs_plan(aggs=COUNT), timeout_ms=0) == {
        "n": [1], "sym": ["a"], "window_end": [1000], "window_start": [0]}
    other = aggs_plan(aggs=[{"name": "s", "op": "sum", "field": "p"}])
    assert stream.next_batch(other, timeout_ms=0) is None


def test_aggregate_columns_runs_an_aggs_plan(stream):
    out = stream.aggregate_columns({"ts": [1, 2, 1500], "sym": ["a", "a", "b"], "p": [1.0, 3.0, 5.0]},
                                   aggs_plan(aggs=[{"name": "m", "op": "mean", "field": "p"}]))
    assert out == {"m": [2.0, 5.0], "sym": ["a", "b"], "window_end": [1000, 2000], "window_start": [0, 1000]}


def test_arrow_result_types_aggregates_and_nulls(stream):
    pa = pytest.importorskip("pyarrow")
    data = pa.table({"ts": [1, 2, 1500], "sym": ["a", "a", "b"], "p": [1.0, 3.0, 5.0]})
    plan = aggs_plan(aggs=[{"name": "v", "op": "var", "field": "p"}, {"name": "n", "op": "count", "field": None},
                           {"name": "none", "op": "max", "field": "absent"}])
    table = pa.table(stream.aggregate_arrow(data, plan))
    assert table.column("v").to_pylist() == [2.0, None]
    assert table.column("n").type == pa.int64()
    assert table.column("none").null_count == 2


def test_select_projects_aggregate_output(stream):
    plan = aggs_plan(aggs=[{"name": "m", "op": "mean", "field": "p"}, {"name": "n", "op": "count", "field": None}],
                     select=["sym", "m"])
    out = stream.aggregate_columns({"ts": [1, 2], "sym": ["a", "a"], "p": [1.0, 3.0]}, plan)
    assert out == {"m": [2.0], "sym": ["a"]}
