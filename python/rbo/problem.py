"""Problems: read from a file (load) or given as a dict (Problem), run and
optimised as ``rbo run`` and ``rbo optimize`` do."""

import json
import os
from collections.abc import Mapping

from . import _rbo
from ._batch import make_invoke
from .results import OptimizationResult, Result

_MAX_SAMPLES = 100_000_000  # as the problem file and the command allow


def _json_default(value):
    if hasattr(value, "tolist"):  # numpy scalars and arrays
        return value.tolist()
    raise TypeError(f"{type(value).__name__} is not a value of a problem file")


def _whole(name, value, lo, hi):
    if isinstance(value, bool) or not isinstance(value, int) and not (hasattr(value, "__index__")):
        raise TypeError(f"{name} must be a whole number, not {value!r}")
    value = int(value)
    if not lo <= value <= hi:
        raise ValueError(f"{name} must be a whole number from {lo:,} to {hi:,}, not {value}")
    return value


def _positive(name, value):
    value = float(value)
    if not value > 0.0 or value == float("inf"):
        raise ValueError(f"{name} must be a positive number, not {value}")
    return value


def _method(method):
    if method is None:
        return None
    code = _rbo.parse_method(str(method))
    if code < 0:
        raise ValueError(f"method must be 0..4 or montecarlo, lhs, fo, surface-mc, surface-lhs, form, sorm, is, "
                         f"subset, sora, not {method!r}")
    return code


def _parallel(parallel):
    """(parallel, workers) of the settings."""
    if parallel is None or parallel is False:
        return False, 0
    if parallel is True:
        return True, 0
    return True, _whole("parallel", parallel, 1, 4096)


class Problem:
    """A problem: the structure of a problem file as a dict (``d`` may leave
    out ``"analysis"`` when ``run`` and ``optimize`` get an analysis).

    Raises ProblemError with every mistake found.
    """

    def __init__(self, d, *, _core=None):
        if _core is not None:
            self._core = _core
            return
        if not isinstance(d, Mapping):
            raise TypeError(f"Problem wants the problem as a dict, not {type(d).__name__}; rbo.load reads a file")
        text = json.dumps(d, default=_json_default, allow_nan=False)
        self._core = _rbo.parse(text, "", "(dict)")

    # ---- what the problem holds ----
    @property
    def title(self):
        return self._core.title

    @property
    def inputs(self):
        """The analysis' inputs, in order: every variable of the problem."""
        return list(self._core.variables)

    @property
    def responses(self):
        """The analysis' responses, in order."""
        return list(self._core.responses)

    @property
    def design_variables(self):
        """The variables the optimiser moves (the mean of a random design variable)."""
        return list(self._core.design_variables)

    @property
    def random_variables(self):
        return list(self._core.random_variables)

    @property
    def has_analysis(self):
        """True when the problem brings its own analysis (expressions or a program)."""
        return self._core.has_analysis

    @property
    def settings(self):
        """Method (code), samples, seed and the reliability methods' settings from the problem."""
        s = dict(self._core.settings)
        s["method_name"] = _rbo.method_name(s["method"])
        return s

    def __repr__(self):
        return f"Problem({self.title!r}, inputs={self.inputs}, responses={self.responses})"

    # ---- evaluating it ----
    def _settings(self, method, samples, seed, parallel, **reliability):
        s = {"method": _method(method)}
        if samples is not None:
            s["samples"] = _whole("samples", samples, 1, _MAX_SAMPLES)
        if seed is not None:
            s["seed"] = _whole("seed", seed, 0, 2**63 - 1)
        s["parallel"], s["workers"] = _parallel(parallel)
        s.update({k: v for k, v in reliability.items() if v is not None})
        return s

    def _invoke(self, analysis):
        if analysis is None:
            return None
        if not callable(analysis):
            raise TypeError(f"analysis must be a function of a batch (dict name -> array), not {analysis!r}")
        return make_invoke(analysis, self._core.variables, self._core.responses)

    def run(self, analysis=None, method=None, samples=None, seed=None, parallel=None, *, target_cov=None,
            max_analyses=None, starts=None, samples_per_level=None, until_converged=False, tol=0.1,
            max_samples=1_000_000, keep_samples=False):
        """Evaluates every design point of the problem, as ``rbo run`` does.

        analysis: a function of a batch (dict input name -> 1-D array) that
        returns a dict response name -> array of the same length (or a 2-D
        array, one row per response); None runs the problem's own analysis.
        It gets many points at once (all samples of a design point, in chunks
        of at most rbo.BATCH_COLUMNS), always from one thread: with parallel
        the parallelism is the function's own (vectorised numpy).

        method, samples, seed, parallel (True: every core; N: N workers)
        override the problem's settings; target_cov, max_analyses, starts and
        samples_per_level those of the reliability methods.  until_converged
        folds batches of samples until every 95 % interval is within tol of its
        estimate or max_samples are spent.  keep_samples keeps the analysed
        responses of a sampling run (Result.samples_of, rbo.plot.histogram).
        """
        if target_cov is not None:
            target_cov = _positive("target_cov", target_cov)
            if target_cov >= 1.0:
                raise ValueError(f"target_cov must be in (0, 1), not {target_cov}")
        settings = self._settings(
            method, samples, seed, parallel, target_cov=target_cov,
            max_analyses=None if max_analyses is None else _whole("max_analyses", max_analyses, 1, 10**12),
            starts=None if starts is None else _whole("starts", starts, 1, 1000),
            samples_per_level=None if samples_per_level is None else _whole("samples_per_level", samples_per_level,
                                                                            100, 10**7))
        tol = _positive("tol", tol)
        max_samples = _whole("max_samples", max_samples, 1, 10**12)
        text, kept = self._core.run(settings, self._invoke(analysis), bool(keep_samples), bool(until_converged), tol,
                                    max_samples)
        bounds = {name: (lower, upper) for name, (_, lower, upper) in self._core.response_bounds.items()}
        return Result(json.loads(text), bounds=bounds, kept=kept)

    def optimize(self, analysis=None, method=None, samples=None, seed=None, parallel=None, *, optimizer="auto",
                 max_evals=200, tol=None, verify_samples=None, refine=False, refine_cov=None):
        """Finds the best design, as ``rbo optimize`` does: the objective's
        optimum over the design variables within their bounds, subject to the
        constraints.  analysis, method, samples, seed and parallel as for run;
        optimizer: auto, slsqp, mma or cobyla; verify_samples re-evaluates the
        optimum with that many samples from a fresh stream.  method="sora":
        sequential optimisation and reliability assessment; refine corrects
        its active constraints by importance sampling (refine_cov: the c.o.v.
        of the deciding estimates, default 0.025)."""
        if optimizer not in _rbo.optimizer_names():
            raise ValueError(f"optimizer must be one of {', '.join(_rbo.optimizer_names())}, not {optimizer!r}")
        options = {"optimizer": optimizer, "max_evals": _whole("max_evals", max_evals, 1, 1_000_000),
                   "tol": None if tol is None else _positive("tol", tol),
                   "verify_samples": None if verify_samples is None else _whole("verify_samples", verify_samples,
                                                                                1, _MAX_SAMPLES),
                   "refine": bool(refine),
                   "refine_cov": None if refine_cov is None else _positive("refine_cov", refine_cov)}
        settings = self._settings(method, samples, seed, parallel)
        text = self._core.optimize(settings, self._invoke(analysis), options)
        return OptimizationResult(json.loads(text))


def load(path):
    """Reads a problem file (JSON, comments allowed); raises ProblemError
    with every mistake found, OSError when it cannot be read."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        text = f.read()
    return Problem(None, _core=_rbo.parse(text, path, path))
