// Helpers for the bootstrap's program tests: a fake install folder with a
// copy of the built Skarvel, stand-in programs that record how they were
// started, and a runner that starts a program in a clean environment and
// waits for it (bounded). Test code only; single-threaded.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "TempDir.h"

namespace skarvel::test {

using Environment = std::map<std::string, std::string>;

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Starts `program` with `args` and exactly the environment `env` (nothing is
// inherited), in its own process group, and waits at most two minutes;
// after that the group is killed and the test fails. A non-zero
// `fileSizeLimit` keeps the program from writing any file beyond that many
// bytes (RLIMIT_FSIZE, SIGXFSZ ignored), so its writes fail the way they do
// on a full disk; standard output and error are files too.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const Environment& env, rlim_t fileSizeLimit = 0);

// Writes `data` to `path` (parents created) and sets exactly `mode`.
void writeFileMode(const std::string& path, const std::string& data, mode_t mode);
void makeDirs(const std::string& path);
void makeLink(const std::string& target, const std::string& link);
bool isFile(const std::string& path);
bool isDir(const std::string& path);
bool isLink(const std::string& path);
// Permission bits with set-user-ID, set-group-ID and sticky; -1 when missing.
int modeOf(const std::string& path);
// The real path of an existing file or folder.
std::string realPath(const std::string& path);
// The built Skarvel.
std::string builtSkarvel();

// One start of a recording stand-in program.
struct Record {
  std::string program;  // $0: the path the program was started under
  std::string cwd;
  std::vector<std::string> args;
  Environment env;  // the variables the recorder looks at, when set
};

// A shell script that appends how it was started to $SKARVEL_TEST_RECORD,
// then runs $SKARVEL_TEST_NEST (a nested start) or ends with
// $SKARVEL_TEST_SIGNAL or exit status $SKARVEL_TEST_STATUS.
extern const char* const kRecorderScript;

// Every start recorded in `path`, in order; empty when none.
std::vector<Record> readRecords(const std::string& path);

// A temp folder holding an install folder "install" with a copy of the
// built Skarvel at its top.
class BootstrapTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // path under the install folder
  std::string at(const std::string& relative) const { return install_ + "/" + relative; }
  // A recorder at `relative` under the install folder, mode 0755.
  void addRecorder(const std::string& relative);
  // A complete layout-2 channel folder with a recording SkarvelLauncher.
  void addChannel(const std::string& channel);
  // A layout-2 install with a complete live channel.
  void makeLayout2Install();
  // Runs the install's Skarvel with PATH, SKARVEL_TEST_RECORD, the sanitizer
  // options and `extra` (which overrides), under `fileSizeLimit_`.
  RunResult start(const std::vector<std::string>& args = {}, const Environment& extra = {});
  std::vector<Record> records() const { return readRecords(recordPath_); }

  TempDir temp_;
  std::string root_;        // real path of the temp folder
  std::string install_;     // root_ + "/install"
  std::string recordPath_;  // root_ + "/record"
  rlim_t fileSizeLimit_ = 0;  // for start(); 0: none
};

}  // namespace skarvel::test
