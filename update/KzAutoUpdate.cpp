// TKzAutoUpdate's properties and what the check shares with the download:
// credentials, the parts of UpdateURL, file entries and local paths, the
// entry list, the update listing and the log's name.
#include "update/KzAutoUpdate.h"

#include <algorithm>

#include "support/Application.h"
#include "support/Encrypt.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"
#include "update/KzHTTP.h"
#include "update/UpdateStaging.h"

namespace rl {

namespace {

// The component's fixed scrambler settings.
constexpr std::uint8_t kCredentialLoChar = 32;
constexpr std::uint8_t kCredentialHiChar = 254;
constexpr std::int32_t kCredentialKey = 830457;
constexpr std::uint32_t kCredentialShift = 9071;

constexpr char kLogNameSuffix[] = " Update.log";
constexpr char kAppDirMacro[] = "appdir";
constexpr char kMacroDelimiter = '%';

// A fresh scrambler for each use, set up in the component's order.
void SetUpScrambler(TKzEncryptString& scrambler) {
    scrambler.SetLoChar(kCredentialLoChar);
    scrambler.SetHiChar(kCredentialHiChar);
    scrambler.SetEncryptionKey(kCredentialKey);
    scrambler.SetShift(kCredentialShift);
}

bool IsScrambled(const std::string& value) { return HasPrefix(value, kCredentialPrefix, true); }

// The running program's folder with its trailing separator; empty when the
// program's file is not known.
std::string ProgramFolder() {
    IApplication* application = ApplicationPort();
    if (application == nullptr) return {};
    std::string folder = FolderOf(application->ExeName());
    // "C:" alone names the drive's current folder, not its root.
    if (PathSeparator() == '\\' && !folder.empty() && folder.back() == ':') folder += '\\';
    return folder;
}

}  // namespace

std::string ScrambleCredential(const std::string& plain) {
    TKzEncryptString scrambler;
    SetUpScrambler(scrambler);
    return kCredentialPrefix + scrambler.EncryptString(plain);
}

std::string DecodeCredential(const std::string& value) {
    std::string scrambled;
    if (!HasPrefix(value, kCredentialPrefix, true, &scrambled)) return value;
    TKzEncryptString scrambler;
    SetUpScrambler(scrambler);
    return scrambler.DecryptString(scrambled);
}

TKzAutoUpdate::TKzAutoUpdate() = default;

void TKzAutoUpdate::SetHTTPUsername(const std::string& value) {
    httpUsername_ = IsScrambled(value) ? value : ScrambleCredential(value);
}

void TKzAutoUpdate::SetHTTPPassword(const std::string& value) {
    httpPassword_ = IsScrambled(value) ? value : ScrambleCredential(value);
}

void TKzAutoUpdate::GetCredentials(std::string& userName, std::string& password) const {
    userName = httpUsername_.empty() ? std::string(NullStringValue) : DecodeCredential(httpUsername_);
    password = httpPassword_.empty() ? std::string(NullStringValue) : DecodeCredential(httpPassword_);
}

void TKzAutoUpdate::SplitUpdateURL(std::string& base, std::string& packageName, std::string& query) const {
    std::string url = UpdateURL;
    query.clear();
    if (const std::size_t mark = url.find('?'); mark != std::string::npos) {
        query = url.substr(mark);
        url.erase(mark);
    }
    base = url;
    packageName.clear();
    if (const std::size_t slash = url.rfind('/'); slash != std::string::npos) {
        base = url.substr(0, slash + 1);
        packageName = url.substr(slash + 1);
    }
}

std::string TKzAutoUpdate::UpdateLogFileName() {
    // Without the user's temporary folder there is no log: a bare name would
    // land in whatever the current folder happens to be.
    const std::string folder = GetTempFolder();
    if (folder.empty()) return {};
    return folder + FilterChars(ApplicationTitle(), FileNameChars, false, "", false) + kLogNameSuffix;
}

void TKzAutoUpdate::SplitFileEntry(const std::string& entry, std::string& localPath, std::string& remoteName) const {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) {
        localPath = entry;
        remoteName = entry;
    } else {
        localPath = entry.substr(0, equals);
        remoteName = entry.substr(equals + 1);
    }
    localPath = ExpandLocalPath(localPath);
}

std::string TKzAutoUpdate::ExpandLocalPath(const std::string& path) const {
    const std::string folder = ProgramFolder();
    const VariableResolver appDir = [&folder](const std::string&, const std::string& name, int) {
        return LowerAscii(name) == kAppDirMacro ? folder : std::string();
    };
    const std::string expanded = ExpandVariables(ExpandEnvVars(path), kMacroDelimiter, 0, appDir);
    // An empty path names no file; resolved, it would name the program's
    // folder itself.
    if (expanded.empty()) return {};
    return ResolvePath(folder, expanded);
}

std::vector<std::string> TKzAutoUpdate::EntryList() const {
    std::string base, packageName, query;
    SplitUpdateURL(base, packageName, query);
    IApplication* application = ApplicationPort();
    std::vector<std::string> entries;
    entries.push_back((application != nullptr ? application->ExeName() : std::string()) + "=" + packageName);
    entries.insert(entries.end(), auxFiles_.begin(), auxFiles_.end());
    return entries;
}

std::vector<std::string> TKzAutoUpdate::ListingLines(const std::string& text) {
    const std::string content = text.substr(0, text.find('\0'));
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(content.substr(start));
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + (content.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

}  // namespace rl
