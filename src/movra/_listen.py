"""``movra listen``: a stream, a plan, an output, checkpoints and metrics.

Sources.  A UDP address, or a JSON-lines or CSV file (or standard input)
read from a byte offset.  A file is fed at quiescent points: a chunk of at
most ``batch_size`` rows goes into a manual stream in one ``emit_columns``
call (one hold of the queue lock, so the worker's cut takes all of it),
the listener waits until that cut has happened and takes it with one poll,
and only then moves its offset past the chunk.  So whenever a checkpoint
is saved, its state covers exactly the events before the saved offset.

Output and restarts.  Before each save the output file is flushed and
synced and its size goes into the checkpoint's metadata with the offset.
On a restart the listener loads the newest sound checkpoint, cuts the
output back to that size (the windows written after it came from events
after the offset, or from the flush at a stop) and reads on from the
offset; the windows open at the save are in the restored state and come
out complete.  A stop (Ctrl-C, SIGTERM, the end of a file) saves first and
then flushes the open windows to the output, so a later restart takes them
back and emits them once, when they close.

UDP cannot be replayed: after a crash the windows written since the last
save are kept, and the same windows coming out of the restored state are
not written again; windows that were open across a restart are logged,
because they lack the events that arrived while the listener was down.
"""

from __future__ import annotations

import csv
import dataclasses
import io
import json
import os
import signal
import stat
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Iterator
from types import FrameType
from typing import IO, Any, Final, Literal, TextIO

from ._checkpoints import CheckpointManager, Restored
from ._checks import TimeFieldTally
from ._cli_checks import iso_times, window_ms
from ._errors import CheckpointError, DataError, MissingColumn, MovraError
from ._log import logger
from ._plan import Plan
from ._schema import Schema
from ._sources import Chunk, InputFormat, LineSource, columns_of_rows, file_identity
from ._stream import Batch, Stream, manual, udp, wait
from .metrics import Metric, StreamMetrics

__all__ = ["ListenError", "ListenOptions", "OutputFormat", "SourceSpec", "listen"]

OutputFormat = Literal["table", "csv", "jsonl"]

_IDLE_WAIT: Final = 0.05


class ListenError(MovraError):
    """The listener cannot start or go on; the text says why."""


@dataclasses.dataclass(frozen=True)
class SourceSpec:
    """Where events come from: "udp" (`host`, `port`), "file" (`path`) or
    "stdin"."""

    kind: Literal["udp", "file", "stdin"]
    host: str = ""
    port: int = 0
    path: str = ""

    def __str__(self) -> str:
        if self.kind == "udp":
            return f"udp://{self.host}:{self.port}"
        return self.path if self.kind == "file" else "-"

    @property
    def replayable(self) -> bool:
        return self.kind != "udp"

    def identity(self) -> str:
        """What a checkpoint records to recognise the source."""
        if self.kind == "file":
            return "file:" + os.path.abspath(self.path)
        return self.kind


@dataclasses.dataclass(frozen=True)
class ListenOptions:
    source: SourceSpec
    plan: Plan
    format: OutputFormat
    output: str | None = None
    input_format: InputFormat = "jsonl"
    follow: bool = False
    checkpoint: str | None = None
    every_ms: int | None = None
    every_events: int | None = None
    keep: int = 3
    metrics: tuple[str, int] | None = None
    batch_size: int = 8192
    capacity: int = 100_000
    linger_ms: int = 10
    epoch_windows: bool = True
    status: bool = True
    quiet: bool = False
    datetimes: bool = False
    schema: Schema | None = None


# ------------------------------------------------------------------ output

def ordered_columns(names: Iterable[str], plan: Plan) -> list[str]:
    """Output columns in reading order: the window's columns first."""
    names = list(names)
    if plan.output_columns is not None:
        first = list(plan.output_columns)
    else:
        first = ["window_start", "window_end", *plan.group_fields, plan.alias or "", "count"] if plan.window else []
    lead = [c for c in first if c and c in names]
    return lead + sorted(c for c in names if c not in lead)


def _rows(batch: Batch, columns: list[str]) -> Iterator[list[Any]]:
    values = [batch.get(c) for c in columns]
    n = len(next(iter(batch.values()), []))
    for i in range(n):
        yield [None if v is None else v[i] for v in values]


def _csv_text(value: Any) -> Any:
    if value is None:
        return ""
    if value is True or value is False:
        return "true" if value else "false"
    return value


class _TextSink:
    """CSV or JSON lines, to a file of ours or to standard output (looked up
    at every write, so a status display can route it)."""

    def __init__(self, fmt: Literal["csv", "jsonl"], plan: Plan, file: IO[str] | None,
                 columns: list[str] | None) -> None:
        self._fmt = fmt
        self._plan = plan
        self._file = file
        self._columns = columns
        self._extra_warned = False

    def _out(self) -> IO[str]:
        return self._file if self._file is not None else sys.stdout

    def write(self, batch: Batch) -> None:
        out = self._out()
        if self._fmt == "jsonl":
            columns = ordered_columns(batch, self._plan)
            dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode
            out.write("".join(dumps(dict(zip(columns, row))) + "\n" for row in _rows(batch, columns)))
        else:
            if self._columns is None:
                self._columns = ordered_columns(batch, self._plan)
                csv.writer(out, lineterminator="\n").writerow(self._columns)
            elif not self._extra_warned and not set(batch) <= set(self._columns):
                self._extra_warned = True
                logger.warning("columns %s are not in the CSV header and are left out; use --format jsonl or "
                               "--select", sorted(set(batch) - set(self._columns)))
            csv.writer(out, lineterminator="\n").writerows(
                [_csv_text(v) for v in row] for row in _rows(batch, self._columns))
        out.flush()

    def sync(self) -> int | None:
        """Flushes (and, for a file, syncs) the output; the file's size."""
        if self._file is None:
            sys.stdout.flush()
            return None
        self._file.flush()
        st = os.fstat(self._file.fileno())
        if not stat.S_ISREG(st.st_mode):
            return None  # a pipe or a device (/dev/null): nothing to sync or cut back
        os.fsync(self._file.fileno())
        return os.fstat(self._file.fileno()).st_size

    def close(self) -> None:
        if self._file is not None:
            self._file.close()


def _clock(ms: int | str) -> str:
    if isinstance(ms, str):  # an ISO time already (--datetimes)
        return ms
    if abs(ms) <= 10**12:
        return str(ms)
    return time.strftime("%H:%M:%S", time.localtime(ms / 1000)) + f".{ms % 1000:03d}"


class _TableSink:
    """Rows as an aligned table on the terminal (rich)."""

    def __init__(self, console: Any, plan: Plan) -> None:
        self._console = console
        self._plan = plan
        self._shown: list[str] | None = None
        self._last_start: int | None = None

    def write(self, batch: Batch) -> None:
        from rich.table import Table

        plan = self._plan
        columns = ordered_columns(batch, plan)
        windowed = plan.windowed and "window_start" in batch and "window_end" in batch
        show = [c for c in columns if not (windowed and c in ("window_start", "window_end"))]
        table = Table(box=None, show_header=show != self._shown, header_style="bold", pad_edge=False)
        if windowed:
            iso = bool(batch["window_start"]) and isinstance(batch["window_start"][0], str)
            table.add_column("window", width=53 if iso else 27, no_wrap=True)
        for c in show:
            sample = batch[c][0] if batch[c] else None
            number = isinstance(sample, (int, float)) and not isinstance(sample, bool)
            table.add_column(c, justify="right" if number else "left", no_wrap=True,
                             min_width=max(len(c), 10 if c == plan.alias else 7 if number else 8))
        for values in _rows(batch, columns):
            cells = dict(zip(columns, values))
            line = [_cell(cells[c], c == plan.alias) for c in show]
            if windowed:
                start = cells["window_start"]
                label = f"{_clock(start)} - {_clock(cells['window_end'])}" if start != self._last_start else ""
                self._last_start = start
                line.insert(0, label)
            table.add_row(*line)
        self._shown = show
        self._console.print(table)

    def sync(self) -> int | None:
        return None

    def close(self) -> None:
        pass


def _cell(value: Any, mean: bool) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:,.3f}" if mean else repr(value)
    if isinstance(value, int) and not isinstance(value, bool):
        return f"{value:,}"
    return str(value)


# ------------------------------------------------------------------ stop

class _Stop:
    """SIGINT and SIGTERM ask the listener to stop; a second Ctrl-C
    interrupts at once.  A request also makes `fileno` readable, so that a
    `movra.wait` on it returns (a signal alone would only restart the
    wait)."""

    def __init__(self) -> None:
        self.requested = False
        self._previous: dict[int, Any] = {}
        self._pipe: tuple[int, int] | None = None

    def __enter__(self) -> _Stop:
        self._pipe = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        for sig in (signal.SIGINT, signal.SIGTERM):
            self._previous[sig] = signal.signal(sig, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        for sig, handler in self._previous.items():
            signal.signal(sig, handler)
        if self._pipe is not None:
            for fd in self._pipe:
                os.close(fd)
            self._pipe = None

    def fileno(self) -> int:
        assert self._pipe is not None, "fileno() outside the with block"
        return self._pipe[0]

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.requested and signum == signal.SIGINT:
            raise KeyboardInterrupt
        self.requested = True
        if self._pipe is not None:
            try:
                os.write(self._pipe[1], b"x")
            except BlockingIOError:
                pass  # readable already
        logger.info("%s: stopping", signal.Signals(signum).name)


# ------------------------------------------------------------------ the listener

class _Listener:
    def __init__(self, opts: ListenOptions, err: TextIO) -> None:
        self.opts = opts
        self.err = err
        self.plan = opts.plan
        self.raw = opts.plan.to_dict()
        self.stop = _Stop()
        self.offset = 0
        self.taken_mark = 0
        self.windows_out = 0
        self.sink: _TextSink | _TableSink | None = None
        self.skip_keys: set[tuple[int, str]] = set()
        self.across_restart: set[tuple[int, str]] = set()
        self.time_warned = False
        self.times = TimeFieldTally(opts.plan)  # events of a file without a usable time
        self.manager: CheckpointManager | None = None
        self.saved_at = (0, 0)  # (offset, taken_mark) at the last save or restore
        self.file: dict[str, Any] | None = None  # which file self.offset belongs to
        self.skipped_lines = 0
        self.refused = 0  # events whose id or group a checkpoint cannot hold

    def say(self, text: str) -> None:
        if not self.opts.quiet:
            print(text, file=self.err, flush=True)

    # -- setting up

    def open_stream(self) -> Stream:
        o = self.opts
        if o.source.kind == "udp":
            return udp(o.source.host, o.source.port, batch_size=o.batch_size, linger_ms=o.linger_ms,
                       capacity=o.capacity, epoch_windows=o.epoch_windows)
        # A chunk is cut whole and the queue never holds more than one.
        return manual(batch_size=o.batch_size, linger_ms=0, capacity=o.batch_size,
                      epoch_windows=o.epoch_windows)

    def user_metadata(self, output_bytes: int | None, stopped: bool) -> dict[str, Any]:
        o = self.opts
        return {"source": o.source.identity(), "offset": self.offset, "file": self.file, "plan": dict(self.raw),
                "align": "epoch" if o.epoch_windows else "first-event", "batch_size": o.batch_size,
                "output": {"path": None if o.output is None else os.path.abspath(o.output), "format": o.format,
                           "bytes": output_bytes},
                "stopped": stopped, "written": sorted(self.skip_keys)}

    def check_resume(self, restored: Restored) -> None:
        """Refuses a checkpoint made for another plan, source or output."""
        o = self.opts
        user = restored.user
        name = os.path.basename(restored.path)
        if not same_plan(user.get("plan"), self.raw):
            try:
                theirs = repr(Plan.from_dict(user.get("plan") or {}))
            except (ValueError, TypeError):
                theirs = repr(user.get("plan"))
            raise ListenError(f"checkpoint {name} was made with another plan, {theirs}; this run's plan is "
                              f"{self.plan!r}: run with the same plan, or use another --checkpoint path")
        align = "epoch" if o.epoch_windows else "first-event"
        if user.get("align", align) != align:
            raise ListenError(f"checkpoint {name} was made with --align {user['align']}, not {align}: run with "
                              "the same --align, or use another --checkpoint path")
        if self.plan.drop_late is False and user.get("batch_size", o.batch_size) != o.batch_size:
            raise ListenError(f"checkpoint {name} was made with --batch-size {user['batch_size']}, not "
                              f"{o.batch_size}: with --keep-late the rows depend on where micro-batches are cut")
        saved_source = user.get("source", "")
        if saved_source != o.source.identity() and (o.source.kind != "udp" or saved_source != "udp"):
            raise ListenError(f"checkpoint {name} was made reading {saved_source!r}, not {o.source.identity()!r}")
        output = user.get("output") or {}
        path = None if o.output is None else os.path.abspath(o.output)
        if output.get("path") != path or output.get("format") != o.format:
            raise ListenError(f"checkpoint {name} was made writing {output.get('format')} to "
                              f"{output.get('path') or 'standard output'}, not {o.format} to "
                              f"{path or 'standard output'}: keep the same --output and --format")

    def check_file(self, restored: Restored, path: str) -> None:
        """With --follow: reads the file from its start when it is no longer
        the one the checkpoint's offset belongs to (rotated or truncated
        since).  Without: refuses a file whose first bytes changed."""
        saved = restored.user.get("file")
        if saved is None or self.offset == 0:
            return
        now = file_identity(path, self.offset)
        try:
            shorter = os.path.getsize(path) < self.offset  # truncated, refilled with the same first bytes
        except OSError:
            shorter = False
        if now == saved and not shorter:
            return
        if not self.opts.follow:
            # A file read to its end once and run again may have grown, but
            # one whose first bytes changed is another input.
            if now is None or now.get("head") == saved.get("head"):
                return  # (one that cannot be read is reported when it is opened)
            raise ListenError(f"{path} is not the file checkpoint {os.path.basename(restored.path)} read up to "
                              f"byte {self.offset:,}: its first bytes differ; run with the same input, or use "
                              "another --checkpoint path")
        logger.warning("%s is not the file checkpoint %s read up to byte %d (it was rotated or truncated "
                       "since): reading it from the start", path, os.path.basename(restored.path), self.offset)
        self.offset = 0
        self.file = None
        self.saved_at = (0, 0)

    def open_output(self, restored: Restored | None, console: Any) -> None:
        o = self.opts
        fmt = o.format
        if o.output is None or fmt == "table":
            if restored is not None:
                logger.warning("windows written to standard output after the last checkpoint come out again "
                               "after a restart; write to a file (--output) for exactly once")
            self.sink = _TableSink(console, self.plan) if fmt == "table" else _TextSink(fmt, self.plan, None, None)
            return
        keep: int | None = None
        size = os.path.getsize(o.output) if os.path.exists(o.output) else 0
        if restored is not None:
            keep = int((restored.user.get("output") or {}).get("bytes") or 0)
            # The checkpoint vouches for the first `keep` bytes, which end a
            # line; a file that no longer does was changed by hand and is
            # refused untouched.
            if size < keep or (keep and not _line_ends_at(o.output, keep)):
                held = f"holds {size} bytes" if size < keep else f"does not end a line at byte {keep}"
                raise ListenError(f"the output {o.output!r} {held}, but checkpoint "
                                  f"{os.path.basename(restored.path)} recorded {keep} bytes: it was changed "
                                  "since; move it away or start with another --checkpoint path")
            if size > keep:
                size = cut_torn_line(o.output, keep)
        columns = self.csv_header(o.output) if keep else None
        if restored is not None:
            # Windows of the restored state that were written before it
            # (after an earlier crash), and over UDP after a crash those
            # written since the save: the state emits them again.
            self.skip_keys = {(int(start), str(group)) for start, group in restored.user.get("written") or ()}
            if not o.source.replayable and not restored.user.get("stopped") and keep is not None and size > keep:
                written = self.written_windows(o.output, keep, columns)
                if written is not None:
                    self.skip_keys |= written
                    keep = size
        if self.skip_keys:
            logger.info("%d windows written after the checkpoint are kept; they are not written again",
                        len(self.skip_keys))
        file = open(o.output, "a" if keep else "w", encoding="utf-8", newline="")  # noqa: SIM115
        if keep is not None and size > keep:
            file.truncate(keep)
            logger.info("output %s cut back from %d to %d bytes, as the checkpoint recorded", o.output, size,
                        keep)
        self.sink = _TextSink(fmt, self.plan, file, columns)

    def csv_header(self, path: str) -> list[str] | None:
        if self.opts.format != "csv":
            return None
        with open(path, encoding="utf-8", newline="") as f:
            return next(csv.reader([f.readline()]), None)

    def written_windows(self, path: str, start: int, columns: list[str] | None) -> set[tuple[int, str]] | None:
        """The (window_start, group) of the windows written after byte
        `start` of the output; None when the output does not say."""
        fields = self.plan.group_fields
        by = ", ".join(fields) or None
        with open(path, "rb") as f:
            f.seek(start)
            tail = f.read().decode("utf-8", "replace")
        unreadable = ("the output lacks window_start or %s, so windows written after the checkpoint cannot be "
                      "recognised; they are cut back and come out again")
        try:
            if self.opts.format == "csv":
                records: list[Any] = list(csv.DictReader(io.StringIO(tail), fieldnames=columns))
            else:
                records = [json.loads(line) for line in tail.splitlines() if line.strip()]
            keys = set()
            for r in records:
                if not isinstance(r, dict) or r.get("window_start") in (None, "") or any(f not in r for f in fields):
                    logger.warning(unreadable, by)
                    return None
                keys.add((window_ms(r["window_start"]), _group_key([r.get(f) for f in fields])))
        except (ValueError, TypeError) as e:
            # Lines changed by hand after the checkpoint.
            logger.warning(unreadable + " (%s)", by, e)
            return None
        return keys

    # -- output

    def write(self, batch: Batch | None) -> None:
        if not batch:
            return
        plan = self.plan
        if plan.windowed and (self.skip_keys or self.across_restart) and "window_start" in batch:
            groups = [batch.get(f) for f in plan.group_fields]
            keys = [(s, _group_key([None if g is None else g[i] for g in groups]))
                    for i, s in enumerate(batch["window_start"])]
            if self.skip_keys:
                keep = [i for i, k in enumerate(keys) if k not in self.skip_keys]
                self.skip_keys.difference_update(keys)
                if len(keep) < len(keys):
                    batch = {c: [v[i] for i in keep] for c, v in batch.items()}
                    keys = [keys[i] for i in keep]
                    if not keep:
                        return
            marked = [k for k in keys if k in self.across_restart]
            if marked:
                self.across_restart.difference_update(marked)
                logger.warning("%d window(s) open across the restart came out (%s); they lack the events that "
                               "arrived while the listener was down", len(marked),
                               ", ".join(f"{_clock(s)} {g}".strip() for s, g in marked[:5])
                               + (", ..." if len(marked) > 5 else ""))
        assert self.sink is not None
        self.sink.write(iso_times(batch) if self.opts.datetimes else batch)
        self.windows_out += len(next(iter(batch.values())))

    def save(self, *, stopped: bool = False) -> None:
        assert self.manager is not None and self.sink is not None
        size = self.sink.sync()
        try:
            self.manager.save(self.user_metadata(size, stopped))
        except CheckpointError as e:
            where = f"; the source had been read to byte {self.offset:,}" if self.opts.source.replayable else ""
            raise ListenError(f"{e}{where}") from e
        self.saved_at = (self.offset, self.taken_mark)

    # -- the loops

    def run_udp(self, stream: Stream) -> None:
        native = stream.native
        while not self.stop.requested:
            out = stream.poll(self.raw)
            self.taken_mark = native.stats()["microbatches_emitted"]
            self.write(out)
            if self.manager is not None and self.manager.due() and self.unsaved():
                self.save()
            if out is None:
                # Asleep until a batch is cut, a stop is asked for, or a
                # save falls due: a quiet feed does not wake the listener.
                wait([stream, self.stop], self.next_save_in())
        # Take what is ready without flushing, save, then close and flush:
        # a restart cuts the flushed windows back and resumes them.
        while (out := stream.poll(self.raw, timeout=0)) is not None:
            self.write(out)
        if self.manager is not None:
            self.save(stopped=True)

    def run_file(self, stream: Stream, source: LineSource) -> None:
        batch_size = self.opts.batch_size
        while not self.stop.requested:
            chunk = source.read(batch_size)
            if chunk is None:
                if source.ended:
                    break
                if self.manager is not None and self.manager.due() and self.unsaved():
                    self.save()
                if self.opts.follow:
                    time.sleep(_IDLE_WAIT)  # a pipe has waited in read()
                continue
            self.skipped_lines += chunk.skipped
            rows = self.refuse_unsaveable(chunk) if chunk.rows else None
            if rows:
                self.write(self.process(stream, rows))
            self.offset = chunk.end  # a quiescent point: everything before it is in the state
            self.file = source.identity(chunk.end)
            if self.manager is not None and self.manager.due() and self.unsaved():
                self.save()
        if self.manager is not None:
            self.save(stopped=True)

    def next_save_in(self) -> float | None:
        """Seconds until a save by time falls due, when there is something
        to save; None when only a cut (or nothing) can make one due."""
        if self.manager is None or not self.unsaved():
            return None
        return self.manager.due_in()

    def unsaved(self) -> bool:
        """Whether the state may have changed since the last save (an idle
        listener does not save the same state again and again)."""
        return (self.offset, self.taken_mark) != self.saved_at

    def refuse_unsaveable(self, chunk: Chunk) -> list[dict[str, Any]]:
        """The chunk's rows without those whose event id or group text a
        checkpoint cannot hold (a line feed; a tab in a group): taken in,
        they would make every later save fail.  Only with checkpoints."""
        rows = chunk.rows
        fields = list(unsaveable_text(self.plan).items())
        if self.manager is None or not fields:
            return rows
        bad = [i for i, row in enumerate(rows)
               if any(isinstance(v := row.get(f), str) and any(c in v for c in chars) for f, chars in fields)]
        if not bad:
            return rows
        if not self.refused:
            row = rows[bad[0]]
            logger.warning("event at byte %d refused: its %s a checkpoint cannot hold (a line feed, or a tab in "
                           "a group); such events are counted, not logged", chunk.starts[bad[0]],
                           ", ".join(f"{f} {row.get(f)!r}" for f, _ in fields if isinstance(row.get(f), str)))
        self.refused += len(bad)
        drop = set(bad)
        return [r for i, r in enumerate(rows) if i not in drop]

    def process(self, stream: Stream, rows: list[dict[str, Any]]) -> Batch | None:
        columns = columns_of_rows(rows)
        self.stamp_times(columns)
        self.times.add(columns)
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", MissingColumn)
                out = stream.process(columns, self.raw)
            for w in caught:  # a column of the plan the events lack, said once
                logger.warning("%s", w.message)
            return out
        except DataError as e:
            good = [r for r in rows if _storable(r)]
            logger.warning("%d event(s) skipped (%s)", len(rows) - len(good), e)
            if not good:
                return None
            columns = columns_of_rows(good)
            self.stamp_times(columns)
            return stream.process(columns, self.raw)

    def stamp_times(self, columns: dict[str, list[Any]]) -> None:
        """Gives events without an integer "timestamp" the wall clock, as
        the stream does for a datagram without one."""
        times = columns.get("timestamp")
        if times is None or all(type(t) is int for t in times):
            return
        now = int(time.time() * 1000)
        columns["timestamp"] = [t if type(t) is int else now for t in times]
        if not self.time_warned:
            self.time_warned = True
            logger.warning("events without an integer 'timestamp' are stamped with the wall clock, which a "
                           "replay after a restart does not reproduce")

    def finish(self, stream: Stream) -> None:
        """Closes the stream and writes what it still holds: the open
        windows, flushed."""
        stream.close()
        for out in stream.batches(self.raw):
            self.write(out)
        if self.sink is not None:
            self.sink.sync()

    # -- status

    def waiting(self, stream: Stream) -> int:
        """Micro-batches cut since the last poll (0 for a file source, whose
        chunks are taken as soon as they are cut)."""
        if self.opts.source.kind != "udp":
            return 0
        return max(0, stream.native.stats()["microbatches_emitted"] - self.taken_mark)

    def status_text(self, stream: Stream, metrics: StreamMetrics) -> str:
        c = metrics.counters()
        rates = metrics.rates(c)
        parts = [f"in {rates['ingested']:,.0f}/s", f"dropped {c['dropped']:,}", f"late {c['late_events']:,}",
                 f"dups {c['duplicate_events']:,}", f"windows {c['open_windows']:,}",
                 f"ids {c['seen_event_ids']:,}", f"waiting {self.waiting(stream):,}"]
        if self.opts.source.kind == "udp":
            parts.insert(2, f"rejected {c['rejected_datagrams']:,}")
        else:
            parts.append(f"at byte {self.offset:,}")
            parts.append(f"skipped {self.skipped_lines + self.refused:,}")
        untimed = self.times.count + stream.untimed_events
        if untimed:
            parts.append(f"without time {untimed:,}")
        return " | ".join(parts)

    def extra_metrics(self, stream: Stream) -> Callable[[], list[Metric]]:
        def extra() -> list[Metric]:
            out = [Metric("movra_batches_waiting", "gauge", "Micro-batches cut but not yet taken.",
                          self.waiting(stream))]
            if self.opts.source.kind != "udp":
                out.append(Metric("movra_source_offset_bytes", "gauge", "Bytes of the source read and processed.",
                                  self.offset))
                out.append(Metric("movra_source_lines_skipped_total", "counter",
                                  "Input lines skipped as unreadable (not an event, not UTF-8, too long).",
                                  self.skipped_lines))
                out.append(Metric("movra_events_refused_total", "counter",
                                  "Events refused because a checkpoint cannot hold their id or group.",
                                  self.refused))
            return out
        return extra


def unsaveable_text(plan: Plan) -> dict[str, str]:
    """The characters a checkpoint cannot hold in the plan's columns: a line
    feed in an event id, a line feed or a tab in a group text."""
    refused: dict[str, str] = {}
    if plan.dedup:
        refused[plan.dedup] = "\n"
    if plan.by and plan.aggs is None:  # the windows of aggregate plans escape their group values
        assert isinstance(plan.by, str)
        refused[plan.by] = "\n\t"
    return refused


def _group_key(values: list[Any]) -> str:
    """A window's group as the text that tells written windows apart: the
    group values, "" for a null, joined by a unit separator."""
    return "\x1f".join("" if v is None or v == "" else str(v) for v in values)


def same_plan(saved: Any, raw: Any) -> bool:
    """Whether a plan read back from checkpoint metadata is `raw`, with the
    types of its values: a filter on ``true`` is not one on ``1``, which the
    engine treats differently, though Python finds them equal."""
    return bool(_typed(saved) == _typed(json.loads(json.dumps(raw))))


def _typed(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _typed(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_typed(v) for v in value]
    return type(value).__name__, value


def _line_ends_at(path: str, offset: int) -> bool:
    """Whether byte `offset` - 1 of the file at `path` is a line feed."""
    with open(path, "rb") as f:
        f.seek(offset - 1)
        return f.read(1) == b"\n"


def cut_torn_line(path: str, floor: int = 0) -> int:
    """Cuts a regular file that ends in a partial line (a full disk or a
    kill in the middle of a write) back to its last whole line, saying so,
    but never below `floor` (which ends a line); returns its size."""
    with open(path, "r+b") as f:
        st = os.fstat(f.fileno())
        size = st.st_size
        if not stat.S_ISREG(st.st_mode) or size <= floor:
            return size
        end = size
        while end > floor:
            start = max(floor, end - (1 << 16))
            f.seek(start)
            block = f.read(end - start)
            if end == size and block.endswith(b"\n"):
                return size
            at = block.rfind(b"\n")
            if at >= 0:
                end = start + at + 1
                break
            end = start
        f.truncate(end)
    logger.warning("output %s ended in an unfinished line (%d bytes); cut back to its last whole line, at byte "
                   "%d", path, size - end, end)
    return end


def _storable(row: dict[str, Any]) -> bool:
    try:
        json.dumps(row, ensure_ascii=False).encode("utf-8")
    except (UnicodeEncodeError, TypeError, ValueError):
        return False
    return True


def listen(opts: ListenOptions, err: TextIO = sys.stderr) -> int:
    """Runs ``movra listen`` until the source ends or a signal stops it."""
    lis = _Listener(opts, err)
    console = None
    if opts.format == "table":
        from rich.console import Console

        console = Console()
    with lis.stop:
        stream = lis.open_stream()
        if opts.checkpoint is not None and opts.source.kind == "udp":
            # Datagrams reach the state without passing through this loop:
            # the stream itself turns away the ones a save could not hold.
            for column, characters in unsaveable_text(lis.plan).items():
                stream.refuse_text(column, characters)
        source: LineSource | None = None
        server = None
        try:
            if opts.checkpoint is not None:
                try:
                    json.dumps(dict(lis.raw), allow_nan=False)
                except ValueError:
                    # Found at the first save otherwise, after the work.
                    raise ListenError(f"the plan {lis.plan!r} holds an infinite or NaN number, which a checkpoint "
                                      "cannot record: write it as a finite number, or run without --checkpoint")
                lis.manager = CheckpointManager(stream, opts.checkpoint, every=opts.every_ms,
                                                every_events=opts.every_events, keep=opts.keep)
            restored = lis.manager.restore() if lis.manager is not None else None
            if restored is not None:
                lis.check_resume(restored)
                lis.offset = int(restored.user.get("offset") or 0)
                lis.file = restored.user.get("file")
                lis.saved_at = (lis.offset, 0)
                if not opts.source.replayable:
                    lis.across_restart = set(restored.windows)
                lis.say(f"resuming from {os.path.basename(restored.path)} of {restored.metadata['created']}"
                        + (f" at byte {lis.offset:,}" if opts.source.replayable else ""))
            lis.open_output(restored, console)
            if opts.source.kind != "udp":
                path = opts.source.path if opts.source.kind == "file" else None
                if restored is not None and path is not None:
                    lis.check_file(restored, path)
                try:
                    source = LineSource(path, opts.input_format, lis.offset, follow=opts.follow,
                                        schema=opts.schema)
                except OSError as e:
                    raise ListenError(f"cannot read {opts.source}: {e.strerror}") from e
                except ValueError as e:
                    raise ListenError(str(e)) from e
            metrics = StreamMetrics(stream, checkpoints=lis.manager, rate_window=3.0,
                                    extra=lis.extra_metrics(stream))
            if opts.metrics is not None:
                try:
                    server = metrics.serve(opts.metrics[1], opts.metrics[0])
                except OSError as e:
                    raise ListenError(f"cannot serve metrics on {opts.metrics[0]}:{opts.metrics[1]}: "
                                      f"{e.strerror}") from e
                host, port = server.address
                lis.say(f"metrics at http://{host}:{port}/metrics"
                        + (" (every network interface)" if host == "0.0.0.0" else ""))
            if opts.source.kind == "udp":
                host, port = stream.address
                lis.say(f"listening on udp://{host}:{port}")
            else:
                lis.say(f"reading {source.name if source else opts.source}"
                        + (f" from byte {lis.offset:,}" if lis.offset else ""))
            with _Status(lis, stream, metrics):
                if source is None:
                    lis.run_udp(stream)
                else:
                    lis.run_file(stream, source)
                lis.finish(stream)
            c = metrics.counters()
            saved = f"; checkpoint {os.path.basename(lis.manager.last.path)}" if lis.manager and lis.manager.last \
                else ""
            unread = "".join(f", {n:,} {what}" for n, what in ((lis.skipped_lines, "lines skipped"),
                                                                (lis.refused, "events refused")) if n)
            if opts.source.kind == "udp":
                unread += f", {c['rejected_datagrams']:,} datagrams rejected"
            lis.say(f"stopped: {c['ingested']:,} events in, {c['duplicate_events']:,} duplicates, "
                    f"{c['late_events']:,} late, {c['dropped']:,} dropped{unread}; {lis.windows_out:,} rows "
                    f"out{saved}")
        finally:
            stream.close()
            if server is not None:
                server.close()
            if source is not None:
                source.close()
            if lis.sink is not None:
                lis.sink.close()
            if lis.manager is not None:
                lis.manager.close()
    return 0


class _Status:
    """The status line, refreshed in place while standard error is a
    terminal (rich); log lines and terminal output go above it."""

    def __init__(self, lis: _Listener, stream: Stream, metrics: StreamMetrics) -> None:
        self._live: Any = None
        if not lis.opts.status or lis.opts.quiet or not lis.err.isatty():
            return
        try:
            from rich.console import Console
            from rich.live import Live
            from rich.text import Text
        except ImportError:
            return

        class Line:
            def __rich__(self) -> Text:
                return Text(lis.status_text(stream, metrics), style="dim")

        self._live = Live(Line(), console=Console(file=lis.err), refresh_per_second=4, transient=True,
                          redirect_stdout=sys.stdout.isatty(), redirect_stderr=True)

    def __enter__(self) -> None:
        if self._live is not None:
            self._live.start()

    def __exit__(self, *exc: object) -> None:
        if self._live is not None:
            self._live.stop()
