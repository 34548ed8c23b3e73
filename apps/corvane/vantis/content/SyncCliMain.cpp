// SkarvelSync: keeps a game instance's content current with a release server.
// Everything but wiring lives in the library, where the tests reach it.

#include <cstdio>

#include "SyncCli.h"

int main(int argc, char** argv) {
  return vantis::content::runSyncCli(argc, argv, stdout, vantis::content::sync);
}
