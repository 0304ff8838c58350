"""A live demonstration of movra on loopback.

1. A sender process (``movra send --synthetic trades``) streams synthetic
   trades as UDP datagrams (one flat JSON object each) to a stream bound on
   127.0.0.1, at a steady rate for about ten seconds.  Now and then it sends
   a trade twice, and now and then one whose event time is seconds old.
2. The main program pulls micro-batches with a windowed plan (1-second
   tumbling windows per symbol aligned to the epoch, mean price, a watermark
   with allowed lateness, de-duplication by event id) and prints each window
   as the watermark closes it.
3. It closes the stream, prints the windows the close flushes and the
   counters, and checks them against what the sender sent.
4. It saves a checkpoint, restores it into a new stream, shows that a data
   file given in its place is refused, and that the restored stream still
   knows which events it has seen.
5. It runs the NumPy trade fast path over 10,000,000 rows next to NumPy.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import movra

RATE = 2000  # trades per second

PLAN = movra.Plan(window="1s", by="symbol", mean="price", alias="avg_price", watermark="500ms",
                  lateness="250ms", dedup="event_id")

# Row-by-row plan used after the restore: no windows, no lateness, only
# de-duplication.
REPLAY_PLAN = movra.Plan(dedup="event_id", drop_late=False)


def heading(text):
    print(f"\n== {text} " + "=" * max(0, 74 - len(text)))


def clock(ms):
    return time.strftime("%H:%M:%S", time.localtime(ms / 1000)) + f".{ms % 1000:03d}"


class WindowTable:
    """Prints window rows as one aligned table, a rule between windows."""

    def __init__(self):
        self.last_start = None
        self.trades = 0

    def header(self):
        print(f"  {'window':<27} {'symbol':<6} {'avg price':>10} {'trades':>7}")
        print(f"  {'-' * 27} {'-' * 6} {'-' * 10} {'-' * 7}")

    def rows(self, out):
        for start, end, sym, avg, n in zip(out["window_start"], out["window_end"], out["symbol"],
                                           out["avg_price"], out["count"]):
            window = f"{clock(start)} - {clock(end)}" if start != self.last_start else ""
            print(f"  {window:<27} {sym:<6} {avg:>10.3f} {n:>7}")
            self.last_start = start
            self.trades += n
        sys.stdout.flush()


def stream_live(stream, table, seconds):
    host, port = stream.address
    heading(f"live: trades over UDP to {host}:{port}, 1 s windows per symbol")
    print(f"  sender: {RATE:,} trades/s for {seconds:g} s, some sent twice, some 3 s late")
    print("  plan:   mean price per symbol, watermark 500 ms, allowed lateness 250 ms,")
    print("          de-duplication by event_id; a window prints once the watermark passes it\n")
    sender = subprocess.Popen([sys.executable, "-m", "movra", "send", "--synthetic", "trades", "--rate", str(RATE),
                               "--duration", f"{seconds}s", "--json", "-q", f"udp://{host}:{port}"],
                              stdout=subprocess.PIPE, text=True)
    table.header()
    while sender.poll() is None:
        out = stream.poll(PLAN, timeout=0.2)
        if out:
            table.rows(out)
    tally = json.loads(sender.stdout.read())
    deadline = time.monotonic() + 2  # the last datagrams reach the stream
    while stream.stats()["ingested"] < tally["sent"] + tally["resent"] and time.monotonic() < deadline:
        time.sleep(0.01)
    stream.close()
    print("\n  stream closed: the windows still open are flushed")
    for out in stream.batches(PLAN):  # ends once every event is delivered
        table.rows(out)
    return tally


def show_counters(stream, tally, table):
    heading("counters")
    stats = stream.stats()
    width = max(map(len, stats))
    for key, value in stats.items():
        print(f"  {key:<{width}}  {value:>9,}")
    on_time = tally["sent"] - tally["late"]
    print(f"\n  sender: {tally['sent']:,} trades, {tally['resent']:,} sent twice, {tally['late']:,} sent late")
    print(f"  stream: {table.trades:,} trades in windows, {stats['duplicate_events']:,} duplicates dropped, "
          f"{stats['late_events']:,} late dropped")
    received = table.trades + stats["late_events"]
    if received == tally["sent"] and stats["duplicate_events"] == tally["resent"]:
        print(f"  every trade accounted for: {on_time:,} on time + {tally['late']:,} late = {tally['sent']:,}")
    else:
        print(f"  {tally['sent'] - received:,} trades did not arrive (UDP gives no guarantee of delivery)")


def checkpoint_and_restore(stream):
    heading("checkpoint and restore")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "trades.ckpt")
        stream.save_checkpoint(path)
        with open(path, "rb") as f:
            head = [next(f).decode().rstrip("\n") for _ in range(4)]
        print(f"  saved {os.path.getsize(path):,} bytes to {os.path.basename(path)}; it begins:")
        for line in head:
            print("    " + line.replace("\t", " <TAB> "))
        restored = movra.manual(batch_size=100, linger_ms=5, capacity=1000)
        info = restored.load_checkpoint(path)
        data_file = os.path.join(tmp, "trades.jsonl")
        with open(data_file, "w") as f:
            f.write('{"event_id": "t0", "symbol": "ACME", "price": 1.0}\n')
        try:
            restored.load_checkpoint(data_file)
        except movra.CheckpointError as e:
            refusal = str(e).replace(tmp + os.sep, "")
    print(f"  restored into a new stream: {info.event_ids:,} event ids and {info.windows} open windows")
    print(f"  loading a data file instead is refused: {refusal}")
    replay = {"event_id": ["t0", "t1", "t2", "new-1", "new-2"], "symbol": ["ACME"] * 5,
              "price": [1.0, 2.0, 3.0, 4.0, 5.0]}
    restored.emit_columns(replay)
    out = restored.poll(REPLAY_PLAN, timeout=1)
    print(f"  replayed ids {', '.join(replay['event_id'])}")
    print(f"  came out:    {', '.join(out['event_id']) if out else 'nothing'}"
          f"  ({restored.stats()['duplicate_events']} dropped as already seen)")
    restored.close()


def numeric_fast_path(stream, n):
    symbols, window_ms = 50, 1000
    heading(f"NumPy trade fast path: {n:,} rows, {symbols} symbols, one hour of 1 s windows")
    rng = np.random.default_rng(1)
    ts = np.sort(rng.integers(1_700_000_000_000, 1_700_003_600_000, n))
    is_trade = rng.integers(0, 2, n, dtype=np.uint8)
    symbol_id = rng.integers(0, symbols, n)
    price = rng.normal(100.0, 5.0, n)

    def ours():
        return stream.native.aggregate_trade_numeric(ts, is_trade, symbol_id, price, window_ms)

    def numpy_peer():
        m = is_trade != 0
        t, s, v = ts[m], symbol_id[m], price[m]
        start = t // window_ms * window_ms
        uniq, inv = np.unique((start - start.min()) * symbols + s, return_inverse=True)
        counts = np.bincount(inv)
        return np.bincount(inv, weights=v) / counts, counts

    t_ours, agg = best_of(ours, 3)
    t_numpy, (avg, counts) = best_of(numpy_peer, 2)
    same = np.array_equal(np.asarray(agg["count"]), counts) and np.allclose(agg["avg_value"], avg, rtol=1e-12)
    print(f"  {'aggregate_trade_numeric':<34} {t_ours * 1e3:8.1f} ms")
    print(f"  {'NumPy (unique + bincount)':<34} {t_numpy * 1e3:8.1f} ms   {t_numpy / t_ours:5.1f}x slower")
    print(f"  {len(agg['count']):,} (window, symbol) groups; "
          f"{'the same counts and means as NumPy' if same else 'RESULTS DIFFER FROM NUMPY'}")
    return same


def best_of(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="how long the sender streams")
    parser.add_argument("--rows", type=int, default=10_000_000, help="rows for the NumPy fast path")
    args = parser.parse_args()
    began = time.monotonic()
    stream = movra.udp("127.0.0.1", 0, batch_size=1024, linger_ms=20, capacity=100_000, epoch_windows=True)
    table = WindowTable()
    tally = stream_live(stream, table, args.seconds)
    show_counters(stream, tally, table)
    checkpoint_and_restore(stream)
    same = numeric_fast_path(stream, args.rows)
    print(f"\ndemo finished in {time.monotonic() - began:.1f} s")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
