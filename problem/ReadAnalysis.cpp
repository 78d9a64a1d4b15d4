// The problem-file reader: the analysis, as expressions or an external
// program.
#include "Reader.h"

namespace rbo::problem::reader {

void CReader::ReadAnalysis(const json& root) {
  const auto it = root.find("analysis");
  if (it == root.end()) {
    if (m_mode == ModelMode::kAnalysisSupplied) return;
    c.Add("", "has no \"analysis\"; add {\"expressions\": {\"g\": \"R - S\"}} or {\"program\": {\"command\": [...]}}.");
    return;
  }
  if (!c.Object(*it, "/analysis", "the analysis")) return;
  c.KnownKeys(*it, "/analysis", {"expressions", "program"});
  const bool bExpr = it->contains("expressions"), bProg = it->contains("program");
  if (bExpr == bProg) {
    c.Add("/analysis",
          bExpr ? "has both \"expressions\" and \"program\"; keep one." : "needs \"expressions\" or \"program\".");
    return;
  }
  std::vector<std::string> varNames, respNames;
  for (const Variable& v : m_p.variables) varNames.push_back(v.name);
  for (const Response& r : m_p.responses) respNames.push_back(r.name);
  if (bExpr)
    ReadExpressions((*it)["expressions"], varNames, respNames);
  else
    ReadProgram((*it)["program"], varNames, respNames);
}

void CReader::ReadExpressions(const json& j, const std::vector<std::string>& varNames,
                              const std::vector<std::string>& respNames) {
  const std::string path = "/analysis/expressions";
  if (!c.Object(j, path, "one expression per response: {\"g\": \"R - S\"}")) return;
  m_p.analysisKind = AnalysisKind::kExpressions;
  for (auto t = j.begin(); t != j.end(); ++t)
    if (std::find(respNames.begin(), respNames.end(), t.key()) == respNames.end())
      c.Add(Key(path, t.key()),
            "is not a response." + Suggest(t.key(), respNames) + " Add it under /responses or remove its expression.");
  std::vector<std::string> expressions, names = varNames;
  for (const auto& [n, info] : m_names)  // variables with mistakes of their own: no second report here
    if (info.index < 0 && info.kind != NameInfo::kDetResponse && info.kind != NameInfo::kRandResponse)
      names.push_back(n);
  bool bOk = true;
  for (const std::string& r : respNames) {
    const auto e = j.find(r);
    if (e == j.end()) {
      c.Add(path, "has no expression for the response \"" + r + "\"; add \"" + r + "\": \"...\".");
      bOk = false;
    } else if (!e->is_string()) {
      c.Add(Key(path, r), "must be an expression in a string, not " + Describe(*e) + ".");
      bOk = false;
    } else if (const std::string why = CheckExpression(e->get<std::string>(), names); !why.empty()) {
      c.Add(Key(path, r), "\"" + e->get<std::string>() + "\" " + why + ".");
      bOk = false;
    } else {
      expressions.push_back(e->get<std::string>());
    }
    names.push_back(r);  // later expressions may use this response
  }
  if (!bOk || m_mode == ModelMode::kCheckOnly) return;
  ExpressionModels models = MakeExpressionModels(varNames, respNames, expressions);
  m_p.model = std::move(models.point);
  m_p.bulkModel = std::move(models.batch);
}

std::string CReader::Substitute(std::string s) const {
  const std::string dir = m_dir.string();
  for (std::size_t pos; (pos = s.find("{dir}")) != std::string::npos;) s.replace(pos, 5, dir);
  return s;
}

void CReader::ReadProgram(const json& j, const std::vector<std::string>& varNames,
                          const std::vector<std::string>& respNames) {
  const std::string path = "/analysis/program";
  if (!c.Object(j, path, "the external program: {\"command\": [\"python3\", \"{dir}/model.py\"]}")) return;
  c.KnownKeys(j, path,
              {"command", "timeout", "input_format", "input", "output", "workdir", "keep_workdir", "max_output_mib"});
  m_p.analysisKind = AnalysisKind::kProgram;
  refhost::ExternalProgram prog;
  bool bOk = true;
  const auto cmd = j.find("command");
  if (cmd == j.end()) {
    c.Add(path, "has no \"command\"; add e.g. \"command\": [\"python3\", \"{dir}/model.py\"].");
    bOk = false;
  } else if (cmd->is_string()) {
    prog.shellCommand = Substitute(cmd->get<std::string>());
    if (prog.shellCommand.find_first_not_of(" \t") == std::string::npos) {
      c.Add(Key(path, "command"), "is empty; give the command that runs the analysis.");
      bOk = false;
    }
  } else if (cmd->is_array() && cmd->empty()) {
    c.Add(Key(path, "command"),
          "is empty; give the program and its arguments, e.g. [\"python3\", \"{dir}/model.py\"].");
    bOk = false;
  } else if (cmd->is_array()) {
    for (std::size_t k = 0; k < cmd->size(); ++k) {
      if (!(*cmd)[k].is_string()) {
        c.Add(Index(Key(path, "command"), k), "must be a string, not " + Describe((*cmd)[k]) + ".");
        bOk = false;
      } else {
        prog.argv.push_back(Substitute((*cmd)[k].get<std::string>()));
      }
    }
    if (bOk) {
      // A relative program path is relative to the problem file.
      std::string& exe = prog.argv[0];
      if (exe.find('/') != std::string::npos && fs::path(exe).is_relative())
        exe = (m_dir / exe).lexically_normal().string();
      std::string why;
      if (refhost::ResolveProgram(exe, &why).empty()) {
        c.Add(Index(Key(path, "command"), 0), "the program " + why +
                                                  "; install it or give its path "
                                                  "(a relative path counts from the problem file's folder).");
        bOk = false;
      }
    }
  } else {
    c.Add(Key(path, "command"),
          "must be a list of strings (the program and its arguments) or one command line "
          "string, not " +
              Describe(*cmd) + ".");
    bOk = false;
  }
  if (c.Number(j, path, "timeout", &prog.timeoutSeconds, false, "") && !(prog.timeoutSeconds > 0.0)) {
    c.Add(Key(path, "timeout"), "is " + Num(prog.timeoutSeconds) +
                                    "; give the seconds one analysis may take (> 0), or leave it out for no limit.");
    bOk = false;
  }
  std::string format;
  if (c.String(j, path, "input_format", &format, false, "text or json")) {
    if (format == "json")
      prog.inputFormat = refhost::ExternalProgram::Format::kJson;
    else if (format != "text") {
      c.Add(Key(path, "input_format"), "is \"" + format + "\"; use \"text\" (name = value lines) or \"json\".");
      bOk = false;
    }
  }
  for (const char* key : {"input", "output"}) {
    std::string file;
    if (!c.String(j, path, key, &file, false, "a file name")) continue;
    if (file.empty() || file.find('/') != std::string::npos || file == "." || file == ".." || file == "stdout.txt" ||
        file == "stderr.txt") {
      c.Add(Key(path, key), "\"" + file +
                                "\" must be a plain file name within the working folder (no '/'; not "
                                "stdout.txt or stderr.txt, which hold the program's streams).");
      bOk = false;
    } else {
      (std::string(key) == "input" ? prog.inputFile : prog.outputFile) = file;
    }
  }
  if (prog.inputFile == prog.outputFile) {
    c.Add(Key(path, "output"), "is the same file as the input; give them different names.");
    bOk = false;
  }
  if (std::string dir; c.String(j, path, "workdir", &dir, false, "a folder")) {
    prog.workRoot = fs::path(Substitute(dir)).is_relative() ? (m_dir / Substitute(dir)).string() : Substitute(dir);
  }
  c.Bool(j, path, "keep_workdir", &prog.keepWorkFolders);
  if (double mib = 0.0; c.Number(j, path, "max_output_mib", &mib, false, "")) {
    if (!(mib >= 1.0 / 1024.0) || mib > 1048576.0) {
      c.Add(Key(path, "max_output_mib"), "is " + Num(mib) +
                                             "; give the largest output file to read, in MiB "
                                             "(1/1024 to 1048576; default 64).");
      bOk = false;
    } else {
      prog.maxOutputBytes = std::uint64_t(mib * 1048576.0);
    }
  }
  if (!bOk || m_mode == ModelMode::kCheckOnly || !c.diagnostics.empty()) return;
  try {
    m_p.model = refhost::ExternalProgramModel(prog, varNames, respNames);
  } catch (const std::exception& e) {
    c.Add(path, std::string("cannot be set up: ") + e.what() + ".");
  }
}

}  // namespace rbo::problem::reader
