// The reference host's analysis runner: serial and parallel runs of the
// in-process analysis, output sizing, failure reports and worker count, and
// what an external analysis program leaves behind.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <valarray>
#include <vector>

#include "rbo/foundation/Matrix.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/ExternalAnalysis.h"
#include "rbo/host/ReferenceHost.h"
#include "support/Numbers.h"

namespace {

using testsupport::WhatOf;
using VD = std::valarray<double>;

// Restores the runner's process-wide settings after each test.
class AnalysisRunner : public ::testing::Test {
 protected:
  void TearDown() override {
    refhost::SetAnalysis(nullptr);
    refhost::SetWorkerCount(0);
  }

  void RunSerial(CMatrix<double>& in, CMatrix<double>& out) { Analysis(in, out, m_s, m_s, m_s, m_s, false, 0, -1); }
  void RunParallel(CMatrix<double>& in, CMatrix<double>& out) {
    AnalysePar(in, out, m_s, m_s, m_s, m_s, m_s, m_s, 0, false, m_s, 0);
  }

  std::string m_s;  // the file and program names, which the in-process runner ignores
};

// 3 inputs per point; point j is (j, 0.5 j + 1, -j).
CMatrix<double> Points(int nPoints) {
  CMatrix<double> m(3, nPoints);
  for (int j = 0; j < nPoints; ++j) {
    m(0, j) = j;
    m(1, j) = 0.5 * j + 1.0;
    m(2, j) = -j;
  }
  return m;
}

// Outputs: sum and product of the inputs.
void SumAndProduct(const VD& in, VD& out) {
  out[0] = in.sum();
  out[1] = in[0] * in[1] * in[2];
}

TEST_F(AnalysisRunner, AnOutputMatrixWithOtherColumnsTakesTheInputColumns) {
  std::atomic<int> nCalls{0};
  refhost::SetAnalysis([&](const VD& in, VD& out) {
    ++nCalls;
    SumAndProduct(in, out);
  });
  CMatrix<double> in = Points(3);
  CMatrix<double> wide(2, 7, 42.0);
  RunParallel(in, wide);
  EXPECT_EQ(wide.Cols(), 3);
  CMatrix<double> narrow(2, 1, 42.0);
  RunSerial(in, narrow);
  EXPECT_EQ(narrow.Cols(), 3);
  EXPECT_EQ(narrow(0, 2), 2.0);
  // No columns need no analysis.
  nCalls = 0;
  CMatrix<double> none(3, 0), out(2, 4);
  RunParallel(none, out);
  EXPECT_EQ(out.Rows(), 2);
  EXPECT_EQ(out.Cols(), 0);
  EXPECT_EQ(nCalls.load(), 0);
}

TEST_F(AnalysisRunner, SerialRunFillsOneColumnPerPointAndParallelRunsGiveIdenticalOutputs) {
  // An analysis with some arithmetic per point, so that a column written to
  // the wrong place or read from another point's inputs shows.
  auto f = [](double x0, double x1, double x2, std::size_t i) {
    return std::sin(x0 * double(i + 1)) + x1 * x2 / (1.0 + double(i));
  };
  refhost::SetAnalysis([&](const VD& in, VD& out) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = f(in[0], in[1], in[2], i);
  });
  refhost::SetWorkerCount(3);
  CMatrix<double> in = Points(101);
  CMatrix<double> serial(4, 0), parallel(4, 101);  // rows set by the caller, columns left to the runner
  RunSerial(in, serial);
  RunParallel(in, parallel);
  ASSERT_EQ(serial.Rows(), 4);
  ASSERT_EQ(serial.Cols(), 101);
  for (int j = 0; j < 101; ++j)
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(serial(i, j), f(j, 0.5 * j + 1.0, -j, std::size_t(i))) << i << ", " << j;
      ASSERT_EQ(serial(i, j), parallel(i, j)) << i << ", " << j;
    }
}

// ---------------------------------------------------------------- failures

TEST_F(AnalysisRunner, WithoutAnAnalysisFunctionBothRunsFailAndLeaveTheOutputs) {
  CMatrix<double> in = Points(2), out(1, 5, 3.0);
  EXPECT_EQ(WhatOf<std::runtime_error>([&] { RunSerial(in, out); }),
            "Analysis: no analysis function is set (refhost::SetAnalysis)");
  EXPECT_THROW(RunParallel(in, out), std::runtime_error);
  EXPECT_EQ(out.Cols(), 5);
}

TEST_F(AnalysisRunner, ParallelFailureNamesThePointStopsTheOthersAndNestsTheCause) {
  std::atomic<int> nCalls{0};
  refhost::SetAnalysis([&](const VD& in, VD& out) {
    ++nCalls;
    if (in[0] == 3.0) throw std::domain_error("mesh did not converge");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    out = 1.0;
  });
  refhost::SetWorkerCount(2);
  CMatrix<double> in = Points(64), out(1, 64);
  try {
    RunParallel(in, out);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "analysis point 3 (inputs 3, 2.5, -3) failed: mesh did not converge");
    EXPECT_THROW(std::rethrow_if_nested(e), std::domain_error);
  }
  // Points 0..3 and at most a few that the other worker took before the
  // failure was seen; 64 would mean the run went on.
  EXPECT_LE(nCalls.load(), 12);
}

TEST_F(AnalysisRunner, SerialFailureStopsAtThePointAndKeepsTheColumnsDone) {
  int nCalls = 0;
  refhost::SetAnalysis([&](const VD& in, VD& out) {
    ++nCalls;
    if (in[0] == 2.0) throw 7;  // not a std::exception
    out = in[0];
  });
  CMatrix<double> in = Points(6), out(1, 6, -1.0);
  EXPECT_EQ(WhatOf<std::runtime_error>([&] { RunSerial(in, out); }),
            "analysis point 2 (inputs 2, 2, -2) failed with a non-standard exception");
  EXPECT_EQ(nCalls, 3);
  EXPECT_EQ(out(0, 1), 1.0);
  EXPECT_EQ(out(0, 3), -1.0);
}

// Point 1 writes inf; output 1 is never written, so point 0 already fails
// on it; an analysis may not resize its outputs; long input vectors are cut
// short in the report.
TEST_F(AnalysisRunner, BadOutputsAreReportedNamingThePoint) {
  auto nonFinite = [](const VD& in, VD& out) {
    out[0] = in[0] == 1.0 ? HUGE_VAL : 0.0;
    if (out.size() > 1 && in[0] != 0.0) out[1] = 0.0;
  };
  const char* kUnwritten = "(an output the analysis does not write is nan)";
  struct Case {
    std::function<void(const VD&, VD&)> analysis;
    CMatrix<double> in;
    int nOutputs;
    bool bParallel;
    std::string message;
  };
  const Case cases[] = {
      {nonFinite, Points(3), 1, true,
       std::string("analysis point 1 (inputs 1, 1.5, -1) gave the non-finite value inf for output 0 ") + kUnwritten},
      {nonFinite, Points(3), 2, false,
       std::string("analysis point 0 (inputs 0, 1, 0) gave the non-finite value nan for output 1 ") + kUnwritten},
      {[](const VD&, VD& out) { out.resize(1, 0.0); }, Points(1), 3, true,
       "analysis point 0 (inputs 0, 1, 0) gave 1 outputs instead of 3"},
      {[](const VD&, VD&) { throw std::runtime_error("x"); }, CMatrix<double>(20, 1, 0.5), 1, false,
       "analysis point 0 (inputs 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, "
       "... 20 in all) failed: x"},
  };
  for (Case c : cases) {
    refhost::SetAnalysis(c.analysis);
    CMatrix<double> out(c.nOutputs, c.in.Cols());
    EXPECT_EQ(WhatOf<std::runtime_error>([&] { c.bParallel ? RunParallel(c.in, out) : RunSerial(c.in, out); }),
              c.message);
  }
}

TEST_F(AnalysisRunner, TheWorkerCountIsHonoured) {
  EXPECT_THROW(refhost::SetWorkerCount(-1), std::invalid_argument);
  // Each analysis waits until the peak number of analyses in flight reaches
  // the worker count (or 5 s pass), so the first n points must run on n
  // different threads at once; more workers would raise the peak beyond n.
  for (const int n : {1, 2, 3, 5}) {
    SCOPED_TRACE(::testing::Message() << n << " workers");
    std::atomic<int> nActive{0}, nPeak{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;
    refhost::SetAnalysis([&](const VD&, VD& out) {
      const int nNow = ++nActive;
      for (int nSeen = nPeak.load(); nNow > nSeen && !nPeak.compare_exchange_weak(nSeen, nNow);) {
      }
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (nPeak.load() < n && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
      }
      out = 0.0;
      --nActive;
    });
    refhost::SetWorkerCount(n);
    CMatrix<double> in = Points(4 * n), out(1, 4 * n);
    RunParallel(in, out);
    EXPECT_EQ(nPeak.load(), n);
    EXPECT_EQ(int(threads.size()), n);
    if (n == 1) {
      EXPECT_EQ(*threads.begin(), std::this_thread::get_id());  // one worker: the caller itself
    }
  }
}

namespace fs = std::filesystem;

// A scratch folder for the external program's files, removed afterwards.
class ExternalRun : public AnalysisRunner {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "rbo-runner-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
  }
  void TearDown() override {
    AnalysisRunner::TearDown();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }
  // The program "sh -c command", with inputs a, b, c and the response g.
  void UseProgram(const std::string& command, std::uint64_t maxOutputBytes = std::uint64_t(64) << 20) {
    refhost::ExternalProgram program;
    program.shellCommand = command;
    program.maxOutputBytes = maxOutputBytes;
    refhost::SetAnalysis(refhost::ExternalProgramModel(program, {"a", "b", "c"}, {"g"}));
  }
  fs::path m_dir;
};

// Whether a process has ended, waiting up to 5 s; an orphan that init has
// not reaped yet is a zombie ("Z").
bool Ended(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST_F(ExternalRun, WhatTheProgramLeftInTheBackgroundEndsWithIt) {
  // Every run starts a background sleep, notes its pid and exits normally.
  const fs::path pids = m_dir / "children";
  UseProgram("sleep 30 & echo $! >> '" + pids.string() + "'; echo 'g = 1' > outputs.txt");
  refhost::SetWorkerCount(2);
  CMatrix<double> in = Points(6), out(1, 6);
  RunParallel(in, out);
  EXPECT_EQ(out(0, 5), 1.0);
  std::ifstream list(pids);
  int nChildren = 0;
  for (pid_t pid = 0; list >> pid; ++nChildren)
    EXPECT_TRUE(Ended(pid)) << "the background child " << pid << " still runs";
  EXPECT_EQ(nChildren, 6);
}

TEST_F(ExternalRun, AProgramThatCannotBeStartedIsReportedWithTheReason) {
  // Executable, but its interpreter does not exist: exec fails in the child.
  const fs::path script = m_dir / "model.sh";
  std::ofstream(script) << "#!/nonexistent/interpreter\n";
  fs::permissions(script, fs::perms::owner_all);
  refhost::ExternalProgram program;
  program.argv = {script.string()};
  refhost::SetAnalysis(refhost::ExternalProgramModel(program, {"a", "b", "c"}, {"g"}));
  CMatrix<double> in = Points(1), out(1, 1);
  const std::string failure = WhatOf<std::runtime_error>([&] { RunSerial(in, out); });
  EXPECT_NE(failure.find("could not start " + script.string() + ": No such file or directory"), std::string::npos)
      << failure;
}

// "g = 2.5\n" is 8 bytes: read at a limit of 8, refused at 7.
TEST_F(ExternalRun, ALargerOutputFileIsRefusedNamingItsSizeAndTheLimit) {
  CMatrix<double> in = Points(1), out(1, 1);
  UseProgram("printf 'g = 2.5\\n' > outputs.txt", 8);
  EXPECT_EQ(WhatOf<std::runtime_error>([&] { RunSerial(in, out); }), "");
  EXPECT_EQ(out(0, 0), 2.5);
  UseProgram("printf 'g = 2.5\\n' > outputs.txt", 7);
  const std::string failure = WhatOf<std::runtime_error>([&] { RunSerial(in, out); });
  EXPECT_NE(failure.find("wrote an output file outputs.txt of 8 bytes, more than the limit of 7 bytes"),
            std::string::npos)
      << failure;
}

// The report shows the end of the standard error: all of a short one, the
// last lines of a long (one megabyte) one.
TEST_F(ExternalRun, TheReportShowsTheEndOfTheStandardError) {
  for (const bool bLong : {false, true}) {
    SCOPED_TRACE(bLong ? "long" : "short");
    UseProgram(std::string("printf 'first %s\\n' line >&2; ") +
               (bLong ? "yes 'solver: iterating' | head -n 55556 >&2;" : "") + " echo 'solver: diverged' >&2; exit 3");
    CMatrix<double> in = Points(1), out(1, 1);
    const std::string failure = WhatOf<std::runtime_error>([&] { RunSerial(in, out); });
    EXPECT_NE(failure.find("exited with code 3\n  last lines of its standard error:\n"), std::string::npos) << failure;
    EXPECT_NE(failure.find("    solver: diverged\n  inputs: a = 0, b = 1, c = 0"), std::string::npos) << failure;
    EXPECT_EQ(failure.find("first line") != std::string::npos, !bLong) << failure;
    EXPECT_LT(failure.size(), 3000u);
  }
}

}  // namespace
