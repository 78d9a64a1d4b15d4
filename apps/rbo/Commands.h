// The commands of `rbo` and their table.  Adding a command is one entry in
// Commands() (main.cpp) and one function here.
#pragma once

#include <string>
#include <vector>

namespace rboapp {

/// One command: `rbo NAME ARGS...` calls run(ARGS) and exits with its result.
struct Command {
  const char* name;     ///< "run"
  const char* summary;  ///< one line for the overview
  const char* usage;    ///< "rbo run [options] [PROBLEM.json]"
  const char* help;     ///< the text of `rbo help NAME` after the usage line (options are added by optionsHelp)
  std::string (*optionsHelp)();                      ///< the command's option list, or nullptr
  int (*run)(const std::vector<std::string>& args);  ///< the command itself; returns the exit code
};

/// The command table, in the order of the overview.
const std::vector<Command>& Commands();

int RunCommand(const std::vector<std::string>& args);
std::string RunOptionsHelp();
int CheckCommand(const std::vector<std::string>& args);
int OptimizeCommand(const std::vector<std::string>& args);
std::string OptimizeOptionsHelp();

/// Prints "rbo COMMAND: MESSAGE" and a pointer to the help; returns kExitUsage.
int ReportUsage(const std::string& command, const std::string& message);

}  // namespace rboapp
