"""Type information for the _movra extension module.

The signatures are those the extension binds: parameter names, positional-only
parameters and the NumPy dtypes of the trade fast path.  Results are written
as precisely as their contents are known.
"""

import typing

import numpy
import numpy.typing

_Int: typing.TypeAlias = typing.SupportsInt | typing.SupportsIndex

class _TradeWindows(typing.TypedDict):
    """The result of `NativeStream.aggregate_trade_numeric`: one list element
    per (window, symbol) group, ordered by window start, then symbol id."""

    window_start: list[int]
    window_end: list[int]
    symbol_id: list[int]
    avg_value: list[float]
    count: list[int]

class _Bars(typing.TypedDict):
    """The result of `NativeStream.aggregate_bars`: one array element per (window,
    symbol) group, ordered by window start, then symbol id."""

    window_start: numpy.typing.NDArray[numpy.int64]
    window_end: numpy.typing.NDArray[numpy.int64]
    symbol_id: numpy.typing.NDArray[numpy.int64]
    open: numpy.typing.NDArray[numpy.float64]
    high: numpy.typing.NDArray[numpy.float64]
    low: numpy.typing.NDArray[numpy.float64]
    close: numpy.typing.NDArray[numpy.float64]
    volume: numpy.typing.NDArray[numpy.float64]
    vwap: numpy.typing.NDArray[numpy.float64]
    count: numpy.typing.NDArray[numpy.int64]

class NativeStream:
    """An in-process event stream.  Make one with `udp` or `manual`; calling
    the class itself raises TypeError."""

    @staticmethod
    def udp(
        host: str, port: _Int, batch_size: _Int, linger_ms: _Int, capacity: _Int
    ) -> NativeStream: ...
    @staticmethod
    def manual(batch_size: _Int, linger_ms: _Int, capacity: _Int) -> NativeStream: ...
    def address(self) -> tuple[str, int]: ...
    def emit_json(self, event: dict[str, typing.Any], /) -> None: ...
    def emit_columns(self, columns: dict[str, typing.Any], /) -> None: ...
    def next_batch(
        self, plan: dict[str, typing.Any], timeout_ms: _Int
    ) -> dict[str, list[typing.Any]] | None: ...
    def aggregate_columns(
        self, columns: dict[str, typing.Any], plan: dict[str, typing.Any]
    ) -> dict[str, list[typing.Any]]: ...
    def aggregate_trade_numeric(
        self,
        timestamps: typing.Annotated[numpy.typing.ArrayLike, numpy.int64],
        is_trade: typing.Annotated[numpy.typing.ArrayLike, numpy.uint8],
        symbol_id: typing.Annotated[numpy.typing.ArrayLike, numpy.int64],
        values: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        window_ms: _Int,
    ) -> _TradeWindows: ...
    @staticmethod
    def aggregate_bars(
        timestamps: typing.Annotated[numpy.typing.ArrayLike, numpy.int64],
        symbol_id: typing.Annotated[numpy.typing.ArrayLike, numpy.int64],
        prices: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        quantities: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        window_ms: _Int,
        is_trade: typing.Annotated[numpy.typing.ArrayLike, numpy.uint8] | None,
    ) -> _Bars:
        """Market bars per tumbling window and symbol, in one pass without the
        interpreter lock: open (price of the first row of the least time), high,
        low, close (price of the last row of the greatest time), volume, vwap
        (NaN when the volume is 0) and count.  Rows count where is_trade is
        nonzero (all when None) and price and quantity are not NaN."""
    def save_checkpoint(self, path: str, /) -> None: ...
    def load_checkpoint(self, path: str, /) -> None: ...
    def stats(self) -> dict[str, int]: ...
    def rejected_datagrams(self) -> int:
        """Datagrams the UDP receiver rejected whole: not UTF-8, empty, or
        not one or more flat JSON objects (a nested object, an array,
        garbage).  None of their events was offered, so they are in no
        counter of `stats`.  Always 0 for a manual stream."""
    def is_closed(self) -> bool: ...
    def close(self) -> None: ...
