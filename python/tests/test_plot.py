"""The figures of rbo.plot, from results and from the command's JSON files."""

import subprocess
import sys

import matplotlib
import pytest

matplotlib.use("Agg")

import rbo  # noqa: E402
import rbo.plot  # noqa: E402
from test_run import LINEAR, linear  # noqa: E402


@pytest.fixture(scope="module")
def problem():
    return rbo.Problem(LINEAR)


def saved(fig, tmp_path):
    path = tmp_path / "figure.png"
    fig.savefig(path)
    return path.stat().st_size > 0


def horizontal_lines_at(ax, y):
    return [ln for ln in ax.get_lines() if list(ln.get_ydata()) == [y, y]]


def test_histogram_marks_the_bound_and_the_failure_region(problem, tmp_path):
    result = problem.run(linear, method="lhs", samples=5000, keep_samples=True)
    fig = rbo.plot.histogram(result, "g")
    (ax,) = fig.axes
    bound_lines = [ln for ln in ax.get_lines() if list(ln.get_xdata()) == [0.0, 0.0]]
    assert len(bound_lines) == 1
    region = [p for p in ax.patches if p.get_label() == "failure region"]
    assert len(region) == 1
    xs = region[0].get_xy()[:, 0]
    assert xs.max() == 0.0 and xs.min() < 0.0  # left of the lower bound
    assert sum(p.get_label() != "failure region" for p in ax.patches) == 60  # the bars
    assert saved(fig, tmp_path)


def test_a_histogram_needs_the_samples(problem):
    with pytest.raises(ValueError, match="keep_samples"):
        rbo.plot.histogram(problem.run(linear, samples=1000), "g")


def test_convergence_draws_the_running_pof_and_its_band(problem, tmp_path):
    result = problem.run(linear, method="montecarlo", samples=2000, until_converged=True)
    fig = rbo.plot.convergence(result)
    (ax,) = fig.axes  # one design point
    (line,) = ax.get_lines()
    batches = result.points[0].batches
    assert list(line.get_xdata()) == [b["samples"] for b in batches]
    assert list(line.get_ydata()) == [b["responses"]["g"]["pof"] for b in batches]
    assert len(ax.collections) == 1  # the 95 % band
    assert saved(fig, tmp_path)


def test_history_draws_objective_violation_and_pof_with_its_bound(problem, tmp_path):
    opt = problem.optimize(linear, method="fo")
    fig = rbo.plot.history(opt)
    assert len(fig.axes) == 3
    assert len(horizontal_lines_at(fig.axes[1], 0.0)) == 1  # feasible at or below 0
    assert len(horizontal_lines_at(fig.axes[2], 0.00135)) == 1  # the bound on P(g)
    assert len(fig.axes[0].get_lines()[0].get_xdata()) == len(opt.history)
    assert saved(fig, tmp_path)


def test_importance_draws_one_bar_per_random_variable(problem, tmp_path):
    result = problem.run(linear, method="form")
    fig = rbo.plot.importance(result, "g")
    (ax,) = fig.axes
    widths = sorted(p.get_width() for p in ax.patches)
    # sd^2 / (1.5^2 + 2^2): the exact importance factors of a linear limit state
    assert widths == pytest.approx([2.25 / 6.25, 4.0 / 6.25], rel=1e-9)
    assert saved(fig, tmp_path)


def test_importance_needs_a_method_that_gives_it(problem):
    with pytest.raises(ValueError, match="form"):
        rbo.plot.importance(problem.run(linear, samples=1000), "g")


# command arguments, figures expected from its JSON file
CLI_CASES = [
    (["run", "--method", "form"], ["pofs", "importance-g-1", "importance-g-2"]),
    (["run", "--until-converged", "--samples", "2000", "--method", "0"], ["convergence"]),
    (["optimize", "--method", "fo"], ["history"]),
]


@pytest.mark.parametrize("args,names", CLI_CASES)
def test_the_command_line_draws_what_a_json_file_holds(tmp_path, examples, command, args, names):
    command(tmp_path, args[0], examples / "linear.json", *args[1:])
    out = tmp_path / "figures"
    done = subprocess.run([sys.executable, "-m", "rbo.plot", str(tmp_path / "command.json"), "--out", str(out)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    expected = sorted(f"{n}.{ext}" for n in names for ext in ("png", "svg"))
    assert sorted(p.name for p in out.iterdir()) == expected
    assert all(p.stat().st_size > 0 for p in out.iterdir())
