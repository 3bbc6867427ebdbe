#include "app/AppIdMatch.h"

#include <algorithm>
#include <cctype>

namespace rl {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::vector<std::string> AppIdProgramNames(const std::string& appId) {
    std::vector<std::string> names;
    if (appId.empty()) return names;
    names.push_back(Lower(appId));
    const auto dot = appId.rfind('.');
    if (dot != std::string::npos) {
        // "org.example." has no last part: only the whole id stands.
        std::string last = Lower(appId.substr(dot + 1));
        if (!last.empty()) names.push_back(std::move(last));
    }
    return names;
}

bool AppIdMatchesEntry(const std::string& appId, const std::string& entry) {
    const auto slash = entry.find_last_of("/\\");
    const std::string fileName = Lower(slash == std::string::npos ? entry : entry.substr(slash + 1));
    if (fileName.empty()) return false;
    const auto names = AppIdProgramNames(appId);
    return std::find(names.begin(), names.end(), fileName) != names.end();
}

}  // namespace rl
