"""Restart-safe checkpoints: `CheckpointManager`.

Files.  A manager for ``state/trades.ckpt`` keeps numbered generations
beside that name, each a checkpoint and its metadata:

    state/trades.ckpt.000041         the checkpoint (the stream's file format)
    state/trades.ckpt.000041.json    its metadata
    state/trades.ckpt.lock           held while a manager uses the files

The metadata is one JSON object: "format" (the text "movra-checkpoint")
and "version" (1), "sequence", "created" (UTC, ISO 8601), "checkpoint" (the
file's name), "bytes" and "sha256" of the checkpoint, "state" (its greatest
event time, window origin, event ids and open windows), "counters" (the
stream's counter totals when it was saved) and "user" (what the caller
passed to `save`, such as a source offset).

Order of writes.  A save (1) has the core write the checkpoint (a temporary
file, synced and renamed over the name), (2) writes the metadata the same
way, then (3) removes the generations beyond `keep`, each one's metadata
before its checkpoint.  The metadata is the commit record: a generation
counts only when its metadata parses, names its own sequence, and the
checkpoint's size and SHA-256 match it, so a crash at any point leaves
either a whole generation or one that is recognised as incomplete (a
checkpoint without metadata) and skipped.  A checkpoint replaced or damaged
afterwards no longer matches its checksum.

Restore.  `CheckpointManager.restore` tries the generations newest first,
logs each one it skips and why, loads the first sound one and takes its
counters as the base of `CheckpointManager.stats` (the core's counters
start at 0 with every stream and cannot be set, so the totals are kept
here).
"""

from __future__ import annotations

import dataclasses
import datetime
import fcntl
import hashlib
import json
import os
import re
import stat
import time
from collections.abc import Mapping
from types import TracebackType
from typing import Any, Final

from ._checkpoint_format import CheckpointInfo, inspect_checkpoint, without_extension
from ._errors import CheckpointError, StateError
from ._log import logger
from ._plan import Duration, parse_duration
from ._stream import Stats, Stream

__all__ = ["CheckpointManager", "Damaged", "Generation", "Restored", "read_generation", "read_regular_file",
           "window_lines"]

FORMAT: Final = "movra-checkpoint"
VERSION: Final = 1
#: The largest metadata file read (it holds the windows written after the
#: save, one short pair each).
MAX_METADATA_BYTES: Final = 256 << 20
#: The counters that only grow; the other two entries of `Stats` are sizes.
COUNTERS: Final = ("checkpoint_loads", "checkpoint_saves", "dropped", "duplicate_events", "ingested",
                   "late_events", "microbatches_emitted", "output_batches", "output_rows", "rejected_datagrams")


@dataclasses.dataclass(frozen=True)
class Generation:
    """One saved generation: its checkpoint `path` (the metadata is
    ``path + ".json"``), `sequence`, the `metadata` dict, what the
    checkpoint holds (`info`), and how long the save took (`seconds`, 0
    for a generation that was read)."""

    path: str
    sequence: int
    metadata: dict[str, Any]
    info: CheckpointInfo
    seconds: float = 0.0

    @property
    def user(self) -> dict[str, Any]:
        """The caller's metadata passed to `CheckpointManager.save`."""
        return dict(self.metadata.get("user") or {})

    @property
    def created(self) -> datetime.datetime:
        """When the generation was written (UTC)."""
        return datetime.datetime.fromisoformat(self.metadata["created"])


@dataclasses.dataclass(frozen=True)
class Restored(Generation):
    """The generation `CheckpointManager.restore` loaded, with the windows
    it held open (``(window_start, group)`` pairs) and the newer
    generations it skipped (``(path, reason)`` pairs)."""

    windows: tuple[tuple[int, str], ...] = ()
    skipped: tuple[tuple[str, str], ...] = ()


class Damaged(ValueError):
    """A generation that cannot be used; the text says why."""


def _sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def read_regular_file(path: str, limit: int) -> bytes:
    """The bytes of `path`, opened as a checkpoint is: a regular file only
    (after following links; a FIFO does not block the open, a device is
    never read), of at most `limit` bytes.  Raises OSError, or ValueError
    saying what the file is instead."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(fd, "rb") as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise ValueError("it is not a regular file")
        if st.st_size > limit:
            raise ValueError(f"it holds {st.st_size:,} bytes, more than the {limit:,} it may")
        data = f.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"it holds more than the {limit:,} bytes it may")
    return data


def read_generation(path: str) -> tuple[bytes, dict[str, Any], CheckpointInfo]:
    """The checkpoint bytes, metadata and summary of the generation whose
    checkpoint is `path`, after checking the pair; raises `Damaged` saying
    what is wrong."""
    meta_path = path + ".json"
    try:
        raw = read_regular_file(meta_path, MAX_METADATA_BYTES)
    except FileNotFoundError:
        raise Damaged("it has no metadata file (a save that did not finish)") from None
    except OSError as e:
        raise Damaged(f"its metadata cannot be read: {e.strerror}") from None
    except ValueError as e:
        raise Damaged(f"its metadata cannot be read: {e}") from None
    try:
        meta = json.loads(raw)
    except ValueError as e:
        raise Damaged(f"its metadata is not JSON ({e})") from None
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        raise Damaged("its metadata file is not checkpoint metadata")
    if meta.get("version") != VERSION:
        raise Damaged(f"its metadata has version {meta.get('version')!r}; this movra reads version {VERSION}")
    if meta.get("checkpoint") != os.path.basename(path):
        raise Damaged(f"its metadata describes {meta.get('checkpoint')!r}")
    size = meta.get("bytes")
    try:
        data = read_regular_file(path, size if type(size) is int and size >= 0 else 0)
    except OSError as e:
        raise Damaged(f"the checkpoint cannot be read: {e.strerror}") from None
    except ValueError as e:
        raise Damaged(f"the checkpoint cannot be read: {e} (its metadata says {size!r} bytes)") from None
    if len(data) != meta.get("bytes") or _sha256(data) != meta.get("sha256"):
        raise Damaged(f"its checksum does not match ({len(data)} bytes, metadata says {meta.get('bytes')}): "
                       "the file was damaged or replaced")
    try:
        info = inspect_checkpoint(data)
    except ValueError as e:
        raise Damaged(f"it is not a checkpoint: {e}") from None
    return data, meta, info


def window_lines(data: bytes, info: CheckpointInfo) -> list[tuple[int, str, float, int]]:
    """The open windows of a checkpoint `data` that `inspect_checkpoint`
    accepted: (window_start, group, sum, count) each."""
    if not info.windows:
        return []
    out = []
    for line in without_extension(data).rstrip(b"\n").rsplit(b"\n", info.windows)[1:]:
        _key, total, count, start, _end, group = line.split(b"\t", 5)
        out.append((int(start), group.decode("utf-8", "replace"), float(total), int(count)))
    return out


def _write_json_atomically(path: str, value: Any) -> None:
    """`value` as JSON at `path`: a temporary file beside it, synced and
    renamed over it, then the directory synced."""
    tmp = f"{path}.tmp.{os.getpid()}"
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(value, f, indent=1, sort_keys=True)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    _sync_directory(os.path.dirname(path) or ".")


def _sync_directory(directory: str) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _alive(pid: int) -> bool:
    """Whether process `pid` exists (this one counts as alive)."""
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # another user's process
    return True


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


class CheckpointManager:
    """Saves a stream's checkpoints periodically, keeps the last `keep`
    generations with their metadata, and restores the newest sound one.

    `path` names the generations (``path.000001``, ``path.000001.json``,
    ...).  `every` (a duration: "10s", 10000, a timedelta) and
    `every_events` (events ingested) make `due` true; either or both.  The
    manager holds ``path.lock`` until `close` (or the end of a ``with``
    block), so two processes cannot write the same generations.

    Typical use, where ``offset`` says how far a replayable source has been
    read (every event before it has been taken by a poll, none after)::

        with movra.CheckpointManager(stream, "state/feed.ckpt", every="10s") as checkpoints:
            restored = checkpoints.restore()          # None on the first start
            offset = restored.user["offset"] if restored else 0
            ...
            if checkpoints.due():
                checkpoints.save({"offset": offset})

    Raises `CheckpointError` when the directory cannot be used or another
    process holds the lock; ValueError and TypeError for bad arguments.
    """

    def __init__(self, stream: Stream, path: str | os.PathLike[str], *, every: Duration | None = None,
                 every_events: int | None = None, keep: int = 3) -> None:
        if not isinstance(stream, Stream):
            raise TypeError(f"stream must be a movra.Stream, got {type(stream).__name__}")
        p = os.fspath(path)
        if not isinstance(p, str) or not p or p.endswith(os.sep):
            raise ValueError(f"path must name a file, got {path!r}")
        if isinstance(keep, bool) or not isinstance(keep, int) or keep < 1:
            raise ValueError(f"keep must be a positive int, got {keep!r}")
        if every_events is not None and (isinstance(every_events, bool) or not isinstance(every_events, int)
                                         or every_events < 1):
            raise ValueError(f"every_events must be a positive int or None, got {every_events!r}")
        self._every = None if every is None else parse_duration(every, name="every") / 1000
        if self._every == 0:
            raise ValueError("every must be positive")
        self._every_events = every_events
        self._stream = stream
        self._path = os.path.abspath(p)
        self._keep = keep
        self._base: dict[str, int] = dict.fromkeys(COUNTERS, 0)
        self._last: Generation | None = None
        self._saved_at = time.monotonic()
        self._events_at_save = 0
        directory, name = os.path.split(self._path)
        if not os.path.isdir(directory):
            raise CheckpointError(f"cannot keep checkpoints at {p!r}: the directory {directory!r} does not "
                                  "exist", p)
        self._pattern = re.compile(re.escape(name) + r"\.(\d+)(\.json)?")
        self._stale = re.compile(re.escape(name) + r"\.\d+(\.json)?\.tmp\.\d+(\.\d+)?")
        # The core writes a checkpoint to ".ckpt-PID-N" beside it, then renames.
        self._core_temporary = re.compile(r"\.ckpt-(\d+)-\d+")
        self._lock_fd = self._lock(self._path + ".lock")
        self._remove_stale_temporaries()
        self._next = max(self.sequences(), default=0) + 1

    # ------------------------------------------------------------ the files

    @property
    def path(self) -> str:
        """The absolute path the generations are named after."""
        return self._path

    @property
    def last(self) -> Generation | None:
        """The generation saved or restored last, or None."""
        return self._last

    def _lock(self, lock_path: str) -> int:
        try:
            fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        except OSError as e:
            raise CheckpointError(f"cannot keep checkpoints at {self._path!r}: {e.strerror}", self._path) from e
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            raise CheckpointError(f"another process is using the checkpoints at {self._path!r} "
                                  f"({lock_path!r} is locked)", self._path) from None
        return fd

    def _remove_stale_temporaries(self) -> None:
        # Only a process that died while saving leaves these; the lock says
        # no other process is saving now.
        directory = os.path.dirname(self._path)
        removed = 0
        for entry in os.listdir(directory):
            if self._stale.fullmatch(entry):
                _unlink(os.path.join(directory, entry))
            elif (m := self._core_temporary.fullmatch(entry)) and not _alive(int(m.group(1))):
                # The directory may serve other managers; a temporary of a
                # live process may be a save in progress, so only those of
                # dead writers go.
                _unlink(os.path.join(directory, entry))
                removed += 1
        if removed:
            logger.info("removed %d temporary checkpoint file(s) left in %s by processes that died while "
                        "saving", removed, directory)

    def sequences(self) -> list[int]:
        """The sequence numbers of the generations on disk (complete or
        not), oldest first."""
        found = set()
        for entry in os.listdir(os.path.dirname(self._path)):
            m = self._pattern.fullmatch(entry)
            if m:
                found.add(int(m.group(1)))
        return sorted(found)

    def generation_path(self, sequence: int) -> str:
        """The checkpoint path of generation `sequence`."""
        return f"{self._path}.{sequence:06d}"

    def close(self) -> None:
        """Releases the lock; the files stay.  Idempotent."""
        if self._lock_fd >= 0:
            os.close(self._lock_fd)
            self._lock_fd = -1

    def __enter__(self) -> CheckpointManager:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    # ------------------------------------------------------------ counters

    def stats(self) -> Stats:
        """The stream's counters continued across restarts: the totals in
        the restored metadata plus the stream's own counters (the two sizes,
        "open_windows" and "seen_event_ids", are the stream's)."""
        live = self._stream.stats()
        out = dict(live)
        for key in COUNTERS:
            out[key] = self._base[key] + live[key]
        return out  # type: ignore[return-value]

    # ------------------------------------------------------------ saving

    def due(self) -> bool:
        """Whether `every` has passed, or `every_events` events have been
        ingested, since the last save (or the start)."""
        if self._every is not None and time.monotonic() - self._saved_at >= self._every:
            return True
        if self._every_events is not None:
            ingested = self._base["ingested"] + self._stream.stats()["ingested"]
            return ingested - self._events_at_save >= self._every_events
        return False

    def due_in(self) -> float | None:
        """Seconds until `every` will have passed since the last save (0 when
        it has); None without `every`."""
        if self._every is None:
            return None
        return max(0.0, self._every - (time.monotonic() - self._saved_at))

    def save(self, user: Mapping[str, Any] | None = None) -> Generation:
        """Saves a new generation now, with `user` (JSON-serialisable) in its
        metadata, and removes the generations beyond `keep`.  Returns it.

        The checkpoint holds the event-time state at this moment (not the
        events still queued), so with a replayable source save where every
        event before the offset in `user` has been taken by a poll and no
        later one has.  Raises `CheckpointError` when a file cannot be
        written (the previous generations stay as they were).
        """
        if self._lock_fd < 0:
            raise StateError("the checkpoint manager is closed")
        try:
            user_data = json.loads(json.dumps(dict(user or {}), allow_nan=False))
        except (TypeError, ValueError) as e:
            raise TypeError(f"user metadata must be JSON-serialisable: {e}") from None
        started = time.perf_counter()
        sequence = self._next
        path = self.generation_path(sequence)
        self._next += 1
        try:
            self._stream.save_checkpoint(path)
            counters = self.stats()
            with open(path, "rb") as f:
                data = f.read()
            info = inspect_checkpoint(data)
            meta = {
                "format": FORMAT, "version": VERSION, "sequence": sequence,
                "created": datetime.datetime.now(datetime.timezone.utc).isoformat(),
                "checkpoint": os.path.basename(path), "bytes": len(data), "sha256": _sha256(data),
                "state": info._asdict(), "counters": dict(counters), "user": user_data,
            }
            _write_json_atomically(path + ".json", meta)
        except OSError as e:
            _unlink(path + ".json")
            _unlink(path)
            raise CheckpointError(f"cannot complete checkpoint {path!r}: {e.strerror}", path) from e
        except BaseException:
            _unlink(path)
            raise
        self._prune()
        seconds = time.perf_counter() - started
        self._last = Generation(path, sequence, meta, info, seconds)
        self._saved_at = time.monotonic()
        self._events_at_save = counters["ingested"]
        logger.info("checkpoint saved: %s (%d event ids, %d open windows, %d bytes, %.0f ms)", path,
                    info.event_ids, info.windows, len(data), seconds * 1000)
        return self._last

    def _prune(self) -> None:
        for sequence in self.sequences()[:-self._keep]:
            path = self.generation_path(sequence)
            _unlink(path + ".json")  # the commit record first
            _unlink(path)

    # ------------------------------------------------------------ restoring

    def restore(self) -> Restored | None:
        """Loads the newest sound generation into the stream and continues
        its counters; returns it, or None when there is none yet.

        Each generation is checked first (metadata, size and SHA-256, the
        checkpoint layout); one that fails is logged with the reason and the
        previous one is tried.  Call it before the stream's first batch is
        taken.  Raises `CheckpointError` when generations exist but none is
        sound (nothing is loaded then: move them away to start afresh), and
        `StateError` when the stream has already processed events.
        """
        counters = self._stream.stats()
        if counters["open_windows"] or counters["seen_event_ids"] or counters["output_batches"]:
            raise StateError("restore a checkpoint before the stream's first batch is taken; it has "
                             f"{counters['open_windows']} open windows and {counters['seen_event_ids']} "
                             "event ids")
        sequences = self.sequences()
        skipped: list[tuple[str, str]] = []
        for sequence in reversed(sequences):
            path = self.generation_path(sequence)
            try:
                data, meta, info = read_generation(path)
                if meta.get("sequence") != sequence:
                    raise Damaged(f"its metadata names sequence {meta.get('sequence')!r}")
            except Damaged as e:
                logger.warning("checkpoint %s skipped: %s; trying the previous generation", path, e)
                skipped.append((path, str(e)))
                continue
            self._stream.load_checkpoint(path)
            saved = meta.get("counters") or {}
            self._base = {key: int(saved.get(key, 0)) for key in COUNTERS}
            windows = tuple((start, group) for start, group, _, _ in window_lines(data, info))
            restored = Restored(path, sequence, meta, info, 0.0, windows, tuple(skipped))
            self._last = restored
            self._saved_at = time.monotonic()
            self._events_at_save = self._base["ingested"]
            log = logger.warning if skipped else logger.info
            log("checkpoint loaded: %s of %s (%d event ids, %d open windows)%s", path, meta["created"],
                info.event_ids, info.windows,
                f"; fell back past {len(skipped)} newer generation(s)" if skipped else "")
            return restored
        if skipped:
            reasons = "; ".join(f"{os.path.basename(p)}: {r}" for p, r in skipped)
            raise CheckpointError(f"none of the {len(skipped)} checkpoint generations of {self._path!r} can be "
                                  f"used ({reasons}); move them away to start afresh", self._path)
        return None
