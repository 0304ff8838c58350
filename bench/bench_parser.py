"""The datagram parser on a trade datagram next to msgspec (decoding into a
Struct), orjson and json.loads.  Ours runs as a C++ loop in a child process
and times itself; the peers run in a loop with no per-call Python code."""
import collections
import itertools
import json
import re
import subprocess

import msgspec
import orjson

from common import CORE_BENCH, Measured, compare, main

DATAGRAM = (b'{"symbol":"AAPL","price":187.25,"size":300,"side":"buy","venue":"XNAS","seq":1234567,'
            b'"timestamp":1700000000123}')
CALLS = 300_000
OURS = "parse_json_datagram into column chunks (C++ loop)"


class Trade(msgspec.Struct):
    symbol: str
    price: float
    size: int
    side: str
    venue: str
    seq: int
    timestamp: int


def ours():
    out = subprocess.run([CORE_BENCH, "parser"], capture_output=True, text=True, check=True).stdout
    return Measured(float(re.search(r"into column chunks: .*\(([0-9.]+) ns each", out).group(1)) * 1e-9)


def looped(fn):
    def run():
        collections.deque(map(fn, itertools.repeat(DATAGRAM, CALLS)), maxlen=0)
    return run


def run():
    decoder = msgspec.json.Decoder(Trade)
    assert decoder.decode(DATAGRAM).seq == 1234567 and orjson.loads(DATAGRAM)["seq"] == 1234567
    compare(f"Datagram parser: one {len(DATAGRAM)}-byte trade datagram",
            [(OURS, ours), ("msgspec into a Struct", looped(decoder.decode)),
             ("orjson.loads (to a dict)", looped(orjson.loads)), ("json.loads (to a dict)", looped(json.loads))],
            OURS, per=CALLS, unit="ns", scale=1e9, goal="at least 2x faster than msgspec into a Struct")


if __name__ == "__main__":
    main(run)
