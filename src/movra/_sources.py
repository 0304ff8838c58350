"""Events from JSON-lines and CSV files, with byte offsets to resume from.

A JSON-lines file holds one flat JSON object per line (values are strings,
numbers, true, false or null); a CSV file has a header line and one record
per line, whose unquoted fields are read as the datagram format reads
unquoted values: empty or ``null`` is null, ``true``/``false`` a bool,
digits an int, a number with a point or exponent a float, anything else
text.  A quoted field is text (``"02134"`` stays 02134), and a schema
(``--schema zip=str,delay=float``) names a column's type.  Blank lines
are skipped; other lines that cannot be read are skipped, counted and
logged.  Records span one line each (a CSV field with a line feed inside
quotes is not supported).

`LineSource` reads such a file (or standard input) in chunks from a byte
offset and reports the offset after each chunk, so a reader can resume
exactly where a checkpoint says.
"""

from __future__ import annotations

import csv
import json
import os
import re
import select
import sys
from typing import IO, Any, Final, Literal

from ._log import logger
from ._schema import Schema, read_field, split_csv_line

__all__ = ["Chunk", "InputFormat", "LineSource", "columns_of_rows", "format_of"]

InputFormat = Literal["jsonl", "csv"]

_BLOCK: Final = 1 << 20
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


class Chunk:
    """Rows read from a source: `rows` (dicts), the byte `end` after them
    (where to resume), and how many lines were skipped as unreadable."""

    __slots__ = ("end", "rows", "skipped")

    def __init__(self, rows: list[dict[str, Any]], end: int, skipped: int) -> None:
        self.rows = rows
        self.end = end
        self.skipped = skipped


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
    """

    def __init__(self, path: str | None, fmt: InputFormat, offset: int = 0, *, follow: bool = False,
                 wait: float = 0.1, schema: Schema | None = None) -> None:
        self.name = "standard input" if path is None else path
        self._follow = follow
        self._wait = wait
        self._file: IO[bytes] = sys.stdin.buffer if path is None else open(path, "rb")  # noqa: SIM115
        self._owned = path is not None
        self._buffer = b""
        self._position = 0  # the byte offset of self._buffer[0]
        self._ended = False
        self._line = 0  # lines consumed, for messages (counted from the offset)
        self._header: list[str] | None = None
        self._schema = schema or {}
        try:
            self._pipe = not self._file.seekable()
            if fmt == "csv":
                header = self._read_line()
                if header is None:
                    raise ValueError(f"{self.name} has no CSV header line")
                self._header = next(csv.reader([header.decode("utf-8", "replace")]))
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

    def close(self) -> None:
        if self._owned:
            self._file.close()

    def _fill(self) -> bool:
        """Reads what is there (a pipe: waiting at most `wait` seconds);
        False when nothing was."""
        if self._pipe:
            fd = self._file.fileno()
            if not select.select([fd], [], [], self._wait)[0]:
                return False
            block = os.read(fd, _BLOCK)
        else:
            block = self._file.read(_BLOCK)
        if not block:
            self._ended = not self._follow
            return False
        self._buffer += block
        return True

    def _read_line(self) -> bytes | None:
        while b"\n" not in self._buffer and not self._ended:
            self._fill()
        if not self._buffer:
            return None
        end = self._buffer.find(b"\n")
        end = len(self._buffer) if end < 0 else end + 1
        line, self._buffer = self._buffer[:end], self._buffer[end:]
        self._position += end
        return line

    def _skip_to(self, offset: int) -> None:
        if not self._pipe:
            size = os.fstat(self._file.fileno()).st_size
            if size < offset:
                raise ValueError(f"{self.name} holds {size} bytes, fewer than the offset {offset} to resume "
                                 "from: it is not the input the checkpoint was made from")
            self._file.seek(offset)
            self._buffer = b""
            self._position = offset
            return
        while self._position + len(self._buffer) < offset:
            if not self._fill() and self._ended:
                raise ValueError(f"{self.name} ended after {self._position + len(self._buffer)} bytes, before "
                                 f"the offset {offset} to resume from")
        self._buffer = self._buffer[offset - self._position:]
        self._position = offset

    def read(self, max_rows: int) -> Chunk | None:
        """Up to `max_rows` rows, or None (see the class)."""
        if self._pipe:  # what has come, without waiting for a whole chunk
            if self._buffer.count(b"\n") < max_rows:
                self._fill()
        else:
            while self._buffer.count(b"\n") < max_rows and self._fill():
                pass
        *lines, rest = self._buffer.split(b"\n", max_rows)
        if not lines and rest and self._ended:
            lines, rest = [rest], b""  # the last line, without a line feed
        if not lines:
            return None
        used = len(self._buffer) - len(rest)
        self._buffer = self._buffer[used:]
        self._position += used
        rows, skipped = self._parse(lines)
        self._line += len(lines)
        return Chunk(rows, self._position, skipped)

    def _parse(self, lines: list[bytes]) -> tuple[list[dict[str, Any]], int]:
        rows: list[dict[str, Any]] = []
        skipped = 0
        if self._header is not None:
            header = self._header
            kinds = [self._schema.get(name) for name in header]
            for number, line in enumerate(lines):
                text = line.decode("utf-8", "replace").rstrip("\r")
                if not text:
                    continue
                fields = split_csv_line(text)
                if len(fields) != len(header):
                    skipped += self._skip(number, f"{len(fields)} fields where the header has {len(header)}")
                    continue
                try:
                    rows.append({k: read_field(v, quoted, kind, _csv_value)
                                 for k, (v, quoted), kind in zip(header, fields, kinds)})
                except ValueError as e:
                    skipped += self._skip(number, str(e))
            return rows, skipped
        for number, line in enumerate(lines):
            row = _json_row(line)
            if row is None:
                if line.strip():
                    skipped += self._skip(number, f"not a flat JSON object: {line[:60]!r}")
                continue
            rows.append(row)
        return rows, skipped

    def _skip(self, number: int, why: str) -> int:
        logger.warning("%s: line %d after the start skipped: %s", self.name, self._line + number + 1, why)
        return 1
