"""The C++ core alone, without Python: the trade pass on the four shapes of
bench_numeric.py and the window engine."""
import re
import subprocess

from common import CORE_BENCH, main, value


def core(mode):
    return subprocess.run([CORE_BENCH, mode], capture_output=True, text=True, check=True).stdout


def run():
    for shape in "ABCD":
        lines = core(f"trades{shape}").splitlines()
        best = min(float(re.search(r"([0-9.]+) ms$", line).group(1)) for line in lines)
        what = lines[0].split(": ", 1)[1].rsplit(", ", 1)[0]
        value(f"Core (C++): trade pass, shape {shape}: {what}", f"{best:.1f} ms (best of {len(lines)})")
    engine = core("engine").splitlines()
    value("Core (C++): window engine", engine[1].split(": ", 1)[1] + f"; {engine[0]}")


if __name__ == "__main__":
    main(run)
