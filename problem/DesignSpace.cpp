// The optimiser's design space, the constraint forms it sees, and the
// batches of design points it has the library judge.
#include "DesignSpace.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <stdexcept>
#include <utility>

#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/Interval.h"

namespace rbo::problem::optimize {
namespace {

constexpr int kCodeParam1 = 0;
constexpr int kCodeMean = -1;
constexpr int kRolePOF = -3, kRoleAny = -4, kRoleJoint = -5;
constexpr double kInf = std::numeric_limits<double>::infinity();

bool IsMeanEntry(const CDB& db, std::size_t e) {
  return db.m_vInputRandVar[e] >= 0 && (db.m_vInputParamCode[e] == kCodeParam1 || db.m_vInputParamCode[e] == kCodeMean);
}

bool IsRandomPath(const CDB& db) { return db.m_nRandVars > 0 && db.m_nRandRespsPlus1 > 1; }

/// A bound of the problem file as the optimiser takes it: the library's
/// 1e30 is no bound.
double Bound(double b) {
  if (b >= kNoBound) return kInf;
  if (b <= -kNoBound) return -kInf;
  return b;
}

/// Position of entry e among the analysis inputs: deterministic entries
/// and the first entry of each random group each open one.
int AnalysisInputPosition(const CDB& db, std::size_t e) {
  int pos = -1;
  for (std::size_t i = 0; i <= e; ++i) {
    const int r = db.m_vInputRandVar[i];
    if (r < 0 || i == 0 || r != db.m_vInputRandVar[i - 1]) ++pos;
  }
  return pos;
}

/// Moves references to group 3 after the promotion: newType/newIndex of
/// group-3 index k.
struct GroupThreeMap {
  std::vector<int> type;   ///< new type code of old group-3 index k
  std::vector<int> index;  ///< new index of old group-3 index k
  void Apply(int& t, int& i) const {
    if (t != kTypeGroup3DV || i < 0 || std::size_t(i) >= type.size()) return;
    const std::size_t k = std::size_t(i);
    t = type[k];
    i = index[k];
  }
  void Apply(std::vector<std::vector<int>>& types, std::vector<std::vector<int>>& indices) const {
    for (std::size_t q = 0; q < types.size() && q < indices.size(); ++q)
      for (std::size_t a = 0; a < types[q].size() && a < indices[q].size(); ++a) Apply(types[q][a], indices[q][a]);
  }
  void Apply(std::valarray<int>& types, std::valarray<int>& indices) const {
    for (std::size_t q = 0; q < types.size() && q < indices.size(); ++q) Apply(types[q], indices[q]);
  }
};

}  // namespace

// ---------------------------------------------------------------- promotion

std::vector<int> PromoteRandomMeans(CDB& db) {
  const std::size_t nEntries = db.m_vDVTypeOfInput.size();
  const std::size_t nGroup3 = db.m_vGroup3DVs.size();
  std::vector<int> promoted;  // entries whose mean moves to group 0
  std::vector<bool> removed(nGroup3, false);
  std::vector<int> newIndOf(nGroup3, -1);
  std::vector<double> newValues;
  int nInd = int(db.m_nIndDVs);
  for (std::size_t e = 0; e < nEntries; ++e) {
    if (!IsMeanEntry(db, e) || db.m_vDVTypeOfInput[e] != kTypeGroup3DV) continue;
    const int k = db.m_vDVIndexOfInput[e];
    if (k < 0 || std::size_t(k) >= nGroup3)
      throw std::invalid_argument("design-variable entry " + std::to_string(e) + " names constant " +
                                  std::to_string(k) + ", which the database does not hold");
    if (!removed[std::size_t(k)]) {
      removed[std::size_t(k)] = true;
      newIndOf[std::size_t(k)] = nInd++;
      newValues.push_back(db.m_vGroup3DVs[std::size_t(k)]);
    }
    promoted.push_back(int(e));
  }
  if (promoted.empty()) return promoted;

  GroupThreeMap map;
  map.type.resize(nGroup3);
  map.index.resize(nGroup3);
  std::vector<double> kept;
  for (std::size_t k = 0; k < nGroup3; ++k) {
    if (removed[k]) {
      map.type[k] = kTypeIndDV;
      map.index[k] = newIndOf[k];
    } else {
      map.type[k] = kTypeGroup3DV;
      map.index[k] = int(kept.size());
      kept.push_back(db.m_vGroup3DVs[k]);
    }
  }
  std::valarray<double> ind(0.0, std::size_t(nInd));
  for (std::size_t i = 0; i < db.m_vIndDVs.size() && i < ind.size(); ++i) ind[i] = db.m_vIndDVs[i];
  for (std::size_t j = 0; j < newValues.size(); ++j) ind[std::size_t(db.m_nIndDVs) + j] = newValues[j];
  db.m_vIndDVs = ind;
  db.m_nIndDVs = std::uint32_t(nInd);
  db.m_vGroup3DVs = std::valarray<double>(kept.data(), kept.size());
  db.m_nGroup3DVs = std::uint32_t(kept.size());
  map.Apply(db.m_vDVTypeOfInput, db.m_vDVIndexOfInput);
  map.Apply(db.m_vvDVLinkArgType, db.m_vvDVLinkArgIndex);
  map.Apply(db.m_vvDVSynthArgType, db.m_vvDVSynthArgIndex);
  map.Apply(db.m_vvRespLinkArgType, db.m_vvRespLinkArgIndex);
  map.Apply(db.m_vvRespSynthArgType, db.m_vvRespSynthArgIndex);
  map.Apply(db.m_vObjSubjectType, db.m_vObjSubjectIndex);
  map.Apply(db.m_vConSubjectType, db.m_vConSubjectIndex);
  return promoted;
}

// ---------------------------------------------------------------- design space

CDesignSpace::CDesignSpace(CDB& db, const Problem& problem, int method, const OptimizeOptions& options)
    : m_db(db),
      m_nMethod(method),
      m_nProblemSize(int(problem.designVariables.size())),
      m_dFdStep(options.fdStep),
      m_dFdSampleStep(options.fdSampleStep),
      m_dFdSampleRelStep(options.fdSampleRelStep) {
  if (int(db.m_nIndDVs) != m_nProblemSize)
    throw std::invalid_argument("the database has " + std::to_string(db.m_nIndDVs) +
                                " independent design variables, the problem " + std::to_string(m_nProblemSize));
  const bool bRandom = IsRandomPath(db);
  m_bSampling = bRandom && method != 2;
  std::vector<int> promoted;
  if (bRandom && IsSurfaceMethod(method)) promoted = PromoteRandomMeans(db);

  const std::size_t n = std::size_t(db.m_nIndDVs);
  m_vFull0.resize(n);
  m_vLower.assign(n, 0.0);
  m_vUpper.assign(n, 0.0);
  m_vScale.assign(n, 1.0);
  m_vStdDev.assign(n, 0.0);
  m_vFixedStep.assign(n, 0.0);
  m_vMeanNumber.assign(n, -1);
  m_vHeld.assign(n, true);
  m_vNames.assign(n, std::string());
  for (std::size_t i = 0; i < n; ++i) {
    if (int(i) < m_nProblemSize) {
      const DesignVariable& v = problem.designVariables[i];
      m_vLower[i] = Bound(v.lower);
      m_vUpper[i] = Bound(v.upper);
      if (m_vLower[i] > m_vUpper[i])
        throw std::invalid_argument("design variable " + v.name + " has a lower bound above its upper bound");
      m_vFull0[i] = std::min(std::max(v.value, m_vLower[i]), m_vUpper[i]);
      m_vHeld[i] = !(m_vLower[i] < m_vUpper[i]);
      m_vNames[i] = v.name;
    } else {
      m_vFull0[i] = db.m_vIndDVs[i];
      m_vLower[i] = m_vUpper[i] = m_vFull0[i];
    }
  }
  for (std::size_t j = 0; j < promoted.size(); ++j) {
    const std::size_t i = std::size_t(m_nProblemSize) + j;
    const int pos = AnalysisInputPosition(db, std::size_t(promoted[j]));
    const std::string base = pos >= 0 && std::size_t(pos) < problem.variables.size()
                                 ? problem.variables[std::size_t(pos)].name
                                 : "random variable " + std::to_string(db.m_vInputRandVar[std::size_t(promoted[j])]);
    m_vNames[i] = base + ".mean";
  }

  // Random means: their mean-entry number and their variable's deviation.
  std::valarray<double> dvVector = DesignVariableVector(m_vFull0);
  std::valarray<CRandVar> rv = RandomVariablesAt(db, dvVector);
  int k = 0;
  for (std::size_t e = 0; e < db.m_vDVTypeOfInput.size(); ++e) {
    if (!IsMeanEntry(db, e)) continue;
    if (db.m_vDVTypeOfInput[e] == kTypeIndDV) {
      const std::size_t i = std::size_t(db.m_vDVIndexOfInput[e]);
      if (i < n) {
        m_vMeanNumber[i] = k;
        m_vStdDev[i] = rv[std::size_t(db.m_vInputRandVar[e])].GetActualStdDev();
      }
    }
    ++k;
  }

  for (std::size_t i = 0; i < n; ++i) {
    const double x = std::fabs(m_vFull0[i]);
    const double range = m_vUpper[i] - m_vLower[i];
    if (m_vMeanNumber[i] >= 0)
      m_vScale[i] = std::max(x, m_vStdDev[i]);
    else if (x > 0.0)
      m_vScale[i] = x;
    else if (std::isfinite(range) && range > 0.0)
      m_vScale[i] = range;
    if (!(m_vScale[i] > 0.0)) m_vScale[i] = 1.0;
    if (!m_vHeld[i]) m_vMoving.push_back(int(i));
    if (bRandom && method == 2 && m_vMeanNumber[i] >= 0) m_vRegressionSteps.push_back(int(i));
  }

  if (bRandom && (method == 3 || method == 4))
    for (int i : m_vMoving)
      if (m_vMeanNumber[std::size_t(i)] < 0)
        throw std::invalid_argument(
            "methods 3 and 4 fit one response surface over the means of the random variables, across every design "
            "point evaluated; they cannot follow the deterministic design variable " +
            m_vNames[std::size_t(i)] + " as the optimiser moves it. Use method 0, 1 or 2, or fix " +
            m_vNames[std::size_t(i)] + " (equal bounds)");
}

bool CDesignSpace::StepsNeedOwnBatch(int entry) const {
  return m_nMethod == 2 && !m_vRegressionSteps.empty() &&
         !std::binary_search(m_vRegressionSteps.begin(), m_vRegressionSteps.end(), entry);
}

double CDesignSpace::StepSize(const std::valarray<double>& full, int entry) const {
  const std::size_t i = std::size_t(entry);
  if (m_vFixedStep[i] > 0.0) return m_vFixedStep[i];
  const double size = std::max(std::fabs(full[i]), m_vScale[i]);
  double h = m_dFdStep * size;
  // A probability estimated from samples moves in steps of 1 / samples even
  // with common random numbers: the step must carry a fair share of the
  // samples across a bound, or the difference is 0 or one whole step.
  if (m_bSampling) h = std::max(h, m_vMeanNumber[i] >= 0 ? m_dFdSampleStep * m_vStdDev[i] : m_dFdSampleRelStep * size);
  return h;
}

std::valarray<double> CDesignSpace::DesignVariableVector(const std::valarray<double>& full) const {
  return rbo::problem::DesignVariableVector(m_db, full);
}

std::valarray<double> CDesignSpace::Step(const std::valarray<double>& full, int entry, double* pdDelta) const {
  const std::size_t i = std::size_t(entry);
  double h = StepSize(full, entry);
  if (full[i] + h > m_vUpper[i] && full[i] - h >= m_vLower[i]) h = -h;

  std::valarray<double> stepped(full);
  if (m_vMeanNumber[i] >= 0) {
    CDB& db = m_db;
    std::valarray<double> dvVector = DesignVariableVector(full);
    std::valarray<CRandVar> rv = RandomVariablesAt(db, dvVector);
    std::valarray<double> out;
    FDRandMeanIntoFDRandEntry(dvVector, db.m_vInputRandVar, db.m_vInputParamCode, rv, h, m_vMeanNumber[i], out);
    std::valarray<double> g3(db.m_vGroup3DVs), g1(db.m_vLinkDVs), g2(db.m_vSynthDVs);
    ExtractAllTypeDV(out, db.m_vDVIndexOfInput, db.m_vDVTypeOfInput, stepped, g3, g1, g2);
  } else {
    stepped[i] = full[i] + h;
  }
  *pdDelta = stepped[i] - full[i];
  if (!(*pdDelta != 0.0))
    throw std::invalid_argument("the finite-difference step of " + m_vNames[i] + " vanishes at " +
                                std::to_string(full[i]) + "; raise the step");
  return stepped;
}

std::vector<std::valarray<double>> CDesignSpace::SeedPoints(std::uint64_t seed) const {
  std::vector<std::valarray<double>> points;
  if (!(m_nMethod == 3 || m_nMethod == 4) || m_db.m_nRandVars == 0) return points;
  std::vector<std::size_t> means;
  for (std::size_t i = 0; i < m_vMeanNumber.size(); ++i)
    if (m_vMeanNumber[i] >= 0) means.push_back(i);
  const double n = double(m_db.m_nRandVars);
  const std::size_t count = std::size_t(2.0 * (n + 3.0) * (n + 2.0) * (n + 1.0) / 6.0);
  points.assign(count, m_vFull0);
  // Own stream of the problem's seed, so that a run is reproducible.
  std::mt19937_64 engine(seed ^ 0x5eedc0deULL);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::size_t i : means) {
    std::vector<std::size_t> strata(count);
    for (std::size_t p = 0; p < count; ++p) strata[p] = p;
    std::shuffle(strata.begin(), strata.end(), engine);
    const double x0 = m_vFull0[i];
    const double spread = x0 != 0.0 ? std::min(m_vStdDev[i], 0.5 * std::fabs(x0)) : m_vStdDev[i];
    for (std::size_t p = 0; p < count; ++p) {
      const double u = (double(strata[p]) + unit(engine)) / double(count);  // in (0, 1), one per stratum
      double x = x0 + spread * (2.0 * u - 1.0);
      if (!m_vHeld[i]) x = std::min(std::max(x, m_vLower[i]), m_vUpper[i]);
      points[p][i] = x;
    }
  }
  return points;
}

// ---------------------------------------------------------------- constraint forms

CConstraintForms::CConstraintForms(CDB& db, const Problem& problem, int method, int samples) {
  const bool bRandom = IsRandomPath(db);
  const bool bSampling = bRandom && method != 2;
  if (bSampling) m_dSamples = double(std::max(samples, 1));
  for (const Constraint& c : problem.constraints) {
    // The random response whose POF this constraint bounds, if any.
    int response = -1;
    const Response* pBounds = nullptr;
    for (std::size_t r = 0; r < problem.responses.size(); ++r) {
      const Response& resp = problem.responses[r];
      if (resp.random && resp.ref.pof.type == c.ref.type && resp.ref.pof.index == c.ref.index) {
        response = int(r);
        pBounds = &resp;
      }
    }
    m_vResponse.push_back(response);
    m_vBounds.push_back(pBounds);
    bool bProbability = false;
    if (bRandom && c.side > 0 && c.bound > 0.0 && c.bound < 1.0 && c.ref.type >= kTypeIndResp)
      for (std::size_t e = 0; e < db.m_vRespTypeOfEntry.size(); ++e)
        if (db.m_vRespTypeOfEntry[e] == c.ref.type && db.m_vRespIndexOfEntry[e] == c.ref.index) {
          const int role = db.m_vRespRole[e];
          bProbability =
              db.m_vEntryRandRespNumber[e] >= 0 && (role == kRolePOF || role == kRoleAny || role == kRoleJoint);
          break;
        }
    m_vProbability.push_back(bProbability);
    m_vBoundIndex.push_back(bProbability ? NormalQuantile(c.bound) : 0.0);
    // Half a sample below the resolution of the estimate, and never at or
    // above the bound: an estimate of 0 satisfies any positive bound.
    m_vFloor.push_back(bSampling ? std::min(0.5 / double(std::max(samples, 1)), 0.5 * c.bound) : 1e-250);
    m_vDivisor.push_back(std::max(1.0, std::fabs(c.bound) / c.scale));
    m_vMargin.push_back(
        bProbability && bSampling
            ? NormalQuantile(std::min(c.bound + 1.0 / double(std::max(samples, 1)), 0.5 * (1.0 + c.bound))) -
                  m_vBoundIndex.back()
            : 0.0);
    if (bProbability && bSampling && double(samples) * c.bound < 10.0)
      m_vWarnings.push_back("constraint " + c.subject + " <= " + std::to_string(c.bound) + ": " +
                            std::to_string(samples) +
                            " samples expect fewer than 10 failures at the bound, too few "
                            "to place it; use at least " +
                            std::to_string(int(std::ceil(100.0 / c.bound))) + " samples or method 2");
  }
}

std::vector<double> CConstraintForms::Values(const std::vector<double>& subjects, const PointResult& e) const {
  constexpr double kResolvingSamples = 10.0;
  std::vector<double> out(m_vProbability.size());
  for (std::size_t c = 0; c < out.size(); ++c) {
    if (m_vProbability[c]) {
      // 1 - floor rounds to 1 for a tiny floor; the largest double below 1
      // keeps the index finite (about 8.2).
      const double ceiling = std::min(1.0 - m_vFloor[c], 1.0 - 0x1p-53);
      const double p = std::min(std::max(subjects[c], m_vFloor[c]), ceiling);
      double z = NormalQuantile(p);
      const int q = m_vResponse[c];
      if (m_dSamples > 0.0 && q >= 0 && std::size_t(q) < e.responses.size() && e.responses[std::size_t(q)].sd > 0.0) {
        const double rare = std::min(subjects[c], 1.0 - subjects[c]) * m_dSamples;
        if (rare < kResolvingSamples) {
          const ResponseResult& r = e.responses[std::size_t(q)];
          const Response& b = *m_vBounds[c];
          double index = std::numeric_limits<double>::infinity();
          if (b.hasLower) index = std::min(index, (r.mean - b.lower) / r.sd);
          if (b.hasUpper) index = std::min(index, (b.upper - r.mean) / r.sd);
          if (std::isfinite(index)) {
            // The moments give a direction; the sample still bounds the
            // level: with k samples beyond the bounds the probability is
            // hardly above (k + 1) / N (below it on the failed side).  A
            // skewed response whose moments promise more failures than the
            // sample shows must not make the constraint look active.
            const double k = std::max(rare, 0.0);
            double zm = -index;
            if (subjects[c] <= 0.5)
              zm = std::min(zm, NormalQuantile((k + 1.0) / m_dSamples));
            else
              zm = std::max(zm, NormalQuantile(1.0 - (k + 1.0) / m_dSamples));
            const double w = k / kResolvingSamples;
            z = w * z + (1.0 - w) * zm;
          }
        }
      }
      out[c] = z - m_vBoundIndex[c] + m_vMargin[c];
    } else {
      out[c] = e.constraints[c] / m_vDivisor[c];
    }
  }
  return out;
}

double CConstraintForms::Worst(const std::vector<double>& forms) const {
  double worst = -std::numeric_limits<double>::infinity();
  for (std::size_t c = 0; c < forms.size(); ++c) worst = std::max(worst, forms[c] - m_vMargin[c]);
  return worst;
}

// ---------------------------------------------------------------- batches

CBatchRunner::CBatchRunner(CDB& db, const Problem& problem, int method, int samples, bool bParallel, int nProblemSize)
    : m_db(db),
      m_problem(problem),
      m_nMethod(method),
      m_bParallel(bParallel),
      m_bRandom(IsRandomPath(db)),
      m_nProblemSize(nProblemSize),
      m_nPerPoint(IsRandomPath(db) && (method == 0 || method == 1) ? samples : 1),
      m_dIntervalSamples(IsSampledMethod(method) ? double(samples) : 0.0) {
  for (const Constraint& c : problem.constraints) m_vConstraintAt.push_back(Locate(c.ref.type, c.ref.index));
}

CBatchRunner::Locator CBatchRunner::Locate(int type, int index) const {
  if (type == kTypeIndDV) return {0, index};
  const bool bDV = type >= kTypeIndDV && type <= kTypeGroup3DV;
  const std::valarray<int>& types = bDV ? m_db.m_vDVTypeOfInput : m_db.m_vRespTypeOfEntry;
  const std::valarray<int>& indices = bDV ? m_db.m_vDVIndexOfInput : m_db.m_vRespIndexOfEntry;
  for (std::size_t e = 0; e < types.size(); ++e)
    if (types[e] == type && indices[e] == index) return {bDV ? 1 : 2, int(e)};
  throw std::invalid_argument("the quantity of type " + std::to_string(type) + " and index " + std::to_string(index) +
                              " is neither a design variable nor a response entry of the problem");
}

double CBatchRunner::Value(const Locator& l, const CMatrix<double>& ind, const CMatrix<double>& dv,
                           const CMatrix<double>& resp, int p) const {
  switch (l.source) {
    case 0:
      return ind(l.row, p);
    case 1:
      return dv(l.row, p);
    default:
      return resp(l.row, p);
  }
}

BatchOutcome CBatchRunner::Run(const std::vector<std::valarray<double>>& points) {
  const int P = int(points.size());
  const int rows = points.empty() ? 0 : int(points.front().size());
  CMatrix<double> ind(rows, P);
  for (int p = 0; p < P; ++p) {
    std::valarray<double> column(points[std::size_t(p)]);
    ind.ReplaceCol(p, column);
  }

  // Methods 2 to 4 only log a failed fit and leave the statistics at zero;
  // a demanding user wants that as an error, not as an optimum built on
  // zeros.
  const long long failuresBefore = refhost::FitFailures();
  const BatchResult r = EvaluateDesignPoints(m_db, ind, m_bParallel, &m_problem);
  if (m_bRandom && IsSurfaceMethod(m_nMethod) && refhost::FitFailures() != failuresBefore)
    throw SurfaceFitError("method " + std::to_string(m_nMethod) +
                          " could not fit its response surface to the batch of " + std::to_string(P) +
                          " design points (the log has the library's report): the means of the random "
                          "variables do not vary enough across the points");
  ++m_nBatches;
  m_nAnalyses += (long long)P * m_nPerPoint;

  BatchOutcome out;
  out.points.resize(std::size_t(P));
  out.evalObj.resize(std::size_t(P));
  out.subjectValues.resize(std::size_t(P));
  for (int p = 0; p < P; ++p) {
    const std::valarray<double> design = points[std::size_t(p)][std::slice(0, std::size_t(m_nProblemSize), 1)];
    std::valarray<double> entries;
    r.designResponses.GetCol(p, entries);
    PointResult& e = out.points[std::size_t(p)];
    e = ExtractPoint(m_problem, design, entries, m_dIntervalSamples);
    out.evalObj[std::size_t(p)] = r.objective[std::size_t(p)];
    e.objective = double(m_problem.sense) * r.objective[std::size_t(p)];
    e.constraint = r.constraint[std::size_t(p)];
    std::vector<double>& subjects = out.subjectValues[std::size_t(p)];
    for (std::size_t c = 0; c < m_vConstraintAt.size(); ++c) {
      const Constraint& k = m_problem.constraints[c];
      const double v = Value(m_vConstraintAt[c], ind, r.designPoints, r.designResponses, p);
      subjects.push_back(v);
      e.constraints.push_back(k.side > 0 ? (v - k.bound) / k.scale : (k.bound - v) / k.scale);
    }
    CheckFinite(m_problem, e, "a design point the optimiser proposed");
  }
  return out;
}

}  // namespace rbo::problem::optimize
