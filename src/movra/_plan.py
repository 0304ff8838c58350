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

from ._errors import PlanError

__all__ = [
    "OPS",
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
    """The "window" part of a raw plan (the width in whole seconds)."""

    seconds: int
    by: str | None
    time_field: str


class RawMean(TypedDict):
    """The "mean" part of a raw plan."""

    field: str
    alias: str


class RawPlan(TypedDict):
    """The plan dict of the native core: every key present, an optional part
    switched off with None."""

    filters: list[RawFilter]
    select: list[str] | None
    window: RawWindow | None
    mean: RawMean | None
    watermark_ms: int | None
    allowed_lateness_ms: int | None
    event_id_field: str | None
    drop_late: bool | None
    keep_late: NotRequired[bool | None]


#: The keys a raw plan may leave out (absent counts as None).
OPTIONAL_KEYS: Final = frozenset({"keep_late"})


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


@dataclasses.dataclass(frozen=True, slots=True, init=False, repr=False)
class Plan:
    """A query plan: what `Stream.batches`, `Stream.poll` and
    `Stream.aggregate` run over the events.  Immutable; build it with
    keywords and derive variants with `Plan.replace`.

    Without `window`, rows pass through (filtered, de-duplicated, judged
    against the watermark, projected).  With `window` and `mean`, rows are
    folded into tumbling event-time windows, and each window comes out once
    the watermark passes its end, as a row with the columns
    ``window_start``, ``window_end``, the `by` column, `alias` (the mean)
    and ``count``.

    Keywords (durations are int milliseconds, a timedelta, or text such as
    "500ms", "2s", "1m"):

    - ``window``: the window width; whole seconds only.
    - ``by``: the column to group windows by (None: one group).
    - ``time_field``: the column holding the event time in epoch
      milliseconds (default "timestamp"; only with a window).
    - ``mean``: the column whose values each window averages (needed with
      ``window``); ``alias``: the output column of the mean (default
      ``"avg_" + mean``).
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
    by: str | None = None
    time_field: str = "timestamp"
    mean: str | None = None
    alias: str | None = None
    filters: tuple[Filter, ...] = ()
    dedup: str | None = None
    watermark: int | None = None
    lateness: int | None = None
    drop_late: bool = True
    select: tuple[str, ...] | None = None
    keep_late: bool = False
    _raw: RawPlan = dataclasses.field(init=False, compare=False, hash=False)

    def __init__(
        self,
        *,
        window: Duration | None = None,
        by: str | None = None,
        time_field: str = "timestamp",
        mean: str | None = None,
        alias: str | None = None,
        filters: Iterable[FilterLike] = (),
        dedup: str | None = None,
        watermark: Duration | None = None,
        lateness: Duration | None = None,
        drop_late: bool = True,
        select: Sequence[str] | None = None,
        keep_late: bool = False,
    ) -> None:
        setter = object.__setattr__
        window_ms = _optional_duration(window, "window")
        if window_ms is not None:
            if window_ms == 0:
                raise PlanError(f"window must be positive, got {window!r}")
            if window_ms % 1000:
                raise PlanError(f"window must be a whole number of seconds (the engine's windows are "
                                f"whole seconds), got {window!r} = {window_ms} ms")
        setter(self, "window", window_ms)
        setter(self, "by", None if by is None else _group_column(by))
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
        if not isinstance(keep_late, bool):
            raise TypeError(f"keep_late must be True or False, got {keep_late!r}")
        setter(self, "keep_late", keep_late)
        self._check_window()
        setter(self, "_raw", self._build_raw())

    def _check_window(self) -> None:
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
            raise PlanError("a window needs mean=, the column whose values each window averages")
        assert self.alias is not None
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

    def _build_raw(self) -> RawPlan:
        window: RawWindow | None = None
        mean: RawMean | None = None
        if self.window is not None and self.mean is not None and self.alias is not None:
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
        if self.keep_late:  # only then, so other plans' dicts stay as they were
            raw["keep_late"] = True
        return raw

    def to_dict(self) -> RawPlan:
        """The plan as the native core's dict (a new dict on every call)."""
        return self._build_raw()

    @classmethod
    def from_dict(cls, raw: Mapping[str, Any]) -> Plan:
        """A `Plan` from the native core's plan dict, checked as the keyword
        constructor checks it.  Every one of the eight keys must be there
        and no other but the optional "keep_late".  A "window" without a "mean" (or the reverse) is
        refused: the engine would then not window at all."""
        if not isinstance(raw, Mapping):
            raise TypeError(f"a plan dict is a mapping, got {raw!r} ({type(raw).__name__})")
        keys = set(RawPlan.__annotations__)
        missing = [k for k in RawPlan.__annotations__ if k not in raw and k not in OPTIONAL_KEYS]
        unknown = sorted(str(k) for k in raw if k not in keys)
        if missing or unknown:
            parts = ([f"missing {', '.join(map(repr, missing))}"] if missing else []) + (
                [f"unknown {', '.join(map(repr, unknown))}"] if unknown else [])
            raise PlanError(f"plan dict keys: {'; '.join(parts)}")
        filters = raw["filters"]
        if filters is None or isinstance(filters, (str, Mapping)):
            raise TypeError(f"'filters' must be a list of filter dicts, got {filters!r}")
        window = _sub_dict(raw["window"], "window", ("seconds", "by", "time_field"))
        mean = _sub_dict(raw["mean"], "mean", ("field", "alias"))
        kwargs: dict[str, Any] = {}
        if window is not None:
            seconds = window["seconds"]
            if isinstance(seconds, bool) or not isinstance(seconds, int):
                raise TypeError(f"window 'seconds' must be an int, got {seconds!r}")
            if seconds <= 0:
                raise PlanError(f"window 'seconds' must be positive, got {seconds!r}")
            kwargs.update(window=seconds * 1000, by=window["by"], time_field=window["time_field"])
        if mean is not None:
            kwargs.update(mean=mean["field"], alias=mean["alias"])
        for key, name in (("watermark_ms", "watermark"), ("allowed_lateness_ms", "lateness")):
            value = raw[key]
            if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
                raise TypeError(f"{key!r} must be an int or None, got {value!r}")
            kwargs[name] = value
        drop_late = raw["drop_late"]
        return cls(filters=filters, select=raw["select"], dedup=raw["event_id_field"],
                   drop_late=True if drop_late is None else drop_late,
                   keep_late=raw.get("keep_late") is not None and raw["keep_late"], **kwargs)

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
            if f.name in ("window", "watermark", "lateness"):
                value = format_duration(value)
            elif f.name == "filters":
                parts.append(f"filters=[{', '.join(map(_filter_repr, value))}]")
                continue
            elif f.name == "select":
                value = list(value)
            parts.append(f"{f.name}={value!r}")
        return f"Plan({', '.join(parts)})"


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


def _sub_dict(value: object, key: str, fields: tuple[str, ...]) -> Mapping[str, Any] | None:
    if value is None:
        return None
    if not isinstance(value, Mapping):
        raise TypeError(f"{key!r} must be a dict or None, got {value!r}")
    missing = [f for f in fields if f not in value]
    unknown = sorted(str(k) for k in value if k not in fields)
    if missing or unknown:
        raise PlanError(f"{key!r} must have exactly the keys {', '.join(map(repr, fields))}; "
                        f"missing {missing}, unknown {unknown}")
    return value


def as_plan(plan: PlanLike) -> Plan:
    """`plan` as a `Plan` (a raw dict is checked by `Plan.from_dict`)."""
    if isinstance(plan, Plan):
        return plan
    if isinstance(plan, Mapping):
        return Plan.from_dict(plan)
    raise TypeError(f"plan must be a movra.Plan or a plan dict, got {plan!r} ({type(plan).__name__})")
