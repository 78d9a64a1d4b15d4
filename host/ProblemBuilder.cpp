// refhost::ProblemBuilder: a consistent CDB from a short problem description.
#include "rbo/host/ProblemBuilder.h"

#include <limits>
#include <stdexcept>

namespace refhost {
namespace {
constexpr int kCodeMean = -1;
constexpr int kCodeStdDev = -2;
constexpr int kRoleMean = -1, kRoleStdDev = -2, kRolePOF = -3, kRoleAny = -4, kRoleJoint = -5;

template <class T>
std::valarray<T> ToValarray(const std::vector<T>& v) {
  return std::valarray<T>(v.data(), v.size());
}
}  // namespace

int ProblemBuilder::AddDesignVariable(const std::string& name, double value) {
  m_vVariables.push_back({VarKind::kDesign, 0, value, 0.0, m_nIndDVs++, -1, -1});
  m_vVariableNames.push_back(name);
  return int(m_vVariables.size()) - 1;
}

int ProblemBuilder::AddConstant(const std::string& name, double value) {
  m_vVariables.push_back({VarKind::kConstant, 0, value, 0.0, -1, m_nConstants++, -1});
  m_vVariableNames.push_back(name);
  return int(m_vVariables.size()) - 1;
}

int ProblemBuilder::AddRandomDesignVariable(const std::string& name, int distribution, double mean, double stdDev) {
  m_vVariables.push_back(
      {VarKind::kRandomDesign, distribution, mean, stdDev, m_nIndDVs++, m_nConstants++, m_nRandVars++});
  m_vVariableNames.push_back(name);
  return int(m_vVariables.size()) - 1;
}

int ProblemBuilder::AddRandomParameter(const std::string& name, int distribution, double mean, double stdDev) {
  m_vVariables.push_back({VarKind::kRandomParameter, distribution, mean, stdDev, -1, m_nConstants, m_nRandVars++});
  m_nConstants += 2;
  m_vVariableNames.push_back(name);
  return int(m_vVariables.size()) - 1;
}

ResponseRef ProblemBuilder::AddResponse(const std::string& name) {
  const int entry = m_nEntries++;
  m_vResponses.push_back({false, entry, -1});
  m_vResponseNames.push_back(name);
  const QuantityRef value{kTypeIndResp, entry};
  return {int(m_vResponses.size()) - 1, value, value, value};
}

ResponseRef ProblemBuilder::AddRandomResponse(const std::string& name) {
  const int entry = m_nEntries;
  m_nEntries += 3;
  if (m_nJointEntry < 0) m_nJointEntry = m_nEntries++;
  m_vResponses.push_back({true, entry, ++m_nRandResps});
  m_vResponseNames.push_back(name);
  return {int(m_vResponses.size()) - 1, {kTypeIndResp, entry}, {kTypeIndResp, entry + 1}, {kTypeIndResp, entry + 2}};
}

void ProblemBuilder::AddConstraint(QuantityRef subject, int side, double bound, double scale) {
  if (!(scale > 0.0)) throw std::invalid_argument("a constraint's scale must be > 0");
  m_vConstraints.push_back({subject, side, bound, scale});
}

void ProblemBuilder::AddObjectiveTerm(QuantityRef subject, double coef, int func) {
  if (func != 0 && func != 1)
    throw std::invalid_argument("an objective term's function must be 0 (value) or 1 (square)");
  m_vObjective.push_back({subject, coef, func});
}

void ProblemBuilder::SetObjectiveSense(int sense) { m_nSense = sense >= 0 ? 1 : -1; }

void ProblemBuilder::SetConstraintTolerance(double tol) { m_dConstrTol = tol; }

bool ProblemBuilder::IsRandom() const { return m_nRandVars > 0 && m_nRandResps > 0; }

std::unique_ptr<CDB> ProblemBuilder::Build() const {
  auto pDB = std::make_unique<CDB>();
  pDB->m_pParams->m_dConstrTol = m_dConstrTol;
  FillDesignVariables(*pDB);
  FillResponses(*pDB);
  FillConstraints(*pDB);
  FillObjective(*pDB);
  return pDB;
}

void ProblemBuilder::FillDesignVariables(CDB& db) const {
  std::vector<int> dvIndex, dvType, inputRandVar, inputCode, distTypes(std::size_t(m_nRandVars), 0);
  std::valarray<double> indDVs(0.0, std::size_t(m_nIndDVs)), constants(0.0, std::size_t(m_nConstants));
  auto addEntry = [&](int type, int index, int randVar, int code) {
    dvType.push_back(type);
    dvIndex.push_back(index);
    inputRandVar.push_back(randVar);
    inputCode.push_back(code);
  };
  for (const Variable& v : m_vVariables) {
    switch (v.kind) {
      case VarKind::kDesign:
        indDVs[std::size_t(v.dvIndex)] = v.value;
        addEntry(kTypeIndDV, v.dvIndex, -1, 0);
        break;
      case VarKind::kConstant:
        constants[std::size_t(v.constIndex)] = v.value;
        addEntry(kTypeGroup3DV, v.constIndex, -1, 0);
        break;
      case VarKind::kRandomDesign:
        indDVs[std::size_t(v.dvIndex)] = v.value;
        constants[std::size_t(v.constIndex)] = v.stdDev;
        addEntry(kTypeIndDV, v.dvIndex, v.randVar, kCodeMean);
        addEntry(kTypeGroup3DV, v.constIndex, v.randVar, kCodeStdDev);
        distTypes[std::size_t(v.randVar)] = v.distribution;
        break;
      case VarKind::kRandomParameter:
        constants[std::size_t(v.constIndex)] = v.value;
        constants[std::size_t(v.constIndex) + 1] = v.stdDev;
        addEntry(kTypeGroup3DV, v.constIndex, v.randVar, kCodeMean);
        addEntry(kTypeGroup3DV, v.constIndex + 1, v.randVar, kCodeStdDev);
        distTypes[std::size_t(v.randVar)] = v.distribution;
        break;
    }
  }
  db.m_vIndDVs = indDVs;
  db.m_vGroup3DVs = constants;
  db.m_nIndDVs = std::uint32_t(m_nIndDVs);
  db.m_nGroup3DVs = std::uint32_t(m_nConstants);
  db.m_vDVIndexOfInput = ToValarray(dvIndex);
  db.m_vDVTypeOfInput = ToValarray(dvType);
  db.m_vInputRandVar = ToValarray(inputRandVar);
  db.m_vInputParamCode = ToValarray(inputCode);
  db.m_nRandVars = std::uint32_t(m_nRandVars);
  db.m_vDistTypeOfRandVar = ToValarray(distTypes);
}

// Entry 0 is the any fraction; see the header for the layout.
void ProblemBuilder::FillResponses(CDB& db) const {
  const std::size_t E = std::size_t(m_nEntries);
  std::valarray<int> numbers(-1, E), roles(0, E), index(0, E), type(kTypeIndResp, E);
  for (std::size_t e = 0; e < E; ++e) index[e] = int(e);
  numbers[0] = 0;
  roles[0] = kRoleAny;
  for (const Response& r : m_vResponses) {
    if (!r.bRandom) continue;
    const std::size_t e = std::size_t(r.entry);
    const int rolesOfResponse[3] = {kRoleMean, kRoleStdDev, kRolePOF};
    for (std::size_t k = 0; k < 3; ++k) {
      numbers[e + k] = r.number;
      roles[e + k] = rolesOfResponse[k];
    }
  }
  if (m_nJointEntry >= 0) {
    numbers[std::size_t(m_nJointEntry)] = 1;
    roles[std::size_t(m_nJointEntry)] = kRoleJoint;
  }
  db.m_vIndResps.resize(E, 0.0);
  db.m_nIndResps = std::uint32_t(E);
  db.m_vRespIndexOfEntry = index;
  db.m_vRespTypeOfEntry = type;
  db.m_vEntryRandRespNumber = numbers;
  db.m_vRespRole = roles;
  db.m_nRandRespsPlus1 = std::uint32_t(m_nRandResps + 1);
}

void ProblemBuilder::FillConstraints(CDB& db) const {
  const std::size_t C = m_vConstraints.size();
  db.m_vConBound.resize(C);
  db.m_vConScale.resize(C);
  db.m_vConTarget.resize(C, 0.0);
  db.m_vConSide.resize(C);
  db.m_vConSubjectIndex.resize(C);
  db.m_vConSubjectType.resize(C);
  for (std::size_t c = 0; c < C; ++c) {
    const Constraint& k = m_vConstraints[c];
    db.m_vConBound[c] = k.bound;
    db.m_vConScale[c] = k.scale;
    db.m_vConSide[c] = k.side;
    db.m_vConSubjectIndex[c] = k.subject.index;
    db.m_vConSubjectType[c] = k.subject.type;
  }
}

void ProblemBuilder::FillObjective(CDB& db) const {
  const std::size_t T = m_vObjective.size();
  db.m_vObjSubjectIndex.resize(T);
  db.m_vObjSubjectType.resize(T);
  db.m_vObjFunc.resize(T);
  db.m_vObjCoef.resize(T);
  for (std::size_t t = 0; t < T; ++t) {
    db.m_vObjSubjectIndex[t] = m_vObjective[t].subject.index;
    db.m_vObjSubjectType[t] = m_vObjective[t].subject.type;
    db.m_vObjFunc[t] = m_vObjective[t].func;
    db.m_vObjCoef[t] = m_vObjective[t].coef;
  }
  db.m_vObjSense = std::valarray<int>(m_nSense, 1);
  db.m_vObjScale = std::valarray<double>(1.0, 1);
  db.m_vObjOffset = std::valarray<double>(0.0, 1);
}

std::valarray<double> ProblemBuilder::InitialPoint() const {
  std::valarray<double> x(0.0, std::size_t(m_nIndDVs));
  for (const Variable& v : m_vVariables)
    if (v.dvIndex >= 0) x[std::size_t(v.dvIndex)] = v.value;
  return x;
}

CMatrix<double> ProblemBuilder::DesignMatrix(const std::vector<std::valarray<double>>& points) const {
  CMatrix<double> m(m_nIndDVs, int(points.size()));
  for (std::size_t p = 0; p < points.size(); ++p) {
    if (points[p].size() != std::size_t(m_nIndDVs))
      throw std::invalid_argument("design point " + std::to_string(p) + " has " + std::to_string(points[p].size()) +
                                  " values; the problem has " + std::to_string(m_nIndDVs) + " design variables");
    m.ReplaceCol(int(p), points[p]);
  }
  return m;
}

AnalysisFunction ProblemBuilder::Analysis(ModelFunction f) const {
  const std::size_t nVars = m_vVariables.size(), nResps = m_vResponses.size();
  if (IsRandom()) {
    // The analysis-input and analysis-response vectors are the model vectors.
    return [f, nVars, nResps](const std::valarray<double>& inputs, std::valarray<double>& outputs) {
      if (inputs.size() != nVars || outputs.size() != nResps)
        throw std::invalid_argument("analysis called with " + std::to_string(inputs.size()) + " inputs and " +
                                    std::to_string(outputs.size()) + " outputs; the problem has " +
                                    std::to_string(nVars) + " model variables and " + std::to_string(nResps) +
                                    " model responses");
      f(inputs, outputs);
    };
  }
  // Deterministic path: the analysis receives the full design-variable vector
  // and fills the full response vector (entry 0, the any fraction, is 0).
  std::vector<std::size_t> firstEntry;
  std::size_t entry = 0;
  for (const Variable& v : m_vVariables) {
    firstEntry.push_back(entry);
    entry += (v.kind == VarKind::kRandomDesign || v.kind == VarKind::kRandomParameter) ? 2 : 1;
  }
  std::vector<std::size_t> responseEntry;
  for (const Response& r : m_vResponses) responseEntry.push_back(std::size_t(r.entry));
  const std::size_t nEntries = std::size_t(m_nEntries);
  return [f, firstEntry, responseEntry, nVars, nResps, nEntries](const std::valarray<double>& inputs,
                                                                 std::valarray<double>& outputs) {
    if (outputs.size() != nEntries)
      throw std::invalid_argument("analysis called with " + std::to_string(outputs.size()) +
                                  " outputs; the problem has " + std::to_string(nEntries) + " response entries");
    thread_local std::valarray<double> x, y;
    if (x.size() != nVars) x.resize(nVars);
    if (y.size() != nResps) y.resize(nResps);
    for (std::size_t k = 0; k < nVars; ++k) x[k] = inputs[firstEntry[k]];
    y = 0.0;
    f(x, y);
    outputs = 0.0;
    for (std::size_t k = 0; k < nResps; ++k) outputs[responseEntry[k]] = y[k];
  };
}

BatchAnalysisFunction ProblemBuilder::BatchAnalysis(BatchModelFunction f) const {
  const int nVars = int(m_vVariables.size()), nResps = int(m_vResponses.size());
  if (IsRandom()) {
    // The analysis-input and analysis-response rows are the model rows.
    return [f, nVars, nResps](const CMatrix<double>& inputs, CMatrix<double>& outputs) {
      if (inputs.Rows() != nVars || outputs.Rows() != nResps)
        throw std::invalid_argument("batch analysis called with " + std::to_string(inputs.Rows()) + " inputs and " +
                                    std::to_string(outputs.Rows()) + " outputs; the problem has " +
                                    std::to_string(nVars) + " model variables and " + std::to_string(nResps) +
                                    " model responses");
      f(inputs, outputs);
    };
  }
  // Deterministic path: rows of the full design-variable vector in, rows of
  // the full response vector out (entry 0, the any fraction, is 0).
  std::vector<int> firstEntry;
  int entry = 0;
  for (const Variable& v : m_vVariables) {
    firstEntry.push_back(entry);
    entry += (v.kind == VarKind::kRandomDesign || v.kind == VarKind::kRandomParameter) ? 2 : 1;
  }
  std::vector<int> responseEntry;
  for (const Response& r : m_vResponses) responseEntry.push_back(r.entry);
  const int nEntries = m_nEntries;
  return [f, firstEntry, responseEntry, nVars, nResps, nEntries](const CMatrix<double>& inputs,
                                                                 CMatrix<double>& outputs) {
    if (outputs.Rows() != nEntries)
      throw std::invalid_argument("batch analysis called with " + std::to_string(outputs.Rows()) +
                                  " outputs; the problem has " + std::to_string(nEntries) + " response entries");
    const int nPoints = inputs.Cols();
    CMatrix<double> x(nVars, nPoints);
    CMatrix<double> y(nResps, nPoints, std::numeric_limits<double>::quiet_NaN());
    for (int j = 0; j < nPoints; ++j)
      for (int k = 0; k < nVars; ++k) x(k, j) = inputs(firstEntry[std::size_t(k)], j);
    f(x, y);
    if (y.Rows() != nResps || y.Cols() != nPoints)
      throw std::runtime_error("the batch model gave " + std::to_string(y.Rows()) + " x " + std::to_string(y.Cols()) +
                               " responses instead of " + std::to_string(nResps) + " x " + std::to_string(nPoints));
    outputs = CMatrix<double>(nEntries, nPoints);
    for (int j = 0; j < nPoints; ++j)
      for (int k = 0; k < nResps; ++k) outputs(responseEntry[std::size_t(k)], j) = y(k, j);
  };
}

}  // namespace refhost
