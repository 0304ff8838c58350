"""The demo plan on 1,000,000 trades: the core's aggregate_columns next to the
exact Flink SQL translation (movra.flink) in a local Flink, one JVM, parallelism
1 as the exact translation requires; the Flink side reads the trades as JSON
lines from a file.  Also the set-up cost: the Flink jars on disk and the wall
time of a first, tiny job in a fresh JVM.  Both sides' windows are compared.

Flink is expected to be much slower here: it runs on two shared cores with one
task, and its value is distribution and durability, not speed in one process.

Skips when tools/flink/setup.sh has not run (`make test-flink` runs it).  Under
`make bench` it runs only with MOVRA_BENCH_FLINK=1, since it takes minutes."""
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools", "flink"))

import compare  # noqa: E402
import corpus  # noqa: E402
import local  # noqa: E402
from common import best_of, table, value  # noqa: E402

from movra import flink  # noqa: E402

N = 1_000_000


def translate(data, sink):
    return flink.translate(compare.DEMO, origin=corpus.ORIGIN, columns=corpus.COLUMNS,
                           source_options={"connector": "filesystem", "path": data, "format": "json"},
                           sink_options={"connector": "filesystem", "path": sink, "format": "json"}).script


def main():
    if not local.available():
        print("bench_flink: skipped, Flink is not set up (run make test-flink first)")
        return
    if os.environ.get("MOVRA_BENCH_RESULTS") and not os.environ.get("MOVRA_BENCH_FLINK"):
        print("bench_flink: skipped under make bench; MOVRA_BENCH_FLINK=1 includes it")
        return
    with tempfile.TemporaryDirectory(prefix="movra-bench-flink-") as work:
        checkpoint = os.path.join(work, "origin.ckpt")
        corpus.write_origin_checkpoint(checkpoint)

        small = os.path.join(work, "small.json")
        corpus.write_json_lines(corpus.trades(1_000), small)
        started = time.perf_counter()
        local.run_script(translate(small, os.path.join(work, "small-out")), work)
        first_job = time.perf_counter() - started

        trades = corpus.trades(N)
        data = os.path.join(work, "trades.json")
        corpus.write_json_lines(trades, data)
        columns = corpus.as_columns(trades)
        del trades
        t_core, (core, _) = best_of(lambda: corpus.core_result(columns, compare.DEMO, checkpoint))
        sink = os.path.join(work, "out")
        (job_ms,) = local.run_script(translate(data, sink), work)
        identical, problems = compare.compare_windows(compare.DEMO, compare.to_rows(core), local.read_sink(sink))

    lib = os.path.join(local.FLINK_DIR, "lib")
    disk = sum(os.path.getsize(os.path.join(lib, f)) for f in os.listdir(lib))
    java = subprocess.run(["java", "-version"], capture_output=True, text=True).stderr.splitlines()[0]
    table(f"Demo plan (1 s windows by symbol, dedup, lateness) on {N:,} trades",
          [("core: aggregate_columns", t_core), ("Flink 2.3 local, exact SQL, parallelism 1", job_ms / 1000)],
          ours="core: aggregate_columns")
    value("Flink local throughput, demo plan, exact SQL",
          f"{N / (job_ms / 1000) / 1e3:,.0f} k rows/s (core {N / t_core / 1e6:.1f} M rows/s); "
          f"{identical:,} windows identical, {len(problems)} differences")
    value("Flink set-up", f"jars {disk / 2**20:,.0f} MiB on disk; first job (fresh JVM, 1,000 trades) "
          f"{first_job:.1f} s; {java}")


if __name__ == "__main__":
    main()
