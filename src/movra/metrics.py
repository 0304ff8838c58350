"""A stream's counters and rates for Prometheus.

`StreamMetrics` reads a stream's counters (continued across restarts when a
`movra.CheckpointManager` is given), derives rates over a sliding window,
renders them in the Prometheus text format (`StreamMetrics.text`), and
serves them over HTTP through the official ``prometheus_client`` package
(`StreamMetrics.serve`; ``pip install 'movra[metrics]'``)::

    import movra, movra.metrics

    stream = movra.udp("0.0.0.0", 9000)
    metrics = movra.metrics.StreamMetrics(stream)
    server = metrics.serve(9108)        # http://127.0.0.1:9108/metrics
    ...
    server.close()

Every name has the prefix ``movra_``; counters end in ``_total``.  The
``movra listen --metrics :9108`` command serves the same (on 127.0.0.1;
``--metrics 0.0.0.0:9108`` on every interface).
"""

from __future__ import annotations

import collections
import dataclasses
import os
import selectors
import socket
import socketserver
import threading
import time
import wsgiref.simple_server
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any, Final, Literal

from ._frames import require
from ._stream import Stats, Stream

if TYPE_CHECKING:
    from ._checkpoints import CheckpointManager

__all__ = ["Metric", "MetricsServer", "StreamMetrics", "render"]

#: (counter key, metric name, help) of each counter.
COUNTERS: Final = (
    ("ingested", "movra_events_ingested", "Events offered to the stream, accepted or dropped."),
    ("dropped", "movra_events_dropped", "Events dropped because the pending queue was full."),
    ("rejected_datagrams", "movra_datagrams_rejected",
     "UDP datagrams rejected whole: not flat JSON objects, not UTF-8, or empty."),
    ("duplicate_events", "movra_events_duplicate", "Events skipped as already-seen event ids."),
    ("late_events", "movra_events_late",
     "Events behind the watermark by more than the allowed lateness."),
    ("late_rows_over_cap", "movra_late_rows_over_cap",
     "Late rows a keep_late plan found no room for, dropped (also in the late events)."),
    ("microbatches_emitted", "movra_microbatches", "Micro-batches cut by the stream's worker."),
    ("output_batches", "movra_output_batches", "Results handed to the caller."),
    ("output_rows", "movra_output_rows", "Rows (or closed windows) in those results."),
    ("checkpoint_saves", "movra_checkpoint_saves", "Checkpoints saved."),
    ("checkpoint_loads", "movra_checkpoint_loads", "Checkpoints loaded."),
)
#: (stats key, metric name, help) of each size.
SIZES: Final = (
    ("open_windows", "movra_open_windows", "Windows open in the event-time state."),
    ("seen_event_ids", "movra_seen_event_ids", "Event ids remembered for de-duplication."),
)
#: (counter key, metric name, help) of each rate.
RATES: Final = (
    ("ingested", "movra_events_in_per_second", "Events ingested per second, over the rate window."),
    ("output_rows", "movra_rows_out_per_second", "Rows (or windows) out per second, over the rate window."),
    ("dropped", "movra_events_dropped_per_second", "Events dropped per second, over the rate window."),
    ("late_events", "movra_events_late_per_second", "Late events per second, over the rate window."),
)


@dataclasses.dataclass(frozen=True, slots=True)
class Metric:
    """One value: `name` (a counter's without ``_total``), `kind`, `help`."""

    name: str
    kind: Literal["counter", "gauge"]
    help: str
    value: float

    @property
    def sample_name(self) -> str:
        """The name the value is exposed under: counters end in ``_total``."""
        return self.name + "_total" if self.kind == "counter" else self.name


def _number(value: float) -> str:
    if isinstance(value, int) or value.is_integer():
        return str(int(value))
    return repr(value)


def render(metrics: Iterable[Metric]) -> str:
    """`metrics` in the Prometheus text exposition format (version 0.0.4)."""
    lines = []
    for m in metrics:
        text = m.help.replace("\\", "\\\\").replace("\n", "\\n")
        lines += [f"# HELP {m.sample_name} {text}", f"# TYPE {m.sample_name} {m.kind}",
                  f"{m.sample_name} {_number(m.value)}"]
    return "\n".join(lines) + "\n"


class StreamMetrics:
    """The metrics of one stream.

    `checkpoints` (a `movra.CheckpointManager`) makes the counters totals
    across restarts and adds the last save's time, duration and sequence.
    Rates are the change of a counter over the last `rate_window` seconds
    of readings (each `sample` is a reading, and so is the creation; with
    readings further apart, over the time since the one before).  `extra`, when given, returns
    more metrics to append (``movra listen`` adds the batches waiting and
    the source offset).  Safe to use from several threads.
    """

    def __init__(self, stream: Stream, *, checkpoints: CheckpointManager | None = None,
                 rate_window: float = 10.0, extra: Callable[[], Iterable[Metric]] | None = None) -> None:
        if not isinstance(stream, Stream):
            raise TypeError(f"stream must be a movra.Stream, got {type(stream).__name__}")
        if isinstance(rate_window, bool) or not isinstance(rate_window, (int, float)) or rate_window <= 0:
            raise ValueError(f"rate_window must be positive seconds, got {rate_window!r}")
        self._stream = stream
        self._checkpoints = checkpoints
        self._window = float(rate_window)
        self._extra = extra
        self._lock = threading.Lock()
        self._readings: collections.deque[tuple[float, Stats]] = collections.deque()
        self.rates()  # the first reading: rates start from here

    def counters(self) -> Stats:
        """The counters now (totals across restarts with `checkpoints`)."""
        return self._checkpoints.stats() if self._checkpoints is not None else self._stream.stats()

    def rates(self, counters: Stats | None = None, now: float | None = None) -> dict[str, float]:
        """Per-second rates of "ingested", "output_rows", "dropped" and
        "late_events" over the rate window; records `counters` (read now
        when None) as a reading."""
        counters = self.counters() if counters is None else counters
        now = time.monotonic() if now is None else now
        with self._lock:
            readings = self._readings
            readings.append((now, counters))
            # Keep one reading at or before the window's start, so the rate
            # spans the whole window once the stream has run that long.
            while len(readings) > 2 and readings[1][0] <= now - self._window:
                readings.popleft()
            then, old = readings[0]
        span = now - then
        return {key: (counters[key] - old[key]) / span if span > 0 else 0.0  # type: ignore[literal-required]
                for key, _, _ in RATES}

    def sample(self) -> list[Metric]:
        """Every metric, read now."""
        stats = self.counters()
        rates = self.rates(stats)
        counters: Mapping[str, int] = stats  # type: ignore[assignment]
        out = [Metric(name, "counter", text, counters[key]) for key, name, text in COUNTERS]
        out += [Metric(name, "gauge", text, counters[key]) for key, name, text in SIZES]
        out += [Metric(name, "gauge", text, rates[key]) for key, name, text in RATES]
        last = self._checkpoints.last if self._checkpoints is not None else None
        if last is not None:
            out += [
                Metric("movra_checkpoint_last_timestamp_seconds", "gauge",
                       "When the last checkpoint was saved or restored (Unix time).", last.created.timestamp()),
                Metric("movra_checkpoint_last_duration_seconds", "gauge",
                       "How long the last checkpoint save took.", last.seconds),
                Metric("movra_checkpoint_sequence", "gauge", "Sequence number of the last checkpoint.",
                       last.sequence),
            ]
            if last.info.max_event_time is not None:
                out.append(Metric("movra_checkpoint_max_event_time_milliseconds", "gauge",
                                  "Greatest event time in the last checkpoint (epoch milliseconds).",
                                  last.info.max_event_time))
        if self._extra is not None:
            out += list(self._extra())
        return out

    def text(self) -> str:
        """Every metric in the Prometheus text format."""
        return render(self.sample())

    def serve(self, port: int, host: str = "127.0.0.1") -> MetricsServer:
        """Serves the metrics at ``http://host:port/metrics`` from a thread,
        through ``prometheus_client``'s WSGI app with a collector of its own
        (port 0 picks a free port, see `MetricsServer.address`).  The thread
        sleeps until a request comes or the server is closed.  Only this
        machine can reach the metrics unless `host` says otherwise
        ("0.0.0.0": every interface)."""
        prometheus = require("prometheus_client", "serving metrics")
        registry = prometheus.CollectorRegistry(auto_describe=False)
        registry.register(_Collector(self))
        return MetricsServer.start(prometheus.make_wsgi_app(registry), host, port)


class _Collector:
    """A prometheus_client collector over `StreamMetrics.sample`."""

    def __init__(self, metrics: StreamMetrics) -> None:
        self._metrics = metrics

    def collect(self) -> Iterator[Any]:
        from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

        for m in self._metrics.sample():
            family = CounterMetricFamily if m.kind == "counter" else GaugeMetricFamily
            yield family(m.name, m.help, value=m.value)


class _QuietHandler(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:
        """Requests are not logged."""


class _Server(socketserver.ThreadingMixIn, wsgiref.simple_server.WSGIServer):
    daemon_threads = True


class MetricsServer:
    """A running metrics endpoint; `close` stops it.

    Its thread waits in one ``select`` on the listening socket and a pipe
    that `close` writes to, with no timeout, so an idle endpoint never
    wakes (``socketserver``'s own loop looks for a shutdown twice a
    second)."""

    def __init__(self, server: Any, thread: threading.Thread, wake: tuple[int, int]) -> None:
        """Use `StreamMetrics.serve` instead."""
        self._server = server
        self._thread = thread
        self._wake: tuple[int, int] | None = wake

    @classmethod
    def start(cls, app: Any, host: str, port: int) -> MetricsServer:
        """Binds `host`:`port` (IPv4 or IPv6, as the address is) and serves
        the WSGI `app` from a daemon thread."""
        family, _, _, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                                      flags=socket.AI_PASSIVE)[0]

        class Server(_Server):
            address_family = family

        server = wsgiref.simple_server.make_server(str(address[0]), port, app, Server,
                                                  handler_class=_QuietHandler)
        wake = os.pipe2(os.O_CLOEXEC)
        thread = threading.Thread(target=cls._serve, args=(server, wake[0]), name="movra-metrics", daemon=True)
        thread.start()
        return cls(server, thread, wake)

    @staticmethod
    def _serve(server: Any, wake: int) -> None:
        with selectors.DefaultSelector() as selector:
            selector.register(server, selectors.EVENT_READ)
            selector.register(wake, selectors.EVENT_READ)
            while True:
                events = selector.select()
                if any(key.fileobj == wake for key, _ in events):
                    return
                server.handle_request()  # readable: accepts without waiting

    @property
    def address(self) -> tuple[str, int]:
        """(host, port) as bound."""
        host, port = self._server.server_address[:2]
        return host, port

    def close(self) -> None:
        """Stops serving and frees the port.  Idempotent."""
        wake, self._wake = self._wake, None
        if wake is None:
            return
        os.write(wake[1], b"x")
        self._thread.join()
        self._server.server_close()
        for fd in wake:
            os.close(fd)
