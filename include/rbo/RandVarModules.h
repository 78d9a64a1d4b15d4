// Random parameters for a design point, sample matrices and the expansion
// of design points into analysis points.
//
// Terms used below:
//   design-variable vector  one value per host design-variable entry (one
//                           column of the design-point matrix).
//   random-variable map     two arrays parallel to that vector: the 0-based
//                           random-variable index of each entry (negative:
//                           deterministic) and its parameter code (0..3:
//                           Param1..Param4 stored as given; -1: actual mean;
//                           -2: actual standard deviation).  The entries of one
//                           random variable stand together (a group); each
//                           group has exactly one mean entry (code 0 or -1);
//                           a mean/standard-deviation pair stands as two
//                           consecutive entries of the group.
//   analysis-input vector   what the analysis receives: one value per
//                           deterministic entry and one per group, in entry
//                           order.
//
// Every function writes its results into the arrays and matrices it is
// given.  Failures are reported to the host log (a title through LError,
// details through LPrint) and thrown as the COrvoErr family with source unit
// "RandVarModules"; matrix errors arrive as std::out_of_range.  A map that
// would make a function read or write outside its arrays (an array shorter
// than the index array, a random-variable index beyond the random-variable
// array, a group without its mean entry) is rejected with the report
// "Inconsistent random-variable map.\n" and CInvalidArgument.  Arrays longer
// than the index array are accepted; their extra elements are not read.
//
// None of these functions is safe to run on two threads at once:
// AdjustDVsMatrices keeps process-wide state.
#pragma once

#include <valarray>

#include "rbo/Export.h"
#include "rbo/RandVar.h"
#include "rbo/foundation/Matrix.h"

class CDB;

// ---- random parameters for a point ----

/// Loads the parameters of every random variable from one design-variable
/// vector, entry by entry in index order.  Codes 0..3 store the value into
/// Param1..Param4 unchanged.  A mean (-1) or standard-deviation (-2) entry
/// followed by a -1/-2 entry of the same variable forms a pair, applied with
/// one UpdateParamsFromActualMeanStdDev; the partner is then skipped.  A lone
/// -1 or -2 entry moves that moment and keeps the other one as it stands.
/// Any other code throws CInvalidType ("Invalid parameter index of the random
/// variable.\n").  Parameters written before a failure stay written.
RBO_API void SetRandomParamsForPoint(std::valarray<double>& designVars, std::valarray<int>& inputRandVar,
                                     std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars);

/// out = designVars with the mean entry number k (0-based, counting the mean
/// entries in entry order) raised by a step of dStep in the actual mean: an
/// actual-mean entry by dStep itself, a Param1 entry by dStep divided by the
/// derivative of the mean with respect to Param1 for the type of randVars[k]
/// (1 normal, 0.5 uniform, the actual mean lognormal, 1 Weibull).  With fewer
/// than k + 1 mean entries, entry k itself is stepped.  out may be designVars
/// itself.  An invalid type throws CInvalidType ("Invalid distribution
/// type\n") and leaves out untouched; so does a k that names no entry (or no
/// random variable where the type is needed), with CInvalidArgument.
RBO_API void FDRandMeanIntoFDRandEntry(std::valarray<double>& designVars, std::valarray<int>& inputRandVar,
                                       std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars,
                                       double dStep, int k, std::valarray<double>& out);

/// Classifies the random variables (one per element of distTypes) as
/// constant from the host type codes of their entries (code 23 marks a
/// constant entry), and locates each variable's mean entry in the
/// analysis-input vector.  isConstant and meanPosition are resized to the
/// number of random variables; meanPosition is -1 for a variable without a
/// mean entry.  *pnConstant receives the number of constant variables (not
/// written when pnConstant is null).
RBO_API void CheckConstantRandomDVs(std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode,
                                    std::valarray<int>& distTypes, std::valarray<int>& dvTypeOfInput, int* pnConstant,
                                    std::valarray<bool>& isConstant, std::valarray<int>& meanPosition);

/// Scatters an analysis-input vector into designVars (already sized to the
/// map): each deterministic entry and the first entry of each group receive
/// the next analysis input; the other entries of a group keep their values.
RBO_API void PartialOrvoDVsArrayFromAnalysisInps(std::valarray<double>& analysisInputs,
                                                 std::valarray<int>& inputRandVar, std::valarray<double>& designVars);

// ---- sample matrices ----

/// samples = an nRows x nSamples matrix: column j is sample j, a copy of the
/// mean analysis-input vector whose group rows hold InverseCDF(u) of the
/// group's random variable, u drawn from one host generator CRand(true)
/// constructed for this call, sample after sample and within a sample group
/// after group in entry order.  inputRandVar is the random-variable index
/// per entry (the walk that opens analysis inputs).  Negative sizes and a
/// mean vector of another length than nRows throw std::out_of_range (the
/// matrix has then been reset to zeros; the mean vector fails at the first
/// column); errors of InverseCDF pass through.  nSamples = 0 gives an
/// nRows x 0 matrix and draws nothing, whatever the mean vector.  A map that
/// would draw into a row beyond the mean vector, or from a random variable
/// beyond randVars, is refused (after the reset) as an inconsistent map.
RBO_API void MatrixOfMonteCarloPoints(int nSamples, int nRows, std::valarray<double>& means,
                                      std::valarray<int>& inputRandVar, std::valarray<CRandVar>& randVars,
                                      CMatrix<double>& samples);

/// As MatrixOfMonteCarloPoints, with the probabilities taken from a Latin
/// hypercube table of LatinHyperCubeDOE(m, nSamples, table), m the number of
/// random variables: the group of random variable r in sample j uses
/// table[j * m + r], so every random variable has its own stratified
/// coordinate whatever the order or repetition of its groups.
RBO_API void MatrixOfLatinHyperCubePoints(int nSamples, int nRows, std::valarray<double>& means,
                                          std::valarray<int>& inputRandVar, std::valarray<CRandVar>& randVars,
                                          CMatrix<double>& samples);

/// Threads that map a large sample matrix's probabilities through the
/// inverse distributions: the calling thread and nWorkers - 1 more; 0: one
/// per core; 1 (the default): the calling thread alone.  The probabilities
/// are always drawn on the calling thread, in the order given above, so the
/// matrix is the same double for double whatever the count.  A negative
/// count throws CInvalidArgument.
RBO_API void SetSamplingWorkers(int nWorkers);

/// How many drawn values the sample matrices have mapped through inverse
/// distributions since the library was loaded, counted as they go (a few
/// thousand at a time), so that a progress display can show the sampling
/// phase.  Any thread may call it at any time.
RBO_API long long SampledValueCount();

// ---- design-point expansion ----

/// Turns the design points (one design-variable vector per column) into the
/// analysis points, and prepares the analysis response matrix.
///
/// Clears the database's design-point flags (one per design point).  Without
/// random variables or without random responses, analysisPoints becomes a
/// copy of designPoints and analysisOutputs a copy of designResponses.
/// Otherwise, by the RBO method the host reports: methods 0 (Monte Carlo)
/// and 1 (Latin hypercube) give every design point j a block of nSamples
/// sample columns starting at column j * nSamples; methods 2, 3 and 4 give
/// one column per design point at the random variables' actual means.
/// analysisOutputs then becomes zeros, one row per analysis-level response
/// and one column per analysis point.  With bKeepOutputs analysisOutputs is
/// neither read nor written.  Another method code throws CInvalidKey
/// ("Invalid method specified for RBO.\n").
///
/// The random-variable array (types from the database) and the analysis
/// response count are captured on the first call that has random variables
/// and responses, and kept for the life of the process; parameters loaded
/// for one design point carry over to the next.
RBO_API void AdjustDVsMatrices(CDB* pDB, CMatrix<double>& designPoints, CMatrix<double>& designResponses,
                               CMatrix<double>& analysisPoints, CMatrix<double>& analysisOutputs, bool bKeepOutputs);
