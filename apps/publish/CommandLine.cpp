// Argument parsing and reporting for SkarvelPublish. Options take their value
// as the next argument or after "="; every failure is one line on standard
// error that starts with the program's name.

#include "CommandLine.h"

#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <map>
#include <memory>

#include "Files.h"
#include "Signing.h"

namespace vantis::publish {

namespace {

const char* const kProgram = "SkarvelPublish";

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
    "                         [--new-key] [--quiet]\n"
    "  SkarvelPublish --help\n"
    "\n"
    "keygen writes DIR/signing-key.pem (the private key, mode 0600; keep it secret)\n"
    "and DIR/signing-key.pub.pem (build clients with -DSKARVEL_SIGNING_KEY=<that file>).\n"
    "It never overwrites an existing key. The key is ECDSA P-256.\n"
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
    "                          (default 64K)\n"
    "  --cut-min BYTES         content cutting: the shortest blob (default average / 4)\n"
    "  --cut-max BYTES         content cutting: the longest blob (default 8 x average,\n"
    "                          at most --bundle-blob-max, which it may not exceed)\n"
    "  --chunk-size BYTES      fixed cutting: the blob size (default 8M; at most 256M);\n"
    "                          given without --cutting, it selects fixed cutting\n"
    "  --bundle-size BYTES     bundle target size (default 8M; at most 256M)\n"
    "  --bundle-blob-max BYTES blobs up to this size are also bundled (default 1M)\n"
    "  --jobs N                threads for hashing and compression (default: all cores)\n"
    "  --gzip-level N          1 (fast) to 9 (small), default 6\n"
    "  --new-key               sign even though the served release used another key\n"
    "  --quiet                 no progress and no summary\n"
    "Sizes take the suffixes K, M and G (powers of 1024).\n"
    "\n"
    "Rules: files under bin/ (target \"binary\", platform \"linux\") and\n"
    "resources/version (target \"binary\") are program files; all others are\n"
    "\"instance\" files. A file whose path had other content of the same size in an\n"
    "earlier release in DIR, or in the other tier, is marked \"alwaysHash\". Paths\n"
    "of earlier releases that neither tier ships are listed as retired. Symbolic\n"
    "links, devices and pipes in the content are refused, as is every path that\n"
    "players would refuse, a name with a backslash, a name that is not UTF-8 and\n"
    "anything under cache/ (the synchroniser's own folder). A version that the\n"
    "folder serves now cannot be published again.\n"
    "\n"
    "Exit status: 0 published, 1 failed (the served release is unchanged), 2 bad\n"
    "command line.\n";

struct Flag {
  std::string* text = nullptr;
  bool* toggle = nullptr;
};

int usageError(std::FILE* err, const std::string& message) {
  std::fprintf(err, "%s: error: %s (see %s --help)\n", kProgram, message.c_str(), kProgram);
  return kExitUsage;
}

int failure(std::FILE* err, const std::string& message) {
  std::fprintf(err, "%s: error: %s\n", kProgram, message.c_str());
  return kExitFailed;
}

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

}  // namespace

bool parseSize(const std::string& text, std::uint64_t& size) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (i == 0) return false;
  unsigned shift = 0;
  if (i + 1 == text.size()) {
    const char unit = text[i];
    shift = unit == 'K' || unit == 'k'   ? 10
            : unit == 'M' || unit == 'm' ? 20
            : unit == 'G' || unit == 'g' ? 30
                                         : 64;
    if (shift == 64) return false;
  } else if (i != text.size()) {
    return false;
  }
  if (shift && value > (UINT64_MAX >> shift)) return false;
  size = value << shift;
  return true;
}

bool parseReleaseArguments(const std::vector<std::string>& args, ReleaseOptions& options,
                           bool& quiet, std::string& error) {
  std::string sequence, chunk, bundle, blobMax, jobs, level, cutting, cutAverage, cutMin, cutMax;
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
      {"--new-key", Flag{nullptr, &options.newKey}},
      {"--quiet", Flag{nullptr, &quiet}},
  };
  if (!parseFlags(args, flags, error)) return false;
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
  return checkReleaseOptions(options, error);
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
  if (args.empty()) return usageError(err, "name a command: keygen or release");
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kHelp, out);
    return kExitOk;
  }
  if (command == "keygen") return runKeygen(rest, out, err);
  if (command == "release") return runRelease(rest, out, err);
  return usageError(err, "unknown command " + command);
}

}  // namespace vantis::publish
