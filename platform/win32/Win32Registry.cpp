// The registry port over the registry's ANSI functions, passed straight through.
#include <windows.h>

#include <vector>

#include "platform/Registry.h"

namespace rl {
namespace {

// Predefined roots are 32-bit values that Windows sign-extends into a handle.
HKEY ToHkey(RegKey key) {
    if (IsPredefinedKey(key))
        return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(key))));
    return reinterpret_cast<HKEY>(key);
}

RegKey FromHkey(HKEY key) { return reinterpret_cast<RegKey>(key); }

class Win32Registry : public IRegistry {
public:
    RegResult OpenKey(RegKey base, const std::string& path, std::uint32_t access, RegKey& result) override {
        HKEY key = nullptr;
        const LONG r = RegOpenKeyExA(ToHkey(base), path.c_str(), 0, access, &key);
        if (r == ERROR_SUCCESS) result = FromHkey(key);
        return r;
    }

    RegResult CreateKey(RegKey base, const std::string& path, std::uint32_t access, RegKey& result,
                        std::uint32_t* disposition) override {
        HKEY key = nullptr;
        DWORD disp = 0;
        const LONG r = RegCreateKeyExA(ToHkey(base), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                       nullptr, &key, &disp);
        if (r == ERROR_SUCCESS) {
            result = FromHkey(key);
            if (disposition) *disposition = disp;
        }
        return r;
    }

    RegResult CloseKey(RegKey key) override { return RegCloseKey(ToHkey(key)); }

    RegResult QueryValue(RegKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                         std::uint32_t* size) override {
        DWORD t = 0;
        DWORD s = size ? *size : 0;
        const LONG r = RegQueryValueExA(ToHkey(key), name.c_str(), nullptr, type ? &t : nullptr, data,
                                        size ? &s : nullptr);
        if (type && (r == ERROR_SUCCESS || r == ERROR_MORE_DATA)) *type = t;
        if (size && (r == ERROR_SUCCESS || r == ERROR_MORE_DATA)) *size = s;
        return r;
    }

    RegResult SetValue(RegKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                       std::uint32_t size) override {
        return RegSetValueExA(ToHkey(key), name.c_str(), 0, type, data, size);
    }

    RegResult DeleteValue(RegKey key, const std::string& name) override {
        return RegDeleteValueA(ToHkey(key), name.c_str());
    }

    RegResult EnumSubKey(RegKey key, std::uint32_t index, std::string& name) override {
        char buffer[256];  // a key name has at most 255 characters
        DWORD length = sizeof buffer;
        const LONG r = RegEnumKeyExA(ToHkey(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_SUCCESS) name.assign(buffer, length);
        return r;
    }

    RegResult EnumValue(RegKey key, std::uint32_t index, std::string& name) override {
        std::vector<char> buffer(16384);  // a value name has at most 16383 characters
        DWORD length = static_cast<DWORD>(buffer.size());
        const LONG r =
            RegEnumValueA(ToHkey(key), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_SUCCESS) name.assign(buffer.data(), length);
        return r;
    }

    RegResult DeleteSubKey(RegKey key, const std::string& path) override {
        if (path.empty()) return ERROR_INVALID_PARAMETER;  // would delete the key itself
        return RegDeleteKeyA(ToHkey(key), path.c_str());
    }
};

}  // namespace

std::unique_ptr<IRegistry> CreateRegistry() { return std::make_unique<Win32Registry>(); }

}  // namespace rl
