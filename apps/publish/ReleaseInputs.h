// The small input files of a release besides its content: the engine
// configuration template of each tier and the credits. Read and checked
// before the server folder is touched.
//
// Pure functions over files; any thread.
#pragma once

#include <string>

#include "foundation/Json.h"

namespace vantis::publish {

// The token that players replace with the folder of their own game data.
extern const char* const kDataFolderToken;

// Reads a configuration template. It must be UTF-8 text (the manifest is
// JSON). `hasToken` tells whether it names the data folder.
bool loadConfigTemplate(const std::string& path, std::string& text, bool& hasToken,
                        std::string& error);

// Reads the credits file: a JSON object whose "credits" and "people" members,
// each optional, are arrays; no other members. Missing arrays come back
// empty.
bool loadCredits(const std::string& path, content::JsonValue& credits, content::JsonValue& people,
                 std::string& error);

}  // namespace vantis::publish
