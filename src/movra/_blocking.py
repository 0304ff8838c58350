"""Emits that wait for room instead of dropping (``on_drop="block"``).

A manual stream is fed by the program itself, which can wait; so its emits
wait until the pending queue can take the rows rather than lose them.  The
wait is ``NativeStream.wait_for_room``, which releases the interpreter lock
and wakes when the worker cuts a batch or the stream is closed; it is called
in slices of `_SLICE_MS`, so Ctrl-C is seen between two slices.

Rows go in chunks of at most ``capacity`` rows: each waits until a quarter
of the queue (or the whole rest of the rows) is free and then fills what is
free, so the queue never runs dry while a large frame goes in.  Should
another producer take that room first (a thread calling ``stream.native``
directly), the core keeps the first rows that fit and drops the rest; those
are the chunk's last rows, and they are offered again.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Final

import _movra

from ._errors import StreamClosedError

__all__ = ["emit_waiting"]

_SLICE_MS: Final = 100


def _wait_for_room(native: _movra.NativeStream, rows: int, sent: int, total: int) -> int:
    """The free places of the pending queue, once there are at least `rows`
    (at most its capacity); raises `StreamClosedError` when the stream is
    closed first."""
    while True:
        room = native.wait_for_room(rows, _SLICE_MS)
        if native.is_closed():
            raise StreamClosedError(f"the stream was closed while events waited for room: "
                                    f"{sent} of {total} event(s) sent, {total - sent} not sent")
        if room >= rows:
            return room


def emit_waiting(native: _movra.NativeStream, offer: Callable[[int, int], Any], rows: int,
                 chunk_rows: int, capacity: int) -> None:
    """Offers rows 0 to `rows` - 1, ``offer(start, stop)`` sending a range
    to the core, in chunks of at most `chunk_rows` rows and of the room
    in the queue (see the module text).  Raises `StreamClosedError` when
    the stream is closed before every row was queued (the rows before that
    were), and RuntimeError from the core for values it refuses."""
    step = max(1, min(chunk_rows, capacity))
    enough = max(1, capacity // 4)
    dropped_seen = native.stats()["dropped"]
    start = 0
    while start < rows:
        want = min(step, rows - start)
        room = _wait_for_room(native, min(want, enough), start, rows)
        stop = start + min(want, room)
        offer(start, stop)
        dropped = native.stats()["dropped"]
        refused = min(dropped - dropped_seen, stop - start)
        dropped_seen = dropped
        start = stop - refused  # the refused rows are the chunk's last ones


def emit_one_waiting(native: _movra.NativeStream, row: dict[str, Any]) -> None:
    """Offers one event once the queue has room for it (see `emit_waiting`)."""
    while True:
        _wait_for_room(native, 1, 0, 1)
        dropped = native.stats()["dropped"]
        native.emit_json(row)
        if native.stats()["dropped"] == dropped:
            return
