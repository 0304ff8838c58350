"""`aggregate`: one plan over a frame already in memory, in one call."""

from __future__ import annotations

from typing import Any, Literal, overload

from ._checks import check_columns
from ._errors import DataError, PlanError
from ._frames import Output, check_output, columns_of, convert_result
from ._plan import PlanLike, as_plan
from ._stream import Batch, FrameOutput, manual

__all__ = ["aggregate"]


@overload
def aggregate(data: Any, plan: PlanLike, *, output: Literal["dict"] = ..., datetimes: bool = ...,
              epoch_windows: bool = ...) -> Batch: ...
@overload
def aggregate(data: Any, plan: PlanLike, *, output: FrameOutput, datetimes: bool = ...,
              epoch_windows: bool = ...) -> Any: ...
def aggregate(data: Any, plan: PlanLike, *, output: Output = "dict", datetimes: bool = False,
              epoch_windows: bool = True) -> Any:
    """Runs `plan` over `data` (columns as for `Stream.emit_columns`: a
    pandas or Polars DataFrame, a pyarrow Table, a dict of columns) and
    returns every result, the open windows flushed: what feeding a fresh
    stream, closing it and taking every batch gives, without a queue or a
    thread.

    Rows of a windowed plan are taken in order of event time, so that none
    is late merely because the frame is not sorted.  The time field and the
    other columns the plan names are checked against `data` first (see
    `Stream.aggregate`).  `epoch_windows` as for `movra.manual`; `output`
    and `datetimes` as for `Stream.poll`.  Returns an empty dict (or frame)
    when nothing came out.

    >>> movra.aggregate({"sym": ["A", "A"], "price": [1.0, 2.0], "timestamp": [400, 0]},
    ...                 movra.Plan(window="1s", by="sym", mean="price"))
    {'avg_price': [1.5], 'count': [2], 'sym': ['A'], 'window_end': [1000], 'window_start': [0]}
    """
    checked = as_plan(plan)
    if checked.keep_late:
        raise PlanError("keep_late=True keeps late rows for Stream.late(), but movra.aggregate runs on a stream "
                        "that is gone when it returns; use a stream's aggregate() and late(), or leave keep_late out")
    check_output(output)
    columns = columns_of(data)
    check_columns(columns, checked)
    table = columns.take(0, columns.rows)
    times = table.get(checked.time_field) if checked.windowed else None
    if times is not None and any(b < a for a, b in zip(times, times[1:])):
        order = sorted(range(len(times)), key=times.__getitem__)
        table = {name: [values[i] for i in order] for name, values in table.items()}
    with manual(epoch_windows=epoch_windows) as stream:
        try:
            result = stream.native.aggregate_columns(table, dict(checked.to_dict()))
        except RuntimeError as e:
            raise DataError(columns.locate_bad_value()) from e
    return convert_result(result, output, datetimes, checked.output_columns)
