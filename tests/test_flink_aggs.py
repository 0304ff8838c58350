"""movra.flink for aggregate plans: TUMBLE, HOP and SESSION with the exact
aggregates, and a refusal naming each feature Flink cannot reproduce
(`make test-flink` runs the SQL in Flink against the core)."""

import pytest

import movra
from movra import flink

ORIGIN = 1_700_000_000_123


def translate(plan, **kwargs):
    return flink.translate(plan, origin=ORIGIN, **kwargs)


@pytest.mark.parametrize("agg, sql", [
    (movra.count(), "COUNT(*)"),
    (movra.count("price"), "COUNT(`price`)"),
    (movra.sum("qty"), "SUM(CAST(`qty` AS DOUBLE))"),
    (movra.mean("price"), "AVG(`price`)"),
    (movra.min("price"), "MIN(`price`)"),
    (movra.max("price"), "MAX(`price`)"),
    (movra.var("price"), "VAR_SAMP(`price`)"),
    (movra.var("price", ddof=0), "VAR_POP(`price`)"),
    (movra.stddev("price"), "STDDEV_SAMP(`price`)"),
    (movra.stddev("price", ddof=0), "STDDEV_POP(`price`)"),
    (movra.count_distinct("side"), "COUNT(DISTINCT `side`)"),
])
def test_each_exact_aggregate_has_its_flink_function(agg, sql):
    plan = movra.Plan(window="250ms", by="symbol", aggs={"x": agg})
    job = translate(plan, columns={"price": "DOUBLE", "qty": "BIGINT", "side": "STRING"})
    assert f"{sql} AS `__agg0`" in job.insert
    assert "`__agg0` AS `x`" in job.insert and "WHERE `__count`" not in job.insert


def test_tumbling_windows_keep_the_cores_grid_and_typed_groups():
    plan = movra.Plan(window="250ms", by=["symbol", "venue"], aggs={"n": movra.count()}, watermark=500)
    job = translate(plan, columns={"venue": "INT"})
    assert "THEN `timestamp` - MOD(`timestamp`, 250)" in job.source_ddl
    assert "TUMBLE(TABLE `events_on_time`, DESCRIPTOR(`__rowtime`), INTERVAL '0.250' SECOND(1, 3), " \
           "INTERVAL '0.123' SECOND(1, 3))" in job.insert
    assert "GROUP BY window_start, window_end, `__window_start`, `symbol`, `venue`" in job.insert
    assert job.sink_ddl.index("`symbol` STRING") < job.sink_ddl.index("`venue` INT") \
        < job.sink_ddl.index("`window_start` BIGINT") < job.sink_ddl.index("`n` BIGINT")
    assert "COALESCE" not in job.script  # a null group stays null


def test_hopping_windows_are_hop_on_the_pane_grid():
    plan = movra.Plan(window="2s", slide="500ms", aggs={"n": movra.count()})
    job = translate(plan)
    assert "THEN `timestamp` - MOD(`timestamp`, 500) + 123" in job.source_ddl
    assert "HOP(TABLE `events_on_time`, DESCRIPTOR(`__rowtime`), INTERVAL '0.500' SECOND(1, 3), " \
           "INTERVAL '2' SECOND(1), INTERVAL '0.123' SECOND(1, 3))" in job.insert
    assert "THEN 123 ELSE 0 END AS `__grid_shift`" in job.views[0]
    assert "CAST(DATE_FORMAT(window_start, 'SSS') AS BIGINT)) - `__grid_shift` + 2000 AS `window_end`" in job.insert


def test_sessions_partition_by_group_and_take_their_bounds_from_the_events():
    plan = movra.Plan(session="40ms", by="symbol", aggs={"n": movra.count()}, watermark=500)
    job = flink.translate(plan)  # no grid, so no origin needed
    assert "SESSION(TABLE `events_on_time` PARTITION BY `symbol`, DESCRIPTOR(`__rowtime`), " \
           "INTERVAL '0.040' SECOND(1, 3))" in job.insert
    assert "`__session1` AS `window_start`" in job.insert and "`__session2` + 40 AS `window_end`" in job.insert
    assert "MIN(`__time`) AS `__session1`" in job.insert and "MAX(`__time`) AS `__session2`" in job.insert
    two = flink.translate(movra.Plan(session="1s", by=["a", "b"], aggs={"n": movra.count()}))
    assert "PARTITION BY (`a`, `b`)" in two.insert


def test_textbook_mode_takes_first_and_last_as_flink_has_them():
    plan = movra.Plan(window="1s", aggs={"o": movra.first("price"), "c": movra.last("price")})
    job = flink.translate(plan, mode="textbook", columns={"price": "DOUBLE"})
    assert "FIRST_VALUE(`price`)" in job.insert and "LAST_VALUE(`price`)" in job.insert
    assert "`o` DOUBLE" in job.sink_ddl


@pytest.mark.parametrize("plan, match", [
    (movra.Plan(window="1s", aggs={"o": movra.first("p")}), r"'o' \(first\) has no exact .*by event time"),
    (movra.Plan(window="1s", aggs={"c": movra.last("p")}), r"'c' \(last\) has no exact .*LAST_VALUE"),
    (movra.Plan(window="1s", aggs={"q": movra.quantile("p", 0.5)}), r"'q' \(quantile\) .*linear"),
    (movra.Plan(window="1s", aggs={"q": movra.approx_quantile("p", 0.5)}), r"approx_quantile.*KLL"),
    (movra.Plan(window="1s", aggs={"u": movra.approx_count_distinct("p")}), r"approx_count_distinct.*HyperLogLog"),
    (movra.Plan(window="1s", aggs={"v": movra.var("p", ddof=2)}), r"'v' \(var\) with ddof=2"),
    (movra.Plan(window="1s", aggs={"n": movra.count()}, close_idle_after="2s"), r"close_idle_after_ms"),
    (movra.Plan(session="1s", aggs={"n": movra.count()}, dedup="id"), r"event_id_field.*session"),
    (movra.Plan(window="1s", aggs={"m": movra.mean("sym")}), r"'sym' of the aggregate 'm' \(mean\) must have a "
                                                             r"numeric type, not STRING"),
])
def test_what_flink_cannot_reproduce_is_refused_by_name(plan, match):
    with pytest.raises(ValueError, match=match):
        translate(plan, columns={"sym": "STRING"})


def test_old_plans_translate_as_before():
    plan = movra.Plan(window="1s", by="symbol", mean="price", watermark=500)
    assert "AVG(`__value`)" in translate(plan).insert
    assert translate(plan).script == translate(plan.to_dict()).script
