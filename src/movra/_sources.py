"""Events from JSON-lines and CSV files, with byte offsets to resume from.

A JSON-lines file holds one flat JSON object per line (values are strings,
numbers, true, false or null); a CSV file has a header line and one record
per line, whose unquoted fields are read as the datagram format reads
unquoted values: empty or ``null`` is null, ``true``/``false`` a bool,
digits an int, a number with a point or exponent a float, anything else
text.  A quoted field is text (``"02134"`` stays 02134), and a schema
(``--schema zip=str,delay=float``) names a column's type.  Blank lines
are skipped; other lines that cannot be read are skipped, counted and
logged.  Records span one line each: a CSV record with a line feed inside
quotes is not supported, and all of its lines are skipped.

`LineSource` reads such a file (or standard input) in chunks from a byte
offset and reports the offset after each chunk, so a reader can resume
exactly where a checkpoint says.
"""

from __future__ import annotations

import csv
import hashlib
import json
import os
import re
import select
import sys
from typing import IO, Any, Final, Literal

from ._log import logger
from ._schema import Schema, ends_in_quotes, read_field, split_csv_line

__all__ = ["MAX_LINE", "Chunk", "InputFormat", "LineSource", "columns_of_rows", "file_identity", "format_of"]

InputFormat = Literal["jsonl", "csv"]

_BLOCK: Final = 1 << 20
#: The longest line read as an event; longer ones are skipped and counted.
MAX_LINE: Final = 16 << 20
# Skipped lines logged one by one; the rest are only counted.
_LOGGED_SKIPS: Final = 5
# Bytes of a file's start that its identity covers.
_HEAD: Final = 4096
_INT: Final = re.compile(r"[+-]?\d+")
_INT64: Final = range(-(2**63), 2**63)
_SCALARS: Final = (str, int, float, bool, type(None))


def format_of(path: str | None) -> InputFormat:
    """"csv" for a name ending in .csv, else "jsonl"."""
    return "csv" if path is not None and path.lower().endswith(".csv") else "jsonl"


def _json_row(line: bytes) -> dict[str, Any] | None:
    try:
        row = json.loads(line)
    except ValueError:
        return None
    if not isinstance(row, dict):
        return None
    for key, value in row.items():
        if not isinstance(value, _SCALARS):
            return None
        if type(value) is int and value not in _INT64:
            row[key] = str(value)  # as the datagram parser keeps an integer beyond 64 bits
    return row


def _csv_value(text: str) -> Any:
    if text in ("", "null"):
        return None
    if text in ("true", "false"):
        return text == "true"
    if _INT.fullmatch(text):
        value = int(text)
        return value if value in _INT64 else text
    if "." in text or "e" in text or "E" in text:
        try:
            return float(text)
        except ValueError:
            return text
    return text


def columns_of_rows(rows: list[dict[str, Any]]) -> dict[str, list[Any]]:
    """Rows as a dict of columns; a row without a column holds None there
    (which the engine treats as it treats a missing column: a null filter
    value, id, group or mean, and a wall-clock time)."""
    keys: dict[str, None] = {}
    first = rows[0].keys() if rows else ()
    for row in rows:
        if row.keys() != first:
            keys.update(dict.fromkeys(row))
    if not keys:
        return {key: [row[key] for row in rows] for key in first}
    keys = dict.fromkeys(first) | keys
    return {key: [row.get(key) for row in rows] for key in keys}


def file_identity(path: str, offset: int) -> dict[str, Any] | None:
    """What tells the file whose first `offset` bytes were read from one
    that later took its name or its place: its device and inode, and a
    digest of its first bytes (up to `offset`, at most 4 KiB).  None when
    `path` cannot be read."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        return _identity_of(fd, os.fstat(fd), offset)
    finally:
        os.close(fd)


def _identity_of(fd: int, st: os.stat_result, offset: int) -> dict[str, Any]:
    head = os.pread(fd, min(offset, _HEAD), 0)
    return {"device": st.st_dev, "inode": st.st_ino, "head": hashlib.sha256(head).hexdigest()}


class Chunk:
    """Rows read from a source: `rows` (dicts), the byte `end` after them
    (where to resume), how many lines were skipped as unreadable, and the
    byte offset at which each row's line starts (`starts`)."""

    __slots__ = ("end", "rows", "skipped", "starts")

    def __init__(self, rows: list[dict[str, Any]], end: int, skipped: int, starts: list[int] | None = None) -> None:
        self.rows = rows
        self.end = end
        self.skipped = skipped
        self.starts = starts if starts is not None else []


class LineSource:
    """Reads events from `path` (None: standard input) from byte `offset`.

    `read` returns a `Chunk` of at most `max_rows` rows, or None when no
    whole line is there yet; `ended` tells when the input is over (never
    with `follow`, where a file is watched for more lines and a last line
    without its line feed waits for it).  A pipe is read as its lines come,
    waiting at most `wait` seconds in a `read`.  On standard input, an
    offset is reached by seeking when it is a file and by reading and
    discarding that many bytes when it is a pipe (the same input piped again
    replays from there).

    A followed file that shrinks (truncated in place) or whose name comes
    to stand for another file (rotated: moved away and created anew) is
    read again from its start, as ``tail -F`` does; `identity` says which
    file the offsets belong to.  A line longer than `max_line` bytes is
    skipped and counted without being held in memory.  Skipped lines are
    counted in `skipped`; the first few are logged, then only a count.
    """

    def __init__(self, path: str | None, fmt: InputFormat, offset: int = 0, *, follow: bool = False,
                 wait: float = 0.1, max_line: int = MAX_LINE, schema: Schema | None = None) -> None:
        self.name = "standard input" if path is None else path
        self._path = path
        self._follow = follow
        self._wait = wait
        self._max_line = max_line
        if path is None and (sys.stdin is None or getattr(sys.stdin, "buffer", None) is None):
            raise ValueError("standard input is closed: give a file, or pipe the events in")
        self._file: IO[bytes] = sys.stdin.buffer if path is None else open(path, "rb")  # noqa: SIM115
        self._owned = path is not None
        self._buffer = bytearray()
        self._newlines = 0  # line feeds in self._buffer
        self._tail = 0  # bytes of self._buffer after its last line feed
        self._discarding = False  # inside a line longer than max_line, which is dropped as it comes
        self._position = 0  # the byte offset of self._buffer[0]
        self._ended = False
        self._line = 0  # lines consumed, for messages (counted from the offset)
        self._header: list[str] | None = None
        self._pending_skips = 0
        self._identity: tuple[tuple[int, int, int], dict[str, Any]] | None = None
        self._head = b""  # the file's first bytes as they were read, to notice a rewrite
        self._caught_up = False  # a followed file's last read found nothing more
        self.skipped = 0
        self._logged = 0
        self._schema = schema or {}
        # A CSV record whose quoted field ran past its line end is being
        # skipped, line by line, until its quote closes.
        self._in_quotes = False
        try:
            self._pipe = not self._file.seekable()
            if fmt == "csv":
                header = self._read_line()
                if header is None:
                    raise ValueError(f"{self.name} has no CSV header line")
                try:
                    # utf-8-sig: spreadsheets write a byte order mark first,
                    # which would otherwise stick to the first column's name.
                    text = header.decode("utf-8-sig")
                except UnicodeDecodeError:
                    raise ValueError(f"{self.name}: the CSV header line is not UTF-8 text: {header[:60]!r}") from None
                self._header = next(csv.reader([text]))
                unknown = [name for name in self._schema if name not in self._header]
                if unknown:
                    raise ValueError(f"the schema names {', '.join(map(repr, unknown))}, which the CSV header "
                                     f"of {self.name} lacks; its columns are {', '.join(self._header)}")
            if offset > self._position:
                self._skip_to(offset)
        except BaseException:
            self.close()
            raise

    @property
    def offset(self) -> int:
        """The byte offset after the last row handed out."""
        return self._position

    @property
    def ended(self) -> bool:
        """True once the input is over and every line has been read."""
        return self._ended and not self._buffer

    def identity(self, offset: int) -> dict[str, Any] | None:
        """The `file_identity` of the file being read, for `offset`; None
        for standard input."""
        if self._path is None:
            return None
        fd = self._file.fileno()
        st = os.fstat(fd)
        key = (st.st_dev, st.st_ino, min(offset, _HEAD))
        if self._identity is None or self._identity[0] != key:
            self._identity = key, _identity_of(fd, st, offset)
        return self._identity[1]

    def close(self) -> None:
        if self._owned:
            self._file.close()

    def _fill(self) -> bool:
        """Reads what is there (a pipe: waiting at most `wait` seconds);
        False when nothing was, or when a line too long to keep waits behind
        whole lines, which are to be taken first."""
        if self._pipe:
            fd = self._file.fileno()
            if not select.select([fd], [], [], self._wait)[0]:
                return False
            block = os.read(fd, _BLOCK)
        else:
            # A followed file that was read to its end is looked at before
            # reading on, so that one written anew past that end is not read
            # from the middle.
            if self._caught_up and self._newlines == 0 and self._reopened():
                self._caught_up = False
                return True
            block = self._file.read(_BLOCK)
            self._caught_up = self._follow and not block
        if not block:
            if self._follow and not self._pipe and self._newlines == 0 and self._reopened():
                self._caught_up = False
                return True
            self._ended = not self._follow
            if self._ended and self._discarding:
                self._discarding = False
                self._pending_skips += self._skip(0, f"longer than {self._max_line:,} bytes", count_line=True)
            return False
        if self._discarding:
            end = block.find(b"\n")
            if end < 0:
                self._position += len(block)
                return True
            self._position += end + 1
            self._discarding = False
            self._pending_skips += self._skip(0, f"longer than {self._max_line:,} bytes", count_line=True)
            block = block[end + 1:]
        self._buffer += block
        self._newlines += block.count(b"\n")
        last = block.rfind(b"\n")
        self._tail = self._tail + len(block) if last < 0 else len(block) - last - 1
        if not self._newlines and len(self._buffer) > self._max_line:
            # Not kept: a line this long would be held whole and parsed whole.
            self._position += len(self._buffer)
            self._buffer.clear()
            self._tail = 0
            self._discarding = True
        elif self._tail > self._max_line:
            return False  # the whole lines before it go first; then it is dropped
        return True

    def _reopened(self) -> bool:
        """At the end of a followed file: whether it was truncated or its
        name now stands for another file, and so is read from the start
        again."""
        assert self._path is not None
        fd = self._file.fileno()
        here = os.fstat(fd)
        read_to = self._position + len(self._buffer)
        try:
            there = os.stat(self._path)
        except OSError:
            return False  # moved away, the new one not there yet
        if (there.st_dev, there.st_ino) != (here.st_dev, here.st_ino):
            try:
                new = open(self._path, "rb")  # noqa: SIM115
            except OSError:
                return False
            # Lines written to the old file after the last read come first.
            rest = self._file.read(_BLOCK)
            if rest:
                new.close()
                self._buffer += rest
                self._newlines += rest.count(b"\n")
                last = rest.rfind(b"\n")
                self._tail = self._tail + len(rest) if last < 0 else len(rest) - last - 1
                return True
            self._file.close()
            self._file = new
            why = "was replaced (rotated)"
        elif here.st_size < read_to:
            self._file.seek(0)
            why = f"shrank from {read_to:,} to {here.st_size:,} bytes (truncated)"
        elif self._rewritten(fd, read_to):
            # Truncated and written again past where it was read, between
            # two looks: its size alone does not tell.
            self._file.seek(0)
            why = "was written anew from its start (truncated and refilled)"
        else:
            return False
        if self._buffer:
            self._pending_skips += self._skip(0, f"an unfinished last line of {len(self._buffer):,} bytes, "
                                                 "cut off when the file changed", count_line=True)
        logger.warning("%s %s: reading it from the start", self.name, why)
        self._identity = None
        self._head = b""
        self._buffer.clear()
        self._newlines = 0
        self._tail = 0
        self._discarding = False
        self._position = 0
        self._line = 0
        return True

    def _rewritten(self, fd: int, read_to: int) -> bool:
        """Whether the first bytes of the file (at most 4 KiB of those read)
        are no longer those it held when they were first seen."""
        now = os.pread(fd, max(len(self._head), min(read_to, _HEAD)), 0)
        if not now.startswith(self._head):
            return True
        self._head = now  # more of it seen, at the end of what was read
        return False

    def _read_line(self) -> bytes | None:
        while not self._newlines and not self._ended:
            self._fill()
        if not self._buffer:
            return None
        end = self._buffer.find(b"\n")
        if end < 0:
            end = len(self._buffer)
            self._tail = 0
        else:
            end += 1
            self._newlines -= 1
        line = bytes(self._buffer[:end])
        del self._buffer[:end]
        self._position += end
        return line

    def _skip_to(self, offset: int) -> None:
        if not self._pipe:
            size = os.fstat(self._file.fileno()).st_size
            if size < offset:
                raise ValueError(f"{self.name} holds {size} bytes, fewer than the offset {offset} to resume "
                                 "from: it is not the input the checkpoint was made from")
            self._file.seek(offset)
            self._buffer.clear()
            self._newlines = self._tail = 0
            self._position = offset
            return
        while self._position + len(self._buffer) < offset:
            if not self._fill() and self._ended:
                raise ValueError(f"{self.name} ended after {self._position + len(self._buffer)} bytes, before "
                                 f"the offset {offset} to resume from")
        del self._buffer[:offset - self._position]
        self._newlines = self._buffer.count(b"\n")
        self._tail = len(self._buffer) - self._buffer.rfind(b"\n") - 1
        self._position = offset

    def read(self, max_rows: int) -> Chunk | None:
        """Up to `max_rows` rows, or None (see the class)."""
        if self._pipe:  # what has come, without waiting for a whole chunk
            if self._newlines < max_rows:
                self._fill()
        else:
            while self._newlines < max_rows and self._fill():
                pass
        buffer = self._buffer
        if self._newlines:
            taken = min(self._newlines, max_rows)
            if taken == self._newlines:
                used = buffer.rfind(b"\n") + 1
            else:
                used = 0
                for _ in range(taken):
                    used = buffer.index(b"\n", used) + 1
            lines = bytes(buffer[:used - 1]).split(b"\n")
            self._newlines -= taken
        elif buffer and self._ended:
            used = len(buffer)  # the last line, without a line feed
            lines = [bytes(buffer)]
            self._tail = 0
        else:
            if self._pending_skips:
                skipped, self._pending_skips = self._pending_skips, 0
                return Chunk([], self._position, skipped)
            return None
        start = self._position
        del buffer[:used]
        self._position += used
        rows, starts, skipped = self._parse(lines, start)
        self._line += len(lines)
        skipped += self._pending_skips
        self._pending_skips = 0
        return Chunk(rows, self._position, skipped, starts)

    def _parse(self, lines: list[bytes], start: int) -> tuple[list[dict[str, Any]], list[int], int]:
        rows: list[dict[str, Any]] = []
        starts: list[int] = []
        skipped = 0
        header = self._header
        kinds = [self._schema.get(name) for name in header] if header is not None else []
        at = start
        for number, line in enumerate(lines):
            here, at = at, at + len(line) + 1
            if len(line) > self._max_line:
                skipped += self._skip(number, f"longer than {self._max_line:,} bytes")
                continue
            if header is not None:
                try:
                    text = line.decode("utf-8").rstrip("\r")
                except UnicodeDecodeError as e:
                    skipped += self._skip(number, f"not UTF-8 text (byte {e.start}): {line[:60]!r}")
                    continue
                # The halves of a record with a line feed inside quotes would
                # each read as a record of their own, the second one wrong.
                if self._in_quotes:
                    self._in_quotes = ends_in_quotes(text, True)
                    skipped += self._skip(number, "the rest of a quoted field that spans lines")
                    continue
                if ends_in_quotes(text):
                    self._in_quotes = True
                    skipped += self._skip(number, "a quoted field runs past the end of the line (a line feed "
                                                  f"inside quotes is not supported): {line[:60]!r}")
                    continue
                if not text:
                    continue
                fields = split_csv_line(text)
                if here == 0:
                    # The header line of a file that took the place of the
                    # one read first (rotated or truncated).
                    names = [name for name, _ in fields]
                    if names != header:
                        logger.warning("%s: the file read from its start again has another header, %s; its "
                                       "rows are read with it", self.name, ",".join(names))
                        header = self._header = names
                        kinds = [self._schema.get(name) for name in header]
                    continue
                if len(fields) != len(header):
                    skipped += self._skip(number, f"{len(fields)} fields where the header has {len(header)}")
                    continue
                try:
                    rows.append({k: read_field(v, quoted, kind, _csv_value)
                                 for k, (v, quoted), kind in zip(header, fields, kinds)})
                except ValueError as e:
                    skipped += self._skip(number, str(e))
                    continue
                starts.append(here)
                continue
            row = _json_row(line)
            if row is None:
                if line.strip():
                    skipped += self._skip(number, f"not a flat JSON object: {line[:60]!r}")
                continue
            rows.append(row)
            starts.append(here)
        return rows, starts, skipped

    def _skip(self, number: int, why: str, *, count_line: bool = False) -> int:
        self.skipped += 1
        self._logged += 1
        if count_line:
            self._line += 1
            number = -1
        if self._logged <= _LOGGED_SKIPS:
            logger.warning("%s: line %d after the start skipped: %s", self.name, self._line + number + 1, why)
            if self._logged == _LOGGED_SKIPS:
                logger.warning("%s: further skipped lines are counted, not logged", self.name)
        return 1
