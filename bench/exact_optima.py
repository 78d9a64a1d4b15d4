#!/usr/bin/python3
"""First-order and exact-probability optima of the literature problems in
examples/optimize/, computed independently of RBO.

For every problem the script finds
  1. the first-order (FORM) optimum: the performance-measure approach, an
     outer SLSQP over the design whose probability constraints are the
     inverse-FORM values G_p = min g over the sphere |u| = beta_t of the
     standard normal space (each found by SLSQP; the outer gradient by the
     envelope theorem: dG_p/dd = dg/dd at the fixed inverse design point);
  2. the exact-probability optimum: SLSQP again, with every probability
     constraint written as -Phi^-1(POF(d)) >= beta_t and POF(d) computed
     by quadrature (one variable is integrated analytically: the normal
     CDF of the limit state solved for it; the others by Gauss-Legendre or
     Gauss-Hermite rules), so the POF is a smooth deterministic function
     of the design and finite-difference gradients work;
  3. the true POFs at the FORM optimum and at the exact optimum, each
     checked against a plain Monte Carlo sample (fixed seed) as an
     independent test of the quadrature.
It prints a markdown table.

    /usr/bin/python3 bench/exact_optima.py [--quick] [--mc N]

--quick skips the Monte Carlo check; --mc sets its sample size (default
2,000,000, the same seed at every design: common random numbers).  The
whole run takes about 10 s of CPU.  "(quoted)" in the published column: a
value as quoted in the literature, reproduced here by the first-order
optimum (see the example's comment); "not checked": no published value was
verified.
"""
import argparse
import functools
import math
import time

import numpy as np
from numpy.polynomial.hermite_e import hermegauss
from numpy.polynomial.legendre import leggauss
from scipy import optimize
from scipy.special import ndtr, ndtri


def beta_of(pof):
    return -ndtri(np.clip(pof, 1e-300, 1.0))


@functools.lru_cache(maxsize=None)
def legendre(n, lo, hi):
    z, w = leggauss(n)
    return 0.5 * (hi - lo) * z + 0.5 * (hi + lo), 0.5 * (hi - lo) * w


@functools.lru_cache(maxsize=None)
def hermite(n):
    """Nodes and weights of E[f(Z)], Z standard normal."""
    z, w = hermegauss(n)
    return z, w / math.sqrt(2.0 * math.pi)


@functools.lru_cache(maxsize=None)
def normal_grid(n, dims):
    """Tensor Gauss-Hermite rule of E[f(Z)], Z standard normal in `dims` dimensions."""
    z, w = hermite(n)
    zs = np.meshgrid(*([z] * dims), indexing="ij")
    ws = np.ones_like(zs[0])
    for wk in np.meshgrid(*([w] * dims), indexing="ij"):
        ws = ws * wk
    return [a.ravel() for a in zs], ws.ravel()


# Quadrature orders: the default and a finer one for the convergence check.
ORDER = {"leg": 400, "gh": 40}


def set_orders(fine):
    ORDER["leg"], ORDER["gh"] = (800, 64) if fine else (400, 40)


# ============================================================ problems
class Problem:
    """A design problem: cost(d), design bounds, random inputs x = to_x(u, d)
    from standard normal u, limit states g_i(x, d) (failure g < 0) with
    targets, deterministic constraints c(d) >= 0, and the exact POF of each
    limit state."""

    name = ""
    file = ""
    targets = []
    det_cons = []

    def g(self, i, x, d):
        return self.limit_states[i](x, d)

    def n_limit(self):
        return len(self.limit_states)


class YounChoi(Problem):
    """Youn, Choi and Du (2005): X_i ~ N(d_i, sigma)."""

    def __init__(self, sigma, beta):
        self.sigma, self.beta = sigma, beta
        self.name = f"two-variable, sigma {sigma}, beta_t {beta}"
        self.file = "youn_choi.json" if sigma == 0.3 else "youn_choi_sigma06.json"
        self.labels = ["G1", "G2", "G3"]
        self.targets = [float(ndtr(-beta))] * 3
        self.bounds = [(0.0, 10.0)] * 2
        self.start = np.array([5.0, 5.0])
        self.n_u = 2
        self.limit_states = [
            lambda x, d: x[..., 0] ** 2 * x[..., 1] / 20.0 - 1.0,
            lambda x, d: (x[..., 0] + x[..., 1] - 5.0) ** 2 / 30.0 + (x[..., 0] - x[..., 1] - 12.0) ** 2 / 120.0 - 1.0,
            lambda x, d: 80.0 / (x[..., 0] ** 2 + 8.0 * x[..., 1] + 5.0) - 1.0,
        ]
        self.published = ("(3.4391, 3.2866), 6.7257" if sigma == 0.3 else "not checked")
        self.how = "X1 (G1), X1 + X2 (G2), X2 (G3) analytically, the other variable by Gauss-Legendre"

    def cost(self, d):
        return d[0] + d[1]

    def to_x(self, u, d):
        return d + self.sigma * u

    def exact_pof(self, i, d):
        s = self.sigma
        if i == 0:  # X1^2 X2 < 20: for X2 > 0, |X1| < sqrt(20 / X2); always for X2 <= 0.
            z, w = legendre(ORDER["leg"], -12.0, 12.0)
            x2 = d[1] + s * z
            r = np.sqrt(20.0 / np.maximum(x2, 1e-300))
            p = np.where(x2 > 0, ndtr((r - d[0]) / s) - ndtr((-r - d[0]) / s), 1.0)
            return float(np.sum(w * np.exp(-0.5 * z * z) * p) / math.sqrt(2 * math.pi))
        if i == 1:  # inside the ellipse in u = X1 + X2, v = X1 - X2 (independent, sd sigma sqrt 2).
            sd = s * math.sqrt(2.0)
            th, w = legendre(ORDER["leg"], 0.0, math.pi)
            v = 12.0 - math.sqrt(120.0) * np.cos(th)
            half = math.sqrt(30.0) * np.sin(th)
            mu_u, mu_v = d[0] + d[1], d[0] - d[1]
            inner = ndtr((5.0 + half - mu_u) / sd) - ndtr((5.0 - half - mu_u) / sd)
            dens = np.exp(-0.5 * ((v - mu_v) / sd) ** 2) / (sd * math.sqrt(2 * math.pi))
            return float(np.sum(w * dens * math.sqrt(120.0) * np.sin(th) * inner))
        # 80 / D < 1 with D = X1^2 + 8 X2 + 5: D > 80 or D < 0.
        z, w = legendre(ORDER["leg"], -12.0, 12.0)
        x1 = d[0] + s * z
        p = ndtr((d[1] - (75.0 - x1 * x1) / 8.0) / s) + ndtr((-(x1 * x1 + 5.0) / 8.0 - d[1]) / s)
        return float(np.sum(w * np.exp(-0.5 * z * z) * p) / math.sqrt(2 * math.pi))


class Cantilever(Problem):
    """Wu, Shin, Sues and Cesare (2001): stress and tip displacement."""

    L, D0 = 100.0, 2.2535
    MEAN = np.array([500.0, 1000.0, 40000.0, 29e6])  # X, Y, R, E
    SD = np.array([100.0, 100.0, 2000.0, 1.45e6])

    def __init__(self):
        self.name = "cantilever, stress + displacement"
        self.file = "cantilever_displacement.json"
        self.labels = ["stress", "displacement"]
        self.targets = [float(ndtr(-3.0))] * 2
        self.bounds = [(1.0, 5.0), (1.0, 5.0)]
        self.start = np.array([3.0, 4.0])
        self.n_u = 4
        self.limit_states = [self.g_stress, self.g_disp]
        self.published = "(2.4484, 3.8884), 9.5204 (quoted)"
        self.how = "stress: closed form; displacement: X analytically, (Y, E) Gauss-Hermite"

    def cost(self, d):
        return d[0] * d[1]

    def to_x(self, u, d):
        return self.MEAN + self.SD * u

    @staticmethod
    def g_stress(x, d):  # scaled by the mean strength
        w, t = d
        return (x[..., 2] - 600.0 * x[..., 1] / (w * t * t) - 600.0 * x[..., 0] / (w * w * t)) / 40000.0

    def g_disp(self, x, d):  # scaled by the allowed displacement
        w, t = d
        disp = 4.0 * self.L**3 / (x[..., 3] * w * t) * np.sqrt((x[..., 1] / t**2) ** 2 + (x[..., 0] / w**2) ** 2)
        return 1.0 - disp / self.D0

    def exact_pof(self, i, d):
        w, t = d
        m, s = self.MEAN, self.SD
        if i == 0:  # linear in normal variables
            mean = m[2] - 600.0 * m[1] / (w * t * t) - 600.0 * m[0] / (w * w * t)
            sd = math.sqrt(s[2] ** 2 + (600.0 * s[1] / (w * t * t)) ** 2 + (600.0 * s[0] / (w * w * t)) ** 2)
            return float(ndtr(-mean / sd))
        # Fails when (X / w^2)^2 > q = (D0 E w t / 4 L^3)^2 - (Y / t^2)^2, i.e. |X| > w^2 sqrt(q).
        (zy, ze), wts = normal_grid(ORDER["gh"], 2)
        y, e = m[1] + s[1] * zy, m[3] + s[3] * ze
        q = (self.D0 * e * w * t / (4.0 * self.L**3)) ** 2 - (y / t**2) ** 2
        a = w * w * np.sqrt(np.maximum(q, 0.0))
        p = np.where(q > 0, ndtr((m[0] - a) / s[0]) + ndtr((-a - m[0]) / s[0]), 1.0)
        return float(np.sum(wts * p))


class ShortColumn(Problem):
    """Kuschel and Rackwitz (1997): short column of section b x h under
    correlated normal moments M1, M2 and axial force P, lognormal yield
    strength Y (kN, kNm, MPa, m)."""

    MEAN = np.array([250.0, 125.0, 2500.0])
    SD = np.array([75.0, 37.5, 500.0])
    CORR = np.array([[1.0, 0.5, 0.3], [0.5, 1.0, 0.3], [0.3, 0.3, 1.0]])
    Y_MEAN, Y_SD = 40.0, 4.0

    def __init__(self):
        self.name = "short column"
        self.file = "short_column.json"
        self.labels = ["g"]
        self.targets = [float(ndtr(-3.0))]
        self.bounds = [(0.1, 2.0), (0.1, 2.0)]
        self.start = np.array([0.5, 0.5])
        self.n_u = 4
        self.eps = math.sqrt(math.log(1.0 + (self.Y_SD / self.Y_MEAN) ** 2))
        self.lam = math.log(self.Y_MEAN) - 0.5 * self.eps**2
        self.chol = np.linalg.cholesky(self.CORR)
        self.cov = self.CORR * np.outer(self.SD, self.SD)
        self.limit_states = [self.g_col]
        # 0.5 <= h / b <= 2
        self.det_cons = [lambda d: d[1] / d[0] - 0.5, lambda d: 2.0 - d[1] / d[0]]
        self.published = "not checked"
        self.how = "a = 4 M1/(b h^2) + 4 M2/(b^2 h) given P analytically, (P, Y) Gauss-Hermite"

    def cost(self, d):
        return d[0] * d[1]

    def to_x(self, u, d):
        loads = self.MEAN + self.SD * (u[..., :3] @ self.chol.T)
        y = np.exp(self.lam + self.eps * u[..., 3:4])
        return np.concatenate([loads, y], axis=-1)

    @staticmethod
    def g_col(x, d):
        b, h = d
        y = 1000.0 * x[..., 3]  # kN/m^2
        moments = 4.0 * x[..., 0] / (b * h * h * y) + 4.0 * x[..., 1] / (b * b * h * y)
        return 1.0 - moments - (x[..., 2] / (b * h * y)) ** 2

    def exact_pof(self, i, d):
        # g < 0  <=>  a > Y' - c / Y' with a = 4 M1/(b h^2) + 4 M2/(b^2 h), c = (P / (b h))^2, Y' = 1000 Y.
        # a and P are jointly normal: a given P is normal.
        b, h = d
        alpha = np.array([4.0 / (b * h * h), 4.0 / (b * b * h)])
        mu_a = alpha @ self.MEAN[:2]
        var_a = alpha @ self.cov[:2, :2] @ alpha
        cov_ap = alpha @ self.cov[:2, 2]
        var_p = self.cov[2, 2]
        sd_cond = math.sqrt(var_a - cov_ap**2 / var_p)
        (zp, zy), wts = normal_grid(ORDER["gh"], 2)
        p = self.MEAN[2] + math.sqrt(var_p) * zp
        y = 1000.0 * np.exp(self.lam + self.eps * zy)
        mean_cond = mu_a + cov_ap / var_p * (p - self.MEAN[2])
        thresh = y - (p / (b * h)) ** 2 / y
        return float(np.sum(wts * ndtr((mean_cond - thresh) / sd_cond)))


class SpeedReducer(Problem):
    """Speed reducer (Golinski's problem) as an RBDO problem: X_i ~ N(d_i, 0.005)."""

    SD = 0.005

    def __init__(self):
        self.name = "speed reducer"
        self.file = "speed_reducer.json"
        self.labels = [f"G{k}" for k in range(1, 12)]
        self.targets = [float(ndtr(-3.0))] * 11
        self.bounds = [(2.6, 3.6), (0.7, 0.8), (17.0, 28.0), (7.3, 8.3), (7.3, 8.3), (2.9, 3.9), (5.0, 5.5)]
        self.start = np.array([3.5, 0.7, 17.5, 7.5, 7.8, 3.4, 5.3])
        self.n_u = 7
        X = lambda x, k: x[..., k - 1]  # noqa: E731 (1-based, as in the literature)
        self.limit_states = [
            lambda x, d: 1.0 - 27.0 / (X(x, 1) * X(x, 2) ** 2 * X(x, 3)),
            lambda x, d: 1.0 - 397.5 / (X(x, 1) * X(x, 2) ** 2 * X(x, 3) ** 2),
            lambda x, d: 1.0 - 1.93 * X(x, 4) ** 3 / (X(x, 2) * X(x, 3) * X(x, 6) ** 4),
            lambda x, d: 1.0 - 1.93 * X(x, 5) ** 3 / (X(x, 2) * X(x, 3) * X(x, 7) ** 4),
            lambda x, d: 1.0 - np.sqrt((745.0 * X(x, 4) / (X(x, 2) * X(x, 3))) ** 2 + 16.9e6) / (110.0 * X(x, 6) ** 3),
            lambda x, d: 1.0 - np.sqrt((745.0 * X(x, 5) / (X(x, 2) * X(x, 3))) ** 2 + 157.5e6) / (85.0 * X(x, 7) ** 3),
            lambda x, d: 1.0 - X(x, 2) * X(x, 3) / 40.0,
            lambda x, d: 1.0 - 5.0 * X(x, 2) / X(x, 1),
            lambda x, d: 1.0 - X(x, 1) / (12.0 * X(x, 2)),
            lambda x, d: 1.0 - (1.5 * X(x, 6) + 1.9) / X(x, 4),
            lambda x, d: 1.0 - (1.1 * X(x, 7) + 1.9) / X(x, 5),
        ]
        self.published = "(3.5765, 0.7, 17, 7.3, 7.7541, 3.3652, 5.3017), 3038.61 (quoted)"
        self.how = "G8-G11 closed form; the others: the dominant variable analytically, the rest Gauss-Hermite"

    def cost(self, d):
        x1, x2, x3, x4, x5, x6, x7 = d
        return (0.7854 * x1 * x2**2 * (3.3333 * x3**2 + 14.9334 * x3 - 43.0934) - 1.508 * x1 * (x6**2 + x7**2)
                + 7.477 * (x6**3 + x7**3) + 0.7854 * (x4 * x6**2 + x5 * x7**2))

    def to_x(self, u, d):
        return d + self.SD * u

    def exact_pof(self, i, d):
        s = self.SD
        k = i + 1

        def lin(c):  # P(c0 + sum c_j X_j < 0), X_j ~ N(d_j, s)
            mean = c[0] + sum(c[j] * d[j - 1] for j in c if j)
            sd = s * math.sqrt(sum(c[j] ** 2 for j in c if j))
            return float(ndtr(-mean / sd))

        if k == 8:
            return lin({0: 0.0, 1: 1.0, 2: -5.0})
        if k == 9:
            return lin({0: 0.0, 1: -1.0, 2: 12.0})
        if k == 10:
            return lin({0: -1.9, 4: 1.0, 6: -1.5})
        if k == 11:
            return lin({0: -1.9, 5: 1.0, 7: -1.1})

        def expect(others, below):
            """E over the `others` (1-based) of P(X_c < threshold) or P(X_c > threshold)."""
            zs, wts = normal_grid(ORDER["gh"] if len(others) < 3 else max(24, ORDER["gh"] // 2), len(others))
            xs = {j: d[j - 1] + s * z for j, z in zip(others, zs)}
            c, thr, lower = below(xs)
            z = (thr - d[c - 1]) / s
            return float(np.sum(wts * (ndtr(z) if lower else ndtr(-z))))

        # Each: the conditioning variable, its failure threshold, and the side that fails.
        if k == 1:  # X2^2 < 27 / (X1 X3)
            return expect([1, 3], lambda x: (2, np.sqrt(27.0 / (x[1] * x[3])), True))
        if k == 2:
            return expect([1, 3], lambda x: (2, np.sqrt(397.5 / (x[1] * x[3] ** 2)), True))
        if k == 3:  # X2 < 1.93 X4^3 / (X3 X6^4)
            return expect([3, 4, 6], lambda x: (2, 1.93 * x[4] ** 3 / (x[3] * x[6] ** 4), True))
        if k == 4:
            return expect([3, 5, 7], lambda x: (2, 1.93 * x[5] ** 3 / (x[3] * x[7] ** 4), True))
        def shaft(load, other, c):  # X_shaft^3 < sqrt((745 X_load / (X2 X3))^2 + other) / c
            return lambda x: np.cbrt(np.sqrt((745.0 * x[load] / (x[2] * x[3])) ** 2 + other) / c)

        if k == 5:
            return expect([2, 3, 4], lambda x: (6, shaft(4, 16.9e6, 110.0)(x), True))
        if k == 6:
            return expect([2, 3, 5], lambda x: (7, shaft(5, 157.5e6, 85.0)(x), True))
        # k == 7: X2 > 40 / X3
        return expect([3], lambda x: (2, 40.0 / x[3], False))


# ============================================================ first-order optimum (PMA)
class InverseForm:
    """min g(x(u, d), d) over |u| = beta: the inverse design point, warm-started."""

    def __init__(self, prob, i, beta):
        self.prob, self.i, self.beta = prob, i, beta
        self.u = None
        self.calls = 0

    def gu(self, u, d):
        self.calls += 1
        return float(self.prob.g(self.i, self.prob.to_x(u, d), d))

    def grad_u(self, u, d, h=1e-6):
        e = np.eye(len(u)) * h
        return np.array([(self.gu(u + e[k], d) - self.gu(u - e[k], d)) / (2 * h) for k in range(len(u))])

    def solve(self, d):
        b = self.beta
        if self.u is None:  # mean-value start
            gr = self.grad_u(np.zeros(self.prob.n_u), d)
            self.u = -b * gr / max(np.linalg.norm(gr), 1e-300)
        res = optimize.minimize(lambda u: self.gu(u, d), self.u, jac=lambda u: self.grad_u(u, d), method="SLSQP",
                                constraints=[{"type": "eq", "fun": lambda u: (u @ u - b * b) / (2 * b),
                                              "jac": lambda u: u / b}],
                                options={"ftol": 1e-14, "maxiter": 200})
        self.u = res.x * (b / np.linalg.norm(res.x))
        return self.gu(self.u, d), self.u

    def value_and_grad(self, d, h=1e-7):
        gp, u = self.solve(d)
        grad = np.zeros(len(d))
        for k in range(len(d)):
            dp, dm = d.copy(), d.copy()
            step = h * max(1.0, abs(d[k]))
            dp[k] += step
            dm[k] -= step
            grad[k] = (self.gu(u, dp) - self.gu(u, dm)) / (2 * step)
        return gp, grad


def minimize_scaled(prob, start, cons):
    """SLSQP on the design scaled to [0, 1] by its bounds and the cost scaled
    by its value at the start; `cons` are (value(d), gradient(d)) pairs,
    each >= 0 when satisfied."""
    lo = np.array([b[0] for b in prob.bounds])
    span = np.array([b[1] - b[0] for b in prob.bounds])
    c0 = abs(prob.cost(start))
    to_d = lambda z: lo + span * z  # noqa: E731
    dets = [(c, lambda d, c=c: fd_grad(c, d)) for c in prob.det_cons]
    scons = [{"type": "ineq", "fun": (lambda z, f=f: f(to_d(z))), "jac": (lambda z, j=j: j(to_d(z)) * span)}
             for f, j in cons + dets]
    res = optimize.minimize(lambda z: prob.cost(to_d(z)) / c0, (start - lo) / span,
                            jac=lambda z: fd_grad(prob.cost, to_d(z)) * span / c0, method="SLSQP",
                            bounds=[(0.0, 1.0)] * len(lo), constraints=scons,
                            options={"ftol": 1e-14, "maxiter": 300})
    return to_d(res.x), res


def form_optimum(prob):
    inv = [InverseForm(prob, i, beta_of(p)) for i, p in enumerate(prob.targets)]
    cache = {}

    def constraint_values(d):
        key = d.tobytes()
        if key not in cache:
            cache[key] = [f.value_and_grad(d.copy()) for f in inv]
        return cache[key]

    cons = [((lambda d, i=i: constraint_values(d)[i][0]), (lambda d, i=i: constraint_values(d)[i][1]))
            for i in range(len(inv))]
    d, res = minimize_scaled(prob, prob.start, cons)
    betas = [form_beta(prob, i, d) for i in range(prob.n_limit())]
    return d, betas, sum(f.calls for f in inv), res


def form_beta(prob, i, d):
    """The FORM index of limit state i at d (the reliability-index approach, for the report)."""
    n = prob.n_u
    g = lambda u: float(prob.g(i, prob.to_x(u, d), d))  # noqa: E731
    g0 = g(np.zeros(n))
    res = optimize.minimize(lambda u: 0.5 * u @ u, -1e-3 * np.sign(g0) * np.ones(n) if g0 != 0 else np.zeros(n),
                            jac=lambda u: u, method="SLSQP",
                            constraints=[{"type": "eq", "fun": g, "jac": lambda u: fd_grad(g, u, 1e-6)}],
                            options={"ftol": 1e-14, "maxiter": 300})
    b = float(np.linalg.norm(res.x))
    return b if g0 > 0 else -b


def fd_grad(f, x, h=1e-7):
    g = np.zeros(len(x))
    for k in range(len(x)):
        xp, xm = x.copy(), x.copy()
        step = h * max(1.0, abs(x[k]))
        xp[k] += step
        xm[k] -= step
        g[k] = (f(xp) - f(xm)) / (2 * step)
    return g


# ============================================================ exact-probability optimum
def exact_optimum(prob, start):
    bt = [beta_of(p) for p in prob.targets]

    def margin(i, d):
        return float(beta_of(prob.exact_pof(i, d))) - bt[i]

    cons = [((lambda d, i=i: margin(i, d)), (lambda d, i=i: fd_grad(lambda e: margin(i, e), d, 1e-6)))
            for i in range(prob.n_limit())]
    return minimize_scaled(prob, start, cons)


def pofs(prob, d):
    return [prob.exact_pof(i, d) for i in range(prob.n_limit())]


def monte_carlo(prob, d, n, seed=20050401):
    """Plain Monte Carlo POFs at d with n samples (in blocks): an independent check."""
    rng = np.random.default_rng(seed)
    fails = np.zeros(prob.n_limit())
    left = n
    while left > 0:
        m = min(left, 250000)
        x = prob.to_x(rng.standard_normal((m, prob.n_u)), d)
        for i in range(prob.n_limit()):
            fails[i] += np.count_nonzero(prob.g(i, x, d) < 0)
        left -= m
    return fails / n


def quadrature_error(prob, d):
    """The largest relative change of the POFs when the quadrature orders are raised."""
    base = pofs(prob, d)
    set_orders(True)
    fine = pofs(prob, d)
    set_orders(False)
    return max(abs(a - b) / b for a, b in zip(base, fine) if b > 1e-12)


# ============================================================ report
def fmt_design(d, digits=4):
    return "(" + ", ".join(f"{v:.{digits}f}" for v in d) + ")"


def fmt_pofs(prob, ps, only_active=True):
    out = []
    for lab, p, t in zip(prob.labels, ps, prob.targets):
        if only_active and p < 0.1 * t:
            continue
        out.append(f"{lab} {p:.5g} ({p / t - 1:+.1%})")
    return "; ".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="skip the Monte Carlo check")
    ap.add_argument("--mc", type=int, default=2_000_000, help="Monte Carlo samples of the check")
    args = ap.parse_args()

    problems = [YounChoi(0.3, 3.0), YounChoi(0.6, 2.0), Cantilever(), ShortColumn(), SpeedReducer()]
    rows, notes = [], []
    for prob in problems:
        t0 = time.process_time()
        d_form, b_form, calls, res_f = form_optimum(prob)
        p_form = pofs(prob, d_form)
        d_ex, res_e = exact_optimum(prob, d_form)
        p_ex = pofs(prob, d_ex)
        qerr = max(quadrature_error(prob, d_form), quadrature_error(prob, d_ex))
        c_form, c_ex = prob.cost(d_form), prob.cost(d_ex)
        rows.append(f"| {prob.file} | {prob.published} | {fmt_design(d_form)}, {c_form:.6g} | "
                    f"{fmt_design(d_ex)}, {c_ex:.6g} ({c_ex / c_form - 1:+.3%}) | {fmt_pofs(prob, p_form)} | "
                    f"{fmt_pofs(prob, p_ex)} | {prob.how}; quadrature rel. change {qerr:.1e} |")
        listing = lambda values, f: ", ".join(f"{lab} {v:{f}}" for lab, v in zip(prob.labels, values))  # noqa: E731
        note = [f"{prob.name}: targets {', '.join(f'{t:.5g}' for t in sorted(set(prob.targets)))}; "
                "FORM indices at the FORM optimum " + listing(b_form, ".4f"),
                f"  FORM optimum  {fmt_design(d_form, 6)}, cost {c_form:.8g}; exact optimum {fmt_design(d_ex, 6)}, "
                f"cost {c_ex:.8g} ({(c_ex / c_form - 1) * 100:+.4f} %)",
                "  all exact POFs at the FORM optimum:  " + listing(p_form, ".5g"),
                "  all exact POFs at the exact optimum: " + listing(p_ex, ".5g"),
                f"  inverse-FORM limit-state calls {calls}; SLSQP: FORM {res_f.message} ({res_f.nit} it.), "
                f"exact {res_e.message} ({res_e.nit} it.); CPU {time.process_time() - t0:.1f} s"]
        for c in prob.det_cons:
            note.append(f"  deterministic constraint at the exact optimum: {c(d_ex):.3g} (0 = active)")
        if not args.quick:
            for tag, d, ps in (("FORM", d_form, p_form), ("exact", d_ex, p_ex)):
                mc = monte_carlo(prob, d, args.mc)
                note.append(f"  Monte Carlo ({args.mc:,}) at the {tag} optimum: " + ", ".join(
                    f"{lab} {m:.5g} (quadrature {p:.5g}, MC c.o.v. {math.sqrt((1 - p) / (p * args.mc)):.3f})"
                    for lab, m, p in zip(prob.labels, mc, ps) if p > 1e-5))
        notes.append("\n".join(note))

    print("| problem | published optimum | FORM optimum (design, cost) | exact-probability optimum (design, cost) | "
          "true POFs at the FORM optimum (vs target) | true POFs at the exact optimum | how computed |")
    print("|---|---|---|---|---|---|---|")
    print("\n".join(rows))
    print()
    print("\n\n".join(notes))


if __name__ == "__main__":
    main()
