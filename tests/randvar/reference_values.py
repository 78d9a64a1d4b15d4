#!/usr/bin/env python3
"""Reference values of the random-variable tests, at 40 digits (mpmath).

Run it to regenerate the constants quoted in the tests:
  - the bounds of the error-function fit (kErfFitError, kErfFitSlopeError in
    RandVarCases.h) and its value at 0 (NumericTools_test.cpp);
  - standard normal quantiles (InverseCdf_test.cpp);
  - Weibull shapes and scales whose exact moments have a given ratio
    mean / sd, for location 0 and sd 1 (Reparameterise_test.cpp).
"""
import mpmath as mp

mp.mp.dps = 40

# The Chebyshev fit of erfc used by the library, with its coefficients as the
# doubles the library stores, evaluated exactly.
COEFFS = [1.00002368, 0.37409196, 0.09678418, -0.18628806, 0.27886807,
          -1.13520398, 1.48851587, -0.82215223, 0.17087277]


def erfc_fit(u):
    t = 1 / (1 + u / 2)
    s = mp.mpf(0)
    for c in reversed(COEFFS):
        s = c + t * s
    return t * mp.e ** (-u * u - 1.26551223 + t * s)


def weibull_ratio(beta):
    g1 = mp.gamma(1 + 1 / beta)
    g2 = mp.gamma(1 + 2 / beta)
    return g1 / mp.sqrt(g2 - g1 * g1), g1, g2


def main():
    frac, slope = mp.mpf(0), mp.mpf(0)
    for i in range(0, 6001):
        u = mp.mpf(i) / 1000
        frac = max(frac, abs(erfc_fit(u) / mp.erfc(u) - 1))
        slope = max(slope, abs(mp.diff(lambda v: erfc_fit(v) - mp.erfc(v), u)))
    print("erfc fit: max fractional error", mp.nstr(frac, 6), " max slope error", mp.nstr(slope, 6))
    print("erf fit at 0:", mp.nstr(1 - erfc_fit(0), 12))

    for p in ['0.01', '0.3', '0.9', '0.975', '0.999']:
        z = mp.sqrt(2) * mp.erfinv(2 * mp.mpf(p) - 1)
        print("probit", p, mp.nstr(z, 17))

    for target in [0.01, 0.05, 3, 10]:
        beta = mp.findroot(lambda b: weibull_ratio(b)[0] - target, 0.05 if target < 1 else 1.2 * target)
        _, g1, g2 = weibull_ratio(beta)
        print("mean/sd", target, "beta", mp.nstr(beta, 15), "eta", mp.nstr(1 / mp.sqrt(g2 - g1 * g1), 15))


if __name__ == "__main__":
    main()
