"""Plans: the immutable `Plan`, its filters, durations, and the raw plan dict
of the engine (`RawPlan`).

A `Plan` checks everything the engine would otherwise take silently in a way
nobody means: filter operators outside the six, names that collide with the
output columns of a window, negative watermarks, windows that are not whole
seconds, a ``select`` given as one string.  `Plan.to_dict` gives the dict
that ``NativeStream.next_batch`` takes; `Plan.from_dict` checks such a dict.
"""

from __future__ import annotations

import dataclasses
import datetime
import math
import numbers
import re
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Final, NotRequired, TypeAlias, TypedDict

from ._aggs import Agg, RawAgg
from ._errors import PlanError

__all__ = [
    "OPS",
    "OPTIONAL_RAW_PLAN_KEYS",
    "RAW_PLAN_KEYS",
    "AggsLike",
    "Duration",
    "Filter",
    "FilterLike",
    "Plan",
    "PlanLike",
    "RawFilter",
    "RawMean",
    "RawPlan",
    "RawWindow",
    "format_duration",
    "parse_duration",
]

#: The six comparison operators of a filter.
OPS: Final = ("==", "!=", "<", ">", "<=", ">=")

#: Columns every window row carries besides the ``by`` column and the alias.
WINDOW_COLUMNS: Final = ("window_start", "window_end", "count")

Duration: TypeAlias = int | datetime.timedelta | str
"""A length of time: int milliseconds, a `datetime.timedelta`, or text such
as "500ms", "2s", "1m", "1h30m"."""

FilterValue: TypeAlias = bool | int | float | str


class RawFilter(TypedDict):
    """One filter of a raw plan."""

    field: str
    op: str
    value: FilterValue | None


class RawWindow(TypedDict):
    """The "window" part of a raw plan: the width in whole seconds for a
    mean plan; for a plan with "aggs", the width in milliseconds
    ("size_ms", with "slide_ms" for hopping windows) or the gap of session
    windows ("gap_ms"), and "by" one column or a list of them."""

    seconds: NotRequired[int]
    by: str | list[str] | None
    time_field: str
    size_ms: NotRequired[int]
    slide_ms: NotRequired[int]
    gap_ms: NotRequired[int]


class RawMean(TypedDict):
    """The "mean" part of a raw plan."""

    field: str
    alias: str


class RawPlan(TypedDict):
    """The plan dict of the native core: every one of the first eight keys
    present, an optional part switched off with None; "aggs",
    "close_idle_after_ms" and "keep_late" only where a plan uses them."""

    filters: list[RawFilter]
    select: list[str] | None
    window: RawWindow | None
    mean: RawMean | None
    watermark_ms: int | None
    allowed_lateness_ms: int | None
    event_id_field: str | None
    drop_late: bool | None
    aggs: NotRequired[list[RawAgg] | None]
    close_idle_after_ms: NotRequired[int | None]
    keep_late: NotRequired[bool | None]


# ---------------------------------------------------------------- durations

_UNIT_MS: Final = {"ms": 1, "s": 1000, "sec": 1000, "m": 60_000, "min": 60_000, "h": 3_600_000,
                   "d": 86_400_000}
_DURATION_PART = re.compile(r"\s*(\d+(?:\.\d+)?)\s*(ms|sec|min|s|m|h|d)", re.ASCII)
_INT64_MAX: Final = 2**63 - 1


def parse_duration(value: Duration, *, name: str = "duration") -> int:
    """The duration `value` in whole milliseconds.

    Accepts an int (milliseconds; a NumPy integer too), a
    `datetime.timedelta`, or text made of
    numbers with units ``ms``, ``s``, ``m``, ``h``, ``d`` ("500ms", "2s",
    "1.5s", "1m30s").  Raises ValueError (a `PlanError`) for negative or
    unreadable values and for fractions of a millisecond, and TypeError for
    other types; `name` is the key the messages name.

    >>> parse_duration("1m30s")
    90000
    """
    if isinstance(value, numbers.Integral) and not isinstance(value, (bool, int)):
        value = int(value)  # a NumPy integer, say
    if isinstance(value, bool) or not isinstance(value, (int, datetime.timedelta, str)):
        raise TypeError(f"{name} must be int milliseconds, a timedelta or text such as '2s', "
                        f"got {value!r} ({type(value).__name__})")
    if isinstance(value, int):
        ms = value
    elif isinstance(value, datetime.timedelta):
        if value.microseconds % 1000:
            raise PlanError(f"{name} must be a whole number of milliseconds, got {value!r}")
        ms = value // datetime.timedelta(milliseconds=1)
    else:
        ms = _parse_duration_text(value, name)
    if ms < 0:
        raise PlanError(f"{name} must not be negative, got {value!r}")
    if ms > _INT64_MAX:
        raise PlanError(f"{name} is too long: {value!r}")
    return ms


def _parse_duration_text(text: str, name: str) -> int:
    pos, total, parts = 0, 0, 0
    stripped = text.strip()
    if stripped.startswith("-"):
        raise PlanError(f"{name} must not be negative, got {text!r}")
    while pos < len(stripped):
        m = _DURATION_PART.match(stripped, pos)
        if m is None:
            break
        number, unit = m.group(1), m.group(2)
        whole, _, frac = number.partition(".")
        scale = _UNIT_MS[unit]
        frac_ms = int(frac or "0") * scale
        if frac_ms % 10 ** len(frac):
            raise PlanError(f"{name} must be a whole number of milliseconds, got {text!r}")
        total += int(whole) * scale + frac_ms // 10 ** len(frac)
        pos, parts = m.end(), parts + 1
    if parts == 0 or pos != len(stripped):
        hint = f"; write {stripped + 'ms'!r} or {stripped + 's'!r}" if stripped.isdigit() else ""
        raise PlanError(f"{name} {text!r} is not a duration such as '500ms', '2s', '1m' or '1h30m'"
                        f"{hint}")
    return total


def format_duration(ms: int) -> str:
    """`ms` milliseconds as the shortest text `parse_duration` reads back:
    ``format_duration(90000) == "1m30s"``."""
    if isinstance(ms, bool) or not isinstance(ms, int):
        raise TypeError(f"ms must be an int, got {ms!r} ({type(ms).__name__})")
    if ms < 0:
        raise ValueError(f"ms must not be negative, got {ms}")
    if ms == 0:
        return "0s"
    out = []
    for unit, size in (("d", 86_400_000), ("h", 3_600_000), ("m", 60_000), ("s", 1000), ("ms", 1)):
        if ms >= size:
            out.append(f"{ms // size}{unit}")
            ms %= size
    return "".join(out)


# ------------------------------------------------------------------ filters

# Spellings people reach for, mapped to the operator they mean.
_OP_HINTS: Final = {"=": "==", "eq": "==", "is": "==", "ne": "!=", "<>": "!=", "=!": "!=",
                    "lt": "<", "gt": ">", "le": "<=", "ge": ">=", "=<": "<=", "=>": ">=",
                    "lte": "<=", "gte": ">=", "===": "=="}
_FILTER_TEXT = re.compile(r"^\s*(?P<field>.*?)\s*(?P<op>[=!<>]+)\s*(?P<value>.*?)\s*$", re.DOTALL)
_INT_TEXT = re.compile(r"[+-]?\d+")
_FLOAT_TEXT = re.compile(r"[+-]?(\d+\.\d*|\.\d+|\d+(\.\d*)?[eE][+-]?\d+)")


def _check_op(op: object, where: str) -> str:
    if not isinstance(op, str):
        raise TypeError(f"{where}: op must be one of {' '.join(OPS)}, got {op!r} ({type(op).__name__})")
    if op not in OPS:
        hint = _OP_HINTS.get(op.strip().lower())
        more = f" (did you mean {hint!r}?)" if hint else ""
        raise PlanError(f"{where}: unknown filter op {op!r}{more}; the valid ops are {' '.join(OPS)}")
    return op


def _check_name(value: object, key: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{key} must be a column name (str), got {value!r} ({type(value).__name__})")
    if not value:
        raise PlanError(f"{key} must not be empty")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as e:
        raise PlanError(f"{key} {value!r} is not valid text: {e.reason}") from None
    return value


def _group_column(by: object) -> str:
    """`by` checked as the one column windows are grouped by.  Names with a
    comma are refused: the engine would read "a,b" as one column that no
    event has, and put every row in one group."""
    name = _check_name(by, "by")
    if "," in name:
        parts = [p.strip() for p in name.split(",") if p.strip()]
        if len(parts) < 2:
            hint = f"did you mean by={parts[0]!r}?" if parts else "it names no column"
            raise PlanError(f"by={name!r} is not a column name: {hint}")
        raise PlanError(f"by={name!r} names {len(parts)} columns, but windows are grouped by one column; "
                        f"group by {parts[0]!r}, or join the columns into one key column before emitting "
                        f"(say, a column holding {'|'.join(parts)})")
    return name


def _filter_value(value: object, where: str) -> FilterValue:
    """The value as the engine compares it: NumPy scalars become Python
    scalars (the engine would compare a NumPy integer as text)."""
    if value is not None and not isinstance(value, (bool, int, float, str)):
        item = getattr(value, "item", None)
        if callable(item) and type(value).__module__ == "numpy":
            value = item()
    if value is None:
        raise PlanError(f"{where}: a None value never matches (a null equals nothing); "
                        "filter on a value, or leave the filter out")
    if isinstance(value, bool) or isinstance(value, str):
        return value
    if isinstance(value, int):
        if not -(2**63) <= value <= _INT64_MAX:
            raise PlanError(f"{where}: value {value!r} does not fit in 64 bits")
        return int(value)
    if isinstance(value, float):
        if math.isnan(value):
            raise PlanError(f"{where}: a NaN value never compares equal or ordered")
        return float(value)
    raise TypeError(f"{where}: value must be a bool, int, float or str, "
                    f"got {value!r} ({type(value).__name__})")


def _value_from_text(text: str) -> FilterValue:
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "'\"":
        return text[1:-1]
    if text in ("true", "True"):
        return True
    if text in ("false", "False"):
        return False
    if _INT_TEXT.fullmatch(text):
        return int(text)
    if _FLOAT_TEXT.fullmatch(text):
        return float(text)
    return text


@dataclasses.dataclass(frozen=True, slots=True, eq=False)
class Filter:
    """One condition: the row's column `field` compared with `value` by `op`.

    `op` is one of ``==  !=  <  >  <=  >=``.  Numbers (int and float) compare
    numerically with each other; bools and strings only with ``==`` and
    ``!=``; a row lacking the column fails.  `Filter.parse` reads text such
    as ``"price>0"``, ``"symbol==AAPL"`` or ``"qty >= 10"``.
    """

    field: str
    op: str
    value: FilterValue

    def __post_init__(self) -> None:
        where = f"filter {self.field!r}" if isinstance(self.field, str) else "filter"
        _check_name(self.field, "filter field")
        _check_op(self.op, where)
        value = _filter_value(self.value, where)
        if self.op not in ("==", "!=") and (isinstance(value, bool) or not isinstance(value, (int, float))):
            raise PlanError(f"{where}: {self.op!r} compares numbers only, but the value is "
                            f"{value!r} ({type(value).__name__}); use '==' or '!=' for it")
        object.__setattr__(self, "value", value)

    @classmethod
    def parse(cls, text: str) -> Filter:
        """A filter from text: a column name, an operator and a value, as in
        ``"price>0"``, ``"symbol==AAPL"``, ``"qty >= 10"`` or
        ``"id=='42'"``.  The value is read as true/false, an int, a float,
        or else as text; quotes make it text."""
        if not isinstance(text, str):
            raise TypeError(f"filter text must be a str, got {text!r} ({type(text).__name__})")
        m = _FILTER_TEXT.match(text)
        if m is None or not m.group("field"):
            raise PlanError(f"filter {text!r} is not 'column op value'; "
                            f"the valid ops are {' '.join(OPS)}")
        field, op, value = m.group("field"), m.group("op"), m.group("value")
        _check_op(op, f"filter {text!r}")
        if not value:
            raise PlanError(f"filter {text!r} has no value after {op!r}")
        return cls(field, op, _value_from_text(value))

    def to_dict(self) -> RawFilter:
        """The filter as the engine's dict."""
        return {"field": self.field, "op": self.op, "value": self.value}

    def _key(self) -> tuple[str, str, type, FilterValue]:
        # The value's type counts: the engine never finds True equal to 1.
        return self.field, self.op, type(self.value), self.value

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Filter):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __str__(self) -> str:
        value = self.value
        if isinstance(value, str) and (_value_from_text(value) != value or value != value.strip() or not value
                                       or value[0] in "=!<>"):
            return f"{self.field}{self.op}{value!r}"
        if isinstance(value, bool):
            return f"{self.field}{self.op}{str(value).lower()}"
        return f"{self.field}{self.op}{value}"


FilterLike: TypeAlias = "Filter | str | tuple[str, str, Any] | Mapping[str, Any]"
"""A `Filter`, its text ("price>0"), a (field, op, value) tuple or a raw
filter dict."""


def _to_filter(item: object, index: int) -> Filter:
    if isinstance(item, Filter):
        return item
    if isinstance(item, str):
        return Filter.parse(item)
    if isinstance(item, tuple):
        if len(item) != 3:
            raise TypeError(f"filters[{index}]: a tuple filter is (field, op, value), got {item!r}")
        return Filter(*item)
    if isinstance(item, Mapping):
        keys = set(item)
        if keys != {"field", "op", "value"}:
            raise PlanError(f"filters[{index}]: a filter dict has the keys 'field', 'op' and 'value', "
                            f"got {sorted(map(str, keys))}")
        return Filter(item["field"], item["op"], item["value"])
    raise TypeError(f"filters[{index}]: expected a Filter, text such as 'price>0', a (field, op, value) "
                    f"tuple or a dict, got {item!r} ({type(item).__name__})")


# --------------------------------------------------------------------- plan

def _optional_duration(value: Duration | None, name: str) -> int | None:
    return None if value is None else parse_duration(value, name=name)


def _positive_duration(value: Duration | None, name: str) -> int | None:
    ms = _optional_duration(value, name)
    if ms == 0:
        raise PlanError(f"{name} must be positive, got {value!r}")
    return ms


AggsLike: TypeAlias = "Mapping[str, Agg | str] | Iterable[tuple[str, Agg | str]]"
"""The aggregates of a plan: output name -> `Agg` (or its text, such as
"first(price)"), in output order."""


def _to_aggs(aggs: object) -> tuple[tuple[str, Agg], ...]:
    if isinstance(aggs, (str, Agg)):
        raise TypeError(f"aggs must map output names to aggregates, got {aggs!r} "
                        f"(did you mean aggs={{'name': {aggs!r}}}?)")
    if isinstance(aggs, Mapping):
        pairs = list(aggs.items())
    elif isinstance(aggs, Iterable):
        pairs = list(aggs)
        for i, pair in enumerate(pairs):
            if not isinstance(pair, tuple) or len(pair) != 2:
                raise TypeError(f"aggs[{i}]: expected a (name, aggregate) pair, got {pair!r}")
    else:
        raise TypeError(f"aggs must map output names to aggregates, got {aggs!r} ({type(aggs).__name__})")
    if not pairs:
        raise PlanError("aggs is empty: name at least one aggregate, aggs={'n': movra.count()}, say")
    out: dict[str, Agg] = {}
    for name, agg in pairs:
        _check_name(name, "an aggs name")
        if name in out:
            raise PlanError(f"aggs names {name!r} twice")
        if isinstance(agg, str):
            agg = Agg.parse(agg)
        elif not isinstance(agg, Agg):
            raise TypeError(f"aggs[{name!r}] must be an aggregate such as movra.first('price') or its text "
                            f"'first(price)', got {agg!r} ({type(agg).__name__})")
        out[name] = agg
    return tuple(out.items())


def _group_fields(by: object) -> str | tuple[str, ...]:
    """`by` of a plan with aggregates: one column name, or a list of them."""
    if isinstance(by, str):
        name = _check_name(by, "by")
        if "," in name:
            parts = [p.strip() for p in name.split(",") if p.strip()]
            raise PlanError(f"by={name!r} is not a column name; to group by several columns give a list, "
                            f"by={parts!r}")
        return name
    if not isinstance(by, Iterable) or isinstance(by, Mapping):
        raise TypeError(f"by must be a column name or a list of them, got {by!r} ({type(by).__name__})")
    names = tuple(_check_name(name, f"by[{i}]") for i, name in enumerate(by))
    if not names:
        raise PlanError("by is an empty list; use None for one group")
    for name in names:
        if names.count(name) > 1:
            raise PlanError(f"by names {name!r} twice: {list(names)!r}")
    return names


@dataclasses.dataclass(frozen=True, slots=True, init=False, repr=False)
class Plan:
    """A query plan: what `Stream.batches`, `Stream.poll` and
    `Stream.aggregate` run over the events.  Immutable; build it with
    keywords and derive variants with `Plan.replace`.

    Without a window, rows pass through (filtered, de-duplicated, judged
    against the watermark, projected).  With `window` and `mean`, rows are
    folded into tumbling event-time windows, and each window comes out once
    the watermark passes its end, as a row with the columns
    ``window_start``, ``window_end``, the `by` column, `alias` (the mean)
    and ``count``.  With `aggs` instead of `mean`, windows may be tumbling,
    hopping (`slide`) or sessions (`session`), grouped by several columns,
    and each output row holds the group columns (in `by` order),
    ``window_start``, ``window_end`` and the aggregates by name
    (`output_columns`).

    Keywords (durations are int milliseconds, a timedelta, or text such as
    "500ms", "2s", "1m"):

    - ``window``: the window width; whole seconds with `mean`, any number
      of milliseconds with `aggs`.
    - ``by``: the column to group windows by (None: one group); with
      `aggs`, a list of columns too.
    - ``time_field``: the column holding the event time in epoch
      milliseconds (default "timestamp"; only with a window).
    - ``mean``: the column whose values each window averages;
      ``alias``: the output column of the mean (default ``"avg_" + mean``).
    - ``aggs``: the aggregates of each window, output name to `Agg`
      (``{"open": movra.first("price"), "n": movra.count()}``), in output
      order; instead of `mean`.
    - ``slide``: with `aggs`, hopping windows of width `window` that start
      every `slide` (the width a multiple of it).
    - ``session``: with `aggs` and instead of `window`, session windows
      that close after this gap without events of their group.
    - ``close_idle_after``: with `aggs`, when no event has arrived for
      this long by the wall clock, the watermark moves on by the wall time
      since the last event, so the windows of a quiet feed come out.
    - ``filters``: conditions every row must meet: `Filter` objects, text
      such as "price>0", (field, op, value) tuples or filter dicts.
    - ``dedup``: the event-id column; a row whose id was seen before is
      dropped (ids are remembered for the life of the stream).
    - ``watermark``: how far the watermark trails the greatest event time.
    - ``lateness``: extra slack before a row counts as late and before a
      window closes.
    - ``drop_late``: drop late rows (they are counted either way).
    - ``keep_late``: keep the late rows that ``drop_late`` drops, each with
      the window it missed, for `Stream.late` to hand out.
    - ``select``: the output columns, a list of names.

    Raises `PlanError` (a ValueError) or TypeError naming the key and value.

    >>> Plan(window="1s", by="sym", mean="price", watermark="500ms")
    Plan(window='1s', by='sym', mean='price', alias='avg_price', watermark='500ms')
    """

    window: int | None = None
    by: str | tuple[str, ...] | None = None
    time_field: str = "timestamp"
    mean: str | None = None
    alias: str | None = None
    aggs: tuple[tuple[str, Agg], ...] | None = None
    slide: int | None = None
    session: int | None = None
    close_idle_after: int | None = None
    filters: tuple[Filter, ...] = ()
    dedup: str | None = None
    watermark: int | None = None
    lateness: int | None = None
    drop_late: bool = True
    keep_late: bool = False
    select: tuple[str, ...] | None = None
    _raw: RawPlan = dataclasses.field(init=False, compare=False, hash=False)

    def __init__(
        self,
        *,
        window: Duration | None = None,
        by: str | Sequence[str] | None = None,
        time_field: str = "timestamp",
        mean: str | None = None,
        alias: str | None = None,
        aggs: AggsLike | None = None,
        slide: Duration | None = None,
        session: Duration | None = None,
        close_idle_after: Duration | None = None,
        filters: Iterable[FilterLike] = (),
        dedup: str | None = None,
        watermark: Duration | None = None,
        lateness: Duration | None = None,
        drop_late: bool = True,
        keep_late: bool = False,
        select: Sequence[str] | None = None,
    ) -> None:
        setter = object.__setattr__
        agg_pairs = None if aggs is None else _to_aggs(aggs)
        setter(self, "aggs", agg_pairs)
        window_ms = _optional_duration(window, "window")
        if window_ms is not None:
            if window_ms == 0:
                raise PlanError(f"window must be positive, got {window!r}")
            if window_ms % 1000 and agg_pairs is None:
                raise PlanError(f"window must be a whole number of seconds (the engine's windows are "
                                f"whole seconds), got {window!r} = {window_ms} ms")
        setter(self, "window", window_ms)
        setter(self, "slide", _positive_duration(slide, "slide"))
        setter(self, "session", _positive_duration(session, "session"))
        setter(self, "close_idle_after", _optional_duration(close_idle_after, "close_idle_after"))
        if by is None:
            setter(self, "by", None)
        elif agg_pairs is None and not isinstance(by, str) and isinstance(by, Iterable):
            raise PlanError(f"by={by!r}: grouping by several columns needs aggs= (a mean plan groups by one "
                            "column)")
        else:
            setter(self, "by", _group_column(by) if agg_pairs is None else _group_fields(by))
        setter(self, "time_field", _check_name(time_field, "time_field"))
        setter(self, "mean", None if mean is None else _check_name(mean, "mean"))
        if alias is not None:
            _check_name(alias, "alias")
        elif mean is not None:
            alias = "avg_" + mean
        setter(self, "alias", alias)
        if isinstance(filters, (str, Filter, Mapping)) or (
                isinstance(filters, tuple) and len(filters) == 3 and isinstance(filters[1], str)
                and filters[1] in OPS):
            raise TypeError(f"filters must be a list of filters, got one: {filters!r} "
                            f"(did you mean [{filters!r}]?)")
        if not isinstance(filters, Iterable):
            raise TypeError(f"filters must be a list of filters, got {filters!r}")
        setter(self, "filters", tuple(_to_filter(f, i) for i, f in enumerate(filters)))
        setter(self, "dedup", None if dedup is None else _check_name(dedup, "dedup"))
        setter(self, "watermark", _optional_duration(watermark, "watermark"))
        setter(self, "lateness", _optional_duration(lateness, "lateness"))
        if not isinstance(drop_late, bool):
            raise TypeError(f"drop_late must be True or False, got {drop_late!r}")
        setter(self, "drop_late", drop_late)
        if not isinstance(keep_late, bool):
            raise TypeError(f"keep_late must be True or False, got {keep_late!r}")
        setter(self, "keep_late", keep_late)
        if select is not None:
            if isinstance(select, str):
                raise TypeError(f"select must be a list of column names, not one string: {select!r} "
                                f"(did you mean [{select!r}]?)")
            if not isinstance(select, Iterable):
                raise TypeError(f"select must be a list of column names, got {select!r}")
            select = tuple(_check_name(name, f"select[{i}]") for i, name in enumerate(select))
            if not select:
                raise PlanError("select is empty: it would give rows without columns; "
                                "use None for all columns")
        setter(self, "select", select)
        if self.aggs is None:
            self._check_window()
        else:
            self._check_aggs()
        setter(self, "_raw", self._build_raw())

    @property
    def windowed(self) -> bool:
        """Whether rows are folded into windows (a `window` or a `session`)."""
        return self.window is not None or self.session is not None

    @property
    def group_fields(self) -> tuple[str, ...]:
        """The columns windows are grouped by, in order (empty: one group)."""
        if self.by is None:
            return ()
        return (self.by,) if isinstance(self.by, str) else self.by

    @property
    def output_columns(self) -> tuple[str, ...] | None:
        """The columns of a plan with `aggs`, in output order: the group
        columns, ``window_start``, ``window_end``, then the aggregates (only
        those `select` keeps).  None for other plans, whose columns come in
        name order."""
        if self.aggs is None:
            return None
        names = (*self.group_fields, *_AGGS_WINDOW_COLUMNS, *(name for name, _ in self.aggs))
        return names if self.select is None else tuple(n for n in names if n in self.select)

    def _check_window(self) -> None:
        for key in ("slide", "session", "close_idle_after"):
            if getattr(self, key) is not None:
                value = format_duration(getattr(self, key))
                raise PlanError(f"{key}={value!r} needs aggs= (the aggregates of each window); "
                                "a mean plan has tumbling windows only")
        if self.window is None:
            if self.mean is not None:
                raise PlanError(f"mean={self.mean!r} needs a window (window='1s', say)")
            for key in ("by", "alias"):
                if getattr(self, key) is not None:
                    raise PlanError(f"{key}={getattr(self, key)!r} needs a window (window='1s', say)")
            if self.time_field != "timestamp":
                raise PlanError(f"time_field={self.time_field!r} needs a window; without one the event "
                                "time is always read from 'timestamp'")
            return
        if self.mean is None:
            raise PlanError("a window needs mean=, the column whose values each window averages, "
                            "or aggs=, the aggregates of each window")
        assert self.alias is not None
        assert isinstance(self.by, (str, type(None)))
        taken = {name: "the window output column" for name in WINDOW_COLUMNS}
        if self.by is not None:
            if self.by in WINDOW_COLUMNS:
                raise PlanError(f"by={self.by!r} collides with the window output column {self.by!r}; "
                                "rename the column")
            taken[self.by] = "the by column"
        if self.alias in taken:
            raise PlanError(f"alias={self.alias!r} collides with {taken[self.alias]} {self.alias!r}; "
                            "choose another alias")
        if self.select is not None:
            outputs = [*WINDOW_COLUMNS, *([self.by] if self.by else []), self.alias]
            for name in self.select:
                if name not in outputs:
                    raise PlanError(f"select names {name!r}, which windowed output does not have; "
                                    f"its columns are {', '.join(sorted(outputs))}")

    def _check_aggs(self) -> None:
        assert self.aggs is not None
        names = [name for name, _ in self.aggs]
        if self.mean is not None:
            raise PlanError(f"aggs and mean={self.mean!r} exclude each other: put the mean among the aggregates, "
                            f"aggs={{'avg_{self.mean}': movra.mean({self.mean!r}), ...}}")
        if self.alias is not None:
            raise PlanError(f"alias={self.alias!r} names the mean's column; with aggs each aggregate is named "
                            "by its key")
        if self.session is not None:
            for key in ("window", "slide"):
                if getattr(self, key) is not None:
                    raise PlanError(f"session={format_duration(self.session)!r} and "
                                    f"{key}={format_duration(getattr(self, key))!r} exclude each other: "
                                    "a session window's width is its events' own")
        elif self.window is None:
            raise PlanError(f"aggs={{{', '.join(map(repr, names))}}} needs a window: window='1s', "
                            "or session='30s'")
        if self.slide is not None:
            assert self.window is not None
            if self.window % self.slide:
                raise PlanError(f"window={format_duration(self.window)!r} must be a whole multiple of "
                                f"slide={format_duration(self.slide)!r}")
        taken = {name: "the window output column" for name in _AGGS_WINDOW_COLUMNS}
        for field in self.group_fields:
            if field in taken:
                raise PlanError(f"by={field!r} collides with the window output column {field!r}; "
                                "rename the column")
            taken[field] = "the by column"
        for name in names:
            if name in taken:
                raise PlanError(f"aggs name {name!r} collides with {taken[name]} {name!r}; "
                                "choose another name")
        if self.select is not None:
            outputs = [*self.group_fields, *_AGGS_WINDOW_COLUMNS, *names]
            for name in self.select:
                if name not in outputs:
                    raise PlanError(f"select names {name!r}, which windowed output does not have; "
                                    f"its columns are {', '.join(outputs)}")

    def _build_raw(self) -> RawPlan:
        window: RawWindow | None = None
        mean: RawMean | None = None
        if self.aggs is not None:
            by = self.by if self.by is None or isinstance(self.by, str) else list(self.by)
            window = {"by": by, "time_field": self.time_field}
            if self.session is not None:
                window["gap_ms"] = self.session
            else:
                assert self.window is not None
                window["size_ms"] = self.window
                if self.slide is not None:
                    window["slide_ms"] = self.slide
        elif self.window is not None and self.mean is not None and self.alias is not None:
            assert not isinstance(self.by, tuple)
            window = {"seconds": self.window // 1000, "by": self.by, "time_field": self.time_field}
            mean = {"field": self.mean, "alias": self.alias}
        raw: RawPlan = {
            "filters": [f.to_dict() for f in self.filters],
            "select": None if self.select is None else list(self.select),
            "window": window,
            "mean": mean,
            "watermark_ms": self.watermark,
            "allowed_lateness_ms": self.lateness,
            "event_id_field": self.dedup,
            "drop_late": self.drop_late,
        }
        if self.aggs is not None:
            raw["aggs"] = [agg.to_dict(name) for name, agg in self.aggs]
        if self.close_idle_after is not None:
            raw["close_idle_after_ms"] = self.close_idle_after
        if self.keep_late:
            raw["keep_late"] = True
        return raw

    def to_dict(self) -> RawPlan:
        """The plan as the native core's dict (a new dict on every call).
        A plan without the keywords of aggregate windows gives the eight
        keys of the mean plans, as always."""
        return self._build_raw()

    @classmethod
    def from_dict(cls, raw: Mapping[str, Any]) -> Plan:
        """A `Plan` from the native core's plan dict, checked as the keyword
        constructor checks it.  Every one of the eight keys must be there,
        besides them only "aggs", "close_idle_after_ms" and "keep_late".
        A "window" without a "mean" or "aggs" (or the reverse) is refused:
        the engine would then not window at all."""
        if not isinstance(raw, Mapping):
            raise TypeError(f"a plan dict is a mapping, got {raw!r} ({type(raw).__name__})")
        keys = {*RAW_PLAN_KEYS, *OPTIONAL_RAW_PLAN_KEYS}
        missing = [k for k in RAW_PLAN_KEYS if k not in raw]
        unknown = sorted(str(k) for k in raw if k not in keys)
        if missing or unknown:
            parts = ([f"missing {', '.join(map(repr, missing))}"] if missing else []) + (
                [f"unknown {', '.join(map(repr, unknown))}"] if unknown else [])
            raise PlanError(f"plan dict keys: {'; '.join(parts)}")
        filters = raw["filters"]
        if filters is None or isinstance(filters, (str, Mapping)):
            raise TypeError(f"'filters' must be a list of filter dicts, got {filters!r}")
        kwargs: dict[str, Any] = {}
        raw_aggs = raw.get("aggs")
        if raw_aggs is not None:
            if isinstance(raw_aggs, (str, Mapping)) or not isinstance(raw_aggs, Iterable):
                raise TypeError(f"'aggs' must be a list of aggregate dicts, got {raw_aggs!r}")
            kwargs["aggs"] = [Agg.from_dict(item, f"aggs[{i}]") for i, item in enumerate(raw_aggs)]
        window_value = raw["window"]
        new_keys = ("size_ms", "slide_ms", "gap_ms")
        if isinstance(window_value, Mapping) and (any(k in window_value for k in new_keys)
                                                  or raw_aggs is not None):
            window = _sub_dict(window_value, "window", ("by", "time_field"), ("seconds", *new_keys))
            assert window is not None
            kwargs.update(_window_kwargs(window))
        else:
            window = _sub_dict(window_value, "window", ("seconds", "by", "time_field"))
            if window is not None:
                seconds = window["seconds"]
                if isinstance(seconds, bool) or not isinstance(seconds, int):
                    raise TypeError(f"window 'seconds' must be an int, got {seconds!r}")
                if seconds <= 0:
                    raise PlanError(f"window 'seconds' must be positive, got {seconds!r}")
                kwargs.update(window=seconds * 1000, by=window["by"], time_field=window["time_field"])
        mean = _sub_dict(raw["mean"], "mean", ("field", "alias"))
        if mean is not None:
            kwargs.update(mean=mean["field"], alias=mean["alias"])
        for key, name in (("watermark_ms", "watermark"), ("allowed_lateness_ms", "lateness"),
                          ("close_idle_after_ms", "close_idle_after")):
            value = raw.get(key)
            if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
                raise TypeError(f"{key!r} must be an int or None, got {value!r}")
            kwargs[name] = value
        drop_late = raw["drop_late"]
        keep_late = raw.get("keep_late")
        return cls(filters=filters, select=raw["select"], dedup=raw["event_id_field"],
                   drop_late=True if drop_late is None else drop_late,
                   keep_late=False if keep_late is None else keep_late, **kwargs)

    def replace(self, **changes: Any) -> Plan:
        """A copy with the given keywords changed, checked anew."""
        fields = {f.name: getattr(self, f.name) for f in dataclasses.fields(self) if f.init}
        if "mean" in changes and "alias" not in changes and self.mean is not None \
                and self.alias == "avg_" + self.mean:
            fields["alias"] = None  # the default alias follows the new mean
        fields.update(changes)
        return Plan(**fields)

    def __repr__(self) -> str:
        parts = []
        for f in dataclasses.fields(self):
            if not f.init:
                continue
            value = getattr(self, f.name)
            if value == f.default:
                continue
            if f.name in ("window", "watermark", "lateness", "slide", "session", "close_idle_after"):
                value = format_duration(value)
            elif f.name == "filters":
                parts.append(f"filters=[{', '.join(map(_filter_repr, value))}]")
                continue
            elif f.name == "aggs":
                parts.append(f"aggs={{{', '.join(f'{name!r}: {agg!r}' for name, agg in value)}}}")
                continue
            elif f.name in ("select", "by") and isinstance(value, tuple):
                value = list(value)
            parts.append(f"{f.name}={value!r}")
        return f"Plan({', '.join(parts)})"


_AGGS_WINDOW_COLUMNS: Final = ("window_start", "window_end")
#: The keys every raw plan has, and those only some have.
RAW_PLAN_KEYS: Final = ("filters", "select", "window", "mean", "watermark_ms", "allowed_lateness_ms",
                         "event_id_field", "drop_late")
OPTIONAL_RAW_PLAN_KEYS: Final = ("aggs", "close_idle_after_ms", "keep_late")


def _window_kwargs(window: Mapping[str, Any]) -> dict[str, Any]:
    """Plan keywords from a "window" dict of an aggregate plan."""
    out: dict[str, Any] = {"by": window["by"], "time_field": window["time_field"]}
    for key, name in (("size_ms", "window"), ("slide_ms", "slide"), ("gap_ms", "session")):
        value = window.get(key)
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"window {key!r} must be an int, got {value!r}")
        if value <= 0:
            raise PlanError(f"window {key!r} must be positive, got {value!r}")
        out[name] = value
    seconds = window.get("seconds")
    if seconds is not None:
        if "window" in out or "session" in out:
            raise PlanError(f"window 'seconds'={seconds!r} and "
                            f"{'size_ms' if 'window' in out else 'gap_ms'!r} exclude each other")
        if isinstance(seconds, bool) or not isinstance(seconds, int):
            raise TypeError(f"window 'seconds' must be an int, got {seconds!r}")
        if seconds <= 0:
            raise PlanError(f"window 'seconds' must be positive, got {seconds!r}")
        out["window"] = seconds * 1000
    return out


def _filter_repr(f: Filter) -> str:
    """The filter as text for `Plan.__repr__` when that text reads back as
    the same filter, else as a (field, op, value) tuple."""
    text = str(f)
    try:
        if Filter.parse(text) == f:
            return repr(text)
    except (PlanError, TypeError):
        pass
    value = f.value
    shown = f"float({str(value)!r})" if isinstance(value, float) and not math.isfinite(value) else repr(value)
    return f"({f.field!r}, {f.op!r}, {shown})"


PlanLike: TypeAlias = "Plan | Mapping[str, Any]"
"""A `Plan`, or a raw plan dict (checked with `Plan.from_dict`)."""


def _sub_dict(value: object, key: str, fields: tuple[str, ...],
              optional: tuple[str, ...] = ()) -> Mapping[str, Any] | None:
    if value is None:
        return None
    if not isinstance(value, Mapping):
        raise TypeError(f"{key!r} must be a dict or None, got {value!r}")
    missing = [f for f in fields if f not in value]
    unknown = sorted(str(k) for k in value if k not in fields and k not in optional)
    if missing or unknown:
        also = f" (and optionally {', '.join(map(repr, optional))})" if optional else ""
        raise PlanError(f"{key!r} must have exactly the keys {', '.join(map(repr, fields))}{also}; "
                        f"missing {missing}, unknown {unknown}")
    return value


def as_plan(plan: PlanLike) -> Plan:
    """`plan` as a `Plan` (a raw dict is checked by `Plan.from_dict`)."""
    if isinstance(plan, Plan):
        return plan
    if isinstance(plan, Mapping):
        return Plan.from_dict(plan)
    raise TypeError(f"plan must be a movra.Plan or a plan dict, got {plan!r} ({type(plan).__name__})")
