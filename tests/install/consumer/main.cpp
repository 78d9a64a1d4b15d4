// Uses an installed RBO: the version from the library and from the generated
// header must agree, and a standard normal's distribution function at 1.96
// must be 0.975 to four digits, and the reliability engine must find the
// reliability index 2 of g = R - S.  Built with CMake it also reads a small
// problem through the problem layer, which must find no mistake in it.
#include <cmath>
#include <cstdio>
#include <string>

#include <rbo/RBO.h>
#include <rbo/Version.h>
#include <rbo/reliability/Reliability.h>
#ifdef RBO_CONSUMER_USES_PROBLEM_LAYER
#include <rbo/problem/ProblemFile.h>
#endif

int main() {
  int major = 0, minor = 0, patch = 0;
  GetRBOVersion(&major, &minor, &patch);
  if (major != RBO_VERSION_MAJOR || minor != RBO_VERSION_MINOR || patch != RBO_VERSION_PATCH) {
    std::fprintf(stderr, "version mismatch: library %d.%d.%d, header %s\n", major, minor, patch, RBO_VERSION_STRING);
    return 1;
  }
  CRandVar normal(0, 0.0, 1.0);
  const double p = normal.CDF(1.96);
  if (std::fabs(p - 0.9750021) > 1e-4) {
    std::fprintf(stderr, "CDF(1.96) = %.7f, expected 0.9750021\n", p);
    return 1;
  }
  // g = R - S with R ~ N(10, 1.5), S ~ N(5, 2): beta = 5 / 2.5 = 2.
  const rbo::reliability::StandardSpace space({CRandVar(0, 10.0, 1.5), CRandVar(0, 5.0, 2.0)});
  const rbo::reliability::LimitStateFunction g = [](const rbo::reliability::Batch& x) {
    rbo::reliability::Batch values;
    for (const std::vector<double>& point : x) values.push_back({point[0] - point[1]});
    return values;
  };
  const rbo::reliability::DesignPoint form = rbo::reliability::Form(space, g, 0).Best();
  if (!form.converged || std::fabs(form.beta - 2.0) > 1e-6) {
    std::fprintf(stderr, "FORM gave beta %.9g (converged %d), expected 2\n", form.beta, int(form.converged));
    return 1;
  }
#ifdef RBO_CONSUMER_USES_PROBLEM_LAYER
  const std::string text = R"({"title": "g = R - S",
    "random_variables": [{"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5},
                         {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}],
    "responses": [{"name": "g", "lower": 0}],
    "analysis": {"expressions": {"g": "R - S"}}})";
  rbo::problem::Problem problem;
  const auto diagnostics = rbo::problem::ParseProblem(text, "", rbo::problem::ModelMode::kCheckOnly, &problem);
  if (!diagnostics.empty() || problem.responses.empty()) {
    std::fprintf(stderr, "the problem layer rejected the embedded example (%zu diagnostics)\n", diagnostics.size());
    return 1;
  }
  std::printf("problem layer: \"%s\" read\n", problem.title.c_str());
#endif
  std::printf("RBO %s installed and usable: Phi(1.96) = %.6f, FORM beta = %.6f\n", RBO_VERSION_STRING, p, form.beta);
  return 0;
}
