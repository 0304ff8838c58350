"""Defaults that keep every row and plans checked against the data: a
manual stream that waits instead of dropping, windows on the epoch grid,
time fields and plan columns the data must have, and `movra.aggregate`."""
import os
import re
import signal
import threading

import pytest

import movra
from conftest import wait_for

DAY = 86_400_000
T0 = 1_357_034_400_000  # 2013-01-01 10:00 UTC: day windows anchored here would run 10:00 to 10:00


def collect(stream, plan):
    out = {}
    for batch in stream.batches(plan):
        for name, values in batch.items():
            out.setdefault(name, []).extend(values)
    return out


# ------------------------------------------------------------ blocking emits

def as_kind(data, kind):
    """`data`, a dict of lists, as a dict of NumPy arrays, a pyarrow Table or
    a Polars DataFrame (the last two go through the core's Arrow route)."""
    if kind == "numpy":
        np = pytest.importorskip("numpy")
        return {k: np.array(v) for k, v in data.items()}
    if kind == "pyarrow":
        return pytest.importorskip("pyarrow").table(data)
    if kind == "polars":
        return pytest.importorskip("polars").DataFrame(data, strict=False)
    return data


@pytest.mark.parametrize("kind", ["lists", "numpy", "pyarrow", "polars"])
def test_a_default_manual_stream_keeps_every_row_of_a_frame_larger_than_its_capacity(kind):
    rows = 25_000
    data = as_kind({"g": [f"k{i % 7}" for i in range(rows)], "v": [1.0] * rows,
                    "timestamp": [T0 + i for i in range(rows)]}, kind)
    with movra.manual(capacity=1000, linger_ms=1) as stream:
        assert stream.emit_columns(data) == rows
        stream.close()
        out = collect(stream, movra.Plan(window="1d", by="g", mean="v"))
    assert sum(out["count"]) == rows and stream.stats()["dropped"] == 0


def test_single_emits_wait_for_room_too():
    with movra.manual(capacity=2, linger_ms=1) as stream:
        for i in range(200):
            stream.emit({"v": 1.0, "timestamp": T0 + i})
        stream.close()
        assert sum(collect(stream, movra.Plan(window="1s", mean="v"))["count"]) == 200


@pytest.mark.parametrize("emit", [
    lambda s: s.emit_columns({"v": [1.0] * 30, "timestamp": list(range(30))}),
    lambda s: [s.emit({"v": 1.0, "timestamp": i}) for i in range(30)],
])
def test_closing_the_stream_ends_a_wait_for_room_with_stream_closed_error(emit):
    stream = movra.manual(capacity=10, linger_ms=10**7)  # the worker never cuts until the close
    outcome = []

    def feed():
        try:
            emit(stream)
        except BaseException as e:  # noqa: BLE001 - handed to the test thread
            outcome.append(e)

    thread = threading.Thread(target=feed)
    thread.start()
    # The feeder waits without the interpreter lock, so this thread runs on.
    assert wait_for(lambda: stream.stats()["ingested"] >= 10)
    stream.close()
    thread.join(10)
    assert not thread.is_alive()
    assert len(outcome) == 1 and isinstance(outcome[0], movra.StreamClosedError), outcome
    assert "not sent" in str(outcome[0])


def _child_emits_to_a_closed_stream(stream):
    """In a forked child: an emit ends with StreamClosedError at once."""
    signal.alarm(10)  # a hang kills the child, and the parent sees it
    try:
        stream.emit({"v": 1.0, "timestamp": 1})
    except movra.StreamClosedError:
        return 0
    return 1


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_fork_child_does_not_inherit_the_emit_lock_of_a_thread_waiting_for_room():
    stream = movra.manual(capacity=10, linger_ms=10**7)  # the worker never cuts until the close
    thread = threading.Thread(target=lambda: pytest.raises(movra.StreamClosedError, stream.emit_columns,
                                                           {"v": [1.0] * 30, "timestamp": list(range(30))}))
    thread.start()
    assert wait_for(lambda: stream.stats()["ingested"] >= 10)  # the feeder waits, holding the emit lock
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            status = _child_emits_to_a_closed_stream(stream)
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    stream.close()
    thread.join(10)
    assert os.waitstatus_to_exitcode(status) == 0 and not thread.is_alive()

def test_block_is_refused_on_udp_and_warn_still_drops_on_manual():
    with pytest.raises(ValueError, match="on_drop='block' is for manual streams"):
        movra.udp(on_drop="block")
    with movra.manual(capacity=10, linger_ms=10**7, on_drop="warn") as stream:
        with pytest.warns(movra.Dropped):
            assert stream.emit_columns({"v": list(range(30))}) == 10


# ------------------------------------------------------------ epoch windows

@pytest.mark.parametrize("make, start", [
    (movra.manual, T0 - T0 % DAY),
    (movra.udp, T0 - T0 % DAY),
    (lambda: movra.manual(epoch_windows=False), T0),
])
def test_default_windows_lie_on_the_epoch_grid_and_first_event_anchoring_stays(make, start):
    with make() as stream:
        stream.emit_columns({"v": [1.0, 3.0], "timestamp": [T0, T0 + 3_600_000]})
        stream.close()
        out = collect(stream, movra.Plan(window="1d", mean="v"))
        counters = stream.stats()
    assert out["window_start"] == [start] and out["avg_v"] == [2.0]
    assert counters["checkpoint_saves"] == counters["checkpoint_loads"] == 0  # the alignment is not counted


# ------------------------------------------------------------ time field

@pytest.mark.parametrize("columns, plan, text", [
    ({"v": [1.0, 2.0], "when": ["2013-01-01", "2013-01-02"]}, dict(time_field="when"),
     "time_field 'when': row 0 of the events emitted holds '2013-01-01' (str), not epoch milliseconds"),
    ({"v": [1.0, 2.0], "when": [T0, 1.5]}, dict(time_field="when"), "row 1 of the events emitted holds 1.5"),
    ({"v": [1.0, 2.0], "when": [T0, None]}, dict(time_field="when"), "row 1 of the events emitted is missing"),
    ({"v": [1.0, 2.0], "when": [T0, T0]}, dict(time_field="wehn"),
     "time_field 'wehn' is not a column of the events emitted: did you mean 'when'?"),
])
def test_a_time_field_that_is_not_integer_milliseconds_raises_before_any_result(columns, plan, text):
    with movra.manual() as stream:
        stream.emit_columns(columns)
        stream.close()
        with pytest.raises(movra.DataError, match=re.escape(text)):
            next(stream.batches(movra.Plan(window="1d", mean="v", **plan)))
        with pytest.raises(movra.DataError, match=re.escape(text.split(":")[0])):
            stream.poll(movra.Plan(window="1d", mean="v", **plan))


@pytest.mark.parametrize("kind", ["pyarrow", "polars"])
@pytest.mark.parametrize("when, field, text", [
    (["2013-01-01", "2013-01-02"], "when", "row 0 of the events emitted holds '2013-01-01' (str)"),
    ([T0, None], "when", "row 1 of the events emitted is missing"),
    ([True, False], "when", "row 0 of the events emitted holds True (bool)"),
    ([T0, T0], "wehn", "time_field 'wehn' is not a column of the events emitted: did you mean 'when'?"),
])
def test_arrow_frames_are_checked_for_the_time_field_too(kind, when, field, text):
    with movra.manual() as stream:
        stream.emit_columns(as_kind({"v": [1.0, 2.0], "when": when}, kind))
        stream.close()
        with pytest.raises(movra.DataError, match=re.escape(text)):
            stream.poll(movra.Plan(window="1d", mean="v", time_field=field))


def test_rows_emitted_after_a_plan_ran_are_checked_before_they_are_sent():
    np = pytest.importorskip("numpy")
    plan = movra.Plan(window="1d", mean="v", time_field="when")
    with movra.manual() as stream:
        stream.emit_columns({"v": [1.0], "when": [T0]})
        assert stream.poll(plan) is None
        ingested = stream.stats()["ingested"]
        with pytest.raises(movra.DataError, match="row 0 of the rows emitted holds 1.5"):
            stream.emit_columns({"v": np.ones(2), "when": np.array([1.5, 2.5])})
        with pytest.raises(movra.DataError, match="not a key of the event"):
            stream.emit({"v": 1.0, "timestamp": T0})
        assert stream.stats()["ingested"] == ingested  # nothing was sent
        stream.emit_columns({"v": [3.0], "when": np.array(["2013-01-01T12:00"], dtype="datetime64[ms]")})
        stream.close()
        assert collect(stream, plan)["avg_v"] == [2.0]


@pytest.mark.parametrize("bad", [
    movra.Plan(window="1d", mean="v", time_field="wen"),  # misspelled: not a column
    movra.Plan(window="1d", mean="v", time_field="tag"),  # a column of text
])
def test_a_plan_refused_for_its_time_field_does_not_hold_later_emits_to_it(bad):
    plan = movra.Plan(window="1d", mean="v", time_field="when")
    with movra.manual() as stream:
        stream.emit_columns({"v": [1.0], "when": [T0], "tag": ["a"]})
        with pytest.raises(movra.DataError, match=repr(bad.time_field)):
            stream.poll(bad)
        stream.emit_columns({"v": [3.0], "when": [T0 + 1], "tag": ["b"]})  # refused the mistaken plan's field
        stream.emit({"v": 5.0, "when": T0 + 2})
        stream.close()
        assert collect(stream, plan)["avg_v"] == [3.0]

def test_events_without_a_timestamp_are_still_stamped_by_the_intake():
    with movra.manual() as stream:
        stream.emit({"v": 1.0})
        stream.close()
        assert collect(stream, movra.Plan(window="1s", mean="v"))["count"] == [1]


# ------------------------------------------------------------ plan columns

@pytest.mark.parametrize("plan", [
    movra.Plan(filters=[("timestamp", ">", 0)]),
    movra.Plan(dedup="timestamp"),
])
def test_a_plan_on_the_stamped_timestamp_does_not_warn(plan):
    with movra.manual() as stream:
        stream.emit({"v": 1.0})  # stamped by the intake, so it has a "timestamp"
        stream.close()
        assert len(collect(stream, plan)["v"]) == 1

@pytest.mark.parametrize("plan, column, text", [
    (movra.Plan(window="1d", mean="delay", by="carrier"), "delay", "mean 'delay' is not a column of the events: "
                                                                   "did you mean 'dep_delay'?"),
    (movra.Plan(window="1d", mean="dep_delay", by="carier"), "carier", "did you mean 'carrier'?"),
    (movra.Plan(dedup="flight_id"), "flight_id", "dedup 'flight_id'"),
    (movra.Plan(filters=["origin=='JFK'"]), "origin", "filter field 'origin'"),
])
def test_a_plan_column_no_event_has_warns_once_per_stream_with_the_nearest_names(plan, column, text):
    with movra.manual() as stream:
        stream.emit_columns({"carrier": ["UA", "AA"], "dep_delay": [1.0, 2.0], "timestamp": [T0, T0 + 1]})
        with pytest.warns(movra.MissingColumn, match=re.escape(text)) as caught:
            stream.poll(plan)
            stream.poll(plan)
        assert [w.message.column for w in caught] == [column]
        assert caught[0].filename == __file__  # points at the caller
        stream.close()
        list(stream.batches(plan))  # a second warning would fail here: warnings are errors


@pytest.mark.parametrize("by, text", [
    ("carrier,origin", r"by='carrier,origin' names 2 columns.*group by 'carrier'"),
    ("carrier,", r"by='carrier,' is not a column name: did you mean by='carrier'\?"),
    (" , ", r"by=' , ' is not a column name: it names no column"),
])
def test_grouping_by_several_columns_is_refused_with_a_hint(by, text):
    with pytest.raises(movra.PlanError, match=text):
        movra.Plan(window="1d", mean="v", by=by)


# ------------------------------------------------------------ aggregate

def _stream_aggregate(data, plan):
    with movra.manual() as stream:
        return stream.aggregate(data, plan)


@pytest.mark.parametrize("run", [movra.aggregate, _stream_aggregate])
def test_aggregating_a_frame_without_the_default_time_field_warns(run):
    # Every row would be stamped with the clock of the call: one window, not a day per day.
    frame = {"time": [T0, T0 + DAY, T0 + 2 * DAY], "v": [1.0, 2.0, 3.0]}
    with pytest.warns(movra.MissingColumn, match="time_field 'timestamp' .* did you mean 'time'.*one window"):
        out = run(frame, movra.Plan(window="1d", mean="v"))
    assert out["count"] == [3]

def test_aggregate_runs_a_plan_over_an_unsorted_frame_in_one_call():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"g": ["a", "b", "a", "a"], "v": [1.0, 5.0, 3.0, 8.0],
                          "when": pd.to_datetime([T0 + DAY, T0, T0 + 3_600_000, T0], unit="ms")})
    out = movra.aggregate(frame, movra.Plan(window="1d", by="g", mean="v", time_field="when"))
    day = T0 - T0 % DAY
    assert out == {"avg_v": [5.5, 5.0, 1.0], "count": [2, 1, 1], "g": ["a", "b", "a"],
                   "window_end": [day + DAY, day + DAY, day + 2 * DAY],
                   "window_start": [day, day, day + DAY]}
    with pytest.raises(movra.DataError, match="time_field 'g': row 0 of the data holds 'a'"):
        movra.aggregate(frame, movra.Plan(window="1d", mean="v", time_field="g"))


@pytest.mark.parametrize("field, datagrams, untimed", [
    ("when", [b'{"v":1,"when":"2013-01-01"}', b'{"v":2,"when":1357034400000}', b'{"v":3}'], 2),
    ("timestamp", [b'{"v":1,"timestamp":"yesterday"}', b'{"v":2}', b'{"v":3,"timestamp":1.5}'], 2),
])
def test_datagrams_without_a_usable_time_are_counted_and_logged_once(field, datagrams, untimed, caplog):
    import logging
    import socket

    plan = movra.Plan(window="1s", mean="v", time_field=field)
    with caplog.at_level(logging.WARNING, logger="movra"), movra.udp(linger_ms=1) as stream, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        for data in datagrams:
            tx.sendto(data, stream.address)
        assert wait_for(lambda: stream.stats()["ingested"] == len(datagrams))
        assert wait_for(lambda: stream.poll(plan) is None and stream.untimed_events == untimed)
        assert stream.untimed_events == untimed  # each event is counted once
    logged = [r.getMessage() for r in caplog.records if "integer milliseconds in the time field" in r.getMessage()]
    assert len(logged) == 1 and repr(field) in logged[0]
