// Typed registry access: TKzRegistry opens or creates a key with ever smaller
// access rights until one is granted, and stores integers and string lists.
// String lists are stored as one REG_MULTI_SZ value: each item followed by a
// zero byte, then one more zero byte.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace rl {

// The unit reaches the registry through this port; without one every key
// fails to open, so reads give their defaults and writes fail.
void SetRegistryPort(IRegistry* port);
IRegistry& RegistryPort();

class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class RegDataKind : int {
    Unknown = 0,
    String = 1,
    ExpandString = 2,
    Integer = 3,
    Binary = 4,
    MultiString = 5,
    Int64 = 6,
};

std::uint32_t RegTypeOfKind(RegDataKind kind);
RegDataKind KindOfRegType(std::uint32_t type);

// The access masks OpenKey tries, in order.
inline constexpr std::uint32_t kOpenKeyCascade[] = {0xF003F, 0x2001F, 0x2001B, 0x000B,
                                                     0x20019, 0x0009,  0x0001};

class TKzRegistry {
public:
    TKzRegistry();
    ~TKzRegistry();
    TKzRegistry(const TKzRegistry&) = delete;
    TKzRegistry& operator=(const TKzRegistry&) = delete;

    void SetRootKey(RegKey root);
    // Opens (or, with canCreate, creates) the key; a leading backslash
    // resolves from the root, any other path from the open key if there is
    // one. On success the previous key is closed.
    bool OpenKey(const std::string& path, bool canCreate);
    void CloseKey();

    void WriteInteger(const std::string& name, std::int32_t value);
    void WriteStringList(const std::string& name, const std::vector<std::string>& list);
    // Raises ERegistryException when the registry refuses the value.
    void PutData(const std::string& name, const std::uint8_t* data, std::uint32_t size, RegDataKind kind);

    RegKey CurrentKey() const { return currentKey_; }
    RegKey RootKey() const { return rootKey_; }
    bool LazyWrite() const { return lazyWrite_; }
    const std::string& CurrentPath() const { return currentPath_; }
    bool CloseRootKey() const { return closeRootKey_; }
    std::uint32_t Access() const { return access_; }
    void SetAccess(std::uint32_t access) { access_ = access; }

private:
    IRegistry& port_;
    RegKey currentKey_ = 0;
    RegKey rootKey_ = 0;
    bool lazyWrite_ = true;
    std::string currentPath_;
    bool closeRootKey_ = false;
    std::uint32_t access_ = 0;
};

// The stored image of a string list.
std::vector<std::uint8_t> MultiStringImage(const std::vector<std::string>& list);

// Reads a REG_MULTI_SZ value of an open key into list (emptied first). The
// last byte is taken as the list's final terminator and never examined; an
// unterminated item before it is dropped. Raises ERegistryException when the
// value is not a non-empty REG_MULTI_SZ or cannot be read.
void ReadMultiString(IRegistry& port, RegKey key, const std::string& name, std::vector<std::string>& list);

// Deletes a key with all its subkeys and values, deepest first. A failed
// enumeration deletes nothing more and gives its error.
RegResult DeleteKeyTree(IRegistry& port, RegKey base, const std::string& path);

}  // namespace rl
