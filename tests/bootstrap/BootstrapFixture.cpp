#include "BootstrapFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace skarvel::test {

namespace {

// 5 ms steps: two minutes is far beyond any start, yet a hung program
// cannot hold the suite forever.
constexpr int kPollSteps = 24000;
constexpr useconds_t kPollMicroseconds = 5000;

std::string readStream(FILE* file) {
  std::string text;
  rewind(file);
  char chunk[4096];
  size_t count = 0;
  while ((count = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, count);
  fclose(file);
  return text;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Waits for `pid` for at most the poll budget; kills its group after that.
int waitBounded(pid_t pid) {
  int status = 0;
  for (int step = 0; step < kPollSteps; ++step) {
    if (waitpid(pid, &status, WNOHANG) == pid) return decodeStatus(status);
    usleep(kPollMicroseconds);
  }
  kill(-pid, SIGKILL);
  waitpid(pid, &status, 0);
  ADD_FAILURE() << "program did not end within two minutes; killed";
  return -1;
}

}  // namespace

const char* const kRecorderScript = R"sh(#!/bin/sh
{
  echo start
  printf 'program %s\n' "$0"
  printf 'cwd %s\n' "$(pwd -P)"
  for a in "$@"; do printf 'arg %s\n' "$a"; done
  for v in LD_LIBRARY_PATH SKARVEL_HOST_LD_LIBRARY_PATH OSG_LIBRARY_PATH SKARVEL_TEST_KEEP; do
    if env | grep -q "^$v="; then printf 'env %s=%s\n' "$v" "$(printenv "$v")"; fi
  done
} >> "$SKARVEL_TEST_RECORD"
if [ -n "$SKARVEL_TEST_NEST" ]; then
  next=$SKARVEL_TEST_NEST
  unset SKARVEL_TEST_NEST
  exec "$next"
fi
if [ -n "$SKARVEL_TEST_SIGNAL" ]; then kill -s "$SKARVEL_TEST_SIGNAL" $$; fi
exit "${SKARVEL_TEST_STATUS:-0}"
)sh";

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const Environment& env, rlim_t fileSizeLimit) {
  std::vector<std::string> envText;
  for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : envText) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  RunResult result;
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  if (out == nullptr || err == nullptr) {
    ADD_FAILURE() << "tmpfile failed";
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int nullInput = open("/dev/null", O_RDONLY);
    dup2(nullInput, 0);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    if (fileSizeLimit != 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {fileSizeLimit, fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execve(program.c_str(), argv.data(), envp.data());
    _exit(126);
  }
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return result;
  }
  result.status = waitBounded(pid);
  result.out = readStream(out);
  result.err = readStream(err);
  return result;
}

void makeDirs(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  ASSERT_FALSE(error) << "could not create " << path << ": " << error.message();
}

void writeFileMode(const std::string& path, const std::string& data, mode_t mode) {
  writeFile(path, data);
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

void makeLink(const std::string& target, const std::string& link) {
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
}

bool isFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isDir(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isLink(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

int modeOf(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

std::string realPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string text = real;
  free(real);
  return text;
}

std::string builtSkarvel() { return std::string(SKARVEL_BIN_DIR) + "/Skarvel"; }

std::vector<Record> readRecords(const std::string& path) {
  std::vector<Record> records;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line == "start") {
      records.emplace_back();
      continue;
    }
    if (records.empty()) continue;
    Record& record = records.back();
    size_t space = line.find(' ');
    std::string key = line.substr(0, space);
    std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "program") record.program = value;
    if (key == "cwd") record.cwd = value;
    if (key == "arg") record.args.push_back(value);
    size_t equals = value.find('=');
    if (key == "env" && equals != std::string::npos)
      record.env[value.substr(0, equals)] = value.substr(equals + 1);
  }
  return records;
}

void BootstrapTest::SetUp() {
  root_ = realPath(temp_.path());
  install_ = root_ + "/install";
  recordPath_ = root_ + "/record";
  std::string skarvel = readFile(builtSkarvel());
  ASSERT_NE(skarvel, "<missing>") << "build Skarvel first: " << builtSkarvel();
  writeFileMode(at("Skarvel"), skarvel, 0755);
}

void BootstrapTest::addRecorder(const std::string& relative) {
  writeFileMode(at(relative), kRecorderScript, 0755);
}

void BootstrapTest::addChannel(const std::string& channel) {
  addRecorder(channel + "/content/bin/SkarvelLauncher");
  writeFile(at(channel + "/content/bin/defaults.bin"), channel + " defaults");
  makeDirs(at(channel + "/content/bin/lib"));
  makeDirs(at(channel + "/content/resources/vfs"));
}

void BootstrapTest::makeLayout2Install() {
  writeFile(at("settings/install-layout.txt"), "2\n");
  addChannel("live");
}

RunResult BootstrapTest::start(const std::vector<std::string>& args, const Environment& extra) {
  Environment env{{"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"SKARVEL_TEST_RECORD", recordPath_}};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char* value = getenv(name)) env[name] = value;
  for (const auto& [name, value] : extra) env[name] = value;
  return runProgram(at("Skarvel"), args, env, fileSizeLimit_);
}

}  // namespace skarvel::test
