"""Recognising and writing checkpoint files.

The native reader takes any text as a checkpoint (labels are not compared,
unreadable numbers count as 0) and replaces the stream's whole state with
what it made of it, so a data file or an empty file loaded by mistake wipes
the state.  `inspect_checkpoint` checks the layout the writer produces
before a load:

    max_event_time<TAB><int64>
    window_origin<TAB><int64>
    seen_event_ids<TAB><N>
    <id>                      N lines
    window_state<TAB><M>
    <key><TAB><sum><TAB><count><TAB><start><TAB><end><TAB><group>    M lines
    [aggs_state<TAB>1<TAB><K>                 the windows of an aggregate plan,
     K lines: signature, window, by, agg,     only while some are open
     seq, group and slot lines]

The ids and windows are checked by counting lines, and the window lines by
their fields, walking back from the end of the file, so the check costs a
fraction of the load itself.
"""

from __future__ import annotations

import re
from typing import Final, NamedTuple

__all__ = ["HEAD_BYTES", "UNSET", "CheckpointInfo", "begins_as_checkpoint", "inspect_checkpoint",
           "origin_only_checkpoint", "without_extension"]

#: The value of an unset time in a checkpoint (the smallest 64-bit integer).
UNSET: Final = -(2**63)

#: Enough bytes for the three header lines.
HEAD_BYTES: Final = 256

_HEADER = re.compile(rb"max_event_time\t(-?\d{1,19})\nwindow_origin\t(-?\d{1,19})\nseen_event_ids\t(\d{1,19})\n")
_WINDOWS = re.compile(rb"window_state\t(\d{1,19})")
_WINDOW_LINE = re.compile(rb"[^\t]*\t[^\t]+\t\d+\t-?\d+\t-?\d+\t")
_EXTENSION = re.compile(rb"aggs_state\t1\t(\d{1,19})\n")
_EXTENSION_LABELS = (b"signature", b"window", b"by", b"agg", b"seq", b"group", b"slot")


class CheckpointInfo(NamedTuple):
    """What a checkpoint file holds: the greatest event time and the window
    origin (None when unset), and how many event ids and open windows."""

    max_event_time: int | None
    window_origin: int | None
    event_ids: int
    windows: int
    #: Open windows of an aggregate plan (panes of hopping windows, sessions).
    aggregate_windows: int = 0


def begins_as_checkpoint(head: bytes) -> bool:
    """Whether `head`, the first `HEAD_BYTES` of a file (or all of a shorter
    one), begins with the checkpoint header; a file that does not is not
    read further."""
    return _HEADER.match(head) is not None


def inspect_checkpoint(data: bytes) -> CheckpointInfo:
    """The summary of checkpoint text, or ValueError saying why `data` is
    not a checkpoint."""
    if not data:
        raise ValueError("the file is empty")
    header = _HEADER.match(data)
    if header is None:
        first = data.split(b"\n", 1)[0]
        if first.endswith(b"\r"):
            raise ValueError("its lines end in CR LF (a copy with Windows line ends?); "
                             "checkpoints have LF only")
        raise ValueError(f"it does not begin with the checkpoint header (its first line reads {first[:60]!r})")
    max_time, origin, ids = (int(g) for g in header.groups())
    for label, value in (("max_event_time", max_time), ("window_origin", origin)):
        if not UNSET <= value < 2**63:
            raise ValueError(f"its {label} {value} does not fit in 64 bits")
    if not data.endswith(b"\n"):
        raise ValueError("it does not end with a line feed (a truncated file?)")
    data, slots = _check_extension(data)
    lines = data.count(b"\n")
    # The id lines, the window_state line, then the window lines.
    windows = lines - 3 - ids - 1
    if windows < 0:
        raise ValueError(f"it announces {ids} event ids but holds only {max(lines - 4, 0)} lines after its "
                         "header (a truncated file?)")
    end = len(data) - 1  # the final line feed
    for i in range(windows):
        start = data.rfind(b"\n", 0, end) + 1
        if not _WINDOW_LINE.match(data, start, end):
            line = data[start:end][:60]
            raise ValueError(f"line {lines - i} is not a window line: {line!r}")
        end = start - 1
    start = data.rfind(b"\n", 0, end) + 1
    m = _WINDOWS.fullmatch(data, start, end)
    if m is None or int(m.group(1)) != windows:
        raise ValueError("its line count does not match the event ids and windows it announces "
                         "(a truncated or edited file?)")
    return CheckpointInfo(None if max_time == UNSET else max_time, None if origin == UNSET else origin,
                          ids, windows, slots)


def without_extension(data: bytes) -> bytes:
    """Checkpoint text without the aggregate windows' extension (the text
    itself when it has none)."""
    at = data.rfind(b"\naggs_state\t")
    return data if at < 0 else data[:at + 1]


def _check_extension(data: bytes) -> tuple[bytes, int]:
    """The text before the aggregate windows' extension, and the number of
    open windows the extension holds; ValueError for an extension whose line
    count or labels are not the writer's.  Its strings are escaped, so no
    line of it but the first begins with "aggs_state"."""
    base = without_extension(data)
    if len(base) == len(data):
        return data, 0
    m = _EXTENSION.match(data, len(base))
    if m is None:
        line = data[len(base):].split(b"\n", 1)[0][:60]
        raise ValueError(f"its aggregate windows begin with an unreadable line: {line!r}")
    body = data[m.end():].split(b"\n")[:-1]
    if len(body) != int(m.group(1)):
        raise ValueError(f"its aggregate windows announce {int(m.group(1))} lines but {len(body)} follow "
                         "(a truncated or edited file?)")
    slots = 0
    for line in body:
        label = line.split(b"\t", 1)[0]
        if label not in _EXTENSION_LABELS:
            raise ValueError(f"its aggregate windows hold a line the writer does not write: {line[:60]!r}")
        slots += label == b"slot"
    return base, slots


def origin_only_checkpoint(origin: int) -> bytes:
    """A checkpoint of a fresh state whose windows are anchored at `origin`
    (epoch milliseconds)."""
    return (f"max_event_time\t{UNSET}\nwindow_origin\t{origin}\nseen_event_ids\t0\n"
            "window_state\t0\n").encode()
