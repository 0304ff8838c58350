"""movra.Plan, filters and durations: every mistake the engine would take
silently is refused with a message naming the key and the value, and a
valid plan is exactly the engine's dict."""
import datetime

import numpy as np
import pytest

import _movra
import movra

WINDOWED = dict(window="1s", by="sym", mean="price")


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(window="500ms", mean="p"), movra.PlanError, "whole number of seconds"),
    (dict(window=1500, mean="p"), movra.PlanError, "1500 ms"),
    (dict(window=0, mean="p"), movra.PlanError, "window must be positive"),
    (dict(window=1.5, mean="p"), TypeError, "1.5 (float)"),
    (dict(window="1s"), movra.PlanError, "needs mean="),
    (dict(mean="p"), movra.PlanError, "needs a window"),
    (dict(time_field="t"), movra.PlanError, "time_field='t' needs a window"),
    (dict(WINDOWED, alias="count"), movra.PlanError, "alias='count' collides"),
    (dict(WINDOWED, alias="sym"), movra.PlanError, "alias='sym' collides with the by column"),
    (dict(WINDOWED, by="window_start"), movra.PlanError, "by='window_start' collides"),
    (dict(select="sym"), TypeError, "not one string: 'sym'"),
    (dict(select=[]), movra.PlanError, "select is empty"),
    (dict(WINDOWED, select=["price"]), movra.PlanError, "select names 'price'"),
    (dict(watermark=-1), movra.PlanError, "watermark must not be negative, got -1"),
    (dict(lateness="-2s"), movra.PlanError, "lateness must not be negative"),
    (dict(watermark="500"), movra.PlanError, "write '500ms'"),
    (dict(watermark="0.5ms"), movra.PlanError, "whole number of milliseconds"),
    (dict(filters=["price=0"]), movra.PlanError, "unknown filter op '=' (did you mean '=='?)"),
    (dict(filters=[("price", "eq", 0)]), movra.PlanError, "the valid ops are == != < > <= >="),
    (dict(filters=["sym<AAPL"]), movra.PlanError, "'<' compares numbers only"),
    (dict(filters=[("a", "==", None)]), movra.PlanError, "None value never matches"),
    (dict(filters=[("a", "==", float("nan"))]), movra.PlanError, "NaN"),
    (dict(filters="price>0"), TypeError, "did you mean ['price>0']"),
    (dict(filters=["price >"]), movra.PlanError, "has no value"),
    (dict(dedup=""), movra.PlanError, "dedup must not be empty"),
    (dict(by=5, window="1s", mean="p"), TypeError, "by must be a column name"),
    (dict(drop_late=0), TypeError, "drop_late must be True or False"),
])
def test_mistakes_raise_naming_key_and_value(kwargs, error, text):
    with pytest.raises(error) as info:
        movra.Plan(**kwargs)
    assert text in str(info.value)


def test_to_dict_is_the_engines_plan_and_runs_as_meant():
    plan = movra.Plan(window=datetime.timedelta(seconds=2), by="sym", mean="price",
                      filters=["price>0", "sym!='X'", ("qty", ">=", np.int64(10))], dedup="id",
                      watermark="1s", lateness=250, drop_late=False)
    raw = plan.to_dict()
    assert raw == {
        "filters": [{"field": "price", "op": ">", "value": 0}, {"field": "sym", "op": "!=", "value": "X"},
                    {"field": "qty", "op": ">=", "value": 10}],
        "select": None, "window": {"seconds": 2, "by": "sym", "time_field": "timestamp"},
        "mean": {"field": "price", "alias": "avg_price"}, "watermark_ms": 1000, "allowed_lateness_ms": 250,
        "event_id_field": "id", "drop_late": False}
    assert type(raw["filters"][2]["value"]) is int  # a NumPy value would compare as text
    assert movra.Plan.from_dict(raw) == plan
    raw["filters"].clear()
    assert plan.to_dict()["filters"]  # each call gives a new dict
    s = _movra.NativeStream.manual(10, 1, 100)
    out = s.aggregate_columns({"sym": ["A", "A", "X"], "price": [1.0, -1.0, 5.0], "qty": [10, 10, 10],
                               "id": ["a", "b", "c"], "timestamp": [0, 1, 2]}, plan.to_dict())
    assert out == {"avg_price": [1.0], "count": [1], "sym": ["A"], "window_end": [2000], "window_start": [0]}


@pytest.mark.parametrize("raw_change, error, text", [
    (dict(select="sym"), TypeError, "not one string"),
    (dict(windw=None), movra.PlanError, "unknown 'windw'"),
    (dict(filters=[{"field": "a", "op": "=", "value": 1}]), movra.PlanError, "unknown filter op '='"),
    (dict(window={"seconds": 1, "by": None, "time_field": "timestamp"}), movra.PlanError, "needs mean="),
    (dict(window={"seconds": 0, "by": None, "time_field": "t"}, mean={"field": "v", "alias": "m"}),
     movra.PlanError, "'seconds' must be positive"),
    (dict(watermark_ms=-5), movra.PlanError, "watermark must not be negative, got -5"),
])
def test_from_dict_checks_a_raw_plan(raw_change, error, text):
    raw = dict(movra.Plan().to_dict(), **raw_change)
    with pytest.raises(error) as info:
        movra.Plan.from_dict(raw)
    assert text in str(info.value)
    with pytest.raises(movra.PlanError, match="missing 'drop_late'"):
        movra.Plan.from_dict({k: v for k, v in movra.Plan().to_dict().items() if k != "drop_late"})


@pytest.mark.parametrize("text, field, op, value", [
    ("price>0", "price", ">", 0),
    ("symbol==AAPL", "symbol", "==", "AAPL"),
    ("qty >= 10", "qty", ">=", 10),
    ("ratio<=-1.5e3", "ratio", "<=", -1500.0),
    ("id=='42'", "id", "==", "42"),
    ("ok != false", "ok", "!=", False),
])
def test_filter_text(text, field, op, value):
    f = movra.Filter.parse(text)
    assert (f.field, f.op, f.value) == (field, op, value) and type(f.value) is type(value)
    assert movra.Filter.parse(str(f)) == f


@pytest.mark.parametrize("value, ms", [
    (250, 250), ("500ms", 500), ("2s", 2000), ("1.5s", 1500), ("1m30s", 90_000), (" 2 h ", 7_200_000),
    (datetime.timedelta(minutes=1), 60_000), (np.int64(250), 250),
])
def test_durations(value, ms):
    assert movra.parse_duration(value) == ms
    assert movra.parse_duration(movra.format_duration(ms)) == ms


@pytest.mark.parametrize("filters", [
    ["price>0"], [("sym", "==", "=X")], [("a<b", "!=", 1)], [("p", "<", float("inf"))], [("s", "==", "it's \"")],
])
def test_plan_repr_reads_back_and_replace_keeps_checks(filters):
    plan = movra.Plan(window="1m", by="sym", mean="price", filters=filters, select=["sym", "count"])
    assert eval(repr(plan), {"Plan": movra.Plan}) == plan
    assert plan.replace(mean="qty").alias == "avg_qty"
    with pytest.raises(movra.PlanError, match="alias='sym'"):
        plan.replace(alias="sym")


def test_plans_that_differ_in_a_value_type_differ():
    # The engine finds True equal to True only, never to 1.
    flag, one = movra.Plan(filters=[("ok", "==", True)]), movra.Plan(filters=[("ok", "==", 1)])
    assert flag != one
    with movra.manual() as s:
        assert s.aggregate({"ok": [True, 1], "timestamp": [1, 2]}, flag)["timestamp"] == [1]
    assert len({movra.Plan(filters=["x==1"]), movra.Plan(filters=[("x", "==", 1)]), flag, one}) == 3
