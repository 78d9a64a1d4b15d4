// Evaluating a problem's design points: all in one go (EvaluatePoints), or
// each batch by batch until its statistics settle (RunUntilConverged).
//
// Both configure the reference host for the problem (ConfigureHost), build
// its database and leave the analysis set on the host; a caller clears it
// with refhost::SetAnalysis(nullptr) when done.  One problem per process
// (see Problem.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/problem/Problem.h"
#include "rbo/problem/Result.h"

namespace rbo::problem {

/// Analyses counted by the counter of a run; may be null.
using AnalysisCounter = std::shared_ptr<std::atomic<long long>>;

/// How EvaluatePoints draws the samples of method 0 or 1: every design
/// point's samples at once (oneGo), or, when they would not fit within the
/// memory (MemoryLimit), design point after design point in `batches`
/// batches of at most `size` samples, folded into running statistics as
/// --until-converged folds them; batch k (from 0) is drawn from seed + k,
/// so a single batch is the sample of the run in one go.
struct SampleBatches {
  bool oneGo = true;      ///< every design point at once
  long long batches = 1;  ///< batches per design point
  long long size = 0;     ///< samples per batch (the last may have fewer)
};

/// The batches of EvaluatePoints for this problem (one batch of all samples
/// for the other methods and for problems without randomness).
SampleBatches SampleBatchesOf(const Problem& problem);

/// Refuses (EvaluationError) a run whose smallest batch would not fit within
/// the memory (CheckBatchMemory): for methods 0 and 1 a single sample of one
/// design point, for the surface methods one design point, otherwise every
/// design point at once.
void CheckRunMemory(const Problem& problem);

/// Analyses EvaluatePoints runs per design point: the samples of a sampling
/// method, the surface design and the point of a surface method, 0 for a
/// reliability method (not known in advance), else 1.
long long AnalysesPerPoint(const Problem& problem);

/// Evaluates every design point of the problem (Problem::designPoints) with
/// its settings; a reliability method through EvaluateReliability
/// (Reliability.h).  Throws std::invalid_argument when MethodRefusal says
/// why the method cannot evaluate the problem.  The surface methods (2 to 4) first analyse a small design
/// of 2N points around each design point (N random variables, every mean
/// moved within one standard deviation), so that the library's surface is
/// determined there.  Sampling runs too large for the memory go in batches
/// (SampleBatchesOf).  Throws EvaluationError for a statistic that is not a
/// number or a batch too large for the memory, SurfaceFitError when the
/// library could not fit its surface, and passes on what the library or the
/// analysis throws.  pCounter counts the analyses as they finish.
std::vector<PointResult> EvaluatePoints(const Problem& problem, const AnalysisCounter& pCounter);

/// EvaluatePoints of method 0 or 1 in the given batches, whatever the
/// memory: each design point's samples folded batch by batch.  With one
/// batch it gives what the run in one go gives.
std::vector<PointResult> EvaluatePointsInBatches(const Problem& problem, const AnalysisCounter& pCounter,
                                                 const SampleBatches& batches);

// ---------------------------------------------------------------- until converged

/// Settings of RunUntilConverged.
struct ConvergenceOptions {
  double tol = 0.1;            ///< settled: every 95% interval within tol times its estimate
  long long budget = 1000000;  ///< samples per design point at most
};

/// The running statistics after one batch.
struct BatchRecord {
  int batch = 0;          ///< 1-based batch number
  long long samples = 0;  ///< samples folded so far
  PointResult stats;      ///< running statistics; each POF with its 95% interval from `samples`
};

/// The batches of one design point.
struct ConvergenceRecord {
  std::valarray<double> design;      ///< the design point
  std::vector<BatchRecord> batches;  ///< in order
  bool converged = false;            ///< stopped because the statistics settled
  std::string reason;                ///< why it stopped, one sentence
};

/// What a batch is doing, for a progress display.
enum class BatchPhase { kDrawing, kAnalysing, kFolding };

/// Reports of RunUntilConverged as it goes; any may be empty.  point is the
/// 0-based index of the design point.
struct ConvergenceCallbacks {
  std::function<void(std::size_t point, const std::valarray<double>& design)> pointStarted;
  std::function<void(BatchPhase phase)> phase;
  std::function<void(std::size_t point, const BatchRecord& batch)> batchDone;
  std::function<void(std::size_t point, const ConvergenceRecord& record)> pointDone;
};

/// Why the problem cannot be run until converged ("" when it can): only the
/// sampling methods 0 and 1 fold samples batch by batch, and only a problem
/// with something random has samples.
std::string UntilConvergedRefusal(const Problem& problem);

/// Whether the statistics of a point count as settled after the batch: the
/// 95% interval of every POF (responses with bounds) lies within tol times
/// the POF, and that of every mean (responses without bounds) within tol
/// times the mean's magnitude.  A POF still at 0 never counts as settled:
/// nothing is known yet about how small it is.
bool Settled(const BatchRecord& batch, double tol);

/// Folds batches of Problem::settings.samples samples into the statistics
/// of each design point until they settle (Settled), the last batch changed
/// nothing, or the budget runs out.  Every batch draws from its own stream
/// (seed + batch number), so batch 1 is the sample of EvaluatePoints.
/// Throws std::invalid_argument when UntilConvergedRefusal says why not,
/// EvaluationError as EvaluatePoints does.
std::vector<ConvergenceRecord> RunUntilConverged(const Problem& problem, const ConvergenceOptions& options,
                                                 const AnalysisCounter& pCounter,
                                                 const ConvergenceCallbacks& callbacks);

}  // namespace rbo::problem
