// SkarvelSync's front end. It only turns arguments into options, a result
// into text or JSON lines and its kind into an exit status, and a stop
// signal into a stop answer at the next progress report; all decisions
// belong to the pipeline.

#include "cli/SyncCli.h"

#include "foundation/SizeText.h"

#include <cstdint>
#include <memory>

#include "ProgramVersion.h"
#include "foundation/JsonWriter.h"
#include "protocol/SyncMessages.h"

namespace vantis::content {

namespace {

constexpr double kMiB = 1048576.0;

const char* const kUsage = "usage: SkarvelSync --root <instance> --url <base url>\n";

const char* const kHelp =
    "usage: SkarvelSync --root <instance> --url <base url> [options]\n"
    "\n"
    "Keeps the game instance in <instance> current with the release that the\n"
    "content server at <base url> publishes.\n"
    "\n"
    "  --root DIR   the instance folder (required)\n"
    "  --url URL    the content server (default http://127.0.0.1:8080); given\n"
    "               again, a mirror tried when the servers before it fail\n"
    "  --max-rate N download at most N bytes per second (K, M suffixes)\n"
    "  --key KEY    the access key sent with every request\n"
    "  --optional   install the optional tier (default: the required tier)\n"
    "  --verify     check every installed file's digest, not only its size\n"
    "  --check      only say what an update would download; change nothing\n"
    "  --json       progress and report as one JSON object per line\n"
    "  --help       this text\n"
    "  --version    the program's name and version\n"
    "\n"
    "Ctrl-C or SIGTERM stops a run: files whose pieces all arrived are\n"
    "installed, the rest waits for the next run.\n"
    "\n"
    "Exit status: 0 done (--check: already current), 1 failed, 2 bad command\n"
    "line, 3 an update is available (--check), 130 stopped by Ctrl-C, 143\n"
    "stopped by SIGTERM.\n";

bool takesValue(const std::string& argument) {
  return argument == "--root" || argument == "--url" || argument == "--key" ||
         argument == "--max-rate";
}

// The first "--url" is the server; every later one a mirror after it.
// False for a value the option cannot take.
bool setValue(SyncOptions& options, const std::string& option, const std::string& value,
              bool& urlSeen) {
  if (option == "--root") options.root = value;
  if (option == "--url" && urlSeen) options.mirrors.push_back(value);
  if (option == "--url" && !urlSeen) options.url = value;
  if (option == "--url") urlSeen = true;
  if (option == "--key") options.accessKey = value;
  if (option == "--max-rate") return parseSizeText(value, options.maxBytesPerSecond);
  return true;
}

void printProgressLine(std::FILE* out, const Progress& progress) {
  std::string eta;
  if (progress.secondsLeft >= 0) {
    eta = "eta " + std::to_string(static_cast<std::int32_t>(progress.secondsLeft)) + "s";
  }
  const double percent =
      100.0 * static_cast<double>(progress.bytesDone) / static_cast<double>(progress.bytesTotal);
  std::fprintf(out, "\r  %.1f%%  %.1f/%.1f MB  %.1f MB/s  %s        ", percent,
               static_cast<double>(progress.bytesDone) / kMiB,
               static_cast<double>(progress.bytesTotal) / kMiB, progress.bytesPerSecond / kMiB,
               eta.c_str());
}

// An unset variable and an empty one both mean "not named".
void printCredits(std::FILE* out, const SyncResult& result) {
  std::fprintf(out, "credits   %zu mods\n", result.credits.size());
  const std::size_t shown = result.credits.size() < 3 ? result.credits.size() : 3;
  for (std::size_t i = 0; i < shown; ++i) {
    std::fprintf(out, "            %s - %s\n", result.credits[i].name.c_str(),
                 result.credits[i].authors.c_str());
  }
}

// The display, with a received stop signal turned into the answer "stop":
// the pipeline then ends its in-flight work the way it does for a launcher
// whose callback says stop.
std::function<bool(const Progress&)> stoppedBy(std::function<bool(const Progress&)> display,
                                               std::function<int()> stopSignal) {
  return [display, stopSignal](const Progress& progress) {
    display(progress);
    return stopSignal() == 0;
  };
}

void printJsonLine(std::FILE* out, const std::string& line) {
  std::fprintf(out, "%s\n", line.c_str());
  std::fflush(out);
}

void printJsonStart(std::FILE* out, const SyncOptions& options, const CliChoices& choices) {
  printJsonLine(out, JsonObjectWriter()
                         .text("event", "start")
                         .text("instance", options.root)
                         .text("server", options.url)
                         .text("tier", tierName(options.tier))
                         .text("installed", installedVersion(options.root, options.tier))
                         .boolean("check", choices.check)
                         .finish());
}

// A failure's exit status: a run a signal stopped says which signal.
int failureStatus(const std::string& error, int signal) {
  const bool stopped = signal != 0 && error == messages::kCancelled;
  return stopped ? kExitSignalBase + signal : kExitFailed;
}

std::string jsonReport(const SyncResult& result, int status) {
  return JsonObjectWriter()
      .text("event", "report")
      .boolean("ok", result.ok)
      .number("exitStatus", status)
      .text("error", result.ok ? std::string() : result.error)
      .boolean("cancelled", !result.ok && result.error == messages::kCancelled)
      .text("version", result.version)
      .boolean("changed", result.changed)
      .text("fullCheckReason", result.fullCheckReason)
      .unsignedNumber("filesWritten", result.filesWritten)
      .unsignedNumber("filesDeferred", result.filesDeferred)
      .unsignedNumber("bytesDownloaded", result.bytesDownloaded)
      .unsignedNumber("filesRemoved", result.filesRemoved)
      .unsignedNumber("bytesRemoved", result.bytesRemoved)
      .text("removalSummary", result.removalSummary)
      .boolean("removalDeferred", result.removalDeferred)
      .unsignedNumber("credits", result.credits.size())
      .finish();
}

int finishSync(std::FILE* out, const CliChoices& choices, const SyncResult& result, int signal) {
  const int status = result.ok ? kExitOk : failureStatus(result.error, signal);
  if (choices.json) {
    printJsonLine(out, jsonReport(result, status));
    return status;
  }
  if (status < kExitSignalBase) return printReport(out, result);
  std::fprintf(out, "\n\n%s\n", messages::kCancelled);
  std::fflush(out);
  return status;
}

int checkStatus(const UpdateCheck& check, int signal) {
  if (!check.ok) return failureStatus(check.error, signal);
  return check.updateAvailable ? kExitUpdateAvailable : kExitOk;
}

std::string jsonCheck(const SyncOptions& options, const UpdateCheck& check, int status) {
  return JsonObjectWriter()
      .text("event", "check")
      .boolean("ok", check.ok)
      .number("exitStatus", status)
      .text("error", check.error)
      .boolean("cancelled", !check.ok && check.error == messages::kCancelled)
      .text("tier", tierName(options.tier))
      .text("installed", check.installed)
      .text("version", check.version)
      .boolean("updateAvailable", check.updateAvailable)
      .unsignedNumber("files", check.files)
      .unsignedNumber("fileBytes", check.fileBytes)
      .unsignedNumber("downloadBytes", check.downloadBytes)
      .finish();
}

void printCheckText(std::FILE* out, const UpdateCheck& check, int status) {
  std::fprintf(out, "\n\n");
  if (status >= kExitSignalBase) {
    std::fprintf(out, "%s\n", messages::kCancelled);
  } else if (!check.ok) {
    std::fprintf(out, "FAILED: %s\n", check.error.c_str());
  } else {
    std::fprintf(out, "version   %s\n", check.version.c_str());
    std::fprintf(out, "update    %s\n",
                 check.updateAvailable ? "available" : "none (already up to date)");
    std::fprintf(out, "files     %llu (%.1f MB)\n", static_cast<unsigned long long>(check.files),
                 static_cast<double>(check.fileBytes) / kMiB);
    std::fprintf(out, "download  %.1f MB\n", static_cast<double>(check.downloadBytes) / kMiB);
  }
  std::fflush(out);
}

int finishCheck(std::FILE* out, const CliChoices& choices, const SyncOptions& options,
                const UpdateCheck& check, int signal) {
  const int status = checkStatus(check, signal);
  if (choices.json) {
    printJsonLine(out, jsonCheck(options, check, status));
  } else {
    printCheckText(out, check, status);
  }
  return status;
}

// Which server gave how much, once there was more than one to choose from.
void printMirrors(std::FILE* out, const SyncResult& result) {
  if (result.mirrors.size() < 2) return;
  for (const MirrorUse& use : result.mirrors) {
    std::fprintf(out, "  from    %s: %.1f MB in %llu downloads\n", use.url.c_str(),
                 static_cast<double>(use.bytes) / kMiB,
                 static_cast<unsigned long long>(use.requests));
  }
}

}  // namespace

ArgumentsOutcome parseSyncArguments(int argc, const char* const* argv, SyncOptions& options,
                                    CliChoices& choices, std::string& offending) {
  bool urlSeen = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    // A value is taken as it stands, even when it begins with two hyphens.
    if (takesValue(argument) && i + 1 < argc) {
      if (!setValue(options, argument, argv[++i], urlSeen)) {
        offending = argv[i];
        return ArgumentsOutcome::badRate;
      }
    } else if (argument == "--optional") {
      options.tier = Tier::optional;
    } else if (argument == "--verify") {
      options.verify = true;
    } else if (argument == "--json") {
      choices.json = true;
    } else if (argument == "--check") {
      choices.check = true;
    } else if (argument == "--help") {
      return ArgumentsOutcome::help;
    } else if (argument == "--version") {
      return ArgumentsOutcome::version;
    } else {
      offending = argument;
      return ArgumentsOutcome::unknownArgument;
    }
  }
  if (options.root.empty()) return ArgumentsOutcome::missingRoot;
  return ArgumentsOutcome::ok;
}

std::function<bool(const Progress&)> makeProgressDisplay(std::FILE* out) {
  auto lastPhase = std::make_shared<std::string>();
  return [out, lastPhase](const Progress& progress) {
    if (progress.phase != *lastPhase) {
      *lastPhase = progress.phase;
      std::fprintf(out, "\n%s\n", progress.phase.c_str());
    }
    if (progress.bytesTotal != 0) {
      printProgressLine(out, progress);
    } else if (!progress.detail.empty()) {
      std::fprintf(out, "\r  %s        ", progress.detail.c_str());
    }
    std::fflush(out);
    return true;
  };
}

std::function<bool(const Progress&)> makeJsonProgress(std::FILE* out) {
  return [out](const Progress& progress) {
    // Whole numbers: a launcher shows them, and fractions of a byte or a
    // second say nothing.
    printJsonLine(out, JsonObjectWriter()
                           .text("event", "progress")
                           .text("phase", progress.phase)
                           .text("detail", progress.detail)
                           .unsignedNumber("bytesDone", progress.bytesDone)
                           .unsignedNumber("bytesTotal", progress.bytesTotal)
                           .unsignedNumber("stepDone", progress.stepDone)
                           .unsignedNumber("stepTotal", progress.stepTotal)
                           .unsignedNumber("filesDone", progress.filesDone)
                           .unsignedNumber("filesTotal", progress.filesTotal)
                           .unsignedNumber("bytesPerSecond",
                                           static_cast<std::uint64_t>(progress.bytesPerSecond))
                           .number("secondsLeft", static_cast<std::int64_t>(progress.secondsLeft))
                           .finish());
    return true;
  };
}

void printHeader(std::FILE* out, const SyncOptions& options) {
  std::fprintf(out, "instance %s\n", options.root.c_str());
  std::fprintf(out, "server   %s\n", options.url.c_str());
  for (const std::string& mirror : options.mirrors) {
    std::fprintf(out, "mirror   %s\n", mirror.c_str());
  }
  std::fprintf(out, "tier     %s\n", tierName(options.tier));
  const std::string installed = installedVersion(options.root, options.tier);
  std::fprintf(out, "installed %s\n", installed.empty() ? "(nothing)" : installed.c_str());
  std::fflush(out);
}

int printReport(std::FILE* out, const SyncResult& result) {
  std::fprintf(out, "\n\n");
  if (!result.ok) {
    std::fprintf(out, "FAILED: %s\n", result.error.c_str());
    std::fflush(out);
    return 1;
  }
  std::fprintf(out, "version   %s\n", result.version.c_str());
  if (!result.fullCheckReason.empty()) {
    std::fprintf(out, "checked   in full: %s\n", result.fullCheckReason.c_str());
  }
  std::fprintf(out, "changed   %s\n", result.changed ? "yes" : "no (already up to date)");
  std::fprintf(out, "written   %zu files\n", static_cast<std::size_t>(result.filesWritten));
  std::fprintf(out, "downloaded %.1f MB\n", static_cast<double>(result.bytesDownloaded) / kMiB);
  printMirrors(out, result);
  if (!result.removalSummary.empty()) {
    std::fprintf(out, "removed   %s\n", result.removalSummary.c_str());
  } else if (result.removalDeferred) {
    std::fprintf(out, "removed   nothing yet: a game is running\n");
  }
  printCredits(out, result);
  std::fflush(out);
  return 0;
}

int runSyncCli(int argc, const char* const* argv, std::FILE* out, const SyncProgram& program) {
  SyncOptions options;
  CliChoices choices;
  std::string offending;
  switch (parseSyncArguments(argc, argv, options, choices, offending)) {
    case ArgumentsOutcome::unknownArgument:
      std::fprintf(out, "unknown argument: %s\n", offending.c_str());
      return kExitUsage;
    case ArgumentsOutcome::badRate:
      std::fprintf(out, "--max-rate takes bytes per second such as 500K or 2M, not \"%s\"\n",
                   offending.c_str());
      return kExitUsage;
    case ArgumentsOutcome::missingRoot:
      std::fputs(kUsage, out);
      return kExitUsage;
    case ArgumentsOutcome::help:
      std::fputs(kHelp, out);
      return kExitOk;
    case ArgumentsOutcome::version:
      std::fprintf(out, "SkarvelSync %s\n", vantis::kProgramVersion);
      return kExitOk;
    case ArgumentsOutcome::ok:
      break;
  }
  options.environment = readSyncEnvironment();
  const std::function<int()> stopSignal =
      program.stopSignal ? program.stopSignal : std::function<int()>([] { return 0; });
  options.progress = stoppedBy(
      choices.json ? makeJsonProgress(out) : makeProgressDisplay(out), stopSignal);
  if (choices.json) {
    printJsonStart(out, options, choices);
  } else {
    printHeader(out, options);
  }
  if (choices.check) {
    const UpdateCheck check = program.check(options);
    return finishCheck(out, choices, options, check, stopSignal());
  }
  const SyncResult result = program.sync(options);
  return finishSync(out, choices, result, stopSignal());
}

int runSyncCli(int argc, const char* const* argv, std::FILE* out,
               const std::function<SyncResult(const SyncOptions&)>& run) {
  SyncProgram program;
  program.sync = run;
  return runSyncCli(argc, argv, out, program);
}

}  // namespace vantis::content
