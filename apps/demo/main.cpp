// rbo-demo: one random variable of each distribution, its moments, a few
// quantiles, a re-parameterisation, and a rejected parameter with the report
// the library writes to the host log.
#include <cstdio>
#include <string>
#include <vector>

#include "rbo/RBO.h"
#include "rbo/host/ReferenceHost.h"

namespace {

struct Example {
  const char* pszName;
  CRandVar var;
  double dNewMean;
  double dNewStdDev;
};

void Show(const char* pszName, CRandVar& v) {
  std::printf("%-10s p1=%-10.6g p2=%-10.6g p3=%-10.6g mean=%-12.8g sd=%-12.8g", pszName, v.GetParam1(), v.GetParam2(),
              v.GetParam3(), v.GetActualMean(), v.GetActualStdDev());
  for (double p : {0.01, 0.5, 0.99}) std::printf("  q%.2f=%-11.7g", p, v.InverseCDF(p, -1.0));
  std::printf("\n");
}

}  // namespace

int main() {
  std::vector<Example> examples = {
      {"normal", CRandVar(CRandVar::kNormal, 10.0, 2.0), 12.0, 1.0},
      {"uniform", CRandVar(CRandVar::kUniform, 0.0, 4.0), 3.0, 0.5},
      {"lognormal", CRandVar(CRandVar::kLognormal, 1.0, 0.25), 3.0, 1.5},
      {"weibull", CRandVar(CRandVar::kWeibull, 0.0, 2.0, 1.5), 3.0, 1.0},
  };

  std::printf("Random variables: parameters, actual moments and quantiles\n");
  for (auto& e : examples) Show(e.pszName, e.var);

  std::printf("\nRe-parameterised to a wanted mean and standard deviation\n");
  for (auto& e : examples) {
    e.var.UpdateParamsFromActualMeanStdDev(e.dNewMean, e.dNewStdDev);
    std::printf("(target mean %g, sd %g)\n", e.dNewMean, e.dNewStdDev);
    Show(e.pszName, e.var);
  }

  std::printf("\nA rejected parameter: a normal variable with standard deviation -1\n");
  std::printf("The library's report, as the host log receives it:\n");
  std::fflush(stdout);
  try {
    CRandVar bad(CRandVar::kNormal, 0.0, -1.0);
  } catch (const CEngErr& e) {
    std::printf("Caught %s raised at %s line %d\n", e.what(), e.m_pszFile, e.m_nLine);
  }
  return 0;
}
