"""Aggregate plans in the core: hopping windows (against Polars), session
windows (against a plain-Python model), checkpoints taken mid-stream, and
windows closed when the feed goes quiet."""

import math
import random
import time

import polars as pl
import pytest

import _movra
from conftest import make_plan, wait_for
from test_core_aggs import ALL_AGGS, feed, new_stream, random_events, rows_of

HOP_AGGS = [
    {"name": "n", "op": "count", "field": None},
    {"name": "total", "op": "sum", "field": "p"},
    {"name": "avg", "op": "mean", "field": "p"},
    {"name": "lo", "op": "min", "field": "p"},
    {"name": "hi", "op": "max", "field": "p"},
    {"name": "open", "op": "first", "field": "p"},
    {"name": "close", "op": "last", "field": "p"},
    {"name": "var1", "op": "var", "field": "p"},
    {"name": "sd0", "op": "stddev", "field": "p", "ddof": 0},
]


def window_plan(window, aggs=HOP_AGGS, **overrides):
    return make_plan(window=dict({"by": ["sym"], "time_field": "ts"}, **window), aggs=aggs, **overrides)


def approx_rows(rows):
    return [{k: (pytest.approx(v, rel=1e-9, abs=1e-9) if isinstance(v, float) else v) for k, v in r.items()}
            for r in rows]


def by_key(rows):
    return sorted(rows, key=lambda r: (r["window_end"], r["window_start"], str(r.get("sym"))))


@pytest.mark.parametrize("size, slide", [(1000, 250), (1000, 1000), (700, 100), (30, 10)])
def test_hopping_windows_match_polars(size, slide):
    rng = random.Random(size + slide)
    times = sorted(rng.randrange(0, 20000) for _ in range(1200))
    events = [{"ts": t, "sym": rng.choice("abc"), "p": round(rng.uniform(-10, 10), 2)} for t in times]
    out = feed(new_stream(), events, window_plan({"size_ms": size, "slide_ms": slide}), chunks=5)

    frame = pl.DataFrame(events).sort("ts")
    expected = (
        frame.group_by_dynamic("ts", every=f"{slide}i", period=f"{size}i", offset=f"-{size - slide}i",
                               closed="left", label="left", group_by="sym", start_by="window")
        .agg(n=pl.len(), total=pl.col("p").sum(), avg=pl.col("p").mean(), lo=pl.col("p").min(),
             hi=pl.col("p").max(), open=pl.col("p").first(), close=pl.col("p").last(),
             var1=pl.col("p").var(ddof=1), sd0=pl.col("p").std(ddof=0))
        .with_columns(window_start=pl.col("ts"), window_end=pl.col("ts") + size)
        .drop("ts")
    )
    want = [{k: (int(v) if k == "n" else v) for k, v in r.items()} for r in expected.to_dicts()]
    assert by_key(out) == approx_rows(by_key(want))


def sessions_model(events, gap, chunks, lateness=0, watermark=0):
    """Sessions as lists of events, with the stream's rules: a row is late
    when t + lateness < max_time - watermark; after each chunk every session
    ending at or below max_time - watermark - lateness is emitted."""
    out, open_, max_time = [], {}, None
    size = max(1, math.ceil(len(events) / chunks))
    for k in range(0, len(events), size):
        for e in events[k:k + size]:
            t, g = e["ts"], e["sym"]
            max_time = t if max_time is None else max(max_time, t)
            if t + lateness < max_time - watermark:
                continue
            sessions = open_.setdefault(g, [])
            touching = [s for s in sessions if s["start"] <= t + gap and s["end"] >= t]
            merged = {"start": t, "end": t + gap, "rows": [e]}
            for s in touching:
                sessions.remove(s)
                merged = {"start": min(merged["start"], s["start"]), "end": max(merged["end"], s["end"]),
                          "rows": s["rows"] + merged["rows"]}
            sessions.append(merged)
        threshold = max_time - watermark - lateness
        for g, sessions in open_.items():
            for s in [s for s in sessions if s["end"] <= threshold]:
                sessions.remove(s)
                out.append((g, s))
    out += [(g, s) for g, sessions in open_.items() for s in sessions]
    rows = []
    for g, s in out:
        values = [e["p"] for e in s["rows"]]
        rows.append({"sym": g, "window_start": s["start"], "window_end": s["end"], "n": len(values),
                     "total": math.fsum(values), "lo": min(values), "hi": max(values)})
    return rows


SESSION_AGGS = [
    {"name": "n", "op": "count", "field": None},
    {"name": "total", "op": "sum", "field": "p"},
    {"name": "lo", "op": "min", "field": "p"},
    {"name": "hi", "op": "max", "field": "p"},
]


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("lateness", [0, 300])
def test_sessions_match_a_python_model_on_shuffled_streams(seed, lateness):
    rng = random.Random(seed)
    times = sorted(rng.randrange(0, 30000) for _ in range(600))
    events = [{"ts": t, "sym": rng.choice("ab"), "p": rng.randrange(-100, 100)} for t in times]
    # Local shuffles make rows late by a little; some are within the lateness.
    for i in range(0, len(events) - 5, 5):
        if rng.random() < 0.5:
            chunk = events[i:i + 5]
            rng.shuffle(chunk)
            events[i:i + 5] = chunk
    gap, chunks = rng.choice([50, 120, 400]), rng.choice([1, 3, 10])
    plan = window_plan({"gap_ms": gap}, aggs=SESSION_AGGS, allowed_lateness_ms=lateness)
    out = feed(new_stream(), events, plan, chunks=chunks)
    want = sessions_model(events, gap, chunks, lateness=lateness)
    assert by_key(out) == approx_rows(by_key(want))


@pytest.mark.parametrize("seed", range(4))
def test_sessions_of_fully_shuffled_streams_match_the_model(seed):
    # Every row may land between, before or after any open session of its
    # group, and bridge two of them.
    rng = random.Random(100 + seed)
    events = [{"ts": rng.randrange(0, 20000), "sym": rng.choice("abc"), "p": rng.randrange(-100, 100)}
              for _ in range(800)]
    gap, chunks = rng.choice([10, 60, 200]), rng.choice([1, 4])
    plan = window_plan({"gap_ms": gap}, aggs=SESSION_AGGS, allowed_lateness_ms=10**9)
    out = feed(new_stream(), events, plan, chunks=chunks)
    assert by_key(out) == approx_rows(by_key(sessions_model(events, gap, chunks, lateness=10**9)))


def test_many_open_sessions_of_one_group_are_found_in_log_time():
    # 100,000 sessions of one group, all open, met in shuffled order: a
    # linear scan of the group's open sessions per row takes minutes here.
    n = 100_000
    times = [i * 100 for i in range(n)]
    random.Random(7).shuffle(times)
    stream = new_stream()
    for t in times:
        stream.emit_json({"ts": t, "sym": "a", "p": 1})
    assert wait_for(lambda: stream.scan_ready_times("ts")[0] == n)
    plan = window_plan({"gap_ms": 10}, aggs=[{"name": "n", "op": "count", "field": None}],
                       allowed_lateness_ms=10**12)
    started = time.monotonic()
    assert rows_of(stream.next_batch(plan, timeout_ms=0)) == []
    stream.close()
    out = []
    while (batch := stream.next_batch(plan, timeout_ms=0)) is not None:
        out += rows_of(batch)
    assert time.monotonic() - started < 15.0
    assert [r["window_start"] for r in out] == [i * 100 for i in range(n)]
    assert {r["n"] for r in out} == {1}


@pytest.mark.parametrize("times", [[5_000_000], [5_000_000, 5_000_000, 5_040_000]])
def test_hopping_windows_of_many_panes_merge_only_the_panes_they_hold(times):
    # The largest window a plan may have: 100,000 panes of 1 ms.  Probing
    # every pane of every window takes 100,000 ** 2 steps for one event.
    stream = new_stream()
    for t in times:
        stream.emit_json({"ts": t, "sym": "a", "p": 1})
    plan = window_plan({"size_ms": 100_000, "slide_ms": 1}, aggs=[{"name": "n", "op": "count", "field": None}])
    started = time.monotonic()
    stream.close()
    out = []
    while (batch := stream.next_batch(plan, timeout_ms=0)) is not None:
        out += rows_of(batch)
    assert time.monotonic() - started < 15.0
    lo, hi = min(times) - 99_999, max(times)
    assert [r["window_start"] for r in out] == list(range(lo, hi + 1))
    assert [r["n"] for r in out] == [sum(s <= t < s + 100_000 for t in times) for s in range(lo, hi + 1)]


def test_a_late_event_bridges_two_sessions():
    plan = window_plan({"gap_ms": 100}, aggs=SESSION_AGGS, allowed_lateness_ms=1000)
    # [0, 100) and [150, 250); the late row at 100 touches the first and
    # overlaps the second.
    events = [{"ts": 0, "sym": "a", "p": 1}, {"ts": 150, "sym": "a", "p": 2},
              {"ts": 100, "sym": "a", "p": 3}]
    for chunks in (1, 3):
        out = feed(new_stream(), events, plan, chunks=chunks)
        assert out == [{"hi": 3.0, "lo": 1.0, "n": 3, "sym": "a", "total": 6.0,
                        "window_end": 250, "window_start": 0}]


@pytest.mark.parametrize("window", [{"size_ms": 500}, {"size_ms": 1000, "slide_ms": 250}, {"gap_ms": 300}])
def test_checkpoint_mid_stream_gives_the_uninterrupted_results(tmp_path, window):
    rng = random.Random(7)
    events = random_events(rng, 900, t_max=15000)
    for e in events:
        if not (isinstance(e.get("p"), (int, float)) or e.get("p") is None) or isinstance(e.get("p"), bool):
            e["q"] = e.pop("p")
        e["id"] = rng.randrange(800)  # some duplicates
    plan = window_plan(window, aggs=ALL_AGGS, event_id_field="id", watermark_ms=200)
    q = len(events) // 4
    parts = [events[:q], events[q:2 * q], events[2 * q:3 * q], events[3 * q:]]

    def pull_parts(stream, parts):
        got = []
        for part in parts:
            for e in part:
                stream.emit_json(e)
            assert wait_for(lambda: stream.scan_ready_times("ts")[0] == len(part))
            got += rows_of(stream.next_batch(plan, timeout_ms=0))
        return got

    whole_stream = new_stream()
    whole = pull_parts(whole_stream, parts) + feed(whole_stream, [], plan)
    first = new_stream()
    got = pull_parts(first, parts[:2])
    assert first.stats()["open_windows"] > 0
    path = str(tmp_path / "ckpt")
    first.save_checkpoint(path)
    first.close()
    second = new_stream()
    second.load_checkpoint(path)
    got += pull_parts(second, parts[2:]) + feed(second, [], plan)
    # Windows closing at one pull come out in group order, and the restarted
    # stream has forgotten groups with no open window: compare as sets.
    assert by_key(got) == by_key(whole)
    # The restored state saves to the same bytes.
    again = new_stream()
    again.load_checkpoint(path)
    again.save_checkpoint(str(tmp_path / "again"))
    assert (tmp_path / "ckpt").read_bytes() == (tmp_path / "again").read_bytes()


def test_checkpoint_without_open_aggregate_windows_is_todays_file(tmp_path):
    s = new_stream()
    plan = window_plan({"size_ms": 1000}, aggs=[{"name": "n", "op": "count", "field": None}])
    s.emit_json({"ts": 10, "sym": "a"})
    s.close()
    assert s.next_batch(plan, timeout_ms=0) is not None
    s.save_checkpoint(str(tmp_path / "c"))
    assert (tmp_path / "c").read_bytes() == (
        b"max_event_time\t10\nwindow_origin\t-9223372036854775808\nseen_event_ids\t0\nwindow_state\t0\n")


@pytest.mark.parametrize("damage", [
    lambda t: t[: len(t) // 2],
    lambda t: t.replace(b"aggs_state\t1", b"aggs_state\t9"),
    lambda t: t.replace(b"\nslot\t", b"\nslot\tx"),
    lambda t: t.replace(b"\ngroup\t", b"\ngroup\tq"),
    lambda t: t.replace(b"signature", b"sig"),
    lambda t: t.replace(b"\t", b"\t\\"),
    lambda t: t + b"slot\t1\t2\t0\n" * 3,
])
def test_a_damaged_extension_loads_what_it_can(tmp_path, damage):
    s = new_stream()
    plan = window_plan({"gap_ms": 100}, aggs=ALL_AGGS)
    for t in (10, 20, 500):
        s.emit_json({"ts": t, "sym": "a", "p": 1.5, "venue": "x\ty\n\\"})
    assert wait_for(lambda: s.scan_ready_times("ts")[0] == 3)
    s.next_batch(plan, timeout_ms=0)
    path = tmp_path / "c"
    s.save_checkpoint(str(path))
    text = path.read_bytes()
    assert b"aggs_state\t1\t" in text
    path.write_bytes(damage(text))
    loaded = new_stream()
    loaded.load_checkpoint(str(path))
    loaded.close()
    while loaded.next_batch(plan, timeout_ms=0) is not None:
        pass


def test_strings_round_trip_through_the_checkpoint(tmp_path):
    odd = "tab\tnewline\nback\\slash nul\0 space"
    s = new_stream()
    plan = window_plan({"size_ms": 1000}, aggs=[{"name": "f", "op": "first", "field": "venue"}])
    s.emit_json({"ts": 10, "sym": odd, "venue": odd})
    assert wait_for(lambda: s.scan_ready_times("ts")[0] == 1)
    assert s.next_batch(plan, timeout_ms=0) is None
    s.save_checkpoint(str(tmp_path / "c"))
    loaded = new_stream()
    loaded.load_checkpoint(str(tmp_path / "c"))
    loaded.close()
    assert loaded.next_batch(plan, timeout_ms=0) == {
        "f": [odd], "sym": [odd], "window_end": [1000], "window_start": [0]}


def test_windows_close_when_the_feed_goes_quiet():
    s = new_stream()
    plan = window_plan({"size_ms": 1000}, aggs=[{"name": "n", "op": "count", "field": None}],
                       close_idle_after_ms=100)
    s.emit_json({"ts": 10, "sym": "a"})
    s.emit_json({"ts": 20, "sym": "a"})
    assert wait_for(lambda: s.scan_ready_times("ts")[0] == 2)
    started = time.monotonic()
    assert s.next_batch(plan, timeout_ms=0) is None
    got = []
    deadline = time.monotonic() + 10
    while not got and time.monotonic() < deadline:
        got = rows_of(s.next_batch(plan, timeout_ms=50))
    assert got == [{"n": 2, "sym": "a", "window_end": 1000, "window_start": 0}]
    # Closed by the wall clock, not before: 980 ms of event time had to pass.
    assert time.monotonic() - started >= 0.9
    # A row for the closed window is now late, never a new copy of it.
    s.emit_json({"ts": 30, "sym": "a"})
    assert wait_for(lambda: s.scan_ready_times("ts")[0] == 1)
    assert s.next_batch(plan, timeout_ms=0) is None
    assert s.stats()["late_events"] == 1
    s.close()


@pytest.mark.parametrize("drop_late, late_rows", [(True, []), (False, [(-100, 1), (0, 1)])])
def test_a_late_row_of_emitted_hopping_windows(drop_late, late_rows):
    """Kept late (drop_late false), a row for windows already out makes them
    come out again with the late values only, as a late row of a mean plan
    makes its window come out again."""
    s = new_stream()
    plan = window_plan({"size_ms": 200, "slide_ms": 100}, aggs=[{"name": "n", "op": "count", "field": None}],
                       drop_late=drop_late)
    for t in (50, 350):
        s.emit_json({"ts": t, "sym": "a"})
    assert wait_for(lambda: s.scan_ready_times("ts")[0] == 2)
    out = rows_of(s.next_batch(plan, timeout_ms=0))
    assert [(r["window_start"], r["n"]) for r in out] == [(-100, 1), (0, 1)]
    s.emit_json({"ts": 60, "sym": "a"})
    assert wait_for(lambda: s.scan_ready_times("ts")[0] == 1)
    out = rows_of(s.next_batch(plan, timeout_ms=0))
    assert [(r["window_start"], r["n"]) for r in out] == late_rows
    assert s.stats()["late_events"] == 1
    s.close()


INT64_MAX = 2**63 - 1


@pytest.mark.parametrize("times", [[0], [0, INT64_MAX], [5, INT64_MAX - 3]])
@pytest.mark.parametrize("size, slide", [(INT64_MAX, INT64_MAX), (INT64_MAX - 1, (INT64_MAX - 1) // 2)])
def test_hopping_windows_ending_past_int64_close_once(times, size, slide):
    # Windows whose end saturates at INT64_MAX: every one comes out once, and
    # the stream then runs dry instead of handing out empty batches forever.
    stream = new_stream()
    for t in times:
        stream.emit_json({"ts": t, "sym": "a", "p": 1})
    assert wait_for(lambda: stream.scan_ready_times("ts")[0] == len(times))
    plan = window_plan({"size_ms": size, "slide_ms": slide}, aggs=[{"name": "n", "op": "count", "field": None}])
    out = rows_of(stream.next_batch(plan, timeout_ms=0))
    stream.close()
    for _ in range(20):
        batch = stream.next_batch(plan, timeout_ms=0)
        if batch is None:
            break
        out += rows_of(batch)
    else:
        pytest.fail(f"the stream still hands out batches after close: {out[-3:]}")
    keys = [(r["window_start"], r["window_end"]) for r in out]
    assert len(keys) == len(set(keys)), keys
    assert sum(r["n"] for r in out) >= len(times)
