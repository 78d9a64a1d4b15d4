// The result model (Result.h): a design point's statistics read from the
// host's response vector, and the check that they are numbers.
#include "rbo/problem/Result.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "rbo/problem/Evaluate.h"

namespace rbo::problem {
namespace {

std::string Short(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

}  // namespace

bool HasRandomResponse(const Problem& problem) {
  return std::any_of(problem.responses.begin(), problem.responses.end(), [](const Response& r) { return r.random; });
}

PointResult ExtractPoint(const Problem& problem, const std::valarray<double>& design,
                         const std::valarray<double>& entries, double samples) {
  PointResult r;
  r.design = design;
  for (const Response& resp : problem.responses) {
    ResponseResult s;
    s.name = resp.name;
    s.random = resp.random;
    s.bounded = resp.hasLower || resp.hasUpper;
    s.mean = entries[std::size_t(resp.ref.value.index)];
    if (resp.random) {
      s.sd = entries[std::size_t(resp.ref.stdDev.index)];
      s.pof = entries[std::size_t(resp.ref.pof.index)];
    }
    r.responses.push_back(s);
  }
  if (HasRandomResponse(problem)) {
    r.any = entries[std::size_t(refhost::ProblemBuilder::AnyFractionRef().index)];
    r.joint = entries[std::size_t(problem.builder.JointFractionRef().index)];
  }
  SetPofIntervals(r, samples);
  return r;
}

void SetPofIntervals(PointResult& point, double samples) {
  for (ResponseResult& s : point.responses) {
    if (s.random && samples > 0.0)
      s.pof95 = WilsonInterval(s.pof, samples);
    else
      s.pof95.reset();
  }
}

void CheckFinite(const Problem& problem, const PointResult& point, const std::string& where) {
  auto check = [&](double v, const std::string& what) {
    if (std::isfinite(v)) return;
    throw EvaluationError(what + " is " + Short(v) + " at " + where + " (" + DescribeDesign(problem, point.design) +
                          "): a sum over the samples overflowed or the analysis gave no number; rescale the "
                          "response (its values must stay well below 1e308)");
  };
  // The reliability methods compute no standard deviation and no joint
  // violation, and leave a POF they could not find NaN with a note.
  const bool bReliability = IsReliabilityMethod(problem.settings.method);
  for (const ResponseResult& s : point.responses) {
    if (!s.random) {
      check(s.mean, "the value of response " + s.name);
      continue;
    }
    check(s.mean, "the mean of response " + s.name);
    if (!bReliability) check(s.sd, "the standard deviation of response " + s.name);
    if (point.complete) check(s.pof, "the POF of response " + s.name);
  }
  if (!point.complete) return;
  if (!problem.objective.empty()) check(point.objective, "the objective");
  if (!problem.constraints.empty()) check(point.constraint, "the constraint value");
  for (std::size_t c = 0; c < point.constraints.size() && c < problem.constraints.size(); ++c)
    check(point.constraints[c], "the value of the constraint on " + problem.constraints[c].subject);
  if (HasRandomResponse(problem)) {
    check(point.any, "the any-violation fraction");
    if (!bReliability) check(point.joint, "the joint-violation fraction");
  }
}

std::string DescribeDesign(const Problem& problem, const std::valarray<double>& design) {
  std::string text;
  for (std::size_t i = 0; i < problem.designVariables.size() && i < design.size(); ++i)
    text += (i ? ", " : "") + problem.designVariables[i].name + " = " + Short(design[i]);
  return text.empty() ? "(no design variables)" : text;
}

}  // namespace rbo::problem
