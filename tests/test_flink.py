"""movra.flink: the SQL it generates (no JVM here; `make test-flink` runs the
SQL in Flink and compares its results with the core's)."""

import re

import pytest

import _movra
from conftest import make_plan, window_plan
from movra import flink

ORIGIN = 1_700_000_000_123
DEMO = window_plan(seconds=1, by="symbol", field="price", alias="avg_price", watermark_ms=500,
                   allowed_lateness_ms=250, event_id_field="event_id", drop_late=True)


def where_clause(job):
    return job.views[0].split("\nWHERE ", 1)[1]


def test_exact_windowed_sql_follows_the_cores_rules():
    job = flink.translate(DEMO, origin=ORIGIN)
    sql = job.script
    # The core's window start on both grids, truncating, and TUMBLE offset by origin mod width.
    assert "CASE WHEN `timestamp` <= 1000000000000\n      THEN `timestamp` - MOD(`timestamp`, 1000)\n" \
           "      ELSE `timestamp` - MOD(`timestamp` - 1700000000123, 1000) END" in job.source_ddl
    assert "INTERVAL '1' SECOND(1), INTERVAL '0.123' SECOND(1, 3)" in sql
    # Flink fires at watermark >= end - 1: one more millisecond than watermark + lateness.
    assert "WATERMARK FOR `__rowtime` AS TO_TIMESTAMP_LTZ(`timestamp` - 751, 3)" in job.source_ddl
    assert "TO_TIMESTAMP_LTZ(`timestamp`, 3) > CURRENT_WATERMARK(`__rowtime`)" in where_clause(job)
    assert "PARTITION BY window_start, window_end, `__dedup_key`" in sql
    assert "WHEN `event_id` IS NULL OR `event_id` = '' THEN UUID()" in sql
    assert "COUNT(`__value`) AS `__count`" in job.insert and "COUNT(*)" not in sql
    assert job.insert.endswith("WHERE `__count` > 0")
    assert dict(job.settings) == {"parallelism.default": "1", "pipeline.auto-watermark-interval": "0",
                                  "table.exec.mini-batch.enabled": "false", "table.local-time-zone": "UTC"}
    assert job.statements[0] == "SET 'parallelism.default' = '1'"
    assert sql.count(";\n") == len(job.statements)


def test_only_rows_that_pass_the_filters_move_the_watermark():
    plan = dict(DEMO, filters=[{"field": "side", "op": "==", "value": "buy"}])
    job = flink.translate(plan, origin=ORIGIN)
    assert ("AS TO_TIMESTAMP_LTZ(CASE WHEN `side` = 'buy' THEN `timestamp` - 751 ELSE NULL END, 3)"
            in job.source_ddl)
    assert where_clause(job).startswith("`side` = 'buy'\n  AND (CURRENT_WATERMARK")


@pytest.mark.parametrize(("value", "op", "sql_type", "expected"), [
    (5, ">", None, "`x` > 5.0E0"),                        # numbers compare as doubles
    (5, "==", "BIGINT", "CAST(`x` AS DOUBLE) = 5.0E0"),
    (2**53 + 1, "==", None, "`x` = 9007199254740992.0E0"),  # rounded like the core's int-to-double
    (1e-5, "<=", None, "`x` <= 1E-05"),
    ("it's", "!=", None, "`x` <> 'it''s'"),
    ("b", "<", None, "FALSE"),                            # strings only compare for (in)equality
    (True, "==", None, "`x` = TRUE"),
    (True, ">", None, "FALSE"),
    ("5", "==", "DOUBLE", "FALSE"),                       # a string never equals a number
    (5, "==", "STRING", "FALSE"),
    (None, "==", None, "FALSE"),                          # NULL never passes
    (1, "=", None, "FALSE"),                              # an unknown operator never passes
])
def test_filters_keep_the_cores_comparison_rules(value, op, sql_type, expected):
    columns = {"x": sql_type} if sql_type else None
    plan = make_plan(filters=[{"field": "x", "op": op, "value": value}])
    assert where_clause(flink.translate(plan, columns=columns)).split("\n")[0] == expected


def test_origin_comes_from_a_checkpoint(tmp_path):
    stream = _movra.NativeStream.manual(1, 1, 1)
    path = str(tmp_path / "state.ckpt")
    stream.save_checkpoint(path)
    with pytest.raises(ValueError, match="needs the window origin"):
        flink.translate(DEMO, checkpoint=path)  # a fresh stream has no origin yet
    stream.aggregate_columns({"timestamp": [ORIGIN + 5_000], "price": [1.0]}, DEMO)
    stream.save_checkpoint(path)
    stream.close()
    assert flink.read_window_origin(path) == ORIGIN + 5_000
    assert flink.translate(DEMO, checkpoint=path).source_ddl == flink.translate(DEMO, origin=ORIGIN + 5_000).source_ddl


@pytest.mark.parametrize(("text", "match"), [
    ("max_event_time\t5\n", "not a checkpoint"),
    ("a,b\n1 2\n", "not a checkpoint"),
    ("max_event_time\t5\nwindow_origin\t-5\n", "from 0 to"),
    ("max_event_time\t5\nwindow_origin\t9223372036854775808\n", "from 0 to"),
])
def test_files_that_hold_no_origin_are_refused(tmp_path, text, match):
    (tmp_path / "bad").write_text(text)
    with pytest.raises(ValueError, match=match):
        flink.read_window_origin(tmp_path / "bad")


def test_textbook_mode_uses_the_engines_own_semantics():
    plan = dict(DEMO, filters=[{"field": "side", "op": "==", "value": "buy"}])
    job = flink.translate(plan, mode="textbook")  # no origin needed: epoch-aligned windows
    assert "WATERMARK FOR `__rowtime` AS `__rowtime` - INTERVAL '0.750' SECOND(1, 3)" in job.source_ddl
    assert "CURRENT_WATERMARK" not in job.script and "MOD(" not in job.script
    assert "INTERVAL '1' SECOND(1)))" in job.script  # TUMBLE without offset
    assert where_clause(job) == "`side` = 'buy'"
    assert job.settings == (("table.local-time-zone", "UTC"),)
    assert "Textbook translation" in job.script


def test_row_plan_keeps_the_first_row_per_id_in_arrival_order():
    plan = make_plan(event_id_field="id", watermark_ms=100, select=["id", "nothing"])
    job = flink.translate(plan)
    assert "`__proctime` AS PROCTIME()" in job.source_ddl
    assert "ROW_NUMBER() OVER (PARTITION BY `__dedup_key` ORDER BY `__proctime`)" in job.insert
    assert job.insert.startswith("INSERT INTO `results`\nSELECT `id` AS `id`,\n       `nothing` AS `nothing`")
    assert "`timestamp` - 101" in job.source_ddl


class PlanObject:
    def to_dict(self):
        return DEMO


@pytest.mark.parametrize(("plan", "kwargs", "error", "match"), [
    (dict(DEMO, drop_late=False), {"origin": 0}, ValueError, "drop_late.*no Flink SQL equivalent"),
    (DEMO, {}, ValueError, "needs the window origin.*origin=<epoch ms>"),
    (dict(DEMO, watermark_ms=-300), {"origin": 0}, ValueError, "watermark_ms.*-300"),
    ({k: v for k, v in DEMO.items() if k != "select"}, {}, ValueError, "missing the key 'select'"),
    (dict(DEMO, window={"seconds": 1.5, "by": None, "time_field": "t"}), {}, TypeError, r"seconds.*1\.5"),
    (dict(DEMO, window={"seconds": 0, "by": None, "time_field": "t"}), {}, ValueError, "seconds.*0"),
    (dict(DEMO, select="price"), {"origin": 0}, TypeError, "select"),
    (DEMO, {"origin": 0, "columns": {"timestamp": "DOUBLE"}}, ValueError, "time column.*DOUBLE"),
    (DEMO, {"origin": 0, "columns": {"symbol": "DOUBLE"}}, ValueError, "group column 'symbol'"),
    (DEMO, {"origin": 0, "mode": "plain"}, ValueError, "mode.*'plain'"),
    (DEMO, {"origin": 0, "checkpoint": "x"}, TypeError, "not both"),
    (DEMO, {"origin": 0, "source_options": {"scan.parallelism": "4"}}, ValueError, "parallelism"),
    ([1, 2], {}, TypeError, "to_dict"),
    # Names and values Flink SQL cannot hold, and values beyond its literals.
    (dict(DEMO, mean={"field": "pr\nice", "alias": "m"}), {"origin": 0}, ValueError, r"'pr\\nice'.*line break"),
    (make_plan(filters=[{"field": "", "op": "==", "value": 1}]), {}, ValueError, "non-empty"),
    (make_plan(filters=[{"field": "x", "op": "==", "value": "\ud800"}]), {}, ValueError, "lone surrogate"),
    (make_plan(select=[]), {}, ValueError, "select.*empty"),
    (dict(DEMO, watermark_ms=2**63 - 1), {"origin": 0}, ValueError, "fit in a BIGINT"),
    (window_plan(seconds=2**31), {"origin": 0}, ValueError, "2147483648000 ms.*interval"),
    (dict(DEMO, allowed_lateness_ms=2**62), {"mode": "textbook"}, ValueError, "lateness.*interval"),
    (DEMO, {"origin": -1}, ValueError, "origin.*-1"),
    (DEMO, {"origin": 0, "columns": {"side": "STRING) WITH ('connector' = 'x'); --"}}, ValueError,
     r"columns\['side'\]"),
    (DEMO, {"origin": 0, "columns": {"side": "INT, `x` INT"}}, ValueError, r"columns\['side'\]"),
    (DEMO, {"origin": 0, "source_table": "t", "sink_table": "t_first"}, ValueError, "different names"),
])
def test_untranslatable_plans_raise_clearly(plan, kwargs, error, match):
    with pytest.raises(error, match=match):
        flink.translate(plan, **kwargs)


def test_plan_objects_with_to_dict_translate_like_their_dict():
    assert flink.translate(PlanObject(), origin=ORIGIN) == flink.translate(DEMO, origin=ORIGIN)
    assert re.search(r"window origin is 1700000000123", str(flink.translate(PlanObject(), origin=ORIGIN)))
