"""movra streams: factories and their errors, checkpoints that refuse what
is not a checkpoint, and windows aligned to the epoch."""
import errno
import os
import socket

import pytest

import movra
from conftest import wait_for

PLAN = movra.Plan(window="10s", by="g", mean="v")
BASE = 1_700_000_003_000  # 3 s past a multiple of 10 s


def test_a_failed_bind_names_the_address_and_the_reason():
    with movra.udp("127.0.0.1", 0) as taken:
        port = taken.address[1]
        with pytest.raises(movra.BindError) as info:
            movra.udp("127.0.0.1", port)
    assert info.value.errno == errno.EADDRINUSE and isinstance(info.value, OSError)
    assert f"127.0.0.1:{port}" in str(info.value) and os.strerror(errno.EADDRINUSE) in str(info.value)
    assert info.value.address == ("127.0.0.1", port)


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(host="localhost:9000"), ValueError, "got 'localhost:9000'"),
    (dict(host="::1"), ValueError, "dotted IPv4 address"),
    (dict(port=70000), ValueError, "between 0 and 65535"),
    (dict(port="9000"), TypeError, "port must be an int"),
    (dict(capacity=0), ValueError, r"capacity must be between 1 and 2\*\*63 - 1, got 0"),
    (dict(on_drop="ignore"), ValueError, "on_drop must be"),
])
def test_factory_arguments_are_checked(kwargs, error, text):
    with pytest.raises(error, match=text):
        movra.udp(**kwargs)


def test_an_emit_counts_only_its_own_drops_on_a_udp_stream():
    with movra.udp(capacity=5, linger_ms=10**6) as s, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        # The receiver fills the queue and drops datagrams of its own.
        assert wait_for(lambda: tx.sendto(b'{"a":1}', s.address) and s.stats()["dropped"] > 0)
        with pytest.warns(movra.Dropped) as caught:
            assert s.emit_columns({"a": [1, 2, 3]}) == 0
        assert caught[0].message.count == 3 and str(caught[0].message).startswith("3 of 3 events dropped")


def test_udp_stream_receives_datagrams(tmp_path):
    with movra.udp("localhost", 0, linger_ms=1) as s, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        assert repr(s).startswith("<movra.Stream udp 127.0.0.1:")
        tx.sendto(b'{"g":"A","v":2.5,"timestamp":7}', s.address)
        assert s.poll(movra.Plan(), timeout=5) == {"g": ["A"], "timestamp": [7], "v": [2.5]}


def checkpointed_stream(path):
    s = movra.manual(linger_ms=1, epoch_windows=False)  # windows anchored at BASE
    s.emit_columns({"g": ["A", "B"], "v": [1.0, 2.0], "timestamp": [BASE, BASE]})
    # Polled until both windows are open (they stay open: no watermark passes them).
    assert wait_for(lambda: s.poll(PLAN) is None and s.stats()["open_windows"] == 2)
    s.save_checkpoint(path)
    return s


@pytest.mark.parametrize("content, reason", [
    (b"", "the file is empty"),
    (b"max_event_time\t5\r\nwindow_origin\t5\r\nseen_event_ids\t0\r\nwindow_state\t0\r\n", "CR LF"),
    (b'{"g": "A", "v": 1.0}\n{"g": "B", "v": 2.0}\n', "does not begin with the checkpoint header"),
    (b"max_event_time\t5\nwindow_origin\t5\nseen_event_ids\t3\na\nb\n", "truncated"),
    (b"max_event_time\t5\nwindow_origin\t5\nseen_event_ids\t0\nwindow_state\t2\n1|A\t1\t1\t1\t2\tA\n",
     "does not match"),
])
def test_load_refuses_what_is_not_a_checkpoint_and_keeps_the_state(tmp_path, content, reason):
    s = checkpointed_stream(tmp_path / "good.ckpt")
    bad = tmp_path / "bad"
    bad.write_bytes(content)
    with pytest.raises(movra.CheckpointError, match=reason):
        s.load_checkpoint(bad)
    assert s.stats()["open_windows"] == 2 and s.stats()["checkpoint_loads"] == 0
    info = s.load_checkpoint(tmp_path / "good.ckpt")
    assert info == movra.CheckpointInfo(BASE, BASE, 0, 2)
    s.close()


class RewrittenBeforeTheLoad:
    """Stands in for a stream's native object: another writer truncates the
    checkpoint file right after the stream checked it."""

    def __init__(self, native, path):
        self.native, self.path = native, path

    def load_checkpoint(self, path):
        self.path.write_bytes(b"")
        self.native.load_checkpoint(path)

    def __getattr__(self, name):
        return getattr(self.native, name)


def test_load_reads_the_bytes_it_checked(tmp_path):
    good = tmp_path / "good.ckpt"
    checkpointed_stream(good).close()
    s = movra.manual()
    s._native = RewrittenBeforeTheLoad(s.native, good)
    assert s.load_checkpoint(good) == movra.CheckpointInfo(BASE, BASE, 0, 2)
    assert s.stats()["open_windows"] == 2
    s.close()


def test_checkpoint_errors_say_why(tmp_path):
    s = movra.manual()
    with pytest.raises(movra.CheckpointError, match="does not exist"):
        s.save_checkpoint(tmp_path / "missing" / "x.ckpt")
    with pytest.raises(movra.CheckpointError, match="it is a directory"):
        s.save_checkpoint(tmp_path)
    with pytest.raises(movra.CheckpointError, match="No such file"):
        s.load_checkpoint(tmp_path / "nothing.ckpt")
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(movra.CheckpointError, match="not a regular file"):
        s.load_checkpoint(tmp_path / "fifo")  # would block on open
    os.symlink("/dev/zero", tmp_path / "zero")
    with pytest.raises(movra.CheckpointError, match="not a regular file"):
        s.load_checkpoint(tmp_path / "zero")
    with open(tmp_path / "huge.jsonl", "wb") as f:  # a sparse terabyte, not read whole
        f.write(b'{"g": "A"}\n')
        f.truncate(2**40)
    with pytest.raises(movra.CheckpointError, match="does not begin with the checkpoint header"):
        s.load_checkpoint(tmp_path / "huge.jsonl")
    with pytest.raises(ValueError, match="NUL"):
        s.save_checkpoint("a\0b")
    s.close()


@pytest.mark.parametrize("make", [lambda: movra.manual(linger_ms=1, epoch_windows=True),
                                  lambda: movra.udp(linger_ms=1, epoch_windows=True)])
def test_epoch_windows(make):
    with make() as s:
        s.align_windows_to_epoch()  # a second time: nothing to do
        s.emit_columns({"g": ["A", "A", "A"], "v": [1.0, 2.0, 3.0], "timestamp": [BASE, BASE + 8000, BASE + 9000]})
        s.close()
        out = [(start, avg, n) for b in s.batches(PLAN) for start, avg, n in
               zip(b["window_start"], b["avg_v"], b["count"])]
    # Anchored at the first event, all three would share one window.
    assert out == [(BASE - 3000, 1.0, 1), (BASE + 7000, 2.5, 2)]


def test_epoch_alignment_is_refused_once_events_were_processed(tmp_path):
    s = movra.manual(linger_ms=1)
    s.emit({"g": "A", "v": 1.0, "timestamp": BASE})
    s.align_windows_to_epoch()  # queued, not yet processed: still fine
    assert s.poll(movra.Plan(), timeout=5) is not None
    with pytest.raises(movra.StateError, match="before the stream has processed events"):
        s.align_windows_to_epoch()
    s.close()
