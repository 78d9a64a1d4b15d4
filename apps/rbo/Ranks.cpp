// Rank 0 hands out chunks of columns, the other ranks analyse them (Ranks.h).
//
// Messages, all between rank 0 and one serving rank:
//   work   (rank 0 ->): kind, first column, columns, input rows, output rows;
//          then the inputs, column after column
//   stop   (rank 0 ->): no more work; the serving rank returns
//   result (-> rank 0): first column, columns, failed columns; then the
//          outputs; then, when a column failed, "column\0report\0" for each
// Only rank 0's main thread and the serving ranks' main threads call MPI.
#include "Ranks.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rbo/host/ExternalAnalysis.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/AnalysisPolicy.h"

#ifdef RBO_HAVE_MPI
#include <mpi.h>
#endif

namespace rboapp {
namespace {

int s_nRank = 0;
int s_nRanks = 1;

#ifdef RBO_HAVE_MPI
bool s_bStarted = false;  // MPI_Init was called

bool LaunchedByMpi() {
  for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_RANK", "PMI_SIZE"})
    if (std::getenv(name) != nullptr) return true;
  return false;
}
#endif

}  // namespace

int Rank() { return s_nRank; }
int RankCount() { return s_nRanks; }
bool IsServingRank() { return s_nRank > 0; }

#ifndef RBO_HAVE_MPI

void StartRanks(int*, char***) {}
int EndRanks(int nExitCode) { return nExitCode; }
std::string RanksDescription() { return "MPI off (built without it)"; }
int ServeAnalyses(const rbo::problem::Problem&) { return 0; }
RankDispatch::RankDispatch() = default;
RankDispatch::~RankDispatch() = default;

#else

namespace {

using rbo::problem::ColumnKind;

enum Tag : int { kTagWork = 1, kTagInputs, kTagStop, kTagResult, kTagOutputs, kTagFailures };

constexpr int kWorkFields = 5;
constexpr int kResultFields = 3;

bool s_bStopSent = false;  // rank 0 told the serving ranks to stop
std::mutex s_mpiMutex;     // one dispatch at a time on rank 0

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "?";
  return name;
}

void SendStop() {
  if (s_bStopSent || s_nRank != 0) return;
  s_bStopSent = true;
  for (int r = 1; r < s_nRanks; ++r) MPI_Send(nullptr, 0, MPI_INT, r, kTagStop, MPI_COMM_WORLD);
}

// ---- serving rank

// "12\0report\0" for every failed column.
std::string PackFailures(const std::vector<std::string>& failures, int nFirst) {
  std::string packed;
  for (std::size_t j = 0; j < failures.size(); ++j) {
    if (failures[j].empty()) continue;
    packed += std::to_string(nFirst + int(j));
    packed += '\0';
    packed += failures[j];
    packed += '\0';
  }
  return packed;
}

// Analyses one chunk and sends the result back.
void ServeChunk(const rbo::problem::Problem& p, const std::int64_t* work, const std::string& where) {
  const auto kind = ColumnKind(work[0]);
  const int nFirst = int(work[1]), nCols = int(work[2]), nIn = int(work[3]), nOut = int(work[4]);
  CMatrix<double> in(nIn, nCols), out(nOut, nCols);
  MPI_Recv(nCols > 0 ? in.ColData(0) : nullptr, nIn * nCols, MPI_DOUBLE, 0, kTagInputs, MPI_COMM_WORLD,
           MPI_STATUS_IGNORE);
  std::vector<std::string> failures;
  try {
    rbo::problem::AnalyseHere(p, kind, in, out, nFirst, &failures);
  } catch (const std::exception& e) {
    // Not a point's failure (out of memory, no threads): every column failed.
    failures.assign(std::size_t(nCols), std::string("the analyses failed: ") + e.what());
    out = CMatrix<double>(nOut, nCols);
  }
  std::int64_t nFailed = 0;
  for (std::string& f : failures)
    if (!f.empty()) {
      f += " (on rank " + std::to_string(s_nRank) + ", host " + where + ")";
      ++nFailed;
    }
  const std::int64_t result[kResultFields] = {nFirst, nCols, nFailed};
  MPI_Send(result, kResultFields, MPI_INT64_T, 0, kTagResult, MPI_COMM_WORLD);
  MPI_Send(nCols > 0 ? out.ColData(0) : nullptr, nOut * nCols, MPI_DOUBLE, 0, kTagOutputs, MPI_COMM_WORLD);
  if (nFailed == 0) return;
  const std::string packed = PackFailures(failures, nFirst);
  MPI_Send(packed.data(), int(packed.size()), MPI_CHAR, 0, kTagFailures, MPI_COMM_WORLD);
}

// ---- rank 0

// Columns per chunk: about four chunks per serving rank, so that a slow
// rank or slow points leave the others something to take, and not so many
// that the messages cost more than the analyses.
int ChunkColumns(int nCols, int nServing) {
  const int nChunks = 4 * nServing;
  return std::clamp((nCols + nChunks - 1) / nChunks, 1, 1024);
}

class CDispatch {
 public:
  CDispatch(ColumnKind kind, const CMatrix<double>& in, CMatrix<double>& out)
      : m_kind(kind), m_in(in), m_out(out), m_failures(std::size_t(in.Cols())) {
    m_nChunk = ChunkColumns(in.Cols(), s_nRanks - 1);
  }

  /// Hands out every chunk and collects every result; bKeepGoing: a failed
  /// column does not stop the hand-out.  Returns whether a column failed.
  bool Run(bool bKeepGoing) {
    int nBusy = 0;
    for (int r = 1; r < s_nRanks && m_nNext < m_in.Cols(); ++r, ++nBusy) SendChunk(r);
    bool bFailed = false;
    while (nBusy > 0) {
      const int nFrom = ReceiveResult(&bFailed);
      --nBusy;
      if ((bKeepGoing || !bFailed) && m_nNext < m_in.Cols()) {
        SendChunk(nFrom);
        ++nBusy;
      }
    }
    return bFailed;
  }

  const std::vector<std::string>& Failures() const { return m_failures; }

 private:
  void SendChunk(int nRank) {
    const int nCols = std::min(m_nChunk, m_in.Cols() - m_nNext);
    const std::int64_t work[kWorkFields] = {std::int64_t(m_kind), m_nNext, nCols, m_in.Rows(), m_out.Rows()};
    MPI_Send(work, kWorkFields, MPI_INT64_T, nRank, kTagWork, MPI_COMM_WORLD);
    MPI_Send(m_in.ColData(m_nNext), m_in.Rows() * nCols, MPI_DOUBLE, nRank, kTagInputs, MPI_COMM_WORLD);
    m_nNext += nCols;
  }

  // Receives the next result from any rank into its columns; returns the rank.
  int ReceiveResult(bool* pbFailed) {
    std::int64_t result[kResultFields];
    MPI_Status status;
    MPI_Recv(result, kResultFields, MPI_INT64_T, MPI_ANY_SOURCE, kTagResult, MPI_COMM_WORLD, &status);
    const int nFrom = status.MPI_SOURCE, nFirst = int(result[0]), nCols = int(result[1]);
    MPI_Recv(m_out.ColData(nFirst), m_out.Rows() * nCols, MPI_DOUBLE, nFrom, kTagOutputs, MPI_COMM_WORLD,
             MPI_STATUS_IGNORE);
    if (result[2] > 0) {
      *pbFailed = true;
      ReceiveFailures(nFrom);
    }
    return nFrom;
  }

  void ReceiveFailures(int nFrom) {
    MPI_Status status;
    MPI_Probe(nFrom, kTagFailures, MPI_COMM_WORLD, &status);
    int nBytes = 0;
    MPI_Get_count(&status, MPI_CHAR, &nBytes);
    std::string packed(std::size_t(nBytes), '\0');
    MPI_Recv(packed.data(), nBytes, MPI_CHAR, nFrom, kTagFailures, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    for (std::size_t at = 0; at < packed.size();) {
      const std::size_t end = packed.find('\0', at);
      const int nColumn = std::atoi(packed.c_str() + at);
      const std::size_t endReport = packed.find('\0', end + 1);
      m_failures.at(std::size_t(nColumn)) = packed.substr(end + 1, endReport - end - 1);
      at = endReport + 1;
    }
  }

  ColumnKind m_kind;                    ///< what the columns hold
  const CMatrix<double>& m_in;          ///< the columns to analyse
  CMatrix<double>& m_out;               ///< their outputs
  std::vector<std::string> m_failures;  ///< report per column, "" when it succeeded
  int m_nChunk = 1;                     ///< columns per chunk
  int m_nNext = 0;                      ///< first column not handed out
};

void DispatchColumns(ColumnKind kind, const CMatrix<double>& in, CMatrix<double>& out,
                     std::vector<std::string>* pFailures) {
  std::lock_guard<std::mutex> lock(s_mpiMutex);
  if (out.Cols() != in.Cols()) out = CMatrix<double>(out.Rows(), in.Cols());
  CDispatch dispatch(kind, in, out);
  const bool bFailed = dispatch.Run(pFailures != nullptr);
  if (pFailures) {
    *pFailures = dispatch.Failures();
    return;
  }
  if (!bFailed) return;
  // Every column before a failed one was handed out and analysed: the
  // lowest failed column is the one a run in one process reports.
  for (const std::string& f : dispatch.Failures())
    if (!f.empty()) throw std::runtime_error(f);
}

}  // namespace

void StartRanks(int* pArgc, char*** pArgv) {
  if (!LaunchedByMpi()) return;
  // The threads MPI starts must not take the signals that the command's
  // signal thread handles (Ctrl-C would end the process without its
  // clean-up): they inherit the mask in force while MPI starts.
  sigset_t signals, old;
  sigemptyset(&signals);
  for (int nSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&signals, nSignal);
  pthread_sigmask(SIG_BLOCK, &signals, &old);
  int nProvided = 0;
  MPI_Init_thread(pArgc, pArgv, MPI_THREAD_SERIALIZED, &nProvided);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  s_bStarted = true;
  MPI_Comm_rank(MPI_COMM_WORLD, &s_nRank);
  MPI_Comm_size(MPI_COMM_WORLD, &s_nRanks);
}

int EndRanks(int nExitCode) {
  if (!s_bStarted) return nExitCode;
  SendStop();
  MPI_Finalize();
  return nExitCode;
}

std::string RanksDescription() {
  return "MPI on (" + std::to_string(s_nRanks) + (s_nRanks == 1 ? " rank)" : " ranks)");
}

int ServeAnalyses(const rbo::problem::Problem& p) {
  refhost::SetWorkerCount(p.settings.workers);
  refhost::SetWorkFolderTag("rank-" + std::to_string(s_nRank));
  const std::string where = HostName();
  for (;;) {
    MPI_Status status;
    MPI_Probe(0, MPI_ANY_TAG, MPI_COMM_WORLD, &status);
    if (status.MPI_TAG == kTagStop) {
      MPI_Recv(nullptr, 0, MPI_INT, 0, kTagStop, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      return 0;
    }
    std::int64_t work[kWorkFields];
    MPI_Recv(work, kWorkFields, MPI_INT64_T, 0, kTagWork, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    ServeChunk(p, work, where);
  }
}

RankDispatch::RankDispatch() {
  if (s_nRank != 0 || s_nRanks < 2) return;
  rbo::problem::SetColumnDispatcher(DispatchColumns);
  m_bActive = true;
}

RankDispatch::~RankDispatch() {
  if (!m_bActive) return;
  rbo::problem::SetColumnDispatcher(nullptr);
  SendStop();
}

#endif

}  // namespace rboapp
