"""Bytes the core holds per pending event and per open window, each measured
in a fresh process as the rise of its peak RSS (tracemalloc does not see the
core's allocations): 1M events emitted and left pending, and 1M windows left
open (1,000 groups x 1,000 window starts, a watermark that closes none).
The inputs are built before the peak is reset, so only the core's part is
counted; the windows come in twenty chunks, so the peak holds at most one
chunk of events on their way in.  The RSS that stays afterwards is given
beside the peak."""
import subprocess
import sys
import time

from common import value

N = 1_000_000
PLAN = {"filters": [], "select": None, "window": {"seconds": 1, "by": "g", "time_field": "timestamp"},
        "mean": {"field": "v", "alias": "avg"}, "watermark_ms": 2**62, "allowed_lateness_ms": None,
        "event_id_field": None, "drop_late": False}


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(field)


def child(case):
    import gc

    import _movra
    cols = {"timestamp": [(i // 1000) * 1000 for i in range(N)],
            "g": [f"G{i % 1000:04d}" for i in range(N)],
            "v": [float(i % 97) for i in range(N)]}
    linger = 1 if case == "windows" else 10**9
    s = _movra.NativeStream.manual(batch_size=N, linger_ms=linger, capacity=N)
    step = N // 20
    chunks = [{k: v[c:c + step] for k, v in cols.items()} for c in range(0, N, step)]
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base = status_kib("VmRSS:")
    if case == "pending":
        s.emit_columns(cols)
    else:
        # Twenty chunks, each taken once the worker has cut it, so that few
        # events are on their way in at any time; nothing closes.
        deadline = time.monotonic() + 120
        for k, chunk in enumerate(chunks):
            s.emit_columns(chunk)
            while s.stats()["open_windows"] < (k + 1) * step and time.monotonic() < deadline:
                s.next_batch(PLAN, 1000)
        assert s.stats()["open_windows"] == N, s.stats()
    peak = status_kib("VmHWM:") - base
    after = status_kib("VmRSS:") - base
    print(peak * 1024 / N, after * 1024 / N)


def run():
    for case, what in (("pending", "pending event"), ("windows", "open window")):
        out = subprocess.run([sys.executable, sys.argv[0], "--child", case], capture_output=True,
                             text=True, check=True).stdout.split()
        peak, after = float(out[0]), float(out[1])
        value(f"Memory: bytes per {what}, {N:,} in a fresh process",
              f"{peak:.0f} B at the peak, {after:.0f} B held afterwards",
              goal="at most half of the row engine's")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        child(sys.argv[2])
    else:
        run()
