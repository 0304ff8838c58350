"""The C++ core alone, without Python: the trade pass on the two shapes of
bench_numeric.py and the window engine."""
import re
import subprocess

from common import CORE_BENCH, value


def run(mode):
    return subprocess.run([CORE_BENCH, mode], capture_output=True, text=True, check=True).stdout


def main():
    for mode in ("trades", "trades2"):
        lines = run(mode).splitlines()
        best = min(float(re.search(r"([0-9.]+) ms", line).group(1)) for line in lines)
        value(f"Core (C++): {lines[0].split(', ', 1)[1].rsplit(',', 1)[0]}", f"trade pass {best:.1f} ms")
    engine = run("engine").splitlines()
    value("Core (C++): window engine", engine[1].split(": ", 1)[1] + f"; {engine[0]}")


if __name__ == "__main__":
    main()
