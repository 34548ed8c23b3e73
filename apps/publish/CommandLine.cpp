// Argument parsing and reporting for SkarvelPublish. Options take their value
// as the next argument or after "="; every failure is one line on standard
// error that starts with the program's name.

#include "CommandLine.h"

#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

#include "CommandLineInternal.h"
#include "foundation/SizeText.h"
#include "Files.h"
#include "ProgramVersion.h"
#include "Signing.h"
#include "Zstd.h"
#include "release/Layout.h"

namespace vantis::publish {

namespace {

const char* const kHelp =
    "Usage:\n"
    "  SkarvelPublish keygen --out DIR\n"
    "  SkarvelPublish release --server DIR --key PRIVATE.pem --version V --sequence N\n"
    "                         --required CONTENT_DIR [--optional CONTENT_DIR]\n"
    "                         [--config-required FILE] [--config-optional FILE]\n"
    "                         [--credits FILE] [--cutting content|fixed]\n"
    "                         [--cut-average BYTES] [--cut-min BYTES] [--cut-max BYTES]\n"
    "                         [--chunk-size BYTES] [--bundle-size BYTES]\n"
    "                         [--bundle-blob-max BYTES] [--jobs N] [--gzip-level N]\n"
    "                         [--compression gzip|zstd] [--zstd-level N]\n"
    "                         [--expires DAYS] [--new-key] [--whole-lists] [--quiet]\n"
    "  SkarvelPublish refresh --server DIR --key PRIVATE.pem --expires DAYS [--quiet]\n"
    "  SkarvelPublish verify --server DIR (--key PRIVATE.pem | --public-key PUBLIC.pem)\n"
    "                        [--releases N|all] [--quiet]\n"
    "  SkarvelPublish prune --server DIR --keep N [--delete]\n"
    "  SkarvelPublish diff --server DIR FROM TO\n"
    "  SkarvelPublish --help\n"
    "  SkarvelPublish --version\n"
    "\n"
    "keygen writes DIR/signing-key.pem (the private key, mode 0600; keep it secret)\n"
    "and DIR/signing-key.pub.pem (build clients with -DSKARVEL_SIGNING_KEY=<that file>).\n"
    "It never overwrites an existing key. The key is ECDSA P-256. To move to a new\n"
    "key, first ship clients built with both (-DSKARVEL_SIGNING_KEY=\"old.pem;new.pem\"),\n"
    "then publish with the new key and --new-key.\n"
    "\n"
    "release publishes release V into the static server folder DIR (created when\n"
    "missing): blobs under chunks/, bundles under bundles/, the lists and the\n"
    "manifest under manifest/V/, and last the signed pointer current.json. A web\n"
    "server may serve DIR while this runs; an interrupted publish leaves the\n"
    "release served before intact, and running it again reuses what it stored.\n"
    "\n"
    "  --server DIR            the server folder\n"
    "  --key FILE              the PEM private key to sign with (P-256, unencrypted)\n"
    "  --version V             the release's name: letters, digits, . _ + - (1-64)\n"
    "  --sequence N            must be higher than the served release's sequence\n"
    "  --required DIR          the required content, laid out like an instance's\n"
    "                          \"content\" folder\n"
    "  --optional DIR          the Overhaul's own files; the optional tier is the\n"
    "                          required content plus these (these win on equal paths)\n"
    "  --config-required FILE  engine configuration template of the required tier\n"
    "                          (with @@DUSKMERE_DATA_FILES@@ where the data folder goes)\n"
    "  --config-optional FILE  the same for the optional tier (default: the required one)\n"
    "  --credits FILE          JSON object with \"credits\" and \"people\" arrays,\n"
    "                          copied into the manifest\n"
    "  --cutting METHOD        where files are cut into blobs: \"content\" (the default)\n"
    "                          where their bytes say, so that an insertion changes only\n"
    "                          the blobs around it; \"fixed\" every --chunk-size bytes\n"
    "  --cut-average BYTES     content cutting: the average blob, a power of two\n"
    "                          (default 16K)\n"
    "  --cut-min BYTES         content cutting: the shortest blob (default average / 4)\n"
    "  --cut-max BYTES         content cutting: the longest blob (default 8 x average,\n"
    "                          at most --bundle-blob-max, which it may not exceed)\n"
    "  --chunk-size BYTES      fixed cutting: the blob size (default 8M; at most 256M);\n"
    "                          given without --cutting, it selects fixed cutting\n"
    "  --bundle-size BYTES     bundle target size (default 8M; at most 256M)\n"
    "  --bundle-blob-max BYTES blobs up to this size are also bundled (default 1M)\n"
    "  --jobs N                threads for hashing and compression (default: all cores)\n"
    "  --gzip-level N          1 (fast) to 9 (small), default 6\n"
    "  --compression NAME      objects as \"gzip\" (default) or \"zstd\" (faster to install);\n"
    "                          zstd only once players run a SkarvelSync that reads it\n"
    "  --zstd-level N          1 (fast) to 19 (small), default 3\n"
    "  --expires DAYS          players refuse the pointer DAYS days from now (and a\n"
    "                          day's grace), so that a server stuck on an old one is\n"
    "                          noticed; keep it current with refresh (default: never)\n"
    "  --new-key               sign even though the served release used another key\n"
    "                          (its chain of releases is then taken on your word)\n"
    "  --whole-lists           write the lists whole only, without the sections that\n"
    "                          let players fetch just the parts of them that changed\n"
    "  --quiet                 no progress and no summary\n"
    "Sizes take the suffixes K, M and G (powers of 1024).\n"
    "\n"
    "Rules: files under bin/ (target \"binary\", platform \"linux\") and\n"
    "resources/version (target \"binary\") are program files; all others are\n"
    "\"instance\" files. Earlier releases are those the served pointer vouches for:\n"
    "each manifest names its predecessor's by digest, and the publish is refused,\n"
    "naming the file, when a manifest or list on that chain does not match; other\n"
    "folders under manifest/ are ignored. A file whose path had other content of\n"
    "the same size in an earlier release, or in the other tier, is marked\n"
    "\"alwaysHash\". Paths of earlier releases that neither tier ships are listed as\n"
    "retired, with every size and digest shipped there: players delete only\n"
    "those, never a file of their own at such a path. Symbolic links, devices\n"
    "and pipes in the content are refused, as is every path that players would\n"
    "refuse, a name with a backslash, a name that is not UTF-8 and anything under\n"
    "cache/ (the synchroniser's own folder). A version whose folder DIR holds\n"
    "(served now, earlier on its chain, or any other) cannot be published again:\n"
    "caches keep a release's folder for good. The lists and manifest are written\n"
    "into manifest/.V.part, which becomes manifest/V just before the pointer names it.\n"
    "\n"
    "\n"
    "refresh re-signs the release DIR serves with a new expiry, DAYS days from now.\n"
    "Version, sequence and manifest stay as they are (players take an equal\n"
    "sequence as the release they have), and the key must be the one that signed\n"
    "the served pointer. Run it well before the expiry, say from a daily job.\n"
    "\n"
    "verify checks DIR the way players meet it: the pointer's signature (with the\n"
    "public half of --key, or --public-key; several public keys separated by \";\")\n"
    "and expiry, every manifest and list on the served chain by digest, every entry\n"
    "by the rules players apply, and the objects of the newest N releases\n"
    "(--releases, default 1: the served one; all: the whole chain): each blob one\n"
    "whole gzip member (or zstd frame, as its release says) that decodes to its\n"
    "digest, each file reassembling to its size and digest, each bundle matching its\n"
    "id and index. One line per problem, then a summary; exit status 0 only when\n"
    "nothing is wrong.\n"
    "\n"
    "prune lists the blobs and bundles that none of the newest N releases on the\n"
    "served chain names (the served one is always kept) and the folders under\n"
    "manifest/ that the chain does not reach; --delete deletes them. The documents\n"
    "of releases on the chain stay, since later publishes learn from them. It holds\n"
    "the publish lock, so no publish runs meanwhile, and players updating to a kept\n"
    "release never miss an object: keep 2 or more while caches may still hand out\n"
    "the pointer before the last publish.\n"
    "\n"
    "diff shows what players holding release FROM download to update to TO, per\n"
    "tier: the files that change, the requests (documents, whole bundles, single\n"
    "blobs) and the bytes, planned by the players' own rules. To see a patch before\n"
    "players do, publish it into a copy of DIR first (cp -al DIR COPY, then remove\n"
    "COPY/.publish.lock: the publisher replaces files by renaming, never in place).\n"
    "\n"
    "--version prints the program's name and version on one line.\n"
    "\n"
    "Exit status: 0 done (verify: nothing wrong), 1 failed (verify: problems found;\n"
    "a failed release leaves the served release unchanged), 2 bad command line.\n";

}  // namespace

int usageError(std::FILE* err, const std::string& message) {
  std::fprintf(err, "%s: error: %s (see %s --help)\n", kProgram, message.c_str(), kProgram);
  return kExitUsage;
}

int failure(std::FILE* err, const std::string& message) {
  std::fprintf(err, "%s: error: %s\n", kProgram, message.c_str());
  return kExitFailed;
}

namespace {

// Splits "--name=value" or takes the value from the next argument.
bool takeValue(const std::vector<std::string>& args, std::size_t& i, std::string& name,
               std::string& value, bool wantsValue, std::string& error) {
  name = args[i];
  const std::size_t equals = name.find('=');
  if (equals != std::string::npos) {
    value = name.substr(equals + 1);
    name.erase(equals);
    if (wantsValue) return true;
    error = "the option " + name + " takes no value";
    return false;
  }
  if (!wantsValue) return true;
  if (i + 1 >= args.size()) {
    error = "the option " + name + " needs a value";
    return false;
  }
  value = args[++i];
  return true;
}

}  // namespace

bool parseFlags(const std::vector<std::string>& args, std::map<std::string, Flag>& flags,
                std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string name = args[i].substr(0, args[i].find('='));
    const auto found = flags.find(name);
    if (found == flags.end()) {
      error = args[i].compare(0, 2, "--") == 0 ? "unknown option " + name
                                               : "unexpected argument " + args[i];
      return false;
    }
    std::string flagName, value;
    if (!takeValue(args, i, flagName, value, found->second.text != nullptr, error)) return false;
    if (found->second.text) *found->second.text = value;
    if (found->second.toggle) *found->second.toggle = true;
  }
  return true;
}

bool parseCount(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
  return parseSize(text, value) && text.find_first_not_of("0123456789") == std::string::npos &&
         value <= limit;
}

namespace {

bool parseExpiresDays(const std::string& text, std::uint64_t& days, std::string& error) {
  if (parseCount(text, kMaxExpiresDays, days) && days != 0) return true;
  error = "--expires takes a number of days from 1 to 36500, not \"" + text + "\"";
  return false;
}

}  // namespace

std::string formatBytes(std::uint64_t bytes) {
  char text[32];
  if (bytes < (1u << 20)) {
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  } else if (bytes < (1ull << 30)) {
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
  } else {
    std::snprintf(text, sizeof text, "%.2f GiB", bytes / 1073741824.0);
  }
  return text;
}

// Progress on standard error: a line when a step starts that runs long, and
// then one every two seconds, so a big release shows it is moving without
// flooding a log.
Progress makeReporter(std::FILE* err, bool quiet) {
  using Clock = std::chrono::steady_clock;
  auto last = std::make_shared<Clock::time_point>(Clock::now());
  return [err, quiet, last](const std::string& phase, std::uint64_t done, std::uint64_t total) {
    if (quiet || Clock::now() - *last < std::chrono::seconds(2)) return true;
    *last = Clock::now();
    const bool bytes = phase == "hashing" || phase == "storing blobs";
    const std::string doneText = bytes ? formatBytes(done) : std::to_string(done);
    const std::string totalText = bytes ? formatBytes(total) : std::to_string(total);
    std::fprintf(err, "%s: %s %s of %s\n", kProgram, phase.c_str(), doneText.c_str(),
                 totalText.c_str());
    std::fflush(err);
    return true;
  };
}

namespace {

void printSummary(std::FILE* out, const ReleaseOptions& options, const ReleaseReport& report) {
  std::fprintf(out, "published %s (sequence %lld) in %s\n", options.version.c_str(),
               options.sequence, options.serverDir.c_str());
  std::fprintf(out, "  files       %zu required, %zu optional (%s of content)\n",
               report.requiredFiles, report.optionalFiles,
               formatBytes(report.contentBytes).c_str());
  std::fprintf(out, "  blobs       %" PRIu64 " new, %" PRIu64 " reused (%s written)\n",
               report.chunks.stored, report.chunks.reused,
               formatBytes(report.chunks.bytesWritten).c_str());
  std::fprintf(out, "  bundles     %" PRIu64 " new, %" PRIu64 " reused (%s written)\n",
               report.bundles.stored, report.bundles.reused,
               formatBytes(report.bundles.bytesWritten).c_str());
  std::fprintf(out, "  alwaysHash  %zu entries\n", report.alwaysHash);
  std::fprintf(out, "  retired     %zu paths\n", report.retired);
  std::fprintf(out, "  history     %zu earlier releases on the served chain\n",
               report.earlierReleases);
  const std::string expires = report.expires.empty() ? "never" : report.expires;
  std::fprintf(out, "  expires     %s\n", expires.c_str());
}

int runRelease(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  ReleaseOptions options;
  bool quiet = false;
  std::string error;
  if (!parseReleaseArguments(args, options, quiet, error)) return usageError(err, error);
  ReleaseReport report;
  const bool published = publishRelease(options, makeReporter(err, quiet), report, error);
  // A failure is one line; warnings only matter for a release that went out.
  if (!published) return failure(err, error);
  for (const std::string& warning : report.warnings) {
    std::fprintf(err, "%s: warning: %s\n", kProgram, warning.c_str());
  }
  if (!quiet) printSummary(out, options, report);
  return kExitOk;
}

int runRefresh(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  RefreshOptions options;
  bool quiet = false;
  std::string error;
  if (!parseRefreshArguments(args, options, quiet, error)) return usageError(err, error);
  RefreshReport report;
  if (!refreshRelease(options, report, error)) return failure(err, error);
  if (!quiet) {
    std::fprintf(out, "refreshed %s (sequence %lld) in %s: expires %s\n", report.version.c_str(),
                 report.sequence, options.serverDir.c_str(), report.expires.c_str());
  }
  return kExitOk;
}

int runKeygen(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  std::string dir, error;
  std::map<std::string, Flag> flags{{"--out", Flag{&dir, nullptr}}};
  if (!parseFlags(args, flags, error)) return usageError(err, error);
  if (dir.empty()) return usageError(err, "keygen needs --out DIR");
  if (!writeKeyPair(dir, error)) return failure(err, error);
  std::fprintf(out,
               "wrote %s (private: keep it secret) and %s\n"
               "build clients with -DSKARVEL_SIGNING_KEY=%s\n",
               joinPath(dir, "signing-key.pem").c_str(),
               joinPath(dir, "signing-key.pub.pem").c_str(),
               joinPath(dir, "signing-key.pub.pem").c_str());
  return kExitOk;
}

// "--cutting" as given, or fixed when only "--chunk-size" was: that size
// means nothing to a content cutting, and asking for it asks for fixed
// blobs, as it always did.
bool chooseCutting(const std::string& name, bool chunkSizeGiven, bool cutOptionsGiven,
                   CutMode& mode, std::string& error) {
  if (name.empty()) {
    mode = chunkSizeGiven && !cutOptionsGiven ? CutMode::fixed : CutMode::content;
  } else if (name == "content" || name == "fixed") {
    mode = name == "content" ? CutMode::content : CutMode::fixed;
  } else {
    error = "--cutting takes \"content\" or \"fixed\", not \"" + name + "\"";
    return false;
  }
  if (mode == CutMode::content && chunkSizeGiven) {
    error = "--chunk-size sets the blob size of fixed cutting; content cutting takes "
            "--cut-average, --cut-min and --cut-max";
    return false;
  }
  if (mode == CutMode::fixed && cutOptionsGiven) {
    error = "--cut-average, --cut-min and --cut-max set content cutting; fixed cutting takes "
            "--chunk-size";
    return false;
  }
  return true;
}

// "--compression" and "--zstd-level"; a level for an encoding not chosen is
// refused rather than silently ignored.
bool chooseCompression(const std::string& name, const std::string& level, bool gzipLevelGiven,
                       ReleaseOptions& options, std::string& error) {
  if (!name.empty()) {
    const std::optional<content::Encoding> encoding = content::encodingNamed(name);
    if (!encoding) {
      error = "--compression takes \"gzip\" or \"zstd\", not \"" + name + "\"";
      return false;
    }
    options.compression = *encoding;
  }
  if (gzipLevelGiven && options.compression != content::Encoding::gzip) {
    error = "--gzip-level does not apply to --compression zstd (it takes --zstd-level)";
    return false;
  }
  if (level.empty()) return true;
  std::uint64_t number = 0;
  if (!parseCount(level, kMaxZstdLevel, number) || number < kMinZstdLevel) {
    error = "--zstd-level takes a number from 1 to 19, not \"" + level + "\"";
    return false;
  }
  if (options.compression != content::Encoding::zstd) {
    error = "--zstd-level needs --compression zstd";
    return false;
  }
  options.zstdLevel = static_cast<int>(number);
  return true;
}

}  // namespace

bool parseSize(const std::string& text, std::uint64_t& size) {
  return content::parseSizeText(text, size);
}

bool parseReleaseArguments(const std::vector<std::string>& args, ReleaseOptions& options,
                           bool& quiet, std::string& error) {
  std::string sequence, chunk, bundle, blobMax, jobs, level, expires, cutting, cutAverage, cutMin,
      cutMax, compression, zstdLevel;
  bool wholeLists = false;
  std::map<std::string, Flag> flags{
      {"--server", Flag{&options.serverDir, nullptr}},
      {"--key", Flag{&options.keyPath, nullptr}},
      {"--version", Flag{&options.version, nullptr}},
      {"--sequence", Flag{&sequence, nullptr}},
      {"--required", Flag{&options.requiredDir, nullptr}},
      {"--optional", Flag{&options.optionalDir, nullptr}},
      {"--config-required", Flag{&options.configRequiredPath, nullptr}},
      {"--config-optional", Flag{&options.configOptionalPath, nullptr}},
      {"--credits", Flag{&options.creditsPath, nullptr}},
      {"--cutting", Flag{&cutting, nullptr}},
      {"--cut-average", Flag{&cutAverage, nullptr}},
      {"--cut-min", Flag{&cutMin, nullptr}},
      {"--cut-max", Flag{&cutMax, nullptr}},
      {"--chunk-size", Flag{&chunk, nullptr}},
      {"--bundle-size", Flag{&bundle, nullptr}},
      {"--bundle-blob-max", Flag{&blobMax, nullptr}},
      {"--jobs", Flag{&jobs, nullptr}},
      {"--gzip-level", Flag{&level, nullptr}},
      {"--compression", Flag{&compression, nullptr}},
      {"--zstd-level", Flag{&zstdLevel, nullptr}},
      {"--expires", Flag{&expires, nullptr}},
      {"--new-key", Flag{nullptr, &options.newKey}},
      {"--whole-lists", Flag{nullptr, &wholeLists}},
      {"--quiet", Flag{nullptr, &quiet}},
  };
  if (!parseFlags(args, flags, error)) return false;
  options.listSections = !wholeLists;
  if (!expires.empty() && !parseExpiresDays(expires, options.expiresDays, error)) return false;
  for (const char* required : {"--server", "--key", "--version", "--sequence", "--required"}) {
    const Flag& flag = flags[required];
    if (flag.text->empty()) {
      error = std::string("release needs ") + required;
      return false;
    }
  }
  std::uint64_t number = 0;
  if (!parseCount(sequence, 9007199254740992ULL, number)) {
    error =
        "the sequence must be a whole number from 0 to 9007199254740992, not \"" + sequence + "\"";
    return false;
  }
  options.sequence = static_cast<long long>(number);
  const struct {
    const std::string& text;
    std::uint64_t& size;
    const char* name;
  } sizes[] = {{chunk, options.chunkSize, "--chunk-size"},
               {bundle, options.bundleSize, "--bundle-size"},
               {blobMax, options.bundleBlobMax, "--bundle-blob-max"},
               {cutAverage, options.cutAverage, "--cut-average"},
               {cutMin, options.cutMin, "--cut-min"},
               {cutMax, options.cutMax, "--cut-max"}};
  for (const auto& size : sizes) {
    if (!size.text.empty() && !parseSize(size.text, size.size)) {
      error = std::string(size.name) + " takes a size such as 8388608, 512K or 8M, not \"" +
              size.text + "\"";
      return false;
    }
  }
  const bool cutOptions = !cutAverage.empty() || !cutMin.empty() || !cutMax.empty();
  if (!chooseCutting(cutting, !chunk.empty(), cutOptions, options.cutMode, error)) return false;
  if (!jobs.empty()) {
    if (!parseCount(jobs, 1024, number) || number == 0) {
      error = "--jobs takes a number from 1 to 1024, not \"" + jobs + "\"";
      return false;
    }
    options.threads = static_cast<unsigned>(number);
  }
  if (!level.empty()) {
    if (!parseCount(level, 9, number) || number == 0) {
      error = "--gzip-level takes a number from 1 to 9, not \"" + level + "\"";
      return false;
    }
    options.gzipLevel = static_cast<int>(number);
  }
  if (!chooseCompression(compression, zstdLevel, !level.empty(), options, error)) return false;
  return checkReleaseOptions(options, error);
}

bool parseRefreshArguments(const std::vector<std::string>& args, RefreshOptions& options,
                           bool& quiet, std::string& error) {
  std::string expires;
  std::map<std::string, Flag> flags{
      {"--server", Flag{&options.serverDir, nullptr}},
      {"--key", Flag{&options.keyPath, nullptr}},
      {"--expires", Flag{&expires, nullptr}},
      {"--quiet", Flag{nullptr, &quiet}},
  };
  if (!parseFlags(args, flags, error)) return false;
  for (const char* required : {"--server", "--key", "--expires"}) {
    if (flags[required].text->empty()) {
      error = std::string("refresh needs ") + required;
      return false;
    }
  }
  return parseExpiresDays(expires, options.expiresDays, error);
}

bool writeKeyPair(const std::string& dir, std::string& error) {
  const std::string privatePath = joinPath(dir, "signing-key.pem");
  const std::string publicPath = joinPath(dir, "signing-key.pub.pem");
  for (const std::string& path : {privatePath, publicPath}) {
    if (pathExists(path)) {
      error = path + " exists already; keygen never overwrites a key";
      return false;
    }
  }
  if (!makeDirectories(dir)) {
    error = "cannot create the folder " + dir;
    return false;
  }
  std::string privatePem, publicPem;
  if (!generateKeyPair(privatePem, publicPem, error)) return false;
  if (!createPrivateFile(privatePath, privatePem)) {
    error = "cannot write " + privatePath;
    return false;
  }
  if (!createNewFile(publicPath, publicPem)) {
    // A private key without its public half is of no use to anyone.
    std::remove(privatePath.c_str());
    error = "cannot write " + publicPath;
    return false;
  }
  return true;
}

int runCommandLine(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (args.empty()) {
    return usageError(err, "name a command: keygen, release, refresh, verify, prune or diff");
  }
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kHelp, out);
    return kExitOk;
  }
  // Only as the command word: after "release" it names the release.
  if (command == "--version") {
    std::fprintf(out, "%s %s\n", kProgram, kProgramVersion);
    return kExitOk;
  }
  if (command == "keygen") return runKeygen(rest, out, err);
  if (command == "release") return runRelease(rest, out, err);
  if (command == "refresh") return runRefresh(rest, out, err);
  if (command == "verify") return runVerify(rest, out, err);
  if (command == "prune") return runPrune(rest, out, err);
  if (command == "diff") return runDiff(rest, out, err);
  return usageError(err, "unknown command " + command);
}

}  // namespace vantis::publish
