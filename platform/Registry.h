// The registry: keys holding typed values, reached through key handles that
// carry the access granted when they were opened. Results are Windows error
// codes (0 is success). The Win32 adapter passes straight through to the
// registry's ANSI functions; the Linux adapter keeps a per-user store with the
// same contract.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rl {

using RegKey = std::uintptr_t;   // HKEY on Windows, the adapter's own token on Linux
using RegResult = std::int32_t;  // a Windows error code

// Predefined roots. Only the current user's root exists on every platform.
constexpr RegKey kHKeyCurrentUser = 0x80000001u;
constexpr RegKey kHKeyLocalMachine = 0x80000002u;
inline bool IsPredefinedKey(RegKey key) { return key >= 0x80000000u && key <= 0x800000FFu; }

constexpr RegResult kErrorSuccess = 0;
constexpr RegResult kErrorInvalidFunction = 1;
constexpr RegResult kErrorFileNotFound = 2;
constexpr RegResult kErrorAccessDenied = 5;
constexpr RegResult kErrorInvalidHandle = 6;
constexpr RegResult kErrorInvalidParameter = 87;
constexpr RegResult kErrorBadPathname = 161;
constexpr RegResult kErrorMoreData = 234;
constexpr RegResult kErrorNoMoreItems = 259;
constexpr RegResult kErrorRegistryCorrupt = 1015;
constexpr RegResult kErrorRegistryIoFailed = 1016;
constexpr RegResult kErrorKeyDeleted = 1018;

// Access rights of a key handle.
constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;
constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr std::uint32_t kKeyNotify = 0x0010;
constexpr std::uint32_t kKeyCreateLink = 0x0020;
constexpr std::uint32_t kDelete = 0x00010000;
constexpr std::uint32_t kReadControl = 0x00020000;
constexpr std::uint32_t kWriteDac = 0x00040000;
constexpr std::uint32_t kWriteOwner = 0x00080000;
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyWrite = 0x20006;
constexpr std::uint32_t kKeyAllAccess = 0xF003F;
// The rights that change a key or what it holds; a store that can only be
// read grants none of them.
constexpr std::uint32_t kKeyChangingRights =
    kKeySetValue | kKeyCreateSubKey | kKeyCreateLink | kDelete | kWriteDac | kWriteOwner;

// Value types.
constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;
constexpr std::uint32_t kRegQword = 11;

// Dispositions of CreateKey.
constexpr std::uint32_t kRegCreatedNewKey = 1;
constexpr std::uint32_t kRegOpenedExistingKey = 2;

// Paths are relative to the base key, components separated by a backslash.
// Key and value names compare without regard to ASCII case and keep the
// spelling they were created with. All text is bytes in the ANSI code page.
class IRegistry {
public:
    virtual ~IRegistry() = default;

    // Opens an existing key; an empty path opens a second handle on the base.
    virtual RegResult OpenKey(RegKey base, const std::string& path, std::uint32_t access,
                              RegKey& result) = 0;
    // Opens the key, creating it and its missing parents first. disposition
    // (may be null) receives kRegCreatedNewKey or kRegOpenedExistingKey.
    virtual RegResult CreateKey(RegKey base, const std::string& path, std::uint32_t access,
                                RegKey& result, std::uint32_t* disposition) = 0;
    virtual RegResult CloseKey(RegKey key) = 0;

    // As the registry's value query: each pointer may be null. Without data
    // the size is reported; with data, *size is the buffer's size on entry
    // and the value's size on return, and a buffer too small gives
    // kErrorMoreData. Needs kKeyQueryValue.
    virtual RegResult QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                                 std::uint8_t* data, std::uint32_t* size) = 0;
    // Stores type and bytes exactly as given. Needs kKeySetValue.
    virtual RegResult SetValue(RegKey key, const std::string& name, std::uint32_t type,
                               const std::uint8_t* data, std::uint32_t size) = 0;
    // Needs kKeySetValue.
    virtual RegResult DeleteValue(RegKey key, const std::string& name) = 0;

    // The name of the index-th subkey (0-based); kErrorNoMoreItems past the
    // last. Needs kKeyEnumerateSubKeys.
    virtual RegResult EnumSubKey(RegKey key, std::uint32_t index, std::string& name) = 0;
    // The name of the index-th value; kErrorNoMoreItems past the last.
    // Needs kKeyQueryValue.
    virtual RegResult EnumValue(RegKey key, std::uint32_t index, std::string& name) = 0;
    // Deletes a subkey that has no subkeys of its own, with its values; the
    // path must name a subkey (not be empty).
    virtual RegResult DeleteSubKey(RegKey key, const std::string& path) = 0;
};

// Splits a key path into its names. A leading backslash makes the path bad;
// empty names between or after backslashes are skipped, as the registry does.
// An empty path has no names: it stands for the base key itself.
inline bool SplitKeyPath(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    if (!path.empty() && path.front() == '\\') return false;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        auto end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

// The registry of the platform this build targets: the system registry on
// Windows, the per-user store on Linux.
std::unique_ptr<IRegistry> CreateRegistry();

}  // namespace rl
