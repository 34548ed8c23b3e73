// The SkarvelPublish command line: "keygen" makes a signing key pair,
// "release" publishes a release into a server folder, "refresh" re-signs the
// served release with a new expiry, and "verify", "prune" and "diff" look
// after a server folder (UpkeepCommands.cpp). Parses the arguments,
// runs the command, prints progress and a summary, and turns the outcome
// into an exit status.
//
// Called once from `main` on the main thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Publisher.h"

namespace vantis::publish {

// Exit statuses: 0 success, 1 the command failed, 2 the command line was
// wrong.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Runs the command named by `args` (without the program name). Results go to
// `out`, progress, warnings and errors to `err`.
int runCommandLine(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// Parses "8388608", "512K", "8M" or "1G" (powers of 1024). False on anything
// else or on overflow.
bool parseSize(const std::string& text, std::uint64_t& size);

// Parses the arguments of "release" (after the command word) into `options`.
bool parseReleaseArguments(const std::vector<std::string>& args, ReleaseOptions& options,
                           bool& quiet, std::string& error);

// Parses the arguments of "refresh" (after the command word) into `options`.
bool parseRefreshArguments(const std::vector<std::string>& args, RefreshOptions& options,
                           bool& quiet, std::string& error);

// Makes "signing-key.pem" (mode 0600) and "signing-key.pub.pem" in `dir`,
// which is created when missing. Never overwrites an existing key.
bool writeKeyPair(const std::string& dir, std::string& error);

}  // namespace vantis::publish
