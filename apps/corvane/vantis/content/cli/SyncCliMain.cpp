// SkarvelSync: keeps a game instance's content current with a release server.
// Everything but wiring lives in the library, where the tests reach it.

#include <cstdio>

#include "cli/Heap.h"
#include "cli/StopSignals.h"
#include "cli/SyncCli.h"

int main(int argc, char** argv) {
  vantis::content::tuneHeap();
  // Before the first thread: every thread the run starts inherits the
  // handlers, whichever of them the signal lands on.
  vantis::content::catchStopSignals();
  vantis::content::SyncProgram program;
  program.sync = vantis::content::sync;
  program.check = vantis::content::checkForUpdate;
  program.stopSignal = vantis::content::stopSignalReceived;
  return vantis::content::runSyncCli(argc, argv, stdout, program);
}
