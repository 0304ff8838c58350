"""The UDP receiver, end to end over loopback."""
import functools
import json
import socket
import subprocess
import sys
import time

import pytest

import _movra
from conftest import drain, make_plan, start_udp_flood, wait_for, window_plan

NativeStream = _movra.NativeStream


@pytest.fixture
def udp_stream():
    s = NativeStream.udp("127.0.0.1", 0, 10000, 1, 100000)
    yield s
    s.close()


@pytest.fixture
def sender():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    yield sock
    sock.close()


def send(sock, stream, *payloads):
    for p in payloads:
        sock.sendto(p if isinstance(p, bytes) else p.encode(), stream.address())


def test_port_zero_reports_the_bound_port(udp_stream):
    host, port = udp_stream.address()
    assert host == "127.0.0.1" and isinstance(port, int) and port != 0


def test_any_address_reports_dotted_form():
    s = NativeStream.udp("0.0.0.0", 0, 10, 1, 10)
    assert s.address()[0] == "0.0.0.0"
    s.close()


@pytest.mark.parametrize("host", ["localhost", "127.1", "", "::1", "300.0.0.1"])
def test_host_must_be_dotted_ipv4(host):
    with pytest.raises(ValueError, match="^invalid IPv4 address$"):
        NativeStream.udp(host, 0, 10, 1, 10)


def test_host_holding_a_nul_is_refused():
    with pytest.raises(ValueError, match="^embedded null byte$"):
        NativeStream.udp("127.0.0.1\0junk", 0, 10, 1, 10)


def test_port_in_use_is_refused_with_no_stream():
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("127.0.0.1", 0))
    with pytest.raises(RuntimeError, match="^udp bind failed$"):
        NativeStream.udp("127.0.0.1", holder.getsockname()[1], 10, 1, 10)
    holder.close()


def test_datagram_becomes_one_event(udp_stream, sender):
    send(sender, udp_stream, '{"a":1,"b":2.5,"c":"x","d":true,"e":null,"timestamp":1700000000000}')
    assert wait_for(lambda: udp_stream.stats()["ingested"] == 1)
    rows = drain(udp_stream)
    assert rows == {"a": [1], "b": [2.5], "c": ["x"], "d": [True], "e": [None], "timestamp": [1700000000000]}


@pytest.mark.parametrize(
    "datagram, expected",
    [
        ('{"a":1e3}', 1000.0),
        ('{"a":007}', 7),
        ('{"a":9223372036854775808}', "9223372036854775808"),
        ('{"a":12abc}', 12),
        ('{"a":True}', "True"),
        ('{"a":"x\\"y"}', 'x"y'),
        ('{"a":"x,y}"}', "x,y}"),
        ('{"a":[1]}', "[1]"),
        ('{"a" junk : "é"}', "é"),
    ],
)
def test_datagram_values_end_to_end(udp_stream, sender, datagram, expected):
    send(sender, udp_stream, datagram)
    assert wait_for(lambda: udp_stream.stats()["ingested"] == 1)
    rows = drain(udp_stream)
    assert rows["a"] == [expected]


@pytest.mark.parametrize(
    "garbage",
    [b"", b"not json", b'{"a":{"b":1}}', b'{a:1}', b'{"a":"\xff\xfe"}', b'{"\xc0\xaf":1}', b"\xed\xa0\x80",
     b"\n", b'[{"a":1}]', b'{"a":"\\ud800"}', b'{"ok":1}\n{"a":{"b":1}}', b'{"ok":1},{"ok":2}'],
)
def test_garbage_is_counted_as_rejected_and_changes_no_other_counter(udp_stream, sender, garbage):
    send(sender, udp_stream, garbage, b'{"ok":1}')
    assert wait_for(lambda: udp_stream.rejected_datagrams() == 1 and udp_stream.stats()["ingested"] == 1)
    rows = drain(udp_stream)
    st = udp_stream.stats()
    assert (st["ingested"], st["dropped"], udp_stream.rejected_datagrams()) == (1, 0, 1)
    # The good datagram after the bad one is delivered; nothing poisons it.
    assert sorted(rows) == ["ok", "timestamp"] and rows["ok"] == [1]


EVENT = {"city": "Zürich", "note": 'tab\there, a "quote", a \\ and a /', "emoji": "\U0001F600",
         "naïve key": "\u00e9\u0000\u001f", "n": -3, "x": 2.5, "ok": True, "none": None,
         "timestamp": 1700000000000}


@pytest.mark.parametrize("dumps", [
    json.dumps,  # ASCII only: every non-ASCII character as a \\u escape
    functools.partial(json.dumps, indent=2),
    functools.partial(json.dumps, indent="\t", separators=(",", " : ")),
    functools.partial(json.dumps, ensure_ascii=False),
    functools.partial(json.dumps, separators=(",", ":")),
])
def test_datagrams_from_the_json_module_read_back_as_sent(udp_stream, sender, dumps):
    send(sender, udp_stream, dumps(EVENT))
    assert wait_for(lambda: udp_stream.stats()["ingested"] == 1)
    assert {k: v[0] for k, v in drain(udp_stream).items()} == EVENT
    assert udp_stream.rejected_datagrams() == 0


@pytest.mark.parametrize("join, dumps", [
    ("\n", json.dumps),  # printf '...\n...\n' | nc -u
    ("\r\n", functools.partial(json.dumps, indent=2)),
    ("", functools.partial(json.dumps, separators=(",", ":"))),
])
def test_several_objects_in_one_datagram_are_events_in_order(udp_stream, sender, join, dumps):
    events = [{"i": i, "s": f"caf\u00e9 {i}"} for i in range(5)]
    send(sender, udp_stream, join.join(map(dumps, events[:3])) + join, dumps(events[3]), " " + dumps(events[4]))
    assert wait_for(lambda: udp_stream.stats()["ingested"] == 5)
    rows = drain(udp_stream)
    assert rows["i"] == [0, 1, 2, 3, 4] and rows["s"] == [e["s"] for e in events]
    assert udp_stream.rejected_datagrams() == 0


@pytest.mark.parametrize("group", ["line\nfeed", "tab\there"])
def test_a_decoded_line_feed_or_tab_in_a_group_is_refused_by_a_checkpoint(udp_stream, sender, tmp_path, group):
    send(sender, udp_stream, json.dumps({"g": group, "v": 1.0, "timestamp": 1700000000000}))
    plan = window_plan(by="g")
    assert wait_for(lambda: udp_stream.next_batch(plan, timeout_ms=0) is None
                    and udp_stream.stats()["open_windows"] == 1)
    with pytest.raises(RuntimeError, match="^write checkpoint failed$"):
        udp_stream.save_checkpoint(str(tmp_path / "c.ckpt"))


def test_burst_is_fully_ingested(udp_stream, sender):
    sender.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
    payloads = [f'{{"i":{i}}}' for i in range(2000)]
    send(sender, udp_stream, *payloads)
    assert wait_for(lambda: udp_stream.stats()["ingested"] == 2000)
    assert drain(udp_stream)["i"] == list(range(2000))


def test_largest_datagram_arrives_whole_between_small_ones(udp_stream, sender):
    # Datagrams are taken many per system call; each still has room for the
    # largest one IPv4 can carry.
    sender.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
    text = "x" * (65507 - len('{"i":1,"s":""}'))
    small = [f'{{"i":{i},"s":"{i}"}}' for i in range(200)]
    send(sender, udp_stream, *small[:100], f'{{"i":1,"s":"{text}"}}', *small[100:])
    assert wait_for(lambda: udp_stream.stats()["ingested"] == 201)
    rows = drain(udp_stream)
    assert rows["s"][100] == text
    assert rows["i"] == list(range(100)) + [1] + list(range(100, 200))


def test_next_batch_wakes_when_a_datagram_is_queued(sender):
    s = NativeStream.udp("127.0.0.1", 0, 10, 100000, 100)
    proc = subprocess.Popen(
        [sys.executable, "-c",
         "import socket, sys, time; time.sleep(0.2); "
         "socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b'{\"a\":1}', ('127.0.0.1', int(sys.argv[1])))",
         str(s.address()[1])])
    t0 = time.monotonic()
    assert s.next_batch(make_plan(), timeout_ms=10000) is None
    assert time.monotonic() - t0 < 5
    proc.wait()
    assert wait_for(lambda: s.stats()["ingested"] == 1)
    s.close()


def test_close_while_datagrams_keep_arriving():
    s = NativeStream.udp("127.0.0.1", 0, 1000, 1, 100000)
    port = s.address()[1]
    proc = start_udp_flood(port, 60)
    assert wait_for(lambda: s.stats()["ingested"] > 0)
    s.close()
    assert s.is_closed()
    proc.kill()
    proc.wait()
    st = s.stats()
    rows = drain(s)
    delivered = len(rows.get("a", []))
    assert st["ingested"] > 0
    assert delivered + st["dropped"] == st["ingested"]


@pytest.mark.parametrize("datagram", [
    {"id": "e\n1", "g": "A"},
    {"id": "e1", "g": "tab\there"},
    {"id": "e1", "g": "line\nfeed"},
    [{"id": "e1", "g": "A"}, {"id": "e\n2", "g": "A"}],  # one bad object: the datagram is refused whole
])
def test_refused_text_rejects_the_datagram_and_keeps_the_state_saveable(udp_stream, sender, tmp_path, datagram):
    udp_stream.refuse_text("id", "\n")
    udp_stream.refuse_text("g", "\n\t")
    objects = datagram if isinstance(datagram, list) else [datagram]
    bad = "\n".join(json.dumps({**o, "v": 1.0, "timestamp": 1700000000000}) for o in objects)
    send(sender, udp_stream, bad, json.dumps({"id": "ok", "g": "A\\B", "v": 2.0, "timestamp": 1700000000000}))
    assert wait_for(lambda: udp_stream.rejected_datagrams() == 1 and udp_stream.stats()["ingested"] == 1)
    plan = window_plan(by="g", event_id_field="id")
    assert wait_for(lambda: udp_stream.next_batch(plan, timeout_ms=0) is None
                    and udp_stream.stats()["open_windows"] == 1)
    udp_stream.save_checkpoint(str(tmp_path / "c.ckpt"))
    udp_stream.refuse_text("id", "")  # lifted: the same datagram is taken
    send(sender, udp_stream, json.dumps({"id": "e\n1", "g": "A", "v": 1.0, "timestamp": 1700000000000}))
    assert wait_for(lambda: udp_stream.stats()["ingested"] == 2)
    assert udp_stream.rejected_datagrams() == 1
