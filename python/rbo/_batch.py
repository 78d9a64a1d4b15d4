"""The bridge between the library's batches and a Python analysis.

The library hands over a matrix with one row per input and one column per
analysis point; the analysis gets a dict of 1-D arrays and returns a dict of
arrays (or a 2-D array in response order).  What it returns is checked here,
so that a mistake is reported with the response's name and the point.
"""

from collections.abc import Mapping

import numpy as np

from .errors import AnalysisError


def _describe(value):
    shape = np.shape(value)
    return "a scalar" if shape == () else "an array of shape " + str(shape)


def _point_inputs(batch, j):
    return {name: float(values[j]) for name, values in batch.items()}


def _rows_from_mapping(out, names, n, batch):
    missing = [r for r in names if r not in out]
    if missing:
        raise AnalysisError(
            f"the analysis returned no values for {', '.join(repr(r) for r in missing)} "
            f"(it returned {', '.join(repr(k) for k in out) or 'nothing'}) in a batch of {n} points",
            inputs=batch, response=missing[0])
    rows = []
    for r in names:
        try:
            a = np.asarray(out[r], dtype=float)
        except (TypeError, ValueError) as exc:
            raise AnalysisError(f"the analysis returned values for {r!r} that are not numbers: {exc}",
                                inputs=batch, response=r, python_message=str(exc)) from exc
        if a.shape != (n,):
            raise AnalysisError(
                f"the analysis returned {_describe(a)} for {r!r} in a batch of {n} points; "
                f"it must return one value per point (a 1-D array of {n})", inputs=batch, response=r)
        rows.append(a)
    return np.vstack(rows) if rows else np.empty((0, n))


def _rows_from_array(out, names, n, batch):
    try:
        a = np.asarray(out, dtype=float)
    except (TypeError, ValueError) as exc:
        raise AnalysisError(f"the analysis returned something that is not an array of numbers: {exc}",
                            inputs=batch, python_message=str(exc)) from exc
    if a.ndim == 1 and len(names) == 1:
        a = a[np.newaxis, :]
    if a.shape != (len(names), n):
        raise AnalysisError(
            f"the analysis returned {_describe(a)} in a batch of {n} points; it must return a dict "
            f"{{response: array}} or an array of shape ({len(names)}, {n}), one row per response "
            f"({', '.join(names)})", inputs=batch)
    return a


def _check_finite(y, names, batch):
    bad = ~np.isfinite(y)
    if not bad.any():
        return
    j = int(np.argmax(bad.any(axis=0)))  # the first point with a bad value
    k = int(np.argmax(bad[:, j]))
    raise AnalysisError(
        f"the analysis returned {y[k, j]} for {names[k]!r} at point {j} of a batch of {y.shape[1]} "
        f"(inputs {', '.join(f'{name} = {value:.10g}' for name, value in _point_inputs(batch, j).items())}); "
        "every value must be a finite number", point=j, inputs=_point_inputs(batch, j), response=names[k])


def make_invoke(analysis, input_names, response_names):
    """The function the library calls with each batch: inputs x points in,
    responses x points out."""
    input_names = list(input_names)
    response_names = list(response_names)

    def invoke(x):
        n = x.shape[1]
        batch = {name: x[i] for i, name in enumerate(input_names)}
        try:
            out = analysis(batch)
        except Exception as exc:
            raise AnalysisError(
                f"the analysis raised {type(exc).__name__}: {exc} (on a batch of {n} points; "
                "AnalysisError.inputs holds its inputs)",
                inputs=batch, python_message=str(exc)) from exc
        if isinstance(out, Mapping):
            y = _rows_from_mapping(out, response_names, n, batch)
        else:
            y = _rows_from_array(out, response_names, n, batch)
        _check_finite(y, response_names, batch)
        return np.ascontiguousarray(y)

    return invoke
