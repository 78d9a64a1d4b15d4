// rbo::problem::Problem: one problem file, parsed and checked, ready to be
// evaluated by the library on the reference host.
//
// The problem-file reader fills it (ProblemFile.h, LoadProblemFile); every
// evaluation of the layer (Run.h, Optimize.h) and every command that works
// on a problem (`run`, `check`, `optimize`) reads it from here.  The struct
// is plain data plus the ProblemBuilder that lays out the host database and
// the model function that computes the analysis, so a consumer needs only
// this header and the reference host (Evaluate.h and Run.h do these steps):
//
//   rbo::problem::Problem& p = ...;                    // from LoadProblemFile
//   std::unique_ptr<CDB> db = p.builder.Build();
//   refhost::SetRBOMethod(p.settings.method, p.settings.samples);
//   refhost::SetSeed(p.settings.seed);
//   refhost::SetWorkerCount(p.settings.workers);
//   refhost::SetAnalysis(p.builder.Analysis(p.model));  // or SetBatchAnalysis(p.builder.BatchAnalysis(p.batchModel))
//   CMatrix<double> points = p.builder.DesignMatrix({x0, x1, ...});   // x: one value per designVariables entry
//   AnalysisVerif(db.get(), points, ..., p.settings.parallel ? 1 : 0, ...);
//
// Caution for batches of several design points: AnalysisVerif evaluates the
// objective and the constraint value of every column with the design
// variables of the LAST column of the batch (the host database holds those
// when it evaluates them), so a term on a design variable (a cost R + S) is
// wrong for every column but the last.  Evaluate.h recomputes both per
// column (RecomputeObjectiveAndConstraint); use it after every
// AnalysisVerif call with more than one column.
//
// Methods 2 to 4 fit a response surface in the random variables' means
// through every design point analysed so far in the process.  The means of
// random parameters (VariableKind::kRandomParameter) are constants of the
// database and never move between design points, so the fit is
// rank-deficient (the library logs that it could not construct its
// approximations, refhost::FitFailures counts it, and the statistics stay
// at 0) unless the caller also moves them, in CDB::m_vGroup3DVs;
// EvaluatePoints (Run.h) analyses a small design around every design point
// for this.  Method 2 refits on every call only when CDB::m_optimizerKind is
// nonzero.
//
// The library fills its process-wide tables (random-variable types, the
// bounds of the random responses) on its first call and keeps them for the
// life of the process: one problem per process.  Building the database again
// from the same builder is fine (the layout is the same every time).
#pragma once

#include <cstdint>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/host/ProblemBuilder.h"

namespace rbo::problem {

/// The library's "infinity": an absent bound.
constexpr double kNoBound = 1.0e30;

/// How a model variable enters the problem (the ProblemBuilder call that made it).
enum class VariableKind {
  kDesign,           ///< deterministic design variable: the optimiser moves it
  kConstant,         ///< deterministic constant
  kRandomDesign,     ///< random variable whose mean the optimiser moves (sd fixed)
  kRandomParameter,  ///< random variable with fixed mean and sd
};

/// One model variable: one input of the analysis, in analysis-input order.
struct Variable {
  std::string name;    ///< as in the problem file; the analysis sees it by this name
  VariableKind kind;   ///< how it enters the problem
  int distribution;    ///< CRandVar type code (0 normal, 1 uniform, 2 lognormal, 3 Weibull); 0 when deterministic
  double value;        ///< value, or the (actual) mean of a random variable
  double stdDev;       ///< actual standard deviation of a random variable; 0 when deterministic
  int designVariable;  ///< index into Problem::designVariables, -1 when the optimiser does not move it
};

/// One independent design variable: one row of the design-point vector that
/// AnalysisVerif takes, in the order of Problem::designVariables.
struct DesignVariable {
  std::string name;  ///< as in the problem file
  double value;      ///< initial value (the mean of a random design variable)
  double lower;      ///< lower bound; -kNoBound when the file gives none
  double upper;      ///< upper bound; kNoBound when the file gives none
  bool random;       ///< the mean of a random variable (its standard deviation stays fixed)
  int variable;      ///< index into Problem::variables
};

/// One response of the analysis, in analysis-output order.
struct Response {
  std::string name;          ///< as in the problem file
  bool random;               ///< statistics (mean, sd, POF) are computed for it
  refhost::ResponseRef ref;  ///< its entries in the host response vector
  bool hasLower;             ///< lower bound given: failure (random) / constraint (deterministic) below it
  double lower;              ///< the lower bound
  bool hasUpper;             ///< upper bound given: failure / constraint above it
  double upper;              ///< the upper bound
  double scale;              ///< divides a violation of either bound
};

/// One constraint as the host evaluates it: subject <= bound (side > 0) or
/// subject >= bound (side <= 0).  The bounds of every response appear here
/// too (the bounds of a random response's mean are what its POF counts).
struct Constraint {
  std::string subject;  ///< readable subject: "g" (mean / value), "g.pof", "g.sd", "any", "joint", a design variable
  refhost::QuantityRef ref;  ///< the host quantity
  int side;                  ///< > 0 upper bound, <= 0 lower bound
  double bound;              ///< the bound
  double scale;              ///< divides a violation
};

/// One term of the objective: coef * subject, or coef * subject^2.
struct ObjectiveTerm {
  std::string subject;       ///< readable subject, as for constraints
  refhost::QuantityRef ref;  ///< the host quantity
  double coef;               ///< coefficient
  bool square;               ///< the square of the subject instead of its value
};

/// Codes of the reliability methods, after the library's RBO methods 0..4;
/// the problem file and the command name them (form, sorm, is, subset).
constexpr int kMethodForm = 5;    ///< first-order reliability: the design point and beta
constexpr int kMethodSorm = 6;    ///< FORM plus the curvature correction at the design point
constexpr int kMethodIs = 7;      ///< importance sampling around the FORM design points
constexpr int kMethodSubset = 8;  ///< subset simulation
constexpr int kMethodSora = 9;    ///< `rbo optimize`: sequential optimisation and reliability assessment
constexpr int kMethodCount = 10;  ///< codes 0 .. kMethodCount - 1

/// True for the reliability methods (FORM, SORM, importance sampling, subset
/// simulation): they evaluate the model directly in the standard normal
/// space and support correlated inputs.
inline bool IsReliabilityMethod(int method) { return method >= kMethodForm && method <= kMethodSubset; }

/// Settings of the reliability methods.
struct ReliabilitySettings {
  /// Importance sampling: stop at this c.o.v. (0: 0.05).  Subset simulation:
  /// repeat independent runs until their mean has it (0: one run).
  double targetCov = 0.0;
  long long maxAnalyses = 100000;  ///< analysis budget per probability estimated by simulation
  int starts = 1;                  ///< FORM: searches from this many starts (several design points)
  int samplesPerLevel = 2000;      ///< subset simulation: samples per level
};

/// How to evaluate: from the problem file, overridden by command-line options.
/// What a failed analysis does to the run.
enum class FailureAction {
  kStop,   ///< the run stops with the failure (the default)
  kRetry,  ///< the point is analysed again, up to FailurePolicy::retries more times, then the run stops
  kSkip,   ///< after the retries the point is left out; the statistics are over the points that succeeded
};

/// The failure policy of the analyses ("on_failure" in the problem file).
struct FailurePolicy {
  FailureAction action = FailureAction::kStop;
  int retries = 0;                   ///< extra attempts of a failed point (retry: default 2; skip: default 0)
  double maxSkippedFraction = 0.01;  ///< skip: the run stops when more of a design point's analyses fail
};

struct Settings {
  int method = 1;                   ///< RBO method code 0..4, or a reliability method (kMethodForm ..)
  int samples = 10000;              ///< sample points per design point (methods 0, 1, 3, 4)
  std::uint64_t seed = 1;           ///< seed of the sampling (common random numbers)
  bool parallel = false;            ///< run the analyses of a batch on worker threads
  int workers = 0;                  ///< worker threads when parallel; 0: one per core
  ReliabilitySettings reliability;  ///< the reliability methods' settings
  FailurePolicy onFailure;          ///< what a failed analysis does
};

/// The analysis: muparser expressions or an external program (the model
/// function wraps either).
enum class AnalysisKind { kExpressions, kProgram };

/// A parsed, checked problem.
struct Problem {
  std::string path;                                 ///< problem file ("" for the embedded example)
  std::string title;                                ///< one-line description from the file
  std::vector<Variable> variables;                  ///< model variables, in analysis-input order
  std::vector<DesignVariable> designVariables;      ///< independent design variables, in design-point order
  std::vector<Response> responses;                  ///< responses, in analysis-output order
  std::vector<Constraint> constraints;              ///< every constraint, in the order given to the builder
  std::vector<ObjectiveTerm> objective;             ///< objective terms
  int sense = 1;                                    ///< +1 minimise, -1 maximise
  Settings settings;                                ///< method, samples, seed, parallelism
  std::vector<std::valarray<double>> designPoints;  ///< points to evaluate (EvaluatePoints); at least the initial point
  /// Correlation of the random variables (the physical variables'), row-major,
  /// one row per random variable in Problem::variables order; empty when
  /// they are independent.  Only the reliability methods accept it.
  std::vector<double> correlation;
  AnalysisKind analysisKind = AnalysisKind::kExpressions;  ///< what the model function runs
  refhost::ProblemBuilder builder;  ///< lays out the host database (Build) and adapts the model (Analysis)
  refhost::ModelFunction model;     ///< model variables -> model responses; safe to call on several threads
  /// model on many points at once (model variables x points -> model
  /// responses x points), giving every point the very values of model; the
  /// expressions set it.  The runners give it chunks of points and analyse
  /// a chunk in which some point fails with model, point by point, which
  /// reports, retries or skips that point.  Empty: model alone.
  refhost::BatchModelFunction bulkModel;
  /// The analysis of many points at once (model variables x points -> model
  /// responses x points), for a caller that brings its own analysis; when
  /// set, every evaluation runs it instead of model, on chunks of points from
  /// one thread (refhost::AnalyseBatch).
  refhost::BatchModelFunction batchModel;

  /// The design variables' initial values as one design point.
  std::valarray<double> InitialPoint() const {
    std::valarray<double> x(designVariables.size());
    for (std::size_t i = 0; i < designVariables.size(); ++i) x[i] = designVariables[i].value;
    return x;
  }
  /// Lower and upper bounds of the design variables, in design-point order.
  std::valarray<double> LowerBounds() const {
    std::valarray<double> b(designVariables.size());
    for (std::size_t i = 0; i < designVariables.size(); ++i) b[i] = designVariables[i].lower;
    return b;
  }
  std::valarray<double> UpperBounds() const {
    std::valarray<double> b(designVariables.size());
    for (std::size_t i = 0; i < designVariables.size(); ++i) b[i] = designVariables[i].upper;
    return b;
  }
};

}  // namespace rbo::problem
