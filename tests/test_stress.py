"""Concurrency stress, bounded in time: nothing deadlocks, nothing is lost."""
import gc
import os
import threading
import time

import pytest

import _movra
from conftest import make_plan, start_udp_flood, thread_count, wait_for, window_plan

NativeStream = _movra.NativeStream


def run_threads(targets, timeout=30):
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
        assert not t.is_alive(), "a thread did not finish"


def test_producers_consumer_and_stats_together():
    s = NativeStream.manual(batch_size=256, linger_ms=1, capacity=5000)
    delivered = []
    stop = threading.Event()

    def json_producer(tag):
        def run():
            for i in range(20000):
                s.emit_json({"p": tag, "i": i})
        return run

    def column_producer():
        for _ in range(400):
            s.emit_columns({"p": ["cols"] * 50, "i": list(range(50))})

    def consumer():
        while not stop.is_set():
            out = s.next_batch(make_plan(), timeout_ms=5)
            if out:
                delivered.append(len(out["i"]))

    def watcher():
        while not stop.is_set():
            st = s.stats()
            assert st["dropped"] <= st["ingested"]
            time.sleep(0.001)

    side = [threading.Thread(target=consumer), threading.Thread(target=watcher)]
    for t in side:
        t.start()
    run_threads([json_producer("a"), json_producer("b"), column_producer])
    s.close()
    stop.set()
    for t in side:
        t.join(10)
    while (out := s.next_batch(make_plan(), timeout_ms=0)) is not None:
        delivered.append(len(out["i"]))
    st = s.stats()
    assert st["ingested"] == 2 * 20000 + 400 * 50
    assert sum(delivered) + st["dropped"] == st["ingested"]
    assert st["output_rows"] == sum(delivered)


def test_close_while_another_thread_emits():
    for _ in range(10):
        s = NativeStream.manual(batch_size=64, linger_ms=1, capacity=100000)

        def emitter():
            for i in range(3000):
                s.emit_json({"i": i})

        t = threading.Thread(target=emitter)
        t.start()
        time.sleep(0.002)
        s.close()
        t.join(10)
        rows = 0
        while (out := s.next_batch(make_plan(), timeout_ms=0)) is not None:
            rows += len(out["i"])
        st = s.stats()
        assert st["ingested"] == 3000
        assert rows + st["dropped"] == 3000


@pytest.mark.parametrize("timeout_ms", [0, 50])
def test_close_racing_a_consumer_delivers_every_window_once(timeout_ms):
    # One thread closes the stream while accepted events are still pending;
    # the consumer stops at the first None from a call made after it saw the
    # stream closed.  The flush must wait for the worker's last cut: the
    # window comes out once, holding every event.
    plan = window_plan(seconds=10, by="g", time_field="t", drop_late=False)
    for _ in range(15):
        s = NativeStream.manual(batch_size=100000, linger_ms=150, capacity=10**6)
        windows = []

        def consume():
            while True:
                was_closed = s.is_closed()
                out = s.next_batch(plan, timeout_ms)
                if out is not None:
                    windows.extend(zip(out["window_start"], out["g"], out["count"]))
                elif was_closed:
                    return

        s.emit_columns({"g": ["A"] * 100, "v": [1.0] * 100, "t": [1000] * 100})
        consumer = threading.Thread(target=consume)
        consumer.start()
        assert wait_for(lambda: s.stats()["microbatches_emitted"] == 1)
        s.emit_columns({"g": ["A"] * 100, "v": [1.0] * 100, "t": [2000] * 100})  # pending until the next tick
        s.close()
        consumer.join(30)
        assert not consumer.is_alive()
        assert windows == [(0, "A", 200)]


def test_engine_callers_from_several_threads():
    s = NativeStream.manual(batch_size=128, linger_ms=1, capacity=100000)
    plan = window_plan(seconds=1, by="g", event_id_field="id")
    outputs = []

    def aggregator(tag):
        def run():
            for k in range(30):
                ids = [f"{tag}-{k}-{i}" for i in range(100)]
                out = s.aggregate_columns({"id": ids, "timestamp": [k * 100 + i for i in range(100)],
                                           "g": ["x"] * 100, "v": [1.0] * 100}, plan)
                outputs.append(sum(out.get("count", [])))
        return run

    def streamer():
        for k in range(30):
            s.emit_columns({"id": [f"s-{k}-{i}" for i in range(100)], "timestamp": [k * 100] * 100,
                            "g": ["y"] * 100, "v": [2.0] * 100})
            out = s.next_batch(plan, timeout_ms=2)
            if out:
                outputs.append(sum(out["count"]))

    run_threads([aggregator("a"), aggregator("b"), streamer])
    s.close()
    while (out := s.next_batch(plan, timeout_ms=0)) is not None:
        outputs.append(sum(out["count"]))
    st = s.stats()
    folded = sum(outputs)
    # Every row went somewhere: into a window that came out, or counted late.
    assert folded + st["late_events"] + st["duplicate_events"] == 3 * 30 * 100


def test_streams_created_and_dropped_leave_no_threads_or_descriptors():
    gc.collect()
    threads, fds = thread_count(), len(os.listdir("/proc/self/fd"))
    for i in range(500):
        s = NativeStream.udp("127.0.0.1", 0, 10, 1, 10) if i % 2 else NativeStream.manual(10, 1, 10)
        s.emit_json({"i": i})
        del s
    gc.collect()
    assert thread_count() == threads
    assert len(os.listdir("/proc/self/fd")) == fds


def test_udp_flood_while_the_stream_closes():
    s = NativeStream.udp("127.0.0.1", 0, 4096, 1, 1 << 20)
    port = s.address()[1]
    proc = start_udp_flood(port, 60, '{"sym":"AAPL","px":187.25,"qty":300}')
    delivered = 0

    def consumed_a_while():
        nonlocal delivered
        out = s.next_batch(make_plan(), timeout_ms=5)
        if out:
            delivered += len(out["px"])
        return delivered >= 20000

    assert wait_for(consumed_a_while, timeout=30)
    s.close()  # while the flood goes on
    proc.kill()
    proc.wait()
    while (out := s.next_batch(make_plan(), timeout_ms=0)) is not None:
        delivered += len(out["px"])
    st = s.stats()
    assert st["ingested"] > 0
    assert delivered + st["dropped"] == st["ingested"]


def _rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS")


@pytest.mark.skipif(bool(os.environ.get("MOVRA_SANITIZED")), reason="sanitizers hold freed memory in quarantine")
def test_pending_memory_is_bounded_by_capacity():
    s = NativeStream.manual(batch_size=100, linger_ms=10**9, capacity=1000)
    cols = {"symbol": ["AAPL"] * 10000, "price": [187.25] * 10000, "pad": ["x" * 40] * 10000}
    s.emit_columns(cols)
    base = _rss_mb()
    for _ in range(100):
        s.emit_columns(cols)
    grown = _rss_mb() - base
    st = s.stats()
    assert (st["ingested"], st["dropped"]) == (1_010_000, 1_009_000)
    assert grown < 40, grown  # a million queued rows would take hundreds of MB
    s.close()
