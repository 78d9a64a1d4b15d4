// The floor of crude Monte Carlo sampling on this machine: the same problem
// as sum_of_normals.json (g = 3 sqrt(10) - the sum of ten standard normal
// variables, failure when g < 0) in a bare loop.  Per variable one draw from
// the same 64-bit Mersenne Twister (top 52 bits, (k + 0.5) / 2^52) and one
// closed-form normal quantile (Wichura's AS 241, relative error about 1e-16);
// nothing is stored, the failures are counted.
//
//   rbo_bare_sampling [SAMPLES [VARIABLES [SEED]]]   (defaults 1000000 10 1)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

double Polynomial(const double* c, int n, double x) {
  double s = c[n - 1];
  for (int i = n - 2; i >= 0; --i) s = s * x + c[i];
  return s;
}

// Standard normal quantile of 0 < p < 1 (AS 241, PPND16).
double NormalQuantile(double p) {
  static const double a[8] = {3.3871328727963666080e0, 1.3314166789178437745e2, 1.9715909503065514427e3,
                              1.3731693765509461125e4, 4.5921953931549871457e4, 6.7265770927008700853e4,
                              3.3430575583588128105e4, 2.5090809287301226727e3};
  static const double b[8] = {1.0,
                              4.2313330701600911252e1,
                              6.8718700749205790830e2,
                              5.3941960214247511077e3,
                              2.1213794301586595867e4,
                              3.9307895800092710610e4,
                              2.8729085735721942674e4,
                              5.2264952788528545610e3};
  static const double c[8] = {1.42343711074968357734e0,  4.63033784615654529590e0, 5.76949722146069140550e0,
                              3.64784832476320460504e0,  1.27045825245236838258e0, 2.41780725177450611770e-1,
                              2.27238449892691845833e-2, 7.74545014278341407640e-4};
  static const double d[8] = {1.0,
                              2.05319162663775882187e0,
                              1.67638483018380384940e0,
                              6.89767334985100004550e-1,
                              1.48103976427480074590e-1,
                              1.51986665636164571966e-2,
                              5.47593808499534494600e-4,
                              1.05075007164441684324e-9};
  static const double e[8] = {6.65790464350110377720e0,  5.46378491116411436990e0,  1.78482653991729133580e0,
                              2.96560571828504891230e-1, 2.65321895265761230930e-2, 1.24266094738807843860e-3,
                              2.71155556874348757815e-5, 2.01033439929228813265e-7};
  static const double f[8] = {1.0,
                              5.99832206555887937690e-1,
                              1.36929880922735805310e-1,
                              1.48753612908506148525e-2,
                              7.86869131145613259100e-4,
                              1.84631831751005468180e-5,
                              1.42151175831644588870e-7,
                              2.04426310338993978564e-15};
  const double q = p - 0.5;
  if (std::fabs(q) <= 0.425) {
    const double r = 0.180625 - q * q;
    return q * Polynomial(a, 8, r) / Polynomial(b, 8, r);
  }
  double r = std::sqrt(-std::log(q < 0.0 ? p : 1.0 - p));
  const double x = r <= 5.0 ? Polynomial(c, 8, r - 1.6) / Polynomial(d, 8, r - 1.6)
                            : Polynomial(e, 8, r - 5.0) / Polynomial(f, 8, r - 5.0);
  return q < 0.0 ? -x : x;
}

}  // namespace

int main(int argc, char** argv) {
  const long long nSamples = argc > 1 ? std::atoll(argv[1]) : 1000000;
  const int nVars = argc > 2 ? std::atoi(argv[2]) : 10;
  const unsigned long long seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  std::mt19937_64 engine(seed);
  const double limit = 3.0 * std::sqrt(double(nVars));
  long long nFailures = 0;
  for (long long j = 0; j < nSamples; ++j) {
    double sum = 0.0;
    for (int i = 0; i < nVars; ++i) {
      const double u = (double(engine() >> 12) + 0.5) * 0x1p-52;
      sum += NormalQuantile(u);
    }
    nFailures += limit - sum < 0.0 ? 1 : 0;
  }
  std::printf("samples %lld failures %lld pof %.6g\n", nSamples, nFailures, double(nFailures) / double(nSamples));
  return 0;
}
