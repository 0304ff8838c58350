"""The stream: `Stream`, made by `udp` or `manual`, over one native stream.

Iteration.  ``NativeStream.next_batch`` keeps the interpreter lock while it
waits, which stalls every other thread and the event loop.  `Stream.poll`,
`Stream.batches` and `Stream.abatches` therefore call it with
``timeout_ms=0`` and wait in Python between calls: 0.5 ms after a result,
doubling up to 2 ms while data came within the last second, then up to
``max_wait`` (50 ms by default) while the stream is idle.

End of stream.  Once the stream is closed, the first call that finds the
native stream closed closes it again (which returns only once its worker has
been joined, so its last cut has landed) and then takes results until the
native core returns None, which is after it has flushed the open windows:
only then is the stream `drained` and do the iterators end.  Closing and
polling through the same `Stream` are serialised by one lock, so a close
from another thread cannot come between a poll's look at the queue and its
flush.

Results in hand.  A result taken from the core waits in a deque of the
stream, one per thread and plan, until right before it is handed out.
It gets there from the core within C code, and leaves it by a ``del`` right
before the ``yield`` or ``return``: an exception raised in between (Ctrl-C,
a failed conversion to a frame) leaves it there for the next call of that
thread with that plan, instead of losing it.

Drops.  After each emit the stream compares the native "dropped" counter
with the count it saw before; new drops give a `Dropped` warning, or a
`DroppedError` on a stream made with ``on_drop="raise"``.  A UDP stream's
receiver drops datagrams on its own, so there the count is read again right
before the emit; drops are never counted beyond the rows offered.
"""

from __future__ import annotations

import asyncio
import collections
import ipaddress
import math
import os
import socket
import stat
import tempfile
import threading
import time
import warnings
from collections.abc import AsyncIterator, Iterator, Mapping
from types import TracebackType
from typing import Any, Final, Literal, TypedDict, cast, overload

import _movra

from ._arrow import arrow_rows, arrow_source, slice_rows, wants_arrow
from ._checkpoint_format import (HEAD_BYTES, CheckpointInfo, begins_as_checkpoint, inspect_checkpoint,
                                 origin_only_checkpoint)
from ._errors import (BindError, CheckpointError, DataError, Dropped, DroppedError, StateError,
                      StreamClosedError)
from ._frames import Output, check_output, columns_of, convert_result, event_of
from ._log import CounterWatch, logger
from ._plan import Plan, PlanLike, as_plan

__all__ = ["Batch", "OnDrop", "Stats", "Stream", "manual", "udp"]

OnDrop = Literal["warn", "raise"]

Batch = dict[str, list[Any]]
"""One result as a dict: column name to list of values, names in byte order."""

FrameOutput = Literal["pandas", "polars", "arrow"]

DEFAULT_BATCH_SIZE: Final = 8192
DEFAULT_LINGER_MS: Final = 10
DEFAULT_CAPACITY: Final = 100_000
DEFAULT_CHUNK_ROWS: Final = 16_384  # the Python values of a chunk stay in the CPU caches
DEFAULT_MAX_WAIT: Final = 0.05

_FIRST_WAIT: Final = 0.0005
_BUSY_WAIT: Final = 0.002
_BUSY_FOR: Final = 1.0


class Stats(TypedDict):
    """The counters of a stream (see ``NativeStream.stats``)."""

    checkpoint_loads: int
    checkpoint_saves: int
    dropped: int
    duplicate_events: int
    ingested: int
    late_events: int
    microbatches_emitted: int
    open_windows: int
    output_batches: int
    output_rows: int
    seen_event_ids: int


class _Backoff:
    """The wait between two empty polls: short while data flows, growing to
    `max_wait` once the stream has been idle for a second."""

    __slots__ = ("last_data", "max_wait", "wait")

    def __init__(self, max_wait: float) -> None:
        self.max_wait = max_wait
        self.wait = _FIRST_WAIT
        self.last_data = time.monotonic()

    def data(self) -> None:
        self.wait = _FIRST_WAIT
        self.last_data = time.monotonic()

    def idle(self) -> float:
        busy = time.monotonic() - self.last_data < _BUSY_FOR
        cap = min(_BUSY_WAIT, self.max_wait) if busy else self.max_wait
        wait = min(self.wait, cap)
        self.wait = min(wait * 2, cap)
        return wait


def _prepare(plan: PlanLike, output: Output, max_wait: float) -> tuple[Plan, float]:
    """The plan and the checked `max_wait` of an iterator; raises for a bad
    plan, output or wait before the first item is asked for."""
    checked = as_plan(plan)
    check_output(output)
    if isinstance(max_wait, bool) or not isinstance(max_wait, (int, float)) or not 0 < max_wait <= 60:
        raise ValueError(f"max_wait must be seconds between 0 and 60, got {max_wait!r}")
    return checked, float(max_wait)


class Stream:
    """An event stream: events in (`emit`, `emit_columns`, or UDP
    datagrams), results out (`batches`, `abatches`, `poll`).

    Make one with `movra.udp` or `movra.manual`.  The stream owns its native
    stream (`native`), closes it on `close` or at the end of a ``with``
    block, and is safe to use from several threads.

    >>> with movra.manual() as stream:
    ...     stream.emit_columns({"sym": ["A", "A"], "price": [1.0, 2.0], "timestamp": [0, 400]})
    ...     stream.close()
    ...     for batch in stream.batches(movra.Plan(window="1s", by="sym", mean="price")):
    ...         print(batch)
    2
    {'avg_price': [1.5], 'count': [2], 'sym': ['A'], 'window_end': [1000], 'window_start': [0]}
    """

    def __init__(self, native: _movra.NativeStream, *, capacity: int, on_drop: OnDrop = "warn",
                 batch_size: int = DEFAULT_BATCH_SIZE) -> None:
        """Wraps `native`; use `movra.udp` or `movra.manual` instead."""
        if on_drop not in ("warn", "raise"):
            raise ValueError(f"on_drop must be 'warn' or 'raise', got {on_drop!r}")
        self._native = native
        self._capacity = capacity
        self._batch_size = batch_size
        self._on_drop: OnDrop = on_drop
        self._udp = native.address() != ("manual", 0)
        # Serialises polls and closes, so a close cannot come between a
        # poll's look at the queue and its flush of the open windows.
        self._poll_lock = threading.RLock()
        # Serialises emits with the reading of the drop counter.
        self._emit_lock = threading.Lock()
        self._dropped_seen = 0
        self._drained = False
        self._watch = CounterWatch(self._describe())
        # Per thread, its ``held`` dict: plan to the results taken from the
        # core and not yet handed out.
        self._thread = threading.local()

    # ------------------------------------------------------------ basics

    @property
    def native(self) -> _movra.NativeStream:
        """The native stream this object owns."""
        return self._native

    @property
    def address(self) -> tuple[str, int]:
        """(host, port) as bound; ("manual", 0) for a manual stream."""
        return self._native.address()

    @property
    def closed(self) -> bool:
        """True once the stream has been closed."""
        return self._native.is_closed()

    @property
    def drained(self) -> bool:
        """True once a poll has found the closed stream empty: every event it
        accepted has been delivered and its open windows flushed."""
        return self._drained

    def stats(self) -> Stats:
        """The stream's counters: ``ingested``, ``dropped``, ``late_events``,
        ``open_windows``, ... (eleven entries)."""
        return cast(Stats, self._native.stats())

    def close(self) -> None:
        """Closes the stream: the events it accepted are still delivered by
        the next polls, then the open windows are flushed.  Idempotent."""
        with self._poll_lock:
            if not self._native.is_closed():
                logger.info("stream closed: %s", self._describe())
            self._native.close()

    def __enter__(self) -> Stream:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def _describe(self) -> str:
        host, port = self.address
        return "manual" if (host, port) == ("manual", 0) else f"udp {host}:{port}"

    def __repr__(self) -> str:
        return f"<movra.Stream {self._describe()} {'closed' if self.closed else 'open'}>"

    # ------------------------------------------------------------ events in

    def emit(self, event: Mapping[str, Any]) -> None:
        """Offers one event, a dict of column name to value.

        Values keep their type (NumPy scalars become Python scalars,
        datetimes epoch milliseconds; see `emit_columns`).  An event without
        a "timestamp" is stamped with the wall clock.  Raises `DataError`
        for a value of another type, `StreamClosedError` on a closed
        stream; a drop at capacity gives a `Dropped` warning (or
        `DroppedError`).
        """
        if not isinstance(event, Mapping):
            raise TypeError(f"an event is a dict, got {type(event).__name__}: {event!r:.60}")
        row = event_of(event)
        with self._emit_lock:
            self._check_open(1)
            self._drops_before()
            try:
                self._native.emit_json(row)
            except RuntimeError as e:
                raise DataError(columns_of({k: [v] for k, v in row.items()}).locate_bad_value()) from e
            dropped = self._new_drops(1)
        if dropped:
            self._report_drops(dropped, 1, 1)

    def emit_columns(self, data: Any, *, chunk_rows: int = DEFAULT_CHUNK_ROWS) -> int:
        """Offers one event per row of `data` and returns how many were
        accepted (the rest were dropped at capacity).

        `data` is a dict of equal-length columns (lists, tuples, NumPy
        arrays, pandas/Polars series, Arrow arrays), a pandas or Polars
        DataFrame, or a pyarrow Table.  Each value keeps its type:

        - NumPy ints and bools become Python ints and bools, float32 and
          other floats become float; uint64 above 2**63 - 1 is refused.
        - datetime64, datetimes, timezone-aware timestamps and dates become
          epoch milliseconds (floored); times without a time zone (datetime64,
          naive datetimes and timestamps) are read as UTC.  Timedeltas and
          durations become milliseconds (floored).
        - Missing values (None, NaT, pandas NA and the NaN of pandas float
          columns, Polars and Arrow nulls) become None; the NaN of NumPy,
          Polars and Arrow floats stays NaN.  Categoricals become labels.
        - A named pandas index is sent as a column; a "timestamp" column
          must hold epoch milliseconds (ints or datetimes) without gaps.

        Other values raise `DataError` naming the column and row.  Arrow
        data (pyarrow, Polars, pandas through pyarrow, any object exporting
        the Arrow PyCapsule protocol) is converted by the core, with the
        same values and errors, in one piece.  Other columns that need
        converting are sent in chunks of `chunk_rows` rows (a dict of plain
        lists goes in one piece); if a chunk fails, the chunks before it
        have been sent.  Drops at capacity give one
        `Dropped` warning for the call (or, with ``on_drop="raise"``, a
        `DroppedError` after the first chunk that had drops, and the rest
        is not sent).
        """
        if isinstance(chunk_rows, bool) or not isinstance(chunk_rows, int) or chunk_rows < 1:
            raise ValueError(f"chunk_rows must be a positive int, got {chunk_rows!r}")
        # Arrow data goes to the core whole (in chunks only where drops must
        # stop the call); other data is converted here, in chunks.
        source = arrow_source(data)
        columns = None if source is not None else columns_of(data)
        rows = arrow_rows(source) if columns is None else columns.rows
        if columns is None and self._on_drop != "raise" or columns is not None and not columns.converted_in_chunks:
            chunk_rows = max(rows, 1)
        dropped = 0
        with self._emit_lock:
            self._check_open(rows)
            for start in range(0, rows, chunk_rows):
                stop = min(start + chunk_rows, rows)
                chunk = columns.take(start, stop) if columns is not None else None
                self._drops_before()
                try:
                    if columns is None:
                        self._native.emit_arrow(source if stop - start == rows else slice_rows(source, start, stop))
                    else:
                        self._native.emit_columns(cast(dict[str, Any], chunk))
                except RuntimeError as e:
                    if columns is None:  # a failing Arrow producer: its own error
                        raise
                    sent = f"; rows 0 to {start - 1} were sent" if start else ""
                    raise DataError(f"{columns.locate_bad_value()}{sent}") from e
                except ValueError as e:  # the core's refusal of Arrow data names the column
                    if columns is not None:
                        raise
                    sent = f" (rows {start} to {stop - 1}); rows 0 to {start - 1} were sent" if start else ""
                    raise DataError(f"{e}{sent}") from None
                new = self._new_drops(stop - start)
                dropped += new
                if new and self._on_drop == "raise":
                    break
        if dropped:
            self._report_drops(dropped, stop if self._on_drop == "raise" else rows, rows)
        return rows - dropped

    def _check_open(self, rows: int) -> None:
        if self._native.is_closed():
            raise StreamClosedError(f"the stream is closed: {rows} event(s) not sent")

    def _drops_before(self) -> None:
        # REQUIRES: self._emit_lock is held.
        if self._udp:  # what the receiver dropped is not the emit's
            self._dropped_seen = self._native.stats()["dropped"]

    def _new_drops(self, offered: int) -> int:
        """How many of the `offered` events just emitted were dropped.
        REQUIRES: self._emit_lock is held."""
        dropped = self._native.stats()["dropped"]
        new = dropped - self._dropped_seen
        self._dropped_seen = dropped
        return min(new, offered)

    def _report_drops(self, count: int, offered: int, total: int) -> None:
        if self._native.is_closed():
            text = f"{count} of {offered} events dropped: the stream was closed while they were sent"
        else:
            text = (f"{count} of {offered} events dropped: the stream's pending queue holds at most "
                    f"capacity={self._capacity} events; raise capacity, emit fewer rows at a time, or "
                    "take batches more often")
        if self._on_drop == "raise":
            if offered < total:
                text += f" (rows {offered} to {total - 1} were not sent)"
            raise DroppedError(text, count, offered)
        warnings.warn(Dropped(text, count), stacklevel=3)

    # ----------------------------------------------------------- results out

    def _step(self, plan: Plan, output: Output = "dict") -> tuple[collections.deque[Any], bool]:
        """The results of `plan` this thread holds, taking the next one from
        the native core (without waiting) when it holds none; and whether the
        stream is closed and fully drained.  Frames for `output` are taken
        from the core as Arrow data.  The caller converts ``held[0]``,
        deletes it, and hands the conversion out right away."""
        try:
            held_of: dict[Plan, collections.deque[Any]] = self._thread.held
        except AttributeError:
            held_of = self._thread.held = {}
        held = held_of.get(plan)
        if held:
            return held, False
        if held is None:
            for other in [p for p, d in held_of.items() if not d]:  # plans polled before
                del held_of[other]
            held = held_of[plan] = collections.deque()
        native = self._native
        with self._poll_lock:
            closed = native.is_closed()
            if closed:
                native.close()  # returns once the worker's last cut has landed
            # From the core into `held` inside C code: no signal handler can
            # run between the two and lose the result.
            take = native.next_batch_arrow if wants_arrow(output) else native.next_batch
            held.extend(filter(None, map(take, (cast(dict[str, Any], plan._raw),), (0,))))
            if held:
                self._watch.update(native.stats())
        if not held and closed:
            self._drained = True
        return held, closed and not held

    @overload
    def poll(self, plan: PlanLike, timeout: float | None = ..., *, output: Literal["dict"] = ...,
             datetimes: bool = ...) -> Batch | None: ...
    @overload
    def poll(self, plan: PlanLike, timeout: float | None = ..., *, output: FrameOutput,
             datetimes: bool = ...) -> Any: ...
    def poll(self, plan: PlanLike, timeout: float | None = 0.0, *, output: Output = "dict",
             datetimes: bool = False) -> Any:
        """The next result of `plan`, or None when none came within `timeout`
        seconds (None: no limit) or the stream is closed and `drained`.

        Waits in Python between polls of the native core, so other threads
        and the event loop keep running.  `output` is "dict" (column name to
        list), "pandas", "polars" or "arrow"; `datetimes` turns
        ``window_start``/``window_end`` into UTC timestamps.
        """
        checked = as_plan(plan)
        check_output(output)
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))):
            raise TypeError(f"timeout must be seconds (a number) or None, got {timeout!r}")
        if timeout is not None and math.isnan(timeout):
            raise ValueError("timeout must be seconds or None, got nan")
        deadline = None if timeout is None else time.monotonic() + timeout
        backoff = _Backoff(DEFAULT_MAX_WAIT)
        while True:
            held, done = self._step(checked, output)
            if held:
                result = convert_result(held[0], output, datetimes)
                del held[0]
                return result
            if done:
                return None
            wait = backoff.idle()
            if deadline is not None:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return None
                wait = min(wait, remaining)
            time.sleep(wait)

    @overload
    def batches(self, plan: PlanLike, *, output: Literal["dict"] = ..., datetimes: bool = ...,
                max_wait: float = ...) -> Iterator[Batch]: ...
    @overload
    def batches(self, plan: PlanLike, *, output: FrameOutput, datetimes: bool = ...,
                max_wait: float = ...) -> Iterator[Any]: ...
    def batches(self, plan: PlanLike, *, output: Output = "dict", datetimes: bool = False,
                max_wait: float = DEFAULT_MAX_WAIT) -> Iterator[Any]:
        """Every non-empty result of `plan`, until the stream is closed and
        fully drained (every accepted event delivered once, the open windows
        flushed).

        The native core is polled without waiting; between empty polls the
        generator sleeps in Python, 0.5 to 2 ms while data flows and up to
        `max_wait` seconds when idle, so other threads keep running and
        Ctrl-C is seen at once.  `output` and `datetimes` as for `poll`.
        The plan is checked when this is called, not at the first item.
        A result the core handed over before an exception (Ctrl-C, a failed
        conversion) stopped the loop comes first from the next `batches`,
        `abatches` or `poll` of this thread with this plan.
        """
        return self._batches(*_prepare(plan, output, max_wait), output, datetimes)

    def _batches(self, plan: Plan, max_wait: float, output: Output, datetimes: bool) -> Iterator[Any]:
        backoff = _Backoff(max_wait)
        while True:
            held, done = self._step(plan, output)
            if held:
                backoff.data()
                result = convert_result(held[0], output, datetimes)
                del held[0]  # nothing between here and the yield can raise
                yield result
            elif done:
                return
            else:
                time.sleep(backoff.idle())

    @overload
    def abatches(self, plan: PlanLike, *, output: Literal["dict"] = ..., datetimes: bool = ...,
                 max_wait: float = ...) -> AsyncIterator[Batch]: ...
    @overload
    def abatches(self, plan: PlanLike, *, output: FrameOutput, datetimes: bool = ...,
                 max_wait: float = ...) -> AsyncIterator[Any]: ...
    def abatches(self, plan: PlanLike, *, output: Output = "dict", datetimes: bool = False,
                 max_wait: float = DEFAULT_MAX_WAIT) -> AsyncIterator[Any]:
        """`batches` as an async iterator: ``async for batch in
        stream.abatches(plan)``.  It waits with ``asyncio.sleep`` and hands
        the loop back after every result, so other tasks keep running."""
        return self._abatches(*_prepare(plan, output, max_wait), output, datetimes)

    async def _abatches(self, plan: Plan, max_wait: float, output: Output,
                        datetimes: bool) -> AsyncIterator[Any]:
        backoff = _Backoff(max_wait)
        while True:
            held, done = self._step(plan, output)
            if held:
                backoff.data()
                result = convert_result(held[0], output, datetimes)
                del held[0]
                yield result
                await asyncio.sleep(0)
            elif done:
                return
            else:
                await asyncio.sleep(backoff.idle())

    @overload
    def aggregate(self, data: Any, plan: PlanLike, *, output: Literal["dict"] = ...,
                  datetimes: bool = ...) -> Batch: ...
    @overload
    def aggregate(self, data: Any, plan: PlanLike, *, output: FrameOutput, datetimes: bool = ...) -> Any: ...
    def aggregate(self, data: Any, plan: PlanLike, *, output: Output = "dict",
                  datetimes: bool = False) -> Any:
        """Runs `plan` once over `data` (columns as for `emit_columns`) on
        the stream's event-time state, then flushes every open window; the
        queue is not involved.  Returns the result (an empty dict when
        nothing came out)."""
        raw = as_plan(plan)._raw
        check_output(output)
        source = arrow_source(data)
        if source is not None:
            try:
                with self._poll_lock:
                    arrow = self._native.aggregate_arrow(source, cast(dict[str, Any], raw))
            except ValueError as e:  # the core's refusal names the column
                raise DataError(str(e)) from None
            return convert_result(arrow, output, datetimes)
        columns = columns_of(data)
        try:
            with self._poll_lock:
                result = self._native.aggregate_columns(columns.take(0, columns.rows),
                                                        cast(dict[str, Any], raw))
        except RuntimeError as e:
            raise DataError(columns.locate_bad_value()) from e
        return convert_result(result, output, datetimes)

    def process(self, data: Any, plan: PlanLike, *, timeout: float = 30.0) -> Batch | None:
        """Offers the rows of `data` (columns as for `emit_columns`), waits
        until the stream has processed them, and returns what came out
        (None when nothing did); the open windows stay open.

        This is how to feed a manual stream from a replayable source with
        checkpoints: when it returns, every row given so far has gone
        through the plan and no other is queued, so a checkpoint saved then
        (with the source's offset, see `CheckpointManager`) covers exactly
        the rows before that offset.  The rows go in chunks of at most the
        stream's ``batch_size``, each offered in one call and taken whole by
        the worker's next cut.  Only for a manual stream that nothing else
        feeds; raises `StateError` on a UDP stream, `DataError` for data
        `emit_columns` refuses, and TimeoutError when the worker does not
        cut a chunk within `timeout` seconds.
        """
        raw = as_plan(plan)._raw
        if self.address != ("manual", 0):
            raise StateError("process() is for a manual stream: on a UDP stream other events arrive in between")
        columns = columns_of(data)
        size = min(self._batch_size, self._capacity)
        results: list[Batch] = []
        native = self._native
        with self._emit_lock:
            for start in range(0, columns.rows, size):
                self._check_open(columns.rows - start)
                cuts = native.stats()["microbatches_emitted"]
                try:
                    stop = min(start + size, columns.rows)
                    native.emit_columns(columns.take(start, stop))
                except RuntimeError as e:
                    sent = f"; rows 0 to {start - 1} were processed" if start else ""
                    raise DataError(f"{columns.locate_bad_value()}{sent}") from e
                if self._new_drops(stop - start):
                    raise StateError("process() found events queued by someone else: the pending queue was full")
                deadline = time.monotonic() + timeout
                wait = 0.0001
                while native.stats()["microbatches_emitted"] == cuts:
                    if time.monotonic() > deadline:
                        raise TimeoutError(f"the stream's worker cut no batch within {timeout} s")
                    time.sleep(wait)
                    wait = min(wait * 2, 0.002)
                with self._poll_lock:
                    result = native.next_batch(cast(dict[str, Any], raw), 0)
                if result is not None:
                    self._watch.update(native.stats())
                    results.append(result)
        return _joined(results)

    # ------------------------------------------------------------ checkpoints

    def save_checkpoint(self, path: str | os.PathLike[str]) -> None:
        """Writes the event-time state (greatest event time, window origin,
        event ids seen, open windows) to `path`, atomically.  Raises
        `CheckpointError` saying why a save failed."""
        p = _path(path)
        try:
            self._native.save_checkpoint(p)
        except RuntimeError as e:
            raise CheckpointError(f"cannot write checkpoint {p!r}: {_write_failure(p)}", p) from e

    def load_checkpoint(self, path: str | os.PathLike[str]) -> CheckpointInfo:
        """Replaces the event-time state with the checkpoint at `path` and
        returns what it held.  A file that is not a checkpoint (a data file,
        an empty or truncated file) is refused with `CheckpointError` and
        the state stays as it was; so is anything but a regular file (after
        following links: a FIFO, a device, a directory)."""
        p = _path(path)
        try:
            # Non-blocking, so that a FIFO put in the file's place cannot
            # block the open; the check is made on what was opened.
            with open(os.open(p, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC), "rb") as f:
                if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
                    raise CheckpointError(f"cannot read checkpoint {p!r}: not a regular file", p)
                data = f.read(HEAD_BYTES)
                if begins_as_checkpoint(data):  # a large data file is not read whole
                    f.seek(0)
                    data = f.read()
        except OSError as e:
            raise CheckpointError(f"cannot read checkpoint {p!r}: {e.strerror}", p) from e
        try:
            info = inspect_checkpoint(data)
        except ValueError as e:
            raise CheckpointError(f"{p!r} is not a checkpoint: {e}; the stream's state is unchanged",
                                  p) from None
        try:
            self._load_bytes(data, p)
        except (RuntimeError, OSError) as e:
            raise CheckpointError(f"cannot read checkpoint {p!r}", p) from e
        return info

    def _load_bytes(self, data: bytes, path: str) -> None:
        """Loads the checkpoint text `data`, read from `path`: from an
        in-memory file when the system has them, so the core reads the very
        bytes that were checked, whatever happens to `path` meanwhile."""
        memfd_create = getattr(os, "memfd_create", None)
        proc = "/proc/self/fd"
        if memfd_create is None or not os.path.isdir(proc):
            self._native.load_checkpoint(path)
            return
        with open(memfd_create("movra-checkpoint", os.MFD_CLOEXEC), "wb") as f:
            f.write(data)
            f.flush()
            self._native.load_checkpoint(f"{proc}/{f.fileno()}")

    def align_windows_to_epoch(self) -> None:
        """Aligns windows of epoch-millisecond event times to the epoch grid
        (whole multiples of the width since 1970, as Flink and Spark do)
        instead of anchoring them at the first event time.

        Only for a stream that has not processed events yet (events may be
        queued): it loads a checkpoint whose only content is the window
        origin 0.  Raises `StateError` otherwise; a second call does
        nothing.
        """
        with self._poll_lock:
            counters = self._native.stats()
            if counters["open_windows"] or counters["seen_event_ids"]:
                raise StateError("windows can only be aligned before the stream has processed events; "
                                 f"it has {counters['open_windows']} open windows and "
                                 f"{counters['seen_event_ids']} event ids")
            fd, tmp = tempfile.mkstemp(prefix="movra-align-", suffix=".ckpt")
            os.close(fd)
            try:
                self._native.save_checkpoint(tmp)
                with open(tmp, "rb") as f:
                    state = inspect_checkpoint(f.read())
                if state.max_event_time is None and state.window_origin == 0:
                    return  # aligned already
                if state.max_event_time is not None or state.window_origin is not None:
                    raise StateError("windows can only be aligned before the stream has processed events; "
                                     f"it has seen event time {state.max_event_time} and anchors windows at "
                                     f"{state.window_origin}")
                with open(tmp, "wb") as f:
                    f.write(origin_only_checkpoint(0))
                self._native.load_checkpoint(tmp)
            finally:
                os.unlink(tmp)


def _joined(results: list[Batch]) -> Batch | None:
    """Results one after another as one (a column a result lacks is None
    there)."""
    if len(results) < 2:
        return results[0] if results else None
    names = dict.fromkeys(name for r in results for name in r)
    out: Batch = {name: [] for name in sorted(names)}
    for r in results:
        rows = len(next(iter(r.values())))
        for name, values in out.items():
            values.extend(r.get(name) or [None] * rows)
    return out


def _path(path: str | os.PathLike[str]) -> str:
    p = os.fspath(path)
    if not isinstance(p, str):
        raise TypeError(f"a checkpoint path is a str or os.PathLike of str, got {path!r}")
    if "\0" in p:
        raise ValueError(f"a checkpoint path cannot hold a NUL character: {p!r}")
    return p


def _write_failure(path: str) -> str:
    """Why a checkpoint could not be written to `path`, as far as it can be
    told from outside."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.exists(directory):
        return f"the directory {directory!r} does not exist"
    if not os.path.isdir(directory):
        return f"{directory!r} is not a directory"
    if os.path.isdir(path):
        return "it is a directory"
    if not os.access(directory, os.W_OK):
        return f"no permission to write in {directory!r}"
    return ("the state holds an event id or group text with a line feed (or a group with a tab), which "
            "the file cannot hold, or the write failed")


# -------------------------------------------------------------- factories

def _positive(value: object, name: str, minimum: int = 1) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {value!r} ({type(value).__name__})")
    if not minimum <= value <= 2**63 - 1:
        raise ValueError(f"{name} must be between {minimum} and 2**63 - 1, got {value!r}")
    return value


def _host(host: object) -> str:
    if not isinstance(host, str):
        raise TypeError(f"host must be a dotted IPv4 address (str), got {host!r}")
    if host == "localhost":
        return "127.0.0.1"
    try:
        ipaddress.IPv4Address(host)
    except ValueError:
        raise ValueError(f"host must be a dotted IPv4 address such as '127.0.0.1' or '0.0.0.0', got "
                         f"{host!r}") from None
    return host


def _port(port: object) -> int:
    if isinstance(port, bool) or not isinstance(port, int):
        raise TypeError(f"port must be an int, got {port!r} ({type(port).__name__})")
    if not 0 <= port <= 65535:
        raise ValueError(f"port must be between 0 and 65535 (0: any free port), got {port}")
    return port


def _bind_error(host: str, port: int) -> BindError:
    """The reason a bind failed, found by trying the same bind in Python."""
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.bind((host, port))
    except OSError as e:
        return BindError(e.errno, f"cannot bind a UDP socket to {host}:{port}: {e.strerror}", (host, port))
    return BindError(None, f"cannot bind a UDP socket to {host}:{port} (the reason is not known)",
                     (host, port))


def udp(host: str = "127.0.0.1", port: int = 0, *, batch_size: int = DEFAULT_BATCH_SIZE,
        linger_ms: int = DEFAULT_LINGER_MS, capacity: int = DEFAULT_CAPACITY, on_drop: OnDrop = "warn",
        epoch_windows: bool = False) -> Stream:
    """A stream that receives UDP datagrams, one flat JSON object each, on
    `host`:`port` (a dotted IPv4 address; port 0 picks a free port, see
    `Stream.address`).  It takes `emit` and `emit_columns` too.

    Every `linger_ms` the stream's worker cuts at most `batch_size` pending
    events into a batch; at most `capacity` events wait, and further events
    are dropped and counted.  `on_drop` decides whether drops seen by an emit
    warn (`Dropped`) or raise (`DroppedError`).  `epoch_windows` aligns
    windows to the epoch (see `Stream.align_windows_to_epoch`).

    Raises `BindError` (an OSError with the system's reason) when the
    address cannot be bound, ValueError for an invalid host or port.
    """
    host, port = _host(host), _port(port)
    sizes = (_positive(batch_size, "batch_size"), _positive(linger_ms, "linger_ms", 0),
             _positive(capacity, "capacity"))
    try:
        native = _movra.NativeStream.udp(host, port, *sizes)
    except RuntimeError as e:
        if "bind" not in str(e):
            raise
        raise _bind_error(host, port) from e
    return _made(native, *sizes[::2], on_drop, epoch_windows)


def manual(*, batch_size: int = DEFAULT_BATCH_SIZE, linger_ms: int = DEFAULT_LINGER_MS,
           capacity: int = DEFAULT_CAPACITY, on_drop: OnDrop = "warn", epoch_windows: bool = False) -> Stream:
    """A stream fed only by `Stream.emit` and `Stream.emit_columns`; the
    keywords are those of `udp`."""
    sizes = (_positive(batch_size, "batch_size"), _positive(linger_ms, "linger_ms", 0),
             _positive(capacity, "capacity"))
    return _made(_movra.NativeStream.manual(*sizes), *sizes[::2], on_drop, epoch_windows)


def _made(native: _movra.NativeStream, batch_size: int, capacity: int, on_drop: OnDrop,
          epoch_windows: bool) -> Stream:
    try:
        stream = Stream(native, capacity=capacity, on_drop=on_drop, batch_size=batch_size)
        if epoch_windows:
            stream.align_windows_to_epoch()
    except BaseException:
        native.close()
        raise
    logger.info("stream opened: %s (capacity %d%s)", stream._describe(), capacity,
                ", windows aligned to the epoch" if epoch_windows else "")
    return stream
