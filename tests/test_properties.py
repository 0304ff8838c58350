"""Property-based tests: arbitrary plans and data never crash, never lose a
row, and the window engine agrees with a small model of its rules."""
import os

from hypothesis import HealthCheck, given, settings, strategies as st

import _movra
from conftest import make_plan, window_plan

NativeStream = _movra.NativeStream
SETTINGS = settings(max_examples=60 if os.environ.get("MOVRA_SANITIZED") else 200, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])
CAST = "Unable to cast Python instance of type"

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**64), 2**64), st.floats(allow_nan=True),
    st.text(max_size=5), st.binary(max_size=3), st.lists(st.integers(), max_size=2),
)
names = st.sampled_from(["a", "b", "g", "v", "id", "timestamp", "t", "", "é"])
plan_values = {
    "filters": st.one_of(st.none(), st.integers(), st.lists(st.one_of(
        st.fixed_dictionaries({"field": names, "op": st.sampled_from(["==", "!=", "<", ">", "<=", ">=", "=", ""]),
                               "value": scalars}),
        st.dictionaries(st.sampled_from(["field", "op", "value"]), scalars, max_size=3),
        scalars), max_size=3)),
    "select": st.one_of(st.none(), st.text(max_size=3), st.lists(st.one_of(names, scalars), max_size=3)),
    "window": st.one_of(st.none(), st.integers(), st.fixed_dictionaries(
        {"seconds": st.one_of(st.integers(-(2**63), 2**63 - 1), scalars), "by": st.one_of(st.none(), names, scalars),
         "time_field": st.one_of(names, scalars)})),
    "mean": st.one_of(st.none(), st.fixed_dictionaries({"field": names, "alias": st.one_of(names, scalars)}),
                      st.dictionaries(st.sampled_from(["field", "alias"]), names)),
    "watermark_ms": st.one_of(st.none(), st.integers(-(2**64), 2**64), scalars),
    "allowed_lateness_ms": st.one_of(st.none(), st.integers(-(2**64), 2**64), scalars),
    "event_id_field": st.one_of(st.none(), names, scalars),
    "drop_late": st.one_of(st.none(), st.booleans(), scalars),
}
plans = st.fixed_dictionaries({}, optional=plan_values)


@SETTINGS
@given(plan=plans, data=st.lists(st.tuples(scalars, st.integers(-(2**63), 2**63 - 1), scalars), max_size=8))
def test_arbitrary_plans_work_or_raise_the_documented_errors(plan, data):
    s = NativeStream.manual(100, 1, 1000)
    cols = {"g": [d[0] for d in data], "timestamp": [d[1] for d in data], "v": [d[2] for d in data],
            "id": [d[0] for d in data], "a": [d[2] for d in data]}
    try:
        out = s.aggregate_columns(cols, plan)
        assert isinstance(out, dict)
        assert len({len(v) for v in out.values()}) <= 1
    except KeyError:
        pass
    except TypeError:
        pass
    except ValueError:
        pass
    except RuntimeError as e:
        assert str(e).startswith(CAST), e
    finally:
        s.close()


events = st.lists(
    st.fixed_dictionaries({
        "timestamp": st.one_of(st.integers(0, 60000), st.floats(0, 60000), st.none(), st.integers(10**12, 10**12 + 60000)),
        "v": st.one_of(st.integers(-100, 100), st.floats(-100, 100)),
        "g": st.sampled_from(["x", "y", 1, "1", None]),
        "id": st.one_of(st.none(), st.integers(0, 20)),
    }),
    max_size=40,
)


@SETTINGS
@given(rows=events, windowed=st.booleans(), watermark=st.integers(-5000, 5000), lateness=st.integers(-100, 3000),
       drop_late=st.booleans(), dedup=st.booleans(), capacity=st.integers(1, 60))
def test_no_row_is_lost(rows, windowed, watermark, lateness, drop_late, dedup, capacity):
    """Every offered row is delivered or folded into a window, or counted as
    dropped, duplicate or late."""
    extra = dict(watermark_ms=watermark, allowed_lateness_ms=lateness, drop_late=drop_late,
                 event_id_field="id" if dedup else None)
    plan = window_plan(seconds=5, by="g", **extra) if windowed else make_plan(**extra)
    s = NativeStream.manual(7, 100000, capacity)
    half = len(rows) // 2
    for r in rows[:half]:
        s.emit_json(r)
    if rows[half:]:
        s.emit_columns({k: [r[k] for r in rows[half:]] for k in rows[0]})
    s.close()
    outputs = []
    while (out := s.next_batch(plan, timeout_ms=0)) is not None:
        outputs.append(out)
    stats = s.stats()
    kept = len(rows) - stats["dropped"]
    assert stats["ingested"] == len(rows)
    assert stats["dropped"] == max(0, len(rows) - capacity)
    assert stats["microbatches_emitted"] == -(-kept // 7)
    removed = stats["duplicate_events"] + (stats["late_events"] if drop_late else 0)
    if windowed:
        assert sum(sum(o["count"]) for o in outputs) + removed == kept
        assert stats["open_windows"] == 0
    else:
        assert sum(len(o["timestamp"]) for o in outputs) + removed == kept
    assert stats["output_rows"] == sum(len(o["timestamp"] if "timestamp" in o else o["count"]) for o in outputs)


def model_windows(rows, seconds, watermark, lateness):
    """The window rules for integer times at or below 10**12 and numeric values."""
    w = seconds * 1000
    lateness = max(lateness, 0)
    max_t = None
    windows = {}
    out = []

    def key_of(start, group):
        return f"{start}|{group}"

    for t, g, v in rows:
        max_t = t if max_t is None else max(max_t, t)
        if t + lateness < max_t - watermark:
            continue
        start = int(t / w) * w if t >= 0 else -((-t) // w) * w
        k = key_of(start, g)
        s, c, _, _ = windows.get(k, (0.0, 0, 0, ""))
        windows[k] = (s + v, c + 1, start, g)
    threshold = max_t - watermark - lateness if max_t is not None else None
    for k in sorted(windows, key=lambda x: x.encode()):
        s, c, start, g = windows[k]
        if threshold is not None and start + w <= threshold:
            out.append((start, g, s / c, c))
            del windows[k]
    for k in sorted(windows, key=lambda x: x.encode()):
        s, c, start, g = windows[k]
        out.append((start, g, s / c, c))
    return out


@SETTINGS
@given(rows=st.lists(st.tuples(st.integers(-30000, 60000), st.sampled_from(["a", "b", "ab", ""]),
                                st.integers(-1000, 1000)), max_size=50),
       seconds=st.integers(1, 20), watermark=st.integers(-3000, 3000), lateness=st.integers(-10, 5000))
def test_window_engine_matches_the_model(rows, seconds, watermark, lateness):
    s = NativeStream.manual(10, 1, 10)
    cols = {"timestamp": [r[0] for r in rows], "g": [r[1] for r in rows], "v": [float(r[2]) for r in rows]}
    out = s.aggregate_columns(cols, window_plan(seconds=seconds, by="g", watermark_ms=watermark,
                                                allowed_lateness_ms=lateness))
    s.close()
    got = list(zip(out.get("window_start", []), out.get("g", []), out.get("avg", []), out.get("count", [])))
    assert got == model_windows(rows, seconds, watermark, lateness)
