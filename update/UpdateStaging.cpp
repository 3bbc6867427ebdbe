// The staging's registry access and ClearStagedUpdate, which removes a staging
// at every normal start, after a successful installation and before a new
// download. The installer and the restarted program may clear at the same
// time, so every key, value and file may already be gone.
#include "update/UpdateStaging.h"

#include <cstring>

#include "support/KzFileLib.h"
#include "support/KzRegistry.h"
#include "support/VorlLibText.h"
#include "update/KzAutoUpdate.h"

namespace rl {

namespace {

constexpr std::uint32_t kReadWrite = kKeyRead | kKeyWrite;

bool IsString(std::uint32_t type) { return type == kRegSz || type == kRegExpandSz; }

bool Exists(IFileSystem& files, const std::string& name) {
    return files.GetFileAttributes(name) != kInvalidFileAttributes;
}

bool AlreadyGone(std::uint32_t error) { return error == kErrorFileNotFoundCode || error == kErrorPathNotFoundCode; }

// What cannot be removed now (a running program's file, a folder that still
// holds something) is left to the next restart of Windows.
void RemoveOrSchedule(IFileSystem& files, const std::string& name, bool folder) {
    if (folder ? files.RemoveDirectory(name) : files.DeleteFile(name)) return;
    if (AlreadyGone(files.LastError())) return;
    files.MoveFileEx(name, "", kMovefileDelayUntilReboot);
}

}  // namespace

TStagingKey::TStagingKey(const std::string& path, bool create, std::uint32_t access) {
    IRegistry& registry = RegistryPort();
    RegKey key = 0;
    const RegResult result = create ? registry.CreateKey(kHKeyCurrentUser, path, access, key, nullptr)
                                    : registry.OpenKey(kHKeyCurrentUser, path, access, key);
    key_ = result == kErrorSuccess ? key : 0;
}

TStagingKey::~TStagingKey() {
    if (key_ != 0) RegistryPort().CloseKey(key_);
}

bool TStagingKey::HasValue(const std::string& name) {
    std::uint32_t size = 0;
    return IsOpen() && RegistryPort().QueryValue(key_, name, nullptr, nullptr, &size) == kErrorSuccess;
}

std::optional<std::int32_t> TStagingKey::Integer(const std::string& name) {
    if (!IsOpen()) return std::nullopt;
    std::uint8_t bytes[4] = {};
    std::uint32_t type = kRegNone;
    std::uint32_t size = sizeof bytes;
    if (RegistryPort().QueryValue(key_, name, &type, bytes, &size) != kErrorSuccess || type != kRegDword ||
        size != sizeof bytes)
        return std::nullopt;
    return static_cast<std::int32_t>(std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                     std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24);
}

std::optional<std::string> TStagingKey::String(const std::string& name) {
    if (!IsOpen()) return std::nullopt;
    IRegistry& registry = RegistryPort();
    std::uint32_t type = kRegNone;
    std::uint32_t size = 0;
    if (registry.QueryValue(key_, name, &type, nullptr, &size) != kErrorSuccess || !IsString(type))
        return std::nullopt;
    // The size may grow between the two queries, or be reported too large.
    std::vector<std::uint8_t> data(size + 1);
    for (;;) {
        size = static_cast<std::uint32_t>(data.size());
        const RegResult result = registry.QueryValue(key_, name, &type, data.data(), &size);
        if (result == kErrorMoreData) {
            data.resize(size + 1);
            continue;
        }
        if (result != kErrorSuccess || !IsString(type)) return std::nullopt;
        break;
    }
    data.resize(size);
    const auto* text = reinterpret_cast<const char*>(data.data());
    return std::string(text, strnlen(text, data.size()));
}

std::string TStagingKey::ReadString(const std::string& name) {
    if (!HasValue(name)) return {};
    std::optional<std::string> value = String(name);
    if (!value) throw ERegistryException("Invalid data type for '" + name + "'");
    return *value;
}

bool TStagingKey::WriteString(const std::string& name, const std::string& value) {
    // Stored with its terminating zero, as the registry's readers expect.
    return IsOpen() && RegistryPort().SetValue(key_, name, kRegSz, reinterpret_cast<const std::uint8_t*>(value.c_str()),
                                               static_cast<std::uint32_t>(value.size() + 1)) == kErrorSuccess;
}

bool TStagingKey::WriteInteger(const std::string& name, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                                   static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
    return IsOpen() && RegistryPort().SetValue(key_, name, kRegDword, bytes, sizeof bytes) == kErrorSuccess;
}

bool TStagingKey::WriteBinary(const std::string& name, const std::vector<std::uint8_t>& value) {
    return IsOpen() && RegistryPort().SetValue(key_, name, kRegBinary, value.data(),
                                               static_cast<std::uint32_t>(value.size())) == kErrorSuccess;
}

bool TStagingKey::DeleteValue(const std::string& name) {
    return IsOpen() && RegistryPort().DeleteValue(key_, name) == kErrorSuccess;
}

std::vector<std::string> TStagingKey::SubKeyNames() {
    std::vector<std::string> names;
    if (!IsOpen()) return names;
    std::string name;
    for (std::uint32_t i = 0; RegistryPort().EnumSubKey(key_, i, name) == kErrorSuccess; ++i) names.push_back(name);
    return names;
}

bool TStagingKey::DeleteSubKey(const std::string& name) {
    return IsOpen() && RegistryPort().DeleteSubKey(key_, name) == kErrorSuccess;
}

std::vector<std::uint8_t> DateTimeBytes(double dateTime) {
    std::uint64_t bits = 0;
    static_assert(sizeof bits == sizeof dateTime);
    std::memcpy(&bits, &dateTime, sizeof bits);
    std::vector<std::uint8_t> bytes(8);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    return bytes;
}

char PathSeparator() {
    const IFileSystem* files = FileSystemPort();
    return files != nullptr && files->Style() == PathStyle::Posix ? '/' : '\\';
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string text) {
    for (char& c : text) c = LowerAscii(c);
    return text;
}

std::string FolderOf(const std::string& path) {
    const std::size_t cut = path.find_last_of(PathSeparator() == '/' ? "/" : "\\:");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string FileNameOf(const std::string& path) { return path.substr(FolderOf(path).size()); }

std::string ExtensionOf(const std::string& path) {
    const std::string name = FileNameOf(path);
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

bool SamePath(const std::string& a, const std::string& b) {
    if (PathSeparator() == '/') return a == b;
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

std::string PlaceholderOf(const std::string& stagedFile, const std::string& destination) {
    const std::string extension = ExtensionOf(destination);
    if (extension.empty() || stagedFile.size() <= extension.size() ||
        stagedFile.compare(stagedFile.size() - extension.size(), extension.size(), extension) != 0)
        return {};
    return stagedFile.substr(0, stagedFile.size() - extension.size());
}

void ClearStagedUpdate() {
    std::string stagingFolder;
    {
        TStagingKey main(kStagingKey, false, kReadWrite);
        if (main.IsOpen()) {
            main.DeleteValue(kValueAppName);
            main.DeleteValue(kValueSilent);
            if (const std::optional<std::int32_t> count = main.Integer(kValueParamCount)) {
                // The count is not trusted: delete up to the first missing
                // value, never more than a command line can hold.
                constexpr std::int32_t kMaxParams = 16384;
                for (std::int32_t i = 1; i <= *count && i <= kMaxParams; ++i)
                    if (!main.DeleteValue(kValueParam + std::to_string(i))) break;
                main.DeleteValue(kValueParamCount);
            }
            if (const std::optional<std::string> folder = main.String(kValueTempPath)) {
                stagingFolder = *folder;
                main.DeleteValue(kValueTempPath);
            }
        }
    }

    std::vector<std::string> names;
    {
        TStagingKey staged(kStagingFilesKey, false, kKeyRead);
        names = staged.SubKeyNames();
    }
    IFileSystem* files = FileSystemPort();
    for (const std::string& name : names) {
        const std::string path = std::string(kStagingFilesKey) + "\\" + name;
        {
            TStagingKey file(path, false, kKeyRead);
            if (!file.IsOpen()) continue;
            const std::optional<std::string> tempFile = file.String(kValueTempFile);
            // A file marked for the restart is Windows' to move into place.
            if (tempFile && files != nullptr && Exists(*files, *tempFile) && !file.HasValue(kValuePendingReboot))
                RemoveOrSchedule(*files, *tempFile, false);
            // The empty file whose name the staged file took, with the
            // destination's extension added: left behind, it would keep the
            // staging folder from ever being removed.
            const std::string placeholder = tempFile ? PlaceholderOf(*tempFile, file.String(kValueDestFile).value_or(""))
                                                     : std::string();
            if (!placeholder.empty() && files != nullptr && Exists(*files, placeholder))
                RemoveOrSchedule(*files, placeholder, false);
        }
        TStagingKey(kStagingFilesKey, false, kReadWrite).DeleteSubKey(name);
    }

    if (!stagingFolder.empty() && files != nullptr) {
        const std::string folder = TrimChars(stagingFolder, std::string(1, PathSeparator()), 0, kTrimTrailing);
        if (!folder.empty()) RemoveOrSchedule(*files, folder, true);
    }
}

}  // namespace rl
