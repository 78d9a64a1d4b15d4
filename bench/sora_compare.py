#!/usr/bin/python3
"""Compares the optimisers of `rbo optimize` on the literature problems of
examples/optimize/: first order at the means (method fo), sequential
optimisation and reliability assessment (sora), and sora refined by
importance sampling (sora --refine).  For every optimum it prints the cost,
its distance from the exact-probability optimum, the true POF of every
active constraint (by the quadratures of bench/exact_optima.py, independent
of the C++ code), the analyses and the wall time: the table of
docs/optimization.md.

    /usr/bin/python3 bench/sora_compare.py [build/rbo]
"""
import json
import os
import re
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import exact_optima as ex  # noqa: E402
from rbo_json import run_json  # noqa: E402

EXAMPLES = os.path.join(HERE, "..", "examples", "optimize")
RUNS = [("fo", ["--method", "fo"]), ("sora", ["--method", "sora"]), ("sora --refine", ["--method", "sora", "--refine"])]


def design_order(path):
    """Design variables, then random design variables, as the problem file lists them."""
    text = re.sub(r"^\s*//.*$", "", open(path).read(), flags=re.M)
    problem = json.loads(text)
    names = [d["name"] for d in problem.get("design_variables", [])]
    return names + [r["name"] for r in problem.get("random_variables", []) if r.get("design")]


def optimise(rbo, path, args):
    return run_json(rbo, ["optimize", path] + args)


def main():
    rbo = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "rbo")
    ex.set_orders(True)
    problems = [ex.YounChoi(0.3, 3.0), ex.YounChoi(0.6, 2.0), ex.Cantilever(), ex.ShortColumn(), ex.SpeedReducer()]
    print("| problem | optimiser | cost | vs exact optimum | true POF / target - 1, active constraints | analyses "
          "| time (s) |")
    print("|---|---|---|---|---|---|---|")
    for prob in problems:
        path = os.path.join(EXAMPLES, prob.file)
        names = design_order(path)
        d_form, _, _, _ = ex.form_optimum(prob)
        d_exact, _ = ex.exact_optimum(prob, d_form)
        exact_cost = prob.cost(d_exact)
        active = [i for i, p in enumerate(ex.pofs(prob, d_exact)) if abs(p / prob.targets[i] - 1) < 1e-3]
        for label, args in RUNS:
            result, seconds, err = optimise(rbo, path, args)
            if result is None or "optimum" not in result:
                print(f"| {prob.file} | {label} | failed: {err[:80]} | | | | {seconds:.2f} |")
                continue
            x = result["optimum"]["x"]
            d = np.array([x[n] for n in names])
            pofs = ex.pofs(prob, d)
            cost = prob.cost(d)
            excess = ", ".join(f"{prob.labels[i]} {pofs[i] / prob.targets[i] - 1:+.1%}" for i in active)
            analyses = result["analyses"]["total"] if isinstance(result["analyses"], dict) else result["analyses"]
            print(f"| {prob.file} | {label} | {cost:.6g} | {cost / exact_cost - 1:+.3%} | {excess} | {analyses:,} "
                  f"| {seconds:.2f} |")


if __name__ == "__main__":
    main()
