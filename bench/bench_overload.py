"""Memory under overload with no consumer: pending is bounded by capacity,
ready (batches already cut, waiting for next_batch) is not."""
import time

import _movra

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


def main():
    base = rss_mb()
    s = _movra.NativeStream.manual(batch_size=1000, linger_ms=10**9, capacity=10_000)
    offer(s)
    st = s.stats()
    print(f"no ticks (pending only): {st['ingested']:,} offered, {st['dropped']:,} dropped, "
          f"RSS +{rss_mb() - base:.1f} MB")
    s.close()
    del s

    base = rss_mb()
    s = _movra.NativeStream.manual(batch_size=1000, linger_ms=1, capacity=10_000)
    offer(s)
    time.sleep(0.1)
    st = s.stats()
    queued = st["ingested"] - st["dropped"]
    grown = rss_mb() - base
    print(f"ticking, no consumer (ready grows): {st['ingested']:,} offered, {st['dropped']:,} dropped, "
          f"{st['microbatches_emitted']:,} batches waiting, RSS +{grown:.1f} MB "
          f"(about {grown * 1e6 / max(queued, 1):.0f} bytes per waiting 4-column event)")
    s.close()


if __name__ == "__main__":
    main()
