"""`make test-flink`: runs plans through the core and through the Flink SQL
that movra.flink generates for them, on the same corpus of 10,000 trades, and
compares.  Every window must be identical (counts exact, means within 1e-9
relative) and row plans must give the same rows in the same order.  Prints an
agreement table; exits 1 on any difference.

The exact translation of each plan is checked; the textbook translation of the
first plan runs too, for information only (it is expected to differ; it runs
with the exact plans' settings, so that it is deterministic).  With
MOVRA_FLINK_KEEP=1 the work directory (corpus, script, sink files) is kept."""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import tempfile
import time
from collections.abc import Mapping, Sequence
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus  # noqa: E402
import local  # noqa: E402

from movra import flink  # noqa: E402

RELATIVE_TOLERANCE = 1e-9


def plan(**parts: Any) -> dict[str, Any]:
    base: dict[str, Any] = {"filters": [], "select": None, "window": None, "mean": None, "watermark_ms": None,
                            "allowed_lateness_ms": None, "event_id_field": None, "drop_late": True}
    base.update(parts)
    return base


DEMO = plan(window={"seconds": 1, "by": "symbol", "time_field": "timestamp"},
            mean={"field": "price", "alias": "avg_price"}, watermark_ms=500, allowed_lateness_ms=250,
            event_id_field="event_id")

PLANS: dict[str, dict[str, Any]] = {
    "1 s windows by symbol, dedup (the demo plan)": DEMO,
    "2 s windows, no group, no dedup": plan(
        window={"seconds": 2, "by": None, "time_field": "timestamp"}, mean={"field": "price", "alias": "mean"},
        watermark_ms=300),
    "1 s windows by symbol, 3 filters, dedup, lateness 3 s": dict(
        DEMO, watermark_ms=200, allowed_lateness_ms=3000,
        filters=[{"field": "price", "op": ">=", "value": 100.0}, {"field": "side", "op": "==", "value": "buy"},
                 {"field": "qty", "op": ">", "value": 5}]),
    "rows: 2 filters, dedup, select": plan(
        filters=[{"field": "symbol", "op": "!=", "value": "DDD"}, {"field": "price", "op": "<", "value": 101.5}],
        watermark_ms=500, allowed_lateness_ms=250, event_id_field="event_id",
        select=["timestamp", "event_id", "symbol", "price"]),
    "rows: no filter, no dedup, lateness 1 s": plan(allowed_lateness_ms=1000),
    "2 s windows by side, mean named window_end, quoted filter": plan(
        window={"seconds": 2, "by": "side", "time_field": "timestamp"}, mean={"field": "qty", "alias": "window_end"},
        filters=[{"field": "symbol", "op": "!=", "value": "it's `AAA`; --"}], allowed_lateness_ms=400,
        event_id_field="event_id"),
    "aggs: 250 ms windows by symbol, 9 exact aggregates, dedup": dict(
        DEMO, mean=None, window={"size_ms": 250, "by": "symbol", "time_field": "timestamp"},
        aggs=[{"name": "n", "op": "count", "field": None}, {"name": "priced", "op": "count", "field": "price"},
              {"name": "avg", "op": "mean", "field": "price"}, {"name": "low", "op": "min", "field": "price"},
              {"name": "high", "op": "max", "field": "price"}, {"name": "volume", "op": "sum", "field": "qty"},
              {"name": "sd", "op": "stddev", "field": "price", "ddof": 1},
              {"name": "var0", "op": "var", "field": "price", "ddof": 0},
              {"name": "sides", "op": "count_distinct", "field": "side"}]),
    "aggs: hopping 2 s every 500 ms by symbol and side, filter": plan(
        window={"size_ms": 2000, "slide_ms": 500, "by": ["symbol", "side"], "time_field": "timestamp"},
        aggs=[{"name": "n", "op": "count", "field": None}, {"name": "turnover", "op": "sum", "field": "price"},
              {"name": "biggest", "op": "max", "field": "qty"}, {"name": "spread", "op": "var", "field": "price"}],
        filters=[{"field": "qty", "op": ">", "value": 2}], watermark_ms=300, allowed_lateness_ms=100),
    "aggs: sessions with a 40 ms gap by symbol": plan(
        window={"gap_ms": 40, "by": "symbol", "time_field": "timestamp"},
        aggs=[{"name": "n", "op": "count", "field": None}, {"name": "avg", "op": "mean", "field": "price"},
              {"name": "low", "op": "min", "field": "price"}, {"name": "ids", "op": "count_distinct",
                                                             "field": "event_id"}],
        watermark_ms=500, allowed_lateness_ms=250),
}
TEXTBOOK = "textbook translation of the demo plan (for information)"


def lateness_bounds() -> list[int]:
    """watermark_ms + allowed_lateness_ms of the plans without filters, for
    rows of the corpus that lie exactly on them."""
    return sorted({(p["watermark_ms"] or 0) + max(p["allowed_lateness_ms"] or 0, 0)
                   for p in PLANS.values() if not p["filters"] and p.get("aggs") is None})


def same(a: Any, b: Any) -> bool:
    if isinstance(a, float) and isinstance(b, (int, float)) and not isinstance(b, bool):
        return a == b or math.isclose(a, b, rel_tol=RELATIVE_TOLERANCE, abs_tol=0.0)
    return type(a) is type(b) and a == b


def to_rows(columns: Mapping[str, Sequence[Any]]) -> list[dict[str, Any]]:
    names = list(columns)
    return [dict(zip(names, values)) for values in zip(*(columns[n] for n in names))] if names else []


def compare_windows(the_plan: Mapping[str, Any], core: list[dict[str, Any]],
                    engine: list[dict[str, Any]]) -> tuple[int, list[str]]:
    """Windows in both with equal values, and a description of each difference."""
    by = the_plan["window"]["by"]
    fields = [] if by is None else [by] if isinstance(by, str) else list(by)

    def keyed(rows: list[dict[str, Any]]) -> dict[tuple[Any, ...], dict[str, Any]]:
        return {(r["window_start"], r["window_end"], *(r.get(f) for f in fields)): r for r in rows}

    ours, theirs = keyed(core), keyed(engine)
    problems = [f"window {k} only in the core: {ours[k]}" for k in ours.keys() - theirs.keys()]
    problems += [f"window {k} only in Flink: {theirs[k]}" for k in theirs.keys() - ours.keys()]
    identical = 0
    for key in ours.keys() & theirs.keys():
        a, b = ours[key], theirs[key]
        if a.keys() == b.keys() and all(same(a[n], b[n]) for n in a):
            identical += 1
        else:
            problems.append(f"window {key}: core {a}, Flink {b}")
    if len(engine) != len(theirs):
        problems.append(f"Flink emitted {len(engine) - len(theirs)} window(s) twice")
    return identical, sorted(problems)


def compare_rows(core: list[dict[str, Any]], engine: list[dict[str, Any]]) -> tuple[int, list[str]]:
    """Rows equal at the same position, and a description of each difference."""
    identical, problems = 0, []
    for i, (a, b) in enumerate(zip(core, engine)):
        if a.keys() == b.keys() and all(same(a[n], b[n]) for n in a):
            identical += 1
        else:
            problems.append(f"row {i}: core {a}, Flink {b}")
    if len(core) != len(engine):
        problems.append(f"the core gave {len(core)} rows, Flink {len(engine)}")
    return identical, problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=int, default=10_000)
    args = parser.parse_args()
    # A termination unwinds like an error: the JVM is stopped and the work directory removed.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    if not local.available():
        print("Flink is not set up: run tools/flink/setup.sh first (make test-flink does)", file=sys.stderr)
        return 2

    with tempfile.TemporaryDirectory(prefix="movra-flink-", delete=not os.environ.get("MOVRA_FLINK_KEEP")) as work:
        trades = corpus.trades(args.rows, lateness_bounds=lateness_bounds())
        data = os.path.join(work, "trades.json")
        corpus.write_json_lines(trades, data)
        checkpoint = os.path.join(work, "origin.ckpt")
        corpus.write_origin_checkpoint(checkpoint)
        columns = corpus.as_columns(trades)

        runs: list[tuple[str, dict[str, Any], flink.Mode]] = [(name, p, "exact") for name, p in PLANS.items()]
        runs.append((TEXTBOOK, DEMO, "textbook"))
        script, sinks = [], []
        for i, (name, the_plan, mode) in enumerate(runs):
            sink = os.path.join(work, f"out{i}")
            job = flink.translate(the_plan, checkpoint=checkpoint, mode=mode, columns=corpus.COLUMNS,
                                  source_table=f"trades{i}", sink_table=f"results{i}",
                                  source_options={"connector": "filesystem", "path": data, "format": "json"},
                                  sink_options={"connector": "filesystem", "path": sink, "format": "json"})
            # One JVM runs every job; each job's settings come before it.
            script.append(job.script)
            sinks.append(sink)

        started = time.monotonic()
        job_ms = local.run_script("\n".join(script), work)
        if len(job_ms) != len(runs):
            raise RuntimeError(f"Flink ran {len(job_ms)} jobs, not {len(runs)}")
        wall = time.monotonic() - started

        failed = False
        print(f"\n{corpus.describe(trades)}; window origin {corpus.ORIGIN}, read from a checkpoint.\n")
        print(f"  {'plan':58s} {'late':>5s} {'dups':>5s} {'compared':>9s} {'core':>6s} {'Flink':>6s} "
              f"{'identical':>9s}  result")
        for (name, the_plan, mode), sink, ms in zip(runs, sinks, job_ms):
            core_columns, stats = corpus.core_result(columns, the_plan, checkpoint)
            core = to_rows(core_columns)
            engine = local.read_sink(sink)
            windowed = the_plan["window"] is not None and (the_plan["mean"] is not None
                                                           or the_plan.get("aggs") is not None)
            identical, problems = (compare_windows(the_plan, core, engine) if windowed
                                   else compare_rows(core, engine))
            if not core:
                problems.append("the core gave no result: the plan compares nothing")
            ok = not problems
            if mode == "exact" and not ok:
                failed = True
            result = "identical" if ok else "DIFFERENT" if mode == "exact" else "differs, as expected"
            print(f"  {name:58s} {stats['late_events']:5d} {stats['duplicate_events']:5d} "
                  f"{'windows' if windowed else 'rows':>9s} {len(core):6d} {len(engine):6d} "
                  f"{identical:9d}  {result} ({ms / 1000:.1f} s)")
            if mode == "exact":
                for line in problems[:10]:
                    print(f"      {line}")
        print(f"\nOne local Flink ran {len(job_ms)} jobs in {wall:.1f} s with JVM start and planning"
              + (f"; kept {work}" if os.environ.get("MOVRA_FLINK_KEEP") else "."))
    print("FAILED: Flink and the core disagree" if failed else "Flink and the core agree on every plan.")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
