"""Save and load of a state with 1,000,000 event ids and 100,000 open
windows, next to writing the same ids with Python's own file writing, writing
the checkpoint's own bytes (the floor), and pickle loading the same content;
and how long stats() waits while a save of that size runs."""
import os
import pickle
import subprocess
import tempfile
import threading
import time

import _movra
from common import CORE_BENCH, FLOOR_PREFIX, compare, main, value

IDS = 1_000_000
WINDOWS = 100_000
PLAN = {"filters": [], "select": None, "window": {"seconds": 1, "by": "g", "time_field": "timestamp"},
        "mean": {"field": "v", "alias": "avg"}, "watermark_ms": 10**15, "allowed_lateness_ms": None,
        "event_id_field": "id", "drop_late": False}


def build_state():
    s = _movra.NativeStream.manual(batch_size=1 << 20, linger_ms=1, capacity=1 << 21)
    ids = [f"order-{i:09d}" for i in range(IDS)]
    s.emit_columns({"id": ids, "timestamp": [(i % WINDOWS) * 1000 for i in range(IDS)],
                    "g": ["G"] * IDS, "v": [float(i % 97) for i in range(IDS)]})
    while s.stats()["microbatches_emitted"] == 0:
        time.sleep(0.01)
    s.next_batch(PLAN, timeout_ms=0)
    st = s.stats()
    assert (st["seen_event_ids"], st["open_windows"]) == (IDS, WINDOWS), st
    return s, ids


def content_of(raw):
    """The checkpoint's content as Python values: the two times, the id
    list and a dict of window tuples."""
    lines = raw.decode().split("\n")
    n = int(lines[2].split("\t")[1])
    windows = {}
    for line in lines[4 + n:-1]:
        key, total, count, start, end, group = line.split("\t")
        windows[key] = (float(total), int(count), int(start), int(end), group)
    return int(lines[0].split("\t")[1]), int(lines[1].split("\t")[1]), lines[3:3 + n], windows


def run():
    s, ids = build_state()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "state.ckpt")
        s.save_checkpoint(path)
        size = os.path.getsize(path)
        fresh = _movra.NativeStream.manual(1, 1, 1)
        with open(path, "rb") as f:
            raw = f.read()
        pickled = os.path.join(tmp, "state.pickle")
        with open(pickled, "wb") as f:
            pickle.dump(content_of(raw), f, protocol=pickle.HIGHEST_PROTOCOL)

        def pickle_load():
            with open(pickled, "rb") as f:
                return pickle.load(f)

        def write_floor():
            with open(os.path.join(tmp, "floor.ckpt"), "wb") as f:
                f.write(raw)
                f.flush()
                os.fsync(f.fileno())

        def python_write():
            with open(os.path.join(tmp, "ids.txt"), "w") as f:
                f.write("seen_event_ids\t%d\n" % len(ids))
                for i in ids:
                    f.write(i)
                    f.write("\n")
                f.flush()
                os.fsync(f.fileno())

        python_write()
        py_size = os.path.getsize(os.path.join(tmp, "ids.txt"))
        mb = size / 1e6
        title = f"Checkpoint: {IDS:,} ids + {WINDOWS:,} windows ({mb:.1f} MB)"
        compare(title, [("save_checkpoint (with fsync)", lambda: s.save_checkpoint(path)),
                        (f"Python writing the ids alone, {py_size / size:.0%} of the bytes (with fsync)",
                         python_write),
                        (f"{FLOOR_PREFIX} writing the same bytes (with fsync)", write_floor)],
                "save_checkpoint (with fsync)")
        compare(f"{title}: load", [("load_checkpoint", lambda: fresh.load_checkpoint(path)),
                                   ("pickle.load of the same content", pickle_load)], "load_checkpoint")
        assert fresh.stats()["seen_event_ids"] == IDS

        # The longest gap between two stats() answers: the poller may be
        # stalled before or inside the call, so time from answer to answer.
        gaps = []
        stop = threading.Event()

        def poll_stats():
            last = time.perf_counter()
            while not stop.is_set():
                s.stats()
                now = time.perf_counter()
                gaps.append(now - last)
                last = now

        t = threading.Thread(target=poll_stats)
        t.start()
        time.sleep(0.05)
        t0 = time.perf_counter()
        s.save_checkpoint(path)
        during = time.perf_counter() - t0
        stop.set()
        t.join()
        value(f"{title}: stats() from another thread during a {during * 1e3:.0f} ms save",
              f"longest gap between answers {max(gaps) * 1e3:.1f} ms (the save keeps the interpreter lock throughout)")
        out = subprocess.run([CORE_BENCH, "checkpoint"], capture_output=True, text=True, check=True).stdout
        held = out.split(": ", 1)[1].split(" (")[0]
        value(f"{title}: state lock held during a save (C++)", held)
        fresh.close()
    s.close()


if __name__ == "__main__":
    main(run)
