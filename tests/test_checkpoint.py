"""Saving and restoring the event-time state."""
import os
import stat
import subprocess
import sys

import pytest

import _movra
from conftest import make_plan, wait_for, window_plan

NativeStream = _movra.NativeStream
NEW_STATE = "max_event_time\t-9223372036854775808\nwindow_origin\t-9223372036854775808\nseen_event_ids\t0\nwindow_state\t0\n"


@pytest.fixture
def s():
    stream = NativeStream.manual(1000, 1, 100000)
    yield stream
    stream.close()


def feed(stream, columns, plan):
    """Runs columns through next_batch on an open stream, so windows stay open."""
    before = stream.stats()["microbatches_emitted"]
    stream.emit_columns(columns)
    assert wait_for(lambda: stream.stats()["microbatches_emitted"] > before)
    return stream.next_batch(plan, timeout_ms=0)


def load_text(stream, tmp_path, text):
    path = tmp_path / "in.ckpt"
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    stream.load_checkpoint(str(path))


def save_text(stream, tmp_path):
    path = tmp_path / "out.ckpt"
    stream.save_checkpoint(str(path))
    return path.read_text()


def test_new_stream_saves_four_lines(s, tmp_path):
    assert save_text(s, tmp_path) == NEW_STATE
    assert s.stats()["checkpoint_saves"] == 1


def test_ids_and_windows_are_written_in_byte_order(s, tmp_path):
    s.aggregate_columns({"id": ["b", "c", "a"], "timestamp": [1, 2, 3]}, make_plan(event_id_field="id"))
    plan = window_plan(seconds=60, by="g", watermark_ms=10**9)
    feed(s, {"timestamp": [60000, 70000], "v": [300.0, 1.25], "g": ["x", "x"]}, plan)
    text = save_text(s, tmp_path)
    assert text == (
        "max_event_time\t70000\nwindow_origin\t-9223372036854775808\nseen_event_ids\t3\na\nb\nc\n"
        "window_state\t1\n60000|x\t301.25\t2\t60000\t120000\tx\n"
    )


def test_sums_are_written_exactly(s, tmp_path):
    feed(s, {"timestamp": [0, 1], "v": [1234567.891, 123456789.0]}, window_plan(watermark_ms=10**9))
    text = save_text(s, tmp_path)
    assert "\t124691356.891\t" in text  # six digits would have written 1.24691e+08
    fresh = NativeStream.manual(1, 1, 1)
    fresh.load_checkpoint(str(tmp_path / "out.ckpt"))
    assert save_text(fresh, tmp_path) == text
    fresh.close()


def test_six_digit_sums_still_load(s, tmp_path):
    load_text(s, tmp_path, "a\t0\nb\t1\nc\t0\nd\t1\n0|\t1.23457e+06\t1\t0\t10000\t\n")
    out = s.aggregate_columns({}, window_plan())
    assert out["avg"] == [1234570.0]


def test_save_and_load_into_a_new_stream(s, tmp_path):
    s.aggregate_columns({"id": ["a", "b"], "timestamp": [1000, 2000], "v": [1.0, 2.0]}, make_plan(event_id_field="id"))
    feed(s, {"timestamp": [3000, 15000], "v": [5.0, 7.0]}, window_plan(watermark_ms=100000))
    path = tmp_path / "state.ckpt"
    s.save_checkpoint(str(path))
    fresh = NativeStream.manual(1000, 1, 1000)
    fresh.load_checkpoint(str(path))
    old, new = s.stats(), fresh.stats()
    assert (new["open_windows"], new["seen_event_ids"]) == (old["open_windows"], old["seen_event_ids"]) == (2, 2)
    assert {k: v for k, v in new.items() if k not in ("open_windows", "seen_event_ids")} == {
        k: (1 if k == "checkpoint_loads" else 0) for k in new if k not in ("open_windows", "seen_event_ids")}
    fresh.close()


def test_restored_stream_continues_where_the_saved_one_stopped(tmp_path):
    plan = window_plan(seconds=10, by="g", event_id_field="id", watermark_ms=1000)
    events = {"id": [f"e{i}" for i in range(8)], "timestamp": [1000, 4000, 9000, 12000, 1500, 15000, 21000, 25000],
              "g": list("abababab"), "v": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0]}
    first = {k: v[:4] for k, v in events.items()}
    second = {k: v[4:] for k, v in events.items()}
    second["id"][1] = "e1"  # a duplicate of an id seen before the save

    def run(stream, cols):
        stream.emit_columns(cols)
        stream.close()
        return stream.next_batch(plan, timeout_ms=0)

    reference = NativeStream.manual(1000, 100000, 1000)
    reference.emit_columns(first)
    expected = run(reference, second)

    saved = NativeStream.manual(1000, 100000, 1000)
    saved.emit_columns(first)
    saved.close()
    first_out = saved.next_batch(plan, timeout_ms=0)
    saved.save_checkpoint(str(tmp_path / "c"))
    restored = NativeStream.manual(1000, 100000, 1000)
    restored.load_checkpoint(str(tmp_path / "c"))
    got = run(restored, second)
    merged = {k: (first_out or {}).get(k, []) + got[k] for k in got}
    assert merged == expected
    assert restored.stats()["duplicate_events"] == reference.stats()["duplicate_events"] == 1
    assert restored.stats()["late_events"] == reference.stats()["late_events"]


@pytest.mark.parametrize(
    "text, windows, ids",
    [
        ("other_label\t5\n", 0, 0),
        ("max_event_time\t5\n", 0, 0),
        ("a 1\nb 2\nc 3\nonly-one\n", 0, 1),
        ("a 1\nb 2\nc 0\nd 2\nk\t1\t1\t0\t10\tg\nk\t2\t1\t0\t10\th\n", 1, 0),
        ("a x\nb 2\nc 1\nid\n", 0, 0),
        ("", 0, 0),
    ],
)
def test_reader_rules(s, tmp_path, text, windows, ids):
    s.aggregate_columns({"id": ["old"], "timestamp": [1]}, make_plan(event_id_field="id"))
    load_text(s, tmp_path, text)
    st = s.stats()
    assert (st["open_windows"], st["seen_event_ids"], st["checkpoint_loads"]) == (windows, ids, 1)


def test_loaded_event_time_and_repeated_key(s, tmp_path):
    load_text(s, tmp_path, "other_label\t5000\n")
    assert s.aggregate_columns({"timestamp": [1000, 6000]}, make_plan()) == {"timestamp": [6000]}
    load_text(s, tmp_path, "a 0\nb 0\nc 0\nd 2\nk\t1\t1\t0\t10\tg\nk\t9\t3\t0\t10\th\n")
    out = s.aggregate_columns({}, window_plan(by="g"))
    assert out == {"avg": [3.0], "count": [3], "g": ["h"], "window_end": [10], "window_start": [0]}


def test_missing_file_changes_nothing(s, tmp_path):
    s.aggregate_columns({"id": ["a"], "timestamp": [1]}, make_plan(event_id_field="id"))
    before = s.stats()
    with pytest.raises(RuntimeError, match="^read checkpoint failed$"):
        s.load_checkpoint(str(tmp_path / "nope"))
    with pytest.raises(RuntimeError, match="^read checkpoint failed$"):
        s.load_checkpoint(str(tmp_path))
    assert s.stats() == before


def test_save_into_missing_directory_fails_cleanly(s, tmp_path):
    with pytest.raises(RuntimeError, match="^write checkpoint failed$"):
        s.save_checkpoint(str(tmp_path / "missing" / "c"))
    assert s.stats()["checkpoint_saves"] == 0


def test_write_error_midway_leaves_the_old_checkpoint_intact(tmp_path):
    # A file-size limit makes a write fail after the file was opened, as a
    # full disk would; the old checkpoint must survive byte for byte.
    code = """
import os, resource, signal, sys
import _movra
sys.path.insert(0, sys.argv[2])
from conftest import make_plan
path = sys.argv[1]
s = _movra.NativeStream.manual(10, 1, 10)
s.aggregate_columns({"id": [f"event-{i}" for i in range(2000)], "timestamp": [1] * 2000}, make_plan(event_id_field="id"))
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
try:
    s.save_checkpoint(path)
except RuntimeError as e:
    print(e, s.stats()["checkpoint_saves"])
"""
    path = tmp_path / "c"
    path.write_text("precious\n")
    out = subprocess.run([sys.executable, "-c", code, str(path), os.path.dirname(__file__)],
                         capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "write checkpoint failed 0", out.stderr
    assert path.read_text() == "precious\n"
    assert os.listdir(tmp_path) == ["c"]


def test_failed_save_on_a_full_device_leaves_the_old_checkpoint_intact(s, tmp_path):
    # /dev/full fails every write: the save must fail without touching the
    # target.  A directory target makes the final rename fail as well.
    s.aggregate_columns({"id": ["a"], "timestamp": [1]}, make_plan(event_id_field="id"))
    target = tmp_path / "c"
    target.mkdir()
    (target / "inside").write_text("precious")
    with pytest.raises(RuntimeError, match="^write checkpoint failed$"):
        s.save_checkpoint(str(target))
    assert (target / "inside").read_text() == "precious"
    assert sorted(os.listdir(tmp_path)) == ["c"]
    assert s.stats()["checkpoint_saves"] == 0


@pytest.mark.parametrize(
    "columns, plan",
    [
        ({"id": ["line\nfeed"], "timestamp": [1]}, make_plan(event_id_field="id")),
        ({"g": ["tab\there"], "timestamp": [1], "v": [1.0]}, window_plan(by="g", watermark_ms=10**6)),
        ({"g": ["line\nfeed"], "timestamp": [1], "v": [1.0]}, window_plan(by="g", watermark_ms=10**6)),
    ],
)
def test_unreadable_states_are_refused(tmp_path, columns, plan):
    s = NativeStream.manual(1000, 1, 1000)
    feed(s, columns, plan)
    assert s.stats()["open_windows"] + s.stats()["seen_event_ids"] == 1
    path = tmp_path / "c"
    path.write_text("old\n")
    with pytest.raises(RuntimeError, match="^write checkpoint failed$"):
        s.save_checkpoint(str(path))
    assert path.read_text() == "old\n"
    assert os.listdir(tmp_path) == ["c"]
    s.close()


def test_save_does_not_depend_on_the_locale(s, tmp_path):
    import locale
    feed(s, {"timestamp": [0], "v": [0.5]}, window_plan(watermark_ms=10**6))
    old = locale.setlocale(locale.LC_ALL)
    for name in ("de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"):
        try:
            locale.setlocale(locale.LC_ALL, name)
            break
        except locale.Error:
            continue
    try:
        assert "\t0.5\t" in save_text(s, tmp_path)
    finally:
        locale.setlocale(locale.LC_ALL, old)


WINDOW_LINE = "max_event_time\t500\nwindow_origin\t0\nseen_event_ids\t0\nwindow_state\t1\n"


@pytest.mark.parametrize(
    "window",
    [b"0|AC\xffE\t10\t1\t0\t1000\tAC\xffE\n", b"0|ACE\t10\t1\t0\t1000\tAC\xffE\n", b"0|\xc0\xaf\t10\t1\t0\t1000\tok\n"],
    ids=["key-and-group", "group", "key"],
)
def test_windows_that_are_not_utf8_are_refused_at_load(tmp_path, window):
    # Loaded, such a window would fail the later call that closes it, and
    # take the live windows closed with it down too.
    s = NativeStream.manual(1000, 1, 1000)
    plan = window_plan(seconds=1, by="g", time_field="t")
    feed(s, {"g": ["A", "B"], "t": [600, 700], "v": [1.0, 2.0]}, plan)
    before = s.stats()
    with pytest.raises(RuntimeError, match="^read checkpoint failed$"):
        load_text(s, tmp_path, WINDOW_LINE.encode() + window)
    assert s.stats() == before
    s.close()
    assert s.next_batch(plan, timeout_ms=0)["g"] == ["A", "B"]


def test_paths_holding_a_nul_are_refused(s, tmp_path):
    path = tmp_path / "c"
    for call in (s.save_checkpoint, s.load_checkpoint):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call(f"{path}\0.bak")
    assert os.listdir(tmp_path) == []
    assert s.stats()["checkpoint_saves"] == s.stats()["checkpoint_loads"] == 0


@pytest.mark.parametrize("length", [240, 250, 255])
def test_names_up_to_the_file_system_limit(s, tmp_path, length):
    path = tmp_path / ("c" * length)
    s.save_checkpoint(str(path))
    s.load_checkpoint(str(path))
    assert path.read_text() == NEW_STATE
    assert os.listdir(tmp_path) == [path.name]


@pytest.mark.parametrize("relative", [True, False])
@pytest.mark.parametrize("target_exists", [True, False])
def test_saving_through_a_symlink_replaces_its_target(s, tmp_path, relative, target_exists):
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / "c"
    if target_exists:
        target.write_text("old\n")
    link = tmp_path / "link"
    link.symlink_to(os.path.join("real", "c") if relative else target)
    s.save_checkpoint(str(link))
    assert link.is_symlink() and target.read_text() == NEW_STATE
    assert os.listdir(tmp_path / "real") == ["c"]


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604], ids=oct)
def test_a_replaced_checkpoint_keeps_its_permission_bits(s, tmp_path, mode):
    path = tmp_path / "c"
    path.write_text("old\n")
    path.chmod(mode)
    s.save_checkpoint(str(path))
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert path.read_text() == NEW_STATE


def special_file(tmp_path, kind):
    path = tmp_path / kind
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        if os.geteuid() != 0:
            pytest.skip("making a device node needs root")
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a null device of our own
    else:
        path.mkdir()
    return path


@pytest.mark.parametrize("kind", ["fifo", "device", "directory"])
def test_save_never_replaces_or_writes_into_a_special_file(s, tmp_path, kind):
    path = special_file(tmp_path, kind)
    kind_of = stat.S_IFMT(path.stat().st_mode)
    with pytest.raises(RuntimeError, match="^write checkpoint failed$"):
        s.save_checkpoint(str(path))
    assert stat.S_IFMT(path.stat().st_mode) == kind_of
    assert os.listdir(tmp_path) == [kind]
    assert s.stats()["checkpoint_saves"] == 0


@pytest.mark.parametrize("kind", ["directory", "/dev/null"])
def test_load_reads_regular_files_only(s, tmp_path, kind):
    path = kind if kind.startswith("/") else str(special_file(tmp_path, kind))
    s.aggregate_columns({"id": ["a"], "timestamp": [1]}, make_plan(event_id_field="id"))
    before = s.stats()
    with pytest.raises(RuntimeError, match="^read checkpoint failed$"):
        s.load_checkpoint(path)
    assert s.stats() == before


def test_loading_a_fifo_does_not_block(tmp_path):
    # Run apart: a load that blocked in open() would hold the interpreter
    # lock until a writer came, which nothing here would ever be.
    fifo = special_file(tmp_path, "fifo")
    code = ("import sys, _movra\n"
            "s = _movra.NativeStream.manual(1, 1, 1)\n"
            "try:\n    s.load_checkpoint(sys.argv[1])\n"
            "except RuntimeError as e:\n    print(e, s.stats()['checkpoint_loads'])\n")
    out = subprocess.run([sys.executable, "-c", code, str(fifo)], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "read checkpoint failed 0", out.stderr
