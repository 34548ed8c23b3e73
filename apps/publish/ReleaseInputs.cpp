// Reading the configuration templates and the credits. The credits are
// copied into the manifest as they are; only their outer shape is checked,
// because a typo in a member name ("credit") would otherwise publish a release
// with no credits at all and no word about it.

#include "ReleaseInputs.h"

#include "Files.h"
#include "SafePath.h"

namespace vantis::publish {

const char* const kDataFolderToken = "@@DUSKMERE_DATA_FILES@@";

bool loadConfigTemplate(const std::string& path, std::string& text, bool& hasToken,
                        std::string& error) {
  if (!readFile(path, text)) {
    error = "cannot read the configuration template " + path;
    return false;
  }
  if (!isUtf8(text)) {
    error = "the configuration template " + path + " is not UTF-8 text";
    return false;
  }
  hasToken = text.find(kDataFolderToken) != std::string::npos;
  return true;
}

bool loadCredits(const std::string& path, Json& credits, Json& people, std::string& error) {
  std::string text, message;
  Json document;
  if (!readFile(path, text)) {
    error = "cannot read the credits file " + path;
    return false;
  }
  if (!parseJsonText(text, document, message)) {
    error = "the credits file " + path + " is not JSON: " + message;
    return false;
  }
  if (!document.is_object()) {
    error = "the credits file " + path + " must hold a JSON object";
    return false;
  }
  credits = Json::array();
  people = Json::array();
  for (const auto& member : document.items()) {
    Json* slot = member.key() == "credits"  ? &credits
                 : member.key() == "people" ? &people
                                            : nullptr;
    if (!slot) {
      error = "the credits file " + path + " has an unknown member \"" + member.key() +
              "\" (it may hold \"credits\" and \"people\")";
      return false;
    }
    if (!member.value().is_array()) {
      error = "\"" + member.key() + "\" in the credits file " + path + " must be an array";
      return false;
    }
    *slot = member.value();
  }
  return true;
}

}  // namespace vantis::publish
