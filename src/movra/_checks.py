"""Plans checked against the data a stream was given.

The native engine takes a plan's columns on trust: a time field that is not
integer milliseconds gets the wall clock, a misspelled ``mean`` gives no
windows, a misspelled ``by`` puts every row in one group.  `DataGuard`
remembers, per stream, the column names of the events emitted through the
package and, per column, the first value that is not epoch milliseconds;
the stream asks it

- before an emit (`DataGuard.emitting`): the time field of every windowed
  plan the stream has run must be in the rows and hold integer
  milliseconds, else `DataError` and nothing is sent;
- before it hands out results of a plan (`DataGuard.running`): the same
  for rows emitted before the plan was known (`DataError`), and a
  `MissingColumn` warning, once per stream and field, for a ``mean``,
  ``by``, ``dedup`` or filter field (or time field) no emitted event had.

Events that arrived as datagrams are never seen here, so a stream fed by
datagrams is not checked; `UntimedCount` counts (and logs once) those of its
events that reach a windowed plan without integer milliseconds in its time
field.  A missing "timestamp" is not an error: the
intake stamps such events with the wall clock, as documented.
"""

from __future__ import annotations

import difflib
import os
import warnings
from collections.abc import Callable, Iterable, Mapping
from typing import Any, Final

from ._arrow import arrow_first_bad_time, arrow_names, arrow_rows
from ._errors import DataError, MissingColumn
from ._frames import Columns
from ._log import logger
from ._plan import Plan

__all__ = ["DataGuard", "TimeFieldTally", "UntimedCount", "check_columns", "nearest"]

_STAMPED: Final = "timestamp"  # the intake stamps events without it
# Warnings point at the caller's line, outside the package.
_PACKAGE: Final = (os.path.dirname(os.path.abspath(__file__)) + os.sep,)


def nearest(name: str, names: Iterable[str]) -> str:
    """The closest of `names` to `name`, as text for a message."""
    pool = sorted(set(names))
    close = difflib.get_close_matches(name, pool, n=3, cutoff=0.6)
    if close:
        return "did you mean " + " or ".join(map(repr, close)) + "?"
    shown = ", ".join(map(repr, pool[:12])) + (", ..." if len(pool) > 12 else "")
    return f"the columns are {shown}" if pool else "the events have no columns"


def _plan_fields(plan: Plan) -> dict[str, str]:
    """The columns a plan reads, each with the key that names it."""
    fields: dict[str, str] = {}
    for f in plan.filters:
        fields.setdefault(f.field, "filter field")
    if plan.dedup is not None:
        fields.setdefault(plan.dedup, "dedup")
    if plan.windowed:
        fields.setdefault(plan.time_field, "time_field")
        for name in plan.group_fields:
            fields.setdefault(name, "by")
        if plan.mean is not None:
            fields.setdefault(plan.mean, "mean")
        for name, agg in plan.aggs or ():
            if agg.field is not None:
                fields.setdefault(agg.field, f"aggs[{name!r}]")
    return fields


def _first_bad_time(columns: Columns, name: str) -> tuple[int, Any] | None:
    """The first row of column `name` that is not integer milliseconds, with
    its value (None when every row is)."""
    column = next(c for c in columns.columns if c.name == name)
    values = column.values
    if isinstance(values, list):
        if column.value_types() <= {int}:
            return None
        return next((i, v) for i, v in enumerate(values) if type(v) is not int)
    first: int | None = None
    if values.dtype.kind not in "iu":
        first = 0
    if column.missing is not None:
        gaps = column.missing.nonzero()[0]
        if len(gaps):
            first = int(gaps[0]) if first is None else min(first, int(gaps[0]))
    if first is None or first >= columns.rows:
        return None
    return first, column.take(first, first + 1)[0]


def _bad_time_message(field: str, row: int, value: Any, where: str) -> str:
    what = "is missing" if value is None else f"holds {value!r} ({type(value).__name__})"
    return (f"time_field {field!r}: row {row} {where} {what}, not epoch milliseconds (an int, or a datetime "
            "the package converts); the engine would put it at the wall-clock time")


def check_columns(columns: Columns, plan: Plan, where: str = "of the data") -> None:
    """Checks `plan` against `columns` given with it (``aggregate``,
    ``process``): `DataError` for a time field that is missing or not
    integer milliseconds, a `MissingColumn` warning per other column the
    data lacks (a missing "timestamp" too: the intake would stamp every
    row with the same clock)."""
    names = {c.name for c in columns.columns}
    if plan.windowed and columns.rows:
        field = plan.time_field
        if field in names:
            bad = _first_bad_time(columns, field)
            if bad is not None:
                raise DataError(_bad_time_message(field, bad[0], bad[1], where))
        elif field != _STAMPED:
            raise DataError(f"time_field {field!r} is not a column {where}: {nearest(field, names)}")
    if columns.rows:
        for field, key in _plan_fields(plan).items():
            if field not in names:
                # Data given at once has no arrival times: stamped with the
                # clock of this call, every row falls in the same window.
                message = _missing(field, key, names)
                if key == "time_field":
                    message = MissingColumn(f"{message}; every row gets the wall-clock time of this call, so all "
                                            "of them fall in one window (name the column of event times with "
                                            "time_field=)", field)
                warnings.warn(message, stacklevel=2, skip_file_prefixes=_PACKAGE)


def _missing(field: str, key: str, names: Iterable[str]) -> MissingColumn:
    return MissingColumn(f"{key} {field!r} is not a column of the events: {nearest(field, names)}", field)


class DataGuard:
    """What one stream was given, and the checks of plans against it (see
    the module text).  Not thread-safe: the stream calls `emitting` under
    its emit lock and `running` under its poll lock; the two touch
    disjoint state but for the dicts, whose single operations are atomic
    under the interpreter lock."""

    __slots__ = ("_bad_time", "_columns", "_rows", "_seen", "_time_fields", "_warned")

    def __init__(self) -> None:
        self._columns: dict[str, None] = {}
        # column -> (row, value): its first value that is not an int
        self._bad_time: dict[str, tuple[int, Any]] = {}
        self._rows = 0
        self._time_fields: dict[str, None] = {}
        self._warned: set[str] = set()
        # (plan, number of columns seen, number of bad columns): the last
        # state `running` checked a plan in; unchanged means nothing to do.
        self._seen: dict[Plan, tuple[int, int]] = {}

    def emitting(self, columns: Columns) -> None:
        """Checks rows about to be emitted against the time fields of the
        windowed plans run so far (raises `DataError`, nothing sent), then
        records their column names and first non-millisecond values."""
        self._emitting([c.name for c in columns.columns], columns.rows,
                       lambda name: _first_bad_time(columns, name))

    def emitting_arrow(self, source: Any) -> None:
        """`emitting` for Arrow data that goes to the core as it is."""
        self._emitting(arrow_names(source), arrow_rows(source), lambda name: arrow_first_bad_time(source, name))

    def _emitting(self, names: list[str], rows: int,
                  first_bad: Callable[[str], tuple[int, Any] | None]) -> None:
        if rows:
            for field in self._time_fields:
                if field not in names:
                    if field != _STAMPED:
                        raise DataError(f"time_field {field!r} of a plan this stream runs is not a column of "
                                        f"the rows emitted: {nearest(field, names)}")
                    continue
                bad = first_bad(field)
                if bad is not None:
                    raise DataError(_bad_time_message(field, bad[0], bad[1], "of the rows emitted"))
            for name in names:
                if name not in self._bad_time:
                    bad = first_bad(name)
                    if bad is not None:
                        self._bad_time[name] = (self._rows + bad[0], bad[1])
        self._columns.update(dict.fromkeys(names))
        self._rows += rows

    def emitting_one(self, event: Mapping[str, Any]) -> None:
        """`emitting` for one event dict (values converted already)."""
        for field in self._time_fields:
            value = event.get(field, 0 if field == _STAMPED else None)
            if type(value) is not int:
                if field not in event:
                    raise DataError(f"time_field {field!r} of a plan this stream runs is not a key of the "
                                    f"event: {nearest(field, event)}")
                raise DataError(_bad_time_message(field, 0, value, "of the event"))
        for name, value in event.items():
            if type(value) is not int and name not in self._bad_time:
                self._bad_time[name] = (self._rows, value)
        if event.keys() - self._columns.keys():
            self._columns.update(dict.fromkeys(event))
        self._rows += 1

    def processing(self, columns: Columns, plan: Plan) -> None:
        """Records rows that go through `plan` at once (``Stream.process``)
        and warns about the plan's columns they lack, as `running` does.
        A bad time field is left to the caller (the listener counts and
        logs such rows instead of refusing its input)."""
        self._columns.update(dict.fromkeys(c.name for c in columns.columns))
        self._rows += columns.rows
        self._warn_missing(plan)

    def _warn_missing(self, plan: Plan) -> None:
        for field, key in _plan_fields(plan).items():
            # Every event has "timestamp": the intake stamps those without.
            if (field not in self._columns and field not in self._warned and key != "time_field"
                    and field != _STAMPED):
                self._warned.add(field)
                warnings.warn(_missing(field, key, self._columns), stacklevel=2, skip_file_prefixes=_PACKAGE)

    def running(self, plan: Plan) -> None:
        """Checks `plan` against the events emitted so far, before a result
        of it is handed out: `DataError` for a bad time field, a
        `MissingColumn` warning (once per stream and field) for a column
        no event had.  Nothing is checked before the first emit."""
        state = (len(self._columns), len(self._bad_time))
        if self._seen.get(plan) == state:
            return
        if plan.windowed and self._rows:
            field = plan.time_field
            if field in self._bad_time:
                row, value = self._bad_time[field]
                raise DataError(_bad_time_message(field, row, value, "of the events emitted"))
            if field not in self._columns and field != _STAMPED:
                raise DataError(f"time_field {field!r} is not a column of the events emitted: "
                                f"{nearest(field, self._columns)}")
        # Only a plan that passed holds later emits to its time field: one
        # refused above (a misspelled time_field, say) is not run.
        if plan.windowed:
            self._time_fields[plan.time_field] = None
        if not self._rows:
            return
        self._seen[plan] = state
        self._warn_missing(plan)


class TimeFieldTally:
    """Counts the events a source hands over without integer milliseconds
    in the plan's time field (the engine puts them at the wall-clock time),
    and logs that once, with the field's name and the first such value."""

    __slots__ = ("count", "field", "_logged")

    def __init__(self, plan: Plan) -> None:
        self.field = plan.time_field if plan.windowed else None
        self.count = 0
        self._logged = False

    def add(self, columns: Mapping[str, list[Any]]) -> None:
        """Counts the rows of `columns` (a dict of lists) without a usable
        time."""
        if self.field is None:
            return
        values = columns.get(self.field)
        if values is None:
            rows = len(next(iter(columns.values()), []))
            bad, first = rows, None
        else:
            bad = sum(type(v) is not int for v in values)
            first = next((v for v in values if type(v) is not int), None)
        if not bad:
            return
        self.count += bad
        if not self._logged:
            self._logged = True
            what = "lack it" if values is None else f"hold no integer milliseconds there (first: {first!r})"
            logger.warning("events without a usable time field %r: %d in the first chunk %s; the engine puts them "
                           "at the wall-clock time (for ISO text in CSV, use --schema %s=datetime)", self.field, bad,
                           what, self.field)


class UntimedCount:
    """The events of a UDP stream that reach a windowed plan without integer
    milliseconds in its time field (the engine puts them at the wall-clock
    time; a datagram without "timestamp" was stamped on arrival and has
    one).  The ready batches are scanned right before each take, so a batch
    cut in between goes uncounted: the count is a lower bound.  Logged once
    per stream, with the field's name."""

    __slots__ = ("_describe", "_logged", "count")

    def __init__(self, describe: str) -> None:
        self._describe = describe
        self.count = 0
        self._logged = False

    def scan(self, native: Any, plan: Plan) -> None:
        """Counts the ready events `plan` is about to take."""
        if not plan.windowed:
            return
        rows, without = native.scan_ready_times(plan.time_field)
        if not without:
            return
        self.count += without
        if not self._logged:
            self._logged = True
            logger.warning("%s: %d of %d events hold no integer milliseconds in the time field %r; the engine puts "
                           "them at the wall-clock time (counted from now on, logged once)", self._describe,
                           without, rows, plan.time_field)
