"""Checks an installed wheel: the native module and the movra package import
from site-packages, run a windowed plan and the trade fast path, and their
type information is there."""
import pathlib
import subprocess
import sysconfig
import tempfile

import numpy as np

import _movra
import movra

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

assert pathlib.Path(movra.__file__).parent == site / "movra", movra.__file__
assert (site / "movra" / "py.typed").is_file()
plan = movra.Plan(window="1s", by="g", mean="v", alias="avg", time_field="t")
with movra.manual(linger_ms=1) as stream:
    stream.emit_columns({"g": np.array(["a", "b", "a"]), "v": np.array([1, 2, 3], np.float32),
                         "t": np.array([0, 10, 20])})
    stream.close()
    batches = list(stream.batches(plan))
assert batches == [out], batches
# The command is installed, and without its extras (this venv has only the
# wheel and NumPy) it says which one to install, and writes CSV all the same.
movra_command = pathlib.Path(sysconfig.get_paths()["scripts"]) / "movra"
with tempfile.TemporaryDirectory() as tmp:
    feed = pathlib.Path(tmp) / "feed.jsonl"
    feed.write_text('{"g": "a", "v": 1.0, "t": 0}\n{"g": "b", "v": 2.0, "t": 10}\n{"g": "a", "v": 3.0, "t": 20}\n')
    listen = [str(movra_command), "listen", str(feed), "--window", "1s", "--by", "g", "--mean", "v", "--alias", "avg",
              "--time-field", "t", "--align", "first-event", "-q"]
    table = subprocess.run([*listen, "--format", "table"], capture_output=True, text=True)
    assert table.returncode == 1 and "pip install 'movra[cli]'" in table.stderr, table
    plain = subprocess.run([*listen, "--format", "csv"], capture_output=True, text=True, check=True)
    assert plain.stdout.splitlines() == ["window_start,window_end,g,avg,count", "0,1000,a,2.0,2",
                                         "0,1000,b,2.0,1"], plain
print(f"wheel OK: {_movra.__file__}, {movra.__file__}, {movra_command}")
