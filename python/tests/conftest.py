"""Shared fixtures: the `rbo` command and the examples of the tree."""

import json
import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def examples():
    return pathlib.Path(os.environ.get("RBO_EXAMPLES", ROOT / "examples"))


@pytest.fixture(scope="session")
def command():
    """Runs the `rbo` command with --out into tmp and returns the JSON it wrote."""
    exe = os.environ.get("RBO_EXECUTABLE", str(ROOT / "build" / "rbo"))
    if not os.path.exists(exe):
        pytest.skip(f"the rbo command is not built ({exe})")

    def run(tmp_path, *args):
        out = tmp_path / "command.json"
        done = subprocess.run([exe, *map(str, args), "--quiet", "--out", str(out)], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return json.loads(out.read_text())

    return run


def without_timings(doc):
    """The document without its wall-clock times, which differ between any two runs."""
    if isinstance(doc, dict):
        return {k: without_timings(v) for k, v in doc.items() if k != "seconds"}
    if isinstance(doc, list):
        return [without_timings(v) for v in doc]
    return doc
