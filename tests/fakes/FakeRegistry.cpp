#include "tests/fakes/FakeRegistry.h"

#include <algorithm>

namespace rl::fake {
namespace {

std::string Folded(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

}  // namespace

// Children and values are keyed by their folded name and keep their spelling.
struct Registry::Node {
    std::string name;
    bool deleted = false;
    std::map<std::string, std::shared_ptr<Node>> subkeys;
    std::map<std::string, std::pair<std::string, Value>> values;
};

Registry::Registry() = default;
Registry::~Registry() = default;

std::shared_ptr<Registry::Node> Registry::Root(RegKey root) const {
    auto& node = roots_[root];
    if (!node) node = std::make_shared<Node>();
    return node;
}

std::shared_ptr<Registry::Node> Registry::Walk(std::shared_ptr<Node> node, const std::string& path) {
    std::vector<std::string> names;
    if (!SplitKeyPath(path, names)) return nullptr;
    for (const std::string& name : names) {
        const auto it = node->subkeys.find(Folded(name));
        if (it == node->subkeys.end()) return nullptr;
        node = it->second;
    }
    return node;
}

void Registry::Put(const std::string& path, const std::string& name, std::uint32_t type,
                   std::vector<std::uint8_t> data, RegKey root) {
    std::vector<std::string> names;
    SplitKeyPath(path, names);
    auto node = Root(root);
    for (const std::string& n : names) {
        auto& child = node->subkeys[Folded(n)];
        if (!child) {
            child = std::make_shared<Node>();
            child->name = n;
        }
        node = child;
    }
    node->values[Folded(name)] = {name, Value{type, std::move(data)}};
}

std::optional<Registry::Value> Registry::Get(const std::string& path, const std::string& name,
                                             RegKey root) const {
    const auto node = Walk(Root(root), path);
    if (!node) return std::nullopt;
    const auto it = node->values.find(Folded(name));
    if (it == node->values.end()) return std::nullopt;
    return it->second.second;
}

bool Registry::KeyExists(const std::string& path, RegKey root) const { return Walk(Root(root), path) != nullptr; }

RegResult Registry::Resolve(RegKey key, std::uint32_t need, std::shared_ptr<Node>& node) {
    if (IsPredefinedKey(key)) {
        node = Root(key);
        return kErrorSuccess;
    }
    const auto it = handles_.find(key);
    if (it == handles_.end()) return kErrorInvalidHandle;
    if ((it->second.access & need) != need) return kErrorAccessDenied;
    if (it->second.node->deleted) return kErrorKeyDeleted;
    node = it->second.node;
    return kErrorSuccess;
}

RegResult Registry::Open(bool create, RegKey base, const std::string& path, std::uint32_t access,
                         RegKey& result, std::uint32_t* disposition) {
    std::shared_ptr<Node> node;
    RegResult r = Resolve(base, 0, node);
    std::vector<std::string> names;
    if (r == kErrorSuccess && !SplitKeyPath(path, names)) r = kErrorBadPathname;
    bool created = false;
    if (r == kErrorSuccess) {
        // Find how much exists; only a granted create adds the rest.
        std::size_t found = 0;
        for (; found < names.size(); ++found) {
            const auto it = node->subkeys.find(Folded(names[found]));
            if (it == node->subkeys.end()) break;
            node = it->second;
        }
        if (found < names.size() && !create) r = kErrorFileNotFound;
        else if (grant && !grant(access)) r = kErrorAccessDenied;
        for (; r == kErrorSuccess && found < names.size(); ++found) {
            auto child = std::make_shared<Node>();
            child->name = names[found];
            node->subkeys[Folded(names[found])] = child;
            node = child;
            created = true;
        }
    }
    if (r == kErrorSuccess) {
        result = nextHandle_;
        nextHandle_ += 4;
        handles_[result] = Handle{node, access};
        if (disposition) *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
    }
    attempts.push_back(Attempt{create, base, path, access, r});
    return r;
}

RegResult Registry::OpenKey(RegKey base, const std::string& path, std::uint32_t access, RegKey& result) {
    return Open(false, base, path, access, result, nullptr);
}

RegResult Registry::CreateKey(RegKey base, const std::string& path, std::uint32_t access, RegKey& result,
                              std::uint32_t* disposition) {
    return Open(true, base, path, access, result, disposition);
}

RegResult Registry::CloseKey(RegKey key) {
    if (IsPredefinedKey(key)) return kErrorSuccess;
    if (handles_.erase(key) == 0) return kErrorInvalidHandle;
    ++closes;
    return kErrorSuccess;
}

RegResult Registry::QueryValue(RegKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                               std::uint32_t* size) {
    std::shared_ptr<Node> node;
    if (const RegResult r = Resolve(key, kKeyQueryValue, node); r != kErrorSuccess) return r;
    const auto it = node->values.find(Folded(name));
    if (it == node->values.end()) return kErrorFileNotFound;
    const Value& value = it->second.second;
    const auto length = static_cast<std::uint32_t>(value.data.size());
    if (data && !size) return kErrorInvalidParameter;
    if (data && failDataQueries) return kErrorRegistryIoFailed;
    if (type) *type = value.type;
    if (data && *size < length) {
        *size = length;
        return kErrorMoreData;
    }
    if (data) std::copy(value.data.begin(), value.data.end(), data);
    if (size) *size = data ? length : length + sizeOverReport;
    return kErrorSuccess;
}

RegResult Registry::SetValue(RegKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                             std::uint32_t size) {
    std::shared_ptr<Node> node;
    if (const RegResult r = Resolve(key, kKeySetValue, node); r != kErrorSuccess) return r;
    if (refuseSet && refuseSet(name)) return kErrorAccessDenied;
    Value value{type, data ? std::vector<std::uint8_t>(data, data + size) : std::vector<std::uint8_t>{}};
    auto [it, inserted] = node->values.try_emplace(Folded(name), name, value);
    if (!inserted) it->second.second = std::move(value);
    return kErrorSuccess;
}

RegResult Registry::DeleteValue(RegKey key, const std::string& name) {
    std::shared_ptr<Node> node;
    if (const RegResult r = Resolve(key, kKeySetValue, node); r != kErrorSuccess) return r;
    return node->values.erase(Folded(name)) ? kErrorSuccess : kErrorFileNotFound;
}

RegResult Registry::EnumSubKey(RegKey key, std::uint32_t index, std::string& name) {
    std::shared_ptr<Node> node;
    if (const RegResult r = Resolve(key, kKeyEnumerateSubKeys, node); r != kErrorSuccess) return r;
    if (failEnumAt && index >= *failEnumAt) return enumFailure;
    if (index >= node->subkeys.size()) return kErrorNoMoreItems;
    name = std::next(node->subkeys.begin(), index)->second->name;
    return kErrorSuccess;
}

RegResult Registry::EnumValue(RegKey key, std::uint32_t index, std::string& name) {
    std::shared_ptr<Node> node;
    if (const RegResult r = Resolve(key, kKeyQueryValue, node); r != kErrorSuccess) return r;
    if (index >= node->values.size()) return kErrorNoMoreItems;
    name = std::next(node->values.begin(), index)->second.first;
    return kErrorSuccess;
}

RegResult Registry::DeleteSubKey(RegKey key, const std::string& path) {
    std::shared_ptr<Node> parent;
    if (const RegResult r = Resolve(key, 0, parent); r != kErrorSuccess) return r;
    std::vector<std::string> names;
    if (!SplitKeyPath(path, names)) return kErrorBadPathname;
    if (names.empty()) return kErrorInvalidParameter;
    const std::string last = names.back();
    names.pop_back();
    for (const std::string& n : names) {
        const auto it = parent->subkeys.find(Folded(n));
        if (it == parent->subkeys.end()) return kErrorFileNotFound;
        parent = it->second;
    }
    const auto it = parent->subkeys.find(Folded(last));
    if (it == parent->subkeys.end()) return kErrorFileNotFound;
    if (!it->second->subkeys.empty()) return kErrorAccessDenied;
    it->second->deleted = true;
    parent->subkeys.erase(it);
    return kErrorSuccess;
}

}  // namespace rl::fake
