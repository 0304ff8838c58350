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

HERE = os.path.dirname(os.path.abspath(__file__))


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_gib = int(f.readline().split()[1]) / 2**20
    versions = ", ".join(f"{p} {metadata.version(p)}" for p in ("numpy", "pandas", "polars", "pyarrow", "pybind11"))
    return (f"{model}, {os.cpu_count()} cores, {mem_gib:.0f} GiB; Linux {platform.release()}; "
            f"CPython {platform.python_version()}; {versions}")


def run_all(results):
    env = dict(os.environ, MOVRA_BENCH_RESULTS=results)
    for script in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
        print(f"== {os.path.basename(script)}", flush=True)
        subprocess.run([sys.executable, script], env=env, check=True)
    with open(results) as f:
        return [json.loads(line) for line in f]


def ratio_table(entries):
    lines = ["| Measurement | Ours | Peer | Peer's time | Ratio |", "|---|---|---|---|---|"]
    for e in entries:
        rows = dict(e["rows"])
        ours = rows[e["ours"]]
        for name, t in e["rows"]:
            if name != e["ours"]:
                lines.append(f"| {e['title']} | {e['ours']}: {ours:,.1f} {e['unit']} | {name} | "
                             f"{t:,.1f} {e['unit']} | {t / ours:.2f} |")
    return lines


def value_table(entries):
    return ["| Measurement | Result |", "|---|---|"] + [f"| {e['title']} | {e['text']} |" for e in entries]


def chart(entries, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shapes = [e for e in entries if e["script"] == "bench_numeric.py"]
    fig, axes = plt.subplots(len(shapes), 1, figsize=(9, 2.3 * len(shapes) + 0.6), squeeze=False)
    for ax, e in zip(axes[:, 0], shapes):
        names = [n for n, _ in e["rows"]][::-1]
        times = [t for _, t in e["rows"]][::-1]
        colours = ["#d62728" if n == e["ours"] else "#7f7f7f" if n.startswith("memory") else "#1f77b4"
                   for n in names]
        bars = ax.barh(names, times, color=colours)
        ax.bar_label(bars, labels=[f"{t:,.0f} ms" for t in times], padding=3, fontsize=8)
        ax.set_xscale("log")
        ax.set_xlim(right=max(times) * 4)
        ax.set_title(e["title"].removeprefix("Trade fast path, "), fontsize=9, loc="left")
        ax.tick_params(labelsize=8)
    fig.suptitle("aggregate_trade_numeric next to its peers and the memory-read limit", fontsize=11)
    axes[-1, 0].set_xlabel("milliseconds, best of several runs (log scale; shorter is faster)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        entries = run_all(os.path.join(tmp, "results.jsonl"))
    comparisons = [e for e in entries if e["kind"] == "comparison"]
    values = [e for e in entries if e["kind"] == "value"]
    chart(comparisons, os.path.join(HERE, "numeric.png"))
    text = [
        "# Benchmark results",
        "",
        f"Machine: {machine()}.",
        "",
        f"Written by `make bench` on {datetime.date.today():%Y-%m-%d}. Every time is the best of several runs; "
        "on a shared virtual machine repeat runs vary by up to about 30%.",
        "",
        "## Ours next to each peer",
        "",
        "Ratio is the peer's time divided by ours: above 1 means ours is faster. The memory-read limit "
        "is not a peer but a floor: one NumPy pass that only reads each input array once.",
        "",
        *ratio_table(comparisons),
        "",
        "## Measurements without a peer",
        "",
        *value_table(values),
        "",
        "## The trade fast path",
        "",
        "![aggregate_trade_numeric next to its peers and the memory-read limit](numeric.png)",
        "",
    ]
    with open(os.path.join(HERE, "RESULTS.md"), "w") as f:
        f.write("\n".join(text))
    print(f"wrote {os.path.join(HERE, 'RESULTS.md')} and numeric.png")


if __name__ == "__main__":
    main()
