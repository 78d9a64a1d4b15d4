// Runs and optimisations for the Python package (Evaluation.h).
#include "Evaluation.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <mutex>
#include <numeric>

#include "Failures.h"
#include "PythonAnalysis.h"
#include "foundation/ProcessState.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/Optimize.h"
#include "rbo/problem/Reliability.h"
#include "rbo/problem/ResultText.h"
#include "rbo/problem/Run.h"
#include "rbo/problem/Sora.h"

namespace rbopy {
namespace {

using namespace rbo::problem;

// One library call at a time: the library's state is process-wide.
std::mutex s_libraryMutex;
// Calls of this thread in progress: an analysis that calls rbo again would
// wait for itself.
thread_local int t_nDepth = 0;

template <class T>
void Override(const py::dict& d, const char* key, T& target) {
  if (d.contains(key) && !d[key].is_none()) target = d[key].cast<T>();
}

void ApplySettings(const py::dict& d, Settings& s) {
  Override(d, "method", s.method);
  Override(d, "samples", s.samples);
  Override(d, "seed", s.seed);
  Override(d, "parallel", s.parallel);
  Override(d, "workers", s.workers);
  Override(d, "target_cov", s.reliability.targetCov);
  Override(d, "max_analyses", s.reliability.maxAnalyses);
  Override(d, "starts", s.reliability.starts);
  Override(d, "samples_per_level", s.reliability.samplesPerLevel);
}

// The library's report lines (LError, LPrint), as the command shows them.
std::vector<std::string> LibraryReport(const refhost::LogCapture& capture) {
  std::vector<std::string> lines;
  for (const refhost::LogRecord& r : capture.Records()) {
    if (r.call != "LError" && r.call != "LPrint") continue;
    std::string text = r.text;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    lines.push_back(text);
  }
  return lines;
}

// Sets the analysis of the run: the Python one, or the problem's own; with
// keep, one that records the analysed responses.
void SetAnalysis(Problem& p, PythonCall& call, const py::object& invoke, bool keep) {
  call.invoke = invoke;
  call.keep = keep;
  if (!invoke.is_none())
    p.batchModel = PythonBatchModel(&call);
  else if (!p.model)
    RaiseProblemError("the problem has no analysis",
                      {{"/analysis", "is missing; give it in the problem, or pass analysis= (a Python function)", {}}});
  else if (keep)
    p.batchModel = RecordingModel(p.model, &call);
}

// Runs body with the GIL released, as the only library call of the process,
// with the library as freshly loaded (a Python session runs many problems;
// the library keeps the tables of the first it sees) and its log captured.
// Raises the failure as the package's exception.
template <class Body>
void LibraryCall(PythonCall& call, Body body) {
  if (t_nDepth > 0) throw std::runtime_error("rbo: an analysis cannot run or optimise a problem itself");
  std::exception_ptr failure;
  std::vector<std::string> report;
  {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(s_libraryMutex);
    ++t_nDepth;
    refhost::LogCapture capture;
    refhost::SetLogEcho(false);
    try {
      rbo::ResetProcessState();
      refhost::CloseStore();
      body();
    } catch (...) {
      failure = std::current_exception();
    }
    refhost::SetAnalysis(nullptr);  // the host must not keep a function that points into this call
    refhost::SetLogEcho(true);
    report = LibraryReport(capture);
    --t_nDepth;
  }
  if (failure) RaiseFailure(failure, call, report);
}

// The kept responses split per design point, or None when the analyses were
// not exactly the samples of the design points (counts).
py::object KeptSamples(const Problem& p, const PythonCall& call, const std::vector<long long>& counts) {
  if (!call.keep) return py::none();
  if (std::accumulate(counts.begin(), counts.end(), 0LL) != call.keptPoints) return py::none();
  const py::ssize_t rows = py::ssize_t(p.responses.size()), cols = py::ssize_t(call.keptPoints);
  // Column-major storage: (points x responses) in C order, transposed.
  py::array_t<double> data({cols, rows});
  std::copy(call.kept.begin(), call.kept.end(), data.mutable_data());
  std::vector<std::string> names;
  for (const Response& r : p.responses) names.push_back(r.name);
  return py::make_tuple(data.attr("T"), names, counts);
}

bool SamplesAreKeepable(const Problem& p) {
  return (p.settings.method == 0 || p.settings.method == 1) && p.builder.IsRandom();
}

}  // namespace

py::tuple Run(const Problem& problem, const py::dict& settings, const py::object& invoke, bool keepSamples,
              bool untilConverged, double tol, long long maxSamples) {
  Problem p = problem;
  ApplySettings(settings, p.settings);
  if (keepSamples && !SamplesAreKeepable(p))
    throw py::value_error(
        "keep_samples keeps the samples of a sampling method (montecarlo, lhs) on a problem with random "
        "variables and random responses");
  PythonCall call;
  SetAnalysis(p, call, invoke, keepSamples);
  std::string text;
  std::vector<long long> counts;
  LibraryCall(call, [&] {
    if (const std::string refusal = MethodRefusal(p); !refusal.empty()) throw std::invalid_argument(refusal);
    if (!untilConverged) {
      CheckRunMemory(p);
      const std::vector<PointResult> points = EvaluatePoints(p, nullptr);
      text = RunJson(p, points);
      counts.assign(p.designPoints.size(), p.settings.samples);
      return;
    }
    if (const std::string refusal = UntilConvergedRefusal(p); !refusal.empty()) throw std::invalid_argument(refusal);
    CheckBatchMemory(p, 1.0, double(p.settings.samples));
    ConvergenceOptions options;
    options.tol = tol;
    options.budget = std::max<long long>(maxSamples, 1);
    const std::vector<ConvergenceRecord> records = RunUntilConverged(p, options, nullptr, {});
    text = ConvergenceJson(p, records, options.tol, options.budget);
    for (const ConvergenceRecord& r : records) counts.push_back(r.batches.empty() ? 0 : r.batches.back().samples);
  });
  return py::make_tuple(text, KeptSamples(p, call, counts));
}

std::string OptimizeProblem(const Problem& problem, const py::dict& settings, const py::object& invoke,
                            const py::dict& options) {
  Problem p = problem;
  ApplySettings(settings, p.settings);
  OptimizeOptions o;
  Override(options, "optimizer", o.optimizer);
  Override(options, "max_evals", o.maxEvals);
  Override(options, "tol", o.tol);
  Override(options, "verify_samples", o.verifySamples);
  PythonCall call;
  SetAnalysis(p, call, invoke, false);
  std::string text;
  LibraryCall(call, [&] {
    if (p.settings.method == kMethodSora) {
      if (const std::string refusal = SoraRefusal(p); !refusal.empty()) throw std::invalid_argument(refusal);
      SoraOptions so;
      Override(options, "refine", so.refine);
      Override(options, "refine_cov", so.refineCov);
      so.verifySamples = o.verifySamples;
      text = SoraJson(p, OptimizeSora(p, so, {}, nullptr));
      return;
    }
    if (IsReliabilityMethod(p.settings.method))
      throw std::invalid_argument(std::string("optimize takes methods 0 to 4 and sora; method ") +
                                  MethodName(p.settings.method) + " assesses one design: use run(method=\"" +
                                  MethodName(p.settings.method) + "\")");
    if (const std::string refusal = MethodRefusal(p); !refusal.empty()) throw std::invalid_argument(refusal);
    // Batches too large for the memory are refused before anything runs: a
    // design point with a step in every design variable, or the verification.
    if (p.builder.IsRandom() && IsSampledMethod(p.settings.method))
      CheckBatchMemory(p, double(p.designVariables.size() + 1), double(p.settings.samples));
    if (p.builder.IsRandom() && o.verifySamples > 0) CheckBatchMemory(p, 1.0, double(o.verifySamples));
    text = HistoryText(Optimize(p, o, ProgressFunction()), "optimization.json");
  });
  return text;
}

}  // namespace rbopy
