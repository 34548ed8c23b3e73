// The manifest's members. Older clients ignore members they do not know, so
// a member is only ever added, never renamed, and a manifest without one of
// the later members ("chunkSize", "cutting", "previousManifestSha256") reads
// as the release it was.

#include "release/Manifest.h"

#include <algorithm>

#include "foundation/Crypto.h"
#include "foundation/JsonWriter.h"

namespace vantis::content {

namespace {

const std::string& textOf(const JsonValue& value) {
  return value.asString(JsonValue::sEmptyString);
}

// A whole number above 0, else 0.
std::uint64_t positiveWhole(const JsonValue& value) {
  const long long number = value.asInt(0);
  const bool whole = value.kind == JsonValue::Kind::Number &&
                     static_cast<double>(number) == value.asNumber(0.0);
  return whole && number > 0 ? static_cast<std::uint64_t>(number) : 0;
}

// A whole number from 0 up, else nothing: an empty list is 0 bytes long,
// which is not the same as a size the manifest does not give.
std::optional<std::uint64_t> wholeOrNothing(const JsonValue& value) {
  const long long number = value.asInt(-1);
  const bool whole = value.kind == JsonValue::Kind::Number &&
                     static_cast<double>(number) == value.asNumber(-1.0);
  if (!whole || number < 0) return std::nullopt;
  return static_cast<std::uint64_t>(number);
}

ListPart readPart(const JsonValue& parts, const ListDocument& list) {
  const JsonValue& member = parts[list.part];
  ListPart part;
  part.present = member.kind != JsonValue::Kind::Null;
  part.path = textOf(member["path"]);
  part.sha256 = textOf(member["sha256"]);
  part.count = positiveWhole(member[list.countMember]);
  part.size = wholeOrNothing(member["size"]);
  return part;
}

std::string partText(const Manifest& manifest, const ListDocument& list) {
  const ListPart& part = manifest.part(list);
  JsonObjectWriter writer;
  writer.text("path", listFile(manifest.packVersion, list.file))
      .text("sha256", part.sha256)
      .unsignedNumber(list.countMember, part.count);
  if (part.size) writer.unsignedNumber("size", *part.size);
  return writer.finish();
}

BlobCutting readCutting(const JsonValue& document) {
  if (document.has("cutting")) return readCuttingMember(document["cutting"]);
  const BlobCutting fixed = fixedCutting(positiveWhole(document["chunkSize"]));
  return cuttingProblem(fixed).empty() ? fixed : BlobCutting();
}

const ListDocument kSectionedLists[] = {kFilesRequiredList, kFilesOptionalList, kBundlesList};

// One [digest, size] pair, or nothing when it is not one.
std::optional<ListSection> readSection(const JsonValue& pair) {
  if (pair.kind != JsonValue::Kind::Array || pair.size() != 2) return std::nullopt;
  const std::string& digest = textOf(pair[0]);
  const std::optional<std::uint64_t> size = wholeOrNothing(pair[1]);
  if (!isLowerHexDigest(digest) || !size || *size > kMaxBodyBytes) return std::nullopt;
  return ListSection{digest, *size};
}

void readSections(const JsonValue& document, Manifest& manifest) {
  if (!document.has("sections")) return;
  const JsonValue& member = document["sections"];
  if (member.kind != JsonValue::Kind::Object) {
    manifest.sectionsMalformed = true;
    return;
  }
  for (const ListDocument& list : kSectionedLists) {
    if (!member.has(list.part)) continue;
    std::optional<ListSections> read = readSectionTable(member[list.part], manifest.part(list).size);
    if (!read) {
      manifest.sectionsMalformed = true;
      manifest.sections.clear();
      return;
    }
    manifest.sections[list.part] = std::move(*read);
  }
}

std::string sectionsText(const Manifest& manifest) {
  JsonObjectWriter writer;
  for (const ListDocument& list : kSectionedLists) {
    const ListSections& sections = manifest.sectionsOf(list);
    if (!sections.present) continue;
    writer.raw(list.part, sectionTableText(sections));
  }
  return writer.finish();
}

std::string arrayOrEmpty(const JsonValue& value) {
  return value.kind == JsonValue::Kind::Array ? writeJson(value) : "[]";
}

void readEncoding(const JsonValue& document, Manifest& manifest) {
  if (!document.has("encoding")) return;
  const std::optional<Encoding> named = encodingNamed(textOf(document["encoding"]));
  manifest.encodingUnknown = !named;
  if (named) manifest.encoding = *named;
}

}  // namespace

std::optional<ListSections> readSectionTable(const JsonValue& member,
                                             std::optional<std::uint64_t> total) {
  ListSections list;
  list.present = true;
  const bool array = member.kind == JsonValue::Kind::Array;
  if (!array || member.size() > kMaxSectionsPerList) return std::nullopt;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < member.size(); ++i) {
    const std::optional<ListSection> section = readSection(member[i]);
    if (!section) return std::nullopt;
    sum += section->size;
    list.sections.push_back(*section);
  }
  const bool addsUp = !total || *total == sum;
  if (!addsUp) return std::nullopt;
  return list;
}

std::string sectionTableText(const ListSections& sections) {
  std::string pairs = "[";
  for (const ListSection& section : sections.sections) {
    if (pairs.size() > 1) pairs += ',';
    pairs += "[" + quoteJson(section.sha256) + "," + std::to_string(section.size) + "]";
  }
  return pairs + "]";
}

const ListPart& Manifest::part(const ListDocument& list) const {
  const std::string name = list.part;
  if (name == kFilesRequiredList.part) return filesRequired;
  if (name == kFilesOptionalList.part) return filesOptional;
  if (name == kBundlesList.part) return bundles;
  return filesRetired;
}

const ListSections& Manifest::sectionsOf(const ListDocument& list) const {
  static const ListSections sNone;
  const auto found = sections.find(list.part);
  return found == sections.end() ? sNone : found->second;
}

bool sectionedList(const ListDocument& list) {
  for (const ListDocument& sectioned : kSectionedLists) {
    if (std::string(sectioned.part) == list.part) return true;
  }
  return false;
}

ListPart& Manifest::part(const ListDocument& list) {
  return const_cast<ListPart&>(static_cast<const Manifest&>(*this).part(list));
}

Manifest readManifest(const JsonValue& document) {
  Manifest manifest;
  manifest.packVersion = textOf(document["packVersion"]);
  manifest.sequence = document["sequence"].asInt(0);
  manifest.fileCount = positiveWhole(document["fileCount"]);
  manifest.cutting = readCutting(document);
  readEncoding(document, manifest);
  manifest.namesPrevious = document.has("previousManifestSha256");
  manifest.previousManifest = textOf(document["previousManifest"]);
  manifest.previousManifestSha256 = textOf(document["previousManifestSha256"]);
  const JsonValue& parts = document["parts"];
  for (const ListDocument& list :
       {kFilesRequiredList, kFilesOptionalList, kBundlesList, kFilesRetiredList}) {
    manifest.part(list) = readPart(parts, list);
  }
  readSections(document, manifest);
  manifest.configRequired = textOf(document["config"]["required"]);
  manifest.configOptional = textOf(document["config"]["optional"]);
  manifest.credits = document["credits"];
  manifest.people = document["people"];
  return manifest;
}

Result<std::string> manifestText(const Manifest& manifest) {
  const std::string config = JsonObjectWriter()
                                 .text("required", manifest.configRequired)
                                 .text("optional", manifest.configOptional)
                                 .finish();
  const std::string parts = JsonObjectWriter()
                                .raw(kFilesRequiredList.part, partText(manifest, kFilesRequiredList))
                                .raw(kFilesOptionalList.part, partText(manifest, kFilesOptionalList))
                                .raw(kBundlesList.part, partText(manifest, kBundlesList))
                                .raw(kFilesRetiredList.part, partText(manifest, kFilesRetiredList))
                                .finish();
  JsonObjectWriter writer;
  writer.text("packVersion", manifest.packVersion)
      .number("sequence", manifest.sequence)
      .unsignedNumber("fileCount", manifest.fileCount);
  // Clients that know how the files were cut cut an installed copy the same
  // way and keep the blobs a changed file still shares with it. A release
  // cut by content says so in "cutting" and leaves "chunkSize" out: clients
  // that know only "chunkSize" then download changed files whole, as for a
  // release that named no size, instead of cutting at the wrong places.
  if (manifest.cutting.method == CutMethod::fixed) {
    writer.unsignedNumber("chunkSize", manifest.cutting.maxSize);
  } else if (manifest.cutting.method == CutMethod::gear) {
    writer.raw("cutting", cuttingMemberText(manifest.cutting));
  }
  // A gzip release leaves the member out, so that it reads exactly as one
  // written before the member existed.
  if (manifest.encoding != Encoding::gzip) writer.text("encoding", encodingName(manifest.encoding));
  // Only the publisher reads these back, to learn the folder's history from
  // releases the signed pointer vouches for and from nothing else.
  if (manifest.namesPrevious) {
    writer.text("previousManifest", manifest.previousManifest)
        .text("previousManifestSha256", manifest.previousManifestSha256);
  }
  writer.raw("parts", parts);
  // Older clients ignore "sections" and fetch the whole lists, which the
  // publisher keeps writing beside them.
  if (!manifest.sections.empty()) writer.raw("sections", sectionsText(manifest));
  std::string text = writer.raw("config", config)
                         .raw("credits", arrayOrEmpty(manifest.credits))
                         .raw("people", arrayOrEmpty(manifest.people))
                         .finish();
  if (!isUtf8(text)) return Failure{"the manifest holds text that is not UTF-8"};
  if (text.size() > kMaxDocumentBytes) {
    return Failure{"the manifest would be " + std::to_string(text.size()) +
                   " bytes; players read at most 8 MiB (shorten the credits)"};
  }
  // The credits arrays sit two levels down ({"credits":[...]}).
  const int depth = 1 + std::max(nestingDepth(manifest.credits), nestingDepth(manifest.people));
  if (depth > kMaxNesting) {
    return Failure{
        "the credits are nested too deeply; players read at most 15 levels in the manifest"};
  }
  return text;
}

}  // namespace vantis::content
