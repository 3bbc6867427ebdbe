#include "support/VorlLibRegistry.h"

#include "support/KzRegistry.h"

namespace rl {
namespace {

// A key opened by a reader, closed on every way out.
class ReadKey {
public:
    ReadKey(IRegistry& port, RegKey root, const std::string& path, std::uint32_t access) : port_(port) {
        if (port_.OpenKey(root, path, access, key_) != kErrorSuccess) key_ = 0;
    }
    ~ReadKey() {
        if (key_ != 0) port_.CloseKey(key_);
    }
    ReadKey(const ReadKey&) = delete;
    ReadKey& operator=(const ReadKey&) = delete;

    RegKey Handle() const { return key_; }
    bool ValueExists(const std::string& name) {
        std::uint32_t size = 0;
        return port_.QueryValue(key_, name, nullptr, nullptr, &size) == kErrorSuccess;
    }

private:
    IRegistry& port_;
    RegKey key_ = 0;
};

// Opens or creates the key, whose result is not examined: without a key the
// write itself fails.
template <typename Write>
bool WriteValue(RegKey root, const std::string& path, Write write) {
    try {
        TKzRegistry registry;
        registry.SetRootKey(root);
        registry.OpenKey(path, true);
        write(registry);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

std::int32_t RegReadInteger(RegKey root, const std::string& path, const std::string& name,
                            std::uint32_t access, std::int32_t defaultValue) {
    try {
        IRegistry& port = RegistryPort();
        ReadKey key(port, root, path, access);
        if (key.Handle() == 0 || !key.ValueExists(name)) return defaultValue;
        std::uint8_t bytes[4] = {};
        std::uint32_t type = kRegNone;
        std::uint32_t size = sizeof bytes;
        // Longer values fail the query; shorter ones are refused too.
        if (port.QueryValue(key.Handle(), name, &type, bytes, &size) != kErrorSuccess || type != kRegDword ||
            size != sizeof bytes)
            return defaultValue;
        return static_cast<std::int32_t>(std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                         std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24);
    } catch (...) {
        return defaultValue;
    }
}

bool RegReadStringList(RegKey root, const std::string& path, const std::string& name, std::uint32_t access,
                       const std::vector<std::string>* defaultList, std::vector<std::string>& target) {
    target.clear();
    try {
        IRegistry& port = RegistryPort();
        ReadKey key(port, root, path, access);
        if (key.Handle() != 0 && key.ValueExists(name)) {
            ReadMultiString(port, key.Handle(), name, target);
            return true;
        }
    } catch (...) {
    }
    try {
        if (defaultList) target = *defaultList;
        else target.clear();
    } catch (...) {
        target.clear();
    }
    return false;
}

bool RegWriteInteger(RegKey root, const std::string& path, const std::string& name, std::int32_t value) {
    return WriteValue(root, path, [&](TKzRegistry& registry) { registry.WriteInteger(name, value); });
}

bool RegWriteStringList(RegKey root, const std::string& path, const std::string& name,
                        const std::vector<std::string>& list) {
    return WriteValue(root, path, [&](TKzRegistry& registry) { registry.WriteStringList(name, list); });
}

}  // namespace rl
