"""CheckpointManager: generations that a restart resumes from, damaged ones
skipped for the previous one, counters that continue."""
import json
import logging
import os
import pathlib
import shutil
import socket

import pytest

import movra
from conftest import wait_for

PLAN = movra.Plan(window="10s", by="g", mean="v", dedup="id")
BASE = 1_700_000_000_000


def feed(stream, ids, start):
    """Emits one event per id and takes its (empty) result."""
    before = stream.stats()["microbatches_emitted"]
    stream.emit_columns({"id": ids, "g": ["A"] * len(ids), "v": [1.0] * len(ids),
                         "timestamp": [start + i for i in range(len(ids))]})
    assert wait_for(lambda: stream.stats()["microbatches_emitted"] > before)
    assert stream.poll(PLAN) is None


def two_generations(path):
    """Generation 1 after ids a, b and generation 2 after c as well."""
    with movra.manual(linger_ms=1) as s, movra.CheckpointManager(s, path, keep=5) as m:
        assert m.restore() is None
        feed(s, ["a", "b"], BASE)
        m.save({"offset": 2})
        feed(s, ["c"], BASE + 2)
        m.save({"offset": 3})
    return [f"{path}.{n:06d}" for n in (1, 2)]


def flip_a_byte(path):
    data = bytearray(pathlib.Path(path).read_bytes())
    data[len(data) // 2] ^= 0x01
    pathlib.Path(path).write_bytes(bytes(data))


@pytest.mark.parametrize("damage, reason", [
    (flip_a_byte, "checksum does not match"),
    (lambda p: os.truncate(p, 20), "checksum does not match"),
    (lambda p: os.unlink(p + ".json"), "no metadata file"),  # a save that died between its two writes
    (lambda p: pathlib.Path(p + ".json").write_text('{"format": "movra-checkpoint", "vers'), "not JSON"),
    (lambda p: shutil.copy(p.replace("000002", "000001"), p), "checksum does not match"),  # a stray pair
])
def test_a_damaged_generation_is_skipped_for_the_previous_one(tmp_path, caplog, damage, reason):
    first, newest = two_generations(tmp_path / "feed.ckpt")
    damage(newest)
    with caplog.at_level(logging.INFO, logger="movra"), movra.manual(linger_ms=1) as s, \
            movra.CheckpointManager(s, tmp_path / "feed.ckpt") as m:
        restored = m.restore()
        assert restored.path == first and restored.user == {"offset": 2}
        assert restored.skipped[0][0] == newest and reason in restored.skipped[0][1]
        assert s.stats()["seen_event_ids"] == 2
        # The counters continue from generation 1: 2 events, 1 save (then 2,
        # as this save is counted), and now 2 loads.
        feed(s, ["b", "c"], BASE + 1)
        totals = m.stats()
        assert (totals["ingested"], totals["duplicate_events"], totals["checkpoint_loads"]) == (4, 1, 1)
        assert m.save().path.endswith(".000003")  # never reuses the damaged sequence
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert any(newest in w and reason in w for w in warnings), warnings
    assert any("fell back past 1 newer generation" in w for w in warnings), warnings


def test_no_sound_generation_is_an_error_and_loads_nothing(tmp_path):
    for path in two_generations(tmp_path / "feed.ckpt"):
        flip_a_byte(path)
    with movra.manual() as s, movra.CheckpointManager(s, tmp_path / "feed.ckpt") as m:
        with pytest.raises(movra.CheckpointError, match="none of the 2 checkpoint generations .* move them away"):
            m.restore()
        assert s.stats()["checkpoint_loads"] == 0


def test_generations_beyond_keep_are_removed_and_the_path_is_locked(tmp_path):
    with movra.manual() as s, movra.CheckpointManager(s, tmp_path / "x.ckpt", every_events=1, keep=2) as m:
        assert not m.due()
        for _ in range(4):
            m.save()
        assert m.sequences() == [3, 4]
        assert sorted(os.listdir(tmp_path)) == ["x.ckpt.000003", "x.ckpt.000003.json", "x.ckpt.000004",
                                                "x.ckpt.000004.json", "x.ckpt.lock"]
        meta = json.loads((tmp_path / "x.ckpt.000004.json").read_text())
        assert meta["sequence"] == 4 and meta["counters"]["checkpoint_saves"] == 4
        s.emit({"v": 1})
        assert m.due()
        with pytest.raises(movra.CheckpointError, match="another process is using"):
            movra.CheckpointManager(movra.manual(), tmp_path / "x.ckpt")


def test_process_returns_once_exactly_the_rows_given_are_in_the_state():
    # 10 rows in chunks of 4: each chunk is cut whole and taken before the next goes in.
    with movra.manual(batch_size=4, linger_ms=20) as s:
        rows = {"g": ["A"] * 10, "v": [float(i) for i in range(10)], "timestamp": list(range(0, 10_000, 1000))}
        out = s.process(rows, movra.Plan(window="2s", by="g", mean="v"))
        assert out["window_start"] == [0, 2000, 4000, 6000] and out["avg_v"] == [0.5, 2.5, 4.5, 6.5]
        counters = s.stats()
        assert (counters["microbatches_emitted"], counters["open_windows"]) == (3, 1)
    with movra.udp() as u, pytest.raises(movra.StateError, match="for a manual stream"):
        u.process({"v": [1]}, movra.Plan())


def test_drops_and_late_data_are_logged_when_they_start(caplog):
    from movra._log import CounterWatch

    watch = CounterWatch("feed")
    with caplog.at_level(logging.INFO, logger="movra"):
        for now, dropped, late in ((0, 0, 0), (1, 5, 2), (2, 9, 3), (8, 9, 3), (9, 9, 4), (70, 9, 6)):
            watch.update({"dropped": dropped, "late_events": late}, now)
    assert [r.getMessage() for r in caplog.records] == [
        "feed: events are being dropped: the pending queue is full (5 so far); take batches more often or raise "
        "the capacity",
        "feed: 2 late events (behind the watermark by more than the allowed lateness) since the start",
        "feed: drops stopped after 9 events were dropped",
        "feed: 4 late events (behind the watermark by more than the allowed lateness) since the last report",
    ]


def test_rejected_datagrams_continue_across_restarts(tmp_path):
    path = tmp_path / "udp.ckpt"
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        for run in (1, 2):
            with movra.udp("127.0.0.1", 0, linger_ms=1) as s, movra.CheckpointManager(s, path) as m:
                m.restore()
                tx.sendto(b'[{"a":1}]', s.address)
                assert wait_for(lambda: s.stats()["rejected_datagrams"] == 1)
                assert m.stats()["rejected_datagrams"] == run
                m.save()
