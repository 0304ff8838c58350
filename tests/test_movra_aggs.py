"""Aggregates and windows in the package: the `Agg` helpers and their text,
`Plan` with aggs/slide/session/close_idle_after as the core's dict, the
checks that name the key and the value, and the column order of results."""
import builtins
import json

import pytest

import movra
from movra._frames import convert_result

OHLCV = {"open": movra.first("price"), "high": movra.max("price"), "low": movra.min("price"),
         "close": movra.last("price"), "volume": movra.sum("qty"), "n": movra.count()}


# ------------------------------------------------------------------ helpers

@pytest.mark.parametrize("agg, raw, text", [
    (movra.count(), {"op": "count", "field": None}, "count()"),
    (movra.count("x"), {"op": "count", "field": "x"}, "count(x)"),
    (movra.sum("x"), {"op": "sum", "field": "x"}, "sum(x)"),
    (movra.mean("x"), {"op": "mean", "field": "x"}, "mean(x)"),
    (movra.min("x"), {"op": "min", "field": "x"}, "min(x)"),
    (movra.max("x"), {"op": "max", "field": "x"}, "max(x)"),
    (movra.first("x"), {"op": "first", "field": "x"}, "first(x)"),
    (movra.last("x"), {"op": "last", "field": "x"}, "last(x)"),
    (movra.var("x"), {"op": "var", "field": "x", "ddof": 1}, "var(x)"),
    (movra.stddev("x", ddof=0), {"op": "stddev", "field": "x", "ddof": 0}, "stddev(x, ddof=0)"),
    (movra.count_distinct("u"), {"op": "count_distinct", "field": "u"}, "count_distinct(u)"),
    (movra.quantile("lat", 0.5), {"op": "quantile", "field": "lat", "q": 0.5}, "quantile(lat, 0.5)"),
    (movra.approx_quantile("lat", 0.99), {"op": "approx_quantile", "field": "lat", "q": 0.99, "param": 200},
     "approx_quantile(lat, 0.99)"),
    (movra.approx_quantile("lat", 1, k=64), {"op": "approx_quantile", "field": "lat", "q": 1.0, "param": 64},
     "approx_quantile(lat, 1.0, k=64)"),
    (movra.approx_count_distinct("u"), {"op": "approx_count_distinct", "field": "u", "param": 12},
     "approx_count_distinct(u)"),
    (movra.approx_count_distinct("u", precision=4), {"op": "approx_count_distinct", "field": "u", "param": 4},
     "approx_count_distinct(u, precision=4)"),
])
def test_helpers_give_the_core_entry_and_text_that_parses_back(agg, raw, text):
    assert agg.to_dict("a") == {"name": "a", **raw}
    assert str(agg) == text
    assert movra.Agg.parse(text) == agg
    assert eval(repr(agg), {"movra": movra}) == agg


@pytest.mark.parametrize("text, agg", [
    ("count( )", movra.count()),
    (" sum( 'my col' ) ", movra.sum("my col")),
    ("var(x,0)", movra.var("x", ddof=0)),
    ("stddev(x, ddof=2)", movra.stddev("x", ddof=2)),
    ("approx_quantile(lat,0.99,k=400)", movra.approx_quantile("lat", 0.99, k=400)),
    ("approx_count_distinct(u,14)", movra.approx_count_distinct("u", 14)),
])
def test_parse_reads_python_like_calls(text, agg):
    assert movra.Agg.parse(text) == agg


@pytest.mark.parametrize("field", ["a,b", "f(x)", "x=1", " padded ", "it's", 'say "hi"', "é"])
def test_text_of_awkward_column_names_reads_back(field):
    for agg in (movra.sum(field), movra.var(field, ddof=0), movra.quantile(field, 0.5)):
        assert movra.Agg.parse(str(agg)) == agg


@pytest.mark.parametrize("make, error, text", [
    (lambda: movra.Agg("median", "x"), movra.PlanError, "unknown aggregate op 'median'"),
    (lambda: movra.Agg("sum"), movra.PlanError, "sum() needs a column"),
    (lambda: movra.sum(3), TypeError, "the column must be a str, got 3"),
    (lambda: movra.first(""), movra.PlanError, "must not be empty"),
    (lambda: movra.var("x", ddof=-1), movra.PlanError, "ddof must be 0 or more, got -1"),
    (lambda: movra.var("x", ddof=1.5), TypeError, "ddof must be an int, got 1.5"),
    (lambda: movra.Agg("sum", "x", ddof=0), movra.PlanError, "only for var and stddev"),
    (lambda: movra.quantile("x", 1.5), movra.PlanError, "q must be from 0 to 1, got 1.5"),
    (lambda: movra.quantile("x", float("nan")), movra.PlanError, "q must be from 0 to 1"),
    (lambda: movra.quantile("x", "0.5"), TypeError, "q must be a number"),
    (lambda: movra.approx_quantile("x", 0.5, k=4), movra.PlanError, "k must be from 8 to 65535, got 4"),
    (lambda: movra.approx_count_distinct("x", 22), movra.PlanError, "precision must be from 4 to 21, got 22"),
    (lambda: movra.Agg("mean", "x", q=0.5), movra.PlanError, "q=0.5 is only for"),
    (lambda: movra.Agg("mean", "x", param=3), movra.PlanError, "param=3 is only for"),
    (lambda: movra.Agg.parse("first price"), movra.PlanError, "is not 'op(column)'"),
    (lambda: movra.Agg.parse("avg(price)"), movra.PlanError, "unknown op 'avg'"),
    (lambda: movra.Agg.parse("sum()"), movra.PlanError, "sum needs a column"),
    (lambda: movra.Agg.parse("sum(a, b)"), movra.PlanError, "sum takes (field)"),
    (lambda: movra.Agg.parse("var(x, ddof=one)"), movra.PlanError, "is not a number"),
    (lambda: movra.Agg.parse("var(x, q=1)"), movra.PlanError, "var takes (field, ddof)"),
    (lambda: movra.Agg.parse("sum('x)"), movra.PlanError, "a quote is not closed"),
])
def test_bad_aggregates_are_named(make, error, text):
    with pytest.raises(error) as info:
        make()
    assert text in str(info.value)


def test_the_package_keeps_its_builtins_and_exports_the_helpers():
    assert movra.sum is not builtins.sum and movra.min("x").op == "min" and movra.max("x").op == "max"
    assert {"count", "sum", "min", "max", "first", "last", "var", "stddev", "Agg"} <= set(movra.__all__)
    assert all(hasattr(movra, name) for name in movra.__all__)


# --------------------------------------------------------------------- plan

def test_ohlcv_plan_is_the_cores_dict_in_output_order():
    plan = movra.Plan(window="1m", by="sym", aggs=OHLCV, watermark="1s")
    assert plan.to_dict() == {
        "filters": [], "select": None,
        "window": {"by": "sym", "time_field": "timestamp", "size_ms": 60_000},
        "mean": None, "watermark_ms": 1000, "allowed_lateness_ms": None, "event_id_field": None,
        "drop_late": True,
        "aggs": [{"name": "open", "op": "first", "field": "price"}, {"name": "high", "op": "max", "field": "price"},
                 {"name": "low", "op": "min", "field": "price"}, {"name": "close", "op": "last", "field": "price"},
                 {"name": "volume", "op": "sum", "field": "qty"}, {"name": "n", "op": "count", "field": None}]}
    assert plan.output_columns == ("sym", "window_start", "window_end", "open", "high", "low", "close", "volume",
                                   "n")


@pytest.mark.parametrize("kwargs, window, extra", [
    (dict(window="250ms"), {"by": None, "time_field": "timestamp", "size_ms": 250}, {}),
    (dict(window="10s", slide="1s", by=["sym", "venue"]),
     {"by": ["sym", "venue"], "time_field": "timestamp", "size_ms": 10_000, "slide_ms": 1000}, {}),
    (dict(session="30s", by="user", time_field="t"), {"by": "user", "time_field": "t", "gap_ms": 30_000}, {}),
    (dict(window="1s", close_idle_after="2s"), {"by": None, "time_field": "timestamp", "size_ms": 1000},
     {"close_idle_after_ms": 2000}),
    (dict(window="1s", close_idle_after=0, keep_late=True),
     {"by": None, "time_field": "timestamp", "size_ms": 1000}, {"close_idle_after_ms": 0, "keep_late": True}),
])
def test_window_kinds_become_the_designed_keys_and_read_back(kwargs, window, extra):
    plan = movra.Plan(aggs={"n": movra.count()}, **kwargs)
    raw = plan.to_dict()
    assert raw["window"] == window
    assert {k: raw[k] for k in raw if k not in movra.RawPlan.__annotations__ or k in extra} == extra
    assert movra.Plan.from_dict(raw) == plan
    assert movra.Plan.from_dict(json.loads(json.dumps(raw))) == plan
    assert eval(repr(plan), {"Plan": movra.Plan, "movra": movra}) == plan


def test_old_plans_keep_exactly_their_eight_keys():
    plan = movra.Plan(window="2s", by="sym", mean="price", lateness=5)
    assert json.dumps(plan.to_dict()) == (
        '{"filters": [], "select": null, "window": {"seconds": 2, "by": "sym", "time_field": "timestamp"}, '
        '"mean": {"field": "price", "alias": "avg_price"}, "watermark_ms": null, "allowed_lateness_ms": 5, '
        '"event_id_field": null, "drop_late": true}')
    assert list(movra.Plan(filters=["a>1"], dedup="id").to_dict()) == [
        "filters", "select", "window", "mean", "watermark_ms", "allowed_lateness_ms", "event_id_field", "drop_late"]
    assert repr(plan) == "Plan(window='2s', by='sym', mean='price', alias='avg_price', lateness='5ms')"


def test_replace_repr_and_text_aggregates():
    plan = movra.Plan(window="1s", by=["a", "b"], aggs={"p": "approx_quantile(lat, 0.99)", "n": "count()"})
    assert plan.aggs == (("p", movra.approx_quantile("lat", 0.99)), ("n", movra.count()))
    assert repr(plan) == ("Plan(window='1s', by=['a', 'b'], aggs={'p': movra.approx_quantile('lat', 0.99), "
                          "'n': movra.count()})")
    hopping = plan.replace(window="4s", slide="2s")
    assert hopping.to_dict()["window"] == {"by": ["a", "b"], "time_field": "timestamp", "size_ms": 4000,
                                           "slide_ms": 2000}
    session = plan.replace(window=None, session="5s")
    assert session.windowed and session.output_columns == ("a", "b", "window_start", "window_end", "p", "n")
    assert hash(session) == hash(plan.replace(window=None, session=5000))
    assert plan.replace(select=["n", "a"]).output_columns == ("a", "n")


AGGS = {"n": movra.count()}


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(window="1s", aggs={}), movra.PlanError, "aggs is empty"),
    (dict(window="1s", aggs=movra.count()), TypeError, "did you mean aggs={'name': movra.count()}"),
    (dict(window="1s", aggs={"n": "count"}), movra.PlanError, "'count' is not 'op(column)'"),
    (dict(window="1s", aggs={"n": 5}), TypeError, "aggs['n'] must be an aggregate"),
    (dict(window="1s", aggs=[("n", movra.count()), ("n", movra.count("x"))]), movra.PlanError,
     "aggs names 'n' twice"),
    (dict(aggs=AGGS), movra.PlanError, "needs a window: window='1s', or session='30s'"),
    (dict(window="1s", mean="p", aggs=AGGS), movra.PlanError, "aggs and mean='p' exclude each other"),
    (dict(window="1s", alias="m", aggs=AGGS), movra.PlanError, "alias='m' names the mean's column"),
    (dict(window="1s", slide="300ms", aggs=AGGS), movra.PlanError,
     "window='1s' must be a whole multiple of slide='300ms'"),
    (dict(window="1s", slide=0, aggs=AGGS), movra.PlanError, "slide must be positive"),
    (dict(session="1s", window="1s", aggs=AGGS), movra.PlanError, "session='1s' and window='1s' exclude"),
    (dict(session="1s", slide="1s", aggs=AGGS), movra.PlanError, "session='1s' and slide='1s' exclude"),
    (dict(session=0, aggs=AGGS), movra.PlanError, "session must be positive"),
    (dict(window="1s", by="window_end", aggs=AGGS), movra.PlanError, "by='window_end' collides"),
    (dict(window="1s", by=["s", "s"], aggs=AGGS), movra.PlanError, "by names 's' twice"),
    (dict(window="1s", by=[], aggs=AGGS), movra.PlanError, "by is an empty list"),
    (dict(window="1s", by="a,b", aggs=AGGS), movra.PlanError, "give a list, by=['a', 'b']"),
    (dict(window="1s", by=["a", 1], aggs=AGGS), TypeError, "by[1] must be a column name"),
    (dict(window="1s", by="sym", aggs={"sym": movra.count()}), movra.PlanError,
     "aggs name 'sym' collides with the by column"),
    (dict(window="1s", aggs={"window_start": movra.count()}), movra.PlanError,
     "aggs name 'window_start' collides with the window output column"),
    (dict(window="1s", aggs=AGGS, select=["count"]), movra.PlanError, "select names 'count'"),
    (dict(window="1s", aggs=AGGS, close_idle_after="-1s"), movra.PlanError, "close_idle_after must not be negative"),
    (dict(window="1s", aggs=AGGS, keep_late=1), TypeError, "keep_late must be True or False"),
    (dict(window="1s", mean="p", slide="1s"), movra.PlanError, "slide='1s' needs aggs="),
    (dict(window="1s", mean="p", close_idle_after="1s"), movra.PlanError, "close_idle_after='1s' needs aggs="),
    (dict(session="1s"), movra.PlanError, "session='1s' needs aggs="),
    (dict(window="1s", mean="p", by=["a", "b"]), movra.PlanError, "grouping by several columns needs aggs="),
    (dict(window="1500ms", mean="p"), movra.PlanError, "whole number of seconds"),
])
def test_aggregate_plan_mistakes_name_the_key_and_value(kwargs, error, text):
    with pytest.raises(error) as info:
        movra.Plan(**kwargs)
    assert text in str(info.value)


_BASE = {"filters": [], "select": None, "mean": None, "watermark_ms": None, "allowed_lateness_ms": None,
         "event_id_field": None, "drop_late": True}
_AGG_N = [{"name": "n", "op": "count", "field": None}]


@pytest.mark.parametrize("raw, error, text", [
    ({**_BASE, "window": {"by": None, "time_field": "t", "size_ms": 0}, "aggs": _AGG_N}, movra.PlanError,
     "window 'size_ms' must be positive, got 0"),
    ({**_BASE, "window": {"by": None, "time_field": "t", "size_ms": "1s"}, "aggs": _AGG_N}, TypeError,
     "window 'size_ms' must be an int"),
    ({**_BASE, "window": {"by": None, "time_field": "t", "size_ms": 10, "wide": 1}, "aggs": _AGG_N},
     movra.PlanError, "unknown ['wide']"),
    ({**_BASE, "window": {"by": None, "time_field": "t", "size_ms": 10, "seconds": 1}, "aggs": _AGG_N},
     movra.PlanError, "'seconds'=1 and 'size_ms' exclude each other"),
    ({**_BASE, "window": {"by": None, "time_field": "t", "size_ms": 10}, "aggs": [{"name": "n", "op": "p99",
                                                                                   "field": "x"}]},
     movra.PlanError, "unknown aggregate op 'p99'"),
    ({**_BASE, "window": {"by": None, "time_field": "t", "size_ms": 10}, "aggs": [{"name": "n", "op": "sum"}]},
     movra.PlanError, "aggs[0]: an aggregate dict has the keys"),
    ({**_BASE, "window": {"by": None, "time_field": "t", "size_ms": 10}, "aggs": {"n": "count()"}}, TypeError,
     "'aggs' must be a list of aggregate dicts"),
    ({**_BASE, "window": {"by": None, "time_field": "t", "size_ms": 10}, "aggs": _AGG_N, "close_idle_after_ms": 1.5},
     TypeError, "'close_idle_after_ms' must be an int or None, got 1.5"),
    ({**_BASE, "window": {"by": None, "time_field": "t", "size_ms": 10}, "aggs": _AGG_N, "late": True},
     movra.PlanError, "unknown 'late'"),
])
def test_raw_aggregate_plans_are_checked(raw, error, text):
    with pytest.raises(error) as info:
        movra.Plan.from_dict(raw)
    assert text in str(info.value)


def test_from_dict_takes_seconds_in_an_aggregate_window_and_a_missing_aggs_as_none():
    raw = {**_BASE, "window": {"seconds": 2, "by": ["a"], "time_field": "t"}, "aggs": _AGG_N}
    assert movra.Plan.from_dict(raw) == movra.Plan(window="2s", by=["a"], time_field="t", aggs=AGGS)
    legacy = movra.Plan(window="1s", mean="p").to_dict()
    assert movra.Plan.from_dict({**legacy, "aggs": None, "close_idle_after_ms": None}) == movra.Plan.from_dict(legacy)


# ------------------------------------------------------------ column order

RESULT = {"close": [2.0], "n": [2], "open": [1.0], "sym": ["A"], "window_end": [1000], "window_start": [0]}
ORDER = ("sym", "window_start", "window_end", "open", "close", "n")


@pytest.mark.parametrize("output", ["dict", "pandas", "polars", "arrow"])
def test_results_of_aggregate_plans_come_in_output_order(output):
    if output != "dict":
        pytest.importorskip("pyarrow" if output == "arrow" else output)
    frame = convert_result(dict(RESULT), output, False, ORDER)
    names = list(frame) if output == "dict" else list(frame.columns) if output != "arrow" else frame.column_names
    assert names == list(ORDER)
    unordered = convert_result(dict(RESULT), output, False)
    names = list(unordered) if output == "dict" else (
        list(unordered.columns) if output != "arrow" else unordered.column_names)
    assert names == sorted(RESULT)


def test_arrow_results_are_reordered_too():
    pa = pytest.importorskip("pyarrow")
    table = pa.table(RESULT)
    for output in ("pandas", "polars", "arrow"):
        if output != "arrow":
            pytest.importorskip(output)
        frame = convert_result(table, output, True, ORDER)
        names = list(frame.columns) if output != "arrow" else frame.column_names
        assert names == list(ORDER)
