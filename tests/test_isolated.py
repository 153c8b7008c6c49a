"""Runs the `isolated` scenarios (abandoned coroutines collected by the garbage collector, which a fault
in the runtime would turn into a crash) in a fresh interpreter, so a crash fails this test alone."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
FILES = [
    "test_coroutine_gc.py",
    "test_runtime.py",
    "test_runtime_hostile.py",
    "test_runtime_oracle.py",
    "test_ws_session_streams.py",
    "test_ws_manager.py",
    "test_ws_leaks.py",
]


@pytest.mark.timeout(900)  # every isolated scenario of the suite, in one process: on a loaded machine, minutes
def test_scenarios_that_could_crash_the_interpreter_pass_in_one_of_their_own():
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "-m",
            "isolated",
            *(str(HERE / f) for f in FILES),
        ],
        cwd=HERE.parent,
        env={**os.environ, "TAVRIN_ISOLATED": "1"},
        capture_output=True,
        text=True,
        timeout=840,
    )
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout[-8000:]}\n{proc.stderr[-4000:]}"
    assert " passed" in proc.stdout and "skipped" not in proc.stdout, proc.stdout[-2000:]
