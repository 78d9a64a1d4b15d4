// The problem-file reader: design variables, constants and random variables.
#include "Reader.h"

namespace rbo::problem::reader {

void CReader::ReadVariables(const json& root) {
  if (const auto it = root.find("design_variables");
      it != root.end() && c.Array(*it, "/design_variables", "design variables")) {
    for (std::size_t i = 0; i < it->size(); ++i) ReadDesignVariable((*it)[i], Index("/design_variables", i));
  }
  if (const auto it = root.find("constants"); it != root.end() && c.Array(*it, "/constants", "constants")) {
    for (std::size_t i = 0; i < it->size(); ++i) ReadConstant((*it)[i], Index("/constants", i));
  }
  if (const auto it = root.find("random_variables");
      it != root.end() && c.Array(*it, "/random_variables", "random variables")) {
    for (std::size_t i = 0; i < it->size(); ++i) ReadRandomVariable((*it)[i], Index("/random_variables", i));
  }
}

void CReader::AddVariable(const std::string& path, const std::string& name, VariableKind kind, int distribution,
                          double value, double sd, const Bounds& b) {
  Variable v{name, kind, distribution, value, sd, -1};
  const bool bDesign = kind == VariableKind::kDesign || kind == VariableKind::kRandomDesign;
  if (bDesign) {
    v.designVariable = int(m_p.designVariables.size());
    m_p.designVariables.push_back({name, value, b.hasLower ? b.lower : -kNoBound, b.hasUpper ? b.upper : kNoBound,
                                   kind == VariableKind::kRandomDesign, int(m_p.variables.size())});
  }
  const NameInfo::Kind nk = kind == VariableKind::kDesign         ? NameInfo::kDesign
                            : kind == VariableKind::kConstant     ? NameInfo::kConstant
                            : kind == VariableKind::kRandomDesign ? NameInfo::kRandomDesign
                                                                  : NameInfo::kRandomParameter;
  m_names[name] = {path, nk, int(m_p.variables.size())};
  m_p.variables.push_back(v);
}

void CReader::Broken(const std::string& path, const std::string& name, NameInfo::Kind kind) {
  m_names[name] = {path, kind, -1};
}

bool CReader::IsBroken(const std::string& name) const {
  const auto it = m_names.find(name);
  return it != m_names.end() && it->second.index < 0;
}

void CReader::ReadDesignVariable(const json& j, const std::string& path) {
  if (!c.Object(j, path, "one design variable")) return;
  c.KnownKeys(j, path, {"name", "value", "lower", "upper"});
  std::string name;
  double value = 0.0;
  const bool bName = Name(j, path, &name);
  const bool bValue = c.Number(j, path, "value", &value, true, "its initial \"value\"");
  const Bounds b = ReadBounds(j, path);
  if (bValue) CheckInside(value, b, Key(path, "value"));
  if (bName && bValue)
    AddVariable(path, name, VariableKind::kDesign, 0, value, 0.0, b);
  else if (bName)
    Broken(path, name, NameInfo::kDesign);
}

void CReader::ReadConstant(const json& j, const std::string& path) {
  if (!c.Object(j, path, "one constant")) return;
  c.KnownKeys(j, path, {"name", "value"});
  std::string name;
  double value = 0.0;
  const bool bName = Name(j, path, &name);
  if (c.Number(j, path, "value", &value, true, "its \"value\"") && bName)
    AddVariable(path, name, VariableKind::kConstant, 0, value, 0.0, Bounds());
  else if (bName)
    Broken(path, name, NameInfo::kConstant);
}

bool CReader::LibraryAccepts(const std::function<void()>& attempt, std::vector<std::string>* pReport) {
  refhost::LogCapture capture;
  try {
    attempt();
    return true;
  } catch (const std::exception&) {
  }
  for (const refhost::LogRecord& r : capture.Records()) {
    if (r.call != "LError" && r.call != "LPrint") continue;
    std::string line = r.text;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    pReport->push_back(line);
  }
  return false;
}

std::string CReader::LognormalBelowOne() {
  return " A lognormal variable here needs a mean above 1 (with \"params\" [lambda, epsilon], lambda above 0, "
         "which is the same rule): change its units (e.g. mm instead of m) so that the mean exceeds 1, or make "
         "ln X a normal variable (mean lambda, sd epsilon) and write exp(...) of it in the expressions.";
}

std::string CReader::FaultField(const std::vector<std::string>& report, bool bParams, const std::string& path) {
  const std::string text = report.empty() ? "" : report[0] + (report.size() > 1 ? report[1] : "");
  if (bParams) {
    if (text.find("1st parameter") != std::string::npos && text.find("2nd") == std::string::npos)
      return Index(Key(path, "params"), 0);
    if (text.find("bounds") != std::string::npos) return Key(path, "params");
    if (text.find("2nd parameter") != std::string::npos) return Index(Key(path, "params"), 1);
    if (text.find("3rd parameter") != std::string::npos) return Index(Key(path, "params"), 2);
    return Key(path, "params");
  }
  if (text.find("Standard Deviation") != std::string::npos) return Key(path, "sd");
  return Key(path, "mean");
}

int CReader::ReadDistribution(const json& j, const std::string& path) {
  int type = -1;
  if (const auto it = j.find("distribution"); it == j.end()) {
    c.Add(path, "has no \"distribution\"; add one of normal, uniform, lognormal, weibull.");
  } else if (it->is_string()) {
    const std::string d = it->get<std::string>();
    for (int t = 0; t < 4; ++t)
      if (d == kDistributionNames[t]) type = t;
    if (type < 0)
      c.Add(Key(path, "distribution"), "\"" + d + "\" is not a distribution here." +
                                           Suggest(d, {"normal", "uniform", "lognormal", "weibull"}) +
                                           " Use normal, uniform, lognormal or weibull.");
  } else if (long long code = 0; WholeNumber(*it, 0, 3, &code) == Whole::kOk) {
    type = int(code);
  } else {
    c.Add(Key(path, "distribution"),
          "is " + Describe(*it) + "; use normal, uniform, lognormal or weibull (or 0 to 3).");
  }
  return type;
}

bool CReader::ReadParams(const json& params, const std::string& path, int type, double* pMean, double* pSd) {
  const std::size_t nWanted = type == CRandVar::kWeibull ? 3 : 2;
  const char* const kParamNames[] = {"[mean, sd]", "[lower, upper]", "[lambda, epsilon] (mean and sd of ln X)",
                                     "[location, scale, shape]"};
  if (params.size() != nWanted) {
    c.Add(Key(path, "params"), "has " + std::to_string(params.size()) + " values; a " + kDistributionNames[type] +
                                   " variable takes " + std::to_string(nWanted) + ": " + kParamNames[type] + ".");
    return false;
  }
  double p[3] = {0.0, 0.0, 0.0};
  for (std::size_t k = 0; k < nWanted; ++k) {
    if (!params[k].is_number()) {
      c.Add(Index(Key(path, "params"), k), "must be a number, not " + Describe(params[k]) + ".");
      return false;
    }
    p[k] = params[k].get<double>();
  }
  if (type == CRandVar::kWeibull && p[0] != 0.0) {
    c.Add(Index(Key(path, "params"), 0),
          "is " + Num(p[0]) +
              "; Weibull variables have location 0 here (the "
              "mean and sd fix scale and shape); shift the variable in the expression instead.");
    return false;
  }
  std::vector<std::string> paramReport;
  CRandVar rv;
  if (!LibraryAccepts([&] { rv = CRandVar(type, p[0], p[1], p[2]); }, &paramReport)) {
    c.Add(FaultField(paramReport, true, path),
          std::string("the library rejects these ") + kDistributionNames[type] +
              " parameters; its report follows.  Change the value it names." +
              (type == CRandVar::kLognormal && p[0] <= 0.0 ? LognormalBelowOne() : ""),
          paramReport);
    return false;
  }
  *pMean = rv.GetActualMean();
  *pSd = rv.GetActualStdDev();
  return true;
}

bool CReader::ReadMoments(const json& j, const std::string& path, int type, double* pMean, double* pSd) {
  const bool bHasMoments = j.contains("mean") || j.contains("sd");
  const bool bHasParams = j.contains("params");
  if (bHasMoments && bHasParams) {
    c.Add(path, "gives both \"mean\"/\"sd\" and \"params\"; keep one of the two.");
    return false;
  }
  if (!bHasMoments && !bHasParams) {
    c.Add(path, "has neither \"mean\" and \"sd\" nor \"params\"; give its mean and standard deviation.");
    return false;
  }
  if (bHasMoments) {
    const bool bMean = c.Number(j, path, "mean", pMean, true, "its \"mean\"");
    const bool bSd = c.Number(j, path, "sd", pSd, true, "its standard deviation \"sd\"");
    return bMean && bSd && type >= 0;
  }
  const json& params = j["params"];
  return c.Array(params, Key(path, "params"), "distribution parameters") && type >= 0 &&
         ReadParams(params, path, type, pMean, pSd);
}

bool CReader::LibraryAcceptsMoments(const std::string& path, int type, double mean, double sd, bool bDesign,
                                    const Bounds& b) {
  // The library sets the variable from its mean and sd at every design
  // point; try exactly that, at the initial mean and at the bounds the
  // optimiser may move the mean to.
  const double base[4][3] = {{0.0, 1.0, 0.0}, {0.0, 1.0, 0.0}, {1.0, 0.5, 0.0}, {0.0, 1.0, 2.0}};
  std::vector<std::string> report;
  auto attempt = [&](double m) {
    return LibraryAccepts(
        [&] {
          CRandVar rv(type, base[type][0], base[type][1], base[type][2]);
          rv.UpdateParamsFromActualMeanStdDev(m, sd);
        },
        &report);
  };
  if (!attempt(mean)) {
    c.Add(FaultField(report, false, path),
          std::string("the library rejects a ") + kDistributionNames[type] + " variable with mean " + Num(mean) +
              " and sd " + Num(sd) + "; its report follows.  Change the value it names." +
              (type == CRandVar::kLognormal && mean <= 1.0 ? LognormalBelowOne() : ""),
          report);
    return false;
  }
  for (int side = 0; bDesign && side < 2; ++side) {
    const bool bHas = side == 0 ? b.hasLower : b.hasUpper;
    const double bound = side == 0 ? b.lower : b.upper;
    report.clear();
    if (bHas && !attempt(bound)) {
      c.Add(Key(path, side == 0 ? "lower" : "upper"),
            "the optimiser may move the mean to this bound, " + Num(bound) + ", where the library rejects the " +
                kDistributionNames[type] + " variable; its report follows.  Narrow the bounds." +
                (type == CRandVar::kLognormal && bound <= 1.0 ? LognormalBelowOne() : ""),
            report);
      return false;
    }
  }
  return true;
}

void CReader::ReadRandomVariable(const json& j, const std::string& path) {
  if (!c.Object(j, path, "one random variable")) return;
  c.KnownKeys(j, path, {"name", "distribution", "mean", "sd", "params", "design", "lower", "upper"});
  std::string name;
  const bool bName = Name(j, path, &name);
  const int type = ReadDistribution(j, path);
  bool bDesign = false;
  c.Bool(j, path, "design", &bDesign);
  const Bounds b = ReadBounds(j, path);
  if (!bDesign && (b.hasLower || b.hasUpper))
    c.Add(path,
          "has bounds, but only the mean of a design variable has bounds; add \"design\": true or remove "
          "\"lower\" and \"upper\".");
  double mean = 0.0, sd = 0.0;
  if (ReadMoments(j, path, type, &mean, &sd)) {
    const bool bOk = LibraryAcceptsMoments(path, type, mean, sd, bDesign, b);
    if (bDesign) CheckInside(mean, b, Key(path, "mean"));
    if (bOk && bName) {
      AddVariable(path, name, bDesign ? VariableKind::kRandomDesign : VariableKind::kRandomParameter, type, mean, sd,
                  b);
      return;
    }
  }
  if (bName) Broken(path, name, bDesign ? NameInfo::kRandomDesign : NameInfo::kRandomParameter);
}

}  // namespace rbo::problem::reader
