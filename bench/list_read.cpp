// bench_list_read: how fast the file-list reader gets through a large list
// when every installed file is already current, and how much memory it needs
// while doing so.
//
// It builds an instance of N small files (default 100,000) in a temporary
// folder, a file list naming each of them with its size and digest, and runs
// readFileList over it a few times: the ordinary check (one stat per entry)
// and the full check (every file streamed through SHA-256). It reports
// entries per second, the process's peak resident size, and, from counting
// every heap allocation, how much the reader held at its peak beyond what it
// kept. That transient figure must not grow with the list; the run repeats
// the ordinary check with a tenth of the list to show it.
//
//   bench_list_read [entries]        (run it from a quiet machine)

#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "protocol/SyncLists.h"

// ---- heap accounting ----------------------------------------------------------
// Every allocation of the process goes through these, so the figures include
// the parser's values, the records and the outputs, and nothing is guessed.

namespace {
std::atomic<std::int64_t> sLiveBytes{0};
std::atomic<std::int64_t> sPeakBytes{0};

void noteAllocated(void* block) {
  const std::int64_t now =
      sLiveBytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(block))) +
      static_cast<std::int64_t>(malloc_usable_size(block));
  std::int64_t peak = sPeakBytes.load();
  while (now > peak && !sPeakBytes.compare_exchange_weak(peak, now)) {
  }
}
}  // namespace

void* operator new(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  noteAllocated(block);
  return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept {
  if (block == nullptr) return;
  sLiveBytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(block)));
  std::free(block);
}
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }

namespace {

using vantis::content::FileList;
using vantis::content::FileListContext;
using vantis::content::Result;

double nowSeconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

long peakResidentKiB() {
  rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Instance-relative path of file `i`, spread over folders of 1000 files the
// way a content pack spreads its files.
std::string entryPath(int i) {
  char path[64];
  std::snprintf(path, sizeof path, "data/d%03d/f%06d.dat", i / 1000, i);
  return path;
}

// Writes `count` files of 40 bytes under <root>/content and returns the list
// that names every one of them as it is.
std::string makeInstance(const std::string& root, int count) {
  std::string list;
  list.reserve(static_cast<std::size_t>(count) * 180);
  for (int i = 0; i < count; ++i) {
    const std::string path = entryPath(i);
    char bytes[41];
    std::snprintf(bytes, sizeof bytes, "content of file number %016d", i);
    const std::string full = vantis::content::joinPath(root, "content/" + path);
    if (i % 1000 == 0) vantis::content::makeParentDirectories(full);
    if (!vantis::content::writeWholeFile(full, bytes, 40)) {
      std::fprintf(stderr, "bench_list_read: cannot write %s\n", full.c_str());
      std::exit(1);
    }
    list += "{\"path\":\"" + path + "\",\"size\":40,\"sha256\":\"" +
            vantis::content::Sha256::of(bytes, 40) + "\",\"target\":\"instance\",\"chunks\":[\"" +
            vantis::content::Sha256::of(bytes, 40) + "\"]}\n";
  }
  return list;
}

struct Run {
  double seconds = 0;
  std::int64_t transientBytes = 0;  // peak during the read beyond what it kept
  std::int64_t keptBytes = 0;       // held by the outputs afterwards
  std::uint64_t reports = 0;
  std::size_t work = 0;
};

Run readOnce(const std::vector<unsigned char>& body, const std::string& root, bool fullCheck,
             int count) {
  FileListContext context;
  context.contentDir = root + "/content";
  context.fullCheck = fullCheck;
  context.fileCount = count;
  Run run;
  context.report = [&run](const std::string&, const std::string&) {
    ++run.reports;
    return true;
  };
  const std::int64_t before = sLiveBytes.load();
  {
    sPeakBytes.store(before);
    const double start = nowSeconds();
    const Result<FileList> result = vantis::content::readFileList(body, context);
    run.seconds = nowSeconds() - start;
    if (!result) {
      std::fprintf(stderr, "bench_list_read: the list did not read: %s\n", result.error().c_str());
      std::exit(1);
    }
    run.keptBytes = sLiveBytes.load() - before;
    run.transientBytes = sPeakBytes.load() - before - run.keptBytes;
    run.work = result->work.size();
  }
  return run;
}

// The fastest of `rounds` reads, so that a busy neighbour does not set the figure.
Run bestOf(int rounds, const std::vector<unsigned char>& body, const std::string& root,
           bool fullCheck, int count) {
  Run best;
  for (int i = 0; i < rounds; ++i) {
    const Run run = readOnce(body, root, fullCheck, count);
    if (i == 0 || run.seconds < best.seconds) best = run;
  }
  return best;
}

void print(const char* label, int count, const Run& run) {
  std::printf("%-28s %7d entries  %8.3f s  %10.0f entries/s  transient %7.1f KiB  kept %8.1f KiB"
              "  reports %llu  to fetch %zu\n",
              label, count, run.seconds, count / run.seconds, run.transientBytes / 1024.0,
              run.keptBytes / 1024.0, static_cast<unsigned long long>(run.reports), run.work);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (count < 10) {
    std::fprintf(stderr, "usage: bench_list_read [entries >= 10]\n");
    return 2;
  }
  std::string root = (std::filesystem::temp_directory_path() / "bench-list-read-XXXXXX").string();
  if (::mkdtemp(root.data()) == nullptr) {
    std::perror("bench_list_read: mkdtemp");
    return 1;
  }

  std::printf("building an instance of %d current files ...\n", count);
  const std::string text = makeInstance(root, count);
  const std::vector<unsigned char> body(text.begin(), text.end());
  const int tenthCount = count / 10;
  std::size_t tenthEnd = 0;
  for (int i = 0; i < tenthCount; ++i) tenthEnd = text.find('\n', tenthEnd) + 1;
  const std::vector<unsigned char> tenth(text.begin(), text.begin() + tenthEnd);
  std::printf("list: %zu bytes; heap before reading: %.1f MiB\n", body.size(),
              sLiveBytes.load() / 1048576.0);

  print("ordinary check (stat only)", count, bestOf(3, body, root, false, count));
  print("ordinary check, tenth list", tenthCount, bestOf(3, tenth, root, false, tenthCount));
  print("full check (streamed hash)", count, bestOf(1, body, root, true, count));
  std::printf("peak resident size of the process: %.1f MiB\n", peakResidentKiB() / 1024.0);

  vantis::content::removeDirectoryTree(root);
  return 0;
}
