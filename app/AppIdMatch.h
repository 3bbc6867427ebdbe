// Where a Wayland compositor names the program in front only by its app id
// (wlroots' foreign-toplevel list), the exception list's full paths are
// matched by file name: an app id stands for the program files named
//   - the app id itself, and
//   - for a reverse-DNS id (one with a dot), its last dot-separated part
//     (org.mozilla.firefox: "org.mozilla.firefox" and "firefox"),
// lower-cased. An entry matches when its file name (the part after the last
// '/' or '\') equals one of them, case ignored (ASCII letters only). An
// empty app id, or an entry ending in a separator, matches nothing.
#pragma once

#include <string>
#include <vector>

namespace rl {

// The file names, lower-cased; empty for an empty app id.
std::vector<std::string> AppIdProgramNames(const std::string& appId);

// True when the exception-list entry (a full path) is one of the app id's
// program files.
bool AppIdMatchesEntry(const std::string& appId, const std::string& entry);

}  // namespace rl
