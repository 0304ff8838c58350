"""movra.metrics: the Prometheus text, read back with prometheus_client's own
parser, as rendered and as served over HTTP."""
import socket
import time
import urllib.request

import pytest
from prometheus_client.parser import text_string_to_metric_families

import movra
import movra.metrics
from conftest import wait_for


def parsed(text):
    return {f.name: (f.type, f.documentation, {s.name: s.value for s in f.samples})
            for f in text_string_to_metric_families(text)}


@pytest.fixture
def metered(tmp_path):
    """A stream that has seen 3 events (one a duplicate) and saved a
    checkpoint, with its metrics."""
    with movra.manual(linger_ms=1) as stream, movra.CheckpointManager(stream, tmp_path / "m.ckpt") as manager:
        stream.emit_columns({"id": ["a", "b", "a"], "g": ["x"] * 3, "v": [1.0, 2.0, 3.0],
                             "timestamp": [1_700_000_000_000 + i for i in range(3)]})
        assert wait_for(lambda: stream.stats()["microbatches_emitted"] == 1)
        stream.poll(movra.Plan(window="1s", by="g", mean="v", dedup="id"))
        manager.save()
        yield movra.metrics.StreamMetrics(stream, checkpoints=manager)


def check(families):
    assert families["movra_events_ingested"] == ("counter", "Events offered to the stream, accepted or dropped.",
                                                 {"movra_events_ingested_total": 3})
    assert families["movra_events_duplicate"][2] == {"movra_events_duplicate_total": 1}
    assert families["movra_checkpoint_saves"][2] == {"movra_checkpoint_saves_total": 1}
    assert families["movra_open_windows"][:1] == ("gauge",)
    assert families["movra_seen_event_ids"][2] == {"movra_seen_event_ids": 2}
    assert families["movra_checkpoint_sequence"][2] == {"movra_checkpoint_sequence": 1}
    assert families["movra_checkpoint_max_event_time_milliseconds"][2] == {
        "movra_checkpoint_max_event_time_milliseconds": 1_700_000_000_001}  # not the duplicate
    assert "movra_events_in_per_second" in families
    assert all(name.startswith("movra_") for name in families)


def test_the_text_parses_with_prometheus_clients_parser(metered):
    check(parsed(metered.text()))


def test_the_endpoint_serves_the_same_metrics(metered):
    server = metered.serve(0, "127.0.0.1")
    try:
        host, port = server.address
        with urllib.request.urlopen(f"http://{host}:{port}/metrics", timeout=10) as reply:
            check(parsed(reply.read().decode()))
    finally:
        server.close()


def test_rates_span_the_window():
    with movra.manual() as stream:
        metrics = movra.metrics.StreamMetrics(stream, rate_window=10)  # a reading of 0 events now
        t0, counters = time.monotonic(), dict(stream.stats())
        assert metrics.rates(dict(counters, ingested=400), now=t0 + 2)["ingested"] == pytest.approx(200, rel=0.01)
        for t, ingested in ((5.0, 500), (10.0, 1500), (20.0, 1500)):
            rates = metrics.rates(dict(counters, ingested=ingested), now=t0 + t)
        # From the reading at 10 s (the last at or before 20 - 10) to 20 s.
        assert rates["ingested"] == 0.0
        assert metrics.rates(dict(counters, ingested=2500), now=t0 + 25)["ingested"] == pytest.approx(1000 / 15)


def test_rejected_datagrams_show_in_the_stats_and_the_metrics():
    bad = [b'{"a":{"b":1}}', b'[{"a":1}]', b'{"a":1}\n{"b":[1,2]}']
    with movra.udp("127.0.0.1", 0, linger_ms=1) as stream, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        metrics = movra.metrics.StreamMetrics(stream)
        for datagram in [*bad, b'{"a":1}\n{"a":2}']:
            tx.sendto(datagram, stream.address)
        assert wait_for(lambda: stream.stats()["rejected_datagrams"] == len(bad) and stream.stats()["ingested"] == 2)
        families = parsed(metrics.text())
    assert families["movra_datagrams_rejected"][2] == {"movra_datagrams_rejected_total": len(bad)}
    assert families["movra_events_ingested"][2] == {"movra_events_ingested_total": 2}
