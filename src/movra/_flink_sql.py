"""SQL text for the Flink translation: quoting, literals, column kinds, and the
core's filter rules written as SQL predicates."""

from __future__ import annotations

import math
import re

from ._flink_plan import Condition

INTEGER_TYPES = frozenset({"TINYINT", "SMALLINT", "INT", "INTEGER", "BIGINT"})
NUMERIC_TYPES = INTEGER_TYPES | {"FLOAT", "REAL", "DOUBLE", "DECIMAL", "DEC", "NUMERIC"}
STRING_TYPES = frozenset({"STRING", "VARCHAR", "CHAR"})
SQL_OPERATORS = {"==": "=", "!=": "<>", "<": "<", ">": ">", "<=": "<=", ">=": ">="}
#: The longest interval a Flink SQL literal such as ``INTERVAL '5' SECOND`` holds.
MAX_INTERVAL_SECONDS = 2**31 - 1


# What a tool that cuts a script into statements line by line (a statement
# ends with a line ending in ';', "--" starts a comment) could misread inside
# a literal: line breaks of any kind, ';' and "--".
_LINE_BREAKS = "\n\r\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"
_SPLITTER_HAZARDS = re.compile(f"[{_LINE_BREAKS};]|--")
_ESCAPED = re.compile(f"[\\\\{_LINE_BREAKS};'-]")


def ident(name: str) -> str:
    """A quoted Flink SQL identifier.

    Raises ValueError for a name Flink cannot quote: an empty one, one with a
    line break (a back-quoted identifier ends at the line) or one that is not
    valid Unicode text; and for one with "--", which a line-based statement
    splitter would misread."""
    if not name or any(c in _LINE_BREAKS for c in name):
        raise ValueError(f"{name!r} cannot be a Flink SQL identifier: a name must be non-empty "
                         "and hold no line break")
    if "--" in name:
        # Flink would take it quoted, but a tool that splits a script line by
        # line reads the rest of the line as a comment and may lose or find
        # the ';' that ends a statement.
        raise ValueError(f"{name!r} cannot be a Flink SQL identifier here: a name must not hold '--', which "
                         "a line-based statement splitter reads as the start of a comment")
    _check_unicode(name)
    return "`" + name.replace("`", "``") + "`"


def string_literal(text: str) -> str:
    """A quoted Flink SQL string literal (quotes doubled).

    Text with a line break, a ';' or "--" is written as a Unicode literal,
    ``U&'a\\000Ab'``, with those characters (and backslashes) escaped, so
    that every statement stays on its own lines whatever splits the script."""
    _check_unicode(text)
    if _SPLITTER_HAZARDS.search(text) is None:
        return "'" + text.replace("'", "''") + "'"
    return "U&'" + _ESCAPED.sub(lambda m: "''" if m.group() == "'" else f"\\{ord(m.group()):04X}", text) + "'"


def option_literal(text: str, *, ends_line: bool = False) -> str:
    """A plain quoted literal, where Flink takes no Unicode literal (a SET
    key or value, a table option).  ValueError for text with a line break,
    and, in a literal that ends its line (`ends_line`, before the ';' that
    ends the statement), for "--"."""
    if any(c in _LINE_BREAKS for c in text) or (ends_line and "--" in text):
        raise ValueError(f"{text!r} cannot be written as a Flink SQL option: it holds a line break"
                         + (" or '--'" if ends_line else ""))
    _check_unicode(text)
    return "'" + text.replace("'", "''") + "'"


def _check_unicode(text: str) -> None:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{text!r} is not valid Unicode text (it holds a lone surrogate) and cannot "
                         "be written as SQL") from None


def double_literal(value: float, what: str) -> str:
    """A DOUBLE literal that reads back as exactly ``value``."""
    if not math.isfinite(value):
        raise ValueError(f"{what} must be a finite number to be written as SQL, not {value!r}")
    text = repr(float(value)).upper()
    return text if "E" in text else text + "E0"


def seconds_interval(ms: int, what: str) -> str:
    """An INTERVAL literal of ``ms`` milliseconds (not negative); ValueError
    names ``what`` when it is longer than a literal holds."""
    whole, frac = divmod(ms, 1000)
    if whole > MAX_INTERVAL_SECONDS:
        raise ValueError(f"{what} of {ms} ms is longer than a Flink SQL interval holds "
                         f"({MAX_INTERVAL_SECONDS} seconds)")
    if frac == 0:
        return f"INTERVAL '{whole}' SECOND({len(str(whole))})"
    return f"INTERVAL '{whole}.{frac:03d}' SECOND({len(str(whole))}, 3)"


_TYPE_TEXT = re.compile(r"[A-Za-z][A-Za-z0-9_ (),<>]*")


def check_column_type(sql_type: str, column: str) -> str:
    """A caller's column type, checked to stay the type of one column: only
    names, numbers, blanks and brackets, the brackets balanced, and no comma
    outside them."""
    depth, ok = 0, _TYPE_TEXT.fullmatch(sql_type) is not None
    for char in sql_type:
        depth += (char in "(<") - (char in ")>")
        ok = ok and depth >= 0 and not (char == "," and depth == 0)
    if not ok or depth:
        raise ValueError(f"columns[{column!r}] must be a Flink SQL type such as BIGINT, DECIMAL(10, 2) or "
                         f"ARRAY<STRING>, not {sql_type!r}")
    return sql_type


def base_type(sql_type: str) -> str:
    """The type's name without length, precision or NOT NULL: ``VARCHAR(10)`` gives VARCHAR."""
    match = re.match(r"\s*([A-Za-z]+)", sql_type)
    return match.group(1).upper() if match else ""


def is_integer(sql_type: str) -> bool:
    return base_type(sql_type) in INTEGER_TYPES


def is_numeric(sql_type: str) -> bool:
    return base_type(sql_type) in NUMERIC_TYPES


def is_string(sql_type: str) -> bool:
    return base_type(sql_type) in STRING_TYPES


def as_double(column: str, sql_type: str) -> str:
    """The column's value as the core reads a number: as a double."""
    return ident(column) if base_type(sql_type) == "DOUBLE" else f"CAST({ident(column)} AS DOUBLE)"


def as_text(column: str, sql_type: str, what: str) -> str:
    """The column's value as the text the core groups and de-duplicates by
    (NULL stays NULL).  Only strings and integers print the same in SQL."""
    if is_string(sql_type):
        return ident(column)
    if is_integer(sql_type):
        return f"CAST({ident(column)} AS STRING)"
    raise ValueError(f"{what} {column!r} must be a string or integer column to be translated exactly, "
                     f"not {sql_type}")


def condition_sql(condition: Condition, sql_type: str) -> str:
    """One filter as the core evaluates it, for a column of ``sql_type``.

    The core compares numbers as doubles, strings and booleans only for
    (in)equality, and a missing or NULL value, a value of another kind or an
    unknown operator never passes.  SQL's NULL already fails in WHERE; the
    comparisons that can never hold are written as FALSE."""
    op = SQL_OPERATORS.get(condition.op)
    value = condition.value
    column = ident(condition.field)
    equality = condition.op in ("==", "!=")
    if op is None or value is None:
        return "FALSE"
    if isinstance(value, bool):
        kind_matches = base_type(sql_type) == "BOOLEAN" and equality
        return f"{column} {op} {'TRUE' if value else 'FALSE'}" if kind_matches else "FALSE"
    if isinstance(value, (int, float)):
        if not is_numeric(sql_type):
            return "FALSE"
        literal = double_literal(float(value), f"the value of the filter on {condition.field!r}")
        return f"{as_double(condition.field, sql_type)} {op} {literal}"
    if is_string(sql_type) and equality:
        return f"{column} {op} {string_literal(value)}"
    return "FALSE"


def conjunction(predicates: list[str]) -> str | None:
    """The predicates joined by AND, or None when there are none."""
    if not predicates:
        return None
    if "FALSE" in predicates:
        return "FALSE"
    return " AND ".join(predicates)


def column_kind_of(value: object) -> str:
    """The column type a filter value suggests when the caller gives none."""
    if isinstance(value, bool):
        return "BOOLEAN"
    if isinstance(value, (int, float)):
        return "DOUBLE"
    return "STRING"
