"""The live demonstration, shortened, runs to the end and checks itself."""
import pathlib
import subprocess
import sys

DEMO = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo.py"


def test_demo_runs_to_the_end():
    done = subprocess.run([sys.executable, str(DEMO), "--seconds", "1", "--rows", "200000"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    for section in ("== live", "== counters", "== checkpoint and restore", "== NumPy trade fast path"):
        assert section in out, out
    assert "came out:    new-1, new-2  (3 dropped as already seen)" in out, out
    assert "the same counts and means as NumPy" in out, out
