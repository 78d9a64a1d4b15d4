// Small problems with known answers, shared by the end-to-end tests, and a
// reset of the library's process-wide tables so that each test starts as a
// freshly loaded library.
#pragma once

#include <cmath>
#include <memory>

#include "rbo/RBO.h"
#include "rbo/host/ReferenceHost.h"
#include "support/Numbers.h"

namespace testsupport {

/// Brings the library's whole process-wide state (tables filled once per
/// process, regression data, running statistics) back to its state at load
/// (rbo::ResetProcessState).
void ResetLibraryState();

/// g = R - S with R ~ N(muR, sdR) and S ~ N(muS, sdS) as random design
/// variables; g is a random response bounded below by 0 (failure: g < 0).
struct LinearLimitState {
  double muR = 10.0, sdR = 1.5, muS = 5.0, sdS = 2.0;
  refhost::ProblemBuilder builder;
  refhost::ResponseRef g;

  LinearLimitState() {
    builder.AddRandomDesignVariable("R", CRandVar::kNormal, muR, sdR);
    builder.AddRandomDesignVariable("S", CRandVar::kNormal, muS, sdS);
    g = builder.AddRandomResponse("g");
    builder.AddConstraint(g.value, -1, 0.0);
    builder.AddObjectiveTerm({kTypeIndDV, 0}, 1.0);
    builder.AddObjectiveTerm({kTypeIndDV, 1}, 1.0);
  }
  static void Model(const std::valarray<double>& x, std::valarray<double>& y) { y[0] = x[0] - x[1]; }
  double Mean() const { return muR - muS; }
  double StdDev() const { return std::sqrt(sdR * sdR + sdS * sdS); }
  double ExactPOF() const { return Phi(-Mean() / StdDev()); }
};

/// Result of one AnalysisVerif call.
struct Evaluation {
  std::valarray<double> objective, constraint;
  CMatrix<double> designPoints, designResponses;
};

/// Runs AnalysisVerif on the problem's initial point (or the given points)
/// with the model as the analysis.
Evaluation Evaluate(CDB& db, const refhost::ProblemBuilder& builder, const refhost::ModelFunction& model,
                    const CMatrix<double>& indDVs, bool bParallel = false);

}  // namespace testsupport
