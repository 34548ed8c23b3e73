// What the command line's files share: the option parser, the one-line
// error and usage messages, byte counts for people and the progress
// reporter, and the folder upkeep commands ("verify", "prune", "diff",
// UpkeepCommands.cpp) that `runCommandLine` hands their arguments to.
//
// Private to the command line; main thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Parallel.h"

namespace vantis::publish {

inline constexpr const char* kProgram = "SkarvelPublish";

// Where an option's value goes: a text, or a switch that its presence sets.
struct Flag {
  std::string* text = nullptr;
  bool* toggle = nullptr;
};

// "SkarvelPublish: error: <message> (see SkarvelPublish --help)" on `err`;
// returns kExitUsage.
int usageError(std::FILE* err, const std::string& message);
// "SkarvelPublish: error: <message>" on `err`; returns kExitFailed.
int failure(std::FILE* err, const std::string& message);

// Fills the flags from "--name value" or "--name=value" arguments. False,
// with `error`, for an unknown option, a missing or unwanted value, or an
// argument that is no option.
bool parseFlags(const std::vector<std::string>& args, std::map<std::string, Flag>& flags,
                std::string& error);

// A plain decimal number of at most `limit`.
bool parseCount(const std::string& text, std::uint64_t limit, std::uint64_t& value);

// "12.0 KiB", "3.5 MiB", "1.25 GiB".
std::string formatBytes(std::uint64_t bytes);

// Progress lines on `err`, about one every two seconds; none when `quiet`.
Progress makeReporter(std::FILE* err, bool quiet);

// The upkeep commands, given the arguments after the command word.
int runVerify(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int runPrune(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int runDiff(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace vantis::publish
