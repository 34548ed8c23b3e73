// SkarvelSync: keeps a game instance's content current with a release server.
// Everything but wiring lives in the library, where the tests reach it.

#include <malloc.h>

#include <cstdio>

#include "cli/StopSignals.h"
#include "cli/SyncCli.h"

int main(int argc, char** argv) {
  // Download bodies of a megabyte and more are mapped for each request and
  // unmapped after it. Left to itself, the allocator raises this threshold
  // after the first large body is freed and from then on serves bodies from
  // per-thread arenas that keep their high-water mark: six workers then
  // hold about twice the memory their bodies need.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // Before the first thread: every thread the run starts inherits the
  // handlers, whichever of them the signal lands on.
  vantis::content::catchStopSignals();
  vantis::content::SyncProgram program;
  program.sync = vantis::content::sync;
  program.check = vantis::content::checkForUpdate;
  program.stopSignal = vantis::content::stopSignalReceived;
  return vantis::content::runSyncCli(argc, argv, stdout, program);
}
