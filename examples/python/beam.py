"""A Python limit state through rbo: the beam of examples/nonlinear.json,
its analysis a vectorised numpy function.

    PYTHONPATH=build/python python3 examples/python/beam.py [FIGURE_FOLDER]

Exact answers at Z = 40 (all variables lognormal, see nonlinear.json):
P(g < 0) = 0.0222599, P(stress > 35) = 0.0411703.
"""

import sys

import rbo
import rbo.plot

problem = rbo.Problem({
    "title": "Beam in bending, analysed in Python",
    "random_variables": [
        {"name": "Y", "distribution": "lognormal", "mean": 40, "sd": 5},      # yield strength [ksi]
        {"name": "Z", "distribution": "lognormal", "mean": 40, "sd": 2,       # plastic modulus [in^3]
         "design": True, "lower": 20, "upper": 120},
        {"name": "M", "distribution": "lognormal", "mean": 1000, "sd": 200},  # applied moment [kip in]
    ],
    "responses": [{"name": "g", "lower": 0}, {"name": "stress", "upper": 35}],
    "constraints": [{"subject": "g.pof", "upper": 0.001, "scale": 0.001},
                    {"subject": "stress.pof", "upper": 0.01, "scale": 0.01}],
    "objective": {"minimize": {"Z": 1}},
    "method": "lhs", "samples": 20000, "seed": 7,
})


def beam(x):
    """One call per batch: x["Y"], x["Z"], x["M"] are arrays of equal length."""
    return {"g": x["Y"] * x["Z"] - x["M"], "stress": x["M"] / x["Z"]}


form = problem.run(beam, method="form")
g = form.points[0].responses["g"]
print(f"FORM  P(g) = {g.pof:.6g}  beta = {g.beta:.5f}  importance "
      + ", ".join(f"{k} {v:.3f}" for k, v in g.importance.items()))
print(f"FORM  {form.analyses} analyses")

lhs = problem.run(beam, keep_samples=True)
for name, r in lhs.points[0].responses.items():
    print(f"LHS   P({name}) = {r.pof:.6g}  95 % [{r.pof_95[0]:.4g}, {r.pof_95[1]:.4g}]")

converged = problem.run(beam, method="montecarlo", samples=5000, until_converged=True, tol=0.1)
point = converged.points[0]
print(f"until converged: {point.reason}")

opt = problem.optimize(beam, verify_samples=200000)
print(f"optimum Z = {opt.x['Z']:.4f}, feasible {opt.feasible}, {len(opt.history)} designs, {opt.analyses:,} analyses")
v = opt.verification.responses
print(f"verified with 200,000 samples: P(g) = {v['g'].pof:.3g}, P(stress) = {v['stress'].pof:.3g}")

if len(sys.argv) > 1:
    folder = sys.argv[1]
    figures = {
        "python-histogram": rbo.plot.histogram(lhs, "g"),
        "python-convergence": rbo.plot.convergence(converged),
        "python-history": rbo.plot.history(opt),
        "python-importance": rbo.plot.importance(form, "g"),
    }
    for name, fig in figures.items():
        fig.savefig(f"{folder}/{name}.png", dpi=80)
        print(f"{folder}/{name}.png")
