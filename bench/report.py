"""Runs every benchmark under bench/ and writes bench/RESULTS.md (each
measurement, ours and each peer, and the ratio) and bench/numeric.png (the
trade fast path next to its peers and the memory-read limit)."""
import datetime
import glob
import json
import os
import platform
import subprocess
import sys
import tempfile
from importlib import metadata

from common import FLOOR_PREFIX

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = ("numpy", "pandas", "polars", "duckdb", "pyarrow", "msgspec", "orjson", "pybind11")


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_gib = int(f.readline().split()[1]) / 2**20
    versions = ", ".join(f"{p} {metadata.version(p)}" for p in PEERS)
    return (f"{model}, {os.cpu_count()} cores, {mem_gib:.0f} GiB; Linux {platform.release()}; "
            f"CPython {platform.python_version()}; {versions}")


def run_all(results, only=None):
    env = dict(os.environ, MOVRA_BENCH_RESULTS=results)
    for script in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
        if only and not any(o in os.path.basename(script) for o in only):
            continue
        print(f"== {os.path.basename(script)}", flush=True)
        subprocess.run([sys.executable, script], env=env, check=True)
    with open(results) as f:
        return [json.loads(line) for line in f]


def is_floor(name):
    return name.startswith(FLOOR_PREFIX)


def fmt(t, unit):
    return f"{t:,.1f} {unit}"


def ratio_table(entries):
    lines = ["| Measurement | Ours: min / median | Peer | Peer: min / median | Ratio min | Ratio median "
             "| Peak MB ours / peer | Load |", "|---|---|---|---|---|---|---|---|"]
    for e in entries:
        rows = {r[0]: r for r in e["rows"]}
        _, omin, omed, opeak = rows[e["ours"]]
        for name, pmin, pmed, ppeak in e["rows"]:
            if name == e["ours"]:
                continue
            peak = "" if opeak is None else f"{opeak:,.0f} / {ppeak:,.0f}"
            lines.append(f"| {e['title']} | {fmt(omin, e['unit'])} / {fmt(omed, e['unit'])} | {name} | "
                         f"{fmt(pmin, e['unit'])} / {fmt(pmed, e['unit'])} | {pmin / omin:.2f} | "
                         f"{pmed / omed:.2f} | {peak} | {e['load'][0]:.1f}-{e['load'][1]:.1f} |")
    return lines


def goal_table(entries):
    """Per comparison with a goal: the slowest margin over the peers, and
    ours against the floor."""
    lines = ["| Measurement | Goal | Closest peer: ratio min / median | Ours / floor: min / median |",
             "|---|---|---|---|"]
    for e in entries:
        if not e.get("goal"):
            continue
        rows = {r[0]: r for r in e["rows"]}
        _, omin, omed, _ = rows[e["ours"]]
        peers = [r for r in e["rows"] if r[0] != e["ours"] and not is_floor(r[0])]
        closest = min(peers, key=lambda r: r[2] / omed)
        floors = [r for r in e["rows"] if is_floor(r[0])]
        floor = f"{omin / floors[0][1]:.2f} / {omed / floors[0][2]:.2f}" if floors else "-"
        lines.append(f"| {e['title']} | {e['goal']} | {closest[0]}: {closest[1] / omin:.2f} / "
                     f"{closest[2] / omed:.2f} | {floor} |")
    return lines


def value_goal_table(entries):
    lines = ["| Measurement | Goal | Result | Load |", "|---|---|---|---|"]
    return lines + [f"| {e['title']} | {e['goal']} | {e['text']} | {e['load']:.1f} |" for e in entries if e.get("goal")]


def value_table(entries):
    return ["| Measurement | Result | Load |", "|---|---|---|"] + [
        f"| {e['title']} | {e['text']} | {e['load']:.1f} |" for e in entries]


def chart(entries, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shapes = [e for e in entries if e["script"] == "bench_numeric.py"]
    fig, axes = plt.subplots(len(shapes), 1, figsize=(9, 2.3 * len(shapes) + 0.6), squeeze=False)
    for ax, e in zip(axes[:, 0], shapes):
        names = [r[0] for r in e["rows"]][::-1]
        times = [r[1] for r in e["rows"]][::-1]
        colours = ["#d62728" if n == e["ours"] else "#7f7f7f" if is_floor(n) else "#1f77b4"
                   for n in names]
        bars = ax.barh(names, times, color=colours)
        ax.bar_label(bars, labels=[f"{t:,.0f} ms" for t in times], padding=3, fontsize=8)
        ax.set_xscale("log")
        ax.set_xlim(right=max(times) * 4)
        ax.set_title(e["title"].removeprefix("Trade fast path, "), fontsize=8, loc="left")
        ax.tick_params(labelsize=8)
    fig.suptitle("aggregate_trade_numeric next to its peers and the memory-read floor", fontsize=11)
    axes[-1, 0].set_xlabel("milliseconds, minimum of the rounds (log scale; shorter is faster)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    # `report.py NAME...` runs only the scripts whose names contain a NAME
    # (for a quick look); RESULTS.md is written from a full run only.
    only = sys.argv[1:]
    with tempfile.TemporaryDirectory() as tmp:
        entries = run_all(os.path.join(tmp, "results.jsonl"), only)
    if only:
        return
    comparisons = [e for e in entries if e["kind"] == "comparison"]
    values = [e for e in entries if e["kind"] == "value"]
    chart(comparisons, os.path.join(HERE, "numeric.png"))
    text = [
        "# Benchmark results",
        "",
        f"Machine: {machine()}.",
        "",
        f"Written by `make bench` on {datetime.date.today():%Y-%m-%d}. Ours and its peers run side by side in "
        "one process: every round runs each case once, the order rotated by one place per round; the tables "
        "give the minimum and the median of the rounds. The machine is shared, so the 1-minute load average "
        "before and after each measurement is given with it; on a loaded machine, compare ratios, not times.",
        "",
        "## Goals",
        "",
        "The closest peer is the one with the smallest median ratio. A floor is not a peer but what no "
        "implementation can beat: one NumPy pass that only reads each input array once.",
        "",
        *goal_table(comparisons),
        "",
        *value_goal_table(values),
        "",
        "## Ours next to each peer",
        "",
        "Ratio is the peer's time divided by ours: above 1 means ours is faster. Times include building and "
        "freeing each result. Peak MB is how far the peak RSS rose above the RSS before one call, in a fresh "
        "process with the inputs already built (the inputs themselves are not counted).",
        "",
        *ratio_table(comparisons),
        "",
        "## Measurements without a peer",
        "",
        *value_table(values),
        "",
        "## The trade fast path",
        "",
        "![aggregate_trade_numeric next to its peers and the memory-read floor](numeric.png)",
        "",
    ]
    with open(os.path.join(HERE, "RESULTS.md"), "w") as f:
        f.write("\n".join(text))
    print(f"wrote {os.path.join(HERE, 'RESULTS.md')} and numeric.png")


if __name__ == "__main__":
    main()
