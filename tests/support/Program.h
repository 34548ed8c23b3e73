// Runs a built program as a child process for end-to-end tests and collects
// what it printed and how it ended. A time limit bounds every run: a program
// that hangs is killed and the test sees it as such, never as a hung suite.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace skarvel::test {

struct ProgramRun {
  int status = -1;        // exit status; -1 when it did not exit normally
  int signal = 0;         // the signal that ended it, else 0
  bool timedOut = false;  // killed after the time limit
  std::string output;     // standard output and standard error, interleaved
  std::string errors;     // standard error alone, when the options keep it apart
};

struct ProgramOptions {
  // "NAME=value" entries added to (or replacing in) the test's environment;
  // "NAME" alone removes the variable.
  std::vector<std::string> environment;
  int timeoutSeconds = 120;
  // When set, the child is killed with SIGKILL as soon as its output holds
  // this text (for interrupting a run part way).
  std::string killWhenOutputHas;
  // When positive, the kill waits this many milliseconds after that text
  // appeared, or, with no text given, after the start: for landing a kill
  // inside a phase rather than at its first line.
  int killDelayMs = 0;
  // The signal that kill sends: SIGTERM or SIGINT for a program that must
  // stop on its own, the default SIGKILL for one that must not get the chance.
  int killSignal = SIGKILL;
  // When non-zero, the child may write no file beyond this many bytes
  // (RLIMIT_FSIZE), and SIGXFSZ is ignored so that such a write fails with
  // EFBIG the way a write to a full disk fails with ENOSPC.
  std::uint64_t fileSizeLimit = 0;
  // When set, standard error goes to `errors` and `output` holds standard
  // output alone: for a program whose contract says which stream says what.
  bool errorsApart = false;
};

ProgramRun runProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});

// SKARVEL_BIN_DIR + "/" + name.
std::string builtProgram(const std::string& name);

}  // namespace skarvel::test
