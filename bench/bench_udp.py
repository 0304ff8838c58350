"""Datagram parsing next to json.loads, and end-to-end UDP ingestion from a
sender process on loopback: the highest rate taken in with no loss, and the
loss at twice that rate."""
import json
import os
import re
import subprocess
import time
import timeit

import _movra

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATAGRAM = '{"symbol":"AAPL","price":187.25,"size":300,"side":"buy","venue":"XNAS","seq":1234567,"timestamp":1700000000123}'
PLAN = {"filters": [], "select": None, "window": None, "mean": None, "watermark_ms": None,
        "allowed_lateness_ms": None, "event_id_field": None, "drop_late": False}



def parser_ratio():
    exe = os.path.join(ROOT, "build", "cpp", "movra_core_bench")
    out = subprocess.run([exe, "parser"], capture_output=True, text=True, check=True).stdout
    ns = float(re.search(r"\(([0-9.]+) ns each", out).group(1))
    n = 300_000
    py_ns = timeit.timeit(lambda: json.loads(DATAGRAM), number=n) / n * 1e9
    print(f"parser on a {len(DATAGRAM)}-byte trade datagram: ours {ns:.0f} ns ({1e3 / ns:.2f} M/s), "
          f"json.loads {py_ns:.0f} ns ({1e3 / py_ns:.2f} M/s): {py_ns / ns:.1f}x")


def ingest(rate, seconds=1.0):
    s = _movra.NativeStream.udp("127.0.0.1", 0, batch_size=8192, linger_ms=5, capacity=1 << 21)
    flood = os.path.join(ROOT, "build", "cpp", "movra_core_bench")
    sender = subprocess.Popen([flood, "flood", str(s.address()[1]), str(rate), str(seconds)],
                              stdout=subprocess.PIPE, text=True)
    delivered = 0
    while sender.poll() is None:
        out = s.next_batch(PLAN, timeout_ms=20)
        if out:
            delivered += len(out["seq"])
    sent, took = sender.stdout.read().split()
    time.sleep(0.05)
    s.close()
    while (out := s.next_batch(PLAN, timeout_ms=0)) is not None:
        delivered += len(out["seq"])
    sent = int(sent)
    st = s.stats()
    assert delivered + st["dropped"] == st["ingested"]
    return sent, float(took), st["ingested"]


def main():
    parser_ratio()
    print("\nend-to-end UDP ingestion on loopback (sender process -> stream -> next_batch):")
    print(f"  {'target rate':>12s} {'sent/s':>10s} {'sent':>9s} {'ingested':>9s} {'lost':>7s}")
    best = None
    for rate in (50_000, 100_000, 200_000, 400_000, 800_000, 1_600_000):
        sent, took, ingested = ingest(rate)
        lost = sent - ingested
        print(f"  {rate:>12,d} {sent / took:>10,.0f} {sent:>9,d} {ingested:>9,d} {lost / sent:>6.1%}")
        assert lost >= 0
        if lost == 0 and sent / took > 0.95 * rate:
            best = rate
    print(f"highest rate sent and taken in with no loss: {best:,} datagrams/s" if best else "loss at every rate")
    print("(the sender is a C++ process using sendmmsg, on the same two cores as the stream)")


if __name__ == "__main__":
    main()
