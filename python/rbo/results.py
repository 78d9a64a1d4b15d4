"""Results of runs and optimisations.

Each result is built from the JSON document the ``rbo`` command writes with
``--out``: ``to_dict()`` returns that document, and the attributes are views
of it (None where the method gives no such value).
"""

import copy


class ResponseResult:
    """Statistics of one response at one design point.

    A random response has ``mean``, ``sd`` and, with a bound, ``pof`` (and
    ``pof_95``, the 95 % interval of a sampled POF); the reliability methods
    add ``beta``, ``cov``, ``design_point`` and ``importance``.  A
    deterministic response has its ``value`` (also in ``mean``).
    """

    def __init__(self, name, d):
        self.name = name
        self._d = d
        self.random = "value" not in d
        self.value = d.get("value")
        self.mean = d.get("mean", self.value)
        self.sd = d.get("sd")
        self.pof = d.get("pof")
        self.pof_95 = tuple(d["pof_95"]) if "pof_95" in d else None
        self.beta = d.get("beta")
        self.cov = d.get("cov")
        self.design_point = d.get("design_point")
        self.importance = d.get("importance")
        self.sorm = d.get("sorm")
        self.note = d.get("note")

    def to_dict(self):
        return copy.deepcopy(self._d)

    def __repr__(self):
        if not self.random:
            return f"ResponseResult({self.name!r}, value={self.value!r})"
        return f"ResponseResult({self.name!r}, mean={self.mean!r}, sd={self.sd!r}, pof={self.pof!r})"


class PointResult:
    """One evaluated design point: ``design`` (name to value), ``objective``,
    ``constraint`` (the largest scaled violation, <= 0 when every constraint
    holds), ``responses`` (name to ResponseResult) and ``analyses``.  A point
    of a run until converged also has ``batches`` (the running statistics
    after each batch, as dicts), ``converged`` and ``reason``; its responses
    are those after the last batch."""

    def __init__(self, d):
        self._d = d
        self.design = dict(d.get("design", {}))
        self.objective = d.get("objective")
        self.constraint = d.get("constraint")
        self.batches = d.get("batches")
        self.converged = d.get("converged")
        self.reason = d.get("reason")
        last = self.batches[-1] if self.batches else d
        self.responses = {name: ResponseResult(name, r) for name, r in last.get("responses", {}).items()}
        self.any_fraction = last.get("any_fraction")
        self.joint_fraction = last.get("joint_fraction")
        self.any_pof = d.get("any_pof")
        self.complete = d.get("complete")
        self.analyses = d.get("analyses", last.get("samples"))

    def to_dict(self):
        return copy.deepcopy(self._d)

    def __repr__(self):
        return f"PointResult(design={self.design!r}, responses={list(self.responses.values())!r})"


class Result:
    """The result of ``Problem.run``: ``points`` (one PointResult per design
    point), the settings (``method``, ``method_name``, ``samples``, ``seed``),
    ``analyses`` and ``to_dict()``, the command's JSON document."""

    def __init__(self, d, bounds=None, kept=None):
        self._d = d
        self.title = d.get("title")
        self.method = d.get("method")
        self.method_name = d.get("method_name")
        self.samples = d.get("samples")
        self.seed = d.get("seed")
        self.points = [PointResult(p) for p in d.get("points", [])]
        self.until_converged = "batch_samples" in d
        if "analyses" in d:
            self.analyses = d["analyses"]
        else:
            self.analyses = sum(p.analyses or 0 for p in self.points)
        self.bounds = dict(bounds or {})
        self._kept = kept

    def to_dict(self):
        return copy.deepcopy(self._d)

    @property
    def has_samples(self):
        """True when the run kept its samples (run(keep_samples=True))."""
        return self._kept is not None

    def samples_of(self, response, point=0):
        """The analysed values of a response at the samples of a design point
        (0-based), as a numpy array; only after run(keep_samples=True)."""
        if self._kept is None:
            raise ValueError("this result holds no samples: run with keep_samples=True (montecarlo or lhs)")
        data, names, counts = self._kept
        if response not in names:
            raise KeyError(f"no response {response!r}; the responses are {', '.join(names)}")
        start = sum(counts[:point])
        return data[names.index(response), start:start + counts[point]]

    def __repr__(self):
        return f"Result(method={self.method_name!r}, points={len(self.points)}, analyses={self.analyses})"


class HistoryEntry:
    """One design point the optimiser proposed: ``iteration``, ``x``,
    ``objective``, ``max_violation``, ``constraints``, ``feasible``,
    ``responses`` (name to ResponseResult of the random responses),
    ``analyses`` (so far) and ``seconds``."""

    def __init__(self, d):
        self._d = d
        self.iteration = d.get("iteration")
        self.x = dict(d.get("x", {}))
        self.objective = d.get("objective")
        self.max_violation = d.get("max_violation")
        self.constraints = list(d.get("constraints", []))
        self.feasible = d.get("feasible")
        self.responses = {r["name"]: ResponseResult(r["name"], r) for r in d.get("responses", [])}
        self.any_fraction = d.get("any_fraction")
        self.joint_fraction = d.get("joint_fraction")
        # sora gives the analyses per stage, with their total.
        analyses = d.get("analyses")
        self.analyses = analyses.get("total") if isinstance(analyses, dict) else analyses
        self.analyses_by_stage = analyses if isinstance(analyses, dict) else None
        self.seconds = d.get("seconds")

    def to_dict(self):
        return copy.deepcopy(self._d)

    def __repr__(self):
        return (f"HistoryEntry(iteration={self.iteration}, objective={self.objective!r}, "
                f"max_violation={self.max_violation!r}, feasible={self.feasible})")


class OptimizationResult:
    """The result of ``Problem.optimize``: the optimum ``x`` (name to value),
    its ``objective``, ``feasible``, the statistics at the optimum
    (``optimum``, a HistoryEntry), ``history`` (every proposed design with its
    statistics), ``analyses``, ``verification`` (the optimum re-evaluated by a
    larger sample, or None), ``stop_reason``, ``no_optimum`` and ``to_dict()``,
    the command's JSON document."""

    def __init__(self, d):
        self._d = d
        self.optimum = HistoryEntry(d.get("optimum", {}))
        self.x = self.optimum.x
        self.objective = self.optimum.objective
        self.feasible = d.get("feasible")
        self.no_optimum = d.get("no_optimum")
        self.stop_reason = d.get("stop_reason")
        self.optimizer = d.get("optimizer")
        self.method = d.get("method")
        self.constraint_names = [c["subject"] if isinstance(c, dict) else c for c in d.get("constraints", [])]
        self.warnings = list(d.get("warnings", []))
        self.history = [HistoryEntry(h) for h in d.get("history", [])]
        self.analyses = d.get("analyses")
        self.evaluations = d.get("evaluations")
        v = d.get("verification")
        self.verification = HistoryEntry(v["point"]) if v else None

    def to_dict(self):
        return copy.deepcopy(self._d)

    def __repr__(self):
        return (f"OptimizationResult(x={self.x!r}, objective={self.objective!r}, feasible={self.feasible}, "
                f"analyses={self.analyses})")
