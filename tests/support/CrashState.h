// Crash-state testing: every state a power cut during a program's run could
// leave on disk, rebuilt one after the other so that a test can check each
// one and the program's recovery from it. Test code only; single-threaded
// (the program under test may use threads and start other programs).
//
// Use:
//   CrashRecorder recorder(root, log);   // `root` as it is now: the disk before
//   run the program with recorder.environment() added to its environment
//   ASSERT_TRUE(recorder.readTrace(error)) << error;
//   CrashStats stats = recorder.forEachState([&](const std::string& label) {
//     // `root` now holds one crash state: look at it, run the program again
//     return everythingHeld;
//   });
//   EXPECT_EQ(stats.failure, "");
//
// The recording: a shim preloaded into the program (and every program it
// starts) logs each successful call that changes something under `root`:
// opening for writing (and whether it created the file), write, pwrite,
// writev, pwritev, ftruncate, truncate, chmod, fchmod, fchmodat, mkdir,
// symlink, link, rename, unlink, rmdir and their *at forms, fsync,
// fdatasync, syncfs, sync and close. A stdio stream opened for writing
// (fopen, or fdopen over a descriptor of a file under the root) is logged
// as its whole content whenever it is flushed, synced or closed,
// since stdio's own writes cannot be seen. Memory-mapped writes are not seen
// at all; copy_file_range, sendfile, fallocate and renameat2's exchange are
// logged but not modelled (counted in CrashStats::unmodelled).
//
// The model of the disk, conservative and simple on purpose:
// - The disk starts as `root` was when the recorder was made (regular files,
//   folders and symbolic links; hard links kept as such).
// - Each recorded operation reaches the disk whole or not at all.
// - Data operations on a file (its writes, truncations, permission changes,
//   a stream's content) are durable once a later fsync or fdatasync of that
//   same file (through any descriptor) has returned.
// - Name operations (create, mkdir, symlink, link, rename, unlink, rmdir)
//   are durable once every folder they changed has been fsynced after them;
//   a rename changes the folders of both names. Flushing a file never makes
//   its name durable, whatever some file systems do.
// - sync and syncfs make everything before them durable (the root is taken
//   to be on one file system).
// - At a crash, the durable operations are on disk together with any subset
//   of the others, each lost or kept independently and applied in program
//   order: later ones may survive earlier ones (reordering). An operation on
//   a name whose folder is missing in that state has no effect; a write to a
//   file whose name was lost still lands in the file's data.
// - A crash can happen before the first operation and after each one.
// - Not modelled: a single write torn part way, and disks that lose what an
//   fsync reported as written.
//
// The bound: a crash point with n operations that may be lost has 2^n
// states. All are built while 2^n is at most CrashLimits::maxSubsetsPerPoint;
// beyond that, that many are chosen: all kept, all lost, each one alone lost,
// each one alone kept, the first i kept for every i (writes reaching the disk
// in order), then seeded random subsets. States that come out identical are
// checked once.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace skarvel::test {

struct CrashLimits {
  std::size_t maxSubsetsPerPoint = 256;
  unsigned seed = 1;
};

struct CrashStats {
  std::size_t processes = 0;       // programs that ran under the shim
  std::size_t operations = 0;      // recorded operations under the root, flushes included
  std::size_t flushes = 0;         // fsync, fdatasync, syncfs and sync among them
  std::size_t unmodelled = 0;      // operations the model cannot follow (see above)
  std::size_t crashPoints = 0;     // operations + 1
  std::size_t statesTried = 0;     // (crash point, operations kept) pairs built
  std::size_t cappedPoints = 0;    // crash points whose subsets the cap chose
  std::size_t distinctStates = 0;  // different disk states handed to the check
  std::string failure;             // label of the first state the check refused; empty if none
};

// One line for a test's output, "[ crashes  ] <what>: ..." with every count.
std::string summary(const std::string& what, const CrashStats& stats);

// Called with one crash state rebuilt in the root folder and a label naming
// the crash point and the operations lost. Returns false when the state, or
// the program's recovery from it, is wrong; that ends the enumeration. It
// may change the root folder freely.
using CrashCheck = std::function<bool(const std::string& label)>;

class CrashRecorder {
 public:
  // Takes the tree at `root` as the disk before the run. `log` is where the
  // shim records (emptied now); it must lie outside `root`.
  CrashRecorder(const std::string& root, const std::string& log);
  ~CrashRecorder();
  CrashRecorder(const CrashRecorder&) = delete;
  CrashRecorder& operator=(const CrashRecorder&) = delete;

  // The variables that make a program record: LD_PRELOAD (the shim),
  // SKARVEL_CRASH_ROOT and SKARVEL_CRASH_LOG; in builds with
  // AddressSanitizer also ASAN_OPTIONS (the test's own, plus leave to load
  // the shim before the sanitizer's runtime).
  std::map<std::string, std::string> environment() const;

  // Reads the log once the run is over. False, with the reason, when no
  // program started under the shim or the log cannot be read.
  bool readTrace(std::string& error);

  // The recorded operations, one line each, numbered as in the labels.
  std::string describeTrace() const;

  // Builds every crash state (see the bound above), rebuilds each distinct
  // one in the root folder and calls `check`. Stops at the first refusal.
  // The root holds the last state built when this returns.
  CrashStats forEachState(const CrashCheck& check, const CrashLimits& limits = {});

 private:
  struct Model;
  std::unique_ptr<Model> model_;
};

}  // namespace skarvel::test
