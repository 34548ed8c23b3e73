// Reading the configuration templates and the credits. The credits are
// copied into the manifest as they are; only their outer shape is checked,
// because a typo in a member name ("credit") would otherwise publish a release
// with no credits at all and no word about it.

#include "ReleaseInputs.h"

#include "Files.h"
#include "foundation/JsonWriter.h"

namespace vantis::publish {

const char* const kDataFolderToken = "@@DUSKMERE_DATA_FILES@@";

bool loadConfigTemplate(const std::string& path, std::string& text, bool& hasToken,
                        std::string& error) {
  if (!readFile(path, text)) {
    error = "cannot read the configuration template " + path;
    return false;
  }
  if (!content::isUtf8(text)) {
    error = "the configuration template " + path + " is not UTF-8 text";
    return false;
  }
  hasToken = text.find(kDataFolderToken) != std::string::npos;
  return true;
}

bool loadCredits(const std::string& path, content::JsonValue& credits, content::JsonValue& people,
                 std::string& error) {
  using Kind = content::JsonValue::Kind;
  std::string text, message;
  content::JsonValue document;
  if (!readFile(path, text)) {
    error = "cannot read the credits file " + path;
    return false;
  }
  if (!content::parseJson(text, document, message)) {
    // Read as players read the manifest, so its limits hold here already.
    error = "the credits file " + path + " is not JSON that players can read: " + message;
    return false;
  }
  if (document.kind != Kind::Object) {
    error = "the credits file " + path + " must hold a JSON object";
    return false;
  }
  credits = people = content::JsonValue();
  credits.kind = people.kind = Kind::Array;
  for (const auto& [key, value] : document.members) {
    content::JsonValue* slot = key == "credits" ? &credits : key == "people" ? &people : nullptr;
    if (!slot) {
      error = "the credits file " + path + " has an unknown member \"" + key +
              "\" (it may hold \"credits\" and \"people\")";
      return false;
    }
    if (value.kind != Kind::Array) {
      error = "\"" + key + "\" in the credits file " + path + " must be an array";
      return false;
    }
    *slot = value;
  }
  return true;
}

}  // namespace vantis::publish
