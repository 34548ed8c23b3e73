// Every sentence the synchroniser's library shows a player, in one place:
// launchers and tests compare these texts, so they are a contract, and
// reading them together shows what a player can be told. Sentences end in a
// full stop; the fragments at the end are lower-case phrases that the report
// embeds in a line of its own.
//
// Constants and pure functions; any thread. The HTTP client's phrases stay
// with the client (they are embedded in "A download failed: ..."), and the
// command line's usage texts with the command line.
#pragma once

#include <string>

namespace vantis::content::messages {

// ---- One run per instance -------------------------------------------------------

inline constexpr const char* kAnotherUpdateRunning =
    "Another update of this instance is running. Wait for it to finish and try again.";

// ---- Release check -------------------------------------------------------------

inline constexpr const char* kPointerMalformed = "The release pointer was malformed.";
inline std::string pointerUnparsable(const std::string& parserMessage) {
  return "The release pointer was malformed: " + parserMessage;
}
inline constexpr const char* kNotGenuine =
    "The update could not be verified as genuine and has been refused.";
inline constexpr const char* kSignedPointerMalformed = "The signed release pointer was malformed.";
inline constexpr const char* kPointerIncomplete = "The release pointer was incomplete.";
inline constexpr const char* kOlderRelease =
    "The server offered an older release than the one installed. Refused.";
inline constexpr const char* kReleaseInfoOutOfDate =
    "The release information from the server is out of date. Refused.";
inline std::string serverUnreachable(const std::string& url) {
  return "Could not reach the content server at " + url;
}
inline std::string cannotCheck(const std::string& httpError) {
  return "Cannot check for updates: " + httpError + ".";
}
inline std::string serverReturned(long long status) {
  return "The content server returned " + std::to_string(status);
}

// ---- Manifest and lists ----------------------------------------------------------

inline constexpr const char* kManifestNotDownloaded = "Could not download the update manifest.";
inline constexpr const char* kManifestMismatch =
    "The update manifest did not match its signature. Refused.";
inline std::string manifestUnparsable(const std::string& parserMessage) {
  return "The update manifest was malformed: " + parserMessage;
}
inline constexpr const char* kFileListNotDownloaded = "Could not download the file list.";
inline constexpr const char* kFileListMismatch = "The file list did not match the manifest. Refused.";
inline constexpr const char* kFileListMalformed = "The file list was malformed.";
inline std::string unsafePath(const std::string& path) {
  return "The update contained an unsafe path and was refused: " + path;
}
inline constexpr const char* kEntryWithoutHash = "A file entry had no hash.";
inline constexpr const char* kBlobDigestMalformed = "The update manifest is malformed. Refused.";
// The same sentence for a manifest member the client cannot use.
inline constexpr const char* kManifestRefused = kBlobDigestMalformed;
// A release whose objects are compressed in a way this build cannot decode.
inline constexpr const char* kEncodingUnreadable =
    "The update is compressed in a way this SkarvelSync cannot read. Refused.";
inline constexpr const char* kBundleIndexNotDownloaded = "Could not download the bundle index.";
inline constexpr const char* kBundleIndexMismatch =
    "The bundle index did not match the manifest. Refused.";

// ---- Downloads and installing ------------------------------------------------------

inline constexpr const char* kCancelled = "Cancelled.";
inline std::string downloadFailed(const std::string& httpError) {
  return "A download failed: " + httpError;
}
inline constexpr const char* kBundleCorrupt = "A downloaded bundle was corrupt. Refused.";
inline constexpr const char* kBundleShort = "A bundle was shorter than its index claimed. Refused.";
inline constexpr const char* kDownloadCorrupt =
    "A downloaded file failed its integrity check. Refused.";
inline std::string cacheNotWritable(const std::string& cacheDir) {
  return "Could not write to " + cacheDir +
         ". Check there is free disk space and the folder is not read-only.";
}
inline std::string fileNotWritable(const std::string& path) {
  return "Could not write " + path +
         ". Check there is free disk space and the folder is not read-only.";
}
inline std::string fileNotPlaced(const std::string& path) {
  return "Could not write " + path + ". Check the folder is not read-only.";
}
// `needed` and `free` are size texts such as "1.2 GB" and "300.5 MB".
inline std::string notEnoughDiskSpace(const std::string& needed, const std::string& free) {
  return "Not enough free disk space for this update: " + needed + " needed, " + free + " free.";
}
inline constexpr const char* kNotAssembled =
    "An update file could not be assembled. Check there is free disk space.";
inline constexpr const char* kAssembledCorrupt =
    "An update file failed its integrity check. Refused.";

// ---- Records and configuration -------------------------------------------------------

inline constexpr const char* kStateNotWritten = "Could not record the installed version.";
inline constexpr const char* kConfigNotWritten = "Could not write corvane.cfg.";
inline constexpr const char* kDuskmereMissing =
    "Duskmere could not be found on this computer.\n\n"
    "Skarvel needs your own copy - Steam, GOG or disc all work. It is never downloaded.";

// ---- Removing the Overhaul -------------------------------------------------------------

inline constexpr const char* kCloseTheGame = "Close the game first.";
inline constexpr const char* kServerUnreachable = "Could not reach the content server.";
inline constexpr const char* kManifestUnverified = "The update manifest could not be verified.";
inline constexpr const char* kManifestMalformed = "The update manifest was malformed.";
inline constexpr const char* kFileListUnverified = "The file list could not be verified.";
inline constexpr const char* kChangeNotRecorded = "Could not record the change.";
inline constexpr const char* kRequiredSettingsNotWritten =
    "Overhaul was removed, but the Required settings could not be written. "
    "Start the launcher again to repair.";

// ---- Fragments of the report's "removed" line ---------------------------------------------

inline constexpr const char* kRetiredListNotDownloaded =
    "the list of removed files could not be downloaded";
inline constexpr const char* kRetiredListMismatch =
    "the list of removed files did not match the manifest; nothing removed";
inline constexpr const char* kRetiredListMalformed =
    "the list of removed files was malformed; nothing removed";

}  // namespace vantis::content::messages
