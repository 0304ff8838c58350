"""Aggregates of a window: the `Agg` value and the helpers that build it
(`count`, `sum`, `mean`, `min`, `max`, `first`, `last`, `var`, `stddev`,
`count_distinct`, `quantile`, `approx_quantile`, `approx_count_distinct`).

A plan names its aggregates, ``Plan(window="1m", by="sym",
aggs={"open": movra.first("price"), "n": movra.count()})``; each `Agg`
becomes one entry of the core plan's "aggs" list.  `sum`, `min` and `max`
share their names with builtins: this module uses none of the three, and
the package imports them last.
"""

from __future__ import annotations

import dataclasses
import numbers
import re
from collections.abc import Mapping
from typing import Final, NotRequired, TypedDict

from ._errors import PlanError

__all__ = [
    "AGG_OPS",
    "Agg",
    "RawAgg",
    "approx_count_distinct",
    "approx_quantile",
    "count",
    "count_distinct",
    "first",
    "last",
    "max",
    "mean",
    "min",
    "quantile",
    "stddev",
    "sum",
    "var",
]

#: Every aggregate op the plan knows, in the order the docs list them.
AGG_OPS: Final = ("count", "sum", "mean", "min", "max", "first", "last", "var", "stddev", "count_distinct",
                  "quantile", "approx_quantile", "approx_count_distinct")
_DDOF_OPS: Final = ("var", "stddev")
_Q_OPS: Final = ("quantile", "approx_quantile")
#: op -> (default, smallest, greatest) of its "param": KLL's k, HLL's lg_k.
_PARAM_RANGES: Final = {"approx_quantile": (200, 8, 65535), "approx_count_distinct": (12, 4, 21)}


class RawAgg(TypedDict):
    """One entry of the core plan's "aggs" list."""

    name: str
    op: str
    field: str | None
    ddof: NotRequired[int]
    q: NotRequired[float]
    param: NotRequired[int]


def _int_value(value: object, what: str) -> int:
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return int(value)
    raise TypeError(f"{what} must be an int, got {value!r} ({type(value).__name__})")


@dataclasses.dataclass(frozen=True, slots=True)
class Agg:
    """One aggregate of a window: `op` over the column `field`.

    `field` is None only for ``count`` (the rows).  `ddof` is read by
    ``var`` and ``stddev`` only (1: sample, 0: population); `q` (0 to 1) by
    the quantile ops; `param` by the approximate ops (``approx_quantile``:
    the sketch's k, 8 to 65535, default 200; ``approx_count_distinct``: the
    precision lg_k, 4 to 21, default 12).  Build it with the helpers
    (``movra.first("price")``) or read it from text with `Agg.parse`.
    """

    op: str
    field: str | None = None
    ddof: int = 1
    q: float | None = None
    param: int | None = None

    def __post_init__(self) -> None:
        op = self.op
        if not isinstance(op, str):
            raise TypeError(f"aggregate op must be a str, got {op!r} ({type(op).__name__})")
        if op not in AGG_OPS:
            raise PlanError(f"unknown aggregate op {op!r}; the aggregates are {', '.join(AGG_OPS)}")
        field = self.field
        if field is None:
            if op != "count":
                raise PlanError(f"{op}() needs a column: {op}('price'), say")
        elif not isinstance(field, str):
            raise TypeError(f"{op}: the column must be a str, got {field!r} ({type(field).__name__})")
        elif not field:
            raise PlanError(f"{op}: the column name must not be empty")
        ddof = _int_value(self.ddof, f"{op}: ddof")
        if op in _DDOF_OPS:
            if ddof < 0:
                raise PlanError(f"{op}({field!r}): ddof must be 0 or more, got {ddof!r}")
        elif ddof != 1:
            raise PlanError(f"{op}({field!r}): ddof={ddof!r} is only for var and stddev")
        object.__setattr__(self, "ddof", ddof)
        q = self.q
        if op in _Q_OPS:
            if q is None:
                raise PlanError(f"{op}({field!r}) needs q, the quantile from 0 to 1")
            if isinstance(q, bool) or not isinstance(q, numbers.Real):
                raise TypeError(f"{op}({field!r}): q must be a number from 0 to 1, got {q!r} ({type(q).__name__})")
            q = float(q)
            if not 0.0 <= q <= 1.0:  # NaN fails too
                raise PlanError(f"{op}({field!r}): q must be from 0 to 1, got {q!r}")
            object.__setattr__(self, "q", q)
        elif q is not None:
            raise PlanError(f"{op}({field!r}): q={q!r} is only for quantile and approx_quantile")
        limits = _PARAM_RANGES.get(op)
        if limits is not None:
            default, low, high = limits
            param = default if self.param is None else _int_value(self.param, f"{op}({field!r}): param")
            if not low <= param <= high:
                what = "k" if op == "approx_quantile" else "precision"
                raise PlanError(f"{op}({field!r}): {what} must be from {low} to {high}, got {param!r}")
            object.__setattr__(self, "param", param)
        elif self.param is not None:
            raise PlanError(f"{op}({field!r}): param={self.param!r} is only for approx_quantile and "
                            "approx_count_distinct")

    def to_dict(self, name: str) -> RawAgg:
        """The aggregate as an entry of the core's "aggs" list, named `name`."""
        raw: RawAgg = {"name": name, "op": self.op, "field": self.field}
        if self.op in _DDOF_OPS:
            raw["ddof"] = self.ddof
        if self.q is not None:
            raw["q"] = self.q
        if self.param is not None:
            raw["param"] = self.param
        return raw

    @classmethod
    def from_dict(cls, raw: object, where: str = "aggregate") -> tuple[str, Agg]:
        """The name and the aggregate of one entry of a core "aggs" list."""
        if not isinstance(raw, Mapping):
            raise TypeError(f"{where} must be a dict with 'name', 'op' and 'field', got {raw!r}")
        allowed = ("name", "op", "field", "ddof", "q", "param")
        unknown = sorted(str(k) for k in raw if k not in allowed)
        missing = [k for k in ("name", "op", "field") if k not in raw]
        if unknown or missing:
            raise PlanError(f"{where}: an aggregate dict has the keys 'name', 'op', 'field' (and 'ddof', 'q', "
                            f"'param' where the op reads them); missing {missing}, unknown {unknown}")
        name = raw["name"]
        if not isinstance(name, str):
            raise TypeError(f"{where}: 'name' must be a str, got {name!r}")
        return name, cls(raw["op"], raw["field"], raw.get("ddof", 1), raw.get("q"), raw.get("param"))

    @classmethod
    def parse(cls, text: str) -> Agg:
        """An aggregate from text as it is written in Python, without the
        quotes: ``"count()"``, ``"first(price)"``, ``"var(x, ddof=0)"``,
        ``"quantile(lat, 0.99)"``, ``"approx_count_distinct(user, 14)"``.
        Column names may be quoted ("sum('my col')")."""
        if not isinstance(text, str):
            raise TypeError(f"aggregate text must be a str, got {text!r} ({type(text).__name__})")
        m = _CALL.fullmatch(text)
        if m is None:
            raise PlanError(f"aggregate {text!r} is not 'op(column)', such as 'first(price)' or 'count()'")
        op, inner = m.group(1), m.group(2).strip()
        if op not in AGG_OPS:
            raise PlanError(f"aggregate {text!r}: unknown op {op!r}; the aggregates are {', '.join(AGG_OPS)}")
        args = _split_arguments(inner, text) if inner else []
        positional: list[str] = []
        keywords: dict[str, str] = {}
        for arg in args:
            key, eq, value = arg.partition("=")
            if eq and arg[:1] not in "'\"" and re.fullmatch(r"[A-Za-z_]\w*", key.strip()):
                keywords[key.strip()] = value.strip()
            elif keywords:
                raise PlanError(f"aggregate {text!r}: a positional argument after a keyword one")
            else:
                positional.append(arg)
        names = _ARGUMENTS[op]
        if len(positional) > len(names):
            raise PlanError(f"aggregate {text!r}: {op} takes {_signature(op)}")
        values = dict(zip(names, positional))
        for key, value in keywords.items():
            if key not in names or key in values:
                raise PlanError(f"aggregate {text!r}: {op} takes {_signature(op)}")
            values[key] = value
        try:
            field = _unquoted(values["field"]) if "field" in values else None
            ddof = int(values["ddof"]) if "ddof" in values else 1
            q = float(values["q"]) if "q" in values else None
            param_text = values.get("k", values.get("precision"))
            param = int(param_text) if param_text is not None else None
        except ValueError:
            raise PlanError(f"aggregate {text!r}: an argument is not a number; {op} takes "
                            f"{_signature(op)}") from None
        if field is None and op != "count":
            raise PlanError(f"aggregate {text!r}: {op} needs a column, as in {op}(price)")
        return cls(op, field, ddof, q, param)

    def _arguments(self, field: str) -> str:
        args = [] if self.field is None else [field]
        if self.op in _DDOF_OPS and self.ddof != 1:
            args.append(f"ddof={self.ddof}")
        if self.q is not None:
            args.append(repr(self.q))
        limits = _PARAM_RANGES.get(self.op)
        if limits is not None and self.param != limits[0]:
            args.append(f"{'k' if self.op == 'approx_quantile' else 'precision'}={self.param}")
        return ", ".join(args)

    def __str__(self) -> str:
        """The text `Agg.parse` reads back: ``first(price)``, the column
        quoted where it holds a comma, a bracket, "=" or outer blanks."""
        field = self.field or ""
        if _PLAIN_NAME.fullmatch(field) is None and not ("'" in field and '"' in field):
            quote = "'" if "'" not in field else '"'
            field = quote + field + quote
        return f"{self.op}({self._arguments(field)})"

    def __repr__(self) -> str:
        return f"movra.{self.op}({self._arguments(repr(self.field))})"


_CALL = re.compile(r"\s*([A-Za-z_]\w*)\s*\((.*)\)\s*", re.DOTALL)
_PLAIN_NAME = re.compile(r"[^\s,()='\"](?:[^,()='\"]*[^\s,()='\"])?")


def _split_arguments(inner: str, text: str) -> list[str]:
    """The arguments of a call, split at the commas outside quotes."""
    parts: list[str] = []
    current: list[str] = []
    quote = ""
    for char in inner:
        if quote:
            quote = "" if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char == ",":
            parts.append("".join(current).strip())
            current = []
            continue
        current.append(char)
    if quote:
        raise PlanError(f"aggregate {text!r}: a quote is not closed")
    parts.append("".join(current).strip())
    return parts
_ARGUMENTS: Final = {
    "count": ("field",), "sum": ("field",), "mean": ("field",), "min": ("field",), "max": ("field",),
    "first": ("field",), "last": ("field",), "var": ("field", "ddof"), "stddev": ("field", "ddof"),
    "count_distinct": ("field",), "quantile": ("field", "q"), "approx_quantile": ("field", "q", "k"),
    "approx_count_distinct": ("field", "precision"),
}


def _signature(op: str) -> str:
    names = _ARGUMENTS[op]
    return f"({', '.join(names)})" if op != "count" else "() or (field)"


def _unquoted(text: str) -> str:
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "'\"":
        return text[1:-1]
    return text


# ------------------------------------------------------------------ helpers

def count(field: str | None = None) -> Agg:
    """The rows of the window, or with `field` the rows whose `field` is
    present and not null.  0 for a window without any."""
    return Agg("count", field)


def sum(field: str) -> Agg:  # noqa: A001 - the public name
    """The sum of the numbers (ints and floats) in `field`, as a float;
    None when the window has none."""
    return Agg("sum", field)


def mean(field: str) -> Agg:
    """The mean of the numbers in `field`; None when the window has none."""
    return Agg("mean", field)


def min(field: str) -> Agg:  # noqa: A001 - the public name
    """The least number in `field`, as a float; None when there is none."""
    return Agg("min", field)


def max(field: str) -> Agg:  # noqa: A001 - the public name
    """The greatest number in `field`, as a float; None when there is none."""
    return Agg("max", field)


def first(field: str) -> Agg:
    """The non-null value of `field` with the earliest event time (ties:
    the first to arrive), with its own type."""
    return Agg("first", field)


def last(field: str) -> Agg:
    """The non-null value of `field` with the latest event time (ties: the
    last to arrive), with its own type."""
    return Agg("last", field)


def var(field: str, ddof: int = 1) -> Agg:
    """The variance of the numbers in `field`: sample (``ddof=1``, as pandas
    and Polars) or population (``ddof=0``); None below ddof + 1 values."""
    return Agg("var", field, ddof)


def stddev(field: str, ddof: int = 1) -> Agg:
    """The standard deviation of the numbers in `field` (see `var`)."""
    return Agg("stddev", field, ddof)


def count_distinct(field: str) -> Agg:
    """The number of distinct non-null values of `field` (exact; the int 1
    and the string "1" are two values)."""
    return Agg("count_distinct", field)


def quantile(field: str, q: float) -> Agg:
    """The exact `q` quantile (0 to 1) of the numbers in `field`, by linear
    interpolation (NumPy's default method)."""
    return Agg("quantile", field, q=q)


def approx_quantile(field: str, q: float, k: int = 200) -> Agg:
    """The `q` quantile of the numbers in `field` from a KLL sketch with
    accuracy parameter `k` (8 to 65535; larger is more exact)."""
    return Agg("approx_quantile", field, q=q, param=k)


def approx_count_distinct(field: str, precision: int = 12) -> Agg:
    """The number of distinct non-null values of `field`, estimated with a
    HyperLogLog sketch of 2**precision registers (precision 4 to 21)."""
    return Agg("approx_count_distinct", field, param=precision)

