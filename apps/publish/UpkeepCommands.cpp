// The server folder's upkeep commands: "verify" lists what players would
// find wrong, "prune" what no kept release uses, "diff" what an update
// costs. Results go to standard output, one line per finding and a summary
// last; a command that cannot run at all says why in one line on standard
// error and changes nothing.

#include <chrono>
#include <cstddef>
#include <limits>

#include "CommandLine.h"
#include "CommandLineInternal.h"
#include "FolderPrune.h"
#include "ReleaseDiff.h"
#include "Signing.h"
#include "Verify.h"

namespace vantis::publish {

namespace {

constexpr std::uint64_t kMaxReleases = 1000000;

std::string plural(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

long long secondsNow() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
}

// The keys a pointer may be signed with: the public half of a private key
// (the one releases are signed with), and public keys, several separated by
// ";" as clients are built with them.
bool loadVerifyKeys(const std::string& privateKey, const std::string& publicKeys,
                    std::vector<VerifyKey>& keys, std::string& error) {
  if (!privateKey.empty()) {
    SigningKey key;
    if (!loadSigningKey(privateKey, key, error)) return false;
    keys.push_back({key.publicPoint, privateKey});
  }
  std::size_t start = 0;
  while (!publicKeys.empty() && start <= publicKeys.size()) {
    const std::size_t end = std::min(publicKeys.find(';', start), publicKeys.size());
    const std::string path = publicKeys.substr(start, end - start);
    start = end + 1;
    if (path.empty()) continue;
    VerifyKey key{std::string(), path};
    if (!loadPublicKey(path, key.point, error)) return false;
    keys.push_back(key);
  }
  return true;
}

// "N" or "all" releases.
bool parseReleases(const std::string& text, std::size_t& count, std::string& error) {
  std::uint64_t number = 0;
  if (text.empty()) return true;
  if (text == "all") {
    count = std::numeric_limits<std::size_t>::max();
  } else if (parseCount(text, kMaxReleases, number) && number != 0) {
    count = static_cast<std::size_t>(number);
  } else {
    error = "--releases takes a number of releases from 1, or all, not \"" + text + "\"";
    return false;
  }
  return true;
}

void printVerifySummary(std::FILE* out, const VerifyOptions& options, const VerifyReport& report) {
  std::string summary = "checked " + options.serverDir;
  if (!report.version.empty()) {
    summary += ": serves " + report.version + " (sequence " + std::to_string(report.sequence) +
               "), " + plural(report.releases, "release", "releases") + " on the chain, " +
               std::to_string(report.checkedWhole) + " checked whole (" +
               plural(report.files, "file", "files") + ", " +
               plural(report.blobs, "blob", "blobs") + ", " +
               plural(report.bundles, "bundle", "bundles") + ")";
  }
  if (!report.expires.empty()) summary += ", the pointer expires " + report.expires;
  summary += report.problems.empty() ? "; no problems"
                                     : "; " + plural(report.problems.size(), "problem", "problems");
  std::fprintf(out, "%s\n", summary.c_str());
}

const char* entryKind(const UnusedEntry& entry) {
  if (entry.folder) return "folder";
  if (entry.relative.compare(0, 9, "sections/") == 0) return "section";
  return entry.relative.compare(0, 8, "bundles/") == 0 ? "bundle" : "blob";
}

void printPruneSummary(std::FILE* out, const PruneOptions& options, const PruneReport& report) {
  std::size_t counts[4] = {0, 0, 0, 0};
  for (const UnusedEntry& entry : report.unused) {
    const std::string kind = entryKind(entry);
    ++counts[kind == "folder" ? 0 : kind == "bundle" ? 1 : kind == "blob" ? 2 : 3];
  }
  std::string kept;
  for (const std::string& version : report.kept) kept += (kept.empty() ? "" : ", ") + version;
  std::string summary = "kept " + kept + " (" + std::to_string(report.kept.size()) + " of " +
                        plural(report.chainReleases, "release", "releases") + " on the chain)";
  if (report.unused.empty()) {
    summary += "; nothing unused";
  } else {
    summary += "; unused: " + plural(counts[0], "release folder", "release folders") + ", " +
               plural(counts[1], "bundle", "bundles") + ", " + plural(counts[2], "blob", "blobs") +
               (counts[3] ? ", " + plural(counts[3], "list section", "list sections") : "") +
               " (" + formatBytes(report.unusedBytes) + ")";
    summary += options.remove ? ", " + std::to_string(report.deleted) + " deleted"
                              : ", listed only (add --delete to delete them)";
  }
  std::fprintf(out, "%s\n", summary.c_str());
}

void printTier(std::FILE* out, const char* name, const TierDiff& tier) {
  std::fprintf(out,
               "%s: %zu of %zu files change (%s); %zu requests (%s, %s, %s) of %s as sent, %s "
               "decoded\n",
               name, tier.files, tier.listed, formatBytes(tier.fileBytes).c_str(), tier.requests(),
               plural(tier.documents, "document", "documents").c_str(),
               plural(tier.bundles, "bundle", "bundles").c_str(),
               plural(tier.blobs, "blob", "blobs").c_str(), formatBytes(tier.storedBytes).c_str(),
               formatBytes(tier.bytes).c_str());
}

// "--server DIR" (or "--server=DIR") and two versions, in any order.
bool parseDiffArguments(const std::vector<std::string>& args, DiffOptions& options,
                        std::string& error) {
  std::vector<std::string> versions;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--server" && i + 1 < args.size()) {
      options.serverDir = args[++i];
    } else if (arg.compare(0, 9, "--server=") == 0) {
      options.serverDir = arg.substr(9);
    } else if (arg.compare(0, 2, "--") == 0) {
      error = arg == "--server" ? "the option --server needs a value" : "unknown option " + arg;
      return false;
    } else {
      versions.push_back(arg);
    }
  }
  if (options.serverDir.empty() || versions.size() != 2) {
    error = "diff needs --server DIR and two versions, FROM and TO";
    return false;
  }
  options.from = versions[0];
  options.to = versions[1];
  return true;
}

}  // namespace

int runVerify(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  VerifyOptions options;
  std::string privateKey, publicKeys, releases, error;
  bool quiet = false;
  std::map<std::string, Flag> flags{
      {"--server", Flag{&options.serverDir, nullptr}},
      {"--key", Flag{&privateKey, nullptr}},
      {"--public-key", Flag{&publicKeys, nullptr}},
      {"--releases", Flag{&releases, nullptr}},
      {"--quiet", Flag{nullptr, &quiet}},
  };
  if (!parseFlags(args, flags, error) || !parseReleases(releases, options.wholeReleases, error)) {
    return usageError(err, error);
  }
  if (options.serverDir.empty()) return usageError(err, "verify needs --server");
  if (privateKey.empty() && publicKeys.empty()) {
    return usageError(err, "verify needs --key PRIVATE.pem or --public-key PUBLIC.pem");
  }
  if (!loadVerifyKeys(privateKey, publicKeys, options.keys, error)) return failure(err, error);
  options.now = secondsNow();
  VerifyReport report;
  if (!verifyServerFolder(options, makeReporter(err, quiet), report, error)) {
    return failure(err, error);
  }
  for (const Problem& problem : report.problems) {
    std::fprintf(out, "%s: %s\n", problem.file.c_str(), problem.what.c_str());
  }
  printVerifySummary(out, options, report);
  return report.problems.empty() ? kExitOk : kExitFailed;
}

int runPrune(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  PruneOptions options;
  std::string keep, error;
  std::map<std::string, Flag> flags{
      {"--server", Flag{&options.serverDir, nullptr}},
      {"--keep", Flag{&keep, nullptr}},
      {"--delete", Flag{nullptr, &options.remove}},
  };
  if (!parseFlags(args, flags, error)) return usageError(err, error);
  if (options.serverDir.empty() || keep.empty()) {
    return usageError(err, "prune needs --server DIR and --keep N");
  }
  std::uint64_t number = 0;
  if (!parseCount(keep, kMaxReleases, number) || number == 0) {
    return usageError(err, "--keep takes a number of releases from 1, not \"" + keep + "\"");
  }
  options.keep = static_cast<std::size_t>(number);
  PruneReport report;
  if (!pruneServerFolder(options, report, error)) return failure(err, error);
  for (const UnusedEntry& entry : report.unused) {
    std::fprintf(out, "%-6s  %s  %s%s\n", entryKind(entry), entry.relative.c_str(),
                 formatBytes(entry.bytes).c_str(), entry.folder ? " (off the chain)" : "");
  }
  printPruneSummary(out, options, report);
  for (const std::string& problem : report.failures) failure(err, problem);
  return report.failures.empty() ? kExitOk : kExitFailed;
}

int runDiff(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  DiffOptions options;
  DiffReport report;
  std::string error;
  if (!parseDiffArguments(args, options, error)) return usageError(err, error);
  if (!diffReleases(options, report, error)) return failure(err, error);
  std::fprintf(out, "update from %s (sequence %lld) to %s (sequence %lld) in %s, retiring %s\n",
               options.from.c_str(), report.fromSequence, options.to.c_str(), report.toSequence,
               options.serverDir.c_str(), plural(report.retired, "path", "paths").c_str());
  printTier(out, "required", report.required);
  printTier(out, "optional", report.optional);
  return kExitOk;
}

}  // namespace vantis::publish
