"""The package's logger, and what it reports from a stream's counters.

Everything is logged under the ``movra`` logger, which has a NullHandler and
so stays silent unless the application configures logging (the ``movra``
command does, see ``-v``).  Levels: INFO for streams opened and closed,
checkpoints saved and loaded, and late data; WARNING for drops and for a
checkpoint generation that had to be skipped.
"""

from __future__ import annotations

import logging
import time
from collections.abc import Mapping
from typing import Final

__all__ = ["CounterWatch", "logger"]

logger: Final = logging.getLogger("movra")
logger.addHandler(logging.NullHandler())

#: Drops that stop for this long count as over (one line says how many).
_DROPS_QUIET_FOR: Final = 5.0
#: Late events are reported at most this often.
_LATE_EVERY: Final = 60.0


class CounterWatch:
    """Logs, from successive readings of a stream's counters, when drops
    start and when they stop, and late data (at most once a minute)."""

    __slots__ = ("_dropped", "_dropping_since", "_last_drop", "_late", "_late_logged", "_late_reported",
                 "_name")

    def __init__(self, name: str) -> None:
        self._name = name
        self._dropped = 0
        self._dropping_since: int | None = None  # the drop count when drops began
        self._last_drop = 0.0
        self._late = 0
        self._late_reported = 0
        self._late_logged = -_LATE_EVERY

    def update(self, counters: Mapping[str, int], now: float | None = None) -> None:
        """Compares `counters` with the previous reading and logs what
        changed."""
        now = time.monotonic() if now is None else now
        dropped, late = counters["dropped"], counters["late_events"]
        if dropped > self._dropped:
            if self._dropping_since is None:
                self._dropping_since = self._dropped
                logger.warning("%s: events are being dropped: the pending queue is full (%d so far); take "
                               "batches more often or raise the capacity", self._name, dropped)
            self._last_drop = now
        elif self._dropping_since is not None and now - self._last_drop >= _DROPS_QUIET_FOR:
            logger.warning("%s: drops stopped after %d events were dropped", self._name,
                           dropped - self._dropping_since)
            self._dropping_since = None
        self._dropped = dropped
        if late > self._late and now - self._late_logged >= _LATE_EVERY:
            logger.info("%s: %d late events (behind the watermark by more than the allowed lateness) since "
                        "%s", self._name, late - self._late_reported,
                        "the start" if self._late_reported == 0 else "the last report")
            self._late_reported = late
            self._late_logged = now
        self._late = late
