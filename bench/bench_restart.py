"""What restart-safe checkpoints cost, and what a SIGKILL loses.

(a) A live feed with 1,000,000 event ids already seen: a producer thread
    emits trades as fast as it can, a consumer takes them with batches();
    events/s without checkpoints and with a CheckpointManager saving every
    second.
(b) The pause of one save of that state: the manager's save (core save,
    checksum, metadata) next to the core's save alone.
(c) A listener killed with SIGKILL twice and restarted, 40,000 trades at
    4,000/s: the naive loop (a UDP consumer that saves a checkpoint every
    second, reloads it on start and appends windows to a file), `movra
    listen` over UDP with --checkpoint, and `movra listen` over a
    replayable file that a writer appends to.  Trades lost and windows
    written twice, against what was sent (UDP) or against the library run
    over the whole file."""
import collections
import csv
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import movra
from common import table, value

IDS = 1_000_000
PLAN = movra.Plan(window="1s", by="symbol", mean="price", watermark="500ms", lateness="250ms", dedup="event_id")
PLAN_ARGS = ["--window", "1s", "--by", "symbol", "--mean", "price", "--watermark", "500ms", "--lateness", "250ms",
             "--dedup", "event_id"]
TRADES, RATE, KILLS = 40_000, 4000, (3.0, 6.5)


# ------------------------------------------------------------------ (a), (b)

def loaded_stream():
    """A manual stream whose state holds IDS event ids."""
    s = movra.manual(batch_size=8192, linger_ms=2, capacity=400_000)
    s.aggregate({"event_id": [f"old-{i:08d}" for i in range(IDS)], "symbol": ["A"] * IDS, "price": [1.0] * IDS,
                 "timestamp": [1_000_000_000_000] * IDS}, PLAN)
    assert s.stats()["seen_event_ids"] == IDS
    return s


def live_feed(directory, checkpoints, seconds=6.0):
    """Events/s through a producer thread and a batches() consumer, and the
    save times."""
    s = loaded_stream()
    manager = movra.CheckpointManager(s, os.path.join(directory, "live.ckpt"), every="1s") if checkpoints else None
    chunk = 2000
    symbols = ["ACME", "BOLT", "CRUX", "DYNA", "ECHO", "FLUX"] * (chunk // 6 + 1)
    stop = threading.Event()

    def produce():
        n, t = 0, 1_700_000_000_000
        while not stop.is_set():
            s.emit_columns({"event_id": [f"n{i}" for i in range(n, n + chunk)], "symbol": symbols[:chunk],
                            "price": [100.0] * chunk, "timestamp": list(range(t, t + chunk))})
            n, t = n + chunk, t + chunk
            while s.stats()["ingested"] - processed[0] > 100_000 and not stop.is_set():
                time.sleep(0.0005)  # keep the queue short: no drops
        s.close()

    processed = [0]
    saves = []
    producer = threading.Thread(target=produce)
    start = time.perf_counter()
    producer.start()
    threading.Timer(seconds, stop.set).start()
    for _ in s.batches(PLAN):
        processed[0] = s.stats()["ingested"]
        if manager is not None and manager.due():
            saves.append(manager.save().seconds)
    elapsed = time.perf_counter() - start
    producer.join()
    counters = s.stats()
    assert counters["dropped"] == 0, counters
    if manager is not None:
        manager.close()
    return (counters["ingested"]) / elapsed, saves


def save_pause(directory):
    s = loaded_stream()
    with movra.CheckpointManager(s, os.path.join(directory, "pause.ckpt"), keep=2) as manager:
        managed = min(manager.save().seconds for _ in range(3))
    core = []
    for _ in range(3):
        t0 = time.perf_counter()
        s.save_checkpoint(os.path.join(directory, "core.ckpt"))
        core.append(time.perf_counter() - t0)
    size = os.path.getsize(os.path.join(directory, "core.ckpt"))
    s.close()
    return managed, min(core), size


# ------------------------------------------------------------------ (c)

NAIVE = """
import csv, os, signal, sys, time
import movra
port, ckpt, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
plan = movra.Plan(window="1s", by="symbol", mean="price", watermark="500ms", lateness="250ms", dedup="event_id")
stream = movra.udp("127.0.0.1", port, epoch_windows=not os.path.exists(ckpt))
if os.path.exists(ckpt):
    stream.load_checkpoint(ckpt)
stop = []
signal.signal(signal.SIGTERM, lambda *a: stop.append(1))
print("ready", flush=True)
with open(out, "a", newline="") as f:
    w = csv.writer(f)
    def write(b):
        w.writerows(zip(b["window_start"], b["symbol"], b["count"], b["avg_price"]))
        f.flush()
    last = time.monotonic()
    while not stop:
        b = stream.poll(plan, timeout=0.05)
        if b:
            write(b)
        if time.monotonic() - last >= 1:
            stream.save_checkpoint(ckpt)
            last = time.monotonic()
    stream.close()
    for b in stream.batches(plan):
        write(b)
"""

WRITER = """
import json, sys, time
from movra._synthetic import trades
path, rate, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
sent = resent = late = 0
start = time.monotonic()
with open(path, "a") as f:
    for n, (event, kind) in enumerate(trades()):
        if n == count:
            break
        f.write(json.dumps(event) + "\\n")
        sent += kind != "resend"
        resent += kind == "resend"
        late += kind == "late"
        if n % 40 == 39:
            f.flush()
            time.sleep(max(0.0, start + (n + 1) / rate - time.monotonic()))
print(json.dumps({"sent": sent, "resent": resent, "late": late}), flush=True)
"""


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError("condition not met")
        time.sleep(0.01)


def start_consumer(argv, ready):
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                            text=True)
    stream = proc.stdout if ready == "ready" else proc.stderr
    for line in stream:
        if ready in line:
            break
    threading.Thread(target=lambda: [None for _ in stream], daemon=True).start()
    return proc


def run_with_kills(argv, ready, feed, wait_caught_up=None):
    """Starts the consumer, then `feed` (a Popen of the sender or writer);
    SIGKILLs and restarts the consumer at KILLS seconds; stops it with
    SIGTERM once the feed is done.  Returns the feed's tally."""
    consumer = start_consumer(argv, ready)
    sender = feed()
    start = time.monotonic()
    for at in KILLS:
        time.sleep(max(0.0, start + at - time.monotonic()))
        consumer.send_signal(signal.SIGKILL)
        consumer.wait()
        consumer = start_consumer(argv, ready)
    tally = json.loads(sender.communicate()[0])
    if wait_caught_up is not None:
        wait_caught_up()
    time.sleep(0.5)  # the last datagrams reach the listener
    consumer.send_signal(signal.SIGTERM)
    consumer.wait(timeout=60)
    return tally


def windows_of(path, header):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f) if header else csv.reader(f))
    if header:
        rows = [(r["window_start"], r["symbol"], r["count"], r["avg_price"]) for r in rows]
    return [(int(s), g, int(n), float(a)) for s, g, n, a in rows]


def accounting(windows, expected):
    """(trades lost, windows written more than once)."""
    best = collections.defaultdict(int)
    seen = collections.Counter()
    for start, group, count, _ in windows:
        best[start, group] = max(best[start, group], count)
        seen[start, group] += 1
    return expected - sum(best.values()), sum(1 for n in seen.values() if n > 1)


def library(path):
    with open(path) as f:
        rows = [json.loads(line) for line in f]
    with movra.manual(epoch_windows=True) as s:
        s.emit_columns({k: [r[k] for r in rows] for k in rows[0]})
        s.close()
        return sorted((b["window_start"][i], b["symbol"][i], b["count"][i], b["avg_price"][i])
                      for b in s.batches(PLAN) for i in range(len(b["count"])))


def newest_offset(ckpt):
    directory, name = os.path.split(ckpt)
    metas = sorted(n for n in os.listdir(directory) if n.startswith(name + ".") and n.endswith(".json"))
    with open(os.path.join(directory, metas[-1])) as f:
        return json.load(f)["user"]["offset"]


def sigkill_tests(directory):
    py, results = sys.executable, {}
    send = [py, "-m", "movra", "send", "--synthetic", "trades", "--rate", f"{RATE}/s", "--count", str(TRADES),
            "--json", "-q"]

    port = free_port()
    out, ckpt = os.path.join(directory, "naive.csv"), os.path.join(directory, "naive.ckpt")
    tally = run_with_kills([py, "-c", NAIVE, str(port), ckpt, out], "ready",
                           lambda: subprocess.Popen([*send, f"udp://127.0.0.1:{port}"], stdout=subprocess.PIPE))
    results["naive loop over UDP, checkpoint every second"] = (tally["sent"] - tally["late"],
                                                               *accounting(windows_of(out, False),
                                                                           tally["sent"] - tally["late"]))

    port = free_port()
    out, ckpt = os.path.join(directory, "udp.csv"), os.path.join(directory, "udp.ckpt")
    listen = [py, "-m", "movra", "listen", f"udp://127.0.0.1:{port}", *PLAN_ARGS, "-o", out, "--checkpoint", ckpt,
              "--every", "1s"]
    tally = run_with_kills(listen, "listening on",
                           lambda: subprocess.Popen([*send, f"udp://127.0.0.1:{port}"], stdout=subprocess.PIPE))
    results["movra listen over UDP, --checkpoint --every 1s"] = (tally["sent"] - tally["late"],
                                                                 *accounting(windows_of(out, True),
                                                                             tally["sent"] - tally["late"]))

    feed = os.path.join(directory, "feed.jsonl")
    open(feed, "w").close()
    out, ckpt = os.path.join(directory, "file.csv"), os.path.join(directory, "file.ckpt")
    listen = [py, "-m", "movra", "listen", feed, "--follow", *PLAN_ARGS, "-o", out, "--checkpoint", ckpt,
              "--every", "1s"]
    run_with_kills(listen, "reading", lambda: subprocess.Popen([py, "-c", WRITER, feed, str(RATE), str(TRADES)],
                                                               stdout=subprocess.PIPE),
                   wait_caught_up=lambda: wait_until(lambda: newest_offset(ckpt) == os.path.getsize(feed)))
    expected = library(feed)
    written = windows_of(out, True)
    lost, twice = accounting(written, sum(n for _, _, n, _ in expected))
    same = "identical to" if sorted(written) == expected else "NOT identical to"
    results[f"movra listen over a replayable file (--follow), --checkpoint --every 1s; the windows are {same} "
            "the library's over the whole file"] = (sum(n for _, _, n, _ in expected), lost, twice)
    return results


def main():
    with tempfile.TemporaryDirectory() as directory:
        plain, _ = live_feed(directory, False)
        saved, saves = live_feed(directory, True)
        table(f"Live feed with {IDS:,} event ids seen: time per 1,000,000 events",
              [("no checkpoints", 1e6 / plain), ("CheckpointManager, a save every second", 1e6 / saved)],
              "no checkpoints")
        value("Live feed with checkpoints every second, 1,000,000 ids: events/s",
              f"{saved:,.0f} with, {plain:,.0f} without ({saved / plain:.0%}); {len(saves)} saves, median "
              f"{statistics.median(saves) * 1e3:.0f} ms")
        managed, core, size = save_pause(directory)
        table(f"A save's pause, {IDS:,} event ids ({size / 1e6:.1f} MB)",
              [("CheckpointManager.save (core save + SHA-256 + metadata)", managed), ("core save_checkpoint", core)],
              "CheckpointManager.save (core save + SHA-256 + metadata)")
        for name, (expected, lost, twice) in sigkill_tests(directory).items():
            value(f"SIGKILL twice and restart, {TRADES:,} datagrams at {RATE:,}/s: {name}",
                  f"{lost:,} of {expected:,} trades lost ({lost / expected:.1%}), {twice} windows written twice")


if __name__ == "__main__":
    main()
