// Several processes of one MPI launch (`mpirun -n N rbo run ...`, `srun rbo
// ...`): rank 0 runs the command and all its output; the other ranks load
// the same problem and analyse the columns that rank 0 sends them.  In a
// build without MPI, or a process not started by an MPI launcher, there is
// one rank and nothing changes.
#pragma once

#include <string>

#include "rbo/problem/Problem.h"

namespace rboapp {

/// Joins the MPI launch when the environment shows one (OMPI_COMM_WORLD_SIZE,
/// PMIX_RANK, PMI_RANK) and this build has MPI.  Call once at the start of main.
void StartRanks(int* pArgc, char*** pArgv);

/// Leaves the launch: rank 0 first tells the other ranks to stop serving.
/// Call once before main returns; gives back nExitCode.
int EndRanks(int nExitCode);

/// The rank of this process and the number of ranks (0 and 1 without a launch).
int Rank();
int RankCount();

/// True on ranks > 0, which serve analyses instead of running the command.
bool IsServingRank();

/// "MPI on" / "MPI off" for `rbo --version`.
std::string RanksDescription();

/// On a serving rank: analyses the columns rank 0 sends, with p's model and
/// failure policy and p.settings.workers threads, until rank 0 says stop.
/// External programs work in <work root>/rank-<r>/worker-<n>.  Returns the
/// exit code (0).
int ServeAnalyses(const rbo::problem::Problem& p);

/// On rank 0 of a launch with several ranks: while it lives, the problem
/// layer's analyses go to the serving ranks in chunks, handed out as ranks
/// become free.  Otherwise it does nothing.
class RankDispatch {
 public:
  RankDispatch();
  ~RankDispatch();
  RankDispatch(const RankDispatch&) = delete;
  RankDispatch& operator=(const RankDispatch&) = delete;

 private:
  bool m_bActive = false;  ///< the dispatcher is set
};

}  // namespace rboapp
