"""Runs the `rbo` command with `--out r.json` in a scratch folder and reads
what it wrote: shared by the comparison scripts of bench/."""
import json
import os
import subprocess
import tempfile
import time


def run_json(rbo, args):
    """(the JSON document or None, wall seconds, stderr when nothing was written)"""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "r.json")
        start = time.perf_counter()
        proc = subprocess.run([rbo] + args + ["--quiet", "--out", out], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
        seconds = time.perf_counter() - start
        if not os.path.exists(out):
            return None, seconds, proc.stderr.strip()
        with open(out) as f:
            return json.load(f), seconds, ""
