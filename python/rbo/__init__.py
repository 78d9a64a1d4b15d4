"""rbo: reliability-based design optimisation from Python.

    import rbo
    problem = rbo.load("examples/linear.json")      # or rbo.Problem({...})
    result = problem.run(method="form")
    result.points[0].responses["g"].pof

An analysis can be a Python function of a batch of points (a dict of numpy
arrays in, a dict of arrays out).  See docs/python.md.
"""

from ._rbo import BATCH_COLUMNS
from .errors import AnalysisError, Error, EvaluationError, LibraryError, ProblemError
from .problem import Problem, load
from .results import HistoryEntry, OptimizationResult, PointResult, ResponseResult, Result

__all__ = ["AnalysisError", "BATCH_COLUMNS", "Error", "EvaluationError", "HistoryEntry", "LibraryError",
           "OptimizationResult", "PointResult", "Problem", "ProblemError", "ResponseResult", "Result", "load"]
