// Where an instance keeps what the synchroniser writes: the content folder,
// the cache folder with its records and blob store, the engine
// configuration. Built once per run from the instance folder and handed to
// every step that touches the disk, so no step joins a path of its own.
//
// A plain value; any thread.
#pragma once

#include <string>

#include "protocol/Tier.h"

namespace vantis::content {

struct InstancePaths {
  std::string root;                // the instance folder
  std::string content;             // <root>/content: what the lists' paths are relative to
  std::string programs;            // <content>/bin
  std::string cache;               // <content>/cache: the synchroniser's own folder
  std::string state;               // <cache>/state.json
  std::string highestSequence;     // <cache>/highest-sequence.txt
  std::string manifestCopy;        // <cache>/manifest-head.json
  std::string blobStore;           // <cache>/blobs
  std::string sections;            // <cache>/sections: the installed release's list sections
  std::string checkedFiles;        // <cache>/checked-files.txt
  std::string rememberedDuskmere;  // <cache>/duskmere.txt
  std::string updateLock;          // <cache>/sync.lock: held by the run under way
  std::string tierConfig;          // <root>/settings/corvane.cfg

  // <cache>/binary-check-<tier>.json
  std::string programRecord(Tier tier) const;
};

InstancePaths instancePaths(const std::string& root);

}  // namespace vantis::content
