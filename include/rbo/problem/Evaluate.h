// rbo::problem::EvaluateDesignPoints: one batch of design points through
// AnalysisVerif, with the objective and constraint value of every column
// evaluated at that column's own design variables; the host's configuration
// for a problem; the memory check of a sampled batch; and the typed failures
// of an evaluation.
#pragma once

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <valarray>

#include "rbo/RBO.h"
#include "rbo/problem/Problem.h"

namespace rbo::problem {

/// An evaluation that gave no usable result: a statistic that is not a
/// finite number, a batch too large for the memory.
class EvaluationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The library could not fit its response surface (methods 2 to 4): the
/// statistics it left are not results.
class SurfaceFitError : public EvaluationError {
 public:
  using EvaluationError::EvaluationError;
};

/// Results of one batch: one column / element per design point.
struct BatchResult {
  CMatrix<double> designPoints;      ///< full design-variable vector per point
  CMatrix<double> designResponses;   ///< host response vector per point (statistics of the random responses)
  std::valarray<double> objective;   ///< objective value per point
  std::valarray<double> constraint;  ///< largest scaled constraint violation per point (<= 0: feasible)
};

/// Configures the reference host for the problem: method and samples, seed,
/// workers, and the analysis (the batch model when the problem has one, else
/// the model; counting finished analyses in *pCounter when it is given).
void ConfigureHost(const Problem& problem, std::shared_ptr<std::atomic<long long>> pCounter);

/// Problem::bulkModel, adding the points of every call that the runners
/// keep (every value finite; they analyse the others again point by point,
/// and count them there) to *pCounter (the model itself when pCounter is
/// null).
refhost::BatchModelFunction CountedBulkModel(refhost::BatchModelFunction model,
                                             std::shared_ptr<std::atomic<long long>> pCounter);

/// The batch model, adding the points of every finished call to *pCounter
/// (the model itself when pCounter is null).
refhost::BatchModelFunction CountedBatchModel(refhost::BatchModelFunction model,
                                              std::shared_ptr<std::atomic<long long>> pCounter);

/// Evaluates the objective and the constraint value of every column again,
/// each with its own design variables and responses.  AnalysisVerif leaves
/// the database holding the last column's design variables while it
/// evaluates all columns, so terms on design variables would otherwise be
/// those of the last point.
void RecomputeObjectiveAndConstraint(CDB& db, const CMatrix<double>& indDVs, CMatrix<double>& designResponses,
                                     std::valarray<double>& objective, std::valarray<double>& constraint);

/// Method 2 gives the joint-violation probability as the product of the POFs
/// of every random response, one without bounds counting 0 (so any such
/// response makes it 0).  The sampling methods count the samples at which
/// the bounded responses fail together; a response without bounds takes no
/// part.  So that the methods agree, method 2's joint entry becomes the
/// product over the bounded responses only (0 when none has bounds): for a
/// single bounded response its POF, as sampling gives.  The product still
/// treats the responses as independent.
void JointOverBoundedResponses(const Problem& problem, CMatrix<double>& designResponses);

/// Runs AnalysisVerif on the design points (columns of indDVs) with the
/// analysis, method, seed and parallelism already configured on the host
/// (see Problem.h), then corrects objective and constraint per column.
/// With the problem given, method 2's joint-violation probability is first
/// made comparable with the sampling methods' (JointOverBoundedResponses),
/// so that a constraint or an objective term on it sees that value.
BatchResult EvaluateDesignPoints(CDB& db, const CMatrix<double>& indDVs, bool bParallel,
                                 const Problem* pProblem = nullptr);

/// The full design-variable vector of a design point (the independent design
/// variables `design`), as AnalysisVerif builds it: links and synthetic
/// variables evaluated, then every analysis input's entry.
std::valarray<double> DesignVariableVector(CDB& db, const std::valarray<double>& design);

/// The random variables at a design-variable vector, with the database's
/// types and the parameters the library loads from it (a Weibull variable
/// starts with location 0).
std::valarray<CRandVar> RandomVariablesAt(CDB& db, std::valarray<double>& dvVector);

/// Numbers per sample point that a sampled batch holds at once, per input
/// and output value: the analysis matrices and the library's copies of them
/// (measured: about 1.5 for one response, 1.8 for two; rounded up).
constexpr double kCopiesPerSampleValue = 2.0;

/// The memory a run may take: RBO_MEMORY_LIMIT (bytes, or with a K, M, G or
/// T suffix) when set, otherwise half of the physical memory.  *pSource
/// says which.  Throws std::runtime_error for a limit that is no size.
double MemoryLimit(std::string* pSource);

/// Refuses, before anything is allocated, a sampled batch of `points`
/// design points with `samples` sample points each whose analysis matrices
/// would not fit within MemoryLimit.  Throws EvaluationError with the
/// estimate and ways out.
void CheckBatchMemory(const Problem& problem, double points, double samples);

}  // namespace rbo::problem
