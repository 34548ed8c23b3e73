// The command-line front end of SkarvelSync: argument parsing, the header,
// the one-line progress display and the report. Everything writes to the
// stream it is given (standard output in the program), so the tests can
// read exactly what a player sees. Calling thread only.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "pipeline/Sync.h"

namespace vantis::content {

enum class ArgumentsOutcome { ok, unknownArgument, missingRoot, badRate };

// Reads `argv[1..argc)` into `options` (which should hold the defaults).
// On `unknownArgument`, `offending` names the argument that stopped the
// reading; an option that takes a value but stands last counts as unknown.
// The first "--url" sets `url`, each later one adds a mirror. "--max-rate"
// takes a size ("500K", "2M"); on `badRate`, `offending` is its value.
ArgumentsOutcome parseSyncArguments(int argc, const char* const* argv, SyncOptions& options,
                                    std::string& offending);

// The progress callback: prints a phase name when it changes and overwrites
// one progress line with bytes, rate and time left. Never asks to stop.
std::function<bool(const Progress&)> makeProgressDisplay(std::FILE* out);

// The "instance", "server", "tier" and "installed" lines.
void printHeader(std::FILE* out, const SyncOptions& options);

// Ends the progress line and prints the report or the failure; returns the
// exit status (0 or 1).
int printReport(std::FILE* out, const SyncResult& result);

// The whole program: parse, header, sync, report. Returns the exit status.
// The trust store comes from SSL_CERT_FILE and SSL_CERT_DIR, read here.
// `run` is the sync to call (the real one in the program).
int runSyncCli(int argc, const char* const* argv, std::FILE* out,
               const std::function<SyncResult(const SyncOptions&)>& run);

}  // namespace vantis::content
