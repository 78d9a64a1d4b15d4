// The optimiser's view of a problem's design variables, and the batches of
// design points it has the library judge.
//
// Internal to the problem layer's optimiser (Optimize.h is its
// interface); tests reach these pieces directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/RBO.h"
#include "rbo/problem/Optimize.h"
#include "rbo/problem/Problem.h"
#include "rbo/problem/Result.h"
#include "rbo/reliability/StandardNormal.h"

namespace rbo::problem::optimize {

using rbo::reliability::NormalQuantile;

/// True for the RBO methods that fold analyses at the means through a
/// response surface fitted over design points (2, 3, 4).
inline bool IsSurfaceMethod(int method) { return method >= 2 && method <= 4; }

/// The independent design variables as the optimiser and the library see
/// them.  Entries 0 .. problem size - 1 are Problem::designVariables; for the
/// response-surface methods every random variable whose mean is not such a
/// variable gets one more entry holding its mean (see PromoteRandomMeans).
/// The optimiser moves the "moving" entries (lower bound below upper bound);
/// the others stay at their values.
class CDesignSpace {
 public:
  /// Reads the layout from db (already built from problem.builder) and, for
  /// methods 2 to 4, promotes the fixed random means into db.  Throws
  /// std::invalid_argument for a problem that cannot be optimised this way.
  CDesignSpace(CDB& db, const Problem& problem, int method, const OptimizeOptions& options);

  int FullSize() const { return int(m_vFull0.size()); }
  int ProblemSize() const { return m_nProblemSize; }
  /// Entries the optimiser moves, in increasing order.
  const std::vector<int>& Moving() const { return m_vMoving; }
  /// Entries whose step belongs to every evaluation: for method 2, which
  /// fits each batch on its own, every random mean (the fit needs each
  /// random variable's mean to vary within the batch).
  const std::vector<int>& RegressionSteps() const { return m_vRegressionSteps; }
  /// Method 2 fits each batch on its own: a step in a deterministic variable
  /// then needs a batch of its own around the stepped point.
  bool StepsNeedOwnBatch(int entry) const;
  /// The initial point (clamped into the bounds), every entry.
  const std::valarray<double>& Initial() const { return m_vFull0; }
  double Lower(int entry) const { return m_vLower[std::size_t(entry)]; }
  double Upper(int entry) const { return m_vUpper[std::size_t(entry)]; }
  /// Scale of entry: the optimiser works with x / Scale.
  double Scale(int entry) const { return m_vScale[std::size_t(entry)]; }
  /// Name of an entry ("R", or "S.mean" for a promoted random mean).
  const std::string& Name(int entry) const { return m_vNames[std::size_t(entry)]; }

  /// The point with entry stepped forward (backward where the upper bound is
  /// too close) by its finite-difference step.  A random mean is stepped in
  /// its actual mean on the full design-variable vector with
  /// FDRandMeanIntoFDRandEntry; the other entries directly.  *pdDelta
  /// receives the change of the entry.
  std::valarray<double> Step(const std::valarray<double>& full, int entry, double* pdDelta) const;

  /// Methods 3 and 4 fit one polynomial, up to cubic, over every design
  /// point evaluated since the start, and refuse a fit that the points do
  /// not determine.  The path of an optimiser does not determine one: a
  /// random parameter's mean never moves.  These points seed the fit: a
  /// Latin hypercube of twice the cubic's terms, every random mean within
  /// one standard deviation (and half its size) of its initial value, the
  /// moving ones within their bounds.  Empty for the other methods.
  std::vector<std::valarray<double>> SeedPoints(std::uint64_t seed) const;

  /// The step size of entry at the point (before its direction is chosen).
  double StepSize(const std::valarray<double>& full, int entry) const;
  /// Fixes the step size of entry from now on (see CalibrateSteps).
  void SetStepSize(int entry, double h) { m_vFixedStep[std::size_t(entry)] = h; }
  /// The statistics come from samples (methods 0, 1, 3, 4 on the random path).
  bool IsSampling() const { return m_bSampling; }

 private:
  /// The full design-variable vector of a point, as AnalysisVerif builds it.
  std::valarray<double> DesignVariableVector(const std::valarray<double>& full) const;

  CDB& m_db;                         ///< the database the library reads
  int m_nMethod;                     ///< RBO method
  bool m_bSampling = false;          ///< statistics come from samples (methods 0, 1, 3, 4)
  int m_nProblemSize;                ///< Problem::designVariables.size()
  std::valarray<double> m_vFull0;    ///< initial point, every entry
  std::vector<double> m_vLower;      ///< lower bound per entry
  std::vector<double> m_vUpper;      ///< upper bound per entry
  std::vector<double> m_vScale;      ///< typical size per entry
  std::vector<double> m_vStdDev;     ///< standard deviation of a random mean's variable, 0 otherwise
  std::vector<double> m_vFixedStep;  ///< step size fixed by calibration, 0 before
  std::vector<int> m_vMeanNumber;  ///< mean-entry number of a random mean (FDRandMeanIntoFDRandEntry's k), -1 otherwise
  std::vector<bool> m_vHeld;       ///< the optimiser does not move the entry
  std::vector<std::string> m_vNames;    ///< entry names
  std::vector<int> m_vMoving;           ///< moving entries
  std::vector<int> m_vRegressionSteps;  ///< entries stepped in every evaluation
  double m_dFdStep;                     ///< relative finite-difference step
  double m_dFdSampleStep;               ///< least step of a random mean under sampling, in standard deviations
  double m_dFdSampleRelStep;            ///< least step of another variable under sampling, relative
};

/// Turns the mean of every random variable that is not an independent
/// design variable (a random parameter) into one: a new last entry of
/// design-variable group 0, removed from group 3, with every reference
/// (design-variable vector, links, synthetics) moved along.  The response
/// surfaces of methods 2 to 4 regress over the means of all random
/// variables, so each mean must be a value the host can vary from one
/// design point to the next.  Returns the design-variable-vector entries
/// whose mean moved, in the order of their new independent entries.
std::vector<int> PromoteRandomMeans(CDB& db);

/// How each constraint is handed to the optimiser.  An upper bound 0 < b < 1
/// on a probability (POF, any or joint fraction) becomes
/// NormalQuantile(p) - NormalQuantile(b), a reliability index that is
/// linear in the means for a linear limit state and spans probabilities of
/// many orders of magnitude evenly; p is floored at half a sample for the
/// sampling methods (an estimate of 0 means "below 1 / samples").  Any other
/// constraint is its scaled violation, divided by max(1, |bound| / scale)
/// so that large bounds give relative violations.  Every form is <= 0
/// exactly where the constraint holds, up to the margin below.
///
/// Sampling methods: an estimated probability is a staircase in steps of
/// 1 / samples.  An optimiser that approaches the bound from outside can
/// stall one step short of it: the linearised constraint promises that a
/// tiny move reaches the bound, but no sample crosses.  The optimiser is
/// therefore asked for one step more: the form of such a constraint
/// includes a margin of one sample at the bound (NormalQuantile(b + 1/N) -
/// NormalQuantile(b)), far inside the sampling error of the estimate.
/// And where the sample holds fewer than ten samples beyond the bounds of
/// the response (a design far on the safe side, or far failed) the
/// estimate is a flat 0 or 1 that gives the optimiser no direction; there
/// the index leans on the response's second-moment index
/// (mean - bound) / sd, which the sample does resolve, in proportion to the
/// missing samples (exactly at ten samples the estimate alone counts), but
/// never beyond what the sample allows: with k samples beyond the bounds
/// the index is at most NormalQuantile((k + 1) / N).
class CConstraintForms {
 public:
  CConstraintForms(CDB& db, const Problem& problem, int method, int samples);
  /// The optimiser's constraint values at one design point from its
  /// constrained quantities and its evaluation (scaled violations, response
  /// statistics).
  std::vector<double> Values(const std::vector<double>& subjects, const PointResult& e) const;
  bool IsProbability(std::size_t c) const { return m_vProbability[c]; }
  std::size_t Count() const { return m_vProbability.size(); }
  /// The largest form without its margin: <= 0 when every constraint holds.
  double Worst(const std::vector<double>& forms) const;
  /// Warnings about constraints the sampling cannot resolve.
  const std::vector<std::string>& Warnings() const { return m_vWarnings; }

 private:
  std::vector<bool> m_vProbability;        ///< constraint is in reliability-index form
  std::vector<double> m_vBoundIndex;       ///< NormalQuantile(bound) of such a constraint
  std::vector<double> m_vFloor;            ///< least probability of such a constraint
  std::vector<double> m_vDivisor;          ///< divisor of the other constraints
  std::vector<double> m_vMargin;           ///< margin of a sampled probability, 0 otherwise
  std::vector<int> m_vResponse;            ///< response (in PointResult::responses) of a POF, -1 otherwise
  std::vector<const Response*> m_vBounds;  ///< that response's bounds
  double m_dSamples = 0.0;                 ///< samples per design point of a sampling method, 0 otherwise
  std::vector<std::string> m_vWarnings;    ///< resolution warnings
};

/// One batch of design points through the library.
struct BatchOutcome {
  std::vector<PointResult> points;                 ///< per design point (objective in the problem's own sense)
  std::vector<double> evalObj;                     ///< EvalObj value per design point
  std::vector<std::vector<double>> subjectValues;  ///< per point, per constraint: the constrained quantity
};

/// Runs batches through AnalysisVerif and reads the results, counting
/// batches and analyses.
class CBatchRunner {
 public:
  CBatchRunner(CDB& db, const Problem& problem, int method, int samples, bool bParallel, int nProblemSize);
  /// Judges the points (full entries each).  Throws SurfaceFitError when
  /// the library could not fit its response surface for the batch, and
  /// EvaluationError for a statistic that is not a finite number.
  BatchOutcome Run(const std::vector<std::valarray<double>>& points);
  long long Analyses() const { return m_nAnalyses; }
  int Batches() const { return m_nBatches; }
  /// Analyses one design point costs.
  long long AnalysesPerPoint() const { return m_nPerPoint; }

 private:
  /// Where a quantity of the host sits in the results of a batch.
  struct Locator {
    int source;  ///< 0 independent design variable, 1 design-variable vector, 2 response vector
    int row;     ///< row in that source
  };
  Locator Locate(int type, int index) const;
  double Value(const Locator& l, const CMatrix<double>& ind, const CMatrix<double>& dv, const CMatrix<double>& resp,
               int p) const;

  CDB& m_db;                             ///< the database
  const Problem& m_problem;              ///< names, refs and bounds
  int m_nMethod;                         ///< RBO method
  bool m_bParallel;                      ///< AnalysePar instead of Analysis
  bool m_bRandom;                        ///< the library takes its random path
  int m_nProblemSize;                    ///< entries that are Problem::designVariables
  long long m_nPerPoint;                 ///< analyses per design point
  long long m_nAnalyses = 0;             ///< analyses so far
  int m_nBatches = 0;                    ///< batches so far
  double m_dIntervalSamples;             ///< samples behind a POF's 95% interval, 0 when not sampled
  std::vector<Locator> m_vConstraintAt;  ///< subject of each constraint
};

}  // namespace rbo::problem::optimize
