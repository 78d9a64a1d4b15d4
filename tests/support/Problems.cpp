#include "support/Problems.h"

#include "foundation/ProcessState.h"

namespace testsupport {

void ResetLibraryState() { rbo::ResetProcessState(); }

Evaluation Evaluate(CDB& db, const refhost::ProblemBuilder& builder, const refhost::ModelFunction& model,
                    const CMatrix<double>& indDVs, bool bParallel) {
  refhost::SetAnalysis(builder.Analysis(model));
  Evaluation e;
  std::valarray<double> a, b;
  std::string s1, s2;
  CMatrix<double> points(indDVs);
  AnalysisVerif(&db, points, a, b, bParallel ? 1 : 0, 0, 0, 0, s1, s2, e.objective, e.constraint, e.designPoints,
                e.designResponses, false);
  return e;
}

}  // namespace testsupport
