"""Type information for the _movra extension module.

The signatures are those the extension binds: parameter names, positional-only
parameters and the NumPy dtypes of the trade fast path.  Results are written
as precisely as their contents are known.
"""

import types
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

class NativeStream:
    """An in-process event stream.  Make one with `udp` or `manual`; calling
    the class itself raises TypeError."""

    class ArrowResult:
        """A result as one Arrow record batch, exported without a copy through
        the Arrow PyCapsule protocol (pyarrow.table(r), polars.DataFrame(r))."""

        def __arrow_c_schema__(self) -> types.CapsuleType: ...
        def __arrow_c_array__(self, requested_schema: object = None) -> tuple[types.CapsuleType, types.CapsuleType]: ...
        def __arrow_c_stream__(self, requested_schema: object = None) -> types.CapsuleType: ...
        def __len__(self) -> int: ...
        @property
        def column_names(self) -> list[str]: ...

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
    def save_checkpoint(self, path: str, /) -> None: ...
    def load_checkpoint(self, path: str, /) -> None: ...
    def stats(self) -> dict[str, int]: ...
    def is_closed(self) -> bool: ...
    def close(self) -> None: ...
    def emit_arrow(self, data: object, /) -> None: ...
    def next_batch_arrow(
        self, plan: dict[str, typing.Any], timeout_ms: _Int
    ) -> NativeStream.ArrowResult | None: ...
    def aggregate_arrow(self, data: object, plan: dict[str, typing.Any]) -> NativeStream.ArrowResult: ...
