// Checking a server folder the way players' synchronisers meet it: the
// signed pointer under the publisher's public keys, every digest along the
// chain of releases the pointer vouches for (each manifest by the digest its
// successor names, each list by its manifest's), every list entry by the
// rules clients apply, and every object the checked releases name: each
// blob present as one whole gzip member that decodes to bytes hashing to its
// name, each listed file reassembling from its blobs to its size and digest,
// each bundle hashing to its id, as long as its index says, with every blob
// at its place. Every problem is collected; nothing is written.
//
// Called from one thread; the objects are checked on worker threads. Not
// here: the reading of documents (StoredRelease.h), the wording of the
// command's output (the command line).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Parallel.h"
#include "StoredRelease.h"

namespace vantis::publish {

// A key the pointer may be signed with: its 65-byte public point and where it
// came from, for the message when none verifies.
struct VerifyKey {
  std::string point;
  std::string name;
};

struct VerifyOptions {
  std::string serverDir;
  std::vector<VerifyKey> keys;  // the pointer must verify under one of them
  // How many releases of the chain, newest first, are checked whole
  // (objects too); the documents of every release on it are checked anyway.
  std::size_t wholeReleases = 1;
  unsigned threads = 0;  // 0: every core
  long long now = 0;     // seconds since 1970, for the pointer's expiry
};

struct VerifyReport {
  std::vector<Problem> problems;  // in the order found, each once
  std::string version;            // the served release's, when the pointer reads
  long long sequence = -1;
  std::string expires;       // the pointer's expiry; empty: never
  std::size_t releases = 0;  // on the chain, as far as it reads
  std::size_t checkedWhole = 0;
  std::size_t files = 0;    // distinct files reassembled
  std::size_t blobs = 0;    // distinct blobs decoded
  std::size_t bundles = 0;  // distinct bundles decoded
};

// Checks the folder. False only when it could not be checked at all (the
// folder does not exist, no key was given, or `progress` answered false),
// with `error` saying why; otherwise true, and the folder serves what
// players install exactly when `report.problems` is empty. Phase "checking
// objects", in objects.
bool verifyServerFolder(const VerifyOptions& options, const Progress& progress,
                        VerifyReport& report, std::string& error);

}  // namespace vantis::publish
