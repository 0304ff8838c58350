"""When threads wake: idle streams, and the time from a window's bound to its
delivery.

(a) Idle: 100 open streams (50 manual, 50 UDP), nothing arriving, a consumer
    waiting on each (100 threads in batches(), then one asyncio loop with 100
    abatches()): context switches per second and CPU of the whole process.
(b) Latency: a UDP feed of 5,000 events/s sent from a child process, stamped
    with the wall clock run 20 times fast (so the 1 s windows, whole seconds
    as the engine has them, close 20 times a wall-clock second).  For each
    window, the wall time of its delivery minus the wall time its bound
    (window end + watermark + lateness, here the end) was passed, through
    batches() and abatches(), at linger 10 and 1 ms.
(c) Throughput: a windowed plan over 1,000,000 events through batches()."""
import asyncio
import os
import statistics
import subprocess
import sys
import threading
import time

import movra
from common import value

IDLE_SECONDS = 5.0
FEED_SECONDS = 8.0
RATE = 5000
SPEED = 20  # event time runs this many times as fast as the wall clock
WINDOW = movra.Plan(window="1s", by="sym", mean="price", watermark=0)

SENDER = r"""
import json, socket, sys, time
host, port, rate, seconds, speed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
start = time.monotonic()
sent = 0
while True:
    elapsed = time.monotonic() - start
    if elapsed >= seconds:
        break
    due = int(elapsed * rate)
    now = int(time.time() * 1000 * speed)
    while sent < due:
        s.sendto(json.dumps({"sym": "S%d" % (sent % 4), "price": 1.0, "timestamp": now}).encode(),
                 (host, port))
        sent += 1
    time.sleep(0.0005)
"""


def process_counters():
    """(context switches, CPU seconds) of this process, every thread summed."""
    switches = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/status") as f:
                text = f.read()
        except FileNotFoundError:
            continue
        for key in ("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"):
            switches += int(text.split(key)[1].split()[0])
    t = os.times()
    return switches, t.user + t.system


def worker_wakeups(streams):
    counts = [getattr(s.native, "worker_wakeups", None) for s in streams]
    return sum(c() for c in counts) if all(counts) else None


def measure_idle(streams, label):
    time.sleep(1.0)  # consumers settle into their wait
    w0 = worker_wakeups(streams)
    c0, t0, m0 = *process_counters(), time.monotonic()
    time.sleep(IDLE_SECONDS)
    c1, t1, m1 = *process_counters(), time.monotonic()
    w1 = worker_wakeups(streams)
    span = m1 - m0
    workers = "" if w0 is None else f"; workers woke {(w1 - w0) / span:.1f} times/s"
    value(f"Idle: 50 manual + 50 UDP streams, {label}",
          f"{(c1 - c0) / span:,.0f} context switches/s, {100 * (t1 - t0) / span:.2f}% of a core{workers}",
          goal="under 10 wakeups/s and 0.1% of a core in all")


def idle():
    def open_streams():
        return ([movra.manual() for _ in range(50)] +
                [movra.udp("127.0.0.1", 0) for _ in range(50)])

    streams = open_streams()
    measure_idle(streams, "no consumer")
    for s in streams:
        s.close()

    streams = open_streams()
    threads = [threading.Thread(target=lambda s=s: [None for _ in s.batches(WINDOW)]) for s in streams]
    for t in threads:
        t.start()
    measure_idle(streams, "a thread in batches() on each")
    for s in streams:
        s.close()
    for t in threads:
        t.join()

    async def in_loop():
        streams = open_streams()

        async def consume(s):
            async for _ in s.abatches(WINDOW):
                pass

        tasks = asyncio.gather(*(consume(s) for s in streams))
        await asyncio.to_thread(measure_idle, streams, "one asyncio loop with abatches() on each")
        for s in streams:
            s.close()
        await tasks

    asyncio.run(in_loop())


def feed(stream):
    host, port = stream.address
    return subprocess.Popen([sys.executable, "-c", SENDER, host, str(port), str(RATE), str(FEED_SECONDS),
                             str(SPEED)])


def delays_of(batch, delays):
    now = time.time() * 1000
    # One delay per window: its rows (one per symbol) arrive together.  The
    # watermark and lateness are 0, so the bound is the window's end.
    delays.extend(now - end / SPEED for end in set(batch["window_end"]))


def latency():
    for linger in (10, 1):
        results = []
        for how in ("batches()", "abatches()"):
            s = movra.udp("127.0.0.1", 0, linger_ms=linger, epoch_windows=True)
            sender = feed(s)
            threading.Thread(target=lambda: (sender.wait(), s.close()), daemon=True).start()
            delays = []
            if how == "batches()":
                for batch in s.batches(WINDOW):
                    delays_of(batch, delays)
            else:
                async def consume():
                    async for batch in s.abatches(WINDOW):
                        delays_of(batch, delays)
                asyncio.run(consume())
            live = [d for d in delays if d < 200]  # the flush at the close is no delivery on time
            q = statistics.quantiles(live, n=100)
            results.append(f"{how}: median {statistics.median(live):.1f} ms, p99 {q[98]:.1f} ms "
                           f"({len(live)} windows)")
        value(f"Latency from a window's bound to its delivery, {RATE:,} events/s over UDP, linger {linger} ms",
              "; ".join(results), goal=f"p99 at most {linger + 2 if linger > 1 else 3} ms")


def throughput():
    n = 1_000_000
    # Event times 10 ms apart: a 1 s window every 100 events.
    cols = {"sym": [f"S{i % 16}" for i in range(n)], "price": [1.0] * n, "timestamp": list(range(0, 10 * n, 10))}
    best = float("inf")
    for _ in range(3):
        s = movra.manual(batch_size=20_000, linger_ms=1, capacity=n)
        s.emit_columns(cols)
        threading.Timer(0.05, s.close).start()
        t0 = time.perf_counter()
        rows = sum(len(b["window_end"]) for b in s.batches(movra.Plan(window="1s", by="sym", mean="price")))
        best = min(best, time.perf_counter() - t0)
        assert rows == 16 * n // 100, rows
    value(f"Throughput: a windowed plan over {n:,} events through batches()", f"{n / best / 1e6:.2f} M events/s",
          goal="no lower than before")


def run():
    which = sys.argv[1:] or ["idle", "latency", "throughput"]
    for name in which:
        globals()[name]()


if __name__ == "__main__":
    run()
