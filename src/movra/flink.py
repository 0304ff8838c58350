"""The same plan on Apache Flink: a plan translated into Flink SQL.

:func:`translate` turns a plan (the core's raw plan dict, or any object whose
``to_dict()`` returns one) into a :class:`FlinkSql`: the SET statements, the
source table with its event-time attribute and watermark, the sink table and
the query.  Nothing here imports or needs Flink; the text runs in Flink's SQL
client or through ``TableEnvironment.executeSql`` one statement at a time.

Two modes:

``"exact"`` (the default) reproduces the core's rules, so the job gives the
same windows, or the same rows in the same order, as a core stream fed the
same rows in the same order and closed at the end:

- The time attribute is the core's own window start: the absolute grid for
  event times at or below 10**12 ms, the grid anchored at the window origin
  above, both with truncating ``MOD``, so rows before the origin land where the
  core puts them.  ``TUMBLE`` then runs with offset = origin mod width.
- Only rows that pass the filters move the watermark, and the watermark is
  ``time - (watermark_ms + allowed_lateness_ms + 1)``: Flink fires a window at
  ``watermark >= end - 1``, the core closes it at ``end <= max - watermark -
  lateness``.
- Lateness is decided per row, as the core does, against the greatest event
  time before it (``CURRENT_WATERMARK`` with a watermark after every row:
  ``pipeline.auto-watermark-interval = 0``), and the job runs with
  parallelism 1 so that the watermark follows the rows in their order.
- De-duplication keeps the first row per id, within each window for windowed
  plans; null or empty ids are never duplicates.
- ``AVG`` and ``COUNT`` of the mean column (rows without a value count as in
  the core: not at all), and no window with count 0.

``"textbook"`` is what a Flink user would write: windows aligned to the epoch,
every row moves the watermark, the lateness is added to the watermark delay
so a row is dropped only once its whole window has closed, and row plans have
no lateness at all.  Its results differ from the core's wherever rows arrive
late or before the origin.

``drop_late: False`` has no SQL equivalent (Flink drops rows behind a closed
window); such a plan raises ValueError in both modes.
"""

from __future__ import annotations

import os
import textwrap
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal

from ._flink_plan import INT64_MAX, INT64_MIN, PlanLike, Query, read_plan
from ._flink_sql import (as_double, as_text, check_column_type, column_kind_of, condition_sql, conjunction,
                         ident, is_integer, is_numeric, option_literal, seconds_interval,
                         string_literal)

__all__ = ["ABSOLUTE_GRID_LIMIT", "FlinkSql", "Mode", "read_window_origin", "translate"]

Mode = Literal["exact", "textbook"]

#: Event times at or below this many milliseconds use the absolute window grid;
#: times above it use the grid anchored at the window origin.
ABSOLUTE_GRID_LIMIT = 1_000_000_000_000

DEFAULT_SOURCE_OPTIONS: Mapping[str, str] = {"connector": "filesystem", "path": "events.json", "format": "json"}
DEFAULT_SINK_OPTIONS: Mapping[str, str] = {"connector": "filesystem", "path": "results", "format": "json"}

# Column names the generated SQL uses for itself.
_WINDOW_START = "__window_start"
_ROWTIME = "__rowtime"
_PROCTIME = "__proctime"
_GROUP = "__group"
_VALUE = "__value"
_MEAN = "__mean"
_COUNT = "__count"
_DEDUP_KEY = "__dedup_key"
_ROW_NUMBER = "__row_number"
_SHIFT = "__grid_shift"
_TIME = "__time"
_RESERVED = frozenset({_WINDOW_START, _ROWTIME, _PROCTIME, _GROUP, _VALUE, _DEDUP_KEY, _ROW_NUMBER, _SHIFT, _TIME})

#: Aggregate ops to their Flink SQL function, where Flink computes what the
#: core does (over a column of the declared type; the numeric ones as DOUBLE).
_NUMERIC_OPS = {"sum": "SUM", "mean": "AVG", "min": "MIN", "max": "MAX"}
_SPREAD_OPS = {("var", 1): "VAR_SAMP", ("var", 0): "VAR_POP", ("stddev", 1): "STDDEV_SAMP",
               ("stddev", 0): "STDDEV_POP"}
#: Why an op has no exact Flink SQL counterpart.
_REFUSED_OPS = {
    "first": "Flink's FIRST_VALUE takes the first row by arrival, the core the earliest by event time (ties by "
             "arrival)",
    "last": "Flink's LAST_VALUE takes the last row by arrival, the core the latest by event time (ties by "
            "arrival)",
    "quantile": "Flink SQL has no exact quantile with NumPy's linear interpolation",
    "approx_quantile": "Flink SQL has no KLL sketch with the core's error bound",
    "approx_count_distinct": "Flink SQL has no HyperLogLog with the core's registers",
}


@dataclass(frozen=True)
class FlinkSql:
    """A plan as Flink SQL, in parts and as one script.

    Run :attr:`statements` one at a time (``TableEnvironment.executeSql``
    does not take SET: apply :attr:`settings` to the table config instead),
    or hand :attr:`script` to the SQL client.
    """

    mode: Mode
    #: Configuration the translation relies on, as (key, value) pairs.
    settings: tuple[tuple[str, str], ...]
    #: CREATE TABLE of the source, with the event-time attribute and watermark.
    source_ddl: str
    #: CREATE TABLE of the sink.
    sink_ddl: str
    #: CREATE TEMPORARY VIEW statements the INSERT reads from.
    views: tuple[str, ...]
    #: The INSERT INTO the sink that runs the job.
    insert: str
    #: What must hold for the job to agree with the core (or, in textbook
    #: mode, how it differs).
    preconditions: tuple[str, ...]

    @property
    def set_statements(self) -> tuple[str, ...]:
        """The settings as SQL client SET statements."""
        return tuple(f"SET {option_literal(k)} = {option_literal(v, ends_line=True)}" for k, v in self.settings)

    @property
    def query(self) -> str:
        """The views and the INSERT, as one text."""
        return "".join(f"{s};\n\n" for s in self.views) + f"{self.insert};\n"

    @property
    def statements(self) -> tuple[str, ...]:
        """Every statement in order, without the closing semicolons."""
        return (*self.set_statements, self.source_ddl, self.sink_ddl, *self.views, self.insert)

    @property
    def script(self) -> str:
        """The whole job as one SQL script, its preconditions as comments on top."""
        header = [f"-- movra plan in Flink SQL, {self.mode} translation."]
        header += [textwrap.fill(line, 100, initial_indent="-- * ", subsequent_indent="--   ",
                                 break_on_hyphens=False)
                   for line in self.preconditions]
        settings = "".join(f"{s};\n" for s in self.set_statements)
        rest = "\n".join(f"{s};\n" for s in (self.source_ddl, self.sink_ddl, *self.views, self.insert))
        return "\n".join(header) + "\n\n" + settings + "\n" + rest

    def __str__(self) -> str:
        return self.script


def read_window_origin(path: str | os.PathLike[str]) -> int | None:
    """The window origin saved in a checkpoint file, or None when it is unset.

    The origin is on the file's second line, ``window_origin<TAB><integer>``;
    -9223372036854775808 means that no origin was fixed yet.
    """
    with open(path, "rb") as f:
        first, second = f.readline(256), f.readline(256)
    fields = second.split()
    try:
        if first.split()[0] != b"max_event_time" or len(fields) != 2 or fields[0] != b"window_origin":
            raise ValueError
        origin = int(fields[1])
    except (IndexError, ValueError):
        raise ValueError(f"{os.fspath(path)!r} is not a checkpoint: it should start with the lines "
                         f"'max_event_time<TAB><integer>' and 'window_origin<TAB><integer>', not "
                         f"{first[:80]!r} and {second[:80]!r}") from None
    if origin == INT64_MIN:
        return None
    return _checked_origin(origin, f"the window origin in {os.fspath(path)!r}")


def _checked_origin(origin: int, what: str) -> int:
    # The core fixes its origin at an event time above 10**12 and 0 stands for
    # "no event time above 10**12"; a negative origin would overflow the grid
    # arithmetic of the generated SQL.
    if not 0 <= origin <= INT64_MAX:
        raise ValueError(f"{what} must be an epoch time in milliseconds from 0 to {INT64_MAX}, not {origin!r}")
    return origin


def translate(
    plan: PlanLike,
    *,
    origin: int | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    mode: Mode = "exact",
    columns: Mapping[str, str] | None = None,
    source_table: str = "events",
    sink_table: str = "results",
    source_options: Mapping[str, str] | None = None,
    sink_options: Mapping[str, str] | None = None,
) -> FlinkSql:
    """Translates a plan into Flink SQL.

    Args:
        plan: the core's raw plan dict, or an object whose ``to_dict()``
            returns one.
        origin: the core's window origin in epoch milliseconds: the first
            event time above 10**12 that reached the window step of a fresh
            stream.  An exact windowed translation needs it (or
            ``checkpoint``); give 0 when every event time is at or below
            10**12.
        checkpoint: a checkpoint file to read the origin from instead.
        mode: ``"exact"`` for the core's results, ``"textbook"`` for Flink's
            own semantics (see the module's help).
        columns: SQL types of source columns, overriding the ones inferred
            from the plan (time BIGINT, mean DOUBLE, group and id STRING, a
            filter's column after its value), and further columns to declare
            (a row plan without ``select`` passes every declared column on).
        source_table, sink_table: the table names; the views are named after
            the source.
        source_options, sink_options: the tables' WITH options; by default a
            JSON file source and a JSON file sink.

    Raises:
        ValueError: a plan, origin or option that has no exact translation
            (``drop_late`` False, an unknown origin for a windowed plan, a
            negative ``watermark_ms`` beyond the lateness, a column type that
            cannot hold its role, an empty ``select``), or that Flink SQL
            cannot write (an empty name or one with a line break, a window
            or textbook watermark delay beyond 2**31 - 1 seconds, a column
            type that is not one type), each naming the value.
        TypeError: a value of the wrong type.
    """
    query = read_plan(plan)
    if mode not in ("exact", "textbook"):
        raise ValueError(f"mode must be 'exact' or 'textbook', not {mode!r}")
    if not query.drop_late:
        raise ValueError("plan['drop_late'] is False: the core then folds late rows into their windows, "
                         "which has no Flink SQL equivalent (Flink drops rows behind a closed window); "
                         "translate the plan with drop_late True or None")
    if query.select == ():
        raise ValueError("plan['select'] is empty: the core then gives rows without columns, which a Flink "
                         "table cannot hold")
    exact = mode == "exact"
    if query.aggs is not None:
        _check_aggregates(query, exact)
    if exact and query.watermark_ms + query.lateness_ms < 0:
        raise ValueError(f"plan['watermark_ms'] {query.watermark_ms} is negative beyond the allowed lateness "
                         f"{query.lateness_ms}: the core then judges a row late against itself, which a "
                         "watermark cannot express")
    if exact and query.watermark_ms + query.lateness_ms + 1 > INT64_MAX:
        raise ValueError(f"plan['watermark_ms'] {query.watermark_ms} plus the allowed lateness "
                         f"{query.lateness_ms} is too large: the watermark trails the event time by their "
                         "sum plus 1 ms, which must fit in a BIGINT")
    if origin is not None and checkpoint is not None:
        raise TypeError("give either origin or checkpoint, not both")
    if checkpoint is not None:
        origin = read_window_origin(checkpoint)
    elif origin is not None:
        if isinstance(origin, bool) or not isinstance(origin, int):
            raise TypeError(f"origin must be an int (epoch milliseconds), not {origin!r}")
        origin = _checked_origin(origin, "origin")
    if exact and query.windowed and query.gap_ms is None and origin is None:
        raise ValueError(
            "an exact translation of a windowed plan needs the window origin, the first event time above "
            "10**12 ms that reached the core's window step: pass origin=<epoch ms> (0 when every event "
            "time is at or below 10**12), or checkpoint=<file> of a stream whose origin is fixed")
    source = _options(source_options, DEFAULT_SOURCE_OPTIONS, "source_options")
    sink = _options(sink_options, DEFAULT_SINK_OPTIONS, "sink_options")
    if exact and source.get("scan.parallelism", "1") != "1":
        raise ValueError(f"source_options['scan.parallelism'] is {source['scan.parallelism']!r}: the exact "
                         "translation needs one ordered stream up to the lateness filter, parallelism 1")
    for name in (source_table, sink_table):
        if not isinstance(name, str) or not name:
            raise TypeError(f"table names must be non-empty strings, not {name!r}")

    job = _Job(query, _source_schema(query, columns), exact, origin, source_table)
    if len({source_table, sink_table, *job.view_names()}) != 2 + len(job.view_names()):
        raise ValueError(f"the source table {source_table!r}, the sink table {sink_table!r} and the views "
                         f"{', '.join(map(repr, job.view_names()))} must have different names")
    output = job.window_output() if query.windowed else job.row_output()
    return FlinkSql(
        mode=mode,
        settings=job.settings(),
        source_ddl=_create_table(source_table, job.source_columns(), source),
        sink_ddl=_create_table(sink_table, [f"{ident(n)} {t}" for n, (_, t) in output.items()], sink),
        views=job.views(),
        insert=job.insert(sink_table, output),
        preconditions=job.preconditions(),
    )


def _check_aggregates(query: Query, exact: bool) -> None:
    """Refuses what an aggregate plan holds that Flink SQL cannot do as the
    core does, naming it."""
    assert query.aggs is not None
    if query.close_idle_after_ms is not None:
        raise ValueError("plan['close_idle_after_ms'] moves the watermark on by the wall clock while the feed is "
                         "quiet, which a Flink job (whose watermark follows the rows) cannot reproduce; translate "
                         "the plan without it")
    for agg in query.aggs:
        what = f"the aggregate {agg.name!r} ({agg.op})"
        if agg.op in ("first", "last") and not exact:
            continue
        if agg.op in _REFUSED_OPS:
            raise ValueError(f"{what} has no exact Flink SQL translation: {_REFUSED_OPS[agg.op]}")
        if agg.op in ("var", "stddev") and (agg.op, agg.ddof) not in _SPREAD_OPS:
            raise ValueError(f"{what} with ddof={agg.ddof} has no Flink SQL translation: Flink has the sample "
                             "(ddof=1) and population (ddof=0) forms only")
        if agg.op not in ("count", "count_distinct", "first", "last", *_NUMERIC_OPS, "var", "stddev"):
            raise ValueError(f"{what}: unknown aggregate op {agg.op!r}")
        if agg.field is None and agg.op != "count":
            raise ValueError(f"{what} needs a field")
    if exact and query.gap_ms is not None and query.event_id_field is not None:
        raise ValueError("plan['event_id_field'] with session windows has no exact Flink SQL translation: Flink "
                         "de-duplicates within a window, and a session's extent is known only when it closes")
    for name in query.group_fields:
        if name in ("window_start", "window_end"):
            raise ValueError(f"the group column {name!r} collides with a window column")


def _options(given: Mapping[str, str] | None, default: Mapping[str, str], what: str) -> dict[str, str]:
    options = dict(default if given is None else given)
    for key, value in options.items():
        if not isinstance(key, str) or not isinstance(value, str):
            raise TypeError(f"{what} must map str to str, not {key!r}: {value!r}")
    return options


def _source_schema(query: Query, columns: Mapping[str, str] | None) -> dict[str, str]:
    """Source column name to SQL type: the caller's first, then what the plan implies."""
    schema: dict[str, str] = {}
    for name, sql_type in (columns or {}).items():
        if not isinstance(name, str) or not isinstance(sql_type, str):
            raise TypeError(f"columns must map column names to SQL type names, not {name!r}: {sql_type!r}")
        schema[name] = check_column_type(sql_type, name)
    schema.setdefault(query.time_field, "BIGINT")
    for name in query.group_fields:
        schema.setdefault(name, "STRING")
    aggs = query.aggs or ()
    numeric = {a.field for a in aggs if a.op in _NUMERIC_OPS or a.op in ("var", "stddev")}
    for agg in aggs:
        if agg.field is not None:
            schema.setdefault(agg.field, "DOUBLE" if agg.field in numeric else "STRING")
    if query.seconds is not None:
        assert query.mean_field is not None
        schema.setdefault(query.mean_field, "DOUBLE")
        if query.by is not None:
            schema.setdefault(query.by, "STRING")
    if query.event_id_field is not None:
        schema.setdefault(query.event_id_field, "STRING")
    for condition in query.filters:
        schema.setdefault(condition.field, column_kind_of(condition.value))
    if not query.windowed:
        for name in query.select or ():
            schema.setdefault(name, "STRING")

    for name in schema:
        if name in _RESERVED:
            raise ValueError(f"column name {name!r} is used by the generated SQL itself; rename the column")
    if not is_integer(schema[query.time_field]):
        raise ValueError(f"the time column {query.time_field!r} must have an integer type (epoch milliseconds), "
                         f"not {schema[query.time_field]}")
    for agg in query.aggs or ():
        if (agg.op in _NUMERIC_OPS or agg.op in ("var", "stddev")) and not is_numeric(schema[agg.field or ""]):
            raise ValueError(f"the column {agg.field!r} of the aggregate {agg.name!r} ({agg.op}) must have a "
                             f"numeric type, not {schema[agg.field or '']}")
    if query.seconds is not None and not is_numeric(schema[query.mean_field or ""]):
        raise ValueError(f"the mean column {query.mean_field!r} must have a numeric type, "
                         f"not {schema[query.mean_field or '']}")
    return schema


def _agg_column(i: int) -> str:
    """The inner name of aggregate ``i`` (negative: the bounds of a session)."""
    return f"__agg{i}" if i >= 0 else f"__session{-i}"


def _epoch_ms(column: str) -> str:
    """A window bound (TIMESTAMP(3) in the UTC session zone) as epoch milliseconds."""
    return (f"(UNIX_TIMESTAMP(DATE_FORMAT({column}, 'yyyy-MM-dd HH:mm:ss')) * 1000 "
            f"+ CAST(DATE_FORMAT({column}, 'SSS') AS BIGINT))")


def _create_table(name: str, columns: list[str], options: Mapping[str, str]) -> str:
    body = ",\n".join(f"  {c}" for c in columns)
    with_ = ",\n".join(f"  {option_literal(k)} = {option_literal(v)}" for k, v in options.items())
    return f"CREATE TABLE {ident(name)} (\n{body}\n) WITH (\n{with_}\n)"


class _Job:
    """The pieces of one translation, built from a checked plan."""

    def __init__(self, query: Query, schema: dict[str, str], exact: bool, origin: int | None,
                 source_table: str) -> None:
        self.query = query
        self.schema = schema
        self.exact = exact
        self.origin = origin
        self.source = source_table
        self.time = ident(query.time_field)
        self.width_ms = query.size_ms or (query.seconds or 0) * 1000
        # Rows are placed on a grid of this width: the window, or the pane of a hopping window.
        self.grid_ms = query.slide_ms or self.width_ms
        self.session = query.gap_ms is not None
        self.filters = conjunction([condition_sql(c, schema[c.field]) for c in query.filters])

    # -- the source -----------------------------------------------------------

    def source_columns(self) -> list[str]:
        columns = [f"{ident(n)} {t}" for n, t in self.schema.items()]
        if self.query.windowed and self.exact and not self.session:
            start, rowtime = self._window_start_exprs()
            columns.append(f"{ident(_WINDOW_START)} AS {start}")
            columns.append(f"{ident(_ROWTIME)} AS TO_TIMESTAMP_LTZ({rowtime}, 3)")
        elif self.query.windowed or self.exact:
            columns.append(f"{ident(_ROWTIME)} AS TO_TIMESTAMP_LTZ({self.time}, 3)")
        if not self.query.windowed and self.query.event_id_field is not None:
            columns.append(f"{ident(_PROCTIME)} AS PROCTIME()")
        if self.exact:
            delay = self.query.watermark_ms + self.query.lateness_ms + 1
            moved = f"{self.time} - {delay}"
            if self.filters is not None:
                moved = f"CASE WHEN {self.filters} THEN {moved} ELSE NULL END"
            columns.append(f"WATERMARK FOR {ident(_ROWTIME)} AS TO_TIMESTAMP_LTZ({moved}, 3)")
        elif self.query.windowed:
            delay = self.query.watermark_ms + self.query.lateness_ms
            bound = ident(_ROWTIME)
            if delay > 0:
                bound += " - " + seconds_interval(delay, "plan['watermark_ms'] plus plan['allowed_lateness_ms']")
            columns.append(f"WATERMARK FOR {ident(_ROWTIME)} AS {bound}")
        return columns

    def _window_start_exprs(self) -> tuple[str, str]:
        """The core's window start, and the time attribute: the same start,
        moved onto the anchored grid for rows on the absolute grid so that
        one TUMBLE offset fits both."""
        assert self.origin is not None
        t, w = self.time, self.grid_ms
        absolute = f"{t} - MOD({t}, {w})"
        anchored = f"{t} - MOD({t} - {self.origin}, {w})" if self.origin >= 0 else \
            f"{t} - MOD({t} + {-self.origin}, {w})"
        test = f"{t} <= {ABSOLUTE_GRID_LIMIT}"
        start = f"CASE WHEN {test}\n      THEN {absolute}\n      ELSE {anchored} END"
        shift = self.origin % w
        rowtime = f"CASE WHEN {test}\n      THEN {absolute} + {shift}\n      ELSE {anchored} END" if shift else start
        return start, rowtime

    # -- the views ------------------------------------------------------------

    def views(self) -> tuple[str, ...]:
        where = [self.filters] if self.filters is not None else []
        if self.exact:
            rowtime = ident(_ROWTIME)
            where.append(f"(CURRENT_WATERMARK({rowtime}) IS NULL OR "
                         f"TO_TIMESTAMP_LTZ({self.time}, 3) > CURRENT_WATERMARK({rowtime}))")
        where_sql = "\nWHERE " + "\n  AND ".join(where) if where else ""
        on_time = f"CREATE TEMPORARY VIEW {ident(self._on_time)} AS\nSELECT {',\n       '.join(self._view_columns())}\n" \
                  f"FROM {ident(self.source)}{where_sql}"
        if len(self.view_names()) == 1:
            return (on_time,)
        first = (f"CREATE TEMPORARY VIEW {ident(self._first)} AS\nSELECT * FROM (\n"
                 f"  SELECT *, ROW_NUMBER() OVER (PARTITION BY window_start, window_end, {ident(_DEDUP_KEY)} "
                 f"ORDER BY {ident(_ROWTIME)}) AS {ident(_ROW_NUMBER)}\n"
                 f"  FROM {self._tumble()}\n) WHERE {ident(_ROW_NUMBER)} = 1")
        return on_time, first

    def view_names(self) -> tuple[str, ...]:
        """The views' names: the rows on time, and the first row per id and window."""
        windowed_dedup = self.query.windowed and self.query.event_id_field is not None
        return (self._on_time, self._first) if windowed_dedup else (self._on_time,)

    @property
    def _on_time(self) -> str:
        return f"{self.source}_on_time" if self.exact else f"{self.source}_filtered"

    @property
    def _first(self) -> str:
        return f"{self.source}_first"

    def _view_columns(self) -> list[str]:
        q = self.query
        if q.aggs is not None:
            cols = ([ident(_WINDOW_START)] if self.exact and not self.session else []) + [ident(_ROWTIME)]
            if self.exact and q.slide_ms is not None:
                shift = self.origin % self.grid_ms if self.origin is not None else 0
                cols.append(f"CASE WHEN {self.time} <= {ABSOLUTE_GRID_LIMIT} THEN {shift} ELSE 0 END "
                            f"AS {ident(_SHIFT)}")
            if self.session:
                cols.append(f"{self.time} AS {ident(_TIME)}")
            cols += [ident(n) for n in dict.fromkeys(
                [*q.group_fields, *(a.field for a in q.aggs if a.field is not None)])]
        elif q.windowed:
            assert q.mean_field is not None
            cols = ([ident(_WINDOW_START)] if self.exact else []) + [ident(_ROWTIME)]
            if q.by is not None:
                cols.append(f"COALESCE({as_text(q.by, self.schema[q.by], 'the group column')}, '') "
                            f"AS {ident(_GROUP)}")
            cols.append(f"{as_double(q.mean_field, self.schema[q.mean_field])} AS {ident(_VALUE)}")
        else:
            cols = [ident(n) for n in self.schema]
        if q.event_id_field is not None:
            text = as_text(q.event_id_field, self.schema[q.event_id_field], "the event id column")
            cols.append(f"CASE WHEN {text} IS NULL OR {text} = '' THEN UUID() ELSE {text} END "
                        f"AS {ident(_DEDUP_KEY)}")
            if not q.windowed:
                cols.append(ident(_PROCTIME))
        return cols

    def _tumble(self) -> str:
        """The window table function over the rows on time: TUMBLE, HOP (the
        slide first, as Flink takes it) or SESSION (partitioned by the
        group columns)."""
        q = self.query
        if self.session:
            assert q.gap_ms is not None
            table = f"TABLE {ident(self._on_time)}"
            if q.group_fields:
                keys = ", ".join(map(ident, q.group_fields))
                table += f" PARTITION BY {keys}" if len(q.group_fields) == 1 else f" PARTITION BY ({keys})"
            gap = seconds_interval(q.gap_ms, "the session gap of plan['window']['gap_ms']")
            return f"TABLE(SESSION({table}, DESCRIPTOR({ident(_ROWTIME)}), {gap}))"
        args = [f"TABLE {ident(self._on_time)}", f"DESCRIPTOR({ident(_ROWTIME)})"]
        kind = "TUMBLE"
        if q.slide_ms is not None:
            kind = "HOP"
            args.append(seconds_interval(q.slide_ms, "the slide of plan['window']['slide_ms']"))
        args.append(seconds_interval(self.width_ms, "the window of plan['window']"))
        if self.exact:
            assert self.origin is not None
            shift = self.origin % self.grid_ms
            if shift:
                args.append(seconds_interval(shift, "the window offset"))
        return f"TABLE({kind}({', '.join(args)}))"

    # -- the output -----------------------------------------------------------

    def window_output(self) -> dict[str, tuple[str, str]]:
        """Output column name to (expression, type), as the core builds a
        window row: later columns of the same name replace earlier ones.  The
        expressions read the columns of :meth:`_window_aggregate`."""
        q = self.query
        if q.aggs is not None:
            return self._aggregate_output()
        assert q.alias is not None
        if self.exact:
            start = ident(_WINDOW_START)
            columns = {"window_start": (start, "BIGINT"),
                       "window_end": (f"{start} + {self.width_ms}", "BIGINT")}
        else:
            # Epoch-aligned windows of whole seconds: the bounds are whole seconds.
            columns = {"window_start": ("UNIX_TIMESTAMP(CAST(window_start AS STRING)) * 1000", "BIGINT"),
                       "window_end": ("UNIX_TIMESTAMP(CAST(window_end AS STRING)) * 1000", "BIGINT")}
        if q.by is not None:
            columns[q.by] = (ident(_GROUP), "STRING")
        columns[q.alias] = (ident(_MEAN), "DOUBLE")
        columns["count"] = (ident(_COUNT), "BIGINT")
        return self._project(columns)

    def _aggregate_output(self) -> dict[str, tuple[str, str]]:
        """The columns of an aggregate plan: the group columns typed, the
        window bounds in epoch ms, then each aggregate (its own name)."""
        q = self.query
        assert q.aggs is not None
        columns = {name: (ident(name), self.schema[name]) for name in q.group_fields}
        if self.session:
            assert q.gap_ms is not None
            # A session starts at its first event and ends the gap after its last.
            columns["window_start"] = (f"{ident(_agg_column(-1))}", "BIGINT")
            columns["window_end"] = (f"{ident(_agg_column(-2))} + {q.gap_ms}", "BIGINT")
        elif self.exact and q.slide_ms is None:
            start = ident(_WINDOW_START)
            columns["window_start"] = (start, "BIGINT")
            columns["window_end"] = (f"{start} + {self.width_ms}", "BIGINT")
        else:
            start = _epoch_ms("window_start")
            if self.exact and q.slide_ms is not None:
                start += f" - {ident(_SHIFT)}"
            columns["window_start"] = (start, "BIGINT")
            columns["window_end"] = (f"{start} + {self.width_ms}", "BIGINT")
        for i, agg in enumerate(q.aggs):
            kind = "BIGINT" if agg.op in ("count", "count_distinct") else \
                self.schema[agg.field or ""] if agg.op in ("first", "last") else "DOUBLE"
            columns[agg.name] = (ident(_agg_column(i)), kind)
        return self._project(columns)

    def _aggregate_select(self) -> str:
        """The aggregates of an aggregate plan per window and group."""
        q = self.query
        assert q.aggs is not None
        keys = ["window_start", "window_end"]
        if self.exact and not self.session:
            keys.append(ident(_SHIFT) if q.slide_ms is not None else ident(_WINDOW_START))
        keys += [ident(n) for n in q.group_fields]
        terms = []
        for i, agg in enumerate(q.aggs):
            field = ident(agg.field) if agg.field is not None else None
            if agg.op == "count":
                sql = "COUNT(*)" if field is None else f"COUNT({field})"
            elif agg.op == "count_distinct":
                sql = f"COUNT(DISTINCT {field})"
            elif agg.op in _NUMERIC_OPS:
                sql = f"{_NUMERIC_OPS[agg.op]}({as_double(agg.field or '', self.schema[agg.field or ''])})"
            elif agg.op in ("var", "stddev"):
                sql = f"{_SPREAD_OPS[agg.op, agg.ddof]}({as_double(agg.field or '', self.schema[agg.field or ''])})"
            else:  # first and last, textbook only
                sql = f"{'FIRST_VALUE' if agg.op == 'first' else 'LAST_VALUE'}({field})"
            terms.append(f"{sql} AS {ident(_agg_column(i))}")
        if self.session:
            terms += [f"MIN({ident(_TIME)}) AS {ident(_agg_column(-1))}",
                      f"MAX({ident(_TIME)}) AS {ident(_agg_column(-2))}"]
        source = ident(self._first) if q.event_id_field is not None else self._tumble()
        return (f"  SELECT {', '.join(keys)},\n         {',\n         '.join(terms)}\n"
                f"  FROM {source}\n  GROUP BY {', '.join(keys)}")

    def _window_aggregate(self) -> str:
        """The mean and count per window and group, under names of their own:
        Flink refuses an aggregate named like a window column (an alias
        window_start), so the output names are given only outside it."""
        keys = ["window_start", "window_end"] + ([ident(_WINDOW_START)] if self.exact else [])
        keys += [ident(_GROUP)] if self.query.by is not None else []
        source = ident(self._first) if self.query.event_id_field is not None else self._tumble()
        return (f"  SELECT {', '.join(keys)},\n         AVG({ident(_VALUE)}) AS {ident(_MEAN)}, "
                f"COUNT({ident(_VALUE)}) AS {ident(_COUNT)}\n"
                f"  FROM {source}\n  GROUP BY {', '.join(keys)}")

    def row_output(self) -> dict[str, tuple[str, str]]:
        return self._project({n: (ident(n), t) for n, t in self.schema.items()})

    def _project(self, columns: dict[str, tuple[str, str]]) -> dict[str, tuple[str, str]]:
        if self.query.select is None:
            return columns
        return {n: columns.get(n, ("CAST(NULL AS STRING)", "STRING")) for n in dict.fromkeys(self.query.select)}

    def insert(self, sink_table: str, output: dict[str, tuple[str, str]]) -> str:
        select = ",\n       ".join(f"{expr} AS {ident(name)}" for name, (expr, _) in output.items())
        head = f"INSERT INTO {ident(sink_table)}\nSELECT {select}\n"
        q = self.query
        if q.aggs is not None:
            return f"{head}FROM (\n{self._aggregate_select()}\n)"
        if q.windowed:
            return f"{head}FROM (\n{self._window_aggregate()}\n)\nWHERE {ident(_COUNT)} > 0"
        if q.event_id_field is None:
            return f"{head}FROM {ident(self._on_time)}"
        return (f"{head}FROM (\n  SELECT *, ROW_NUMBER() OVER (PARTITION BY {ident(_DEDUP_KEY)} "
                f"ORDER BY {ident(_PROCTIME)}) AS {ident(_ROW_NUMBER)}\n  FROM {ident(self._on_time)}\n"
                f") WHERE {ident(_ROW_NUMBER)} = 1")

    # -- settings and preconditions ----------------------------------------------

    def settings(self) -> tuple[tuple[str, str], ...]:
        utc = ("table.local-time-zone", "UTC")  # TUMBLE over TIMESTAMP_LTZ aligns in the session zone
        if not self.exact:
            return (utc,)
        return (("parallelism.default", "1"), ("pipeline.auto-watermark-interval", "0"),
                ("table.exec.mini-batch.enabled", "false"), utc)

    def preconditions(self) -> tuple[str, ...]:
        q = self.query
        if not self.exact:
            return ("Textbook translation: windows aligned to the epoch, every row moves the watermark, "
                    "the lateness is added to the watermark delay (a row is dropped only when its window "
                    "has closed) and rows outside windows are never late. Results differ from the core's "
                    "where rows arrive late or before the core's window origin.",)
        notes = ["The source delivers the rows in the order the core saw them, as one ordered stream (one "
                 "file, one Kafka partition) read with parallelism 1; the settings below run the whole job "
                 "with parallelism 1 and a watermark after every row.",
                 f"Every row carries an integer event time in {q.time_field!r} (the core stamps a row "
                 "without one with the wall clock), later than the epoch plus watermark_ms + "
                 "allowed_lateness_ms + 1 ms (Flink emits no watermark at or before the epoch).",
                 "Each column holds values of its declared type or NULL (the core compares values by their "
                 "own kind: a number never equals a string)."]
        if q.event_id_field is not None:
            notes.append(f"A repeated {q.event_id_field!r} is a resend of the same event (same event time and "
                         "values). " + ("Ids are de-duplicated within each window, the core de-duplicates "
                                        "over the whole stream." if q.windowed else
                                        "Seen ids are kept without limit, like the core's, unless "
                                        "'table.exec.state.ttl' is set."))
        if q.aggs is not None:
            notes.append("Group columns hold values of their declared type: the core groups by typed value "
                         "(NULL, and a missing column, are one null group).")
        if q.gap_ms is not None:
            notes.append("Sessions: an event at t opens [t, t + gap); sessions of one group that overlap or "
                         "touch merge, in Flink as in the core.")
        if q.windowed and q.gap_ms is None:
            notes.append(f"The core's window origin is {self.origin}: a fresh stream whose first event time "
                         "above 10**12 was that, or a checkpoint holding that origin (its other state, the "
                         "greatest event time, seen ids and open windows, is not carried over).")
        if q.windowed:
            notes.append("Windows come out as the watermark passes them, not in the core's "
                         + ("key-text order." if q.aggs is None else "order (end, start, then group)."))
        return tuple(notes)
