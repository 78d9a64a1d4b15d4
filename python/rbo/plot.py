"""Figures of results (matplotlib); each function returns a Figure.

    histogram(result, response)   analysed values of a sampling run with its
                                  bounds and the failure region shaded
                                  (run(..., keep_samples=True))
    convergence(result)           running POF and its 95 % band per batch
                                  (run(..., until_converged=True))
    history(opt_result)           objective, largest violation and POFs per
                                  proposed design
    importance(result, response)  FORM importance factors (form, sorm, is)
    pofs(result)                  POF with its 95 % interval per design point

From the command line, ``python3 -m rbo.plot results.json --out DIR`` draws
what a JSON file of ``rbo run --out`` or ``rbo optimize --out`` holds, as
PNG and SVG.
"""

import argparse
import json
import math
import os
import re
import sys

import matplotlib

if "MPLBACKEND" not in os.environ and not os.environ.get("DISPLAY") and not os.environ.get("WAYLAND_DISPLAY"):
    matplotlib.use("Agg")  # no display: draw into files

import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)

from .results import OptimizationResult, Result  # noqa: E402

FAIL_COLOR = "#d62728"
BAND_COLOR = "#1f77b4"


def _as_result(result):
    if isinstance(result, (Result, OptimizationResult)):
        return result
    if isinstance(result, dict):
        return OptimizationResult(result) if "history" in result else Result(result)
    raise TypeError(f"a result of rbo (or its to_dict()) is wanted, not {type(result).__name__}")


def _fmt(p):
    return "n/a" if p is None else f"{p:.4g}"


def histogram(result, response, point=0, bins=60):
    """The analysed values of a response at the samples of a design point,
    with its bounds and the failure region (beyond them) shaded, and the
    POF with its 95 % interval in the title.  Needs a result of
    run(keep_samples=True): the statistics alone do not give the shape."""
    values = result.samples_of(response, point)
    lower, upper = result.bounds.get(response, (None, None))
    fig, ax = plt.subplots(figsize=(6.4, 4.0), layout="constrained")
    counts, edges, _ = ax.hist(values, bins=bins, density=True, color="#7f7f7f", alpha=0.75, label="samples")
    lo_edge, hi_edge = min(edges[0], lower if lower is not None else edges[0]), max(
        edges[-1], upper if upper is not None else edges[-1])
    for bound, side in ((lower, "lower"), (upper, "upper")):
        if bound is None:
            continue
        ax.axvline(bound, color=FAIL_COLOR, linewidth=1.5, label=f"{side} bound {bound:g}")
        if side == "lower":
            ax.axvspan(lo_edge, bound, color=FAIL_COLOR, alpha=0.12, label="failure region")
        else:
            ax.axvspan(bound, hi_edge, color=FAIL_COLOR, alpha=0.12,
                       label="failure region" if lower is None else None)
    ax.set_xlim(lo_edge, hi_edge)
    stats = result.points[point].responses[response]
    title = f"{response} at design point {point + 1}: {len(values):,} samples"
    if stats.pof is not None:
        title += f", POF {_fmt(stats.pof)}"
        if stats.pof_95:
            title += f" [{_fmt(stats.pof_95[0])}, {_fmt(stats.pof_95[1])}]"
    ax.set_title(title, fontsize=10)
    ax.set_xlabel(response)
    ax.set_ylabel("density")
    ax.legend(fontsize=8)
    return fig


def _batches(result):
    result = _as_result(result)
    if not isinstance(result, Result) or not all(p.batches for p in result.points):
        raise ValueError("convergence needs a run until converged (run(until_converged=True) or "
                         "`rbo run --until-converged --out FILE.json`)")
    return result


def convergence(result, response=None):
    """Running POF of the bounded responses (or the chosen one) after every
    batch, with its 95 % band, one panel per design point; samples on a log
    axis."""
    result = _batches(result)
    names = [name for name, r in result.points[0].responses.items()
             if r.pof is not None and (response is None or name == response)]
    if not names:
        raise ValueError(f"no bounded response {response!r} with a POF in this result" if response else
                         "no response of this result has a POF (a bound)")
    n = len(result.points)
    fig, axes = plt.subplots(n, 1, figsize=(6.4, 2.8 * n + 0.6), squeeze=False, layout="constrained")
    for ax, point, j in zip(axes[:, 0], result.points, range(n)):
        for k, name in enumerate(names):
            color = f"C{k}"
            x = [b["samples"] for b in point.batches]
            y = [b["responses"][name]["pof"] for b in point.batches]
            band = [b["responses"][name].get("pof_95", [math.nan, math.nan]) for b in point.batches]
            ax.fill_between(x, [lo for lo, _ in band], [hi for _, hi in band], color=color, alpha=0.2,
                            label=f"{name}: 95 % interval")
            ax.plot(x, y, marker="o", markersize=3, color=color, label=f"{name}: POF")
        ax.set_xscale("log")
        ax.set_ylabel("POF")
        state = "converged" if point.converged else "not converged"
        design = ", ".join(f"{k} = {v:g}" for k, v in point.design.items())
        ax.set_title(f"design point {j + 1} ({design}): {state}", fontsize=10)
        ax.legend(fontsize=8)
    axes[-1, 0].set_xlabel("samples")
    return fig


def _pof_bounds(constraint_names):
    """{response: POF bound} of constraints "g.pof <= 0.001"."""
    bounds = {}
    for c in constraint_names:
        m = re.match(r"^(.+)\.pof <= (\S+)$", c)
        if m:
            bounds[m.group(1)] = float(m.group(2))
    return bounds


def history(opt_result):
    """The objective, the largest scaled violation (feasible at or below 0)
    and the POF of every random response per proposed design; infeasible
    designs are marked, bounds on the POFs drawn."""
    opt = _as_result(opt_result)
    if not isinstance(opt, OptimizationResult):
        raise TypeError("history needs the result of an optimisation")
    it = [h.iteration for h in opt.history]
    responses = [name for name in (opt.history[0].responses if opt.history else {})
                 if opt.history[0].responses[name].pof is not None]
    panels = 3 if responses else 2
    fig, axes = plt.subplots(panels, 1, sharex=True, figsize=(6.4, 2.3 * panels + 0.6), layout="constrained")
    infeasible = [h.iteration for h in opt.history if not h.feasible]

    ax = axes[0]
    ax.plot(it, [h.objective for h in opt.history], marker="o", markersize=3, label="objective")
    ax.plot(infeasible, [h.objective for h in opt.history if not h.feasible], "x", color=FAIL_COLOR,
            label="infeasible")
    ax.set_ylabel("objective")
    ax.set_title(f"optimisation ({opt.optimizer}): {'feasible' if opt.feasible else 'infeasible'} optimum, "
                 f"{opt.analyses:,} analyses", fontsize=10)
    ax.legend(fontsize=8)

    ax = axes[1]
    ax.plot(it, [h.max_violation for h in opt.history], marker="o", markersize=3, color="C1")
    ax.axhline(0.0, color="k", linewidth=0.8, linestyle="--", label="feasible at or below 0")
    ax.set_yscale("symlog", linthresh=1e-3)
    ax.set_ylabel("largest violation")
    ax.legend(fontsize=8)

    if responses:
        ax = axes[2]
        bounds = _pof_bounds(opt.constraint_names)
        for k, name in enumerate(responses):
            ax.plot(it, [max(h.responses[name].pof, 1e-300) for h in opt.history], marker="o", markersize=3,
                    color=f"C{k + 2}", label=f"P({name})")
            if name in bounds:
                ax.axhline(bounds[name], color=f"C{k + 2}", linestyle="--", linewidth=1,
                           label=f"bound on P({name})")
        ax.set_yscale("log")
        ax.set_ylabel("POF")
        ax.legend(fontsize=8)
    axes[-1].set_xlabel("proposed design")
    return fig


def importance(result, response, point=0):
    """The importance factors of the random variables for a response at a
    design point (their shares of the reliability index, summing to 1), as
    FORM, SORM and importance sampling give them."""
    result = _as_result(result)
    r = result.points[point].responses[response]
    if not r.importance:
        raise ValueError(f"the result holds no importance factors for {response!r}: run with method form, sorm or is")
    items = sorted(r.importance.items(), key=lambda kv: kv[1])
    fig, ax = plt.subplots(figsize=(6.4, 0.45 * len(items) + 1.6), layout="constrained")
    ax.barh([k for k, _ in items], [v for _, v in items], color=BAND_COLOR)
    for y, (_, v) in enumerate(items):
        ax.text(v, y, f" {v:.3f}", va="center", fontsize=8)
    ax.set_xlim(0, 1.1)
    ax.set_xlabel("importance factor (share of the reliability index)")
    beta = f", beta {r.beta:.4g}" if r.beta is not None else ""
    ax.set_title(f"{response} at design point {point + 1}: POF {_fmt(r.pof)}{beta}", fontsize=10)
    return fig


def pofs(result):
    """The POF of every bounded response at every design point, with its
    95 % interval where it is a fraction of samples; log axis."""
    result = _as_result(result)
    if not isinstance(result, Result) or not result.points:
        raise TypeError("pofs needs the result of a run")
    names = [n for n, r in result.points[0].responses.items() if r.pof is not None]
    if not names:
        raise ValueError("no response of this result has a POF (a bound)")
    fig, ax = plt.subplots(figsize=(6.4, 4.0), layout="constrained")
    x = range(1, len(result.points) + 1)
    for k, name in enumerate(names):
        p = [pt.responses[name].pof for pt in result.points]
        shown = [v if v and v > 0 else math.nan for v in p]
        ci = [pt.responses[name].pof_95 for pt in result.points]
        if all(ci):
            err = [[max(v - lo, 0) if v == v else 0 for v, (lo, _) in zip(shown, ci)],
                   [max(hi - v, 0) if v == v else 0 for v, (_, hi) in zip(shown, ci)]]
            ax.errorbar(x, shown, yerr=err, fmt="o", capsize=4, color=f"C{k}", label=f"P({name}) with 95 % interval")
        else:
            ax.plot(x, shown, "o", color=f"C{k}", label=f"P({name})")
    ax.set_yscale("log")
    ax.set_xticks(list(x))
    ax.set_xlabel("design point")
    ax.set_ylabel("POF")
    ax.set_title(f"{result.title or 'run'}: method {result.method_name}", fontsize=10)
    ax.legend(fontsize=8)
    return fig


# ---------------------------------------------------------------- command line

def figures_of(doc):
    """(name, figure) of everything a JSON document of the command can show."""
    if "history" in doc:
        yield "history", history(OptimizationResult(doc))
        return
    result = Result(doc)
    if result.until_converged:
        yield "convergence", convergence(result)
        return
    if any(r.pof is not None for p in result.points for r in p.responses.values()):
        yield "pofs", pofs(result)
    for j, point in enumerate(result.points):
        for name, r in point.responses.items():
            if r.importance:
                yield f"importance-{name}-{j + 1}", importance(result, name, j)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m rbo.plot",
        description="Draws what a JSON file of `rbo run --out` or `rbo optimize --out` holds, as PNG and SVG: "
                    "an optimisation's history, a run's convergence (--until-converged), the POFs of a run's "
                    "design points and FORM importance factors.  Histograms need the samples, which the file "
                    "does not hold: use rbo.plot.histogram with run(keep_samples=True).")
    parser.add_argument("results", help="the JSON file")
    parser.add_argument("--out", default=".", help="folder for the figures (default: the current one)")
    args = parser.parse_args(argv)
    try:
        with open(args.results, encoding="utf-8") as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        print(f"rbo.plot: cannot read {args.results}: {e}", file=sys.stderr)
        return 2
    os.makedirs(args.out, exist_ok=True)
    written = []
    for name, fig in figures_of(doc):
        for ext in ("png", "svg"):
            path = os.path.join(args.out, f"{name}.{ext}")
            fig.savefig(path, dpi=110)
            written.append(path)
        plt.close(fig)
    if not written:
        print(f"rbo.plot: {args.results} holds nothing to draw (no POF, no batches, no history)", file=sys.stderr)
        return 1
    for path in written:
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
