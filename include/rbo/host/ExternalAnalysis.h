// refhost::ExternalProgramModel: an analysis computed by an external
// program, run once per analysis point.
//
// For every analysis point the reference host
//   1. writes the inputs to a file in a working folder of the calling worker
//      thread (one folder per worker, reused: <work root>/worker-<n>), and
//      deletes the output file a previous point left there;
//   2. starts the program in that folder, in a process group of its own, with
//      standard input from /dev/null and standard output and error going to
//      stdout.txt and stderr.txt in the folder;
//   3. waits for it, at most the timeout, and then kills its process group:
//      whatever the program left running in the background ends with it;
//   4. reads the outputs back from the output file (at most maxOutputBytes).
//
// The program is started with a parent-death signal (SIGKILL): when the
// host process dies, even by SIGKILL, the program dies with it.  Processes
// the program starts itself do not inherit that signal; they end with the
// program's process group as above, unless the host is killed outright.
//
// Input file, "name = value" format (the default): one line per model
// variable, in analysis-input order, values with 17 significant digits:
//     R = 10.25
//     S = 4.875
// Input file, JSON format: one object, {"R": 10.25, "S": 4.875}.
//
// Output file: either "name = value" lines (also "name: value" or
// "name value"; blank lines and lines starting with # are skipped) or one
// JSON object of numbers.  Every response must be there, with a finite
// value; other names are ignored.
//
// The program sees the files by their plain names (it runs in the working
// folder), and by absolute path in the environment variables RBO_INPUT and
// RBO_OUTPUT; RBO_WORKER holds the worker number.  In the command, the
// arguments "{input}", "{output}" and "{worker}" are replaced by the same.
//
// A program that cannot be started, exits with a non-zero code or by a
// signal, runs out of time, or writes no, an unreadable or an incomplete
// output file makes the analysis throw std::runtime_error naming the inputs
// of the point by name, the exit status, and the last lines of the
// program's standard error (only its last 2000 characters are read); the
// host's runner then stops the batch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rbo/Export.h"
#include "rbo/host/ProblemBuilder.h"

namespace refhost {

/// How to run an external analysis program.
struct ExternalProgram {
  /// Format of the input file the program reads.
  enum class Format { kNameValue, kJson };

  std::vector<std::string>
      argv;  ///< program and arguments, run without a shell; the program is looked up on PATH when it has no '/'
  std::string shellCommand;      ///< used instead when argv is empty: a command line run by /bin/sh -c
  double timeoutSeconds = 0.0;   ///< per analysis point; 0: no limit
  std::string workRoot;          ///< folder for the worker folders; "": a new temporary folder, removed at the end
  bool keepWorkFolders = false;  ///< keep a temporary work root (for inspection)
  std::string inputFile = "inputs.txt";                    ///< input file name within the working folder
  std::string outputFile = "outputs.txt";                  ///< output file name within the working folder
  Format inputFormat = Format::kNameValue;                 ///< format of the input file
  std::uint64_t maxOutputBytes = std::uint64_t(64) << 20;  ///< a larger output file is an error, not read
};

/// The analysis as a model function (model variables -> model responses)
/// that runs the program once per call; safe to call on several threads.
/// inputNames and outputNames name the model variables and the responses,
/// in order.  Throws std::runtime_error at once when the program cannot be
/// found or the work root cannot be created.
RBO_HOST_API ModelFunction ExternalProgramModel(const ExternalProgram& program,
                                                const std::vector<std::string>& inputNames,
                                                const std::vector<std::string>& outputNames);

/// Finds a program as ExternalProgramModel would: a name without '/' on
/// PATH, otherwise the path itself (relative to the current folder).
/// Returns its absolute path, or "" with *pWhy set when it cannot be run.
RBO_HOST_API std::string ResolveProgram(const std::string& program, std::string* pWhy);

/// Kills the process group of every analysis program running now.  Safe to
/// call from a signal handler.
RBO_HOST_API void KillRunningPrograms() noexcept;

/// For a process that is about to end on a signal (Ctrl-C): its analysis
/// programs, which run in process groups of their own and do not see the
/// terminal's signal, are stopped, and the temporary work roots are removed
/// (not those kept by keepWorkFolders, nor a given workRoot).  From the call
/// on no program starts any more; the process groups of the running ones are
/// killed; the call waits (about 2 s at most) until the worker threads have
/// collected them, then removes the folders.  A worker thread that meets
/// the stop never returns from the analysis (the process is about to end,
/// and an error report of the killed program would only race with the
/// signal).  Not for signal handlers: call it from an ordinary thread.
RBO_HOST_API void StopExternalAnalyses() noexcept;

/// The worker number of the calling thread: 0, 1, 2, ..., the lowest number
/// not held by another live thread, kept until the thread ends.
RBO_HOST_API int WorkerNumber();

/// A sub-folder of the work root that holds this process' worker folders
/// (<work root>/<tag>/worker-<n>), so that several processes sharing one
/// work root never share a folder; "" (the default) puts them in the root.
/// Set before the first analysis.
RBO_HOST_API void SetWorkFolderTag(const std::string& tag);

}  // namespace refhost
