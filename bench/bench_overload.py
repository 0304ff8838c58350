"""Memory under overload with no consumer: pending is bounded by capacity,
ready (batches already cut, waiting for next_batch) is not."""
import time

import _movra
from common import main, value

EVENTS = 2_000_000
CHUNK = 10_000


def rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def offer(stream):
    cols = {"symbol": ["AAPL"] * CHUNK, "price": [187.25] * CHUNK, "size": [300] * CHUNK}
    for _ in range(EVENTS // CHUNK):
        stream.emit_columns(cols)
        time.sleep(0.002)  # give the worker ticks, as a steady stream would


def run():
    base = rss_mb()
    s = _movra.NativeStream.manual(batch_size=1000, linger_ms=10**9, capacity=10_000)
    offer(s)
    st = s.stats()
    value("Overload, no ticks (pending bounded by capacity 10,000)",
          f"{st['ingested']:,} offered, {st['dropped']:,} dropped, RSS +{rss_mb() - base:.1f} MB")
    s.close()
    del s

    base = rss_mb()
    s = _movra.NativeStream.manual(batch_size=1000, linger_ms=1, capacity=10_000)
    offer(s)
    time.sleep(0.1)
    st = s.stats()
    queued = st["ingested"] - st["dropped"]
    grown = rss_mb() - base
    value("Overload, ticking with no consumer (ready grows)",
          f"{queued:,} events waiting in {st['microbatches_emitted']:,} batches, RSS +{grown:.1f} MB "
          f"(about {grown * 1e6 / max(queued, 1):.0f} bytes per waiting 4-column event)")
    s.close()


if __name__ == "__main__":
    main(run)
