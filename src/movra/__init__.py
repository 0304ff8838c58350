"""An in-process streaming event processor.

Events come in as UDP datagrams (each one or more flat JSON objects), as
dicts and as columns (dicts of lists or NumPy arrays, pandas and Polars
DataFrames, Arrow tables).  A worker thread cuts them into micro-batches, and a `Plan` runs
over them: filters, de-duplication, event time with a watermark and allowed
lateness, tumbling event-time windows with the mean and count per group, and
projection.  Results come as dicts of column lists or as frames.

Quick start::

    import movra

    plan = movra.Plan(window="1s", by="sym", mean="price", watermark="500ms")
    with movra.manual() as stream:
        stream.emit_columns({"sym": ["A", "B", "A"], "price": [1.0, 2.0, 3.0],
                             "timestamp": [0, 400, 900]})
        stream.close()                       # no more events: flush the windows
        for batch in stream.batches(plan):   # ends once the stream is drained
            print(batch)

For a live feed, ``movra.udp("127.0.0.1", 9000)`` receives datagrams;
iterate with ``stream.batches(plan)`` in a thread, ``stream.abatches(plan)``
in asyncio, or call ``stream.poll(plan, timeout=...)`` from your own loop.
None of them holds the interpreter lock while it waits.

The names:

- `Plan`, `Filter`, `parse_duration`, `format_duration`: queries.
- `count`, `sum`, `mean`, `min`, `max`, `first`, `last`, `var`, `stddev`,
  `count_distinct`, `quantile`, `approx_quantile`,
  `approx_count_distinct` (each an `Agg`): the aggregates of a window,
  ``Plan(window="1m", by="sym", aggs={"high": movra.max("price")})``.
- `aggregate`: a plan over a frame in memory, in one call.
- `udp`, `manual`, `Stream`: streams, events in and results out,
  checkpoints (`Stream.save_checkpoint`, `Stream.load_checkpoint`) and
  epoch-aligned windows (`Stream.align_windows_to_epoch`).
- `CheckpointManager` (with `Generation`, `Restored`): periodic,
  verified checkpoint generations that a restart resumes from, with the
  counters continued.
- ``movra.metrics``: the counters in the Prometheus format and over HTTP.
  Logging goes to the ``movra`` logger (silent unless configured), and the
  ``movra`` command (``python -m movra``) runs streams from the shell.
- `bars`: market bars (open, high, low, close, volume, VWAP, count) per
  window and symbol from NumPy arrays or a frame, in one native pass.
- `MovraError` and its subclasses, and the `Dropped` and `MissingColumn`
  warnings: what went wrong.
- `RawPlan` and the other ``Raw*`` types: the native core's plan dict;
  `Stats`, `CheckpointInfo`, `Batch`: what streams return.

The native core stays available as ``_movra.NativeStream`` and as
`Stream.native`.
"""

from __future__ import annotations

from importlib import metadata as _metadata

from ._aggregate import aggregate
from ._bars import bars
from ._checkpoint_format import CheckpointInfo
from ._checkpoints import CheckpointManager, Generation, Restored
from ._errors import (BindError, CheckpointError, DataError, Dropped, DroppedError, MissingColumn, MovraError,
                      PlanError, StateError, StreamClosedError)
from ._frames import Output
from ._plan import (OPS, AggsLike, Duration, Filter, FilterLike, Plan, PlanLike, RawFilter, RawMean, RawPlan,
                    RawWindow, format_duration, parse_duration)
from ._stream import Batch, OnDrop, Stats, Stream, manual, udp, wait

# The aggregate helpers; sum, min and max shadow the builtins in this
# module's namespace from here on, so they come last.
from ._aggs import (AGG_OPS, Agg, RawAgg, approx_count_distinct, approx_quantile, count, count_distinct, first,
                    last, max, mean, min, quantile, stddev, sum, var)

__all__ = [
    "AGG_OPS",
    "OPS",
    "Agg",
    "AggsLike",
    "Batch",
    "BindError",
    "CheckpointError",
    "CheckpointInfo",
    "CheckpointManager",
    "DataError",
    "Dropped",
    "DroppedError",
    "Duration",
    "Filter",
    "FilterLike",
    "Generation",
    "MissingColumn",
    "MovraError",
    "OnDrop",
    "Output",
    "Plan",
    "PlanError",
    "PlanLike",
    "RawAgg",
    "RawFilter",
    "RawMean",
    "RawPlan",
    "RawWindow",
    "Restored",
    "StateError",
    "Stats",
    "Stream",
    "StreamClosedError",
    "aggregate",
    "approx_count_distinct",
    "approx_quantile",
    "bars",
    "count",
    "count_distinct",
    "first",
    "format_duration",
    "last",
    "manual",
    "max",
    "mean",
    "min",
    "parse_duration",
    "quantile",
    "stddev",
    "sum",
    "udp",
    "var",
    "wait",
]

try:
    __version__ = _metadata.version("movra")
except _metadata.PackageNotFoundError:  # pragma: no cover - run from a source tree
    __version__ = "unknown"
