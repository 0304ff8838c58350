"""The package's exceptions and its warnings.

The errors about plans, data, binds, checkpoints and the stream's state
derive from `MovraError` and from the built-in class a caller would expect
(ValueError for a bad plan value, OSError for a failed bind, ...), so both
``except movra.MovraError`` and the built-in class catch them.  A bad argument
of a call (a port out of range, an unknown ``output``) raises a plain
ValueError, and a wrong type a plain TypeError.  Messages name the offending
key or value.
"""

from __future__ import annotations


class MovraError(Exception):
    """Base class of the errors about plans, data, binds, checkpoints and the
    stream's state."""


class PlanError(MovraError, ValueError):
    """A plan value the engine would misread: an unknown filter operator, a
    name that collides with an output column, a negative watermark, a window
    that is not a whole number of seconds, ...  Wrong types in a plan raise
    TypeError instead."""


class DataError(MovraError, ValueError):
    """Event data that cannot be sent without changing its meaning: a value
    of an unsupported type, an integer outside 64 bits, columns of different
    lengths, a "timestamp" that is not epoch milliseconds, ..."""


class BindError(MovraError, OSError):
    """The UDP socket could not be bound.  ``errno`` and ``strerror`` carry
    the operating system's reason (when it could be found), ``address`` the
    (host, port) asked for."""

    address: tuple[str, int]

    def __init__(self, errno: int | None, message: str, address: tuple[str, int]) -> None:
        if errno is None:
            super().__init__(message)
        else:
            super().__init__(errno, message)
        self.address = address


class CheckpointError(MovraError, RuntimeError):
    """A checkpoint could not be written or read, or the file given to load
    is not a checkpoint.  ``path`` is the file; the underlying OSError, when
    there is one, is the exception's ``__cause__``."""

    path: str

    def __init__(self, message: str, path: str) -> None:
        super().__init__(message)
        self.path = path


class StateError(MovraError, RuntimeError):
    """The operation does not fit the stream's state, such as aligning the
    windows of a stream that has already processed events."""


class StreamClosedError(StateError):
    """Events were offered to a closed stream (a closed stream never takes
    events again)."""


class DroppedError(MovraError):
    """Raised instead of the `Dropped` warning by a stream made with
    ``on_drop="raise"``: events were dropped because the stream's pending
    queue was full.  ``count`` is how many; ``offered`` how many rows of
    the call had been offered when the drop was seen (rows after that were
    not sent)."""

    count: int
    offered: int

    def __init__(self, message: str, count: int, offered: int) -> None:
        super().__init__(message)
        self.count = count
        self.offered = offered


class Dropped(UserWarning):
    """Warning: events were dropped because the stream's pending queue held
    ``capacity`` events.  ``count`` is how many.  Turn it into an error with
    ``on_drop="raise"`` or the warnings filter."""

    count: int

    def __init__(self, message: str, count: int) -> None:
        super().__init__(message)
        self.count = count


class MissingColumn(UserWarning):
    """Warning: a column a plan reads (its ``mean``, ``by``, ``dedup``,
    ``time_field`` or a filter's field) is in none of the events the stream
    was given, so the plan would silently give no windows, one group, no
    de-duplication or no rows.  Given once per stream and column; the text
    names the nearest column names.  ``column`` is the missing name."""

    column: str

    def __init__(self, message: str, column: str) -> None:
        super().__init__(message)
        self.column = column
