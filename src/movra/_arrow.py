"""The Arrow route: frames in and results out through the Arrow PyCapsule
protocol, converted by the native core without Python objects per value.

In.  `arrow_source` decides whether what a caller hands to ``emit_columns``
can go to the core as Arrow data (`NativeStream.emit_arrow`): a pyarrow
Table or RecordBatch, a Polars DataFrame, any other object exporting
``__arrow_c_stream__`` or ``__arrow_c_array__`` (read through pyarrow, which
then must be installed), and, through pyarrow where it is installed, a
pandas DataFrame of plain columns and a dict of NumPy arrays of bools, ints
and floats (whose buffers pyarrow shares).  The core gives the same Cells as the
package's own conversion (`_frames`).  Anything the core would treat
differently from it (a repeated column name, a "timestamp" column that is
not epoch milliseconds or has gaps, types outside the set the core reads,
a pandas index that is sent as a column) is left to `_frames`, so results and
errors stay what they were.

Out.  `frame_of` turns an `ArrowResult` of the core
(`NativeStream.next_batch_arrow`) into a pyarrow Table, a Polars or a pandas
DataFrame without copying its numeric buffers, or into the dict the core
would have given.

pyarrow, Polars and pandas are imported only when used.
"""

from __future__ import annotations

import sys
from collections.abc import Mapping
from typing import Any, Final

from ._errors import DataError

__all__ = ["arrow_rows", "arrow_source", "frame_of", "slice_rows", "to_dict", "wants_arrow"]

_TIME_COLUMN: Final = "timestamp"
_WINDOW_TIMES: Final = ("window_start", "window_end")
# The pandas dtypes whose Arrow form the core reads as `_frames` reads them.
_PANDAS_KINDS: Final = frozenset("biufMm")


def _loaded(module: str) -> Any:
    return sys.modules.get(module)


def _import(module: str) -> Any:
    try:
        return __import__(module)
    except ImportError:
        return None


# ------------------------------------------------------------------- in


def arrow_source(data: Any) -> Any | None:
    """`data` as a pyarrow Table or RecordBatch or a Polars DataFrame that the
    core reads with the package's semantics, or None when `data` takes the
    package's own conversion."""
    pa, pl, pd = _loaded("pyarrow"), _loaded("polars"), _loaded("pandas")
    if pa is not None and isinstance(data, (pa.Table, pa.RecordBatch)):
        return data if _arrow_ok(data.schema, data, pa) else None
    if pl is not None and isinstance(data, pl.DataFrame):
        return data if _polars_ok(data, pl) else None
    if pd is not None and isinstance(data, pd.DataFrame):
        return _pandas_source(data, pd)
    if isinstance(data, Mapping):
        return _numpy_source(data)
    if not (hasattr(data, "__arrow_c_stream__") or hasattr(data, "__arrow_c_array__")):
        return None
    pa = _import("pyarrow")
    if pa is None:
        raise ImportError("Arrow data other than a Polars DataFrame needs pyarrow: pip install 'movra[arrow]'")
    # A stream can be read only once: held as a table, it can be checked
    # and then read by the core (pyarrow takes the buffers, it copies none).
    table = pa.table(data)
    if not _arrow_ok(table.schema, table, pa):
        from ._frames import columns_of
        columns_of(table)  # raises the package's error for what the core would read otherwise
        raise DataError(f"Arrow data with the schema {table.schema} cannot be sent as it is")
    return table


def _arrow_ok(schema: Any, data: Any, pa: Any) -> bool:
    names = schema.names
    if len(set(names)) != len(names) or not all(isinstance(n, str) for n in names):
        return False
    if any(isinstance(field.type, pa.ExtensionType) for field in schema):
        return False  # the core would read its storage; _frames refuses it by name
    if _TIME_COLUMN not in names:
        return True
    t = schema.field(_TIME_COLUMN).type
    types = pa.types
    if not (types.is_integer(t) or types.is_timestamp(t) or types.is_date(t) or types.is_duration(t)):
        return False
    return bool(data.column(_TIME_COLUMN).null_count == 0)


def _polars_ok(frame: Any, pl: Any) -> bool:
    for name, dtype in frame.schema.items():
        base = dtype.base_type()
        if not (dtype.is_integer() and base not in (pl.Int128, getattr(pl, "UInt128", pl.Int128))
                or dtype.is_float() or base in (pl.Boolean, pl.String, pl.Null, pl.Datetime, pl.Date,
                                                pl.Duration, pl.Categorical, pl.Enum)):
            return False
        if name == _TIME_COLUMN:
            if not (dtype.is_integer() or base in (pl.Datetime, pl.Date, pl.Duration)):
                return False
            if frame.get_column(name).null_count():
                return False
    return True


def _numpy_source(columns: Mapping[Any, Any]) -> Any | None:
    """A dict of one-dimensional NumPy arrays of bools, ints and floats of
    equal length as a pyarrow Table sharing their buffers (where pyarrow is
    installed); None for any other dict."""
    np = _loaded("numpy")
    if np is None or not columns:
        return None
    lengths = set()
    for name, values in columns.items():
        if not (isinstance(name, str) and type(values) is np.ndarray and values.ndim == 1
                and values.dtype.kind in "biuf" and values.dtype.itemsize <= 8 and values.dtype.isnative):
            return None
        lengths.add(len(values))
    pa = _import("pyarrow") if len(lengths) == 1 else None
    if pa is None:
        return None
    table = pa.table(dict(columns))
    return table if _arrow_ok(table.schema, table, pa) else None


def _pandas_source(frame: Any, pd: Any) -> Any | None:
    pa = _import("pyarrow")
    if pa is None or not isinstance(frame.index, pd.RangeIndex) or not frame.columns.is_unique:
        return None
    for label, dtype in frame.dtypes.items():
        if not isinstance(label, str):
            return None
        if isinstance(dtype, (pd.DatetimeTZDtype, pd.StringDtype)):
            continue
        if isinstance(dtype, pd.CategoricalDtype):
            if dtype.categories.dtype.kind not in _PANDAS_KINDS | {"O"}:
                return None
            continue
        if getattr(dtype, "kind", "O") not in _PANDAS_KINDS:
            return None
    try:
        table = pa.Table.from_pandas(frame, preserve_index=False)
    except (pa.ArrowException, TypeError, ValueError):
        return None
    return table if _arrow_ok(table.schema, table, pa) else None


def arrow_rows(source: Any) -> int:
    """The number of rows of a source `arrow_source` returned."""
    return int(source.height) if hasattr(source, "height") else int(source.num_rows)


def arrow_names(source: Any) -> list[str]:
    """The column names of a source `arrow_source` returned."""
    return list(source.columns) if hasattr(source, "height") else list(source.schema.names)


def arrow_first_bad_time(source: Any, name: str) -> tuple[int, Any] | None:
    """The first row of column `name` that the core would not read as integer
    milliseconds (a null, or any value of a type other than an integer,
    timestamp, date or duration), with its value; None when every row is."""
    if hasattr(source, "height"):  # Polars
        series = source.get_column(name)
        dtype = series.dtype
        timed = dtype.is_integer() or dtype.is_temporal()
        nulls = series.null_count()
        first_null = int(series.is_null().arg_max() or 0) if nulls else None
        def at(row: int) -> Any:
            return series[row]
    else:
        pa = _import("pyarrow.compute")  # the package, with its compute module loaded
        column = source.column(name)
        kind = column.type
        timed = (pa.types.is_integer(kind) or pa.types.is_timestamp(kind) or pa.types.is_date(kind)
                 or pa.types.is_duration(kind))
        first_null = None
        if column.null_count:
            first_null = int(pa.compute.index(column.is_null(), True).as_py())
        def at(row: int) -> Any:
            return column[row].as_py()
    rows = arrow_rows(source)
    first = first_null if timed else 0
    if first is None or first >= rows:
        return None
    return first, None if first == first_null else at(first)


def slice_rows(source: Any, start: int, stop: int) -> Any:
    """Rows ``start`` to ``stop`` of a source, sharing its buffers."""
    return source.slice(start, stop - start)


# ------------------------------------------------------------------ out


def wants_arrow(output: str) -> bool:
    """Whether results for `output` come from the core as Arrow data: the
    frames do, except pandas without pyarrow (which builds from the dict)."""
    if output in ("arrow", "polars"):
        return True
    return output == "pandas" and _import("pyarrow") is not None


def to_dict(result: Any) -> dict[str, list[Any]]:
    """An `ArrowResult` as the dict of lists the core gives for it."""
    pa = _import("pyarrow")
    if pa is not None:
        return dict(pa.table(result).to_pydict())
    pl = _import("polars")
    if pl is None:
        raise ImportError("reading an Arrow result needs pyarrow or polars: pip install 'movra[arrow]'")
    return dict(pl.DataFrame(result).to_dict(as_series=False))


def frame_of(result: Any, output: str, datetimes: bool) -> Any:
    """An `ArrowResult` as `output` ("arrow", "polars" or "pandas"), with the
    window columns as UTC timestamps when `datetimes` is true."""
    times = [c for c in _WINDOW_TIMES if c in result.column_names] if datetimes else []
    if output == "polars":
        pl = __import__("polars")
        frame = pl.DataFrame(result)
        if times:
            frame = frame.with_columns(pl.from_epoch(pl.col(c), time_unit="ms").dt.replace_time_zone("UTC")
                                       for c in times)
        return frame
    pa = __import__("pyarrow")
    table = pa.table(result)
    for c in times:
        i = table.schema.get_field_index(c)
        table = table.set_column(i, c, table.column(c).cast(pa.timestamp("ms", tz="UTC")))
    return table if output == "arrow" else table.to_pandas()
