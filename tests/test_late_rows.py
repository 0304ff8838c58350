"""Late rows kept: the "keep_late" plan key, take_late_rows, Stream.late.

The randomized runs check that every row of a stream with shuffled times,
resent ids and late rows is accounted for: delivered (in a window's count,
or passed through), kept (with the window it missed, as an independent model
of the grid says), counted as a duplicate, or counted over the cap.
"""

import datetime
import os
import random
import tempfile

import pytest

import _movra
import movra
from conftest import make_plan, window_plan

ANCHORED = 1_700_000_000_000  # above 1e12: windows anchored at the first event time
LIMIT = 1_000_000_000_000


def _native():
    return _movra.NativeStream.manual(batch_size=100_000, linger_ms=1, capacity=1_000_000)


def _take_all_late(stream):
    out = stream.take_late_rows()
    assert stream.take_late_rows() is None  # the take empties the queue
    return out


def _rows(columns):
    """A result dict as a list of row dicts (None where a row lacks a column)."""
    if columns is None:
        return []
    names = list(columns)
    return [dict(zip(names, values)) for values in zip(*columns.values())]


# ------------------------------------------------------------------- model

def _window_start(t, width, origin):
    """The start of the window of t, by the engine's grid written out anew:
    truncating division, the absolute grid up to 1e12, else anchored."""
    if t <= LIMIT:
        q = abs(t) // width
        return (q if t >= 0 else -q) * width
    d = t - origin
    rem = abs(d) % width * (1 if d >= 0 else -1)
    return t - rem


class Model:
    """What the engine does with each row of a plan with keep_late, from the
    rules alone: de-duplication, lateness, the origin, the missed window."""

    def __init__(self, width=None, watermark=0, lateness=0, cap=100_000, origin=None, missed=None,
                 gridded=True):
        self.width, self.watermark, self.lateness, self.cap = width, watermark, lateness, cap
        self.gridded = gridded  # False for sessions: no grid, no origin
        # missed(t, origin) -> (start, end) or None: the window a late row
        # missed; by default the tumbling window of `width`.
        self.missed = missed or (None if width is None else
                                 lambda t, o: (lambda s: (s, s + width))(_window_start(t, width, o)))
        self.max_time = None
        self.origin = origin
        self.seen = set()
        self.duplicates = self.late = self.over_cap = 0
        self.queued = []  # (id, window_start, window_end) waiting to be taken
        self.delivered = []  # ids that reached a window or the output

    def feed(self, rows):
        for row in rows:
            rid, t = row["id"], row["timestamp"]
            if rid in self.seen:
                self.duplicates += 1
                continue
            self.seen.add(rid)
            self.max_time = t if self.max_time is None else max(self.max_time, t)
            wm = self.max_time - self.watermark
            if wm >= -(2**62 - 1) and t + self.lateness < wm:
                self.late += 1
                if len(self.queued) >= self.cap:
                    self.over_cap += 1
                    continue
                window = (None, None)
                if self.missed is not None and (not self.gridded or t <= LIMIT or self.origin is not None):
                    window = self.missed(t, self.origin)
                self.queued.append((rid, *window))
                continue
            if self.missed is not None and self.gridded and t > LIMIT and self.origin is None:
                self.origin = t
            self.delivered.append(rid)

    def take(self):
        out, self.queued = self.queued, []
        return out


def _events(rng, n, base):
    """n events in roughly rising time with local shuffles, far stragglers
    and resent ids."""
    times = sorted(base + rng.randrange(0, 60_000) for _ in range(n))
    for i in range(n):  # shuffle within a small neighbourhood
        j = min(n - 1, i + rng.randrange(0, 8))
        times[i], times[j] = times[j], times[i]
    for _ in range(n // 20):  # stragglers from far back, some before the origin
        times[rng.randrange(n)] = base + rng.randrange(-20_000, 30_000)
    events = []
    for i, t in enumerate(times):
        rid = f"e{i}"
        if i and rng.random() < 0.08:
            rid = events[rng.randrange(len(events))]["id"]  # resent
        events.append({"id": rid, "timestamp": t, "v": float(rng.randrange(100))})
    return events


def _columns(events):
    return {k: [e[k] for e in events] for k in ("id", "timestamp", "v")}


# ------------------------------------------------------- randomized accounting

def _setting(seed):
    """A random stream and plan settings for one seed."""
    rng = random.Random(seed)
    return rng, {
        "windowed": seed % 3 != 0,
        "base": ANCHORED if seed % 2 else 40_000,
        "width_s": rng.choice([1, 2, 5]),
        "watermark": rng.choice([0, 200, 1000]),
        "lateness": rng.choice([0, 100, 500]),
    }


def _chunks(rng, n):
    cuts = sorted(rng.sample(range(1, n), 4))
    return list(zip([0, *cuts], [*cuts, n]))


def _delivered(out, windowed):
    if not out:
        return 0
    return sum(out["count"]) if windowed else len(out["id"])


def _missed(row):
    return row["id"], row.get("window_start"), row.get("window_end")


def _check_kept(got, model, events, windowed):
    """The kept rows are the late rows the model queued, in order, with the
    windows it computed, and otherwise as they were emitted."""
    rows = _rows(got)
    assert [_missed(r) for r in rows] == model.take()
    emitted = {(e["id"], e["timestamp"]): e for e in events}
    for row in rows:
        assert set(row) == ({"id", "timestamp", "v", "window_start", "window_end"} if windowed
                            else {"id", "timestamp", "v"})
        assert row["v"] == emitted[row["id"], row["timestamp"]]["v"]
    return len(rows)


@pytest.mark.parametrize("seed", range(16))
def test_every_row_of_a_shuffled_stream_is_accounted_for(seed):
    rng, c = _setting(seed)
    cap = rng.choice([0, 3, 25, 100_000])
    events = _events(rng, rng.randrange(200, 600), c["base"])
    plan = window_plan(seconds=c["width_s"], field="v") if c["windowed"] else make_plan()
    plan.update(event_id_field="id", watermark_ms=c["watermark"], allowed_lateness_ms=c["lateness"],
                keep_late=True, max_late_rows=cap)
    model = Model(c["width_s"] * 1000 if c["windowed"] else None, c["watermark"], c["lateness"], cap)
    stream = _native()
    delivered = kept = 0
    for lo, hi in _chunks(rng, len(events)):
        # One synchronous run per chunk (it flushes the windows each time,
        # which changes what comes out when, not what is counted).
        delivered += _delivered(stream.aggregate_columns(_columns(events[lo:hi]), plan), c["windowed"])
        model.feed(events[lo:hi])
        if rng.random() < 0.5:  # a take between chunks makes room again
            kept += _check_kept(_take_all_late(stream), model, events, c["windowed"])
    kept += _check_kept(_take_all_late(stream), model, events, c["windowed"])

    st = stream.stats()
    assert (st["duplicate_events"], st["late_events"], st["late_rows_over_cap"]) == (
        model.duplicates, model.late, model.over_cap)
    assert delivered == len(model.delivered)
    # None lost: each row is delivered, kept, a duplicate, or over the cap.
    assert delivered + kept + st["duplicate_events"] + st["late_rows_over_cap"] == len(events)
    assert model.late > 0 and model.duplicates > 0  # the stream did have both


@pytest.mark.parametrize("seed", range(4))
def test_stream_late_accounts_for_every_row_of_a_live_stream(seed):
    rng, c = _setting(seed)
    events = _events(rng, 400, c["base"])
    plan = movra.Plan(window=f"{c['width_s']}s", mean="v", dedup="id", watermark=c["watermark"],
                      lateness=c["lateness"], keep_late=True) if c["windowed"] else \
        movra.Plan(dedup="id", watermark=c["watermark"], lateness=c["lateness"], keep_late=True)
    # The package's streams align windows to the epoch: the origin is 0.
    model = Model(c["width_s"] * 1000 if c["windowed"] else None, c["watermark"], c["lateness"], origin=0)
    delivered = kept = 0
    with movra.manual(batch_size=64) as stream:
        for lo, hi in _chunks(rng, len(events)):
            delivered += _delivered(stream.process(_columns(events[lo:hi]), plan), c["windowed"])
            model.feed(events[lo:hi])
            kept += _check_kept(stream.late(), model, events, c["windowed"])
        stream.close()
        delivered += sum(_delivered(b, c["windowed"]) for b in stream.batches(plan))
        assert stream.late() is None
        st = stream.stats()
    assert (st["duplicate_events"], st["late_events"], st["late_rows_over_cap"]) == (
        model.duplicates, model.late, 0)
    assert delivered + kept + st["duplicate_events"] == len(events)


# ------------------------------------------------------------ aggregate plans

def _hopping_missed(size, slide):
    """The earliest window [s, s + size) over t's pane: the windows that
    hold the pane start at its start and at each slide before, size/slide
    of them in all."""
    def missed(t, origin):
        pane = _window_start(t, slide, origin)
        start = min(pane - k * slide for k in range(size // slide))
        return start, start + size
    return missed


AGG_KINDS = {
    # kind: (window keys, windows each delivered row is counted in, model)
    "tumbling": ({"size_ms": 1500}, 1,
                 lambda: lambda t, o: (lambda s: (s, s + 1500))(_window_start(t, 1500, o))),
    "hopping": ({"size_ms": 2000, "slide_ms": 500}, 4, lambda: _hopping_missed(2000, 500)),
    "session": ({"gap_ms": 700}, 1, lambda: lambda t, o: (t, t + 700)),
}


def _aggs_plan(window, **keys):
    return make_plan(window={"by": ["g"], "time_field": "timestamp", **window},
                     aggs=[{"name": "n", "op": "count", "field": None},
                           {"name": "total", "op": "sum", "field": "v"}], **keys)


@pytest.mark.parametrize("kind", list(AGG_KINDS))
@pytest.mark.parametrize("seed", range(6))
def test_every_row_of_an_aggregate_plan_is_accounted_for(kind, seed):
    """Delivered (the windows' counts, once per window a row is in), kept
    with the window the model gives, duplicate or over the cap: each row
    emitted is exactly one of them."""
    rng, c = _setting(seed)
    window, copies, missed = AGG_KINDS[kind]
    cap = rng.choice([0, 7, 100_000])
    events = _events(rng, rng.randrange(200, 600), c["base"])
    for e in events:
        e["g"] = rng.choice("xy")
    plan = _aggs_plan(window, event_id_field="id", watermark_ms=c["watermark"],
                      allowed_lateness_ms=c["lateness"], keep_late=True, max_late_rows=cap)
    model = Model(None, c["watermark"], c["lateness"], cap, missed=missed(), gridded=kind != "session")
    stream = _native()
    counted = kept = 0
    emitted = {(e["id"], e["timestamp"]): e for e in events}
    for lo, hi in _chunks(rng, len(events)):
        chunk = events[lo:hi]
        out = stream.aggregate_columns({k: [e[k] for e in chunk] for k in ("id", "timestamp", "v", "g")},
                                       plan)
        counted += sum(out["n"]) if out else 0
        model.feed(chunk)
        late = _rows(_take_all_late(stream))
        assert [_missed(r) for r in late] == model.take()
        for row in late:  # the kept row is the emitted one, plus its window
            assert {k: row[k] for k in ("v", "g")} == {k: emitted[row["id"], row["timestamp"]][k]
                                                       for k in ("v", "g")}
        kept += len(late)

    st = stream.stats()
    assert (st["duplicate_events"], st["late_events"], st["late_rows_over_cap"]) == (
        model.duplicates, model.late, model.over_cap)
    assert counted % copies == 0 and counted // copies == len(model.delivered)
    assert counted // copies + kept + st["duplicate_events"] + st["late_rows_over_cap"] == len(events)
    assert model.late > 0 and st["open_windows"] == 0


A = ANCHORED


@pytest.mark.parametrize("window, before, times, want", [
    # A plain plan's row moves the watermark on without fixing the origin:
    # the late row ahead of the first on-time one misses a window nobody
    # knows; the on-time row at A + 4200 fixes the origin in that batch, and
    # the late row after it misses a window on that grid.
    ({"size_ms": 1000}, A + 5000, [A, A + 4200, A + 9000, A + 5500],
     [(None, None), (A + 5200, A + 6200)]),
    ({"size_ms": 1000, "slide_ms": 250}, A + 5000, [A, A + 4200, A + 9000, A + 5500],
     [(None, None), (A + 4700, A + 5700)]),
    ({"gap_ms": 300}, A + 5000, [A, A + 4200, A + 9000, A + 5500],
     [(A, A + 300), (A + 5500, A + 5800)]),
    # Below 1e12 the grid is absolute: the earliest hopping window of 5300
    # is [4500, 5500), over its pane [5250, 5500).
    ({"size_ms": 1000, "slide_ms": 250}, None, [9000, 5000, 5300], [(4250, 5250), (4500, 5500)]),
])
def test_a_late_row_of_an_aggregate_plan_keeps_the_window_it_missed(window, before, times, want):
    """Through next_batch, as a live stream takes its results."""
    stream = _native()
    if before is not None:
        stream.emit_columns({"timestamp": [before]})
        assert stream.next_batch(make_plan(), 5000) == {"timestamp": [before]}
    stream.emit_columns({"timestamp": times, "g": ["a"] * len(times)})
    stream.close()
    plan = _aggs_plan(window, watermark_ms=1000, keep_late=True)
    results = list(iter(lambda: stream.next_batch(plan, 5000), None))
    copies = window["size_ms"] // window["slide_ms"] if "slide_ms" in window else 1
    assert sum(sum(r["n"]) for r in results) == (len(times) - 2) * copies
    assert [(r["window_start"], r["window_end"]) for r in _rows(stream.take_late_rows())] == want
    st = stream.stats()
    assert (st["late_events"], st["late_rows_over_cap"], st["open_windows"]) == (2, 0, 0)


# ------------------------------------------------------------- the plain plan

@pytest.mark.parametrize("windowed", [False, True])
def test_keep_late_changes_nothing_but_where_late_rows_go(windowed):
    """Absent, None, False and True give the same results, counters and
    checkpoint bytes; only True keeps rows to take."""
    rng = random.Random(7)
    events = _events(rng, 300, ANCHORED)
    base = window_plan(seconds=2) if windowed else make_plan()
    base.update(event_id_field="id", watermark_ms=300)
    runs = []
    for keep in ("absent", None, False, True):
        plan = dict(base) if keep == "absent" else {**base, "keep_late": keep}
        stream = _native()
        results = [stream.aggregate_columns(_columns(events[i:i + 50]), plan) for i in range(0, 300, 50)]
        late = stream.take_late_rows()
        assert (late is not None) == (keep is True)
        runs.append((results, stream.stats(), _checkpoint_bytes(stream)))
    assert all(run == runs[0] for run in runs)
    assert runs[0][1]["late_events"] == len(late["id"]) and runs[0][1]["late_rows_over_cap"] == 0


def _checkpoint_bytes(stream):
    fd, path = tempfile.mkstemp(suffix=".ckpt")
    os.close(fd)
    try:
        stream.save_checkpoint(path)
        with open(path, "rb") as f:
            return f.read()
    finally:
        os.unlink(path)


def test_drop_late_false_keeps_nothing():
    stream = _native()
    out = stream.aggregate_columns({"timestamp": [100, 10]}, make_plan(drop_late=False, keep_late=True))
    assert out["timestamp"] == [100, 10]
    assert stream.take_late_rows() is None
    assert stream.stats()["late_events"] == 1


@pytest.mark.parametrize("key, value, error, text", [
    ("max_late_rows", -1, ValueError, "max_late_rows must be 0 or more, got -1"),
    ("max_late_rows", 1.5, RuntimeError, "Unable to cast Python instance of type"),
    ("keep_late", "yes", RuntimeError, "Unable to cast Python instance of type"),
])
def test_bad_late_keys_raise_before_anything_is_taken(key, value, error, text):
    stream = _native()
    stream.emit_json({"timestamp": 5})
    with pytest.raises(error, match=text):
        stream.next_batch(make_plan(**{key: value}), 2000)
    stream.close()
    assert stream.next_batch(make_plan(), 0) == {"timestamp": [5]}


def test_kept_rows_stay_through_a_checkpoint_load(tmp_path):
    stream = _native()
    stream.aggregate_columns({"timestamp": [100, 10]}, make_plan(keep_late=True))
    path = str(tmp_path / "c.ckpt")
    stream.save_checkpoint(path)
    stream.load_checkpoint(path)
    assert stream.take_late_rows() == {"timestamp": [10]}


# --------------------------------------------------------------- the package

def test_plan_keep_late_round_trips_and_old_dicts_stay_the_same():
    plain = movra.Plan(window="1s", mean="v")
    assert "keep_late" not in plain.to_dict()
    kept = plain.replace(keep_late=True)
    assert kept.to_dict() == {**plain.to_dict(), "keep_late": True}
    assert movra.Plan.from_dict(kept.to_dict()) == kept
    assert movra.Plan.from_dict({**plain.to_dict(), "keep_late": None}) == plain
    assert repr(kept) == "Plan(window='1s', mean='v', alias='avg_v', keep_late=True)"
    with pytest.raises(TypeError, match="keep_late must be True or False, got 1"):
        movra.Plan(keep_late=1)


def test_stream_late_without_a_known_origin_and_as_frames():
    """A row late before any windowed plan fixed the origin misses a window
    nobody knows: None in every output form."""
    pytest.importorskip("pyarrow")
    with movra.manual(epoch_windows=False) as stream:
        stream.process({"id": ["a"], "timestamp": [ANCHORED + 100_000]}, movra.Plan())
        plan = movra.Plan(window="60s", mean="v", keep_late=True)
        stream.process({"id": ["b", "c"], "timestamp": [ANCHORED, 5000], "v": [1.0, 2.0]}, plan)
        first = stream.late(datetimes=True)
        assert first["id"] == ["b", "c"] and first["window_start"][0] is None
        assert first["window_end"][1].timestamp() == 60
        assert first["window_start"][1] == first["window_end"][1] - datetime.timedelta(minutes=1)
        late_pair = {"id": ["d", "e"], "timestamp": [ANCHORED, 6000], "v": [3.0, 4.0]}
        stream.process(late_pair, plan)
        frame = stream.late(output="pandas", datetimes=True)
        assert frame["window_start"].isna().tolist() == [True, False]
        stream.process({**late_pair, "id": ["f", "g"]}, plan)
        table = stream.late(output="arrow")
        assert table.column("window_start").to_pylist() == [None, 0]
        stream.process({"id": ["h"], "timestamp": [ANCHORED], "v": [3.0]}, plan)
        assert stream.late() == {"id": ["h"], "timestamp": [ANCHORED], "v": [3.0]}
        assert stream.late() is None
        assert stream.stats()["late_rows_over_cap"] == 0


def test_one_shot_aggregate_refuses_keep_late():
    """movra.aggregate's stream is gone when it returns: rows kept there
    could never be taken."""
    with pytest.raises(movra.PlanError, match="keep_late=True keeps late rows for Stream.late"):
        movra.aggregate({"timestamp": [100, 10]}, movra.Plan(keep_late=True))
