"""emit_columns throughput next to building the same rows as Python dicts."""
import _movra
from common import compare, main, value

N = 1_000_000


def columns():
    return {
        "id": list(range(N)),
        "price": [100.0 + (i % 1000) / 100 for i in range(N)],
        "symbol": [("AAPL", "MSFT", "NVDA", "GOOG")[i % 4] for i in range(N)],
        "buy": [bool(i & 1) for i in range(N)],
        "timestamp": [1_700_000_000_000 + i for i in range(N)],
    }


def run():
    cols = columns()

    def ours():
        s = _movra.NativeStream.manual(batch_size=N, linger_ms=10**9, capacity=N)
        s.emit_columns(cols)
        assert s.stats()["ingested"] == N
        s.close()  # the final cut is part of the cost of a round trip

    def pure_python():
        names = list(cols)
        values = [cols[k] for k in names]
        return [dict(zip(names, row)) for row in zip(*values)]

    got = compare(f"Intake: {N:,} rows x 5 columns", [("emit_columns (then close)", ours),
                                                      ("pure Python: the same rows as dicts", pure_python)],
                  "emit_columns (then close)")
    t_ours = got["emit_columns (then close)"][0] / 1e3
    value("Intake: emit_columns per cell", f"{t_ours / (N * 5) * 1e9:.0f} ns ({N / t_ours / 1e6:.2f} M rows/s)")


if __name__ == "__main__":
    main(run)
