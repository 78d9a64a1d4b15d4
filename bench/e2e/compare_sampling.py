#!/usr/bin/python3
"""Crude Monte Carlo end to end, side by side on one machine.

Runs, interleaved round by round so that the machine's load falls alike on
all of them:
  rbo     `rbo run --method montecarlo --samples N --parallel 2` on
          sum_of_normals.json (g = 3 sqrt(10) - sum of ten N(0, 1));
  bare    rbo_bare_sampling: one draw and one closed-form quantile per
          variable in a bare C++ loop, nothing stored;
  numpy   the same sampling vectorised with numpy (uniforms from a 64-bit
          Mersenne Twister, the AS 241 quantile on whole arrays, in blocks),
          when numpy is installed;
  ot      OpenTURNS drawing the ten normals and numpy summing, when it is
          installed.
Each run goes through /usr/bin/time -v: wall time, CPU time (user + system)
and peak resident memory.  The table gives the median over the rounds and
the ratios of rbo to each peer (same-run medians), then the fastest round
of each and the ratio of those.

  bench/e2e/compare_sampling.py [--build build] [--samples 1000000] [--rounds 5]
                                [--also NAME=RBO_EXECUTABLE ...]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

NUMPY_PROGRAM = r"""
import sys
import numpy as np
n, nvars, seed = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
A = [3.3871328727963666080e0, 1.3314166789178437745e2, 1.9715909503065514427e3, 1.3731693765509461125e4,
     4.5921953931549871457e4, 6.7265770927008700853e4, 3.3430575583588128105e4, 2.5090809287301226727e3]
B = [1.0, 4.2313330701600911252e1, 6.8718700749205790830e2, 5.3941960214247511077e3,
     2.1213794301586595867e4, 3.9307895800092710610e4, 2.8729085735721942674e4, 5.2264952788528545610e3]
C = [1.42343711074968357734e0, 4.63033784615654529590e0, 5.76949722146069140550e0, 3.64784832476320460504e0,
     1.27045825245236838258e0, 2.41780725177450611770e-1, 2.27238449892691845833e-2, 7.74545014278341407640e-4]
D = [1.0, 2.05319162663775882187e0, 1.67638483018380384940e0, 6.89767334985100004550e-1,
     1.48103976427480074590e-1, 1.51986665636164571966e-2, 5.47593808499534494600e-4, 1.05075007164441684324e-9]
E = [6.65790464350110377720e0, 5.46378491116411436990e0, 1.78482653991729133580e0, 2.96560571828504891230e-1,
     2.65321895265761230930e-2, 1.24266094738807843860e-3, 2.71155556874348757815e-5, 2.01033439929228813265e-7]
F = [1.0, 5.99832206555887937690e-1, 1.36929880922735805310e-1, 1.48753612908506148525e-2,
     7.86869131145613259100e-4, 1.84631831751005468180e-5, 1.42151175831644588870e-7, 2.04426310338993978564e-15]
def poly(c, x):
    s = np.full_like(x, c[-1])
    for k in c[-2::-1]:
        s = s * x + k
    return s
def quantile(p):
    q = p - 0.5
    central = np.abs(q) <= 0.425
    r = 0.180625 - q * q
    x = q * poly(A, r) / poly(B, r)
    t = np.sqrt(-np.log(np.where(q < 0, p, 1.0 - p)))
    tail = np.where(t <= 5.0, poly(C, t - 1.6) / poly(D, t - 1.6), poly(E, t - 5.0) / poly(F, t - 5.0))
    return np.where(central, x, np.where(q < 0, -tail, tail))
bitgen = np.random.MT19937(seed)
rng = np.random.Generator(bitgen)
limit = 3.0 * np.sqrt(nvars)
fails, block = 0, 100000
for start in range(0, n, block):
    m = min(block, n - start)
    u = (np.right_shift(rng.integers(0, 2**64, size=(m, nvars), dtype=np.uint64, endpoint=False), 12)
         .astype(np.float64) + 0.5) * 2.0**-52
    fails += int(np.count_nonzero(limit - quantile(u).sum(axis=1) < 0.0))
print("samples %d failures %d pof %.6g" % (n, fails, fails / n))
"""

OT_PROGRAM = r"""
import sys
import numpy as np
import openturns as ot
n, nvars, seed = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
ot.RandomGenerator.SetSeed(seed)
dist = ot.ComposedDistribution([ot.Normal(0.0, 1.0)] * nvars)
limit = 3.0 * np.sqrt(nvars)
fails, block = 0, 100000
for start in range(0, n, block):
    m = min(block, n - start)
    x = np.asarray(dist.getSample(m))
    fails += int(np.count_nonzero(limit - x.sum(axis=1) < 0.0))
print("samples %d failures %d pof %.6g" % (n, fails, fails / n))
"""


def has_module(name):
    return subprocess.run([sys.executable, "-c", "import " + name], capture_output=True).returncode == 0


def timed(cmd):
    """Runs cmd under /usr/bin/time -v; returns (wall s, cpu s, peak MB, stdout)."""
    proc = subprocess.run(["/usr/bin/time", "-v"] + cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(cmd), proc.stderr[-2000:]))
    err = proc.stderr
    user = float(re.search(r"User time \(seconds\): ([\d.]+)", err).group(1))
    system = float(re.search(r"System time \(seconds\): ([\d.]+)", err).group(1))
    wall_text = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", err).group(1)
    wall = 0.0
    for part in wall_text.split(":"):
        wall = wall * 60.0 + float(part)
    rss_kb = float(re.search(r"Maximum resident set size \(kbytes\): (\d+)", err).group(1))
    return wall, user + system, rss_kb / 1024.0, proc.stdout


def result_line(stdout):
    """The line that gives the result: rbo's POF row (its table ends with
    footnotes), else the program's last line."""
    lines = stdout.strip().splitlines()
    for line in lines:
        if line.split()[:1] == ["POF"]:
            return " ".join(line.split())
    return lines[-1] if lines else ""


def rbo_command(exe, samples):
    problem = os.path.join(HERE, "sum_of_normals.json")
    return [exe, "run", problem, "--method", "montecarlo", "--samples", str(samples), "--parallel", "2", "--quiet"]


def contenders(build, samples, nvars, seed, others):
    out = {"rbo": rbo_command(os.path.join(build, "rbo"), samples)}
    for other in others:
        name, exe = other.split("=", 1)
        out[name] = rbo_command(exe, samples)
    out.update({
        "bare": [os.path.join(build, "bench", "rbo_bare_sampling"), str(samples), str(nvars), str(seed)],
    })
    if has_module("numpy"):
        out["numpy"] = [sys.executable, "-c", NUMPY_PROGRAM, str(samples), str(nvars), str(seed)]
    else:
        print("numpy is not installed: skipped (apt-get install python3-numpy)")
    if has_module("openturns"):
        out["ot"] = [sys.executable, "-c", OT_PROGRAM, str(samples), str(nvars), str(seed)]
    else:
        print("OpenTURNS is not installed: skipped")
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    ap.add_argument("--samples", type=int, default=1000000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--also", action="append", default=[], metavar="NAME=EXE",
                    help="another rbo executable to run alike (e.g. an earlier build)")
    args = ap.parse_args()
    runs = contenders(os.path.abspath(args.build), args.samples, 10, 1, args.also)
    results = {name: [] for name in runs}
    for r in range(args.rounds):
        for name, cmd in runs.items():
            wall, cpu, rss, stdout = timed(cmd)
            results[name].append((wall, cpu, rss))
            if r == 0:
                print("%-6s %s" % (name, result_line(stdout)))
    print_table(results, args.samples, args.rounds)


def print_table(results, samples, rounds):
    """Medians and ratios of medians, then the fastest round of each and the
    ratio of those: on a shared machine the fastest round is the one least
    slowed by other work, so its ratio moves less from run to run."""
    med = {n: tuple(statistics.median(v[i] for v in rs) for i in range(3)) for n, rs in results.items()}
    best = {n: min(v[0] for v in rs) for n, rs in results.items()}
    print("\n%d samples x 10 variables, median of %d interleaved rounds" % (samples, rounds))
    print("%-6s %9s %9s %10s %14s %14s %12s %14s" % ("", "wall s", "cpu s", "peak MB", "rbo/this wall", "rbo/this cpu",
                                                    "best wall s", "rbo/this best"))
    for name, (wall, cpu, rss) in med.items():
        print("%-6s %9.3f %9.3f %10.1f %14.2f %14.2f %12.3f %14.2f" % (
            name, wall, cpu, rss, med["rbo"][0] / wall, med["rbo"][1] / cpu, best[name], best["rbo"] / best[name]))


if __name__ == "__main__":
    main()
