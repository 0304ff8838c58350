"""A live demonstration of _movra on loopback.

A sender process streams trade events as UDP datagrams (one flat JSON object
each) to a stream bound on 127.0.0.1.  The main program pulls micro-batches
with a windowed plan (1-second tumbling windows per symbol, mean price) and
prints each window as the watermark closes it.  At the end it closes the
stream (flushing the open windows), checkpoints the event-time state, and
runs the NumPy trade fast path over a million rows.
"""
import os
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

import _movra

SENDER = textwrap.dedent(
    """
    import json, random, socket, sys, time
    host, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rng = random.Random(7)
    prices = {"AAPL": 187.0, "MSFT": 411.0, "NVDA": 903.0}
    seq, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        for _ in range(20):
            sym = rng.choice(list(prices))
            prices[sym] *= 1 + rng.gauss(0, 0.0005)
            event = {"id": f"t{seq}", "symbol": sym, "price": round(prices[sym], 2),
                     "size": rng.randint(1, 500), "timestamp": int(time.time() * 1000)}
            sock.sendto(json.dumps(event, separators=(",", ":")).encode(), (host, port))
            seq += 1
            if seq % 97 == 0:  # now and then a resend, which de-duplication drops
                sock.sendto(json.dumps(event).encode(), (host, port))
        time.sleep(0.01)
    print(f"sender: {seq} trades sent", flush=True)
    """
)

PLAN = {
    "filters": [{"field": "size", "op": ">=", "value": 10}],
    "select": None,
    "window": {"seconds": 1, "by": "symbol", "time_field": "timestamp"},
    "mean": {"field": "price", "alias": "avg_price"},
    "watermark_ms": 200,
    "allowed_lateness_ms": 100,
    "event_id_field": "id",
    "drop_late": True,
}


def print_windows(out):
    for i in range(len(out["window_start"])):
        start = time.strftime("%H:%M:%S", time.localtime(out["window_start"][i] / 1000))
        print(f"  window {start}  {out['symbol'][i]:5s}  avg {out['avg_price'][i]:9.3f}  trades {out['count'][i]:4d}")


def main():
    stream = _movra.NativeStream.udp("127.0.0.1", 0, batch_size=512, linger_ms=20, capacity=100_000)
    host, port = stream.address()
    print(f"stream bound on {host}:{port}; streaming trades for 4 seconds")
    sender = subprocess.Popen([sys.executable, "-c", SENDER, host, str(port), "4"])
    deadline = time.monotonic() + 6
    while time.monotonic() < deadline and sender.poll() is None:
        out = stream.next_batch(PLAN, timeout_ms=100)
        if out:
            print_windows(out)
    sender.wait()
    time.sleep(0.1)
    stream.close()
    print("stream closed; flushing the windows still open")
    while (out := stream.next_batch(PLAN, timeout_ms=0)) is not None:
        print_windows(out)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "state.ckpt")
        stream.save_checkpoint(path)
        restored = _movra.NativeStream.manual(batch_size=10, linger_ms=5, capacity=100)
        restored.load_checkpoint(path)
        print(f"checkpoint: {os.path.getsize(path)} bytes; restored stream remembers "
              f"{restored.stats()['seen_event_ids']} event ids")
        restored.close()

    n = 1_000_000
    rng = np.random.default_rng(1)
    ts = np.sort(rng.integers(1_700_000_000_000, 1_700_000_060_000, n))
    is_trade, symbols, prices = rng.integers(0, 2, n).astype(np.uint8), rng.integers(0, 50, n), rng.normal(100, 5, n)
    t0 = time.perf_counter()
    agg = stream.aggregate_trade_numeric(ts, is_trade, symbols, prices, window_ms=1000)
    dt = time.perf_counter() - t0
    print(f"numeric fast path: {n:,} rows into {len(agg['count']):,} (window, symbol) groups in {dt * 1e3:.1f} ms")
    print("stats:", stream.stats())


if __name__ == "__main__":
    main()
