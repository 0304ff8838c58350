"""The event-time window engine, next_batch and aggregate_columns."""
import threading
import time

import pytest

import _movra
from conftest import make_plan, wait_for, window_plan

NativeStream = _movra.NativeStream
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


@pytest.fixture
def s():
    stream = NativeStream.manual(1000, 1, 100000)
    yield stream
    stream.close()


@pytest.mark.parametrize(
    "extra, kept, late",
    [
        ({}, [100, 200], 1),
        ({"allowed_lateness_ms": 50}, [100, 200, 150], 0),
        ({"allowed_lateness_ms": 49}, [100, 200], 1),
        ({"allowed_lateness_ms": -50}, [100, 200], 1),
        ({"drop_late": False}, [100, 200, 150], 1),
        ({"watermark_ms": 50}, [100, 200, 150], 0),
        ({"watermark_ms": 2**62}, [100, 200, 150], 0),
    ],
)
def test_lateness(s, extra, kept, late):
    out = s.aggregate_columns({"timestamp": [100, 200, 150]}, make_plan(**extra))
    assert out["timestamp"] == kept
    assert s.stats()["late_events"] == late


def test_double_time_is_replaced_by_the_wall_clock(s):
    out = s.aggregate_columns({"timestamp": [100.0, 200]}, make_plan())
    assert out["timestamp"] == [100.0]
    assert s.stats()["late_events"] == 1


def test_deduplication_by_display_text(s):
    plan = make_plan(event_id_field="id")
    out = s.aggregate_columns({"id": [7, 7.0, "7", None, None, "x"], "timestamp": [1] * 6}, plan)
    assert out["id"] == ["7", None, None, "x"]
    assert s.stats()["duplicate_events"] == 2
    out = s.aggregate_columns({"id": ["x", "7"], "timestamp": [1, 1]}, plan)
    assert out == {}
    assert s.stats()["duplicate_events"] == 4
    assert s.stats()["seen_event_ids"] == 2


def test_late_rows_ids_are_remembered(s):
    plan = make_plan(event_id_field="id")
    s.aggregate_columns({"id": ["a", "b"], "timestamp": [200, 100]}, plan)
    assert s.stats()["late_events"] == 1
    out = s.aggregate_columns({"id": ["b"], "timestamp": [300]}, plan)
    assert out == {} and s.stats()["duplicate_events"] == 1


def test_filtered_rows_leave_no_trace(s):
    plan = make_plan(filters=[{"field": "k", "op": "==", "value": 1}], event_id_field="id")
    s.aggregate_columns({"k": [0], "id": ["a"], "timestamp": [10**9]}, plan)
    assert s.stats()["seen_event_ids"] == 0
    out = s.aggregate_columns({"k": [1], "id": ["a"], "timestamp": [5]}, plan)
    assert out["id"] == ["a"]


def test_windowed_example(s):
    s.emit_columns({"timestamp": [1000, 5000, 12000], "v": [1.0, 2.0, 6.0]})
    assert wait_for(lambda: s.stats()["microbatches_emitted"] == 1)
    out = s.next_batch(window_plan(seconds=10), timeout_ms=0)
    assert out == {"avg": [1.5], "count": [2], "window_end": [10000], "window_start": [0]}
    assert s.stats()["open_windows"] == 1
    s.close()
    out = s.next_batch(window_plan(seconds=10), timeout_ms=0)
    assert out == {"avg": [6.0], "count": [1], "window_end": [20000], "window_start": [10000]}
    assert s.next_batch(window_plan(seconds=10), timeout_ms=0) is None


@pytest.mark.parametrize("last_time, closes", [(10000, True), (9999, False)])
def test_window_ending_at_the_threshold_closes(s, last_time, closes):
    out = s.aggregate_columns({"timestamp": [1000, last_time], "v": [1.0, None]}, make_plan(**_window_only(10)))
    # The Row with a Null mean value moves time but adds nothing.
    assert out["count"] == [1]
    assert (s.stats()["open_windows"]) == 0


def _window_only(seconds):
    return {"window": {"seconds": seconds, "by": None, "time_field": "timestamp"}, "mean": {"field": "v", "alias": "avg"}}


def test_window_closing_at_threshold_in_next_batch():
    for last_time, open_after in [(10000, 0), (9999, 1)]:
        stream = NativeStream.manual(1000, 1, 1000)
        stream.emit_columns({"timestamp": [1000, last_time], "v": [1.0, None]})
        assert wait_for(lambda: stream.stats()["microbatches_emitted"] == 1)
        out = stream.next_batch(window_plan(seconds=10), timeout_ms=0)
        assert stream.stats()["open_windows"] == open_after
        assert (out is not None) == (open_after == 0)
        stream.close()


def test_origin_anchored_grid(s):
    plan = window_plan(seconds=60, allowed_lateness_ms=1000, watermark_ms=0)
    s.emit_columns({"timestamp": [1700000000123, 1700000000100, 1700000060200], "v": [1.0, 2.0, 3.0]})
    assert wait_for(lambda: s.stats()["microbatches_emitted"] == 1)
    assert s.next_batch(plan, timeout_ms=0) is None  # threshold 1700000059200 closes nothing
    assert s.stats()["late_events"] == 0
    s.close()
    out = s.next_batch(plan, timeout_ms=0)
    assert out["window_start"] == [1700000000123, 1700000060123]
    assert out["count"] == [2, 1]
    assert out["avg"] == [1.5, 3.0]


def test_windows_come_out_in_key_order(s):
    out = s.aggregate_columns({"timestamp": [9000, 10000, 11000], "v": [1.0] * 3}, window_plan(seconds=1))
    # Closed by the watermark in key order (10000 before 9000), then flushed.
    assert out["window_start"] == [10000, 9000, 11000]


def test_grouping_by_display_text(s):
    cols = {"timestamp": [1, 2, 3, 4, 5], "g": [1, "1", None, "", "b"], "v": [1.0, 3.0, 5.0, 7.0, 9]}
    out = s.aggregate_columns(cols, window_plan(seconds=10, by="g"))
    assert out == {"avg": [6.0, 2.0, 9.0], "count": [2, 2, 1], "g": ["", "1", "b"], "window_end": [10000] * 3, "window_start": [0] * 3}


def test_alias_and_by_collisions(s):
    out = s.aggregate_columns({"timestamp": [1], "v": [4.0]}, window_plan(alias="count"))
    assert out["count"] == [1]
    out = s.aggregate_columns({"timestamp": [1], "v": [4.0], "window_start": ["x"]}, window_plan(by="window_start"))
    assert out["window_start"] == ["x"]


def test_rows_without_a_usable_mean_change_only_time(s):
    plan = window_plan(event_id_field="id")
    s.aggregate_columns({"timestamp": [5000], "v": ["str"], "id": ["a"]}, plan)
    st = s.stats()
    assert (st["open_windows"], st["seen_event_ids"], st["late_events"]) == (0, 1, 0)
    s.aggregate_columns({"timestamp": [1000]}, plan)
    assert s.stats()["late_events"] == 1


def test_flush_with_a_plan_lacking_mean_keeps_windows(s):
    s.emit_columns({"timestamp": [1000], "v": [1.0]})
    assert wait_for(lambda: s.stats()["microbatches_emitted"] == 1)
    assert s.next_batch(window_plan(), timeout_ms=0) is None
    s.close()
    assert s.next_batch(make_plan(window=window_plan()["window"]), timeout_ms=0) is None
    assert s.stats()["open_windows"] == 1
    assert s.next_batch(window_plan(), timeout_ms=0)["count"] == [1]


def test_late_value_reopens_a_closed_window(s):
    plan = window_plan(seconds=1, drop_late=False)
    out = s.aggregate_columns({"timestamp": [100, 5000, 200], "v": [1.0, 2.0, 3.0]}, plan)
    assert out["window_start"] == [0, 5000]
    assert out["avg"] == [2.0, 2.0]
    assert s.stats()["late_events"] == 1


def test_next_batch_joins_ready_batches_in_arrival_order():
    s = NativeStream.manual(batch_size=2, linger_ms=5, capacity=100)
    s.emit_columns({"i": [0, 1, 2, 3, 4], "timestamp": [0] * 5})
    assert wait_for(lambda: s.stats()["microbatches_emitted"] == 3)
    out = s.next_batch(make_plan(), timeout_ms=0)
    assert out["i"] == [0, 1, 2, 3, 4]
    st = s.stats()
    assert (st["output_batches"], st["output_rows"]) == (1, 5)
    assert s.next_batch(make_plan(), timeout_ms=0) is None
    assert s.stats()["output_batches"] == 1
    s.close()


@pytest.mark.parametrize("timeout_ms", [0, 2**63, 2**64 - 1])
def test_timeouts_that_do_not_wait(timeout_ms):
    s = NativeStream.manual(10, 100000, 10)
    t0 = time.monotonic()
    assert s.next_batch(make_plan(), timeout_ms=timeout_ms) is None
    assert time.monotonic() - t0 < 5  # a wait would have been for ever
    s.close()


def test_wait_ends_at_timeout_or_first_event():
    s = NativeStream.manual(10, 100000, 10)
    t0 = time.monotonic()
    assert s.next_batch(make_plan(), timeout_ms=60) is None
    assert 0.05 <= time.monotonic() - t0 < 5
    s.close()
    t0 = time.monotonic()
    assert s.next_batch(make_plan(), timeout_ms=60000) is None
    assert time.monotonic() - t0 < 5


def test_invalid_timeout_raises_type_error(s):
    with pytest.raises(TypeError):
        s.next_batch(make_plan(), timeout_ms=-1)
    with pytest.raises(TypeError):
        s.next_batch(plan=make_plan())


def test_batches_before_flush_after_close():
    s = NativeStream.manual(1000, 100000, 1000)
    s.emit_columns({"timestamp": [1000, 25000], "v": [1.0, 2.0]})
    s.close()
    plan = window_plan(seconds=10)
    assert s.next_batch(plan, timeout_ms=0)["window_start"] == [0]
    assert s.next_batch(plan, timeout_ms=0)["window_start"] == [20000]
    assert s.next_batch(plan, timeout_ms=0) is None


def test_aggregate_columns_flushes_what_next_batch_left_open(s):
    s.emit_columns({"timestamp": [1000, 5000], "v": [1.0, 3.0]})
    assert wait_for(lambda: s.stats()["microbatches_emitted"] == 1)
    assert s.next_batch(window_plan(), timeout_ms=0) is None
    assert s.stats()["open_windows"] == 1
    out = s.aggregate_columns({}, window_plan())
    assert out["avg"] == [2.0]
    assert s.stats()["open_windows"] == 0


def test_aggregate_columns_windowed_example(s):
    out = s.aggregate_columns({"t": [1000, 5000, 12000], "v": [1.0, 2.0, 3.0]}, window_plan(time_field="t"))
    assert out["window_start"] == [0, 10000]
    assert out["count"] == [2, 1]


def test_aggregate_columns_counters(s):
    assert s.aggregate_columns({}, make_plan()) == {}
    st = s.stats()
    assert (st["output_batches"], st["output_rows"]) == (1, 0)
    with pytest.raises(ValueError):
        s.aggregate_columns({"a": [1], "b": []}, make_plan())
    with pytest.raises(KeyError):
        s.aggregate_columns({"a": 5}, {})
    assert s.stats() == st


def test_aggregate_columns_shares_event_time_with_the_stream(s):
    s.emit_columns({"timestamp": [5000]})
    assert wait_for(lambda: s.stats()["microbatches_emitted"] == 1)
    assert s.next_batch(make_plan(), timeout_ms=0)["timestamp"] == [5000]
    assert s.aggregate_columns({"timestamp": [1000]}, make_plan()) == {}
    assert s.stats()["late_events"] == 1


@pytest.mark.parametrize(
    "seconds, watermark, lateness, times",
    [
        (2**62, INT64_MIN, INT64_MAX, [INT64_MAX, INT64_MIN, 0, INT64_MAX - 1]),
        (-(2**62), INT64_MAX, INT64_MIN, [INT64_MIN, INT64_MAX, 10**12 + 1]),
        (0, INT64_MAX, 0, [INT64_MAX, 10**13, -1]),
        (-1, INT64_MIN, INT64_MAX, [INT64_MIN, INT64_MAX]),
        (INT64_MAX, 0, INT64_MAX, [INT64_MAX, INT64_MIN + 1, 10**12 + 5]),
    ],
)
def test_extremes_run_clean(s, seconds, watermark, lateness, times):
    plan = window_plan(seconds=seconds, watermark_ms=watermark, allowed_lateness_ms=lateness, drop_late=False)
    out = s.aggregate_columns({"timestamp": times, "v": [1.0] * len(times)}, plan)
    assert sum(out["count"]) == len(times)


def test_next_batch_wakes_for_a_queued_event():
    s = NativeStream.manual(10, 100000, 10)
    threading.Timer(0.1, lambda: None).start()
    # The wait holds the interpreter lock, so only the worker can end it; with
    # no event coming it ends at the timeout.
    t0 = time.monotonic()
    s.next_batch(make_plan(), timeout_ms=100)
    assert time.monotonic() - t0 >= 0.09
    s.close()
