// Problems with closed-form optima for the optimiser's tests, laid out as
// the problem-file reader lays them out (rbo::problem::Problem).
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/RBO.h"
#include "rbo/problem/Problem.h"
#include "support/Numbers.h"

namespace optimizetest {

using testsupport::Phi;
/// Standard normal density.
inline double PhiDensity(double z) { return std::exp(-0.5 * z * z) / std::sqrt(2.0 * M_PI); }

/// Adds model variables, design variables, responses, constraints and
/// objective terms to a Problem and its builder together, so that the two
/// always agree.
class CProblemMaker {
 public:
  explicit CProblemMaker(rbo::problem::Problem& p) : m_p(p) {}

  void Random(const std::string& name, double mean, double sd, double lower, double upper, int dist = 0) {
    m_p.builder.AddRandomDesignVariable(name, dist, mean, sd);
    const int dv = int(m_p.designVariables.size());
    m_p.variables.push_back({name, rbo::problem::VariableKind::kRandomDesign, dist, mean, sd, dv});
    m_p.designVariables.push_back({name, mean, lower, upper, true, int(m_p.variables.size()) - 1});
  }
  void Parameter(const std::string& name, double mean, double sd, int dist = 0) {
    m_p.builder.AddRandomParameter(name, dist, mean, sd);
    m_p.variables.push_back({name, rbo::problem::VariableKind::kRandomParameter, dist, mean, sd, -1});
  }
  void Design(const std::string& name, double value, double lower, double upper) {
    m_p.builder.AddDesignVariable(name, value);
    const int dv = int(m_p.designVariables.size());
    m_p.variables.push_back({name, rbo::problem::VariableKind::kDesign, 0, value, 0.0, dv});
    m_p.designVariables.push_back({name, value, lower, upper, false, int(m_p.variables.size()) - 1});
  }
  /// A random response that fails below 0; returns its entries.
  refhost::ResponseRef LimitState(const std::string& name) {
    const refhost::ResponseRef r = m_p.builder.AddRandomResponse(name);
    m_p.responses.push_back({name, true, r, true, 0.0, false, 0.0, 1.0});
    Constrain(name, r.value, -1, 0.0);
    return r;
  }
  void Constrain(const std::string& subject, refhost::QuantityRef ref, int side, double bound) {
    m_p.builder.AddConstraint(ref, side, bound);
    m_p.constraints.push_back({subject, ref, side, bound, 1.0});
  }
  void Objective(const std::string& subject, refhost::QuantityRef ref, double coef, bool square = false) {
    m_p.builder.AddObjectiveTerm(ref, coef, square ? 1 : 0);
    m_p.objective.push_back({subject, ref, coef, square});
  }
  static refhost::QuantityRef DesignVariable(int i) { return {kTypeIndDV, i}; }

 private:
  rbo::problem::Problem& m_p;  ///< the problem being made
};

/// Counts analyses independently of the optimiser's own accounting.
struct AnalysisCounter {
  std::shared_ptr<std::atomic<long long>> count = std::make_shared<std::atomic<long long>>(0);
  refhost::ModelFunction Wrap(refhost::ModelFunction f) const {
    auto c = count;
    return [f, c](const std::valarray<double>& x, std::valarray<double>& y) {
      ++*c;
      f(x, y);
    };
  }
};

/// Minimise the mean of a resistance R ~ N(muR, sR) subject to
/// P(R - S < 0) <= Phi(-beta) with the load S ~ N(muS, sS) fixed.
/// g = R - S is normal with mean muR - muS and deviation
/// sqrt(sR^2 + sS^2), so the constraint is muR >= muS + beta * sigma_g and
/// the optimum is muR* = muS + beta * sqrt(sR^2 + sS^2).
struct LinearReliability {
  double muR0 = 15.0, sR = 1.5, muS = 5.0, sS = 2.0, beta = 2.0;
  double SigmaG() const { return std::sqrt(sR * sR + sS * sS); }
  double Optimum() const { return muS + beta * SigmaG(); }
  double Target() const { return Phi(-beta); }
  /// Exact probability of failure at a mean muR.
  double Pof(double muR) const { return Phi(-(muR - muS) / SigmaG()); }

  /// The objective is coef * muR, minimised (sense 1) or maximised (-1).
  void Make(rbo::problem::Problem& p, double coef = 1.0, int sense = 1) const {
    CProblemMaker m(p);
    m.Random("R", muR0, sR, 0.0, 40.0);
    m.Parameter("S", muS, sS);
    const refhost::ResponseRef g = m.LimitState("g");
    m.Constrain("g.pof", g.pof, 1, Target());
    m.Objective("R", CProblemMaker::DesignVariable(0), coef);
    p.builder.SetObjectiveSense(sense);
    p.sense = sense;
    p.model = [](const std::valarray<double>& x, std::valarray<double>& y) { y[0] = x[0] - x[1]; };
  }

  /// The problem evaluated at design points with these means of R.
  rbo::problem::Problem AtMeans(int method, int samples, std::uint64_t seed, const std::vector<double>& means) const {
    rbo::problem::Problem p;
    Make(p);
    p.settings.method = method;
    p.settings.samples = samples;
    p.settings.seed = seed;
    for (double m : means) p.designPoints.push_back(std::valarray<double>{m});
    return p;
  }
};

/// A deterministic design variable t joins the limit state: g = R + t - S,
/// cost muR + t^2.  The constraint is muR + t >= K = muS + beta * sigma_g,
/// active at the optimum, so the cost is K - t + t^2: t* = 1/2,
/// muR* = K - 1/2.
struct LinearWithDeterministic {
  LinearReliability base;
  double Optimum() const { return base.Optimum() - 0.5; }

  void Make(rbo::problem::Problem& p) const {
    CProblemMaker m(p);
    m.Random("R", base.muR0, base.sR, 0.0, 40.0);
    m.Design("t", 2.0, -5.0, 5.0);
    m.Parameter("S", base.muS, base.sS);
    const refhost::ResponseRef g = m.LimitState("g");
    m.Constrain("g.pof", g.pof, 1, base.Target());
    m.Objective("R", CProblemMaker::DesignVariable(0), 1.0);
    m.Objective("t^2", CProblemMaker::DesignVariable(1), 1.0, true);
    p.model = [](const std::valarray<double>& x, std::valarray<double>& y) { y[0] = x[0] + x[1] - x[2]; };
  }
};

}  // namespace optimizetest
