"""Shared helpers for the benchmarks: side-by-side rounds, peak memory, and
the records that bench/report.py turns into bench/RESULTS.md.

A comparison runs every case once per round, in an order rotated by one place
each round, for at least five rounds, all in one process: ours and its peers
see the same machine load.  It reports each case's minimum and median and the
ratios peer / ours of both (above 1 means ours is faster).  The 1-minute load
average is recorded before and after, since the machine may be shared.

Peak memory is measured apart from the timing, one fresh process per case:
the child builds the same inputs, resets its peak RSS (Linux clear_refs), runs
the case once and reports how far its peak RSS rose above the RSS it had just
before the call.  A script opts in by passing its case builders to main().

When MOVRA_BENCH_RESULTS names a file, every comparison and value printed here
is also appended to it as one JSON line, tagged with the benchmark's file
name."""
import gc
import json
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORE_BENCH = os.environ.get("MOVRA_CORE_BENCH", os.path.join(ROOT, "build", "cpp", "movra_core_bench"))
ROUNDS = int(os.environ.get("MOVRA_BENCH_ROUNDS", "5"))
# Names of the floor entries: not peers, but what no implementation can beat.
FLOOR_PREFIX = "floor:"


class Measured(float):
    """Returned by a case that times itself (a C++ loop run as a child
    process, say): its own seconds per item replace the wall time."""


def _record(entry):
    path = os.environ.get("MOVRA_BENCH_RESULTS")
    if path:
        entry["script"] = os.path.basename(sys.argv[0])
        with open(path, "a") as f:
            f.write(json.dumps(entry) + "\n")


def load_average():
    return os.getloadavg()[0]


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def _peak_extra_mb(fn):
    """Runs fn once; the rise of the peak RSS above the RSS just before."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current RSS
    base = _status_kib("VmRSS:")
    fn()
    return (_status_kib("VmHWM:") - base) / 1024


def _child_peak_mb(key, name):
    out = subprocess.run([sys.executable, sys.argv[0], "--peak-memory", key, name],
                         capture_output=True, text=True, check=True).stdout
    return float(out.split()[-1])


def compare(title, cases, ours, *, rounds=ROUNDS, per=1, unit="ms", scale=1e3, memory_key=None,
            goal=None):
    """cases: [(name, fn)], ours: the name of our entry.  per: items each
    call handles, to report time per item.  memory_key: the key under which
    main() can rebuild these cases in a child, to measure peak memory.
    goal: a short text of what this comparison must show, for the report."""
    times = {name: [] for name, _ in cases}
    load_before = load_average()
    for r in range(rounds):
        k = r % len(cases)
        for name, fn in cases[k:] + cases[:k]:
            t0 = time.perf_counter()
            got = fn()
            own = got if isinstance(got, Measured) else None
            del got  # freeing the result is part of the cost, as for a caller
            elapsed = time.perf_counter() - t0
            times[name].append(float(own) if own is not None else elapsed / per)
    load_after = load_average()
    peaks = {}
    if memory_key is not None:
        peaks = {name: _child_peak_mb(memory_key, name) for name, _ in cases}
    rows = [[name, min(ts) * scale, statistics.median(ts) * scale, peaks.get(name)]
            for name, ts in times.items()]
    _print(title, rows, ours, unit, rounds, (load_before, load_after))
    _record({"kind": "comparison", "title": title, "ours": ours, "unit": unit, "rounds": rounds,
             "load": [load_before, load_after], "rows": rows, "goal": goal})
    return {row[0]: (row[1], row[2]) for row in rows}


def _print(title, rows, ours, unit, rounds, load):
    base = {r[0]: r for r in rows}[ours]
    print(f"\n{title}  ({rounds} rounds, load {load[0]:.2f} -> {load[1]:.2f})")
    print(f"  {'':56s} {'min':>10s} {'median':>10s} {'ratio min':>9s} {'median':>7s} {'peak MB':>8s}")
    for name, lo, med, peak in rows:
        mem = f"{peak:8.1f}" if peak is not None else f"{'':8s}"
        print(f"  {name:56s} {lo:7.1f} {unit:2s} {med:7.1f} {unit:2s} {lo / base[1]:8.2f}x "
              f"{med / base[2]:6.2f}x {mem}")


def min_median(fn, rounds=ROUNDS):
    """(min, median) seconds of rounds calls of fn, for a value with no peer."""
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times)


def best_of(fn, repeat=3):
    """(the shortest of `repeat` calls of fn in seconds, the last result), for
    a case too slow to run in every round of compare()."""
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def table(title, rows, ours, unit="ms", scale=1e3):
    """Records times a script measured itself (for instance interleaved, or
    one run of a long case): rows are (name, seconds) or (name, min, median)
    in seconds; ours is the name of our entry.  Recorded as compare() does,
    with one round when only one time is given."""
    load = load_average()
    scaled = [[r[0], r[1] * scale, r[-1] * scale, None] for r in rows]
    _print(title, scaled, ours, unit, 1, (load, load))
    _record({"kind": "comparison", "title": title, "ours": ours, "unit": unit, "rounds": 1,
             "load": [load, load], "rows": scaled, "goal": None})


def value(title, text, goal=None):
    """A measurement with no peer to compare with; goal as in compare()."""
    print(f"{title}: {text}")
    _record({"kind": "value", "title": title, "text": text, "load": load_average(), "goal": goal})


def main(run, builders=None):
    """The entry point of a benchmark script.  With --peak-memory KEY NAME
    (as compare() starts it), builds builders(KEY) -> [(name, fn)] and
    prints the peak memory of the case NAME; otherwise calls run()."""
    if len(sys.argv) == 4 and sys.argv[1] == "--peak-memory":
        cases = dict(builders(sys.argv[2]))
        print(f"{_peak_extra_mb(cases[sys.argv[3]]):.1f}")
        return
    run()
