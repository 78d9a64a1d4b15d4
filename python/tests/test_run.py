"""Runs and optimisations through the module against the `rbo` command and
closed forms."""

import math
import threading

import numpy as np
import pytest

import rbo
from conftest import without_timings


def phi(z):
    """Standard normal distribution function (from the C library's erfc)."""
    return 0.5 * math.erfc(-z / math.sqrt(2.0))


def linear(batch):
    return {"g": batch["R"] - batch["S"]}


def beam(batch):
    return {"g": batch["Y"] * batch["Z"] - batch["M"], "stress": batch["M"] / batch["Z"]}


# problem file, command options, keyword arguments of run, a Python analysis
# that computes what the file's expressions do (exactly: one rounding each)
RUN_CASES = [
    ("linear.json", [], {}, linear),
    ("linear.json", ["--method", "montecarlo", "--samples", "5000", "--seed", "3"],
     {"method": "montecarlo", "samples": 5000, "seed": 3}, linear),
    ("linear.json", ["--method", "form"], {"method": "form"}, linear),
    ("linear.json", ["--method", "is", "--target-cov", "0.1"], {"method": "is", "target_cov": 0.1}, linear),
    ("linear.json", ["--method", "fo"], {"method": "fo"}, linear),
    ("linear.json", ["--until-converged", "--samples", "2000", "--method", "0"],
     {"until_converged": True, "samples": 2000, "method": 0}, linear),
    ("nonlinear.json", [], {}, beam),
    ("nonlinear.json", ["--method", "sorm"], {"method": "sorm"}, beam),
]


@pytest.mark.parametrize("file,args,kwargs,analysis", RUN_CASES)
def test_run_gives_the_commands_numbers(tmp_path, examples, command, file, args, kwargs, analysis):
    path = str(examples / file)
    expected = command(tmp_path, "run", path, *args)
    problem = rbo.load(path)
    assert problem.run(**kwargs).to_dict() == expected
    # The same numbers again with the analysis in Python, on batches.
    assert problem.run(analysis, **kwargs).to_dict() == expected


@pytest.mark.parametrize("args,kwargs", [
    (["--method", "fo"], {"method": "fo"}),
    (["--samples", "4000", "--verify-samples", "20000"], {"samples": 4000, "verify_samples": 20000}),
    (["--method", "sora", "--refine"], {"method": "sora", "refine": True}),
])
def test_optimize_gives_the_commands_numbers(tmp_path, examples, command, args, kwargs):
    path = str(examples / "linear.json")
    expected = without_timings(command(tmp_path, "optimize", path, *args))
    problem = rbo.load(path)
    assert without_timings(problem.optimize(**kwargs).to_dict()) == expected
    assert without_timings(problem.optimize(linear, **kwargs).to_dict()) == expected


LINEAR = {
    "title": "g = R - S",
    "random_variables": [
        {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5, "design": True, "lower": 5, "upper": 20},
        {"name": "S", "distribution": "normal", "mean": 5, "sd": 2},
    ],
    "responses": [{"name": "g", "lower": 0}],
    "constraints": [{"subject": "g.pof", "upper": 0.00135, "scale": 0.00135}],
    "objective": {"minimize": {"R": 1}},
}


def test_a_python_limit_state_gives_the_exact_form_result():
    result = rbo.Problem(LINEAR).run(linear, method="form")
    g = result.points[0].responses["g"]
    # beta = (10 - 5) / sqrt(1.5^2 + 2^2) = 2; importance = sd^2 / 6.25
    assert g.beta == pytest.approx(2.0, rel=1e-9)
    assert g.pof == pytest.approx(phi(-2.0), rel=1e-8)
    assert g.importance["R"] == pytest.approx(2.25 / 6.25, rel=1e-9)
    assert g.importance["S"] == pytest.approx(4.0 / 6.25, rel=1e-9)
    assert result.points[0].analyses == result.analyses > 0


def test_a_python_optimisation_finds_the_exact_optimum():
    opt = rbo.Problem(LINEAR).optimize(linear, method="fo")
    # P(g < 0) = Phi(-(muR - 5) / 2.5) = 0.00135 at muR = 5 + 2.5 * 3.0
    assert opt.feasible
    assert opt.x["R"] == pytest.approx(5.0 + 2.5 * -_normal_quantile(0.00135), rel=1e-4)
    assert opt.objective == opt.x["R"]
    assert len(opt.history) == opt.evaluations
    assert opt.history[0].responses["g"].pof == pytest.approx(phi(-2.0), rel=1e-6)


def _normal_quantile(p):
    lo, hi = -10.0, 10.0
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if phi(mid) < p else (lo, mid)
    return 0.5 * (lo + hi)


def test_the_analysis_gets_batches_in_chunks_from_the_calling_thread():
    sizes, threads = [], set()

    def analysis(batch):
        sizes.append(len(batch["R"]))
        threads.add(threading.get_ident())
        return linear(batch)

    samples = 3 * rbo.BATCH_COLUMNS // 2
    rbo.Problem(LINEAR).run(analysis, method="lhs", samples=samples, parallel=True)
    # one design point: all its samples, in chunks of at most BATCH_COLUMNS
    assert sizes == [rbo.BATCH_COLUMNS, samples - rbo.BATCH_COLUMNS]
    assert threads == {threading.get_ident()}


def test_kept_samples_are_those_of_the_statistics():
    result = rbo.Problem(LINEAR).run(linear, method="montecarlo", samples=20000, seed=5, keep_samples=True)
    values = result.samples_of("g")
    g = result.points[0].responses["g"]
    assert values.shape == (20000,)
    assert np.mean(values) == pytest.approx(g.mean, rel=1e-12)
    assert np.count_nonzero(values < 0.0) / values.size == g.pof
    # the sample is a sample of N(5, 2.5): its mean within 4 standard errors
    assert abs(np.mean(values) - 5.0) < 4 * 2.5 / math.sqrt(values.size)


def test_two_problems_in_one_session_give_what_each_gives_alone(tmp_path, examples, command):
    linear_file, beam_file = str(examples / "linear.json"), str(examples / "nonlinear.json")
    first = rbo.load(linear_file).run(method="fo").to_dict()
    assert rbo.load(beam_file).run(method="fo").to_dict() == command(tmp_path, "run", beam_file, "--method", "fo")
    assert rbo.load(linear_file).run(method="fo").to_dict() == first


def raises(batch):
    raise ZeroDivisionError("boom")


BAD_ANALYSES = [
    # analysis, the response named, the text the message holds
    (lambda b: {"g": (b["R"] - b["S"])[:-1]}, "g", "one value per point"),
    (lambda b: {"h": b["R"]}, "g", "no values for 'g'"),
    (lambda b: {"g": "many"}, "g", "not numbers"),
    (lambda b: np.vstack([b["R"], b["S"]]), None, "one row per response"),
]


@pytest.mark.parametrize("analysis,response,text", BAD_ANALYSES)
def test_an_analysis_with_the_wrong_outputs_is_reported(analysis, response, text):
    with pytest.raises(rbo.AnalysisError, match=text) as info:
        rbo.Problem(LINEAR).run(analysis, samples=1000)
    assert info.value.response == response


def test_an_analysis_that_raises_is_reported_with_its_batch():
    with pytest.raises(rbo.AnalysisError, match="ZeroDivisionError: boom") as info:
        rbo.Problem(LINEAR).run(raises, samples=1000)
    e = info.value
    assert isinstance(e.__cause__, ZeroDivisionError)
    assert e.python_message == "boom"
    assert e.point is None
    assert sorted(e.inputs) == ["R", "S"] and len(e.inputs["R"]) == 1000


def test_nan_in_the_outputs_names_the_first_point_and_its_inputs():
    seen = []

    def analysis(batch):
        seen.append({k: v.copy() for k, v in batch.items()})
        g = batch["R"] - batch["S"]
        return {"g": np.where(batch["R"] > 11.0, np.nan, g)}

    with pytest.raises(rbo.AnalysisError, match="nan for 'g'") as info:
        rbo.Problem(LINEAR).run(analysis, samples=1000)
    e, batch = info.value, seen[-1]
    first = int(np.argmax(batch["R"] > 11.0))
    assert e.point == first
    assert e.inputs == {"R": batch["R"][first], "S": batch["S"][first]}


def test_an_analysis_that_runs_rbo_itself_is_refused():
    problem = rbo.Problem(LINEAR)

    def analysis(batch):
        problem.run(linear, method="form")
        return linear(batch)

    with pytest.raises(rbo.AnalysisError, match="cannot run or optimise"):
        problem.run(analysis, method="form")


def test_every_mistake_of_a_problem_is_located():
    d = dict(LINEAR)
    d["random_variables"] = [dict(LINEAR["random_variables"][0], sd=-1), LINEAR["random_variables"][1]]
    d["responses"] = [{"name": "g", "lower": 0, "colour": "red"}]
    with pytest.raises(rbo.ProblemError) as info:
        rbo.Problem(d)
    locations = [loc for loc, _ in info.value.diagnostics]
    assert "/random_variables/0/sd" in locations
    assert any(loc.startswith("/responses/0") for loc in locations)
    assert len(info.value.reports) == len(locations)
    assert any(info.value.reports)  # the library's own report of the bad sd


PROBLEM_REFUSALS = [
    # what is missing or wrong, the arguments of run, the text of the message
    ({k: v for k, v in LINEAR.items()}, {}, "no analysis"),
    (dict(LINEAR, analysis={"expressions": {"g": "R - S"}}), {"method": "form", "until_converged": True},
     "montecarlo|lhs|method"),
]


@pytest.mark.parametrize("d,kwargs,text", PROBLEM_REFUSALS)
def test_a_run_the_layer_refuses_raises_a_problem_error(d, kwargs, text):
    with pytest.raises(rbo.ProblemError, match=text):
        rbo.Problem(d).run(**kwargs)


@pytest.mark.parametrize("kwargs", [
    {"method": "bogus"}, {"samples": 0}, {"target_cov": 1.5}, {"tol": -1}, {"parallel": 0},
])
def test_bad_arguments_are_refused_before_anything_runs(kwargs):
    with pytest.raises(ValueError):
        rbo.Problem(LINEAR).run(linear, **kwargs)
