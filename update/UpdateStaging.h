// The staging of an update, shared by the download (which leaves it) and the
// installer (which consumes it): the registry values under
// HKEY_CURRENT_USER\Software\Halvane\KzAutoUpdate, a key owner that reads and
// writes them, and the path pieces both need. These names and types are a
// contract between program versions: an old version stages what a new one
// installs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace rl {

// Values of the main key.
inline constexpr char kValueAppName[] = "AppName";
inline constexpr char kValueTempPath[] = "TempPath";
inline constexpr char kValueParamCount[] = "ParamCount";
inline constexpr char kValueSilent[] = "Silent";
inline constexpr char kValueLogFile[] = "LogFile";
inline constexpr char kValueParam[] = "Param";  // followed by 1..ParamCount
// Values of each staged file's subkey below kStagingFilesKey.
inline constexpr char kValueTempFile[] = "TempFile";
inline constexpr char kValueDestFile[] = "DestFile";
inline constexpr char kValueFileDate[] = "FileDate";
inline constexpr char kValuePendingReboot[] = "PendingReboot";
inline constexpr char kValueError[] = "Error";
// The statement that vouches for the staged file, as it was verified.
inline constexpr char kValueSignature[] = "Signature";

// A key of HKEY_CURRENT_USER, closed when the owner goes. Every call on a key
// that did not open fails quietly.
class TStagingKey {
public:
    // Opens the key; with create, makes it and its missing parents first.
    TStagingKey(const std::string& path, bool create, std::uint32_t access);
    ~TStagingKey();
    TStagingKey(const TStagingKey&) = delete;
    TStagingKey& operator=(const TStagingKey&) = delete;

    bool IsOpen() const { return key_ != 0; }
    bool HasValue(const std::string& name);
    // A REG_DWORD of four bytes; nothing for a missing value or another type.
    std::optional<std::int32_t> Integer(const std::string& name);
    // A REG_SZ or REG_EXPAND_SZ, up to its first zero byte; nothing for a
    // missing value or another type.
    std::optional<std::string> String(const std::string& name);
    // As a registry object reads a string: empty when missing, and an
    // ERegistryException when the value is of another type.
    std::string ReadString(const std::string& name);

    bool WriteString(const std::string& name, const std::string& value);
    bool WriteInteger(const std::string& name, std::int32_t value);
    bool WriteBinary(const std::string& name, const std::vector<std::uint8_t>& value);
    bool DeleteValue(const std::string& name);

    // The subkeys' names in the order the registry gives them.
    std::vector<std::string> SubKeyNames();
    bool DeleteSubKey(const std::string& name);

private:
    RegKey key_ = 0;
};

// A date-time as the 8 bytes of "FileDate": the IEEE-754 double,
// little-endian.
std::vector<std::uint8_t> DateTimeBytes(double dateTime);

// Path pieces in the build's path style (backslashes and drive colons on
// Windows, slashes elsewhere).
char PathSeparator();
// ASCII letters in lower case; other bytes as they are.
char LowerAscii(char c);
std::string LowerAscii(std::string text);
// The folder with its trailing separator; empty when the path has none.
std::string FolderOf(const std::string& path);
std::string FileNameOf(const std::string& path);
// The file name's extension with its dot; empty when it has none.
std::string ExtensionOf(const std::string& path);
// The empty file that CreateTempFile made for a staged file, which is named
// after it with the destination's extension added; empty when the staged
// file took the placeholder's own name.
std::string PlaceholderOf(const std::string& stagedFile, const std::string& destination);

// Whether two paths name the same file: letter case does not count in
// Windows paths, it does in POSIX paths.
bool SamePath(const std::string& a, const std::string& b);

}  // namespace rl
