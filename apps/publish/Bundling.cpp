// Bundle planning. Cutting each group greedily in path order keeps the plan a
// pure function of the group's files: the same mod gives the same bundles,
// byte for byte, in every release, and those are then reused on the server.

#include "Bundling.h"

#include <map>
#include <set>
#include <utility>

namespace vantis::publish {

namespace {

using GroupKey = std::pair<bool, std::string>;  // (from the Overhaul, mod folder)

struct Group {
  std::vector<BundleBlob> blobs;
  std::set<std::string> seen;
};

void cutGroup(const Group& group, std::uint64_t target, std::vector<Bundle>& out) {
  Bundle bundle;
  auto flush = [&] {
    // A bundle with fewer blobs is never fetched whole, so it is not made.
    if (bundle.blobs.size() >= content::kMinBundleBlobs) out.push_back(bundle);
    bundle = Bundle();
  };
  for (BundleBlob blob : group.blobs) {
    if (!bundle.blobs.empty() && bundle.size + blob.length > target) flush();
    blob.offset = bundle.size;
    bundle.size += blob.length;
    bundle.blobs.push_back(blob);
  }
  flush();
}

}  // namespace

std::vector<Bundle> planBundles(const Content& content, std::uint64_t target,
                                std::uint64_t blobMax) {
  std::map<GroupKey, Group> groups;
  for (std::size_t i = 0; i < content.sources.size(); ++i) {
    const SourceFile& file = content.sources[i];
    Group& group = groups[GroupKey(file.overhaul, modFolderOf(file.path))];
    for (const Blob& blob : file.blobs) {
      if (blob.length > blobMax || !group.seen.insert(blob.hash).second) continue;
      group.blobs.push_back(BundleBlob{blob.hash, 0, blob.length, i, blob.offset});
    }
  }
  std::vector<Bundle> bundles;
  for (const auto& entry : groups) cutGroup(entry.second, target, bundles);
  return bundles;
}

}  // namespace vantis::publish
