// An in-memory registry: keys and values under the predefined roots, names
// compared without regard to ASCII case, handles that carry the access they
// were granted, and a log of every open and create attempt. Tests choose which
// access masks are refused.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace rl::fake {

class Registry : public IRegistry {
public:
    struct Value {
        std::uint32_t type = kRegNone;
        std::vector<std::uint8_t> data;
        friend bool operator==(const Value&, const Value&) = default;
    };
    struct Attempt {
        bool create = false;
        RegKey base = 0;
        std::string path;
        std::uint32_t access = 0;
        RegResult result = 0;
    };

    // Whether an open or create with this mask is granted; null grants all.
    // A refused mask gives kErrorAccessDenied and creates nothing.
    std::function<bool(std::uint32_t access)> grant;
    // Queries with a buffer fail (the size query still works).
    bool failDataQueries = false;
    // Whether a write of this value is refused (kErrorAccessDenied, nothing
    // stored), as a read-only or full store does; null refuses none.
    std::function<bool(const std::string& name)> refuseSet;
    // Size-only queries report this many bytes more than the value holds, as
    // the registry may; the data query then gives the true size.
    std::uint32_t sizeOverReport = 0;
    // Subkey enumerations fail with enumFailure from this index on.
    std::optional<std::uint32_t> failEnumAt;
    RegResult enumFailure = kErrorRegistryIoFailed;

    std::vector<Attempt> attempts;  // every OpenKey and CreateKey, in order
    int closes = 0;                 // successful CloseKey calls on handles

    Registry();
    ~Registry() override;

    // Direct access to the tree, bypassing handles and access checks.
    // Paths are relative to the root, e.g. "SOFTWARE\\Halvane\\RestLevel".
    void Put(const std::string& path, const std::string& name, std::uint32_t type,
             std::vector<std::uint8_t> data, RegKey root = kHKeyCurrentUser);
    std::optional<Value> Get(const std::string& path, const std::string& name,
                             RegKey root = kHKeyCurrentUser) const;
    bool KeyExists(const std::string& path, RegKey root = kHKeyCurrentUser) const;
    // Forgets every key and value (open handles keep what they point at).
    void Clear() { roots_.clear(); }
    std::size_t OpenHandles() const { return handles_.size(); }

    RegResult OpenKey(RegKey base, const std::string& path, std::uint32_t access, RegKey& result) override;
    RegResult CreateKey(RegKey base, const std::string& path, std::uint32_t access, RegKey& result,
                        std::uint32_t* disposition) override;
    RegResult CloseKey(RegKey key) override;
    RegResult QueryValue(RegKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                         std::uint32_t* size) override;
    RegResult SetValue(RegKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                       std::uint32_t size) override;
    RegResult DeleteValue(RegKey key, const std::string& name) override;
    RegResult EnumSubKey(RegKey key, std::uint32_t index, std::string& name) override;
    RegResult EnumValue(RegKey key, std::uint32_t index, std::string& name) override;
    RegResult DeleteSubKey(RegKey key, const std::string& path) override;

private:
    struct Node;
    struct Handle {
        std::shared_ptr<Node> node;
        std::uint32_t access = 0;
    };

    RegResult Resolve(RegKey key, std::uint32_t need, std::shared_ptr<Node>& node);
    std::shared_ptr<Node> Root(RegKey root) const;
    static std::shared_ptr<Node> Walk(std::shared_ptr<Node> node, const std::string& path);
    RegResult Open(bool create, RegKey base, const std::string& path, std::uint32_t access, RegKey& result,
                   std::uint32_t* disposition);

    mutable std::map<RegKey, std::shared_ptr<Node>> roots_;
    std::map<RegKey, Handle> handles_;
    RegKey nextHandle_ = 0x100;
};

}  // namespace rl::fake
