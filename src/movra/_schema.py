"""CSV fields with their quoting, and column types named by the user.

A CSV value in quotes is text: ``"02134"`` stays the text 02134 and never
merges with the number 2134.  An unquoted value is read as a datagram's
unquoted value is (see `movra._sources`), unless a schema names its column's
type: ``zip=str,delay=float,when=datetime``.
"""

from __future__ import annotations

import datetime
from collections.abc import Callable
from typing import Any, Final, Literal, TypeAlias, get_args

__all__ = ["ColumnType", "Schema", "ends_in_quotes", "parse_schema", "read_field", "split_csv_line"]

ColumnType: TypeAlias = Literal["int", "float", "str", "bool", "datetime"]
Schema: TypeAlias = dict[str, ColumnType]

_TYPES: Final = get_args(ColumnType)
_INT64: Final = range(-(2**63), 2**63)
_EPOCH: Final = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
_MS: Final = datetime.timedelta(milliseconds=1)
_BOOLS: Final = {"true": True, "false": False, "1": True, "0": False}


def parse_schema(text: str) -> Schema:
    """``"col=int,other=str"`` as a dict; raises ValueError naming the bad
    part."""
    schema: Schema = {}
    for part in text.split(","):
        name, sep, kind = (s.strip() for s in part.partition("="))
        if not sep or not name:
            raise ValueError(f"{part!r} is not COLUMN=TYPE (say zip=str)")
        if kind not in _TYPES:
            raise ValueError(f"{part!r}: the type {kind!r} is not one of {', '.join(_TYPES)}")
        if name in schema:
            raise ValueError(f"column {name!r} is named twice")
        schema[name] = kind  # type: ignore[assignment]  # checked against _TYPES above
    return schema


def split_csv_line(line: str) -> list[tuple[str, bool]]:
    """The fields of one CSV record (comma-separated, ``"`` quotes, ``""``
    a quote inside quotes, as the csv module reads them), each with whether
    it was quoted."""
    fields: list[tuple[str, bool]] = []
    i, n = 0, len(line)
    while True:
        if i < n and line[i] == '"':
            parts: list[str] = []
            i += 1
            while i < n:
                end = line.find('"', i)
                if end < 0:
                    parts.append(line[i:])
                    i = n
                    break
                parts.append(line[i:end])
                if end + 1 < n and line[end + 1] == '"':
                    parts.append('"')
                    i = end + 2
                    continue
                i = end + 1
                break
            comma = line.find(",", i)
            stop = n if comma < 0 else comma
            parts.append(line[i:stop])  # text after the closing quote, as the csv module keeps it
            fields.append(("".join(parts), True))
        else:
            comma = line.find(",", i)
            stop = n if comma < 0 else comma
            fields.append((line[i:stop], False))
        if stop >= n:
            return fields
        i = stop + 1


def ends_in_quotes(line: str, inside: bool = False) -> bool:
    """Whether a quoted field is still open at the end of `line`, which
    starts inside one when `inside` is true: the record goes on past the
    line feed.  Quotes are read as `split_csv_line` reads them (a quote
    opens a field only at its start; ``""`` inside quotes is a quote)."""
    at_start = not inside
    i, n = 0, len(line)
    while i < n:
        c = line[i]
        if inside:
            if c == '"':
                if i + 1 < n and line[i + 1] == '"':
                    i += 2
                    continue
                inside = False
        elif c == '"' and at_start:
            inside = True
            at_start = False
        else:
            at_start = c == ","
        i += 1
    return inside

def _datetime_ms(text: str) -> int:
    moment = datetime.datetime.fromisoformat(text)
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return (moment - _EPOCH) // _MS


def read_field(text: str, quoted: bool, kind: ColumnType | None, unquoted: Callable[[str], Any]) -> Any:
    """One CSV value: as `kind` says when given, else quoted text as text and
    unquoted text by `unquoted`.  An empty unquoted value is null for every
    type but str.  Raises ValueError for a value that is not of its type."""
    if kind is None:
        return text if quoted else unquoted(text)
    if kind == "str":
        return text
    if text == "" or (not quoted and text == "null"):
        return None
    try:
        if kind == "int":
            value = int(text)
            if value not in _INT64:
                raise ValueError("beyond 64 bits")
            return value
        if kind == "float":
            return float(text)
        if kind == "bool":
            return _BOOLS[text.lower()]
        return _datetime_ms(text)
    except (ValueError, KeyError):
        raise ValueError(f"{text!r} is not {'an' if kind == 'int' else 'a'} {kind}") from None
