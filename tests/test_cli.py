"""The movra command: arguments that fail clearly, inspect, a live listen
against send on loopback, and a listener killed with SIGKILL that still
writes every window exactly once."""
import csv
import itertools
import json
import os
import queue
import re
import signal
import socket
import subprocess
import sys
import threading
import urllib.request

import pytest

import movra
from conftest import wait_for
from movra._cli import main
from movra._synthetic import trades

PLAN_ARGS = ["--window", "1s", "--by", "symbol", "--mean", "price", "--watermark", "500ms", "--lateness", "250ms",
             "--dedup", "event_id"]
PLAN = movra.Plan(window="1s", by="symbol", mean="price", watermark="500ms", lateness="250ms", dedup="event_id")


@pytest.mark.parametrize("argv, text", [
    (["listen", "udp://127.0.0.1:99999"], "argument SOURCE: '127.0.0.1:99999': the port '99999' is not a number"),
    (["listen", "udp://feed.example:9000"], "the host 'feed.example' is not a dotted IPv4 address"),
    (["listen", "tcp://127.0.0.1:9000"], "a source is udp://HOST:PORT, a file, or -"),
    (["listen", "no-such-file.jsonl"], "'no-such-file.jsonl' is not a file"),
    (["listen", "udp://127.0.0.1:0", "--window", "1x"], "argument --window: value '1x' is not a duration"),
    (["listen", "udp://127.0.0.1:0", "--window", "500ms", "--mean", "v"], "window must be a whole number of seconds"),
    (["listen", "udp://127.0.0.1:0", "--window", "1s"], "a window needs mean="),
    (["listen", "udp://127.0.0.1:0", "--filter", "price=0"], "argument --filter: filter 'price=0': unknown filter "
                                                              "op '=' (did you mean '=='?)"),
    (["listen", "udp://127.0.0.1:0", "--select", "a,,b"], "'a,,b' is not a comma-separated list"),
    (["listen", "udp://127.0.0.1:0", "--metrics", ":http"], "argument --metrics: ':http': the port 'http'"),
    (["listen", "udp://127.0.0.1:0", "--every", "0s"], "argument --every: '0s' must be longer than 0"),
    (["listen", "udp://127.0.0.1:0", "--keep", "-1"], "argument --keep: '-1' must be at least 1"),
    (["listen", "udp://127.0.0.1:0", "--follow"], "argument --follow: only for a file or -"),
    (["listen", "udp://127.0.0.1:0", "--every-events", "5"], "argument --every-events: only with --checkpoint"),
    (["listen", "udp://127.0.0.1:0", "-o", "x.csv", "--format", "table"], "the table is for the terminal"),
    (["send", "udp://127.0.0.1:9000"], "give a file, - for standard input, or --synthetic trades"),
    (["send", "-", "tcp://127.0.0.1:9000"], "'tcp://127.0.0.1:9000' is not an address such as udp://"),
    (["send", "-", "udp://127.0.0.1:0"], "the port '0' is not a number from 1 to 65535"),
    (["send", "--synthetic", "trades", "udp://127.0.0.1:9000", "--rate", "fast"], "'fast' is not a rate"),
    (["send", "--synthetic", "bonds", "udp://127.0.0.1:9000"], "argument --synthetic: invalid choice: 'bonds'"),
    (["inspect"], "the following arguments are required: CHECKPOINT"),
])
def test_bad_arguments_are_named(argv, text, capsys):
    with pytest.raises(SystemExit) as exit_:
        main(argv)
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and text in err, err
    assert f"(see movra {argv[0]} --help)" in err


@pytest.mark.parametrize("command", ["listen", "send", "inspect"])
def test_every_command_has_help(command, capsys):
    with pytest.raises(SystemExit) as exit_:
        main([command, "--help"])
    assert exit_.value.code == 0 and f"usage: movra {command}" in capsys.readouterr().out


def test_a_plan_file_and_options_make_one_plan(tmp_path, capsys):
    plan = tmp_path / "plan.json"
    plan.write_text(json.dumps(PLAN.to_dict()))
    feed = tmp_path / "feed.csv"
    feed.write_text("symbol,price,event_id,timestamp\nA,1.5,x,1000\nA,2.5,y,1500\nA,9.0,y,1600\n")
    assert main(["listen", str(feed), "--plan", str(plan), "--window", "2s", "--format", "jsonl", "-q"]) == 0
    out = capsys.readouterr().out
    assert json.loads(out) == {"window_start": 0, "window_end": 2000, "symbol": "A", "avg_price": 2.0, "count": 2}


@pytest.mark.parametrize("content, status, text", [
    (None, 0, "open windows  2 in 2 group(s)"),
    (b'{"symbol": "A", "price": 1.0}\n', 1, "is not a valid checkpoint: it does not begin with the checkpoint header"),
    (b"", 1, "is not a valid checkpoint: the file is empty"),
])
def test_inspect_summarises_or_refuses(tmp_path, capsys, content, status, text):
    path = tmp_path / "state.ckpt"
    if content is None:
        with movra.manual(linger_ms=1) as s:
            s.emit_columns({"symbol": ["A", "B"], "price": [1.0, 2.0], "event_id": ["a", "b"],
                            "timestamp": [1_700_000_000_000] * 2})
            assert s.poll(PLAN, timeout=5) is None and s.stats()["open_windows"] == 2
            s.save_checkpoint(path)
    else:
        path.write_bytes(content)
    assert main(["inspect", str(path)]) == status
    captured = capsys.readouterr()
    assert text in (captured.out if status == 0 else captured.err)


# ------------------------------------------------------------------ live runs

def trade_lines(n, step_ms=10):
    """n synthetic trades (with resends and late ones) as JSON lines, on a
    clock that advances step_ms per trade."""
    ticks = itertools.count(1_700_000_000_000, step_ms)
    feed = trades(clock=lambda: next(ticks) / 1000)
    return [json.dumps(event) + "\n" for event, _ in itertools.islice(feed, n)]


def library_windows(lines):
    rows = [json.loads(line) for line in lines]
    with movra.manual(epoch_windows=True) as s:
        s.emit_columns({k: [r[k] for r in rows] for k in rows[0]})
        s.close()
        return sorted((b["window_start"][i], b["symbol"][i], b["count"][i], b["avg_price"][i])
                      for b in s.batches(PLAN) for i in range(len(b["count"])))


class Command:
    """`python -m movra ARGS` running, its standard error read by one
    thread; a context manager that stops it (SIGTERM) and checks its exit."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([sys.executable, "-m", "movra", *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=lambda: [self.lines.put(line) for line in self.proc.stderr], daemon=True).start()

    def announced(self, pattern, timeout=30):
        """The first match of `pattern` in a line of standard error."""
        while True:
            m = re.search(pattern, self.lines.get(timeout=timeout))
            if m:
                return m

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=30)
        self.proc.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(timeout=30)
        self.proc.stderr.close()
        assert status == 0 or exc[0] is not None


def scrape(url, name):
    with urllib.request.urlopen(url, timeout=10) as reply:
        m = re.search(rf"^{name} (\S+)$", reply.read().decode(), re.M)
    return float(m.group(1))


def test_listen_against_send_on_loopback_gives_the_librarys_windows(tmp_path):
    lines = trade_lines(3000)
    (tmp_path / "feed.jsonl").write_text("".join(lines))
    out = tmp_path / "windows.jsonl"
    with Command("listen", "udp://127.0.0.1:0", *PLAN_ARGS, "-o", str(out), "--metrics", "127.0.0.1:0",
                 "--linger", "2ms") as listener:
        metrics = listener.announced(r"metrics at (\S+)").group(1)
        port = listener.announced(r"listening on udp://127.0.0.1:(\d+)").group(1)
        sent = subprocess.run([sys.executable, "-m", "movra", "send", str(tmp_path / "feed.jsonl"),
                               f"udp://127.0.0.1:{port}", "--rate", "20000/s", "--json"],
                              capture_output=True, text=True, timeout=60, check=True)
        assert json.loads(sent.stdout)["datagrams"] == 3000
        assert wait_for(lambda: scrape(metrics, "movra_events_ingested_total") == 3000, timeout=20)
    written = sorted((r["window_start"], r["symbol"], r["count"], r["avg_price"])
                     for r in map(json.loads, out.read_text().splitlines()))
    assert written == library_windows(lines)


def newest_metadata(path):
    names = sorted(n for n in os.listdir(path.parent) if n.startswith(path.name + ".") and n.endswith(".json"))
    return json.loads((path.parent / names[-1]).read_text())["user"] if names else None


def test_a_killed_listener_resumes_and_writes_every_window_once(tmp_path):
    lines = trade_lines(2500)
    feed, out, ckpt = tmp_path / "feed.jsonl", tmp_path / "windows.csv", tmp_path / "feed.ckpt"
    args = ["listen", str(feed), "--follow", *PLAN_ARGS, "-o", str(out), "--checkpoint", str(ckpt),
            "--every-events", "1000", "--every", "1h"]
    parts = ["".join(lines[:1000]), "".join(lines[1000:1500]), "".join(lines[1500:])]
    feed.write_text(parts[0])
    first = Command(*args)
    # A save after the first 1000 events; then windows written after it.
    assert wait_for(lambda: (newest_metadata(ckpt) or {}).get("offset") == len(parts[0].encode()), timeout=30)
    saved_bytes = newest_metadata(ckpt)["output"]["bytes"]
    with feed.open("a") as f:
        f.write(parts[1])
    assert wait_for(lambda: out.stat().st_size > saved_bytes, timeout=30)
    first.kill()
    with Command(*args, "-v") as second:
        assert second.announced(r"output .* cut back from \d+ to (\d+) bytes").group(1) == str(saved_bytes)
        with feed.open("a") as f:
            f.write(parts[2])
        assert wait_for(lambda: newest_metadata(ckpt)["offset"] == feed.stat().st_size, timeout=30)
    with out.open() as f:
        written = [(int(r["window_start"]), r["symbol"], int(r["count"]), float(r["avg_price"]))
                   for r in csv.DictReader(f)]
    assert len({(start, symbol) for start, symbol, _, _ in written}) == len(written)  # no window twice
    assert sorted(written) == library_windows(lines)  # and none lost or changed


def datagram(sock, port, **event):
    sock.sendto(json.dumps(event).encode(), ("127.0.0.1", port))


def test_a_killed_udp_listener_keeps_what_it_wrote_and_writes_no_window_twice(tmp_path):
    out, ckpt = tmp_path / "windows.jsonl", tmp_path / "udp.ckpt"
    args = ["listen", "udp://127.0.0.1:0", "--window", "1s", "--by", "g", "--mean", "v", "-o", str(out),
            "--checkpoint", str(ckpt), "--every-events", "3", "--every", "1h", "--linger", "2ms",
            "--metrics", "127.0.0.1:0", "-v"]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        first = Command(*args)
        port = int(first.announced(r"listening on udp://127.0.0.1:(\d+)").group(1))
        for g, v, t in (("A", 1.0, 1000), ("A", 2.0, 1500), ("B", 3.0, 1800)):
            datagram(tx, port, g=g, v=v, timestamp=t)
        assert wait_for(lambda: newest_metadata(ckpt) is not None, timeout=30)
        datagram(tx, port, g="A", v=4.0, timestamp=2500)  # closes the windows at 1000, after the save
        assert wait_for(lambda: out.exists() and out.read_text().count("\n") >= 2, timeout=30)
        first.kill()
        args[1] = f"udp://127.0.0.1:{port}"
        with Command(*args) as second:  # stopped at once: the restored windows at 1000 are still open
            assert second.announced(r"2 windows written after the checkpoint are kept")
        with Command(*args) as third:
            assert third.announced(r"2 windows written after the checkpoint are kept")
            metrics = third.announced(r"metrics at (\S+)").group(1)
            datagram(tx, port, g="A", v=5.0, timestamp=3500)  # the restored windows at 1000 close again
            assert wait_for(lambda: scrape(metrics, "movra_events_ingested_total") == 4, timeout=30)
    rows = [json.loads(line) for line in out.read_text().splitlines()]
    keys = [(r["window_start"], r["g"]) for r in rows]
    assert len(keys) == len(set(keys)), rows  # written before the kill, not again after it
    assert {"window_start": 1000, "window_end": 2000, "g": "A", "avg_v": 1.5, "count": 2} in rows
    assert (3000, "A") in keys and (2000, "A") not in keys  # the event at 2500 came after the save: lost


def test_listen_counts_rejected_datagrams_in_its_metrics_and_tally():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx, \
            Command("listen", "udp://127.0.0.1:0", "--metrics", "127.0.0.1:0") as listener:
        metrics = listener.announced(r"metrics at (\S+)").group(1)
        port = int(listener.announced(r"listening on udp://127.0.0.1:(\d+)").group(1))
        for payload in (b'{"a":{"b":1}}', b'[1]', b'{"v":1}\n{"v":2}\n'):
            tx.sendto(payload, ("127.0.0.1", port))
        assert wait_for(lambda: scrape(metrics, "movra_datagrams_rejected_total") == 2
                        and scrape(metrics, "movra_events_ingested_total") == 2, timeout=30)
        listener.proc.send_signal(signal.SIGTERM)
        assert listener.announced(r"stopped: 2 events in, .* 0 dropped, 2 datagrams rejected;")
        assert listener.proc.wait(timeout=30) == 0  # one SIGTERM: a second after the stop would kill it


@pytest.mark.parametrize("change, text", [
    (["--window", "2s"], "was made with another plan, Plan(window='1s'"),
    (["--format", "jsonl"], "was made writing csv to"),
    ("shorten", "it was changed since"),
])
def test_a_resume_with_another_plan_or_output_is_refused(tmp_path, capsys, change, text):
    (tmp_path / "feed.jsonl").write_text("".join(trade_lines(300)))
    args = ["listen", str(tmp_path / "feed.jsonl"), *PLAN_ARGS, "-o", str(tmp_path / "w.out"), "--format", "csv",
            "--checkpoint", str(tmp_path / "c.ckpt"), "-q"]
    assert main(args) == 0
    if change == "shorten":
        os.truncate(tmp_path / "w.out", 10)
        change = []
    assert main(args + change) == 1
    assert text in capsys.readouterr().err


@pytest.mark.parametrize("name, content, sent, skipped", [
    ("feed.jsonl", '{"sym": "Ä", "n": 1}\n\n[1, 2]\n{"sym": "B", "n": {"deep": 1}}\n{"n": 99999999999999999999}\n',
     ['{"sym":"Ä","n":1}', '{"n":"99999999999999999999"}'], 2),
    ("feed.csv", "sym,n,ok,px\nA,1,true,\nB,x,false,2.5\nC,2\n",
     ['{"sym":"A","n":1,"ok":true,"px":null}', '{"sym":"B","n":"x","ok":false,"px":2.5}'], 1),
])
def test_send_makes_one_datagram_per_row(tmp_path, capsys, name, content, sent, skipped):
    (tmp_path / name).write_text(content, encoding="utf-8")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as rx:
        rx.bind(("127.0.0.1", 0))
        rx.settimeout(10)
        assert main(["send", str(tmp_path / name), f"udp://127.0.0.1:{rx.getsockname()[1]}", "--rate", "max",
                     "--json", "-q"]) == 0
        received = [rx.recv(65536).decode() for _ in sent]
    tally = json.loads(capsys.readouterr().out)
    assert received == sent and (tally["datagrams"], tally["skipped"]) == (len(sent), skipped)


def test_a_file_source_resumes_at_an_offset_and_waits_for_a_whole_line(tmp_path):
    from movra._sources import LineSource

    path = tmp_path / "feed.jsonl"
    path.write_bytes(b'{"a": 1}\n{"a": 2}\n{"a": ')
    source = LineSource(str(path), "jsonl", follow=True)
    chunk = source.read(10)
    assert ([r["a"] for r in chunk.rows], chunk.end) == ([1, 2], 18)
    assert source.read(10) is None  # the last line is not whole yet
    with path.open("ab") as f:
        f.write(b"3}\n")
    assert source.read(10).rows == [{"a": 3}]
    source.close()
    resumed = LineSource(str(path), "jsonl", offset=9)
    assert [r["a"] for r in resumed.read(10).rows] == [2, 3] and resumed.read(10) is None
    resumed.close()
    with pytest.raises(ValueError, match="fewer than the offset 99"):
        LineSource(str(path), "jsonl", offset=99)


FEED_CSV = "symbol,price,event_id,timestamp\nA,1.5,x,1000\nB,2.0,y,1200\nA,2.5,z,1500\nA,9.0,w,2600\n"


@pytest.mark.parametrize("options, expected", [
    (["--format", "table"], ["window                       symbol     avg_price    count",
                             "1000 - 2000                  A              2.000        2",
                             "                             B              2.000        1",
                             "2000 - 3000                  A              9.000        1"]),
    (["--format", "csv", "--select", "window_start,count"], ["window_start,count", "1000,2", "1000,1", "2000,1"]),
    (["--format", "jsonl", "--filter", "symbol==B"], ['{"window_start":1000,"window_end":2000,"symbol":"B",'
                                                      '"avg_price":2.0,"count":1}']),
])
def test_output_formats(tmp_path, capsys, options, expected):
    (tmp_path / "feed.csv").write_text(FEED_CSV)
    assert main(["listen", str(tmp_path / "feed.csv"), "--window", "1s", "--by", "symbol", "--mean", "price",
                 "--align", "first-event", *options, "-q"]) == 0
    assert [line.rstrip() for line in capsys.readouterr().out.splitlines()] == expected


def test_standard_input_piped_again_resumes_where_the_first_run_ended(tmp_path):
    lines = trade_lines(1200)
    args = [sys.executable, "-m", "movra", "listen", "-", *PLAN_ARGS, "-o", str(tmp_path / "w.csv"),
            "--checkpoint", str(tmp_path / "stdin.ckpt"), "-q"]
    for part in ("".join(lines[:700]), "".join(lines)):  # the end of the first run's input, then all of it
        subprocess.run(args, input=part, text=True, check=True, timeout=60)
    assert newest_metadata(tmp_path / "stdin.ckpt")["offset"] == len("".join(lines).encode())
    with (tmp_path / "w.csv").open() as f:
        written = [(int(r["window_start"]), r["symbol"], int(r["count"]), float(r["avg_price"]))
                   for r in csv.DictReader(f)]
    assert sorted(written) == library_windows(lines)


def test_inspect_lists_generations_and_summarises_the_newest_sound_one(tmp_path, capsys):
    (tmp_path / "feed.jsonl").write_text("".join(trade_lines(500)))
    base = tmp_path / "g.ckpt"
    assert main(["listen", str(tmp_path / "feed.jsonl"), *PLAN_ARGS, "-o", str(tmp_path / "w.csv"),
                 "--checkpoint", str(base), "--every-events", "100", "--batch-size", "100", "-q"]) == 0
    newest = sorted(tmp_path.glob("g.ckpt.??????"))[-1]
    newest.write_bytes(newest.read_bytes()[:-2] + b"9\n")
    capsys.readouterr()
    assert main(["inspect", str(base)]) == 0
    out = capsys.readouterr().out
    assert f"{newest.name}  NOT USABLE: its checksum does not match" in out
    assert "metadata      sequence" in out and "checksum matches" in out


def test_a_checkpointed_udp_listener_rejects_ids_and_groups_a_save_cannot_hold(tmp_path):
    out, ckpt = tmp_path / "windows.jsonl", tmp_path / "udp.ckpt"
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx, \
            Command("listen", "udp://127.0.0.1:0", "--window", "1s", "--by", "g", "--mean", "v", "--dedup", "id",
                    "-o", str(out), "--checkpoint", str(ckpt), "--every", "1ms", "--linger", "2ms",
                    "--metrics", "127.0.0.1:0") as listener:
        metrics = listener.announced(r"metrics at (\S+)").group(1)
        port = int(listener.announced(r"listening on udp://127.0.0.1:(\d+)").group(1))
        datagram(tx, port, id="e\n1", g="A", v=1.0, timestamp=1000)  # a JSON escape: a real line feed
        datagram(tx, port, id="e2", g="A\tB", v=1.0, timestamp=1000)
        datagram(tx, port, id="e3", g="A", v=2.0, timestamp=1200)
        assert wait_for(lambda: scrape(metrics, "movra_datagrams_rejected_total") == 2
                        and scrape(metrics, "movra_events_ingested_total") == 1, timeout=30)
        assert wait_for(lambda: (newest_metadata(ckpt) or {}).get("stopped") is False, timeout=30)
        listener.proc.send_signal(signal.SIGTERM)
        assert listener.announced(r"stopped: 1 events in, .* 2 datagrams rejected;")
        assert listener.proc.wait(timeout=30) == 0
    assert newest_metadata(ckpt)["stopped"] is True
