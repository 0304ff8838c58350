"""A deterministic corpus of synthetic trades for comparing the core with
Flink, and the core's own result for a plan over it.

The trades arrive in order with the small disorder of a real feed and the
faults the core handles: resends of the same event (duplicates), rows late by
up to four seconds, rows before the window origin, a few rows from a clock on
the absolute grid (times at or below 10**12 ms), empty and missing event ids,
missing prices, and rows exactly at given lateness bounds (on time) or 1 ms
behind them (late).
"""

from __future__ import annotations

import json
import os
import random
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import _movra

ORIGIN = 1_700_000_000_123
SYMBOLS = ("AAA", "BBB", "CCC", "DDD", "EEE")
#: With lateness bounds, every this many trades one lies at a bound or 1 ms behind it.
BOUNDARY_EVERY = 499
#: Column name to Flink SQL type, in the order of the JSON objects.
COLUMNS = {"timestamp": "BIGINT", "event_id": "STRING", "symbol": "STRING", "price": "DOUBLE",
           "qty": "BIGINT", "side": "STRING"}

Row = dict[str, Any]


def trades(n: int, seed: int = 16, lateness_bounds: Sequence[int] = ()) -> list[Row]:
    """``n`` trades in arrival order, about 500 a second, the main run starting
    five seconds before ORIGIN.

    ``lateness_bounds`` are plans' watermark_ms + allowed_lateness_ms: a row
    that far behind the greatest event time so far is just on time for such a
    plan without filters, one more millisecond behind is late."""
    rng = random.Random(seed)
    prices = {s: 100.0 + 2 * i for i, s in enumerate(SYMBOLS)}
    rows: list[Row] = []
    resends: list[tuple[int, Row]] = []  # (arrival index due, row)
    clock = float(ORIGIN - 5000)
    unset_clock = 999_999_990_000
    serial = 0
    greatest = -(2**63)
    while len(rows) < n:
        if resends and resends[0][0] <= len(rows):
            rows.append(resends.pop(0)[1])
            continue
        serial += 1
        if serial <= min(20, n // 100):
            t = unset_clock + 400 * serial + rng.randrange(300)
        else:
            clock += 2.0
            r = rng.random()
            delay = rng.randrange(1000, 4000) if r < 0.03 else rng.randrange(300, 1000) if r < 0.13 \
                else rng.randrange(300)
            t = int(clock) - delay
            if lateness_bounds and serial % BOUNDARY_EVERY == 0:
                k = serial // BOUNDARY_EVERY
                t = greatest - lateness_bounds[k % len(lateness_bounds)] - (k // len(lateness_bounds)) % 2
        greatest = max(greatest, t)
        symbol = rng.choice(SYMBOLS)
        prices[symbol] = max(1.0, prices[symbol] + rng.gauss(0, 0.3))
        r = rng.random()
        event_id = "" if r < 0.02 else None if r < 0.03 else f"t{serial}"
        row = {"timestamp": t, "event_id": event_id, "symbol": symbol,
               "price": None if serial > 1 and rng.random() < 0.01 else round(prices[symbol], 2),
               "qty": rng.randrange(1, 20), "side": rng.choice(("buy", "sell"))}
        rows.append(row)
        if rng.random() < 0.05:
            resends.append((len(rows) + rng.randrange(1, 50), row))
            resends.sort(key=lambda item: item[0])
    return rows


def write_json_lines(rows: Iterable[Row], path: str) -> None:
    with open(path, "w") as f:
        for row in rows:
            f.write(json.dumps(row) + "\n")


def as_columns(rows: list[Row]) -> dict[str, list[Any]]:
    return {name: [row[name] for row in rows] for name in COLUMNS}


def write_origin_checkpoint(path: str, origin: int = ORIGIN) -> None:
    """A checkpoint of a stream that has fixed its window origin and nothing else."""
    unset = -(2**63)
    with open(path, "w") as f:
        f.write(f"max_event_time\t{unset}\nwindow_origin\t{origin}\nseen_event_ids\t0\nwindow_state\t0\n")


def describe(rows: list[Row]) -> str:
    seen: set[int] = set()
    resends = 0
    for row in rows:
        resends += id(row) in seen
        seen.add(id(row))
    return (f"{len(rows):,} trades: {resends} resends, "
            f"{sum(r['event_id'] in ('', None) for r in rows)} with an empty or missing id, "
            f"{sum(r['price'] is None for r in rows)} without a price, "
            f"{sum(10**12 < r['timestamp'] < ORIGIN for r in rows)} before the origin, "
            f"{sum(r['timestamp'] <= 10**12 for r in rows)} on the absolute grid")


def core_result(columns: Mapping[str, list[Any]], plan: Mapping[str, Any],
                checkpoint: str) -> tuple[dict[str, list[Any]], dict[str, int]]:
    """What a core stream restored from ``checkpoint``, fed every row in order
    and then closed, gives for ``plan``: every window it emits (with late rows
    dropped each window is emitted once, whole), or the surviving rows in
    order; and the stream's counters."""
    stream = _movra.NativeStream.manual(batch_size=1, linger_ms=1000, capacity=1)
    try:
        stream.load_checkpoint(os.fspath(checkpoint))
        return stream.aggregate_columns(dict(columns), dict(plan)), stream.stats()
    finally:
        stream.close()
