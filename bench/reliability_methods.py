#!/usr/bin/python3
"""Runs every reliability method on the examples with known answers and
prints, per method and problem, the POF, its error against the reference,
the c.o.v., the analyses and the wall time: the table of
docs/reliability.md.

    /usr/bin/python3 bench/reliability_methods.py [build/rbo]
"""
import math
import os
import sys

from rbo_json import run_json

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples", "reliability")

# Reference POFs, each derived in the example's own comments.
PROBLEMS = [
    ("correlated-linear.json", "g", 0.5 * math.erfc(2.7735009811261456 / math.sqrt(2.0))),
    ("lognormal-resistance.json", "g", 3.262431892230365e-08),
    ("cubic.json", "g", 0.0057084613387944514),
    ("ten-variables.json", "s", 0.5 * math.erfc(5.2 / math.sqrt(2.0))),
    ("four-branch.json", "any", 0.002222795066194453),
]
METHODS = ["form", "sorm", "is", "subset"]


def run(rbo, problem, method):
    return run_json(rbo, ["run", os.path.join(EXAMPLES, problem), "--method", method])


def main():
    rbo = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "rbo")
    print("| problem | reference POF | method | POF | error | c.o.v. | analyses | time (s) |")
    # four-branch.json: the probability that any of the four branches fails.
    print("|---|---|---|---|---|---|---|---|")
    for problem, response, reference in PROBLEMS:
        for method in METHODS:
            result, seconds, err = run(rbo, problem, method)
            if result is None:
                print(f"| {problem} | {reference:.4g} | {method} | failed: {err} | | | | |")
                continue
            point = result["points"][0]
            if response == "any":  # the series system of all the responses
                pof, cov = point.get("any_pof"), point.get("any_cov")
                cov = None if method in ("form", "sorm") else cov
            else:
                pof, cov = point["responses"][response]["pof"], point["responses"][response].get("cov")
            error = "-" if pof is None else f"{(pof / reference - 1) * 100:+.1f} %"
            print(f"| {problem} | {reference:.4g} | {method} | {'not found' if pof is None else f'{pof:.4g}'} "
                  f"| {error} | {'-' if cov is None else f'{cov:.3f}'} | {point['analyses']:,} | {seconds:.2f} |")


if __name__ == "__main__":
    main()
