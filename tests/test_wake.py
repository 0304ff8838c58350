"""When threads wake: the worker sleeps while it has nothing to do, and the
readiness descriptor wakes consumers on a cut and on close."""
import asyncio
import os
import select
import signal
import threading

import pytest

import _movra
import movra
from conftest import make_plan, wait_for

NativeStream = _movra.NativeStream

# Long enough that no tick comes during a test.
NEVER_MS = 600_000


def readable(fd, timeout=0.0):
    return bool(select.select([fd], [], [], timeout)[0])


def make_native(kind, linger_ms, batch_size=100):
    if kind == "udp":
        return NativeStream.udp("127.0.0.1", 0, batch_size, linger_ms, 1000)
    return NativeStream.manual(batch_size, linger_ms, 1000)


@pytest.mark.parametrize("kind", ["manual", "udp"])
@pytest.mark.parametrize("linger_ms", [0, 1, 10])
def test_an_idle_worker_does_not_wake(kind, linger_ms):
    s = make_native(kind, linger_ms)
    try:
        # One event through, so the worker has been woken, has cut, and has
        # gone back to sleep with nothing pending.
        s.emit_json({"a": 1, "timestamp": 1})
        assert readable(s.ready_fd(), timeout=5)
        s.clear_ready()
        assert s.next_batch(make_plan(), 0) == {"a": [1], "timestamp": [1]}
        assert wait_for(lambda: s.stats()["microbatches_emitted"] == 1)
        before = s.worker_wakeups()
        # Nothing is pending and nothing arrives: over many ticks' worth of
        # time the worker must not come back once (it used to every 1 ms).
        assert not readable(s.ready_fd(), timeout=0.25)
        assert s.worker_wakeups() == before
    finally:
        s.close()


@pytest.mark.parametrize("kind", ["manual", "udp"])
def test_pending_events_are_cut_at_most_batch_size_per_tick(kind):
    # With a 50 ms linger, 5 events and batch size 2 need three ticks.  The
    # worker wakes for those ticks, not in between.
    s = make_native(kind, 50, batch_size=2)
    try:
        s.emit_columns({"a": [0, 1, 2, 3, 4], "timestamp": [1] * 5})
        sizes = []
        while sum(sizes) < 5:
            assert readable(s.ready_fd(), timeout=5)
            s.clear_ready()
            out = s.next_batch(make_plan(), 0)
            if out is not None:
                sizes.append(len(out["a"]))
        assert s.stats()["microbatches_emitted"] == 3
        assert sizes in ([2, 2, 1], [2, 3], [4, 1], [5])  # cuts may land between takes
        assert s.worker_wakeups() <= 6
    finally:
        s.close()


@pytest.mark.parametrize("kind", ["manual", "udp"])
def test_linger_zero_cuts_as_soon_as_events_are_pending(kind):
    s = make_native(kind, 0, batch_size=3)
    try:
        s.emit_columns({"a": list(range(7)), "timestamp": [1] * 7})
        assert wait_for(lambda: s.stats()["microbatches_emitted"] == 3)
        assert s.next_batch(make_plan(), 0)["a"] == list(range(7))
    finally:
        s.close()


@pytest.mark.parametrize("kind", ["manual", "udp"])
def test_ready_fd_is_readable_from_a_cut_until_cleared(kind):
    s = make_native(kind, 1)
    fd = s.ready_fd()
    try:
        assert not readable(fd)
        s.emit_json({"a": 1, "timestamp": 1})
        assert readable(fd, timeout=5)
        assert readable(fd)  # stays readable: taking alone does not clear
        s.clear_ready()
        assert not readable(fd)
        assert s.next_batch(make_plan(), 0)["a"] == [1]
        s.emit_json({"a": 2, "timestamp": 2})
        assert readable(fd, timeout=5)
    finally:
        s.close()
    assert s.ready_fd() == fd


@pytest.mark.parametrize("kind", ["manual", "udp"])
def test_ready_fd_is_readable_for_good_once_closed(kind):
    s = make_native(kind, NEVER_MS)
    fd = s.ready_fd()
    s.emit_json({"a": 1, "timestamp": 1})
    assert not readable(fd)  # pending, but no tick yet
    threading.Timer(0.05, s.close).start()
    assert readable(fd, timeout=5)
    assert wait_for(s.is_closed)
    s.clear_ready()
    assert readable(fd)
    assert s.next_batch(make_plan(), 0)["a"] == [1]
    assert s.next_batch(make_plan(), 0) is None


def test_a_datagram_wakes_an_idle_udp_worker():
    import socket

    s = make_native("udp", 1)
    try:
        before = s.worker_wakeups()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as out:
            out.sendto(b'{"a":5,"timestamp":1}', s.address())
        assert readable(s.ready_fd(), timeout=5)
        assert s.next_batch(make_plan(), 0) == {"a": [5], "timestamp": [1]}
        assert s.worker_wakeups() > before
    finally:
        s.close()


def _child_readiness(s, parent_fd_state):
    signal.alarm(20)
    fd = s.ready_fd()
    ok = s.is_closed() and readable(fd) and not parent_fd_state
    rows = 0
    while (out := s.next_batch(make_plan(), 0)) is not None:
        rows += len(out["a"])
    s.clear_ready()
    return 0 if ok and rows == 2 and readable(fd) else 1


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("kind", ["manual", "udp"])
def test_fork_child_has_its_own_readiness(kind):
    # The parent's descriptor is not readable at the fork; the child's stream
    # is closed, so its own is readable for good, and the parent's stays as
    # it was: the two do not share the descriptor.
    s = make_native(kind, NEVER_MS)
    s.emit_columns({"a": [1, 2], "timestamp": [1, 1]})
    fd = s.ready_fd()
    parent_before = readable(fd)
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            status = _child_readiness(s, parent_before)
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert not readable(fd)
    assert not s.is_closed()
    s.close()
    assert readable(fd)


# ------------------------------------------------------------ the package

@pytest.fixture(params=["manual", "udp"])
def stream(request):
    s = movra.manual(linger_ms=1) if request.param == "manual" else movra.udp("127.0.0.1", 0, linger_ms=1)
    yield s
    s.close()


def _in_thread(fn):
    result = []
    t = threading.Thread(target=lambda: result.append(fn()), daemon=True)
    t.start()
    return t, result


def _sleeps_in_poll(thread):
    """Whether `thread` is blocked in the poll system call (x86-64 number 7,
    as the kernel reports it)."""
    try:
        with open(f"/proc/self/task/{thread.native_id}/syscall") as f:
            return f.read().split()[0] == "7"
    except (FileNotFoundError, IndexError):
        return False


def test_waiting_poll_wakes_on_a_cut(stream):
    t, result = _in_thread(lambda: stream.poll(movra.Plan(), timeout=30))
    assert wait_for(lambda: _sleeps_in_poll(t))
    stream.emit({"a": 1, "timestamp": 1})
    t.join(10)
    assert result == [{"a": [1], "timestamp": [1]}]


def test_waiting_poll_and_batches_wake_on_close(stream):
    poll, polled = _in_thread(lambda: stream.poll(movra.Plan(), timeout=None))
    batches, taken = _in_thread(lambda: list(stream.batches(movra.Plan())))
    assert wait_for(lambda: _sleeps_in_poll(poll) and _sleeps_in_poll(batches))
    stream.close()
    poll.join(10)
    batches.join(10)
    assert polled == [None] and taken == [[]]
    assert stream.drained


@pytest.mark.parametrize("timeout", [float("inf"), 3e6])  # 3e6 s: past the longest single poll(2)
@pytest.mark.parametrize("how", ["poll", "wait"])
def test_a_wait_longer_than_poll_can_take_still_waits(stream, how, timeout):
    if how == "poll":
        t, result = _in_thread(lambda: stream.poll(movra.Plan(), timeout=timeout))
    else:
        t, result = _in_thread(lambda: movra.wait([stream], timeout))
    assert wait_for(lambda: _sleeps_in_poll(t))
    stream.close()
    t.join(10)
    assert result == ([None] if how == "poll" else [[stream]])


def test_batches_deliver_every_event_of_a_racing_producer(stream):
    n = 2000

    def produce():
        for i in range(n):
            stream.emit({"a": i, "timestamp": 1})
        stream.close()

    threading.Thread(target=produce).start()
    got = [a for batch in stream.batches(movra.Plan()) for a in batch["a"]]
    assert got == list(range(n))


def test_abatches_of_many_streams_wake_together():
    streams = [movra.manual(linger_ms=1) for _ in range(3)] + [movra.udp("127.0.0.1", 0, linger_ms=1)]

    async def consume(s):
        return [a for batch in [b async for b in s.abatches(movra.Plan())] for a in batch["a"]]

    async def main():
        tasks = asyncio.gather(*(consume(s) for s in streams))
        await asyncio.sleep(0)
        for k, s in enumerate(streams):
            s.emit_columns({"a": [k, k + 10], "timestamp": [1, 1]})
        # Every consumer gets its events before any stream closes.
        await asyncio.wait_for(_until(lambda: all(s.stats()["output_rows"] == 2 for s in streams)), 10)
        for s in streams:
            s.close()
        return await asyncio.wait_for(tasks, 10)

    assert asyncio.run(main()) == [[k, k + 10] for k in range(4)]


async def _until(predicate):
    while not predicate():
        await asyncio.sleep(0.005)


def test_two_iterators_of_one_stream_share_the_loops_reader():
    # Both wait on one descriptor in one loop: the close must wake both.
    s = movra.manual(linger_ms=NEVER_MS)
    s.emit({"sym": "A", "v": 1.0, "timestamp": 0})
    by_window = movra.Plan(window="1s", by="sym", mean="v")

    async def main():
        async def consume(plan):
            return [b async for b in s.abatches(plan)]

        tasks = asyncio.gather(consume(by_window), consume(movra.Plan()))
        await _until(lambda: bool(s._async_waiters))
        s.close()
        return await asyncio.wait_for(tasks, 10)

    windows, rows = asyncio.run(main())
    # The one batch goes to exactly one taker: the pass-through hands out
    # the row, or the window's plan opens the window and flushes it.  Both
    # iterators end.
    assert len(windows) + len(rows) == 1
    assert not s._async_waiters


def test_wait_returns_the_streams_with_results():
    quiet, busy = movra.manual(linger_ms=1), movra.manual(linger_ms=1)
    try:
        assert movra.wait([quiet, busy], timeout=0) == []
        busy.emit({"a": 1, "timestamp": 1})
        assert movra.wait([quiet, busy], timeout=10) == [busy]
        assert busy.poll(movra.Plan()) == {"a": [1], "timestamp": [1]}
        assert movra.wait([quiet, busy], timeout=0) == []  # the poll cleared it
        r, w = os.pipe()
        os.write(w, b"x")
        assert movra.wait([quiet, r], timeout=0) == [r]
        os.close(r)
        os.close(w)
        quiet.close()
        assert movra.wait([quiet, busy], timeout=10) == [quiet]
    finally:
        quiet.close()
        busy.close()


@pytest.mark.parametrize("bad", [[], [object()], [-1], [True]])
def test_wait_refuses_what_it_cannot_wait_on(bad):
    with pytest.raises((TypeError, ValueError), match="wait"):
        movra.wait(bad, timeout=0)


def test_stream_fileno_works_with_selectors(stream):
    import selectors

    with selectors.DefaultSelector() as sel:
        sel.register(stream, selectors.EVENT_READ)
        assert sel.select(timeout=0) == []
        stream.emit({"a": 1, "timestamp": 1})
        assert [key.fileobj for key, _ in sel.select(timeout=10)] == [stream]
