import enum
import gc
import glob
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import _movra
from conftest import make_plan, start_udp_flood, thread_count, wait_for

NativeStream = _movra.NativeStream


def test_module_exports_only_the_stream_class():
    public = [n for n in dir(_movra) if not n.startswith("_")]
    assert public == ["NativeStream"]


def test_class_has_no_constructor():
    with pytest.raises(TypeError, match="No constructor defined"):
        NativeStream()


@pytest.mark.parametrize(
    "call",
    [
        lambda: NativeStream.manual(10, 5),
        lambda: NativeStream.manual(10, 5, -1),
        lambda: NativeStream.manual(1.5, 5, 10),
        lambda: NativeStream.udp("127.0.0.1", 70000, 10, 5, 10),
        lambda: NativeStream.udp("127.0.0.1", 0, -1, 5, 10),
    ],
)
def test_bad_factory_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_manual_by_keyword_and_position():
    for s in (NativeStream.manual(10, 5, 100), NativeStream.manual(batch_size=10, linger_ms=5, capacity=100)):
        assert s.address() == ("manual", 0)
        assert not s.is_closed()
        s.close()
        assert s.is_closed()


def test_second_close_returns_at_once():
    s = NativeStream.manual(1, 1, 1)
    s.close()
    t0 = time.monotonic()
    s.close()
    assert time.monotonic() - t0 < 5  # catches a second join, which would hang or raise
    assert s.is_closed()


def test_unnamed_parameters_refuse_keywords():
    s = NativeStream.manual(1, 1, 1)
    with pytest.raises(TypeError):
        s.emit_json(event={"a": 1})
    with pytest.raises(TypeError):
        s.emit_columns(columns={"a": [1]})
    with pytest.raises(TypeError):
        s.save_checkpoint(path="/tmp/x")
    s.emit_json({"a": 1})
    s.close()


def test_signatures_name_the_parameters():
    doc = NativeStream.next_batch.__doc__
    assert "plan: dict" in doc and "timeout_ms: typing.SupportsInt" in doc
    assert "numpy.typing.ArrayLike" in NativeStream.aggregate_trade_numeric.__doc__


def test_dropping_streams_leaves_no_threads_behind():
    gc.collect()
    before = thread_count()
    for _ in range(200):
        s = NativeStream.manual(10, 1, 10)
        s.emit_json({"a": 1})
        del s
    gc.collect()
    # A joined thread leaves the process's count a moment after the join.
    assert wait_for(lambda: thread_count() == before), thread_count()


def test_destructor_joins_a_stream_that_was_never_closed():
    before = thread_count()
    s = NativeStream.manual(10, 1, 10)
    assert thread_count() == before + 1
    del s
    # A joined thread leaves the process's count a moment after the join.
    assert wait_for(lambda: thread_count() == before), thread_count()


def test_two_threads_closing_at_once_both_see_it_closed():
    for _ in range(20):
        s = NativeStream.manual(10, 1, 10)
        results = []
        barrier = threading.Barrier(2)

        def closer():
            barrier.wait()
            s.close()
            results.append(s.is_closed())

        threads = [threading.Thread(target=closer) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(5)
        assert results == [True, True]


def test_close_releases_the_interpreter_lock_while_joining():
    # A Python thread keeps counting while the main thread closes streams.
    ticks = []
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0)

    t = threading.Thread(target=counter)
    t.start()
    assert wait_for(lambda: NativeStream.manual(10, 1, 10).close() or ticks)
    stop.set()
    t.join()


def _shut_down_for_reading(address):
    """Whether the datagram socket bound to address, which every process
    sharing it sees alike, was shut down: it then polls as hung up."""
    for name in os.listdir("/proc/self/fd"):
        fd = os.dup(int(name))
        try:
            sock = socket.socket(fileno=fd)
        except OSError:
            os.close(fd)
            continue
        with sock:
            if sock.type == socket.SOCK_DGRAM and sock.getsockname() == address:
                poller = select.poll()
                poller.register(sock, select.POLLRDHUP)
                return bool(poller.poll(0))
    raise AssertionError(f"no socket bound to {address}")


def _child_sees_every_stream_closed(streams):
    """In a forked child: the checks, as an exit status."""
    signal.alarm(20)  # a hang ends the child, and the test fails on it
    manual = streams[-1]
    before = manual.stats()
    manual.emit_json({"a": 1})
    manual.emit_columns({"a": [2, 3]})
    after = manual.stats()
    ok = all(s.is_closed() for s in streams)
    ok = ok and (after["ingested"] - before["ingested"], after["dropped"] - before["dropped"]) == (3, 3)
    for s in streams:
        s.next_batch(make_plan(), timeout_ms=60000)  # returns at once, never waits
        s.close()
    return 0 if ok else 1


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_sees_every_stream_closed():
    # The UDP worker is kept busy, so forks often come while it holds its
    # lock.  In the child every stream is closed, no call hangs, and what the
    # child offers is counted as dropped; the socket the parent shares with
    # it is never shut down.
    udp = NativeStream.udp("127.0.0.1", 0, 1000, 0, 10000)
    manual = NativeStream.manual(10, 1, 10)
    flood = start_udp_flood(udp.address()[1], 60)
    try:
        assert wait_for(lambda: udp.stats()["ingested"] > 0)
        for _ in range(40):
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    status = _child_sees_every_stream_closed([udp, manual])
                finally:
                    os._exit(status)
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0
            udp.next_batch(make_plan(), timeout_ms=0)  # keeps the process, and so each fork, small
    finally:
        flood.kill()
        flood.wait()
    assert not udp.is_closed() and not manual.is_closed()
    assert not _shut_down_for_reading(udp.address())
    udp.close()
    manual.close()


def _child_delivers_what_was_pending(stream):
    """In a forked child: every event accepted before the fork but not yet
    cut comes out before the None that ends a closed stream."""
    signal.alarm(20)
    rows = 0
    while (out := stream.next_batch(make_plan(), timeout_ms=0)) is not None:
        rows += len(out["a"])
    stats = stream.stats()
    return 0 if rows == stats["ingested"] - stats["dropped"] == 5 else 1


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_delivers_the_events_still_pending():
    # A long linger keeps the events pending: no cut comes before the fork.
    s = NativeStream.manual(100, 600_000, 1000)
    s.emit_columns({"a": [0, 1, 2, 3, 4], "timestamp": [1] * 5})
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            status = _child_delivers_what_was_pending(s)
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    s.close()


def _other_python():
    for path in ("/usr/bin/python3.12", "/usr/bin/python3.11", *sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.1[0-2]*/bin/python3")))):
        if os.access(path, os.X_OK):
            return path
    return None


@pytest.mark.skipif(_other_python() is None, reason="no other CPython on this machine")
def test_import_refuses_another_python_version():
    # Lazy binding lets the module's init run far enough to check the version.
    code = (
        "import importlib.util, os, sys\n"
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        "location = importlib.util.spec_from_file_location('_movra', sys.argv[1])\n"
        "try:\n"
        "    importlib.util.module_from_spec(location)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    python = _other_python()
    out = subprocess.run([python, "-c", code, _movra.__file__], capture_output=True, text=True, timeout=60)
    version = subprocess.run([python, "-c", "import sys; print(sys.version)"], capture_output=True, text=True).stdout.strip()
    assert out.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {version}."
    )


class _Level(enum.IntEnum):
    LOW = 1


@pytest.mark.parametrize("values", [
    [],
    [1, 2, 3],
    [1, True, 1.5, "a", None, b"x"],
    (1, "a"),
    [_Level.LOW, 1, False],
    [type(f"T{i}", (), {})() for i in range(20)] + [1, 1.0],  # more types than the short list holds
])
def test_value_types_is_the_set_of_item_types(values):
    assert _movra.NativeStream.value_types(values) == set(map(type, values))


@pytest.mark.parametrize("values", [{1: 2}, "abc", iter([1]), None])
def test_value_types_refuses_what_is_not_a_list_or_tuple(values):
    with pytest.raises(TypeError, match=type(values).__name__):
        _movra.NativeStream.value_types(values)


VALUE_TYPES_OF_A_LIST_EMPTIED_BY_HASH = """
import _movra
values = []
class Meta(type):
    def __hash__(cls):
        values.clear()  # frees the list's item array
        return 7
Clear = Meta("Clear", (), {})
def fill():
    # Eight types fill the short list, so Clear goes into the set at once.
    values[:] = [1, 1.0, "s", b"b", None, True, 1j, (), Clear()] + [[] for _ in range(200_000)]
fill()
want = set(map(type, values))
fill()
assert _movra.NativeStream.value_types(values) == want
print("ok")
"""


def test_value_types_of_a_list_a_type_hash_empties_reads_no_freed_items():
    # A metaclass __hash__ runs when a type goes into the set; the list it
    # empties must not be read from its freed item array afterwards.
    done = subprocess.run([sys.executable, "-c", VALUE_TYPES_OF_A_LIST_EMPTIED_BY_HASH],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr
