// Fuzzes the readers of the installed-state record ("content/cache/
// state.json"): the rules the pipeline applies to the parsed record, and
// `installedVersion`, which reads the file itself. Each input is written as
// the record of one scratch instance, so both readers see the same bytes and
// must agree on each tier's version. Then the state writer records that
// version again and must read back exactly what it wrote, whatever bytes the
// version holds.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/FileSystem.h"
#include "FuzzSupport.h"
#include "foundation/Json.h"
#include "pipeline/Sync.h"
#include "protocol/SyncState.h"

using namespace vantis::content;

namespace {

const std::string& instanceRoot() {
  static const std::string root = [] {
    const std::string folder = skarvel::fuzz::scratchFolder();
    makeDirectories(folder + "/content/cache");
    return folder;
  }();
  return root;
}

std::string statePath() { return instanceRoot() + "/content/cache/state.json"; }

void writeRecord(const std::string& text) {
  std::FILE* file = std::fopen(statePath().c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(std::fwrite(text.data(), 1, text.size(), file) == text.size());
  FUZZ_CHECK(std::fclose(file) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = skarvel::fuzz::textOf(data, size);
  JsonValue previous;
  std::string error;
  parseJson(text, previous, error);  // a record that does not parse reads as Null
  writeRecord(text);

  for (Tier tier : {Tier::required, Tier::optional}) {
    const InstalledState state = readInstalledState(previous, tier);
    FUZZ_CHECK(installedVersion(instanceRoot(), tier) == state.version);
    if (tier == Tier::optional) FUZZ_CHECK(!state.verifyDemanded);
    if (previous.kind != JsonValue::Kind::Object) FUZZ_CHECK(state.sequence == -1);
  }

  // Record the required tier's version as the optional tier's new release:
  // any bytes a version may hold must come back unchanged, in both tiers,
  // along with the sequence and an owed full check.
  const InstalledState state = readInstalledState(previous, Tier::required);
  const InstancePaths paths = instancePaths(instanceRoot());
  FUZZ_CHECK(writeInstalledState(paths, Tier::optional, state.version, state.sequence, previous)
                 .ok());
  FUZZ_CHECK(installedVersion(instanceRoot(), Tier::optional) == state.version);
  const JsonValue written = readStateDocument(paths);
  FUZZ_CHECK(written.kind == JsonValue::Kind::Object);
  const InstalledState reread = readInstalledState(written, Tier::required);
  FUZZ_CHECK(reread.version == state.version);
  FUZZ_CHECK(reread.sequence == state.sequence);
  FUZZ_CHECK(reread.configTier == "optional");
  // An optional-tier sync leaves an owed full check owed.
  FUZZ_CHECK(reread.verifyDemanded == state.verifyDemanded);
  return 0;
}
