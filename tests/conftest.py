import os
import subprocess
import sys
import threading
import time

import pytest

import _movra


def make_plan(**overrides):
    """A plan with every key present and every optional part switched off."""
    plan = {
        "filters": [],
        "select": None,
        "window": None,
        "mean": None,
        "watermark_ms": None,
        "allowed_lateness_ms": None,
        "event_id_field": None,
        "drop_late": None,
    }
    plan.update(overrides)
    return plan


def window_plan(seconds=10, by=None, time_field="timestamp", field="v", alias="avg", **overrides):
    return make_plan(
        window={"seconds": seconds, "by": by, "time_field": time_field},
        mean={"field": field, "alias": alias},
        **overrides,
    )


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.002)
    return predicate()


def drain(stream, plan=None):
    """Closes the stream and returns every row it still delivers.  close()
    has the worker cut every accepted event, and a None from a closed stream
    means nothing is left, so nothing here waits for a quiet moment."""
    plan = plan or make_plan()
    stream.close()
    rows = {}
    while (out := stream.next_batch(plan, timeout_ms=0)) is not None:
        for k, v in out.items():
            rows.setdefault(k, []).extend(v)
    return rows


FLOOD = (
    "import socket, sys, time\n"
    "sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
    "port, seconds, msg = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3].encode()\n"
    "end = time.monotonic() + seconds\n"
    "while time.monotonic() < end:\n"
    "    for _ in range(100):\n"
    "        sock.sendto(msg, ('127.0.0.1', port))\n"
)


def start_udp_flood(port, seconds, message='{"a":1}'):
    """A sender process that floods 127.0.0.1:port with one datagram."""
    return subprocess.Popen([sys.executable, "-c", FLOOD, str(port), str(seconds), message])


def thread_count():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise RuntimeError("no thread count")


@pytest.fixture
def stream():
    s = _movra.NativeStream.manual(batch_size=1000, linger_ms=1, capacity=100000)
    yield s
    s.close()


if os.environ.get("MOVRA_SANITIZED"):
    # The sanitizer runs must exercise the instrumented build, not .venv's.
    assert os.sep + "build" + os.sep in _movra.__file__, _movra.__file__


def runs_beside_other_threads(call):
    """Whether other Python threads run while `call()` does: a thread ticks
    every millisecond, and calls repeat (30 s at most) until one spans at
    least three ticks.  With the interpreter lock held for the call, the
    ticker could tick only at the switches just before and after it, two
    ticks at most; a loaded machine may take a few tries for more."""
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    def a_tick_during_a_call():
        t0 = time.monotonic()
        call()
        t1 = time.monotonic()
        return sum(t0 < x < t1 for x in ticks) >= 3

    t = threading.Thread(target=ticker)
    t.start()
    try:
        return wait_for(a_tick_during_a_call, timeout=30)
    finally:
        done.set()
        t.join()
