"""The ``movra`` command: ``listen``, ``send`` and ``inspect``.

Run ``movra --help`` or ``movra COMMAND --help``.  Bad arguments are
refused by argparse with a message naming the argument and the value;
errors while running are printed as ``movra COMMAND: error: ...`` with exit
status 1.  rich (the table, the status line, the progress bar) and
prometheus_client (``--metrics``) are optional: a command that needs one
that is missing says which extra installs it.
"""

from __future__ import annotations

import argparse
import datetime
import ipaddress
import json
import logging
import os
import re
import socket
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Final, NoReturn

from ._checkpoint_format import inspect_checkpoint
from ._checkpoints import Damaged, read_generation, read_regular_file, window_lines
from ._cli_checks import option_hint
from ._errors import MovraError, PlanError
from ._listen import ListenOptions, SourceSpec, listen
from ._log import logger
from ._plan import OPTIONAL_KEYS, Filter, Plan, RawPlan, parse_duration
from ._schema import Schema, parse_schema
from ._sources import LineSource, format_of
from ._synthetic import FEEDS

__all__ = ["main"]

_EXTRAS: Final = {"rich": "cli", "prometheus_client": "metrics"}
# The largest checkpoint file `inspect` reads.
_MAX_CHECKPOINT_BYTES: Final = 1 << 34


class _MissingExtra(Exception):
    pass


def _require(module: str, purpose: str) -> None:
    try:
        __import__(module)
    except ImportError:
        raise _MissingExtra(f"{purpose} needs {module}: pip install 'movra[{_EXTRAS[module]}]'") from None


# ------------------------------------------------------------------ argument types

def _duration(text: str) -> int:
    try:
        return parse_duration(text, name="value")
    except (ValueError, TypeError) as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _duration_text(text: str) -> str:
    """A checked duration, kept as written so that plan errors quote it."""
    _duration(text)
    return text


def _positive_duration(text: str) -> int:
    ms = _duration(text)
    if ms == 0:
        raise argparse.ArgumentTypeError(f"{text!r} must be longer than 0")
    return ms


def _positive_int(text: str) -> int:
    try:
        value = int(text.replace("_", "").replace(",", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} must be at least 1")
    return value


def _filter(text: str) -> Filter:
    try:
        return Filter.parse(text)
    except (ValueError, TypeError) as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _names(text: str) -> list[str]:
    names = [n.strip() for n in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list of column names")
    return names


def _host_port(text: str, what: str, *, default_host: str | None = None, any_port: bool = True) -> tuple[str, int]:
    host, sep, port_text = text.rpartition(":")
    if not sep:
        host, port_text = "", text
    host = host or (default_host or "")
    if not host:
        raise argparse.ArgumentTypeError(f"{text!r} is not {what}")
    if host == "localhost":
        host = "127.0.0.1"
    try:
        ipaddress.IPv4Address(host)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: the host {host!r} is not a dotted IPv4 address such as "
                                         "127.0.0.1 or 0.0.0.0") from None
    if not port_text.isdigit() or not (0 if any_port else 1) <= int(port_text) <= 65535:
        low = 0 if any_port else 1
        raise argparse.ArgumentTypeError(f"{text!r}: the port {port_text!r} is not a number from {low} to 65535")
    return host, int(port_text)


def _source(text: str) -> SourceSpec:
    if text == "-":
        return SourceSpec("stdin", path="-")
    if text.startswith("udp://"):
        host, port = _host_port(text[len("udp://"):], "udp://HOST:PORT")
        return SourceSpec("udp", host, port)
    if "://" in text:
        raise argparse.ArgumentTypeError(f"{text!r}: a source is udp://HOST:PORT, a file, or - for standard input")
    return SourceSpec("file", path=text)


def _target(text: str) -> tuple[str, int]:
    if not text.startswith("udp://"):
        raise argparse.ArgumentTypeError(f"{text!r} is not an address such as udp://127.0.0.1:9000")
    return _host_port(text[len("udp://"):], "udp://HOST:PORT", any_port=False)


def _metrics_address(text: str) -> tuple[str, int]:
    return _host_port(text, "[HOST]:PORT", default_host="127.0.0.1")


_RATE: Final = re.compile(r"(\d+(?:\.\d+)?)\s*([kKmM]?)\s*(?:/\s*s)?")


def _schema(text: str) -> Schema:
    try:
        return parse_schema(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _rate(text: str) -> float | None:
    if text == "max":
        return None
    m = _RATE.fullmatch(text.strip())
    if m is None or float(m.group(1)) == 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a rate such as 2000/s, 50k/s or max")
    return float(m.group(1)) * {"": 1, "k": 1e3, "m": 1e6}[m.group(2).lower()]


# ------------------------------------------------------------------ the parser

class _Parser(argparse.ArgumentParser):
    """An ArgumentParser whose errors are one line and a pointer to --help
    (not the whole usage)."""

    def error(self, message: str) -> NoReturn:
        message = option_hint(self, message)
        self.exit(2, f"{self.prog}: error: {message}\n(see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    common.add_argument("-v", "--verbose", action="count", default=0,
                        help="log more: -v for checkpoints, streams and late data, -vv for everything")
    common.add_argument("-q", "--quiet", action="store_true", help="print only errors and the results")
    parser = _Parser(prog="movra", description="Run movra streams from the command line.",
                     epilog="See 'movra COMMAND --help'.")
    parser.add_argument("--version", action="version", version=f"movra {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    _listen_parser(commands, common)
    _send_parser(commands, common)
    ins = commands.add_parser("inspect", parents=[common], help="summarise a checkpoint",
                              description="Summarise a checkpoint: event-time bounds, window origin, event ids, "
                                          "open windows by group, and its metadata file if there is one. Given "
                                          "the --checkpoint path of 'movra listen', lists its generations. "
                                          "Exits with 1 when the file is not a valid checkpoint.")
    ins.add_argument("checkpoint", metavar="CHECKPOINT", help="a checkpoint file, or a managed checkpoint path")
    ins.add_argument("--json", action="store_true", help="print the summary as JSON")
    ins.set_defaults(run=_run_inspect, parser=ins)
    return parser


def _listen_parser(commands: Any, common: _Parser) -> None:
    p = commands.add_parser(
        "listen", parents=[common], help="run a plan over a live feed or a file",
        description="Run a plan over UDP datagrams (each one or more flat JSON objects) or a JSON-lines/CSV "
                    "file, and print the results as they come: closed windows as a table on a terminal, CSV or "
                    "JSON lines otherwise. Ctrl-C or SIGTERM stops it cleanly: it saves a last checkpoint and "
                    "flushes the open windows.",
        epilog="Example: movra listen udp://127.0.0.1:9000 --window 1s --by symbol --mean price "
               "--watermark 500ms --dedup event_id")
    p.add_argument("source", type=_source, metavar="SOURCE",
                   help="udp://HOST:PORT (port 0: any free port), a JSON-lines or CSV file, or - for standard "
                        "input")
    q = p.add_argument_group("plan (or --plan FILE, which these options then change)")
    q.add_argument("--window", type=_duration_text, metavar="DURATION", help="tumbling window width, whole seconds")
    q.add_argument("--by", metavar="COLUMN", help="group windows by this column")
    q.add_argument("--mean", metavar="COLUMN", help="the column each window averages")
    q.add_argument("--alias", metavar="NAME", help="output column of the mean (default avg_MEAN)")
    q.add_argument("--time-field", metavar="COLUMN", help="event time column, epoch ms (default timestamp)")
    q.add_argument("--watermark", type=_duration_text, metavar="DURATION", help="how far the watermark trails")
    q.add_argument("--lateness", type=_duration_text, metavar="DURATION", help="allowed lateness")
    q.add_argument("--keep-late", action="store_true", help="keep late events instead of dropping them")
    q.add_argument("--dedup", metavar="COLUMN", help="drop events whose id in this column was seen before")
    q.add_argument("--filter", type=_filter, action="append", metavar="EXPR",
                   help="keep rows that match, e.g. 'price>0' (repeatable; all must match)")
    q.add_argument("--select", type=_names, action="append", metavar="COLUMNS", help="output columns, a,b,c")
    q.add_argument("--plan", metavar="FILE", help="a JSON plan: Plan keywords or the core's plan dict")
    o = p.add_argument_group("output")
    o.add_argument("--format", choices=("table", "csv", "jsonl"),
                   help="table (the default on a terminal; needs rich), csv (the default otherwise) or jsonl")
    o.add_argument("--output", "-o", metavar="FILE", help="write results to FILE (csv or jsonl) instead of stdout")
    o.add_argument("--no-status", action="store_true", help="no status line on the terminal")
    o.add_argument("--datetimes", action="store_true",
                   help="window_start and window_end as ISO 8601 times in UTC instead of epoch milliseconds")
    i = p.add_argument_group("file sources")
    i.add_argument("--input-format", choices=("jsonl", "csv"), help="default: csv for *.csv, else jsonl")
    i.add_argument("--schema", type=_schema, metavar="COL=TYPE,...",
                   help="CSV column types: int, float, str, bool or datetime (ISO text to epoch ms), e.g. "
                        "zip=str,delay=float; quoted CSV values are text anyway")
    i.add_argument("--follow", "-f", action="store_true", help="keep reading as the file grows (until stopped)")
    c = p.add_argument_group("checkpoints")
    c.add_argument("--checkpoint", metavar="FILE",
                   help="save checkpoints as FILE.NNNNNN (+ .json) and resume from the newest sound one")
    c.add_argument("--every", type=_positive_duration, metavar="DURATION",
                   help="save every DURATION (default 10s; only with --checkpoint)")
    c.add_argument("--every-events", type=_positive_int, metavar="N", help="also save every N events")
    c.add_argument("--keep", type=_positive_int, metavar="K", default=3, help="generations to keep (default 3)")
    p.add_argument("--metrics", type=_metrics_address, metavar="[HOST]:PORT",
                   help="serve Prometheus metrics at http://HOST:PORT/metrics (needs prometheus_client; HOST "
                        "defaults to 127.0.0.1, 0.0.0.0 serves every interface)")
    s = p.add_argument_group("stream")
    s.add_argument("--batch-size", type=_positive_int, metavar="N", default=8192, help="rows per micro-batch")
    s.add_argument("--capacity", type=_positive_int, metavar="N", default=100_000,
                   help="events that may wait (UDP); more are dropped")
    s.add_argument("--linger", type=_duration, metavar="DURATION", default=10,
                   help="time between micro-batch cuts (UDP; default 10ms)")
    s.add_argument("--align", choices=("epoch", "first-event"), default="epoch",
                   help="windows on the epoch grid (default) or anchored at the first event time")
    p.set_defaults(run=_run_listen, parser=p)


def _send_parser(commands: Any, common: _Parser) -> None:
    p = commands.add_parser(
        "send", parents=[common], help="send JSON lines, CSV or a synthetic feed as UDP datagrams",
        description="Send each row of a JSON-lines or CSV file (or standard input, or a synthetic feed) as one "
                    "UDP datagram, at a steady rate, with a progress bar and a final tally.",
        epilog="Examples: movra send trades.jsonl udp://127.0.0.1:9000 --rate 2000/s; "
               "movra send --synthetic trades udp://127.0.0.1:9000 --duration 10s")
    p.add_argument("source", nargs="?", metavar="FILE", help="a JSON-lines or CSV file, or - for standard input")
    p.add_argument("target", type=_target, metavar="udp://HOST:PORT", help="where to send the datagrams")
    p.add_argument("--synthetic", choices=sorted(FEEDS), help="send a generated feed instead of a file")
    p.add_argument("--rate", type=_rate, default=1000.0, metavar="N/s", help="datagrams a second (default "
                   "1000/s; 'max' for as fast as possible)")
    p.add_argument("--count", type=_positive_int, metavar="N", help="stop after N datagrams")
    p.add_argument("--duration", type=_positive_duration, metavar="DURATION", help="stop after DURATION")
    p.add_argument("--seed", type=int, default=7, help="seed of the synthetic feed (default 7)")
    p.add_argument("--input-format", choices=("jsonl", "csv"), help="default: csv for *.csv, else jsonl")
    p.add_argument("--schema", type=_schema, metavar="COL=TYPE,...",
                   help="CSV column types (int, float, str, bool, datetime), e.g. zip=str")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.add_argument("--json", action="store_true", help="print the final tally as JSON on stdout")
    p.set_defaults(run=_run_send, parser=p)


def _version() -> str:
    from . import __version__

    return __version__


# ------------------------------------------------------------------ listen

def _plan_file(path: str, parser: argparse.ArgumentParser) -> Plan:
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as e:
        parser.error(f"argument --plan: cannot read {path!r}: {e.strerror}")
    except ValueError as e:
        parser.error(f"argument --plan: {path!r} is not JSON: {e}")
    if not isinstance(data, dict):
        parser.error(f"argument --plan: {path!r} must hold a JSON object")
    try:
        if set(RawPlan.__annotations__) - OPTIONAL_KEYS <= set(data) <= set(RawPlan.__annotations__):
            return Plan.from_dict(data)
        return Plan(**data)
    except (ValueError, TypeError) as e:
        parser.error(f"argument --plan: {path!r}: {str(e).replace('__init__() ', '')}")


def _plan(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Plan:
    changes: dict[str, Any] = {}
    for key in ("window", "by", "mean", "alias", "time_field", "watermark", "lateness", "dedup"):
        if getattr(args, key) is not None:
            changes[key] = getattr(args, key)
    if args.filter:
        changes["filters"] = args.filter
    if args.select:
        changes["select"] = [n for names in args.select for n in names]
    if args.keep_late:
        changes["drop_late"] = False
    try:
        return _plan_file(args.plan, parser).replace(**changes) if args.plan else Plan(**changes)
    except (PlanError, TypeError) as e:
        text = str(e)
        for key in ("time_field",):
            text = text.replace(key, "--" + key.replace("_", "-"))
        parser.error(text)


def _run_listen(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    plan = _plan(args, parser)
    source: SourceSpec = args.source
    fmt = args.format
    if fmt is None:
        if args.output is not None:
            fmt = "jsonl" if args.output.lower().endswith((".jsonl", ".json", ".ndjson")) else "csv"
        else:
            fmt = "table" if sys.stdout.isatty() else "csv"
    if fmt == "table" and args.output is not None:
        parser.error("argument --format: the table is for the terminal; write csv or jsonl to --output")
    if source.kind == "stdin" and args.follow:
        parser.error("argument --follow: only for a file")
    if source.kind == "udp" and (args.follow or args.input_format):
        parser.error(f"argument {'--follow' if args.follow else '--input-format'}: only for a file or -")
    if source.kind == "file" and not os.path.isfile(source.path) and not args.follow:
        parser.error(f"argument SOURCE: {source.path!r} is not a file (for UDP write udp://HOST:PORT)")
    if args.keep_late and args.checkpoint is not None and args.output is not None:
        # Which late events fall into one correction row depends on where the
        # micro-batches are cut, which a replay after a restart does not repeat.
        parser.error("argument --keep-late: not with --checkpoint and --output, whose output must come out the "
                     "same after a restart; kept late rows depend on where micro-batches are cut")
    for flag, value in (("--every", args.every), ("--every-events", args.every_events)):
        if value is not None and args.checkpoint is None:
            parser.error(f"argument {flag}: only with --checkpoint (without one nothing is saved)")
    if args.schema is not None and (source.kind == "udp" or (args.input_format or format_of(source.path or None))
                                    != "csv"):
        parser.error("argument --schema: only for CSV input")
    if fmt == "table":
        _require("rich", "the table output (--format table)")
    if args.metrics is not None:
        _require("prometheus_client", "--metrics")
    opts = ListenOptions(
        source=source, plan=plan, format=fmt, output=args.output,
        input_format=args.input_format or format_of(source.path or None), follow=args.follow,
        checkpoint=args.checkpoint, every_ms=10_000 if args.every is None else args.every,
        every_events=args.every_events, keep=args.keep, datetimes=args.datetimes, schema=args.schema,
        metrics=args.metrics, batch_size=args.batch_size, capacity=args.capacity, linger_ms=args.linger,
        epoch_windows=args.align == "epoch", status=not args.no_status, quiet=args.quiet)
    return listen(opts)


# ------------------------------------------------------------------ send

def _datagrams(args: argparse.Namespace, tally: dict[str, int]) -> Iterator[tuple[bytes, str, int]]:
    """The datagrams to send, each with its kind ("trade", "late", "resend"
    or "row") and the bytes of the source read so far."""
    dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode
    if args.synthetic:
        for event, kind in FEEDS[args.synthetic](seed=args.seed):
            yield dumps(event).encode(), kind, 0
        return
    path = None if args.source == "-" else args.source
    try:
        lines = LineSource(path, args.input_format or format_of(path), schema=args.schema)
    except OSError as e:
        raise MovraError(f"cannot read {args.source}: {e.strerror}") from e
    except ValueError as e:
        raise MovraError(str(e)) from e
    try:
        while not lines.ended:
            if (chunk := lines.read(1024)) is None:
                continue  # a pipe with nothing new yet
            tally["skipped"] += chunk.skipped
            for row in chunk.rows:
                yield dumps(row).encode(), "row", chunk.end
    finally:
        lines.close()


def _progress(args: argparse.Namespace, total: float | None) -> Any:
    """A rich progress display, or None (not a terminal, --no-progress, or
    rich missing)."""
    if args.no_progress or args.quiet or not sys.stderr.isatty():
        return None
    try:
        from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn, TimeRemainingColumn
    except ImportError:
        print("(pip install 'movra[cli]' for a progress bar)", file=sys.stderr)
        return None
    progress = Progress(TextColumn("{task.description}"), BarColumn(), TextColumn("{task.fields[sent]:,} datagrams"),
                        TimeElapsedColumn(), TimeRemainingColumn())
    progress.add_task(f"to udp://{args.target[0]}:{args.target[1]}", total=total, sent=0)
    return progress


def _run_send(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.synthetic and args.source is not None:
        parser.error(f"argument FILE: {args.source!r} given with --synthetic; give one or the other")
    if not args.synthetic and args.source is None:
        parser.error("argument FILE: give a file, - for standard input, or --synthetic trades")
    if args.source not in (None, "-") and not os.path.isfile(args.source):
        parser.error(f"argument FILE: {args.source!r} is not a file")
    # What the progress bar counts: datagrams, seconds or bytes of the file.
    measure, total = "bytes", None if args.source in (None, "-") else float(os.path.getsize(args.source))
    if args.count is not None:
        measure, total = "count", float(args.count)
    elif args.duration is not None:
        measure, total = "seconds", args.duration / 1000
    elif args.synthetic:
        measure = "count"
    tally = {"sent": 0, "resent": 0, "late": 0, "datagrams": 0, "skipped": 0, "failed": 0, "refused": 0}
    rate: float | None = args.rate
    progress = _progress(args, total)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # Connected, so that the refusal of a host where nobody listens on the
    # port comes back as ECONNREFUSED on a later send.
    try:
        sock.connect(args.target)
    except OSError as e:
        sock.close()
        raise MovraError(f"cannot send to udp://{args.target[0]}:{args.target[1]}: {e.strerror}") from e
    start = time.monotonic()
    interrupted = False
    done = 0.0

    def show() -> None:
        if progress is not None:
            progress.update(progress.task_ids[0], completed=done, sent=tally["datagrams"])

    if progress is not None:
        progress.start()
    try:
        for data, kind, offset in _datagrams(args, tally):
            elapsed = time.monotonic() - start
            if args.duration is not None and elapsed * 1000 >= args.duration:
                break
            if rate is not None and tally["datagrams"] / rate - elapsed > 0.001:
                time.sleep(tally["datagrams"] / rate - elapsed)
            try:
                sock.send(data)
            except ConnectionRefusedError:
                tally["refused"] += 1
                if tally["refused"] == 1:
                    logger.warning("udp://%s:%d refused datagrams: nobody listens on that port", *args.target)
            except OSError as e:
                tally["failed"] += 1
                if tally["failed"] == 1:
                    logger.warning("sending to udp://%s:%d failed: %s", *args.target, e.strerror)
            tally["datagrams"] += 1
            tally["resent" if kind == "resend" else "sent"] += 1
            tally["late"] += kind == "late"
            done = {"bytes": offset, "count": tally["datagrams"], "seconds": elapsed}[measure]
            if tally["datagrams"] % 64 == 0:
                show()
            if args.count is not None and tally["datagrams"] >= args.count:
                break
    except KeyboardInterrupt:
        interrupted = True
    finally:
        sock.close()
        if progress is not None:
            done = total if total is not None and not interrupted else done
            show()
            progress.stop()
    seconds = time.monotonic() - start
    if args.json:
        print(json.dumps(dict(tally, seconds=round(seconds, 3))), flush=True)
    if not args.quiet:
        parts = [f"sent {tally['datagrams']:,} datagrams to udp://{args.target[0]}:{args.target[1]} in "
                 f"{seconds:.1f} s ({tally['datagrams'] / seconds if seconds > 0 else 0:,.0f}/s)"]
        if args.synthetic:
            parts.append(f"{tally['sent']:,} trades, {tally['resent']:,} of them sent twice, "
                         f"{tally['late']:,} stamped late")
        parts += [f"{tally[k]:,} {text}" for k, text in (("skipped", "lines skipped"), ("failed", "failed"))
                  if tally[k]]
        if tally["refused"]:
            parts.append(f"{tally['refused']:,} refused: nobody listens on udp://{args.target[0]}:{args.target[1]}"
                         " (start 'movra listen' there first)")
        print("; ".join(parts) + (" (interrupted)" if interrupted else ""), file=sys.stderr)
    return 130 if interrupted else 0


# ------------------------------------------------------------------ inspect

def _when(ms: int) -> str:
    if abs(ms) <= 10**12:
        return str(ms)
    moment = datetime.datetime.fromtimestamp(ms / 1000, datetime.timezone.utc)
    return f"{ms} ({moment:%Y-%m-%d %H:%M:%S}.{ms % 1000:03d} UTC)"


def _summary(path: str) -> dict[str, Any]:
    """What `inspect` reports about one checkpoint file; raises ValueError
    when it is not a checkpoint and OSError when it cannot be read."""
    data = read_regular_file(path, _MAX_CHECKPOINT_BYTES)
    info = inspect_checkpoint(data)
    groups: dict[str, dict[str, Any]] = {}
    for start, group, _total, count in window_lines(data, info):
        g = groups.setdefault(group, {"windows": 0, "events": 0, "first_start": start, "last_start": start})
        g["windows"] += 1
        g["events"] += count
        g["first_start"] = min(g["first_start"], start)
        g["last_start"] = max(g["last_start"], start)
    out: dict[str, Any] = {"path": path, "bytes": len(data), **info._asdict(), "groups": groups}
    if os.path.exists(path + ".json"):
        try:
            _, meta, _ = read_generation(path)
            out["metadata"] = meta
        except Damaged as e:
            out["metadata_problem"] = str(e)
    return out


def _generations(path: str) -> list[str]:
    directory, name = os.path.split(os.path.abspath(path))
    pattern = re.compile(re.escape(name) + r"\.(\d+)")
    try:
        entries = os.listdir(directory)
    except OSError:
        return []
    found = sorted((int(m.group(1)), e) for e in entries if (m := pattern.fullmatch(e)))
    return [os.path.join(directory, e) for _, e in found]


def _print_summary(s: dict[str, Any]) -> None:
    print(f"checkpoint    {s['path']} ({s['bytes']:,} bytes)")
    print(f"event time    {'none yet' if s['max_event_time'] is None else 'up to ' + _when(s['max_event_time'])}")
    origin = s["window_origin"]
    anchor = "not fixed yet" if origin is None else "the epoch (windows aligned to it)" if origin == 0 else _when(origin)
    print(f"window origin {anchor}")
    print(f"event ids     {s['event_ids']:,}")
    groups = s["groups"]
    print(f"open windows  {s['windows']:,}" + (f" in {len(groups):,} group(s)" if groups else ""))
    if groups:
        width = max(5, *(len(g) for g in groups))
        print(f"  {'group':<{width}}  {'windows':>7}  {'events':>9}  starts")
        for name, g in sorted(groups.items()):
            span = _when(g["first_start"]) + ("" if g["first_start"] == g["last_start"]
                                              else " to " + _when(g["last_start"]))
            print(f"  {name or '(none)':<{width}}  {g['windows']:>7,}  {g['events']:>9,}  {span}")
    if "metadata_problem" in s:
        print(f"metadata      DOES NOT MATCH: {s['metadata_problem']}")
    meta = s.get("metadata")
    if meta:
        print(f"metadata      sequence {meta['sequence']}, written {meta['created']}, checksum matches")
        counters = meta.get("counters") or {}
        print("  counters    " + ", ".join(f"{k} {v:,}" for k, v in counters.items()))
        user = dict(meta.get("user") or {})
        plan = user.pop("plan", None)
        if plan is not None:
            try:
                print(f"  plan        {Plan.from_dict(plan)!r}")
            except (ValueError, TypeError):
                print(f"  plan        {json.dumps(plan)}")
        for key, value in user.items():
            print(f"  {key:<11} {json.dumps(value) if not isinstance(value, (str, int)) else value}")


def _run_inspect(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    path = args.checkpoint
    if os.path.isfile(path):
        try:
            summary = _summary(path)
        except OSError as e:
            raise MovraError(f"cannot read {path!r}: {e.strerror}") from e
        except ValueError as e:
            print(f"movra inspect: {path} is not a valid checkpoint: {e}", file=sys.stderr)
            return 1
        if args.json:
            print(json.dumps(summary, indent=1))
        else:
            _print_summary(summary)
        return 1 if "metadata_problem" in summary else 0
    generations = _generations(path)
    if not generations:
        print(f"movra inspect: {path}: no such checkpoint file, and no generations {path}.NNNNNN", file=sys.stderr)
        return 1
    listing = []
    for gen in generations:
        try:
            _, meta, info = read_generation(gen)
            listing.append({"path": gen, "sound": True, "created": meta["created"], "event_ids": info.event_ids,
                            "windows": info.windows})
        except Damaged as e:
            listing.append({"path": gen, "sound": False, "problem": str(e)})
    newest = next((g for g in reversed(listing) if g["sound"]), None)
    if args.json:
        print(json.dumps({"generations": listing, "newest": newest and _summary(newest["path"])}, indent=1))
    else:
        print(f"{len(listing)} generation(s) of {path}:")
        for g in listing:
            state = f"{g['created']}, {g['event_ids']:,} ids, {g['windows']:,} windows" if g["sound"] \
                else f"NOT USABLE: {g['problem']}"
            print(f"  {os.path.basename(g['path'])}  {state}")
        if newest is not None:
            print()
            _print_summary(_summary(newest["path"]))
    return 0 if newest is not None else 1


# ------------------------------------------------------------------ main

class _CurrentStderr:
    """Writes to whatever sys.stderr is at the time (a status display may
    route it)."""

    def write(self, text: str) -> int:
        return sys.stderr.write(text)

    def flush(self) -> None:
        sys.stderr.flush()


def _configure_logging(verbose: int, quiet: bool) -> Callable[[], None]:
    handler = logging.StreamHandler(_CurrentStderr())
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s", "%H:%M:%S"))
    level = logging.ERROR if quiet else (logging.WARNING, logging.INFO, logging.DEBUG)[min(verbose, 2)]
    previous = logger.level
    logger.addHandler(handler)
    logger.setLevel(level)

    def undo() -> None:
        logger.removeHandler(handler)
        logger.setLevel(previous)
    return undo


def main(argv: Sequence[str] | None = None) -> int:
    """The ``movra`` command; returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    undo = _configure_logging(args.verbose, args.quiet)
    try:
        return int(args.run(args, args.parser))
    except _MissingExtra as e:
        print(f"movra {args.command}: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of the output went away (movra listen ... | head).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except (MovraError, OSError) as e:
        print(f"movra {args.command}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    finally:
        undo()
