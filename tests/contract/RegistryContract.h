// What every registry behind the port does, checked the same way against the
// fake, the Linux store and, under Wine, the real registry. Include it in one
// test file per test program and instantiate RegistryContract with a factory
// of stores.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "support/KzRegistry.h"

namespace rl::contract {

// A registry to test; whatever it needs (a temporary folder) lives as long.
class Store {
public:
    virtual ~Store() = default;
    virtual IRegistry& Registry() = 0;
};
using StoreFactory = std::function<std::unique_ptr<Store>()>;

// The tests work below this key and delete its parent afterwards.
inline constexpr char kTestsKey[] = "Software\\RestLevelTests";
inline constexpr char kContractKey[] = "Software\\RestLevelTests\\Contract";

inline std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

class RegistryContract : public ::testing::TestWithParam<StoreFactory> {
protected:
    void SetUp() override { store_ = GetParam()(); }
    void TearDown() override {
        for (const RegKey key : open_) reg().CloseKey(key);
        DeleteKeyTree(reg(), kHKeyCurrentUser, kTestsKey);
    }

    IRegistry& reg() { return store_->Registry(); }
    static std::string Path(const std::string& sub) {
        return sub.empty() ? kContractKey : std::string(kContractKey) + "\\" + sub;
    }
    // Creates (or opens) a key below the contract key; closed at the end.
    RegKey Create(const std::string& sub, std::uint32_t access = kKeyAllAccess, std::uint32_t* disposition = nullptr) {
        RegKey key = 0;
        EXPECT_EQ(reg().CreateKey(kHKeyCurrentUser, Path(sub), access, key, disposition), kErrorSuccess) << sub;
        open_.push_back(key);
        return key;
    }
    RegResult Open(const std::string& sub, std::uint32_t access, RegKey& key) {
        const RegResult r = reg().OpenKey(kHKeyCurrentUser, Path(sub), access, key);
        if (r == kErrorSuccess) open_.push_back(key);
        return r;
    }
    void Close(RegKey key) {
        EXPECT_EQ(reg().CloseKey(key), kErrorSuccess);
        open_.erase(std::find(open_.begin(), open_.end(), key));
    }
    RegResult Set(RegKey key, const std::string& name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
        return reg().SetValue(key, name, type, data.data(), static_cast<std::uint32_t>(data.size()));
    }
    // Type and bytes of a value, read as the registry functions read them.
    RegResult Get(RegKey key, const std::string& name, std::uint32_t& type, std::vector<std::uint8_t>& data) {
        std::uint32_t size = 0;
        if (const RegResult r = reg().QueryValue(key, name, &type, nullptr, &size); r != kErrorSuccess) return r;
        data.assign(size, 0);
        const RegResult r = reg().QueryValue(key, name, &type, data.data(), &size);
        data.resize(size);
        return r;
    }
    std::vector<std::string> Names(RegKey key, bool subkeys) {
        std::vector<std::string> names;
        std::string name;
        for (std::uint32_t i = 0;; ++i) {
            const RegResult r = subkeys ? reg().EnumSubKey(key, i, name) : reg().EnumValue(key, i, name);
            if (r != kErrorSuccess) {
                EXPECT_EQ(r, kErrorNoMoreItems);
                return names;
            }
            names.push_back(name);
        }
    }

private:
    std::unique_ptr<Store> store_;
    std::vector<RegKey> open_;
};

TEST_P(RegistryContract, CreatingAKeyCreatesItsMissingParents) {
    std::uint32_t disposition = 0;
    Create("A\\B\\C", kKeyAllAccess, &disposition);
    EXPECT_EQ(disposition, kRegCreatedNewKey);
    for (const char* parent : {"A", "A\\B"}) {
        RegKey key = 0;
        EXPECT_EQ(Open(parent, kKeyRead, key), kErrorSuccess) << parent;
    }
    Create("A\\B\\C", kKeyRead, &disposition);
    EXPECT_EQ(disposition, kRegOpenedExistingKey);
}

TEST_P(RegistryContract, NamesIgnoreAsciiCaseAndKeepTheirSpelling) {
    const RegKey parent = Create("");
    const RegKey key = Create("MixedCase");
    RegKey again = 0;
    EXPECT_EQ(reg().OpenKey(kHKeyCurrentUser, "SOFTWARE\\RESTLEVELTESTS\\CONTRACT\\MIXEDCASE", kKeyRead, again),
              kErrorSuccess);
    reg().CloseKey(again);
    std::uint32_t disposition = 0;
    Create("mixedcase", kKeyRead, &disposition);
    EXPECT_EQ(disposition, kRegOpenedExistingKey);
    EXPECT_EQ(Names(parent, true), std::vector<std::string>{"MixedCase"});

    ASSERT_EQ(Set(key, "ValueName", kRegDword, {1, 0, 0, 0}), kErrorSuccess);
    ASSERT_EQ(Set(key, "VALUENAME", kRegDword, {2, 0, 0, 0}), kErrorSuccess);
    EXPECT_EQ(Names(key, false), std::vector<std::string>{"ValueName"});
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    ASSERT_EQ(Get(key, "valuename", type, data), kErrorSuccess);
    EXPECT_EQ(data, (std::vector<std::uint8_t>{2, 0, 0, 0}));
}

TEST_P(RegistryContract, ValuesKeepTheirTypeAndBytes) {
    const struct {
        std::uint32_t type;
        std::vector<std::uint8_t> data;
    } cases[] = {
        {kRegDword, {0xCC, 0x4C, 0, 0}},
        {kRegDword, {0x34, 0x12}},  // shorter than a DWORD: stored as given
        {kRegQword, {1, 2, 3, 4, 5, 6, 7, 0x80}},
        {kRegBinary, {0, 0xFF, 0x80, 0}},
        {kRegBinary, {}},
        {kRegSz, Bytes(std::string("abc", 4))},
        {kRegExpandSz, Bytes(std::string("%TEMP%\\x", 9))},
        {kRegMultiSz, {'a', 0, 0, 'b', 0, 0}},
        {kRegMultiSz, {0}},
        {kRegNone, {1, 2}},
    };
    const RegKey key = Create("Values");
    for (std::size_t i = 0; i < std::size(cases); ++i)
        ASSERT_EQ(Set(key, "v" + std::to_string(i), cases[i].type, cases[i].data), kErrorSuccess) << i;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::uint32_t type = 0xFFFF;
        std::vector<std::uint8_t> data;
        ASSERT_EQ(Get(key, "v" + std::to_string(i), type, data), kErrorSuccess) << i;
        EXPECT_EQ(type, cases[i].type) << i;
        EXPECT_EQ(data, cases[i].data) << i;
    }
}

TEST_P(RegistryContract, QueriesReportSizesAsTheRegistryDoes) {
    const RegKey key = Create("Sizes");
    ASSERT_EQ(Set(key, "eight", kRegBinary, {1, 2, 3, 4, 5, 6, 7, 8}), kErrorSuccess);
    std::uint32_t type = 0, size = 0;
    EXPECT_EQ(reg().QueryValue(key, "eight", &type, nullptr, &size), kErrorSuccess);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, kRegBinary);
    EXPECT_EQ(reg().QueryValue(key, "eight", nullptr, nullptr, nullptr), kErrorSuccess);

    std::uint8_t buffer[8] = {};
    size = 4;
    EXPECT_EQ(reg().QueryValue(key, "eight", &type, buffer, &size), kErrorMoreData);
    EXPECT_EQ(size, 8u);
    size = 8;
    EXPECT_EQ(reg().QueryValue(key, "eight", &type, buffer, &size), kErrorSuccess);
    EXPECT_EQ(buffer[7], 8);
    EXPECT_EQ(reg().QueryValue(key, "eight", &type, buffer, nullptr), kErrorInvalidParameter);
    EXPECT_EQ(reg().QueryValue(key, "missing", &type, nullptr, &size), kErrorFileNotFound);
}

TEST_P(RegistryContract, HandlesAllowOnlyTheRightsTheyWereOpenedWith) {
    enum Op { QueryOp, SetOp, DeleteMissingOp, EnumSubOp, EnumValuesOp };
    const struct {
        std::uint32_t access;
        Op op;
        RegResult expected;
    } cases[] = {
        {kKeyRead, QueryOp, kErrorSuccess},
        {kKeyRead, SetOp, kErrorAccessDenied},
        {kKeyRead, DeleteMissingOp, kErrorAccessDenied},
        {kKeyRead, EnumSubOp, kErrorSuccess},
        {kKeyRead, EnumValuesOp, kErrorSuccess},
        {kKeyQueryValue, EnumSubOp, kErrorAccessDenied},
        {kKeySetValue, QueryOp, kErrorAccessDenied},
        {kKeySetValue, SetOp, kErrorSuccess},
        {kKeySetValue, DeleteMissingOp, kErrorFileNotFound},
        {kKeySetValue, EnumValuesOp, kErrorAccessDenied},
        {kKeyEnumerateSubKeys, EnumSubOp, kErrorSuccess},
        {kKeyEnumerateSubKeys, SetOp, kErrorAccessDenied},
        {kKeyAllAccess, QueryOp, kErrorSuccess},
        {kKeyAllAccess, SetOp, kErrorSuccess},
    };
    const RegKey setup = Create("Rights");
    ASSERT_EQ(Set(setup, "v", kRegDword, {1, 0, 0, 0}), kErrorSuccess);
    Create("Rights\\Sub");
    for (const auto& c : cases) {
        RegKey key = 0;
        ASSERT_EQ(Open("Rights", c.access, key), kErrorSuccess);
        std::uint32_t size = 0;
        std::string name;
        const std::uint8_t two[4] = {2, 0, 0, 0};
        RegResult r = -1;
        switch (c.op) {
            case QueryOp: r = reg().QueryValue(key, "v", nullptr, nullptr, &size); break;
            case SetOp: r = reg().SetValue(key, "w", kRegDword, two, 4); break;
            case DeleteMissingOp: r = reg().DeleteValue(key, "missing"); break;
            case EnumSubOp: r = reg().EnumSubKey(key, 0, name); break;
            case EnumValuesOp: r = reg().EnumValue(key, 0, name); break;
        }
        EXPECT_EQ(r, c.expected) << "access 0x" << std::hex << c.access << " operation " << c.op;
        Close(key);
    }
}

TEST_P(RegistryContract, DeletingKeysAndValues) {
    const RegKey parent = Create("");
    const RegKey leaf = Create("A\\B");
    ASSERT_EQ(Set(leaf, "v", kRegDword, {1, 0, 0, 0}), kErrorSuccess);

    EXPECT_EQ(reg().DeleteSubKey(parent, "A"), kErrorAccessDenied);  // subkeys first
    EXPECT_EQ(reg().DeleteValue(leaf, "missing"), kErrorFileNotFound);
    EXPECT_EQ(reg().DeleteSubKey(parent, "missing"), kErrorFileNotFound);
    EXPECT_EQ(reg().DeleteSubKey(parent, "A\\B"), kErrorSuccess);
    RegKey gone = 0;
    EXPECT_EQ(Open("A\\B", kKeyRead, gone), kErrorFileNotFound);

    // A handle on a deleted key stays valid but reaches nothing.
    std::uint32_t size = 0;
    std::string name;
    const std::uint8_t one[4] = {1, 0, 0, 0};
    EXPECT_EQ(reg().QueryValue(leaf, "v", nullptr, nullptr, &size), kErrorKeyDeleted);
    EXPECT_EQ(reg().SetValue(leaf, "v", kRegDword, one, 4), kErrorKeyDeleted);
    EXPECT_EQ(reg().EnumSubKey(leaf, 0, name), kErrorKeyDeleted);
    EXPECT_EQ(reg().OpenKey(leaf, "", kKeyRead, gone), kErrorKeyDeleted);

    EXPECT_EQ(reg().DeleteSubKey(parent, "A"), kErrorSuccess);
    EXPECT_EQ(Names(parent, true), std::vector<std::string>{});

    const RegKey values = Create("Values");
    ASSERT_EQ(Set(values, "a", kRegDword, {1, 0, 0, 0}), kErrorSuccess);
    EXPECT_EQ(reg().DeleteValue(values, "A"), kErrorSuccess);
    EXPECT_EQ(reg().QueryValue(values, "a", nullptr, nullptr, &size), kErrorFileNotFound);
}

TEST_P(RegistryContract, EnumerationListsEveryNameOnce) {
    const RegKey key = Create("Enum");
    for (const char* sub : {"beta", "Alpha", "gamma"}) Create(std::string("Enum\\") + sub);
    EXPECT_EQ(Names(key, true), (std::vector<std::string>{"Alpha", "beta", "gamma"}));

    for (const char* value : {"b", "A", "c", ""}) ASSERT_EQ(Set(key, value, kRegDword, {0, 0, 0, 0}), kErrorSuccess);
    std::vector<std::string> values = Names(key, false);
    std::sort(values.begin(), values.end());  // the order of values is the store's own
    EXPECT_EQ(values, (std::vector<std::string>{"", "A", "b", "c"}));
}

TEST_P(RegistryContract, PathsAndHandles) {
    const RegKey key = Create("Paths");
    ASSERT_EQ(Set(key, "v", kRegDword, {7, 0, 0, 0}), kErrorSuccess);
    RegKey other = 0;
    EXPECT_EQ(Open("Missing", kKeyRead, other), kErrorFileNotFound);
    EXPECT_EQ(reg().OpenKey(kHKeyCurrentUser, std::string("\\") + kContractKey, kKeyRead, other), kErrorBadPathname);

    // An empty path opens the base again; a trailing backslash is the same key.
    for (const std::string& path : {std::string(), std::string("Paths\\")}) {
        RegKey base = path.empty() ? key : Create("");
        RegKey second = 0;
        ASSERT_EQ(reg().OpenKey(base, path, kKeyRead, second), kErrorSuccess) << path;
        std::uint32_t size = 0;
        EXPECT_EQ(reg().QueryValue(second, "v", nullptr, nullptr, &size), kErrorSuccess) << path;
        EXPECT_EQ(reg().CloseKey(second), kErrorSuccess);
        EXPECT_EQ(reg().CloseKey(second), kErrorInvalidHandle);
    }
}

}  // namespace rl::contract
