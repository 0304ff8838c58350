"""Operational faults of the listener, its sources, the checkpoint manager
and the package: rotated and truncated input, torn output, events a
checkpoint cannot hold, special files among the generations, leftovers of
killed saves, full disks, long lines and hostile SQL text."""
import errno
import json
import os
import re
import signal
import subprocess
import sys
import time
import types

import pytest

import movra
from conftest import wait_for
from movra import flink
from movra._checkpoints import CheckpointManager
from movra._cli import main
from movra._listen import _Listener
from movra._sources import LineSource

WINDOW = ["--window", "1s", "--by", "symbol", "--mean", "price"]


def events(start, stop, **extra):
    return "".join(json.dumps({"symbol": "S", "price": 1.0, "timestamp": i * 100, **extra}) + "\n"
                   for i in range(start, stop))


def read_all(source, max_rows=1000):
    rows = []
    while (chunk := source.read(max_rows)) is not None:
        rows += chunk.rows
    return rows


# ------------------------------------------------------------------ sources

@pytest.mark.parametrize("change", ["truncate", "rotate"])
def test_a_followed_file_truncated_or_rotated_is_read_again_from_its_start(tmp_path, change, caplog):
    path = tmp_path / "f.jsonl"
    path.write_text(events(0, 100))
    source = LineSource(str(path), "jsonl", follow=True)
    try:
        assert len(read_all(source)) == 100
        before = source.identity(source.offset)
        if change == "rotate":
            path.rename(tmp_path / "f.jsonl.1")
        path.write_text(events(100, 150))  # fewer bytes than before
        rows = read_all(source)
        assert [r["timestamp"] for r in rows] == [i * 100 for i in range(100, 150)]
        assert source.offset == path.stat().st_size
        assert source.identity(source.offset) != before
        assert re.search(r"(truncated|rotated)\): reading it from the start", caplog.text)
    finally:
        source.close()


def csv_events(start, stop):
    return "".join(f"S,1.0,{i * 100}\n" for i in range(start, stop))


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
@pytest.mark.parametrize("change", ["refill", "rotate", "truncate"])
def test_a_followed_file_written_anew_between_two_looks_is_read_from_its_start(tmp_path, fmt, change):
    head = "symbol,price,timestamp\n" if fmt == "csv" else ""
    lines = csv_events if fmt == "csv" else events
    path = tmp_path / f"f.{fmt}"
    path.write_text(head + lines(0, 20))
    source = LineSource(str(path), fmt, follow=True)
    try:
        assert len(read_all(source)) == 20
        if change == "rotate":
            path.rename(tmp_path / "old")
            path.write_text(head + lines(100, 130))
        else:  # in place; "refill" writes past where the first file was read
            with path.open("r+") as f:
                f.truncate(0)
                f.write(head + lines(100, 130 if change == "refill" else 105))
        rows = read_all(source)
    finally:
        source.close()
    assert [int(r["timestamp"]) for r in rows] == [i * 100 for i in range(100, 130 if change != "truncate" else 105)]
    assert source.skipped == 0


@pytest.mark.parametrize("fmt, content, rows, skipped", [
    ("csv", b"symbol,price,timestamp\ncaf\xe9,1.0,1000\ncaf\xe8,3.0,1100\ncafe,2.0,1200\n", 1, 2),
    ("jsonl", b"x" * 5000 + b"\n" + b'{"a": 1}\n' + b"y" * 70000, 1, 2),  # the last one too long, unterminated
    ("jsonl", b"not json\n" * 50 + b'{"a": 1}\n', 1, 50),
])
def test_unreadable_lines_are_skipped_counted_and_logged_a_few_times(tmp_path, caplog, fmt, content, rows, skipped):
    path = tmp_path / f"in.{fmt}"
    path.write_bytes(content)
    source = LineSource(str(path), fmt, max_line=4096)
    try:
        chunks = []
        while not source.ended:
            if (chunk := source.read(7)) is not None:
                chunks.append(chunk)
    finally:
        source.close()
    assert sum(len(c.rows) for c in chunks) == rows
    assert sum(c.skipped for c in chunks) == source.skipped == skipped
    assert chunks[-1].end == len(content)
    assert caplog.text.count("skipped") <= 6


def test_a_very_long_line_is_dropped_as_it_comes_not_held(tmp_path):
    path = tmp_path / "long.jsonl"
    with path.open("wb") as f:
        f.write(b'{"a": 1}\n')
        for _ in range(64):
            f.write(b"z" * (1 << 20))
        f.write(b'\n{"a": 2}\n')
    source = LineSource(str(path), "jsonl", max_line=1 << 20)
    try:
        started = time.monotonic()
        first = source.read(10)
        held = len(source._buffer)
        second = source.read(10)
        elapsed = time.monotonic() - started
        assert first.rows == [{"a": 1}] and held <= 3 << 20
        assert second.rows == [{"a": 2}] and second.skipped == 1 and second.end == path.stat().st_size
        assert elapsed < 5  # the buffer grew and was scanned again for every megabyte before
    finally:
        source.close()


def test_closed_standard_input_is_a_clear_error(monkeypatch, capsys):
    monkeypatch.setattr(sys, "stdin", None)
    assert main(["listen", "-", *WINDOW, "-q"]) == 1
    assert "standard input is closed" in capsys.readouterr().err
    assert main(["send", "-", "udp://127.0.0.1:9", "--no-progress"]) == 1
    assert "standard input is closed" in capsys.readouterr().err


# ------------------------------------------------------------------ the listener

def listen(tmp_path, *extra, src="in.jsonl", out="out.jsonl"):
    return main(["listen", str(tmp_path / src), *WINDOW, "-o", str(tmp_path / out), "--checkpoint",
                 str(tmp_path / "t.ckpt"), *extra])


@pytest.mark.parametrize("out, torn", [("out.jsonl", b'{"window_start":1700000123000,"window_end":17'),
                                       ("out.csv", b"1700000123000,17000")])
def test_a_torn_last_output_line_is_cut_back_before_a_resume(tmp_path, out, torn, caplog):
    (tmp_path / "in.jsonl").write_text(events(0, 30))
    assert listen(tmp_path, out=out) == 0
    complete = (tmp_path / out).read_bytes()
    (tmp_path / "in.jsonl").write_text(events(0, 60))
    with (tmp_path / out).open("ab") as f:
        f.write(torn)
    assert listen(tmp_path, out=out) == 0
    assert "ended in an unfinished line" in caplog.text
    again = (tmp_path / out).read_bytes()
    assert again.startswith(complete) and torn not in again and again.endswith(b"\n")
    assert len(again.splitlines()) == len(set(again.splitlines()))


@pytest.mark.parametrize("out", ["out.jsonl", "out.csv"])
@pytest.mark.parametrize("edit", [
    lambda data, end: data[:end - 1] + data[end:],  # the line feed where the checkpoint's output ends removed
    lambda data, end: data[:end - 2] + b" " + data[end - 2:],  # a blank added in the line before it
    lambda data, end: data[:end - 5],  # cut short, in a line the checkpoint vouches for
])
def test_an_output_edited_by_hand_is_refused_untouched(tmp_path, out, edit, capsys):
    (tmp_path / "in.jsonl").write_text(events(0, 30))
    assert listen(tmp_path, "-q", out=out) == 0
    end = json.loads(sorted(tmp_path.glob("t.ckpt.*.json"))[-1].read_text())["user"]["output"]["bytes"]
    edited = edit((tmp_path / out).read_bytes(), end)
    (tmp_path / out).write_bytes(edited)
    (tmp_path / "in.jsonl").write_text(events(0, 60))
    assert listen(tmp_path, "-q", out=out) != 0
    assert "it was changed since" in capsys.readouterr().err
    assert (tmp_path / out).read_bytes() == edited


@pytest.mark.parametrize("tail", [b"not json\n", b'{"window_start": "x", "symbol": "S"}\n', b"[1, 2]\n"])
def test_lines_after_the_checkpoint_that_do_not_read_back_are_not_a_traceback(tmp_path, tail, caplog):
    path = tmp_path / "out.jsonl"
    path.write_bytes(b'{"window_start": 0, "symbol": "S"}\n' + tail)
    listener = types.SimpleNamespace(plan=movra.Plan(window="1s", by="symbol", mean="price"),
                                     opts=types.SimpleNamespace(format="jsonl"))
    assert _Listener.written_windows(listener, str(path), 0, None) is None
    assert "cannot be recognised" in caplog.text


def test_an_id_or_group_a_checkpoint_cannot_hold_is_refused_where_it_enters(tmp_path, caplog):
    rows = [{"event_id": "e\n1" if i == 15 else f"e{i}", "symbol": "A\tB" if i == 20 else "A", "price": 1.0,
             "timestamp": 100 * i} for i in range(40)]
    (tmp_path / "in.jsonl").write_text("".join(json.dumps(r) + "\n" for r in rows))
    args = ["--dedup", "event_id", "--every", "1ms", "--batch-size", "10"]
    assert listen(tmp_path, *args) == 0
    assert listen(tmp_path, *args) == 0  # and a restart goes on
    line = next(x for x in caplog.text.splitlines() if "refused" in x)
    offset = sum(len(json.dumps(r)) + 1 for r in rows[:15])
    assert f"event at byte {offset} refused" in line and "event_id 'e\\n1'" in line
    meta = json.loads(sorted(tmp_path.glob("t.ckpt.*.json"))[-1].read_text())
    assert meta["user"]["offset"] == (tmp_path / "in.jsonl").stat().st_size


@pytest.mark.parametrize("first, second, text", [
    (["--filter", "flag==1"], ["--filter", "flag==true"], "was made with another plan"),
    (["--filter", "flag==1"], ["--filter", "flag==1.0"], "was made with another plan"),
    ([], ["--align", "first-event"], "was made with --align epoch"),
])
def test_a_resume_compares_the_plan_with_its_types_and_the_alignment(tmp_path, capsys, first, second, text):
    (tmp_path / "in.jsonl").write_text('{"flag":1,"symbol":"S","price":1.0,"timestamp":1000}\n')
    assert listen(tmp_path, *first) == 0
    assert listen(tmp_path, *second) == 1
    assert text in capsys.readouterr().err


def test_a_resume_over_another_file_of_the_same_name_is_refused(tmp_path, capsys):
    (tmp_path / "in.jsonl").write_text(events(0, 30))
    assert listen(tmp_path, "-q") == 0
    (tmp_path / "in.jsonl").write_text(events(0, 60, price=2.0))  # another input, longer than the offset
    assert listen(tmp_path, "-q") == 1
    assert "its first bytes differ" in capsys.readouterr().err
    (tmp_path / "in.jsonl").write_text(events(0, 30) + events(30, 60))  # the same input, grown: resumed
    assert listen(tmp_path, "-q") == 0


def test_a_plan_a_checkpoint_cannot_record_is_refused_before_any_work(tmp_path, capsys):
    (tmp_path / "in.jsonl").write_text(events(0, 30))
    assert listen(tmp_path, "--filter", "price==1e999") == 1
    assert "holds an infinite or NaN number" in capsys.readouterr().err
    assert not list(tmp_path.glob("out.*"))


def test_keep_late_is_refused_where_the_output_must_survive_restarts(tmp_path, capsys):
    (tmp_path / "in.jsonl").write_text(events(0, 3))
    with pytest.raises(SystemExit):
        listen(tmp_path, "--keep-late")
    assert "argument --keep-late: not with --checkpoint and --output" in capsys.readouterr().err


@pytest.mark.parametrize("target", [os.devnull, "pipe"])
def test_output_to_a_device_or_pipe_is_not_synced(tmp_path, target):
    (tmp_path / "in.jsonl").write_text(events(0, 30) + "garbage\n")
    out = "/dev/stdout" if target == "pipe" else target
    proc = subprocess.run([sys.executable, "-m", "movra", "listen", str(tmp_path / "in.jsonl"), *WINDOW,
                           "--format", "csv", "-o", out, "--checkpoint", str(tmp_path / "t.ckpt")],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "1 lines skipped" in proc.stderr
    if target == "pipe":
        assert proc.stdout.startswith("window_start,window_end,symbol")


@pytest.mark.parametrize("change", ["rotate", "truncate"])
def test_a_followed_file_rotated_while_the_listener_was_down_is_read_from_its_start(tmp_path, change):
    src, out, ckpt = tmp_path / "f.jsonl", tmp_path / "out.jsonl", tmp_path / "t.ckpt"
    src.write_text(events(0, 50 if change == "rotate" else 150))
    args = [sys.executable, "-m", "movra", "listen", str(src), "--follow", *WINDOW, "-o", str(out),
            "--checkpoint", str(ckpt), "--every", "1ms", "-v"]

    def run_until_read():
        proc = subprocess.Popen(args, stderr=subprocess.PIPE, text=True)
        assert wait_for(lambda: any(json.loads(p.read_text())["user"]["offset"] == src.stat().st_size
                                    for p in tmp_path.glob("t.ckpt.*.json")), timeout=30)
        proc.send_signal(signal.SIGTERM)
        return proc.communicate(timeout=30)[1]

    run_until_read()
    if change == "rotate":
        src.rename(tmp_path / "f.jsonl.1")
        src.write_text(events(50, 120))  # more bytes than the saved offset
    else:  # truncated in place, refilled with fewer bytes that begin as before
        src.write_text(events(0, 100))
    err = run_until_read()
    assert "was rotated or truncated since): reading it from the start" in err
    starts = [json.loads(line)["window_start"] for line in out.read_text().splitlines()]
    assert sorted(starts) == list(range(0, 12000 if change == "rotate" else 15000, 1000))


# ------------------------------------------------------------------ checkpoints

@pytest.mark.parametrize("kind", ["fifo", "zero"])
def test_special_files_among_the_generations_are_skipped_not_opened(tmp_path, kind, capsys):
    (tmp_path / "in.jsonl").write_text(events(0, 3))
    assert listen(tmp_path) == 0
    first = tmp_path / "t.ckpt.000001"
    (tmp_path / "t.ckpt.000002").write_bytes(first.read_bytes())
    meta = tmp_path / "t.ckpt.000002.json"
    if kind == "fifo":
        os.mkfifo(meta)
    else:
        meta.symlink_to("/dev/zero")
    capsys.readouterr()
    assert main(["inspect", str(tmp_path / "t.ckpt")]) == 0
    assert "t.ckpt.000002  NOT USABLE: its metadata cannot be read: it is not a regular file" in capsys.readouterr().out
    assert listen(tmp_path) == 0


def test_temporaries_of_dead_writers_are_removed_at_start_up(tmp_path):
    dead = subprocess.Popen(["true"])
    dead.wait()
    left = tmp_path / f".ckpt-{dead.pid}-3"
    live = tmp_path / f".ckpt-{os.getppid()}-0"
    for p in (left, live):
        p.write_bytes(b"x" * 100)
    with movra.manual() as s, CheckpointManager(s, tmp_path / "t.ckpt"):
        assert not left.exists() and live.exists()


@pytest.mark.parametrize("where", ["core", "metadata"])
def test_a_full_disk_during_a_save_is_reported_as_such(tmp_path, monkeypatch, where):
    with movra.manual() as s, CheckpointManager(s, tmp_path / "t.ckpt") as manager:
        if where == "core":
            def no_space(path):
                raise RuntimeError("write checkpoint failed")
            monkeypatch.setattr(s, "_native", Native(s._native, save_checkpoint=no_space,
                                                     save_errno=lambda: errno.ENOSPC))
        else:
            def no_space_json(*args, **kwargs):
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
            monkeypatch.setattr(json, "dump", no_space_json)
        with pytest.raises(movra.CheckpointError) as e:
            manager.save({})
    assert os.strerror(errno.ENOSPC) in str(e.value) and "line feed" not in str(e.value)


SAVE_UNDER_LIMIT = """
import resource, signal, sys
import movra
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
ids = [sys.argv[2] + str(i) for i in range(2000)]
with movra.manual() as s:
    s.process({"event_id": ids, "timestamp": list(range(2000))}, movra.Plan(dedup="event_id"))
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    try:
        s.save_checkpoint(sys.argv[1])
    except movra.CheckpointError as e:
        print(e)
"""


@pytest.mark.parametrize("prefix, reason", [("e", os.strerror(errno.EFBIG)), ("e\n", "a line feed")])
def test_a_failed_save_names_the_operating_systems_reason_or_the_text(tmp_path, prefix, reason):
    # Past the file size limit the system refuses the write as a full disk
    # would, with plenty of room left.
    done = subprocess.run([sys.executable, "-c", SAVE_UNDER_LIMIT, str(tmp_path / "c.ckpt"), prefix],
                          capture_output=True, text=True, timeout=60, check=True)
    assert reason in done.stdout
    assert ("line feed" in done.stdout) == (prefix != "e")


# ------------------------------------------------------------------ the package

class Native:
    """A stream's core object with some methods replaced."""

    def __init__(self, native, **replaced):
        self._native = native
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(self._native, name)


@pytest.mark.parametrize("bad_row, error", [(250, movra.DataError), (None, TimeoutError)])
def test_process_hands_over_what_earlier_chunks_produced_when_a_later_one_fails(bad_row, error, monkeypatch):
    plan = movra.Plan(window="1s", by="g", mean="v")
    with movra.manual(batch_size=100, epoch_windows=True) as s:
        n = 300
        data = {"g": ["a"] * n, "v": [1.0] * n, "timestamp": [i * 100 for i in range(n)]}
        if bad_row is not None:
            data["g"][bad_row] = "\ud800"
        else:
            real = s._native.emit_columns
            calls = []

            def stuck_third(columns):  # the third chunk never reaches the worker
                calls.append(1)
                if len(calls) < 3:
                    real(columns)
            monkeypatch.setattr(s, "_native", Native(s._native, emit_columns=stuck_third))
        with pytest.raises(error) as e:
            s.process(data, plan, timeout=2)
        results = e.value.results
        assert sorted(results["window_start"]) == [i * 1000 for i in range(19)]
        assert s.stats()["output_rows"] == 19


def test_metrics_are_served_on_the_loopback_interface_unless_asked(capsys):
    pytest.importorskip("prometheus_client")
    from movra.metrics import StreamMetrics

    with movra.manual() as s:
        server = StreamMetrics(s).serve(0)
        try:
            assert server.address[0] == "127.0.0.1"
        finally:
            server.close()
    from movra._cli import _metrics_address
    assert _metrics_address(":9108") == ("127.0.0.1", 9108)
    assert _metrics_address("0.0.0.0:9108") == ("0.0.0.0", 9108)


@pytest.mark.parametrize("value", ["a\nb;\nINSERT INTO x VALUES (1);\n--", "a;\n", "a -- b;", "\u2028; DROP",
                                   "x';DROP TABLE results;--", "a\\"])
def test_flink_string_literals_keep_every_statement_on_its_own_lines(value):
    base = {"filters": [{"field": "symbol", "op": "==", "value": value}], "select": None,
            "window": {"seconds": 1, "by": "symbol", "time_field": "timestamp"},
            "mean": {"field": "price", "alias": "avg_price"}, "watermark_ms": 0, "allowed_lateness_ms": 0,
            "event_id_field": None, "drop_late": True}
    job = flink.translate(base, origin=0)
    statements, current = [], []
    for line in job.script.split("\n"):
        current.append(line)
        if re.sub(r"--.*$", "", line).rstrip().endswith(";"):
            statements.append("\n".join(current))
            current = []
    assert len(statements) == len(job.statements)
    assert not any(ch in job.script for ch in "\r\x85\u2028\u2029")
    literal = re.search(r"U&'((?:[^']|'')*)'|'((?:[^']|'')*)'\s*(?:\n|$|\))", job.script.split("WHERE", 1)[1])
    text = literal.group(1) if literal.group(1) is not None else literal.group(2)
    decoded = text.replace("''", "'")
    if literal.group(1) is not None:
        decoded = re.sub(r"\\([0-9A-F]{4})", lambda m: chr(int(m.group(1), 16)), decoded)
    assert decoded == value


@pytest.mark.parametrize("where", ["by", "time_field", "mean", "alias"])
@pytest.mark.parametrize("name", ["x;--", "a --", "--"])
def test_flink_names_that_a_line_splitter_would_misread_are_refused(where, name):
    window = {"seconds": 1, "by": "symbol", "time_field": "timestamp"}
    mean = {"field": "price", "alias": "avg_price"}
    if where in ("by", "time_field"):
        window[where] = name
    else:
        mean["field" if where == "mean" else "alias"] = name
    base = {"filters": [], "select": None, "window": window, "mean": mean, "watermark_ms": 0,
            "allowed_lateness_ms": 0, "event_id_field": None, "drop_late": True}
    with pytest.raises(ValueError, match="'--'"):
        flink.translate(base, origin=0)
