#include "support/KzRegistry.h"

namespace rl {
namespace {

// Stands in until main sets the platform's registry: no key ever opens.
class NoRegistry : public IRegistry {
public:
    RegResult OpenKey(RegKey, const std::string&, std::uint32_t, RegKey&) override { return kErrorInvalidFunction; }
    RegResult CreateKey(RegKey, const std::string&, std::uint32_t, RegKey&, std::uint32_t*) override {
        return kErrorInvalidFunction;
    }
    RegResult CloseKey(RegKey) override { return kErrorInvalidHandle; }
    RegResult QueryValue(RegKey, const std::string&, std::uint32_t*, std::uint8_t*, std::uint32_t*) override {
        return kErrorInvalidHandle;
    }
    RegResult SetValue(RegKey, const std::string&, std::uint32_t, const std::uint8_t*, std::uint32_t) override {
        return kErrorInvalidHandle;
    }
    RegResult DeleteValue(RegKey, const std::string&) override { return kErrorInvalidHandle; }
    RegResult EnumSubKey(RegKey, std::uint32_t, std::string&) override { return kErrorInvalidHandle; }
    RegResult EnumValue(RegKey, std::uint32_t, std::string&) override { return kErrorInvalidHandle; }
    RegResult DeleteSubKey(RegKey, const std::string&) override { return kErrorInvalidHandle; }
};

NoRegistry noRegistry;
IRegistry* registryPort = nullptr;

}  // namespace

void SetRegistryPort(IRegistry* port) { registryPort = port; }

IRegistry& RegistryPort() { return registryPort ? *registryPort : noRegistry; }

std::uint32_t RegTypeOfKind(RegDataKind kind) {
    switch (kind) {
        case RegDataKind::String: return kRegSz;
        case RegDataKind::ExpandString: return kRegExpandSz;
        case RegDataKind::Integer: return kRegDword;
        case RegDataKind::Binary: return kRegBinary;
        case RegDataKind::MultiString: return kRegMultiSz;
        case RegDataKind::Int64: return kRegQword;
        case RegDataKind::Unknown: break;
    }
    return kRegNone;
}

RegDataKind KindOfRegType(std::uint32_t type) {
    switch (type) {
        case kRegSz: return RegDataKind::String;
        case kRegExpandSz: return RegDataKind::ExpandString;
        case kRegDword: return RegDataKind::Integer;
        case kRegBinary: return RegDataKind::Binary;
        case kRegMultiSz: return RegDataKind::MultiString;
        default: return RegDataKind::Unknown;  // REG_QWORD included
    }
}

TKzRegistry::TKzRegistry() : port_(RegistryPort()) { SetRootKey(kHKeyCurrentUser); }

TKzRegistry::~TKzRegistry() { CloseKey(); }

void TKzRegistry::SetRootKey(RegKey root) {
    if (root == rootKey_) return;
    if (closeRootKey_) {
        port_.CloseKey(rootKey_);
        closeRootKey_ = false;
    }
    rootKey_ = root;
    CloseKey();
}

bool TKzRegistry::OpenKey(const std::string& path, bool canCreate) {
    const bool absolute = !path.empty() && path.front() == '\\';
    const std::string subPath = absolute ? path.substr(1) : path;
    const bool fromCurrent = !absolute && currentKey_ != 0;
    const RegKey base = fromCurrent ? currentKey_ : rootKey_;

    RegKey key = 0;
    bool opened = false;
    for (const std::uint32_t mask : kOpenKeyCascade) {
        RegResult result;
        if (canCreate && !subPath.empty()) {
            std::uint32_t disposition = 0;
            result = port_.CreateKey(base, subPath, mask | access_, key, &disposition);
        } else {
            result = port_.OpenKey(base, subPath, mask | access_, key);
        }
        if (result == kErrorSuccess) {
            opened = true;
            break;
        }
    }
    if (!opened) return false;

    std::string newPath = fromCurrent ? currentPath_ + "\\" + subPath : subPath;
    CloseKey();
    currentKey_ = key;
    currentPath_ = std::move(newPath);
    return true;
}

void TKzRegistry::CloseKey() {
    if (currentKey_ == 0) return;
    // LazyWrite: the handle is only released, never flushed.
    port_.CloseKey(currentKey_);
    currentKey_ = 0;
    currentPath_.clear();
}

void TKzRegistry::WriteInteger(const std::string& name, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    PutData(name, bytes, sizeof bytes, RegDataKind::Integer);
}

void TKzRegistry::WriteStringList(const std::string& name, const std::vector<std::string>& list) {
    const std::vector<std::uint8_t> image = MultiStringImage(list);
    PutData(name, image.data(), static_cast<std::uint32_t>(image.size()), RegDataKind::MultiString);
}

void TKzRegistry::PutData(const std::string& name, const std::uint8_t* data, std::uint32_t size,
                          RegDataKind kind) {
    if (port_.SetValue(currentKey_, name, RegTypeOfKind(kind), data, size) != kErrorSuccess)
        throw ERegistryException("Failed to set data for '" + name + "'");
}

std::vector<std::uint8_t> MultiStringImage(const std::vector<std::string>& list) {
    std::vector<std::uint8_t> image;
    for (const std::string& item : list) {
        image.insert(image.end(), item.begin(), item.end());
        image.push_back(0);
    }
    image.push_back(0);
    return image;
}

void ReadMultiString(IRegistry& port, RegKey key, const std::string& name, std::vector<std::string>& list) {
    std::uint32_t type = kRegNone;
    std::uint32_t size = 0;
    // A failed query leaves size 0 and counts as the wrong type.
    port.QueryValue(key, name, &type, nullptr, &size);
    list.clear();
    if (size == 0 || type != kRegMultiSz) throw ERegistryException("Invalid data type for '" + name + "'");

    std::vector<std::uint8_t> buffer(size);
    if (port.QueryValue(key, name, &type, buffer.data(), &size) != kErrorSuccess)
        throw ERegistryException("Failed to get data for '" + name + "'");
    if (size < buffer.size()) buffer.resize(size);

    std::string item;
    for (std::size_t i = 0; i + 1 < buffer.size(); ++i) {
        if (buffer[i] != 0) {
            item.push_back(static_cast<char>(buffer[i]));
        } else {
            list.push_back(item);
            item.clear();
        }
    }
}

RegResult DeleteKeyTree(IRegistry& port, RegKey base, const std::string& path) {
    RegKey key = 0;
    RegResult r = port.OpenKey(base, path, kKeyEnumerateSubKeys, key);
    if (r != kErrorSuccess) return r;
    std::vector<std::string> children;
    std::string name;
    while ((r = port.EnumSubKey(key, static_cast<std::uint32_t>(children.size()), name)) == kErrorSuccess)
        children.push_back(name);
    // A list cut short by a failed read is not the key's whole contents:
    // nothing is deleted then, and the read's error is the answer.
    if (r == kErrorNoMoreItems) {
        r = kErrorSuccess;
        for (const std::string& child : children)
            if (r = DeleteKeyTree(port, key, child); r != kErrorSuccess) break;
    }
    port.CloseKey(key);
    if (r != kErrorSuccess) return r;
    return port.DeleteSubKey(base, path);
}

}  // namespace rl
