// The registry functions of the utility unit: each opens its key, reads or
// writes one value, closes the key, and never lets an error escape.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace rl {

// The program's settings key under kHKeyCurrentUser.
inline constexpr char kSettingsKey[] = "SOFTWARE\\Halvane\\RestLevel";

// The stored REG_DWORD, or defaultValue when the key does not open with
// exactly `access`, or the value is missing or anything but a four-byte
// REG_DWORD (a shorter one included).
std::int32_t RegReadInteger(RegKey root, const std::string& path, const std::string& name,
                            std::uint32_t access, std::int32_t defaultValue);

// Reads a string list into target: true when the value was read; else
// target holds a copy of defaultList (when given) or nothing. Never creates.
bool RegReadStringList(RegKey root, const std::string& path, const std::string& name, std::uint32_t access,
                       const std::vector<std::string>* defaultList, std::vector<std::string>& target);

// Store a value, creating the key if needed; true when stored.
bool RegWriteInteger(RegKey root, const std::string& path, const std::string& name, std::int32_t value);
bool RegWriteStringList(RegKey root, const std::string& path, const std::string& name,
                        const std::vector<std::string>& list);

}  // namespace rl
