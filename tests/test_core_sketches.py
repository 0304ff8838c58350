"""The quantile and distinct-count aggregates of aggregate plans in the core:
"quantile" equal to NumPy, "approx_quantile" (KLL) within its rank bound,
"approx_count_distinct" (HLL) within three standard errors, checked against
NumPy, exact counts and the datasketches package, in tumbling, hopping and
session windows, and through a checkpoint."""

import math
import random

import numpy as np
import pytest

import _movra
from conftest import make_plan, wait_for

datasketches = pytest.importorskip("datasketches")

# The bounds the core states: KLL's single-quantile rank error at k = 200
# (99% confidence) and HLL's relative standard error at lg_k = 12.
KLL_EPS_200 = datasketches.kll_doubles_sketch.get_normalized_rank_error(200, False)
HLL_RSE_12 = 1.04 / math.sqrt(2 ** 12)


def plan_of(aggs, by=("g",), **window):
    w = {"size_ms": 1000, "by": list(by), "time_field": "ts"}
    w.update(window)
    return make_plan(window=w, aggs=aggs)


def new_stream():
    return _movra.NativeStream.manual(batch_size=100000, linger_ms=1, capacity=2000000)


def rows_of(columns):
    if columns is None:
        return []
    names = list(columns)
    return [dict(zip(names, values)) for values in zip(*columns.values())]


def run(events, plan, stream=None):
    """Every output row of the events under plan, flushed at the end."""
    stream = stream or new_stream()
    for e in events:
        stream.emit_json(e)
    stream.close()
    out = []
    while (batch := stream.next_batch(plan, timeout_ms=0)) is not None:
        out += rows_of(batch)
    return out


def rank_interval(sorted_values, v):
    n = len(sorted_values)
    return (np.searchsorted(sorted_values, v, "left") / n, np.searchsorted(sorted_values, v, "right") / n)


QS = [0.0, 0.01, 0.25, 0.5, 0.9, 0.99, 1.0]


@pytest.mark.parametrize("agg, words", [
    ({"name": "x", "op": "quantile", "field": "p"}, ['"x"', '"q"']),
    ({"name": "x", "op": "quantile", "field": "p", "q": 1.5}, ['"x"', '"q"', "1.5"]),
    ({"name": "x", "op": "approx_quantile", "field": "p", "q": -0.1}, ['"x"', "-0.1"]),
    ({"name": "x", "op": "quantile", "field": "p", "q": 0.5, "param": 100}, ['"x"', '"param"']),
    ({"name": "x", "op": "approx_quantile", "field": "p", "q": 0.5, "param": 4}, ['"x"', "k", " 4"]),
    ({"name": "x", "op": "approx_count_distinct", "field": "p", "param": 30}, ['"x"', "lg_k", "30"]),
    ({"name": "x", "op": "approx_count_distinct", "field": "p", "q": 0.5}, ['"x"', '"q"']),
    ({"name": "x", "op": "approx_quantile", "field": None, "q": 0.5}, ['"x"', '"field"']),
])
def test_plan_errors_name_the_aggregate_and_value(agg, words):
    stream = new_stream()
    with pytest.raises(ValueError) as info:
        stream.next_batch(plan_of([agg]), timeout_ms=0)
    for w in words:
        assert w in str(info.value)


def random_events(rng, n, groups=("a", "b", "c"), t_max=5000, ties=False):
    events = []
    for t in sorted(rng.randrange(0, t_max) for _ in range(n)):
        e = {"ts": t, "g": rng.choice(groups)}
        kind = rng.random()
        if kind < 0.8:
            e["p"] = rng.randrange(-3, 4) if ties else rng.gauss(10, 5)
        elif kind < 0.85:
            e["p"] = rng.randrange(-100, 100)
        elif kind < 0.9:
            e["p"] = None
        elif kind < 0.95:
            e["p"] = "text"
        else:
            e["p"] = True
        events.append(e)
    return events


def numbers_by_window(events, width, start_of=None):
    """{(group, window start): [numbers]} of tumbling windows (bools and text skipped)."""
    out = {}
    for e in events:
        p = e.get("p")
        key = (e["g"], e["ts"] // width * width)
        values = out.setdefault(key, [])
        if isinstance(p, (int, float)) and not isinstance(p, bool):
            values.append(float(p))
    return out


@pytest.mark.parametrize("seed", range(4))
def test_exact_quantiles_equal_numpy_and_share_one_state(seed):
    rng = random.Random(seed)
    events = random_events(rng, 3000, ties=seed % 2 == 1)
    aggs = [{"name": f"q{i}", "op": "quantile", "field": "p", "q": q} for i, q in enumerate(QS)]
    rows = run(events, plan_of(aggs))
    expected = numbers_by_window(events, 1000)
    assert {(r["g"], r["window_start"]) for r in rows} == set(expected)
    for r in rows:
        values = np.array(expected[(r["g"], r["window_start"])])
        for i, q in enumerate(QS):
            if len(values) == 0:
                assert r[f"q{i}"] is None
            else:
                # Bit for bit, not approximately.
                assert r[f"q{i}"] == float(np.quantile(values, q, method="linear"))


def test_exact_quantile_skips_nan_like_nanquantile():
    events = [{"ts": 1, "g": "a", "p": v} for v in (1.0, float("nan"), 3.0, 10.0)]
    events += [{"ts": 2, "g": "b", "p": float("nan")}]
    rows = run(events, plan_of([{"name": "m", "op": "quantile", "field": "p", "q": 0.5},
                                {"name": "n", "op": "count", "field": None}]))
    by_group = {r["g"]: r for r in rows}
    assert by_group["a"]["m"] == float(np.nanquantile([1.0, float("nan"), 3.0, 10.0], 0.5))
    assert by_group["b"]["m"] is None and by_group["b"]["n"] == 1


def big_window_columns(seed, n):
    rng = np.random.default_rng(seed)
    values = rng.lognormal(3.0, 1.0, n)
    # Lists: the raw core takes NumPy floats as floats but NumPy ints as text.
    return {"ts": [0] * n, "g": ["a"] * n, "p": values.tolist()}, values


@pytest.mark.parametrize("seed", range(6))
def test_approx_quantiles_stay_within_the_rank_bound(seed):
    n = 200_000
    columns, values = big_window_columns(seed, n)
    aggs = [{"name": f"q{i}", "op": "approx_quantile", "field": "p", "q": q} for i, q in enumerate(QS)]
    aggs.append({"name": "exact99", "op": "quantile", "field": "p", "q": 0.99})
    out = rows_of(new_stream().aggregate_columns(columns, plan_of(aggs)))
    assert len(out) == 1
    sorted_values = np.sort(values)
    assert out[0]["q0"] == sorted_values[0] and out[0]["q6"] == sorted_values[-1]
    assert out[0]["exact99"] == float(np.quantile(values, 0.99, method="linear"))
    # The datasketches package's own KLL sketch, as a second opinion on the bound.
    oracle = datasketches.kll_doubles_sketch(200)
    oracle.update(values)
    for i, q in enumerate(QS):
        lo, hi = rank_interval(sorted_values, out[0][f"q{i}"])
        assert lo - KLL_EPS_200 <= q <= hi + KLL_EPS_200, (q, lo, hi)
        lo, hi = rank_interval(sorted_values, oracle.get_quantile(q, True))
        assert lo - KLL_EPS_200 <= q <= hi + KLL_EPS_200


@pytest.mark.parametrize("seed", range(6))
def test_approx_distinct_counts_stay_within_three_standard_errors(seed):
    rng = np.random.default_rng(100 + seed)
    distinct = int(rng.integers(20_000, 120_000))
    ids = rng.integers(0, distinct, 2 * distinct)
    ids[:distinct] = np.arange(distinct)  # every id at least once
    rng.shuffle(ids)
    ids = ids * 7919 + seed
    columns = {"ts": [0] * len(ids), "g": ["a"] * len(ids), "u": ids.tolist()}
    aggs = [{"name": "d", "op": "approx_count_distinct", "field": "u"},
            {"name": "d14", "op": "approx_count_distinct", "field": "u", "param": 14}]
    out = rows_of(new_stream().aggregate_columns(columns, plan_of(aggs)))[0]
    assert isinstance(out["d"], int)
    assert abs(out["d"] - distinct) <= 3 * HLL_RSE_12 * distinct
    assert abs(out["d14"] - distinct) <= 3 * (1.04 / 2 ** 7) * distinct
    # The same values in the same order give the datasketches package's estimate.
    oracle = datasketches.hll_sketch(12, datasketches.tgt_hll_type.HLL_8)
    for v in ids.tolist():
        oracle.update(v)
    assert out["d"] == round(oracle.get_estimate())


def test_distinct_values_are_those_of_count_distinct():
    values = [1, 1.0, True, "1", "", -0.0, 0, False, 0.5, float("nan"), None, "a", "a"]
    events = [{"ts": 1, "g": "a", "u": v} for v in values] + [{"ts": 2, "g": "a"}]
    rows = run(events, plan_of([{"name": "d", "op": "approx_count_distinct", "field": "u"},
                                {"name": "e", "op": "count_distinct", "field": "u"}]))
    # {1, "1", "", 0, 0.5, nan, "a", True, False}
    assert rows == [{"d": 9, "e": 9, "g": "a", "window_end": 1000, "window_start": 0}]
    rows = run([{"ts": 1, "g": "a"}], plan_of([{"name": "d", "op": "approx_count_distinct", "field": "u"}]))
    assert rows[0]["d"] == 0


def window_values(events, start, end, group):
    return [float(e["p"]) for e in events
            if e["g"] == group and start <= e["ts"] < end and isinstance(e.get("p"), (int, float))
            and not isinstance(e.get("p"), bool)]


SKETCH_AGGS = [
    {"name": "p50", "op": "quantile", "field": "p", "q": 0.5},
    {"name": "p99", "op": "quantile", "field": "p", "q": 0.99},
    {"name": "a50", "op": "approx_quantile", "field": "p", "q": 0.5, "param": 64},
    {"name": "a90", "op": "approx_quantile", "field": "p", "q": 0.9, "param": 64},
    {"name": "d", "op": "approx_count_distinct", "field": "p", "param": 10},
    {"name": "e", "op": "count_distinct", "field": "p"},
]


def check_sketch_row(r, values):
    arr = np.array(values)
    if len(arr) == 0:
        assert r["p50"] is None and r["a50"] is None and r["d"] == r["e"]
        return
    assert r["p50"] == float(np.quantile(arr, 0.5, method="linear"))
    assert r["p99"] == float(np.quantile(arr, 0.99, method="linear"))
    # Small windows: KLL at k = 64 holds them whole, so the quantile is a value
    # whose rank is within the bound (here exact ranks).
    eps = datasketches.kll_doubles_sketch.get_normalized_rank_error(64, False)
    s = np.sort(arr)
    for name, q in (("a50", 0.5), ("a90", 0.9)):
        lo, hi = rank_interval(s, r[name])
        assert lo - eps <= q <= hi + eps
    # Against the exact count_distinct (of every non-null value, not only numbers).
    assert abs(r["d"] - r["e"]) <= 3 * (1.04 / 2 ** 5) * r["e"]


@pytest.mark.parametrize("seed", range(3))
def test_hopping_windows_merge_their_panes(seed):
    rng = random.Random(seed)
    events = random_events(rng, 2000, t_max=4000)
    rows = run(events, plan_of(SKETCH_AGGS, size_ms=1000, slide_ms=250))
    assert rows
    for r in rows:
        assert r["window_end"] - r["window_start"] == 1000
        check_sketch_row(r, window_values(events, r["window_start"], r["window_end"], r["g"]))


@pytest.mark.parametrize("seed", range(3))
def test_sessions_merge_their_states(seed):
    rng = random.Random(seed)
    events = random_events(rng, 800, t_max=20000)
    rng.shuffle(events)  # late events bridge sessions
    plan = plan_of(SKETCH_AGGS, gap_ms=200, size_ms=None)
    plan["watermark_ms"] = 100000
    rows = run(events, plan)
    assert sum(1 for _ in rows) > 3
    for r in rows:
        check_sketch_row(r, window_values(events, r["window_start"], r["window_end"], r["g"]))


def test_checkpoint_restores_sketches_that_answer_as_the_originals(tmp_path):
    rng = random.Random(5)
    events = random_events(rng, 5000, t_max=3000)
    events += [{"ts": 1, "g": "a", "p": v} for v in np.random.default_rng(1).normal(0, 1, 20000).tolist()]
    plan = plan_of(SKETCH_AGGS + [{"name": "d12", "op": "approx_count_distinct", "field": "p"}])
    plan["watermark_ms"] = 10 ** 9  # nothing closes before the checkpoint

    def open_stream():
        s = new_stream()
        s.emit_columns({k: [e.get(k) for e in events] for k in ("ts", "g", "p")})
        assert wait_for(lambda: s.scan_ready_times("ts")[0] == len(events))
        assert s.next_batch(plan, timeout_ms=0) is None
        return s

    original = open_stream()
    path = tmp_path / "state.ckpt"
    original.save_checkpoint(str(path))
    text = path.read_bytes()
    assert b"aggs_state\t1\t" in text
    restored = new_stream()
    restored.load_checkpoint(str(path))
    restored.save_checkpoint(str(tmp_path / "again.ckpt"))
    assert (tmp_path / "again.ckpt").read_bytes() == text
    assert run([], plan, restored) == run([], plan, original)


def test_a_damaged_sketch_in_a_checkpoint_drops_only_its_window(tmp_path):
    stream = new_stream()
    plan = plan_of([{"name": "a50", "op": "approx_quantile", "field": "p", "q": 0.5}])
    plan["watermark_ms"] = 10 ** 9
    stream.emit_columns({"ts": [1, 1, 1500], "g": ["a", "b", "a"], "p": [1.0, 2.0, 3.0]})
    assert wait_for(lambda: stream.scan_ready_times("ts")[0] == 3)
    assert stream.next_batch(plan, timeout_ms=0) is None
    path = tmp_path / "state.ckpt"
    stream.save_checkpoint(str(path))
    lines = path.read_bytes().split(b"\n")
    slots = [i for i, line in enumerate(lines) if line.startswith(b"slot\t")]
    assert len(slots) == 3
    lines[slots[0]] = lines[slots[0]][:-3]  # a sketch cut short
    path.write_bytes(b"\n".join(lines))
    restored = new_stream()
    restored.load_checkpoint(str(path))
    rows = run([], plan, restored)
    assert len(rows) == 2
