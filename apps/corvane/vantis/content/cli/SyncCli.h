// The command-line front end of SkarvelSync: argument parsing, the header,
// the one-line progress display and the report, as text for a person or as
// JSON lines for a launcher (`--json`), and the update check (`--check`).
// Everything writes to the stream it is given (standard output in the
// program), so the tests can read exactly what a player sees. Calling
// thread only.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "pipeline/Sync.h"

namespace vantis::content {

// Exit statuses. A run stopped by a signal exits with 128 + the signal's
// number (130 for Ctrl-C, 143 for SIGTERM), as a shell reports a program the
// signal ended.
inline constexpr int kExitOk = 0;  // synced; with --check: already current
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;            // bad command line
inline constexpr int kExitUpdateAvailable = 3;  // --check only
inline constexpr int kExitSignalBase = 128;

enum class ArgumentsOutcome { ok, unknownArgument, missingRoot, badRate, help, version };

// What the command line asks of the front end itself.
struct CliChoices {
  bool json = false;   // JSON lines instead of text
  bool check = false;  // the update check instead of the sync
};

// Reads `argv[1..argc)` into `options` (which should hold the defaults) and
// `choices`. "--help" and "--version" end the reading at once wherever they
// stand (but not as an option's value). On `unknownArgument`, `offending`
// names the argument that stopped the reading; an option that takes a value
// but stands last counts as unknown. The first "--url" sets `url`, each
// later one adds a mirror. "--max-rate" takes a size ("500K", "2M"); on
// `badRate`, `offending` is its value.
ArgumentsOutcome parseSyncArguments(int argc, const char* const* argv, SyncOptions& options,
                                    CliChoices& choices, std::string& offending);

// The progress callback: prints a phase name when it changes and overwrites
// one progress line with bytes, rate and time left. Never asks to stop.
std::function<bool(const Progress&)> makeProgressDisplay(std::FILE* out);

// The progress callback of --json: one "progress" line per report. Never
// asks to stop.
std::function<bool(const Progress&)> makeJsonProgress(std::FILE* out);

// The "instance", "server", "tier" and "installed" lines.
void printHeader(std::FILE* out, const SyncOptions& options);

// Ends the progress line and prints the report or the failure; returns the
// exit status (0 or 1).
int printReport(std::FILE* out, const SyncResult& result);

// The parts of the program the front end calls: the real ones in the
// program, stand-ins in the tests.
struct SyncProgram {
  std::function<SyncResult(const SyncOptions&)> sync;
  std::function<UpdateCheck(const SyncOptions&)> check;
  // The stop signal received so far, 0 for none; empty counts as none. Read
  // at every progress report: a signal asks the run to stop there.
  std::function<int()> stopSignal;
};

// The whole program: parse, header, sync or check, report. Returns the exit
// status. The trust store comes from SSL_CERT_FILE and SSL_CERT_DIR, read
// here.
int runSyncCli(int argc, const char* const* argv, std::FILE* out, const SyncProgram& program);

// The same with `run` as the sync, no check and no signals.
int runSyncCli(int argc, const char* const* argv, std::FILE* out,
               const std::function<SyncResult(const SyncOptions&)>& run);

}  // namespace vantis::content
