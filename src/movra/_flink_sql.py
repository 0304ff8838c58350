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


def ident(name: str) -> str:
    """A quoted Flink SQL identifier."""
    return "`" + name.replace("`", "``") + "`"


def string_literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def double_literal(value: float, what: str) -> str:
    """A DOUBLE literal that reads back as exactly ``value``."""
    if not math.isfinite(value):
        raise ValueError(f"{what} must be a finite number to be written as SQL, not {value!r}")
    text = repr(float(value)).upper()
    return text if "E" in text else text + "E0"


def seconds_interval(ms: int) -> str:
    """An INTERVAL literal of ``ms`` milliseconds (not negative)."""
    whole, frac = divmod(ms, 1000)
    if frac == 0:
        return f"INTERVAL '{whole}' SECOND({len(str(whole))})"
    return f"INTERVAL '{whole}.{frac:03d}' SECOND({len(str(whole))}, 3)"


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
