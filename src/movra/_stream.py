"""The stream: `Stream`, made by `udp` or `manual`, over one native stream.

Iteration.  ``NativeStream.next_batch`` keeps the interpreter lock while it
waits, which stalls every other thread and the event loop.  `Stream.poll`,
`Stream.batches` and `Stream.abatches` therefore call it with
``timeout_ms=0`` and wait on the stream's readiness descriptor
(`Stream.fileno`) between calls: in ``poll(2)`` without the interpreter
lock, or, in `abatches`, as a reader of the event loop.  The descriptor is
readable from a cut until it is cleared, and for good once the stream is
closed; each take clears it first and then takes, so a cut that comes
between the two leaves it readable and is taken after a wait that returns
at once.  Nothing wakes while no batch is cut.

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
before the emit; drops are never counted beyond the rows offered.  A stream
made with ``on_drop="block"`` (the default of `manual`) never drops on an
emit: it waits for room instead (`movra._blocking`).

Checks.  The stream's `DataGuard` holds the column names of the events it
was given and checks plans against them (`movra._checks`): before results
of a plan are handed out, and before each later emit.
"""

from __future__ import annotations

import asyncio
import collections
import errno
import select
import ipaddress
import math
import os
import socket
import stat
import tempfile
import threading
import time
import warnings
import weakref
from collections.abc import AsyncIterator, Iterable, Iterator, Mapping, Sequence
from types import TracebackType
from typing import Any, Final, Literal, TypedDict, cast, overload

import _movra

from ._arrow import arrow_rows, arrow_source, slice_rows, wants_arrow
from ._blocking import emit_one_waiting, emit_waiting
from ._checkpoint_format import (HEAD_BYTES, CheckpointInfo, begins_as_checkpoint, inspect_checkpoint,
                                 origin_only_checkpoint)
from ._checks import DataGuard, UntimedCount, check_columns
from ._errors import (BindError, CheckpointError, DataError, Dropped, DroppedError, MovraError, StateError,
                      StreamClosedError)
from ._frames import Output, check_output, columns_of, convert_result, event_of
from ._log import CounterWatch, logger
from ._plan import Plan, PlanLike, as_plan

__all__ = ["Batch", "OnDrop", "Stats", "Stream", "manual", "udp", "wait"]

OnDrop = Literal["block", "warn", "raise"]

Batch = dict[str, list[Any]]
"""One result as a dict: column name to list of values, names in byte order."""

FrameOutput = Literal["pandas", "polars", "arrow"]

DEFAULT_BATCH_SIZE: Final = 8192
DEFAULT_LINGER_MS: Final = 10
DEFAULT_CAPACITY: Final = 100_000
DEFAULT_CHUNK_ROWS: Final = 16_384  # the Python values of a chunk stay in the CPU caches


class Stats(TypedDict):
    """The counters of a stream: those of ``NativeStream.stats`` and
    ``rejected_datagrams``, the UDP datagrams rejected whole (see
    ``NativeStream.rejected_datagrams``)."""

    checkpoint_loads: int
    checkpoint_saves: int
    dropped: int
    duplicate_events: int
    ingested: int
    late_events: int
    late_rows_over_cap: int
    microbatches_emitted: int
    open_windows: int
    output_batches: int
    output_rows: int
    rejected_datagrams: int
    seen_event_ids: int


def _prepare(plan: PlanLike, output: Output, max_wait: float | None) -> tuple[Plan, float | None]:
    """The plan and the checked `max_wait` of an iterator; raises for a bad
    plan, output or wait before the first item is asked for."""
    checked = as_plan(plan)
    check_output(output)
    if max_wait is not None and (isinstance(max_wait, bool) or not isinstance(max_wait, (int, float))
                                 or not 0 < max_wait <= 60):
        raise ValueError(f"max_wait must be None or seconds between 0 and 60, got {max_wait!r}")
    return checked, _idle_wait(checked, None if max_wait is None else float(max_wait))


def _idle_wait(plan: Plan, wait: float | None) -> float | None:
    """`wait`, shortened for a plan with ``close_idle_after``: nothing wakes
    a wait on a quiet feed, so the iterator looks again (a take runs the
    core's closing pass) often enough that an idle window comes out within
    about a quarter of the idle bound after it is due."""
    if plan.close_idle_after is None:
        return wait
    step = min(max(plan.close_idle_after / 4000, 0.005), 1.0)
    return step if wait is None else min(wait, step)


def _check_timeout(timeout: object) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be seconds (a number) or None, got {timeout!r}")
    if math.isnan(timeout):
        raise ValueError("timeout must be seconds or None, got nan")
    return float(timeout)


# The longest wait ``poll(2)`` takes (its milliseconds are a C int, about 24
# days); a caller with a longer timeout waits again.
_LONGEST_POLL_MS: Final = 2**31 - 1


def _poll_ms(timeout: float | None) -> float | None:
    """`timeout` seconds as the milliseconds of ``select.poll``: None for no
    limit (also for an infinite timeout), never negative, at most
    `_LONGEST_POLL_MS`."""
    if timeout is None or timeout == math.inf:
        return None
    return min(max(timeout, 0.0) * 1000, _LONGEST_POLL_MS)


def _wait_readable(fd: int, timeout: float | None) -> bool:
    """Waits, without the interpreter lock, until `fd` is readable or
    `timeout` seconds (None: no limit) have passed; whether it is."""
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    return bool(poller.poll(_poll_ms(timeout)))


def wait(streams: Iterable[Any], timeout: float | None = None) -> list[Any]:
    """Waits until at least one of `streams` has a result to take, or
    `timeout` seconds (None: no limit) have passed; returns those that have,
    in the order given (an empty list at the timeout).

    A stream counts as having a result from the moment its worker cuts a
    batch, or it is closed, until its next `Stream.poll` (or `batches`
    step).  Anything with a ``fileno()`` (a socket, a pipe) or a descriptor
    number may be waited on with the streams.  One thread can serve many
    streams this way::

        while streams:
            for s in movra.wait(streams):
                while (batch := s.poll(plan)) is not None:
                    handle(batch)
                if s.drained:
                    streams.remove(s)

    The wait is one ``poll(2)`` and releases the interpreter lock.  Each
    stream is also a file object for `selectors` (`Stream.fileno`).
    """
    items = list(streams)
    timeout = _check_timeout(timeout)
    poller = select.poll()
    fds = []
    for item in items:
        fd = item if isinstance(item, int) and not isinstance(item, bool) else getattr(item, "fileno", None)
        if callable(fd):
            fd = fd()
        if not isinstance(fd, int) or isinstance(fd, bool) or fd < 0:
            raise TypeError(f"wait() takes streams or objects with a fileno(), got {item!r}")
        fds.append(fd)
        poller.register(fd, select.POLLIN)
    if not items:
        raise ValueError("wait() needs at least one stream")
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        wait_ms = _poll_ms(None if deadline is None else deadline - time.monotonic())
        ready = {fd for fd, _ in poller.poll(wait_ms)}
        if ready or wait_ms is None or wait_ms < _LONGEST_POLL_MS:
            break
    return [item for item, fd in zip(items, fds) if fd in ready]


# The live streams of the process, for `_fresh_emit_locks`.
_LIVE: Final[weakref.WeakSet[Stream]] = weakref.WeakSet()


def _fresh_emit_locks() -> None:
    """In a fork child: a new emit lock for every stream.  A thread of the
    parent that was waiting for room in a blocking emit held its stream's
    lock, and that thread does not exist in the child, so the lock would
    never be released and the child's first emit would hang instead of
    raising `StreamClosedError` (the core closes every stream in a child)."""
    for stream in list(_LIVE):
        stream._emit_lock = threading.Lock()


os.register_at_fork(after_in_child=_fresh_emit_locks)


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
        if on_drop not in ("block", "warn", "raise"):
            raise ValueError(f"on_drop must be 'block', 'warn' or 'raise', got {on_drop!r}")
        self._native = native
        self._capacity = capacity
        self._batch_size = batch_size
        self._on_drop: OnDrop = on_drop
        self._udp = native.address() != ("manual", 0)
        if on_drop == "block" and self._udp:
            raise ValueError("on_drop='block' is for manual streams: a UDP stream's receiver cannot wait, "
                             "so its drops are counted; use 'warn' or 'raise'")
        # Serialises polls and closes, so a close cannot come between a
        # poll's look at the queue and its flush of the open windows.
        self._poll_lock = threading.RLock()
        # Serialises emits with the reading of the drop counter.  Held for
        # as long as a blocking emit waits for room; a fork child gets a
        # fresh one (`_fresh_emit_locks`).
        self._emit_lock = threading.Lock()
        _LIVE.add(self)
        self._dropped_seen = 0
        self._drained = False
        self._watch = CounterWatch(self._describe())
        self._guard = DataGuard()  # plans against the columns emitted
        self._untimed = UntimedCount(self._describe())  # datagrams without a usable time
        # The save and load of `align_windows_to_epoch`, which `stats` does
        # not count: they are how the alignment is made, not checkpoints.
        self._aligning = {"checkpoint_saves": 0, "checkpoint_loads": 0}
        # Per thread, its ``held`` dict: plan to the results taken from the
        # core and not yet handed out.
        self._thread = threading.local()
        # Per event loop, the futures of the `abatches` waiting for the
        # readiness descriptor; the loop has one reader for it while any do.
        self._async_waiters: dict[asyncio.AbstractEventLoop, set[asyncio.Future[None]]] = {}

    # ------------------------------------------------------------ basics

    @property
    def native(self) -> _movra.NativeStream:
        """The native stream this object owns."""
        return self._native

    @property
    def address(self) -> tuple[str, int]:
        """(host, port) as bound; ("manual", 0) for a manual stream."""
        return self._native.address()

    def fileno(self) -> int:
        """The stream's readiness descriptor: readable from the moment its
        worker cuts a batch until the next `poll` (or step of `batches`,
        `abatches`) takes it, and for good once the stream is closed.  For
        `select`, `selectors` and ``loop.add_reader``; see also `movra.wait`.
        The stream owns it: it stays open, and the same, while the stream
        object lives (also after `close`), and must not be closed or read."""
        return self._native.ready_fd()

    @property
    def closed(self) -> bool:
        """True once the stream has been closed."""
        return self._native.is_closed()

    @property
    def drained(self) -> bool:
        """True once a poll has found the closed stream empty: every event it
        accepted has been delivered and its open windows flushed."""
        return self._drained

    @property
    def untimed_events(self) -> int:
        """Events of a UDP stream that reached a windowed plan without integer
        milliseconds in its time field, so the engine put them at the
        wall-clock time (a lower bound; logged once).  Events emitted through
        the package are checked before they are sent instead."""
        return self._untimed.count

    def stats(self) -> Stats:
        """The stream's counters: ``ingested``, ``dropped``, ``late_events``,
        ``late_rows_over_cap``, ``open_windows``, ... (those of the native
        stream), and
        ``rejected_datagrams``.  The checkpoint counters leave out the save
        and load that aligned the windows to the epoch."""
        counters: dict[str, int] = self._native.stats()
        for key, made in self._aligning.items():
            counters[key] -= made
        counters["rejected_datagrams"] = self._native.rejected_datagrams()
        return cast(Stats, counters)

    def refuse_text(self, column: str, characters: str) -> None:
        """UDP streams: from the next receive on, a datagram with an object
        whose string in `column` holds any of `characters` is rejected whole
        and counted in ``rejected_datagrams``.  A checkpoint cannot hold an
        event id with a line feed, nor a group text with a line feed or a
        tab; a stream that is saved can refuse them where they enter, so
        that every later save does not fail.  Empty `characters` lift the
        rule for `column`.  Events given to `emit` and `emit_columns` are
        not checked."""
        if not isinstance(column, str) or not isinstance(characters, str):
            raise TypeError(f"refuse_text() takes a column name and characters as str, not "
                            f"{type(column).__name__} and {type(characters).__name__}")
        self._native.refuse_text(column, characters)

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
        stream; on a stream made with ``on_drop="block"`` (the default of
        `manual`) it waits for room in the queue, otherwise a drop at
        capacity gives a `Dropped` warning (or `DroppedError`).
        """
        if not isinstance(event, Mapping):
            raise TypeError(f"an event is a dict, got {type(event).__name__}: {event!r:.60}")
        row = event_of(event)
        with self._emit_lock:
            self._check_open(1)
            self._guard.emitting_one(row)
            self._drops_before()
            try:
                if self._on_drop == "block":
                    emit_one_waiting(self._native, row)
                    return
                self._native.emit_json(row)
            except StreamClosedError:
                raise
            except RuntimeError as e:
                raise DataError(columns_of({k: [v] for k, v in row.items()}).locate_bad_value()) from e
            dropped = self._new_drops(1)
        if dropped:
            self._report_drops(dropped, 1, 1)

    def emit_columns(self, data: Any, *, chunk_rows: int = DEFAULT_CHUNK_ROWS) -> int:
        """Offers one event per row of `data` and returns how many were
        accepted: every row with ``on_drop="block"`` (the default of
        `manual`), which waits for room in the queue, chunk by chunk;
        otherwise the rest were dropped at capacity.

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
        is not sent).  A close ends a wait for room with
        `StreamClosedError` (the rows before were sent).
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
            if columns is None:
                self._guard.emitting_arrow(source)
            else:
                self._guard.emitting(columns)
            if self._on_drop == "block":
                native = self._native
                try:
                    if columns is None:
                        emit_waiting(native, lambda a, b: native.emit_arrow(
                            source if b - a == rows else slice_rows(source, a, b)), rows, chunk_rows, self._capacity)
                    else:
                        emit_waiting(native, lambda a, b: native.emit_columns(cast(dict[str, Any], columns.take(a, b))),
                                     rows, chunk_rows, self._capacity)
                except RuntimeError as e:
                    if isinstance(e, StreamClosedError) or columns is None:
                        raise
                    raise DataError(columns.locate_bad_value()) from e
                except ValueError as e:  # the core's refusal of Arrow data names the column
                    if columns is not None:
                        raise
                    raise DataError(str(e)) from None
                return rows
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
        self._guard.running(plan)
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
            else:
                native.clear_ready()  # before the take: a later cut sets it again
            if self._udp:
                self._untimed.scan(native, plan)
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

        Waits on the stream's descriptor (`fileno`) without the interpreter
        lock, so other threads and the event loop keep running, and returns
        as soon as a cut batch gives a result.  `output` is "dict" (column
        name to list), "pandas", "polars" or "arrow"; `datetimes` turns
        ``window_start``/``window_end`` into UTC timestamps.
        """
        checked = as_plan(plan)
        check_output(output)
        timeout = _check_timeout(timeout)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            held, done = self._step(checked, output)
            if held:
                result = convert_result(held[0], output, datetimes, checked.output_columns)
                del held[0]
                return result
            if done:
                return None
            remaining = None if deadline is None else deadline - time.monotonic()
            if remaining is not None and remaining <= 0:
                return None
            _wait_readable(self.fileno(), _idle_wait(checked, remaining))

    @overload
    def batches(self, plan: PlanLike, *, output: Literal["dict"] = ..., datetimes: bool = ...,
                max_wait: float | None = ...) -> Iterator[Batch]: ...
    @overload
    def batches(self, plan: PlanLike, *, output: FrameOutput, datetimes: bool = ...,
                max_wait: float | None = ...) -> Iterator[Any]: ...
    def batches(self, plan: PlanLike, *, output: Output = "dict", datetimes: bool = False,
                max_wait: float | None = None) -> Iterator[Any]:
        """Every non-empty result of `plan`, until the stream is closed and
        fully drained (every accepted event delivered once, the open windows
        flushed).

        Between results the generator waits on the stream's descriptor
        without the interpreter lock, as `poll` does, so other threads keep
        running and Ctrl-C is seen at once; nothing wakes it but a cut batch
        or the close.  With `max_wait` (seconds) it also looks again at least
        that often; for a plan with ``close_idle_after`` it looks again by
        itself, so that the windows of a quiet feed come out.  `output` and `datetimes` as for `poll`.
        The plan is checked when this is called, not at the first item.
        A result the core handed over before an exception (Ctrl-C, a failed
        conversion) stopped the loop comes first from the next `batches`,
        `abatches` or `poll` of this thread with this plan.
        """
        return self._batches(*_prepare(plan, output, max_wait), output, datetimes)

    def _batches(self, plan: Plan, max_wait: float | None, output: Output,
                 datetimes: bool) -> Iterator[Any]:
        while True:
            held, done = self._step(plan, output)
            if held:
                result = convert_result(held[0], output, datetimes, plan.output_columns)
                del held[0]  # nothing between here and the yield can raise
                yield result
            elif done:
                return
            else:
                _wait_readable(self.fileno(), max_wait)

    @overload
    def abatches(self, plan: PlanLike, *, output: Literal["dict"] = ..., datetimes: bool = ...,
                 max_wait: float | None = ...) -> AsyncIterator[Batch]: ...
    @overload
    def abatches(self, plan: PlanLike, *, output: FrameOutput, datetimes: bool = ...,
                 max_wait: float | None = ...) -> AsyncIterator[Any]: ...
    def abatches(self, plan: PlanLike, *, output: Output = "dict", datetimes: bool = False,
                 max_wait: float | None = None) -> AsyncIterator[Any]:
        """`batches` as an async iterator: ``async for batch in
        stream.abatches(plan)``.  It waits as a reader of the running loop
        on the stream's descriptor (no thread, no timer) and hands the loop
        back after every result, so other tasks keep running; any number of
        streams, and iterators of one stream, can wait in one loop (for
        instance under ``asyncio.gather``)."""
        return self._abatches(*_prepare(plan, output, max_wait), output, datetimes)

    async def _abatches(self, plan: Plan, max_wait: float | None, output: Output,
                        datetimes: bool) -> AsyncIterator[Any]:
        while True:
            held, done = self._step(plan, output)
            if held:
                result = convert_result(held[0], output, datetimes, plan.output_columns)
                del held[0]
                yield result
                await asyncio.sleep(0)
            elif done:
                return
            else:
                await self._readable(max_wait)

    async def _readable(self, timeout: float | None) -> None:
        """Returns once the readiness descriptor is readable, or after
        `timeout` seconds (None: no limit).  All waiters of one loop share
        one reader, which is removed at the first wake (the descriptor stays
        readable until a take clears it, so a reader left in place would
        fire again and again)."""
        loop = asyncio.get_running_loop()
        waiters = self._async_waiters.get(loop)
        if waiters is None:
            waiters = self._async_waiters[loop] = set()
            loop.add_reader(self.fileno(), self._wake_waiters, loop, waiters)
        future: asyncio.Future[None] = loop.create_future()
        waiters.add(future)
        try:
            if timeout is None:
                await future
            else:
                await asyncio.wait((future,), timeout=timeout)
        finally:
            waiters.discard(future)
            if not waiters and self._async_waiters.get(loop) is waiters:
                del self._async_waiters[loop]
                loop.remove_reader(self.fileno())

    def _wake_waiters(self, loop: asyncio.AbstractEventLoop, waiters: set[asyncio.Future[None]]) -> None:
        if self._async_waiters.get(loop) is waiters:
            del self._async_waiters[loop]
            loop.remove_reader(self.fileno())
        for future in waiters:
            if not future.done():
                future.set_result(None)

    @overload
    def late(self, *, output: Literal["dict"] = ..., datetimes: bool = ...) -> Batch | None: ...
    @overload
    def late(self, *, output: FrameOutput, datetimes: bool = ...) -> Any: ...
    def late(self, *, output: Output = "dict", datetimes: bool = False) -> Any:
        """The late rows kept by plans made with ``keep_late=True`` since the
        last call, oldest first, as one result (None when there are none);
        they are handed out once.

        A row is late when its event time plus the plan's lateness is below
        the watermark; such rows are counted in ``late_events`` and, with
        ``drop_late`` (the default), dropped -- or, with ``keep_late``, kept
        for this method.  Each keeps its own columns (not projected by
        ``select``); the rows of a windowed plan also carry the window they
        missed as ``window_start`` and ``window_end`` (replacing columns of
        those names); a row that came before the stream had fixed its window
        origin lacks them (None in a result where other rows have them).  At
        most 100,000 rows wait; later late rows are dropped and counted in
        ``late_rows_over_cap``.  Kept rows are not in checkpoints, and
        loading one leaves them here.  `output` and `datetimes` as for
        `poll`; rows whose conversion failed come first from this thread's
        next call.
        """
        check_output(output)
        native = self._native
        # Per thread, as `_step` holds results: kept rows taken from the core
        # whose conversion failed wait for this thread's next call.
        try:
            held: collections.deque[Any] = self._thread.late_held
        except AttributeError:
            held = self._thread.late_held = collections.deque()
        if not held:
            take = native.take_late_rows_arrow if wants_arrow(output) else native.take_late_rows
            with self._poll_lock:
                # From the core into `held` inside C code, as `_step` does.
                # The second call finds the queue empty and ends the loop.
                held.extend(iter(take, None))
        if not held:
            return None
        result = convert_result(held[0], output, datetimes)
        del held[0]
        return result

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
        checked = as_plan(plan)
        raw = checked._raw
        check_output(output)
        source = arrow_source(data)
        if source is not None:
            try:
                with self._poll_lock:
                    arrow = self._native.aggregate_arrow(source, cast(dict[str, Any], raw))
            except ValueError as e:  # the core's refusal names the column
                raise DataError(str(e)) from None
            return convert_result(arrow, output, datetimes, checked.output_columns)
        columns = columns_of(data)
        check_columns(columns, checked)
        try:
            with self._poll_lock:
                result = self._native.aggregate_columns(columns.take(0, columns.rows),
                                                        cast(dict[str, Any], raw))
        except RuntimeError as e:
            raise DataError(columns.locate_bad_value()) from e
        return convert_result(result, output, datetimes, checked.output_columns)

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
        cut a chunk within `timeout` seconds.  An error raised after some
        chunks went through carries what they produced as its ``results``
        attribute (a batch, or None): the stream does not return it again.
        """
        checked = as_plan(plan)
        raw = checked._raw
        if self.address != ("manual", 0):
            raise StateError("process() is for a manual stream: on a UDP stream other events arrive in between")
        columns = columns_of(data)
        self._guard.processing(columns, checked)
        size = min(self._batch_size, self._capacity)
        results: list[Batch] = []
        native = self._native
        with self._emit_lock:
            try:
                for start in range(0, columns.rows, size):
                    self._check_open(columns.rows - start)
                    cuts = native.stats()["microbatches_emitted"]
                    try:
                        stop = min(start + size, columns.rows)
                        native.emit_columns(columns.take(start, stop))
                    except RuntimeError as e:
                        sent = (f"; rows 0 to {start - 1} were processed (their results are the error's "
                                "results)") if start else ""
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
            except (MovraError, TimeoutError) as e:
                # What earlier chunks produced has left the core: it goes with the error.
                setattr(e, "results", _joined(results, checked.output_columns))
                raise
        return _joined(results, checked.output_columns)

    # ------------------------------------------------------------ checkpoints

    def save_checkpoint(self, path: str | os.PathLike[str]) -> None:
        """Writes the event-time state (greatest event time, window origin,
        event ids seen, open windows) to `path`, atomically.  Raises
        `CheckpointError` saying why a save failed."""
        p = _path(path)
        try:
            self._native.save_checkpoint(p)
        except RuntimeError as e:
            raise CheckpointError(f"cannot write checkpoint {p!r}: {_write_failure(p, self._native.save_errno())}",
                                  p) from e

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
        origin 0 (not counted in `stats`).  Raises `StateError` otherwise; a second call does
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
                self._aligning["checkpoint_saves"] += 1
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
                self._aligning["checkpoint_loads"] += 1
            finally:
                os.unlink(tmp)


def _joined(results: list[Batch], columns: Sequence[str] | None = None) -> Batch | None:
    """Results one after another as one (a column a result lacks is None
    there), the columns in the order `columns` gives (see
    `convert_result`)."""
    if len(results) < 2:
        return cast(Batch, convert_result(results[0], "dict", False, columns)) if results else None
    names = dict.fromkeys(name for r in results for name in r)
    out: Batch = {name: [] for name in sorted(names)}
    for r in results:
        rows = len(next(iter(r.values())))
        for name, values in out.items():
            values.extend(r.get(name) or [None] * rows)
    return cast(Batch, convert_result(out, "dict", False, columns))


def _path(path: str | os.PathLike[str]) -> str:
    p = os.fspath(path)
    if not isinstance(p, str):
        raise TypeError(f"a checkpoint path is a str or os.PathLike of str, got {path!r}")
    if "\0" in p:
        raise ValueError(f"a checkpoint path cannot hold a NUL character: {p!r}")
    return p


def _write_failure(path: str, code: int) -> str:
    """Why a checkpoint could not be written to `path`: the core's errno of
    the failed save (`code`; 0 when the state holds text a checkpoint cannot
    hold), told in the words of the case where it helps."""
    if code == 0:
        return ("the state holds an event id or group text with a line feed (or a group with a tab), which a "
                "checkpoint cannot hold")
    directory = os.path.dirname(os.path.abspath(path))
    if code in (errno.ENOENT, errno.ENOTDIR) and not os.path.isdir(directory):
        return (f"{directory!r} is not a directory" if os.path.exists(directory)
                else f"the directory {directory!r} does not exist")
    if code == errno.EISDIR:
        return "it is a directory"
    if code == errno.EINVAL and os.path.exists(path) and not os.path.isfile(path):
        return "it is not a regular file"
    if code in (errno.EACCES, errno.EPERM):
        return f"no permission to write in {directory!r}"
    reason = os.strerror(code)
    if code in (errno.ENOSPC, errno.EDQUOT):
        try:
            fs = os.statvfs(directory)
            reason += f" ({fs.f_bavail * fs.f_frsize:,} bytes free in {directory!r})"
        except OSError:
            pass
    return reason


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
        epoch_windows: bool = True) -> Stream:
    """A stream that receives UDP datagrams, each one or more flat JSON
    objects, on `host`:`port` (a dotted IPv4 address; port 0 picks a free
    port, see `Stream.address`).  It takes `emit` and `emit_columns` too.

    Every `linger_ms` the stream's worker cuts at most `batch_size` pending
    events into a batch; at most `capacity` events wait, and further events
    are dropped and counted.  `on_drop` decides whether drops seen by an emit
    warn (`Dropped`) or raise (`DroppedError`); a UDP stream cannot wait
    (``"block"`` is for `manual` streams).  `epoch_windows` (the default)
    aligns windows to the epoch, as ``pandas.Timestamp.floor`` and the
    ``movra`` command do (see `Stream.align_windows_to_epoch`); False
    anchors the grid at the first event time.

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
           capacity: int = DEFAULT_CAPACITY, on_drop: OnDrop = "block", epoch_windows: bool = True) -> Stream:
    """A stream fed only by `Stream.emit` and `Stream.emit_columns`; the
    keywords are those of `udp`, but for two defaults.  ``on_drop="block"``:
    an emit waits (without holding the interpreter lock) until the pending
    queue has room, so no row is dropped; a close ends the wait with
    `StreamClosedError`.  ``"warn"`` and ``"raise"`` drop at capacity as a
    UDP stream does.  ``epoch_windows=True``: windows lie on the epoch grid;
    pass False to anchor them at the first event time."""
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
