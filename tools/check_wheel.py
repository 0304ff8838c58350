"""Checks an installed wheel: the module imports from site-packages, runs a
windowed plan and the trade fast path, and its type information is there."""
import pathlib
import sysconfig

import numpy as np

import _movra

site = pathlib.Path(sysconfig.get_paths()["platlib"])
assert pathlib.Path(_movra.__file__).parent == site, _movra.__file__
assert (site / "_movra.pyi").is_file() and (site / "_movra-stubs" / "__init__.pyi").is_file()
assert (site / "_movra-stubs" / "py.typed").is_file()

s = _movra.NativeStream.manual(batch_size=100, linger_ms=1, capacity=100)
out = s.aggregate_columns({"g": ["a", "b", "a"], "v": [1.0, 2.0, 3.0], "t": [0, 10, 20]},
                          {"filters": [], "select": None, "window": {"seconds": 1, "by": "g", "time_field": "t"},
                           "mean": {"field": "v", "alias": "avg"}, "watermark_ms": None,
                           "allowed_lateness_ms": None, "event_id_field": None, "drop_late": None})
assert out == {"avg": [2.0, 2.0], "count": [2, 1], "g": ["a", "b"], "window_end": [1000, 1000],
               "window_start": [0, 0]}, out
agg = s.aggregate_trade_numeric(np.array([0, 1500]), np.array([1, 1], np.uint8), np.array([3, 3]),
                                np.array([1.0, 2.0]), 1000)
assert agg["count"] == [1, 1] and agg["window_start"] == [0, 1000], agg
s.close()
print(f"wheel OK: {_movra.__file__}")
