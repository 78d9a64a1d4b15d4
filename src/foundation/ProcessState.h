// The library's process-wide state, all of it, in one place.
//
// A few operations keep data between calls: tables filled once from the
// host's database, regression data sets that grow with every design point,
// running statistics folded batch by batch.  Each operation's share is one
// struct below, used by that operation only.  One process-wide object owns
// them all (TheProcessState()); it is constructed on the first call that needs
// any of it and destroyed when the library is unloaded (or the process
// exits), so that nothing of it outlives the library.  Nothing here is
// locked: the entry points must not run on two threads at once.
//
// Tables filled from the database are filled once per process and are not
// rebuilt when the database changes.  ResetProcessState() brings every part
// back to its state at load, for tests and benchmarks that run several
// problems in one process; the library itself never calls it, and it is not
// exported from the shared library.
#pragma once

#include <atomic>
#include <memory>
#include <valarray>

#include "rbo/RandRespModules.h"
#include "rbo/RandVar.h"

namespace rbo {

/// Tables of AdjustRespsMatrices.  Each array is created empty on the
/// operation's first call, and its clean-up (release of the elements and of
/// the array) is registered with atexit at that moment: the clean-ups run at
/// unload in the reverse order of creation.  The arrays are filled from the
/// database on the first call that has random variables and random
/// responses, and kept (only their statistics change) for the life of the
/// library.
struct ResponseTablesState {
  std::valarray<bool>* s_constRandDVFlags = nullptr;   ///< constant flags of CheckConstantRandomDVs
  std::valarray<int>* s_constRandDVIndices = nullptr;  ///< mean positions of CheckConstantRandomDVs
  std::valarray<CRandVar>* s_randVars = nullptr;       ///< one per random variable of the database
  std::valarray<CRandResp>* s_randResps = nullptr;     ///< one per random response of the database
  int s_nConstRandDVs = 0;                             ///< count result of CheckConstantRandomDVs
  bool s_bFirstRespsCall = true;                       ///< the next call that passes the early exit fills the tables

  /// Creates the four arrays empty, once, registering their clean-ups in
  /// the order flags, indices, random variables, random responses.
  void CreateOnce();
  /// The next call fills the tables again (the arrays stay).
  void Reset();
};

/// State of AdjustDVsMatrices: captured from the database on the first call
/// that takes the random path and kept for the life of the library; later
/// changes of the database's random variables or response map are not
/// picked up.  Released with the owning object at unload.
struct ExpansionState {
  bool s_bFirstCall = true;            ///< nothing captured yet
  std::valarray<CRandVar> s_randVars;  ///< one per random variable; parameters of the last point loaded
  int s_nAnalysisResps = 0;            ///< rows of the analysis response matrix

  /// The next random call captures the array and the count again.
  void Reset();
};

/// Regression data of a response-surface method that fits through every
/// design point it has evaluated since the library was loaded:
/// AdjustRespsByApprox (method 2, first variant) and AdjustRespsBySampling
/// (methods 3 and 4) keep one set each.  The matrices are created empty on
/// the method's first call, never cleared, and released with the owning
/// object at unload.
struct RegressionDataSet {
  std::unique_ptr<CMatrix<double>> s_regressionX;  ///< one row per design point: the random variables' actual means
  std::unique_ptr<CMatrix<double>> s_regressionY;  ///< one row per design point: the mean entries' analysed values
  int s_nMeanEntries = 0;                          ///< number of mean entries, counted while 0

  /// Creates the matrices empty, once.
  void CreateOnce();
  /// Empties the matrices and the count.
  void Reset();
};

/// State of AdjustRespsByApproxRestart (method 2, restart variant), which
/// follows the host optimiser's restart cycle.  Created empty on the first
/// call, released with the owning object at unload; the regression data are
/// cleared by the cycle itself, the call counter never.
struct ApproximationRestartState {
  std::unique_ptr<CMatrix<double>> s_restartX;  ///< regression inputs since the last clearing
  std::unique_ptr<CMatrix<double>> s_restartY;  ///< regression targets since the last clearing
  std::unique_ptr<CMatrix<double>> s_restartK;  ///< coefficients of the last fit
  std::unique_ptr<CMatrix<int>> s_restartE;     ///< exponent table of the last fit
  std::unique_ptr<CMatrix<double>> s_restartZ;  ///< stored analysed response columns for the host's restart
  int s_nRestartCalls = 0;                      ///< calls since the library was loaded
  int s_nRestartRandResps = 0;                  ///< number of mean entries, counted while 0

  /// Creates the five matrices empty, once.
  void CreateOnce();
  /// Empties the matrices, the counters and the count.
  void Reset();
};

/// Running statistics of UpdateSamplePointRandResps, kept between calls
/// for the life of the library and restarted by a call with the first-batch
/// flag.  Independent of the tables of AdjustRespsMatrices.  Released with
/// the owning object at unload.
struct SamplePointState {
  std::valarray<CRandResp> s_sampleRandResps;  ///< running statistics (not sums) per random response
  std::valarray<double> s_sampleEntryMeans;    ///< per entry: running mean, or substitute value
  double s_sampleJointFraction = 0.0;          ///< running fraction of samples with the joint flag
  double s_sampleAnyFraction = 0.0;            ///< running fraction of samples violating any bound
  bool s_bStarted = false;                     ///< a first batch has been folded
  bool s_bHaveSubstitutes = false;             ///< substitute values were computed since the first batch

  /// Forgets the statistics: the next fold needs a first batch.
  void Reset();
};

/// Settings of the sample matrices (SetSamplingWorkers), and the count of
/// values they have mapped through inverse distributions (SampledValueCount),
/// the one member read from other threads.
struct SamplingSettings {
  int s_nWorkers = 1;                           ///< threads that invert a large sample matrix; 0: one per core
  std::atomic<long long> s_nInvertedValues{0};  ///< values inverted since load, for progress displays

  /// Back to the calling thread alone.
  void Reset() { s_nWorkers = 1; }
};

/// Everything the library keeps between calls, by owning operation.
struct ProcessState {
  ResponseTablesState responseTables;              ///< AdjustRespsMatrices
  ExpansionState expansion;                        ///< AdjustDVsMatrices
  RegressionDataSet approximation;                 ///< AdjustRespsByApprox
  ApproximationRestartState approximationRestart;  ///< AdjustRespsByApproxRestart
  RegressionDataSet surfaceSampling;               ///< AdjustRespsBySampling
  SamplePointState samplePoints;                   ///< UpdateSamplePointRandResps
  SamplingSettings sampling;                       ///< MatrixOfMonteCarloPoints, MatrixOfLatinHyperCubePoints
};

/// The process-wide object: constructed on first use, destroyed at unload.
ProcessState& TheProcessState();

/// Brings the whole process-wide state back to its state at load, as if the
/// library had just been loaded: the next calls fill their tables from the
/// database again and start their regression data and statistics afresh.
/// Storage already created is kept (and released at unload as usual).  For
/// tests and benchmarks that run several problems in one process; hosts
/// never need it.
void ResetProcessState();

}  // namespace rbo
