"""Runs Flink SQL scripts in a local, in-process Flink set up by
tools/flink/setup.sh under build/flink."""

from __future__ import annotations

import ctypes
import glob
import json
import os
import shutil
import signal
import subprocess
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FLINK_DIR = os.path.join(ROOT, "build", "flink")
CLASSPATH = os.path.join(FLINK_DIR, "lib", "*") + os.pathsep + os.path.join(FLINK_DIR, "classes")


def available() -> bool:
    """Whether setup.sh has run: the jars, the launcher and a JVM are there."""
    return (bool(glob.glob(os.path.join(FLINK_DIR, "lib", ".version-*")))
            and os.path.exists(os.path.join(FLINK_DIR, "classes", "RunSql.class"))
            and shutil.which("java") is not None)


def _die_with_parent() -> None:
    """Has the kernel kill the JVM when the Python process that started it
    dies, however it dies, so that no JVM outlives an interrupted run."""
    pr_set_pdeathsig = 1
    ctypes.CDLL(None).prctl(pr_set_pdeathsig, signal.SIGKILL)


def run_script(script: str, workdir: str, timeout: float = 900) -> list[int]:
    """Runs the script's statements in order in one local Flink and returns
    the wall time of each job (each INSERT) in milliseconds."""
    path = os.path.join(workdir, "job.sql")
    with open(path, "w") as f:
        f.write(script)
    proc = subprocess.run(["java", "-cp", CLASSPATH, "RunSql", path], capture_output=True, text=True,
                          timeout=timeout, cwd=workdir, preexec_fn=_die_with_parent)
    if proc.returncode != 0:
        raise RuntimeError(f"Flink failed (exit {proc.returncode}):\n{proc.stderr[-4000:]}")
    return [int(line.split()[1]) for line in proc.stdout.splitlines() if line.startswith("job_ms ")]


def read_sink(directory: str) -> list[dict[str, Any]]:
    """The rows a file sink with the JSON format committed, in file order
    (files still in progress start with a dot and are left out)."""
    rows: list[dict[str, Any]] = []
    for path in sorted(glob.glob(os.path.join(directory, "**", "part-*"), recursive=True)):
        with open(path) as f:
            rows.extend(json.loads(line) for line in f if line.strip())
    return rows
