"""Datagram parsing next to json.loads, and end-to-end UDP ingestion from a
sender process on loopback: the highest rate taken in with no loss, and the
loss at the rates above it."""
import json
import re
import subprocess
import time
import timeit

import _movra
from common import CORE_BENCH, table, value

DATAGRAM = '{"symbol":"AAPL","price":187.25,"size":300,"side":"buy","venue":"XNAS","seq":1234567,"timestamp":1700000000123}'
PLAN = {"filters": [], "select": None, "window": None, "mean": None, "watermark_ms": None,
        "allowed_lateness_ms": None, "event_id_field": None, "drop_late": False}



def parser_ratio():
    out = subprocess.run([CORE_BENCH, "parser"], capture_output=True, text=True, check=True).stdout
    ns = float(re.search(r"\(([0-9.]+) ns each", out).group(1))
    n = 300_000
    py_s = min(timeit.repeat(lambda: json.loads(DATAGRAM), number=n, repeat=3)) / n
    table(f"Datagram parser: one {len(DATAGRAM)}-byte trade datagram",
          [("parse_flat_json_object (C++)", ns * 1e-9), ("json.loads", py_s)],
          "parse_flat_json_object (C++)", unit="ns", scale=1e9)


def ingest(rate, seconds=1.0):
    s = _movra.NativeStream.udp("127.0.0.1", 0, batch_size=8192, linger_ms=5, capacity=1 << 21)
    sender = subprocess.Popen([CORE_BENCH, "flood", str(s.address()[1]), str(rate), str(seconds)],
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
    best, fastest = None, 0.0
    for rate in (50_000, 100_000, 200_000, 400_000, 800_000, 1_600_000):
        sent, took, ingested = ingest(rate)
        lost = sent - ingested
        print(f"  {rate:>12,d} {sent / took:>10,.0f} {sent:>9,d} {ingested:>9,d} {lost / sent:>6.1%}")
        assert lost >= 0
        fastest = max(fastest, sent / took)
        if lost == 0 and sent / took > 0.95 * rate:
            best = rate
    value("UDP on loopback: highest rate sent and taken in with no loss",
          (f"{best:,} datagrams/s" if best else "loss at every rate")
          + f" (sender reached at most {fastest:,.0f}/s; a C++ sendmmsg process on the same cores)")


if __name__ == "__main__":
    main()
