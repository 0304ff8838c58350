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
    def value_types(values: object) -> set[type]: ...
    @staticmethod
    def manual(batch_size: _Int, linger_ms: _Int, capacity: _Int) -> NativeStream: ...
    def address(self) -> tuple[str, int]: ...
    def emit_json(self, event: dict[str, typing.Any], /) -> None: ...
    def emit_columns(self, columns: dict[str, typing.Any], /) -> None: ...
    def next_batch(
        self, plan: dict[str, typing.Any], timeout_ms: _Int
    ) -> dict[str, list[typing.Any]] | None:
        """The next result under `plan`, or None.  Beside today's eight keys a
        plan may give "aggs" (a list of {"name", "op", "field", "ddof"}:
        count, sum, mean, min, max, first, last, var, stddev,
        count_distinct), "close_idle_after_ms", and in its "window"
        "size_ms", "slide_ms" (hopping), "gap_ms" (sessions) and "by" as a
        list.  Such a plan's windows come out as the group fields,
        "window_start", "window_end" and each aggregate by name (the dict is
        ordered by name; a null aggregate is None).  While its windows are
        open, a plan with other windows or aggregates raises ValueError."""
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
    def take_late_rows(self) -> dict[str, list[typing.Any]] | None:
        """The rows that plans with "keep_late" kept instead of dropping as
        late, oldest first, as `next_batch` gives a result (None when none
        are kept); each row of a windowed plan carries the window it missed
        as "window_start" and "window_end" (a row without both when the
        window origin was not fixed yet); under "aggs" that is the tumbling
        window holding it, the earliest hopping window holding it, or the
        session [t, t + gap) it would have opened.  Empties the queue; kept
        rows are not in checkpoints.
        At most the plan's "max_late_rows" (default 100000) wait; later late
        rows are counted in the stats key "late_rows_over_cap"."""
    def take_late_rows_arrow(self) -> NativeStream.ArrowResult | None:
        """`take_late_rows` with the result as `next_batch_arrow` gives it."""
    def save_checkpoint(self, path: str, /) -> None: ...
    def load_checkpoint(self, path: str, /) -> None: ...
    def stats(self) -> dict[str, int]: ...
    def rejected_datagrams(self) -> int:
        """Datagrams the UDP receiver rejected whole: not UTF-8, empty, or
        not one or more flat JSON objects (a nested object, an array,
        garbage).  None of their events was offered, so they are in no
        counter of `stats`.  Always 0 for a manual stream."""
    def save_errno(self) -> int:
        """The errno of the system call that failed the last failed
        `save_checkpoint`, or 0 when the state held text a checkpoint cannot
        hold (and before any save failed)."""
    def refuse_text(self, column: str, characters: str) -> None:
        """From the next receive on, a datagram with an object whose string
        in `column` holds any of `characters` is rejected whole and counted
        in `rejected_datagrams` (a checkpoint cannot hold an event id with a
        line feed, nor a group with a line feed or a tab).  Empty
        `characters` lift the rule for the column; a manual stream's
        `emit_json` and `emit_columns` are not affected."""
    def is_closed(self) -> bool: ...
    def close(self) -> None: ...
    def wait_for_room(self, rows: _Int, timeout_ms: _Int) -> int:
        """Waits without the interpreter lock until the pending queue has
        room for min(rows, capacity) events, the stream is closed or the
        timeout (at most 60 s) passes; the free places then (0 once closed)."""
    def scan_ready_times(self, field: str) -> tuple[int, int]:
        """(rows, rows without an integer `field`) over the batches cut and
        not yet taken; changes nothing."""
    def ready_fd(self) -> int:
        """A descriptor that is readable from each cut of a batch until
        `clear_ready`, and for good once the stream is closed.  The stream
        owns it (do not close it) until the stream object is freed.  In the
        child of a fork it is the child's own, and readable."""
    def clear_ready(self) -> None:
        """Makes `ready_fd` unreadable until the next cut; nothing once the
        stream is closed.  Clear, then take with ``next_batch(plan, 0)``, then
        wait: a cut in between leaves the descriptor readable."""
    def worker_wakeups(self) -> int:
        """How often the worker has come back from a sleep; a stream with
        nothing pending and nothing arriving leaves it unchanged."""
    def live_names(self) -> int:
        """For tests: the column names held by the stream's name tables
        that are still alive."""
    def emit_arrow(self, data: object, /) -> None: ...
    def next_batch_arrow(
        self, plan: dict[str, typing.Any], timeout_ms: _Int
    ) -> NativeStream.ArrowResult | None: ...
    def aggregate_arrow(self, data: object, plan: dict[str, typing.Any]) -> NativeStream.ArrowResult: ...
