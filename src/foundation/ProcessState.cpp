// The owner of the library's process-wide state, its creation on first use
// and its release at unload.
#include "foundation/ProcessState.h"

#include <cstdlib>

namespace rbo {
namespace {

// Each clean-up of the response tables releases the elements and then the
// array itself, so that nothing of the tables outlives the library.
template <class T>
void Release(std::valarray<T>*& pArray) {
  pArray->resize(0);
  delete pArray;
  pArray = nullptr;
}
void CleanUpFlags() { Release(TheProcessState().responseTables.s_constRandDVFlags); }
void CleanUpIndices() { Release(TheProcessState().responseTables.s_constRandDVIndices); }
void CleanUpRandVars() { Release(TheProcessState().responseTables.s_randVars); }
void CleanUpRandResps() { Release(TheProcessState().responseTables.s_randResps); }

template <class T>
void CreateArrayOnce(std::valarray<T>*& pArray, void (*pCleanUp)()) {
  if (pArray != nullptr) return;
  pArray = new std::valarray<T>();
  std::atexit(pCleanUp);
}

template <class T>
void CreateMatrixOnce(std::unique_ptr<CMatrix<T>>& pMatrix) {
  if (pMatrix == nullptr) pMatrix = std::make_unique<CMatrix<T>>();
}

template <class T>
void Empty(std::unique_ptr<CMatrix<T>>& pMatrix) {
  if (pMatrix != nullptr) *pMatrix = CMatrix<T>();
}

}  // namespace

ProcessState& TheProcessState() {
  // Constructed by the first call; its destructor is registered then and
  // runs at unload, after the clean-ups registered later (the response
  // tables), which still reach it.
  static ProcessState state;
  return state;
}

void ResponseTablesState::CreateOnce() {
  CreateArrayOnce(s_constRandDVFlags, CleanUpFlags);
  CreateArrayOnce(s_constRandDVIndices, CleanUpIndices);
  CreateArrayOnce(s_randVars, CleanUpRandVars);
  CreateArrayOnce(s_randResps, CleanUpRandResps);
}

void ResponseTablesState::Reset() {
  s_bFirstRespsCall = true;
  s_nConstRandDVs = 0;
}

void ExpansionState::Reset() {
  s_bFirstCall = true;
  s_randVars.resize(0);
  s_nAnalysisResps = 0;
}

void RegressionDataSet::CreateOnce() {
  CreateMatrixOnce(s_regressionX);
  CreateMatrixOnce(s_regressionY);
}

void RegressionDataSet::Reset() {
  Empty(s_regressionX);
  Empty(s_regressionY);
  s_nMeanEntries = 0;
}

void ApproximationRestartState::CreateOnce() {
  CreateMatrixOnce(s_restartX);
  CreateMatrixOnce(s_restartY);
  CreateMatrixOnce(s_restartK);
  CreateMatrixOnce(s_restartZ);
  CreateMatrixOnce(s_restartE);
}

void ApproximationRestartState::Reset() {
  Empty(s_restartX);
  Empty(s_restartY);
  Empty(s_restartK);
  Empty(s_restartE);
  Empty(s_restartZ);
  s_nRestartCalls = 0;
  s_nRestartRandResps = 0;
}

void SamplePointState::Reset() {
  s_sampleRandResps.resize(0);
  s_sampleEntryMeans.resize(0);
  s_sampleJointFraction = s_sampleAnyFraction = 0.0;
  s_bStarted = false;
  s_bHaveSubstitutes = false;
}

void ResetProcessState() {
  ProcessState& state = TheProcessState();
  state.responseTables.Reset();
  state.expansion.Reset();
  state.approximation.Reset();
  state.approximationRestart.Reset();
  state.surfaceSampling.Reset();
  state.samplePoints.Reset();
  state.sampling.Reset();
}

}  // namespace rbo
