"""Market bars: open, high, low, close, volume, VWAP and count per tumbling
window and symbol, computed by the native core in one pass over NumPy
arrays with the interpreter lock released.

`bars` takes four arrays (timestamps, symbols, prices, quantities) or a
frame (pandas, Polars, pyarrow, or a dict of columns) with column names.
The rules, which the core keeps:

- Windows: a row at time t (epoch milliseconds) falls into the window that
  starts at (t / w) * w with the quotient truncated toward zero, as on the
  trade fast path.  For t >= 0 that is the usual [start, start + w); the
  window that starts at 0 also takes the times after -w, and a window with a
  negative start s takes (s - w, s].
- Rows: those whose ``is_trade`` entry is nonzero (every row when it is
  None) and whose price and quantity are both numbers.  A row with a NaN
  price or quantity is left out of every column, count included.
- Open is the price of the row with the least time, the first of them in
  row order when several share that time; close is the price of the row
  with the greatest time, the last of them in row order.  High and low are
  the greatest and least price; volume the sum of the quantities; vwap the
  sum of price x quantity divided by the volume, NaN when the volume is 0.
  Sums are added in row order.
- Order: by window start, then symbol (the symbol id, or the label's sort
  order when symbols are labels).

NumPy is needed (the core reads NumPy arrays); pandas, Polars and pyarrow
only for frames of theirs.
"""

from __future__ import annotations

import datetime
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Final, cast

from ._frames import Output, check_output, convert_result, require
from ._plan import Duration, parse_duration

if TYPE_CHECKING:
    from numpy import ndarray

__all__ = ["bars"]

BAR_COLUMNS: Final = ("window_start", "window_end", "symbol", "open", "high", "low", "close", "volume",
                      "vwap", "count")


def bars(data: Any, symbols: Any = None, prices: Any = None, quantities: Any = None, *,
         window: Duration = "1s", is_trade: Any = None, time: str = "timestamp", symbol: str = "symbol",
         price: str = "price", qty: str = "quantity", output: Output = "dict") -> Any:
    """Market bars per tumbling window and symbol (see the module text for
    the rules).

    Either four arrays::

        movra.bars(ts, sym, px, qty, window="250ms")

    or a frame and its column names (``time``, ``symbol``, ``price``,
    ``qty``; ``is_trade`` may then name a column too)::

        movra.bars(frame, time="ts", symbol="sym", price="px", qty="qty", window="1s")

    Timestamps are integer epoch milliseconds or datetime64 values (floored
    to milliseconds; the window columns are then datetime64[ms] too).
    Symbols are integer ids or labels (strings, categoricals).  ``window``
    is a positive duration: int milliseconds, a timedelta, or text such as
    "250ms" or "1m".  ``is_trade`` selects the rows that count (nonzero or
    True); None counts every row.

    Returns the columns window_start, window_end, symbol, open, high, low,
    close, volume, vwap, count as a dict of NumPy arrays, or as a pandas,
    Polars or pyarrow frame (``output``).
    """
    np = require("numpy", "movra.bars")
    output = check_output(output)
    window_ms = parse_duration(window, name="window")
    if window_ms <= 0:
        raise ValueError(f"window must be positive, got {window!r}")
    if _is_frame(data):
        if symbols is not None or prices is not None or quantities is not None:
            raise TypeError("bars: with a frame, name its columns with time=, symbol=, price=, qty= "
                            "instead of passing arrays")
        columns = {"time": time, "symbol": symbol, "price": price, "qty": qty}
        for key, name in columns.items():
            if not isinstance(name, str):
                raise TypeError(f"{key} must be a column name, got {name!r}")
        ts_in, sym_in, px_in, qty_in = (_column(data, name, key) for key, name in columns.items())
        if isinstance(is_trade, str):
            is_trade = _column(data, is_trade, "is_trade")
    else:
        for name, value in (("symbols", symbols), ("prices", prices), ("quantities", quantities)):
            if value is None:
                raise TypeError(f"bars: {name} is missing; pass four arrays or a frame")
        ts_in, sym_in, px_in, qty_in = data, symbols, prices, quantities

    timestamps, as_datetimes = _timestamps(np, ts_in)
    codes, labels = _symbols(np, sym_in)
    price_values = _floats(np, px_in, "prices")
    qty_values = _floats(np, qty_in, "quantities")
    mask = None if is_trade is None else _mask(np, is_trade)
    n = len(timestamps)
    for name, arr in (("symbols", codes), ("prices", price_values), ("quantities", qty_values),
                      ("is_trade", mask)):
        if arr is not None and len(arr) != n:
            raise ValueError(f"{name} has {len(arr)} rows, but timestamps has {n}")

    import _movra

    raw: dict[str, Any] = dict(_movra.NativeStream.aggregate_bars(timestamps, codes, price_values, qty_values, window_ms,
                                                     is_trade=mask))
    result: dict[str, Any] = {}
    for key in BAR_COLUMNS:
        values = raw["symbol_id" if key == "symbol" else key]
        if key == "symbol" and labels is not None:
            values = labels[values]
        elif key in ("window_start", "window_end") and as_datetimes:
            values = values.view("datetime64[ms]")
        result[key] = values
    return result if output == "dict" else convert_result(result, output, False)


# ------------------------------------------------------------------ inputs

def _is_frame(data: Any) -> bool:
    """Whether `data` is a table of named columns rather than one array."""
    if isinstance(data, Mapping):
        return True
    module = type(data).__module__.split(".")[0]
    return type(data).__name__ in ("DataFrame", "Table") and module in ("pandas", "polars", "pyarrow")


def _column(frame: Any, name: str, key: str) -> Any:
    """The column `name` of `frame`; `key` names the argument that chose it."""
    try:
        if type(frame).__module__.startswith("pyarrow"):
            return frame.column(name)
        return frame[name]
    except (KeyError, IndexError, LookupError) as e:
        raise KeyError(f"{key}={name!r}: the frame has no column {name!r}") from e
    except Exception as e:  # Polars raises its own ColumnNotFoundError
        if type(e).__name__ == "ColumnNotFoundError":
            raise KeyError(f"{key}={name!r}: the frame has no column {name!r}") from e
        raise


def _array(np: Any, values: Any) -> ndarray:
    """`values` as a one-dimensional NumPy array, taken from a pandas,
    Polars or Arrow column as it is."""
    if hasattr(values, "to_numpy") and not isinstance(values, np.ndarray):
        values = values.to_numpy()
    return cast("ndarray", np.asarray(values))


def _one_dimensional(arr: ndarray, name: str) -> None:
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got an array of shape {arr.shape}")


def _timestamps(np: Any, values: Any) -> tuple[ndarray, bool]:
    """Epoch milliseconds as int64, and whether they came as datetimes."""
    if hasattr(values, "dt") and hasattr(values.dt, "tz") and values.dt.tz is not None:
        values = values.dt.tz_convert("UTC").dt.tz_localize(None)  # pandas with a time zone
    arr = _array(np, values)
    _one_dimensional(arr, "timestamps")
    if len(arr) == 0 and arr.dtype.kind == "f":
        return np.zeros(0, dtype=np.int64), False  # an empty list comes as float64
    if arr.dtype.kind == "M":
        return _datetime_ms(np, arr), True
    if arr.dtype.kind == "O" and len(arr) and isinstance(arr[0], datetime.datetime):
        return _datetime_ms(np, arr.astype("datetime64[us]")), True
    if arr.dtype.kind not in "iu":
        raise TypeError(f"timestamps must be integer epoch milliseconds or datetime64, got dtype {arr.dtype}")
    if arr.dtype.kind == "u" and len(arr) and int(arr.max()) > 2**63 - 1:
        raise ValueError(f"timestamps hold {int(arr.max())}, above the largest 64-bit time")
    return arr.astype(np.int64, copy=False), False


def _datetime_ms(np: Any, arr: ndarray) -> ndarray:
    """datetime64 values as epoch milliseconds, floored."""
    if np.isnat(arr).any():
        raise ValueError(f"timestamps hold NaT at row {int(np.flatnonzero(np.isnat(arr))[0])}")
    unit, _ = np.datetime_data(arr.dtype)
    per_ms = {"ns": 1_000_000, "us": 1000, "ms": 1}.get(unit)
    raw = arr.view(np.int64)
    if per_ms is not None:
        return cast("ndarray", raw // per_ms if per_ms > 1 else raw)
    return cast("ndarray", arr.astype("datetime64[ms]").view(np.int64))  # seconds and coarser: exact


def _symbols(np: Any, values: Any) -> tuple[ndarray, ndarray | None]:
    """Integer symbol ids as int64, or for labels their codes and the
    labels in sorted order."""
    arr = _array(np, values)
    _one_dimensional(arr, "symbols")
    if len(arr) == 0:
        return np.zeros(0, dtype=np.int64), None  # an empty list comes as float64
    if arr.dtype.kind in "iu":
        if arr.dtype.kind == "u" and len(arr) and int(arr.max()) > 2**63 - 1:
            raise ValueError(f"symbols hold {int(arr.max())}, above the largest 64-bit id")
        return arr.astype(np.int64, copy=False), None
    if arr.dtype.kind in "fcbmM":
        raise TypeError(f"symbols must be integer ids or labels such as strings, got dtype {arr.dtype}")
    try:
        labels, codes = np.unique(arr, return_inverse=True)
    except TypeError as e:
        raise TypeError(f"symbols must be labels of one kind that sort (strings, say): {e}") from e
    return codes.astype(np.int64, copy=False), labels


def _floats(np: Any, values: Any, name: str) -> ndarray:
    arr = _array(np, values)
    _one_dimensional(arr, name)
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"{name} must be numbers, got dtype {arr.dtype}")
    return arr.astype(np.float64, copy=False)


def _mask(np: Any, values: Any) -> ndarray:
    arr = _array(np, values)
    _one_dimensional(arr, "is_trade")
    if arr.dtype.kind == "b" or arr.dtype == np.uint8:
        return arr
    if arr.dtype.kind not in "iu":
        raise TypeError(f"is_trade must be bools or integers, got dtype {arr.dtype}")
    return cast("ndarray", arr != 0)
