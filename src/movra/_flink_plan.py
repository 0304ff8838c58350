"""Reading a raw plan for the Flink translation.

The core takes a plan as a dict with eight keys and checks little: it accepts
odd values and gives them a meaning of its own.  A SQL translation needs each
part pinned down, so this module reads the plan once, checks every value it
relies on and raises an error that names the key and the value.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Protocol

PLAN_KEYS = ("filters", "select", "window", "mean", "watermark_ms", "allowed_lateness_ms",
             "event_id_field", "drop_late")
#: Keys a plan of aggregate windows may add (absent counts as None).
OPTIONAL_KEYS = ("aggs", "close_idle_after_ms", "keep_late")
OPERATORS = ("==", "!=", "<", ">", "<=", ">=")
INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

#: A filter's comparison value after the core's own conversion of it.
FilterValue = None | bool | int | float | str


class SupportsToDict(Protocol):
    """Any plan object that can give the core's raw plan dict."""

    def to_dict(self) -> Mapping[str, Any]: ...


PlanLike = Mapping[str, Any] | SupportsToDict


@dataclass(frozen=True)
class Condition:
    """One filter: ``field op value``."""

    field: str
    op: str
    value: FilterValue


@dataclass(frozen=True)
class Aggregate:
    """One entry of a plan's "aggs": ``op`` over ``field`` named ``name``."""

    name: str
    op: str
    field: str | None
    ddof: int
    q: float | None
    param: int | None


@dataclass(frozen=True)
class Query:
    """A checked plan.  ``seconds`` is None unless the plan has both a window
    and a mean, which is when the core aggregates with a mean.  ``aggs`` is
    None unless the plan has aggregate windows: then ``by`` is None and the
    window is in ``group_fields``, ``size_ms``, ``slide_ms`` and ``gap_ms``."""

    filters: tuple[Condition, ...]
    select: tuple[str, ...] | None
    seconds: int | None
    by: str | None
    time_field: str
    mean_field: str | None
    alias: str | None
    watermark_ms: int
    lateness_ms: int
    event_id_field: str | None
    drop_late: bool
    aggs: tuple[Aggregate, ...] | None = None
    group_fields: tuple[str, ...] = ()
    size_ms: int | None = None
    slide_ms: int | None = None
    gap_ms: int | None = None
    close_idle_after_ms: int | None = None

    @property
    def windowed(self) -> bool:
        return self.seconds is not None or self.aggs is not None


def read_plan(plan: object) -> Query:
    """Checks a raw plan dict, or an object whose ``to_dict()`` gives one."""
    to_dict = getattr(plan, "to_dict", None)
    if callable(to_dict) and not isinstance(plan, Mapping):
        plan = to_dict()
    if not isinstance(plan, Mapping):
        raise TypeError(f"plan must be a mapping with the keys {', '.join(PLAN_KEYS)} "
                        f"or an object with to_dict(), not {type(plan).__name__}")
    for key in PLAN_KEYS:
        if key not in plan:
            raise ValueError(f"plan is missing the key {key!r}")

    if plan.get("aggs") is not None:
        return _read_aggregate_plan(plan)
    window = _optional_mapping(plan, "window", ("seconds", "by", "time_field"))
    mean = _optional_mapping(plan, "mean", ("field", "alias"))
    seconds = None
    if window is not None:
        seconds = _integer(window["seconds"], "window['seconds']")
        if seconds <= 0 or seconds >= 10**10:
            raise ValueError(f"window['seconds'] must be a whole number of seconds from 1 to "
                             f"9999999999, not {seconds!r}")
    lateness = _optional_integer(plan, "allowed_lateness_ms")
    drop_late = plan["drop_late"]
    if drop_late is not None and not isinstance(drop_late, bool):
        raise TypeError(f"plan['drop_late'] must be True, False or None, not {drop_late!r}")

    return Query(
        filters=tuple(_conditions(plan["filters"])),
        select=_select(plan["select"]),
        seconds=seconds if window is not None and mean is not None else None,
        by=None if window is None else _optional_name(window["by"], "window['by']"),
        time_field="timestamp" if window is None else _name(window["time_field"], "window['time_field']"),
        mean_field=None if mean is None else _name(mean["field"], "mean['field']"),
        alias=None if mean is None else _name(mean["alias"], "mean['alias']"),
        watermark_ms=_optional_integer(plan, "watermark_ms"),
        lateness_ms=max(lateness, 0),  # the core counts a negative lateness as none
        event_id_field=_optional_name(plan["event_id_field"], "plan['event_id_field']"),
        drop_late=drop_late is not False,
    )


def _read_aggregate_plan(plan: Mapping[str, Any]) -> Query:
    if plan["mean"] is not None:
        raise ValueError("plan['aggs'] and plan['mean'] exclude each other")
    window = _optional_mapping(plan, "window", ("by", "time_field"))
    if window is None:
        raise ValueError("plan['aggs'] needs a window: plan['window'] is None")
    sizes = {}
    for key in ("seconds", "size_ms", "slide_ms", "gap_ms"):
        value = window.get(key)
        if value is not None:
            value = _integer(value, f"window[{key!r}]")
            if value <= 0:
                raise ValueError(f"window[{key!r}] must be positive, not {value!r}")
            sizes[key] = value
    size = sizes.get("size_ms", sizes.get("seconds", 0) * 1000) or None
    gap = sizes.get("gap_ms")
    if (gap is None) == (size is None):
        raise ValueError("plan['window'] needs either a width ('size_ms' or 'seconds') or a session gap "
                         f"('gap_ms'), not {dict(window)!r}")
    slide = sizes.get("slide_ms")
    if slide is not None and (gap is not None or size is None or size % slide):
        raise ValueError(f"window['slide_ms'] {slide} must divide window['size_ms'] {size} (and goes with no "
                         "session gap)")
    by = window["by"]
    if by is None:
        fields: tuple[str, ...] = ()
    elif isinstance(by, str):
        fields = (by,)
    elif isinstance(by, (list, tuple)):
        fields = tuple(_name(f, "each name in window['by']") for f in by)
    else:
        raise TypeError(f"window['by'] must be None, a column name or a list of them, not {by!r}")
    raw_aggs = plan["aggs"]
    if isinstance(raw_aggs, (str, bytes, Mapping)) or not isinstance(raw_aggs, Iterable):
        raise TypeError(f"plan['aggs'] must be a list of aggregate mappings, not {raw_aggs!r}")
    aggs = []
    for i, item in enumerate(raw_aggs):
        what = f"plan['aggs'][{i}]"
        if not isinstance(item, Mapping):
            raise TypeError(f"{what} must be a mapping with 'name', 'op' and 'field', not {item!r}")
        for key in ("name", "op"):
            if key not in item:
                raise ValueError(f"{what} is missing the key {key!r}")
        field = item.get("field")
        ddof = item.get("ddof", 1)
        q = item.get("q")
        param = item.get("param")
        aggs.append(Aggregate(_name(item["name"], f"{what}['name']"), _name(item["op"], f"{what}['op']"),
                              None if field is None else _name(field, f"{what}['field']"),
                              _integer(ddof, f"{what}['ddof']"),
                              None if q is None else float(q), None if param is None else _integer(param, what)))
    if not aggs:
        raise ValueError("plan['aggs'] is empty")
    lateness = _optional_integer(plan, "allowed_lateness_ms")
    drop_late = plan["drop_late"]
    if drop_late is not None and not isinstance(drop_late, bool):
        raise TypeError(f"plan['drop_late'] must be True, False or None, not {drop_late!r}")
    idle = plan.get("close_idle_after_ms")
    return Query(
        filters=tuple(_conditions(plan["filters"])),
        select=_select(plan["select"]),
        seconds=None, by=None,
        time_field=_name(window["time_field"], "window['time_field']"),
        mean_field=None, alias=None,
        watermark_ms=_optional_integer(plan, "watermark_ms"),
        lateness_ms=max(lateness, 0),
        event_id_field=_optional_name(plan["event_id_field"], "plan['event_id_field']"),
        drop_late=drop_late is not False,
        aggs=tuple(aggs), group_fields=fields, size_ms=size, slide_ms=slide, gap_ms=gap,
        close_idle_after_ms=None if idle is None else _integer(idle, "plan['close_idle_after_ms']"),
    )


def _optional_mapping(plan: Mapping[str, Any], key: str, keys: tuple[str, ...]) -> Mapping[str, Any] | None:
    value = plan[key]
    if value is None:
        return None
    if not isinstance(value, Mapping):
        raise TypeError(f"plan[{key!r}] must be None or a mapping, not {value!r}")
    for name in keys:
        if name not in value:
            raise ValueError(f"plan[{key!r}] is missing the key {name!r}")
    return value


def _integer(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {value!r}")
    if not INT64_MIN <= value <= INT64_MAX:
        raise ValueError(f"{what} must fit in a signed 64-bit integer, not {value!r}")
    return value


def _optional_integer(plan: Mapping[str, Any], key: str) -> int:
    value = plan[key]
    return 0 if value is None else _integer(value, f"plan[{key!r}]")


def _name(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a column name (str), not {value!r}")
    return value


def _optional_name(value: object, what: str) -> str | None:
    return None if value is None else _name(value, what)


def _select(value: object) -> tuple[str, ...] | None:
    if value is None:
        return None
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"plan['select'] must be None or a list of column names, not {value!r}")
    return tuple(_name(name, "each name in plan['select']") for name in value)


def _conditions(value: object) -> Iterable[Condition]:
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, Iterable):
        raise TypeError(f"plan['filters'] must be a list of filter mappings, not {value!r}")
    for i, item in enumerate(value):
        what = f"plan['filters'][{i}]"
        if not isinstance(item, Mapping):
            raise TypeError(f"{what} must be a mapping with 'field', 'op' and 'value', not {item!r}")
        for name in ("field", "op", "value"):
            if name not in item:
                raise ValueError(f"{what} is missing the key {name!r}")
        field = _name(item["field"], f"{what}['field']")
        op = item["op"]
        if not isinstance(op, str):
            raise TypeError(f"{what}['op'] must be an operator text such as '==', not {op!r}")
        yield Condition(field, op, _filter_value(item["value"], f"{what}['value']"))


def _filter_value(value: object, what: str) -> FilterValue:
    """The value as the core converts it: None, bool, int, float and str keep
    their kind (subclasses included); anything else becomes its str() text."""
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, int):
        return _integer(int(value), what)
    if isinstance(value, float):
        return float(value)
    return str(value)
