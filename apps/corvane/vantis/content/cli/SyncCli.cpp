// SkarvelSync's front end. It only turns arguments into options and a result
// into text; all decisions belong to the pipeline.

#include "cli/SyncCli.h"

#include "foundation/SizeText.h"

#include <cstdint>
#include <memory>

namespace vantis::content {

namespace {

constexpr double kMiB = 1048576.0;

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
                                    std::string& offending) {
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

int runSyncCli(int argc, const char* const* argv, std::FILE* out,
               const std::function<SyncResult(const SyncOptions&)>& run) {
  SyncOptions options;
  std::string offending;
  switch (parseSyncArguments(argc, argv, options, offending)) {
    case ArgumentsOutcome::unknownArgument:
      std::fprintf(out, "unknown argument: %s\n", offending.c_str());
      return 2;
    case ArgumentsOutcome::badRate:
      std::fprintf(out, "--max-rate takes bytes per second such as 500K or 2M, not \"%s\"\n",
                   offending.c_str());
      return 2;
    case ArgumentsOutcome::missingRoot:
      std::fprintf(out, "usage: SkarvelSync --root <instance> --url <base url>\n");
      return 2;
    case ArgumentsOutcome::ok:
      break;
  }
  options.progress = makeProgressDisplay(out);
  options.environment = readSyncEnvironment();
  printHeader(out, options);
  return printReport(out, run(options));
}

}  // namespace vantis::content
