"""Columns in and results out: NumPy, pandas, Polars and pyarrow.

Input.  `columns_of` turns what a caller hands to ``emit_columns`` (a dict of
lists or arrays, a pandas or Polars DataFrame, a pyarrow Table) into
`Columns`, which hands out row ranges as dicts of Python lists whose values
keep their type:

- NumPy integers and bools become Python ints and bools; floats of any
  width become Python floats.  Unsigned values above 2**63 - 1 are refused.
- datetime64 values, ``datetime`` objects, pandas/Polars/Arrow datetimes
  and dates become epoch milliseconds, floored; a time without a time zone
  (datetime64, a naive datetime or timestamp) is read as UTC.  Timedeltas
  and durations become milliseconds, floored.
- Missing values become None: None, NaT, pandas NA, the NaN of pandas float
  columns (pandas treats NaN as missing), Polars and Arrow nulls.  The NaN of
  a NumPy array, a Polars or an Arrow float column is a value and stays NaN.
- Categoricals are sent as their labels.
- Anything else (bytes, decimals, nested values, arbitrary objects) raises
  `DataError` naming the column, the row and the value, where the native
  core would have stored the value's str() text.

Arrow data that the native core can read as it is goes there instead
(`_arrow.arrow_source`), with the same values and errors as here.

Output.  `convert_result` turns a result dict, or an Arrow result of the
core (through `_arrow`), into a pandas, Polars or pyarrow frame, with
``window_start``/``window_end`` optionally as UTC timestamps.

pandas, Polars and pyarrow are imported only here, only when used.
"""

from __future__ import annotations

import datetime
import importlib
import sys
from collections.abc import Mapping, Sequence, Set as AbstractSet
from typing import Any, Final, Literal, TypeAlias

import _movra

from ._errors import DataError

__all__ = ["Columns", "Output", "columns_of", "convert_result", "event_of"]

Output: TypeAlias = Literal["dict", "pandas", "polars", "arrow"]
OUTPUTS: Final = ("dict", "pandas", "polars", "arrow")
EXTRAS: Final = {"pandas": "pandas", "polars": "polars", "pyarrow": "arrow", "numpy": "numpy",
                  "prometheus_client": "metrics", "rich": "cli"}

_INT64_MIN: Final = -(2**63)
_INT64_MAX: Final = 2**63 - 1
_PLAIN: Final = frozenset({type(None), bool, int, float, str})
_MS: Final = datetime.timedelta(milliseconds=1)
_EPOCH_UTC: Final = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
_EPOCH: Final = datetime.datetime(1970, 1, 1)
_TIME_COLUMN: Final = "timestamp"
_WINDOW_TIMES: Final = ("window_start", "window_end")


def require(module: str, purpose: str) -> Any:
    """Imports an optional library, or says which extra installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        extra = EXTRAS.get(module, module)
        raise ImportError(f"{purpose} needs {module}: pip install 'movra[{extra}]'") from e


def _loaded(module: str) -> Any:
    """The module if it has been imported (an object of its types can exist
    only then), else None."""
    return sys.modules.get(module)


# ------------------------------------------------------------------ scalars

def scalar(value: Any, where: str) -> Any:
    """One value as the native core should store it (see the module text);
    `where` names it in errors."""
    t = type(value)
    if t in _PLAIN:
        return value
    if isinstance(value, (int, float, str)):
        return value  # subclasses: an IntEnum member stays an int
    name = t.__name__
    if name in ("NaTType", "NAType") or (name == "Null" and t.__module__.startswith("polars")):
        return None
    if isinstance(value, datetime.datetime):
        if value.tzinfo is None:
            return (value - _EPOCH) // _MS
        return (value - _EPOCH_UTC) // _MS
    if isinstance(value, datetime.date):
        return (value - _EPOCH.date()).days * 86_400_000
    if isinstance(value, datetime.timedelta):
        return value // _MS
    np = _loaded("numpy")
    if np is not None and isinstance(value, np.generic):
        if isinstance(value, (np.datetime64, np.timedelta64)):
            if np.isnat(value):
                return None
            unit = "datetime64[ms]" if isinstance(value, np.datetime64) else "timedelta64[ms]"
            return int(value.astype(unit).astype(np.int64))
        if isinstance(value, (np.integer, np.floating, np.bool_)):
            item = value.item()
            if isinstance(item, int) and not _INT64_MIN <= item <= _INT64_MAX:
                raise DataError(f"{where}: {value!r} does not fit in a 64-bit signed integer")
            return float(item) if isinstance(value, np.floating) else item
    raise DataError(f"{where}: unsupported value {value!r} ({t.__module__}.{name}); values are None, bool, "
                    "int, float, str, NumPy scalars, datetimes and timedeltas")


def event_of(event: Mapping[str, Any]) -> dict[str, Any]:
    """One event dict with every value converted by `scalar` and its keys
    checked (str only: the native core would store ``1`` and ``"1"`` under
    one name)."""
    out: dict[str, Any] | None = None
    for key, value in event.items():
        if type(key) is not str:
            _check_key(key)
        if type(value) not in _PLAIN:
            if out is None:
                out = dict(event)
            out[key] = scalar(value, f"event key {key!r}")
    if out is None:
        out = event if type(event) is dict else dict(event)
    stamp = out.get(_TIME_COLUMN, 0)
    if type(stamp) is not int:
        _check_time_value(stamp, "event key 'timestamp'")
    return out


def _check_key(key: object) -> str:
    if not isinstance(key, str):
        raise DataError(f"column names must be str, got {key!r} ({type(key).__name__})")
    return key


def _check_time_value(value: object, where: str) -> None:
    if type(value) is not int and not (isinstance(value, int) and not isinstance(value, bool)):
        raise DataError(f"{where} must be epoch milliseconds (an int or a datetime), got {value!r} "
                        f"({type(value).__name__}); the engine would use the wall clock instead")


# ------------------------------------------------------------------ columns

class _Column:
    """One column: a NumPy array (whose tolist() gives the Python values) or
    a list of Python values, and optionally a mask of missing rows.  `types`
    holds the types of a list's values once they are known (None before)."""

    __slots__ = ("missing", "name", "types", "values")

    def __init__(self, name: str, values: Any, missing: Any = None,
                 types: AbstractSet[type] | None = None) -> None:
        self.name = name
        self.values = values
        self.missing = missing
        self.types = types

    def value_types(self) -> AbstractSet[type]:
        """The types of a list column's values, found once."""
        if self.types is None:
            self.types = _movra.NativeStream.value_types(self.values)
        return self.types

    def take(self, start: int, stop: int) -> list[Any]:
        part = self.values[start:stop]
        out: list[Any] = part if isinstance(part, list) else part.tolist()
        if self.missing is not None:
            np = _loaded("numpy")
            for i in np.flatnonzero(self.missing[start:stop]).tolist():
                out[i] = None
        return out


class Columns:
    """Equal-length columns ready to send, in row ranges (`take`)."""

    __slots__ = ("columns", "rows")

    def __init__(self, columns: list[_Column], rows: int) -> None:
        self.columns = columns
        self.rows = rows

    @property
    def converted_in_chunks(self) -> bool:
        """Whether any column makes its Python values only when taken (an
        array, or values with gaps); columns that are lists already are
        best sent whole, since slicing them touches every value again."""
        return any(c.missing is not None or not isinstance(c.values, list) for c in self.columns)

    def take(self, start: int, stop: int) -> dict[str, list[Any]]:
        """Rows ``start`` to ``stop`` as a dict of Python lists."""
        if start == 0 and stop >= self.rows:
            return {c.name: c.values if isinstance(c.values, list) and c.missing is None
                    else c.take(0, self.rows) for c in self.columns}
        return {c.name: c.take(start, stop) for c in self.columns}

    def locate_bad_value(self) -> str:
        """Where a value the native core cannot store sits (an int outside 64
        bits, text that is not valid UTF-8), for an error message."""
        for c in self.columns:
            try:
                c.name.encode("utf-8")
            except UnicodeEncodeError:
                return f"column name {c.name!r} is not valid text"
            if isinstance(c.values, list):
                for i, v in enumerate(c.values):
                    if isinstance(v, int) and not isinstance(v, bool) and not _INT64_MIN <= v <= _INT64_MAX:
                        return f"column {c.name!r} row {i}: {v!r} does not fit in a 64-bit signed integer"
                    if isinstance(v, str):
                        try:
                            v.encode("utf-8")
                        except UnicodeEncodeError:
                            return f"column {c.name!r} row {i}: {v!r} is not valid text"
        return "a value could not be stored"


def columns_of(data: Any) -> Columns:
    """`data` (a dict of columns, a pandas or Polars DataFrame, a pyarrow
    Table or RecordBatch) as `Columns`; raises `DataError` or TypeError."""
    pd, pl, pa = _loaded("pandas"), _loaded("polars"), _loaded("pyarrow")
    if pd is not None and isinstance(data, pd.DataFrame):
        cols = _pandas_frame(data, pd)
    elif pl is not None and isinstance(data, pl.DataFrame):
        cols = [_polars(data.get_column(name), name, pl) for name in data.columns]
    elif pa is not None and isinstance(data, (pa.Table, pa.RecordBatch)):
        cols = [_arrow(data.column(i), name, pa) for i, name in enumerate(data.schema.names)]
    elif isinstance(data, Mapping):
        cols = [_any_column(value, _check_key(key)) for key, value in data.items()]
    else:
        raise TypeError("columns must be a dict of columns, a pandas or Polars DataFrame or a pyarrow "
                        f"Table, got {type(data).__module__}.{type(data).__name__}")
    names = [c.name for c in cols]
    if len(set(names)) != len(names):
        dup = next(n for n in names if names.count(n) > 1)
        raise DataError(f"column {dup!r} appears more than once")
    lengths = {c.name: len(c.values) for c in cols}
    if len(set(lengths.values())) > 1:
        raise DataError("all columns must have the same length; got "
                        + ", ".join(f"{k!r}: {v}" for k, v in lengths.items()))
    for c in cols:
        if c.name == _TIME_COLUMN:
            _check_time_column(c)
    return Columns(cols, next(iter(lengths.values()), 0))


def _check_time_column(c: _Column) -> None:
    values = c.values
    if isinstance(values, list):
        types = c.value_types()
        missing = type(None) in types
        if not missing and not types <= {int}:
            _check_time_value(next(v for v in values if type(v) is not int), "column 'timestamp'")
    else:
        missing = c.missing is not None and bool(c.missing.any())
        if values.dtype.kind not in "iu":
            raise DataError(f"column 'timestamp' must hold epoch milliseconds (ints or datetimes), got "
                            f"{values.dtype} values; the engine would use the wall clock instead")
    if missing:
        raise DataError("column 'timestamp' has missing values; the engine would stamp those rows with "
                        "the wall clock: fill or drop them, or leave the column out")


def _any_column(value: Any, name: str) -> _Column:
    np, pd, pl, pa = _loaded("numpy"), _loaded("pandas"), _loaded("polars"), _loaded("pyarrow")
    if type(value) is list:
        return _python_list(value, name)
    if np is not None and isinstance(value, np.ndarray):
        return _numpy(value, name, np)
    if pd is not None and isinstance(value, (pd.Series, pd.Index)):
        return _pandas(pd.Series(value) if isinstance(value, pd.Index) else value, name, pd)
    if pl is not None and isinstance(value, pl.Series):
        return _polars(value, name, pl)
    if pa is not None and isinstance(value, (pa.Array, pa.ChunkedArray)):
        return _arrow(value, name, pa)
    if isinstance(value, (str, bytes, bytearray, Mapping)) or not isinstance(value, Sequence):
        raise DataError(f"column {name!r} must be a list, tuple, array or series of values, got "
                        f"{type(value).__name__}: {value!r:.60}")
    return _python_list(list(value), name)


def _python_list(values: list[Any], name: str) -> _Column:
    types = _movra.NativeStream.value_types(values)
    if types <= _PLAIN:
        return _Column(name, values, types=types)
    return _Column(name, [v if type(v) in _PLAIN else scalar(v, f"column {name!r} row {i}")
                          for i, v in enumerate(values)])


def _numpy(arr: Any, name: str, np: Any) -> _Column:
    if arr.ndim != 1:
        raise DataError(f"column {name!r} must be one-dimensional, got shape {arr.shape}")
    kind = arr.dtype.kind
    if kind in "bi":
        return _Column(name, arr)
    if kind == "u":
        if arr.dtype.itemsize == 8 and arr.size and int(arr.max()) > _INT64_MAX:
            raise DataError(f"column {name!r} row {int(arr.argmax())}: {int(arr.max())} does not fit in a "
                            "64-bit signed integer")
        return _Column(name, arr)
    if kind == "f":
        return _Column(name, arr if arr.dtype.itemsize <= 8 else arr.astype(np.float64))
    if kind in "mM":
        if np.datetime_data(arr.dtype)[0] == "generic":
            raise DataError(f"column {name!r} has {arr.dtype} values without a unit")
        missing = np.isnat(arr)
        try:
            ms = arr.astype("datetime64[ms]" if kind == "M" else "timedelta64[ms]").view(np.int64)
        except OverflowError:
            raise DataError(f"column {name!r} has {arr.dtype} values beyond the 64-bit range of "
                            "milliseconds") from None
        return _Column(name, ms, missing if missing.any() else None)
    if kind == "U":
        return _Column(name, arr)
    if kind == "O":
        return _python_list(arr.tolist(), name)
    raise DataError(f"column {name!r} has {arr.dtype} values, which have no event value type "
                    "(bool, int, float, str, datetime)")


def _pandas_frame(frame: Any, pd: Any) -> list[_Column]:
    cols = []
    index = frame.index
    if not isinstance(index, pd.RangeIndex):
        for level, label in enumerate(index.names):
            if label is not None:
                cols.append(_pandas(pd.Series(index.get_level_values(level)), _check_key(label), pd))
    for i, label in enumerate(frame.columns):
        cols.append(_pandas(frame.iloc[:, i], _check_key(label), pd))
    return cols


def _pandas(series: Any, name: str, pd: Any) -> _Column:
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        # Each label converted as a column of its own; code -1 (missing)
        # picks the None appended at the end.
        categories = dtype.categories
        labels = _pandas(pd.Series(categories), name, pd).take(0, len(categories))
        np = _loaded("numpy")
        return _Column(name, np.array([*labels, None], dtype=object)[series.cat.codes.to_numpy()].tolist())
    if isinstance(dtype, pd.DatetimeTZDtype):
        series = series.dt.tz_convert("UTC").dt.tz_localize(None)
        dtype = series.dtype
    np = _loaded("numpy")
    if isinstance(dtype, np.dtype):
        values = series.to_numpy()
        if dtype.kind == "f":
            missing = np.isnan(values)
            return _Column(name, values, missing if missing.any() else None)
        if dtype.kind == "O":
            return _python_list(series.to_numpy(dtype=object, na_value=None).tolist(), name)
        return _numpy(values, name, np)
    if dtype.kind in "iufb" and getattr(dtype, "numpy_dtype", None) is not None:
        missing = series.isna().to_numpy()
        fill = False if dtype.kind == "b" else 0
        values = series.to_numpy(dtype=dtype.numpy_dtype, na_value=fill)
        column = _numpy(values, name, np)
        return _Column(name, column.values, missing if missing.any() else None)
    return _python_list(series.to_numpy(dtype=object, na_value=None).tolist(), name)


def _polars(series: Any, name: str, pl: Any) -> _Column:
    dtype = series.dtype
    if dtype == pl.Datetime or dtype == pl.Date:
        series = series.cast(pl.Datetime("ms")).dt.epoch("ms") if dtype == pl.Date else series.dt.epoch("ms")
        dtype = series.dtype
    elif dtype == pl.Duration:
        series = series.cast(pl.Int64) // _UNIT_DIVISOR[dtype.time_unit]  # floored, as elsewhere
        dtype = series.dtype
    elif dtype in (pl.Categorical, pl.Enum):
        series = series.cast(pl.String)
        dtype = series.dtype
    if type(dtype).__name__ in ("Int128", "UInt128"):
        return _python_list(series.to_list(), name)  # NumPy has no 128-bit ints
    if dtype.is_numeric() and not dtype == pl.Decimal or dtype == pl.Boolean:
        np = require("numpy", "Polars input")
        missing = series.is_null()
        if missing.any():
            fill = False if dtype == pl.Boolean else 0
            return _Column(name, _numpy(series.fill_null(fill).to_numpy(), name, np).values,
                           missing.to_numpy())
        return _numpy(series.to_numpy(), name, np)
    if dtype == pl.String or dtype == pl.Null:
        return _Column(name, series.to_list())
    raise DataError(f"column {name!r} has Polars type {dtype}, which has no event value type "
                    "(bool, int, float, str, datetime); cast it first")


_ARROW_UNIT_MS: Final = {"s": (1000, 1), "ms": (1, 1), "us": (1, 1000), "ns": (1, 1_000_000)}
_UNIT_DIVISOR: Final = {"ms": 1, "us": 1000, "ns": 1_000_000}


def _arrow(array: Any, name: str, pa: Any) -> _Column:
    t = array.type
    types = pa.types
    np = require("numpy", "Arrow input")
    if types.is_dictionary(t):
        return _arrow(array.cast(t.value_type), name, pa)
    if types.is_timestamp(t) or types.is_duration(t) or types.is_date(t):
        if types.is_date32(t):
            mul, div = 86_400_000, 1
        elif types.is_date64(t):
            mul, div = 1, 1
        else:
            mul, div = _ARROW_UNIT_MS[t.unit]
        raw = array.cast(pa.int32() if types.is_date32(t) else pa.int64())
        values = _arrow_numbers(raw, pa, np).astype(np.int64, copy=False)
        if mul > 1 and values.size and not (_INT64_MIN // mul <= values.min()
                                            and values.max() <= _INT64_MAX // mul):
            raise DataError(f"column {name!r} has {t} values beyond the 64-bit range of milliseconds")
        ms = values * mul if div == 1 else values // div
        return _Column(name, ms, _arrow_missing(raw, np))
    if types.is_integer(t) or types.is_floating(t) or types.is_boolean(t):
        column = _numpy(_arrow_numbers(array, pa, np), name, np)
        return _Column(name, column.values, _arrow_missing(array, np))
    if types.is_string(t) or types.is_large_string(t) or types.is_null(t) or \
            getattr(types, "is_string_view", lambda _: False)(t):
        return _Column(name, array.to_pylist())
    raise DataError(f"column {name!r} has Arrow type {t}, which has no event value type "
                    "(bool, int, float, str, timestamp); cast it first")


def _arrow_numbers(array: Any, pa: Any, np: Any) -> Any:
    if array.null_count:
        array = array.fill_null(False if pa.types.is_boolean(array.type) else 0)
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    return array.to_numpy(zero_copy_only=False)


def _arrow_missing(array: Any, np: Any) -> Any:
    if not array.null_count:
        return None
    return np.asarray(array.is_null().to_numpy(zero_copy_only=False), dtype=bool)


# ------------------------------------------------------------------- output

def convert_result(result: Any, output: Output, datetimes: bool,
                   columns: Sequence[str] | None = None) -> Any:
    """A result of the native core (a dict, or Arrow data from its Arrow
    route) as `output` ("dict", "pandas", "polars" or "arrow"), with the
    window columns as UTC timestamps when `datetimes` is true.  With
    `columns` (a plan's `output_columns`), the columns come in that order,
    any others after them in name order; else in the core's order."""
    if not isinstance(result, dict):
        from ._arrow import frame_of, to_dict
        if output != "dict":
            frame = frame_of(result, output, datetimes)
            if columns is None:
                return frame
            names = _in_order(list(frame.columns if output != "arrow" else frame.column_names), columns)
            return frame[names] if output == "pandas" else frame.select(names)
        result = to_dict(result)
    if columns is not None:
        result = {name: result[name] for name in _in_order(list(result), columns)}
    times = [c for c in _WINDOW_TIMES if c in result] if datetimes else []
    if output == "dict":
        if times:
            return {**result, **{c: [None if ms is None else _EPOCH_UTC + ms * _MS for ms in result[c]]
                                 for c in times}}
        return result
    if output == "pandas":
        pd = require("pandas", "output='pandas'")
        np = require("numpy", "output='pandas'")
        frame = pd.DataFrame(result)
        for c in times:  # in ms, which holds every 64-bit time (nanoseconds end in 2262)
            values = result[c]
            ms = np.array([np.datetime64("NaT") if v is None else np.datetime64(v, "ms") for v in values],
                          dtype="datetime64[ms]") if None in values else \
                np.asarray(values, dtype=np.int64).view("datetime64[ms]")
            frame[c] = pd.Series(ms).dt.tz_localize("UTC")
        return frame
    if output == "polars":
        pl = require("polars", "output='polars'")
        frame = pl.DataFrame(result)
        if times:
            frame = frame.with_columns(pl.from_epoch(pl.col(c), time_unit="ms").dt.replace_time_zone("UTC")
                                       for c in times)
        return frame
    pa = require("pyarrow", "output='arrow'")
    table = pa.table(result)
    for c in times:
        i = table.schema.get_field_index(c)
        table = table.set_column(i, c, table.column(c).cast(pa.timestamp("ms", tz="UTC")))
    return table


def _in_order(names: list[str], columns: Sequence[str]) -> list[str]:
    """`names` with those in `columns` first, in that order."""
    present = set(names)
    lead = [c for c in columns if c in present]
    taken = set(lead)
    return lead + sorted(n for n in names if n not in taken)


def check_output(output: object) -> Output:
    """`output` if it is one of the four spellings, else ValueError; a frame
    output whose library is missing raises ImportError here, before any
    result is taken."""
    if output not in OUTPUTS:
        raise ValueError(f"output must be one of {', '.join(map(repr, OUTPUTS))}, got {output!r}")
    if output != "dict":
        require("pyarrow" if output == "arrow" else output, f"output={output!r}")
    return output
