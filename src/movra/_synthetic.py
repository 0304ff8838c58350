"""Synthetic feeds for demonstrations and tests: `trades`."""

from __future__ import annotations

import random
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Final, Literal

__all__ = ["FEEDS", "SYMBOLS", "trades"]

SYMBOLS: Final = ("ACME", "BOLT", "CRUX", "DYNA", "ECHO", "FLUX")

TradeKind = Literal["trade", "late", "resend"]


Trade = tuple[dict[str, Any], TradeKind]


def trades(*, seed: int = 7, symbols: Sequence[str] = SYMBOLS, late_every: int = 151, late_by_ms: int = 3000,
           resend_every: int = 41, clock: Callable[[], float] = time.time) -> Iterator[Trade]:
    """An endless feed of trades, each ``(event, kind)``.

    An event has "event_id" ("t0", "t1", ...), "symbol", "price" (a random
    walk per symbol), "size" and "timestamp" (`clock` in epoch
    milliseconds, read as the trade is made).  Every `late_every`-th trade
    is stamped `late_by_ms` in the past (kind "late"); after every
    `resend_every`-th trade that is not late the same event comes again
    (kind "resend"), which de-duplication by "event_id" drops.
    """
    rng = random.Random(seed)
    prices = {s: rng.uniform(20, 400) for s in symbols}
    made = 0
    while True:
        symbol = rng.choice(symbols)
        prices[symbol] *= 1 + rng.gauss(0, 0.0004)
        now = int(clock() * 1000)
        late = made % late_every == late_every - 1
        event = {"event_id": f"t{made}", "symbol": symbol, "price": round(prices[symbol], 2),
                 "size": rng.randint(1, 500), "timestamp": now - late_by_ms if late else now}
        made += 1
        yield event, "late" if late else "trade"
        if not late and made % resend_every == 0:
            yield event, "resend"


#: The feeds ``movra send --synthetic NAME`` knows.
FEEDS: Final = {"trades": trades}
