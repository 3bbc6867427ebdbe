// The registry class and the utility unit's registry functions against the
// in-memory registry: stored images, readings of odd values, the access
// cascade, the path rule, and that every key opened is closed again.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/KzRegistry.h"
#include "support/VorlLibRegistry.h"
#include "tests/fakes/FakeRegistry.h"

namespace rl {
namespace {

using Bytes = std::vector<std::uint8_t>;
using List = std::vector<std::string>;

constexpr RegKey kHKCU = kHKeyCurrentUser;
const std::string kKey = kSettingsKey;

class RegistryAccess : public ::testing::Test {
protected:
    void SetUp() override { SetRegistryPort(&reg); }
    void TearDown() override {
        EXPECT_EQ(reg.OpenHandles(), 0u) << "a key was left open";
        SetRegistryPort(nullptr);
    }

    std::vector<std::uint32_t> Masks() const {
        std::vector<std::uint32_t> masks;
        for (const auto& a : reg.attempts) masks.push_back(a.access);
        return masks;
    }

    fake::Registry reg;
};

// --- String lists -----------------------------------------------------------

TEST_F(RegistryAccess, StringListsAreStoredAsMultiStringImagesAndReadBack) {
    const struct {
        List list;
        Bytes image;
    } cases[] = {
        {{}, {0}},
        {{"a", "", "b"}, {0x61, 0, 0, 0x62, 0, 0}},
        {{"a"}, {0x61, 0, 0}},
        {{""}, {0, 0}},
        {{"C:\\Program Files\\x.exe", "/usr/bin/y"},
         Bytes{'C', ':', '\\', 'P', 'r', 'o', 'g', 'r', 'a', 'm', ' ', 'F', 'i', 'l', 'e', 's', '\\', 'x', '.', 'e', 'x',
               'e', 0, '/', 'u', 's', 'r', '/', 'b', 'i', 'n', '/', 'y', 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.list));
        EXPECT_EQ(MultiStringImage(c.list), c.image);
        ASSERT_TRUE(RegWriteStringList(kHKCU, kKey, "Exceptions", c.list));
        EXPECT_EQ(reg.Get(kKey, "Exceptions"), (fake::Registry::Value{kRegMultiSz, c.image}));
        List read{"stale"};
        EXPECT_TRUE(RegReadStringList(kHKCU, kKey, "Exceptions", kKeyRead, nullptr, read));
        EXPECT_EQ(read, c.list);
    }
}

TEST_F(RegistryAccess, StringListReadingsOfStoredValues) {
    const List fallback{"default"};
    const struct {
        const char* what;
        std::optional<fake::Registry::Value> stored;  // nullopt: no value
        bool keyExists;
        bool result;
        List items;  // when result is true
        std::uint32_t sizeOverReport = 0;
    } cases[] = {
        {"empty list", {{kRegMultiSz, {0}}}, true, true, {}},
        {"three items, one empty", {{kRegMultiSz, {0x61, 0, 0, 0x62, 0, 0}}}, true, true, {"a", "", "b"}},
        {"no final extra zero", {{kRegMultiSz, {0x61, 0, 0x62, 0}}}, true, true, {"a"}},
        {"no zero at all", {{kRegMultiSz, {0x61, 0x62}}}, true, true, {}},
        // The buffer takes the data query's size: no phantom empty items.
        {"size query over-reports", {{kRegMultiSz, {0x61, 0, 0x62, 0, 0}}}, true, true, {"a", "b"}, 6},
        {"stored as REG_SZ", {{kRegSz, {0x61, 0}}}, true, false, {}},
        {"stored as REG_BINARY", {{kRegBinary, {0x61, 0, 0}}}, true, false, {}},
        {"REG_MULTI_SZ of no bytes", {{kRegMultiSz, {}}}, true, false, {}},
        {"missing value", std::nullopt, true, false, {}},
        {"missing key", std::nullopt, false, false, {}},
    };
    for (const auto& c : cases) {
        for (const List* defaults : {&fallback, static_cast<const List*>(nullptr)}) {
            SCOPED_TRACE(std::string(c.what) + (defaults ? " with a default list" : " without a default list"));
            fake::Registry fresh;
            fresh.sizeOverReport = c.sizeOverReport;
            SetRegistryPort(&fresh);
            if (c.keyExists) fresh.Put(kKey, "Other", kRegDword, {0, 0, 0, 0});
            if (c.stored) fresh.Put(kKey, "Exceptions", c.stored->type, c.stored->data);
            List target{"stale"};
            EXPECT_EQ(RegReadStringList(kHKCU, kKey, "Exceptions", kKeyRead, defaults, target), c.result);
            EXPECT_EQ(target, c.result ? c.items : defaults ? fallback : List{});
            EXPECT_EQ(fresh.OpenHandles(), 0u);
            SetRegistryPort(&reg);
        }
    }
}

TEST_F(RegistryAccess, ReadMultiStringRaisesWithTheValueName) {
    reg.Put(kKey, "Text", kRegSz, {0x61, 0});
    reg.Put(kKey, "List", kRegMultiSz, {0x61, 0, 0});
    RegKey key = 0;
    ASSERT_EQ(reg.OpenKey(kHKCU, kKey, kKeyRead, key), kErrorSuccess);
    List list{"stale"};
    const struct {
        const char* name;
        bool failDataQueries;
        const char* message;
    } cases[] = {
        {"Text", false, "Invalid data type for 'Text'"},
        {"Missing", false, "Invalid data type for 'Missing'"},
        {"List", true, "Failed to get data for 'List'"},
    };
    for (const auto& c : cases) {
        reg.failDataQueries = c.failDataQueries;
        try {
            ReadMultiString(reg, key, c.name, list);
            ADD_FAILURE() << c.name << " did not raise";
        } catch (const ERegistryException& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_TRUE(list.empty());
    }
    reg.CloseKey(key);
}

// --- Deleting a tree ---------------------------------------------------------

TEST_F(RegistryAccess, DeleteKeyTreeStopsAtAFailedEnumerationWithItsError) {
    const std::string tree = kKey + "\\Tree";
    for (const char* child : {"A", "B", "C"}) reg.Put(tree + "\\" + child, "v", kRegDword, {1, 0, 0, 0});
    reg.failEnumAt = 2;  // the third child cannot be read
    EXPECT_EQ(DeleteKeyTree(reg, kHKCU, tree), kErrorRegistryIoFailed);
    for (const char* child : {"A", "B", "C"}) EXPECT_TRUE(reg.KeyExists(tree + "\\" + child)) << child;

    reg.failEnumAt.reset();
    EXPECT_EQ(DeleteKeyTree(reg, kHKCU, tree), kErrorSuccess);
    EXPECT_FALSE(reg.KeyExists(tree));
    EXPECT_TRUE(reg.KeyExists(kKey));
}

// --- Integers ---------------------------------------------------------------

TEST_F(RegistryAccess, IntegerReadingsOfStoredValues) {
    constexpr std::int32_t kDefault = 19660;
    const struct {
        const char* what;
        std::optional<fake::Registry::Value> stored;
        std::int32_t expected;
    } cases[] = {
        {"REG_DWORD", {{kRegDword, {0x10, 0x27, 0, 0}}}, 10000},
        {"REG_DWORD -1", {{kRegDword, {0xFF, 0xFF, 0xFF, 0xFF}}}, -1},
        {"REG_DWORD lowest", {{kRegDword, {0, 0, 0, 0x80}}}, INT_MIN},
        {"REG_DWORD of two bytes", {{kRegDword, {0x10, 0x27}}}, kDefault},
        {"REG_DWORD of eight bytes", {{kRegDword, {1, 0, 0, 0, 0, 0, 0, 0}}}, kDefault},
        {"REG_SZ", {{kRegSz, {'5', 0}}}, kDefault},
        {"REG_BINARY of four bytes", {{kRegBinary, {0x10, 0x27, 0, 0}}}, kDefault},
        {"REG_QWORD", {{kRegQword, {0x10, 0x27, 0, 0, 0, 0, 0, 0}}}, kDefault},
        {"missing value", std::nullopt, kDefault},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake::Registry fresh;
        SetRegistryPort(&fresh);
        fresh.Put(kKey, "Other", kRegDword, {0, 0, 0, 0});
        if (c.stored) fresh.Put(kKey, "RestLevel", c.stored->type, c.stored->data);
        EXPECT_EQ(RegReadInteger(kHKCU, kKey, "RestLevel", kKeyRead, kDefault), c.expected);
        EXPECT_EQ(fresh.OpenHandles(), 0u);
        SetRegistryPort(&reg);
    }
}

TEST_F(RegistryAccess, IntegersAreStoredAsLittleEndianDwords) {
    for (const std::int32_t v : {0, 19660, -1, INT_MIN, INT_MAX}) {
        ASSERT_TRUE(RegWriteInteger(kHKCU, kKey, "RestLevel", v));
        const auto u = static_cast<std::uint32_t>(v);
        EXPECT_EQ(reg.Get(kKey, "RestLevel"),
                  (fake::Registry::Value{kRegDword, {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
                                                     static_cast<std::uint8_t>(u >> 16),
                                                     static_cast<std::uint8_t>(u >> 24)}}));
        EXPECT_EQ(RegReadInteger(kHKCU, kKey, "RestLevel", kKeyRead, 7), v);
    }
}

// --- How keys are opened ----------------------------------------------------

TEST_F(RegistryAccess, ReadersOpenWithExactlyTheCallersMaskAndNeverCreate) {
    List list;
    EXPECT_EQ(RegReadInteger(kHKCU, kKey, "RestLevel", 0x20019, 5), 5);
    EXPECT_FALSE(RegReadStringList(kHKCU, kKey, "Exceptions", 0x0001, nullptr, list));
    ASSERT_EQ(reg.attempts.size(), 2u);
    for (const auto& a : reg.attempts) {
        EXPECT_FALSE(a.create);
        EXPECT_EQ(a.base, kHKCU);
        EXPECT_EQ(a.path, kKey);
    }
    EXPECT_EQ(Masks(), (std::vector<std::uint32_t>{0x20019, 0x0001}));
    EXPECT_FALSE(reg.KeyExists(kKey));

    // A refused mask counts as a missing key, though the value is there.
    reg.Put(kKey, "RestLevel", kRegDword, {1, 0, 0, 0});
    reg.grant = [](std::uint32_t mask) { return mask != kKeyRead; };
    EXPECT_EQ(RegReadInteger(kHKCU, kKey, "RestLevel", kKeyRead, 5), 5);
}

TEST_F(RegistryAccess, WritingToAMissingKeyCreatesItWithItsParents) {
    ASSERT_FALSE(reg.KeyExists("SOFTWARE"));
    EXPECT_TRUE(RegWriteInteger(kHKCU, kKey, "IdleTime", 100));
    EXPECT_TRUE(reg.KeyExists("SOFTWARE\\Halvane"));
    EXPECT_EQ(RegReadInteger(kHKCU, kKey, "IdleTime", kKeyRead, 0), 100);
    EXPECT_TRUE(RegWriteStringList(kHKCU, "Software\\Halvane\\KzAutoUpdate\\Files\\HLV1.tmp", "L", {"x"}));
    EXPECT_TRUE(reg.KeyExists("software\\halvane\\kzautoupdate\\files"));
    ASSERT_FALSE(reg.attempts.empty());
    EXPECT_TRUE(reg.attempts.front().create);
}

TEST_F(RegistryAccess, TheAccessCascadeStopsAtTheFirstGrantedMask) {
    const std::vector<std::uint32_t> all(std::begin(kOpenKeyCascade), std::end(kOpenKeyCascade));
    const struct {
        const char* what;
        std::function<bool(std::uint32_t)> grant;
        std::size_t tries;
        bool stored;
    } cases[] = {
        {"everything granted", nullptr, 1, true},
        {"all but full access", [](std::uint32_t m) { return m != kKeyAllAccess; }, 2, true},
        {"only KEY_QUERY_VALUE, KEY_SET_VALUE, KEY_ENUMERATE_SUB_KEYS", [](std::uint32_t m) { return m == 0x000B; }, 4,
         true},
        {"only what reads", [](std::uint32_t m) { return (m & kKeyChangingRights) == 0; }, 5, false},
        {"only KEY_QUERY_VALUE", [](std::uint32_t m) { return m == kKeyQueryValue; }, 7, false},
        {"nothing", [](std::uint32_t) { return false; }, 7, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reg.Put(kKey, "RestLevel", kRegDword, {1, 0, 0, 0});
        reg.Put(kKey, "Exceptions", kRegMultiSz, {'a', 0, 0});
        reg.grant = c.grant;
        for (const bool list : {false, true}) {
            reg.attempts.clear();
            const bool stored = list ? RegWriteStringList(kHKCU, kKey, "Exceptions", {"b"})
                                     : RegWriteInteger(kHKCU, kKey, "RestLevel", 2);
            EXPECT_EQ(stored, c.stored);
            EXPECT_EQ(Masks(), std::vector<std::uint32_t>(all.begin(), all.begin() + c.tries));
            for (const auto& a : reg.attempts) EXPECT_TRUE(a.create);
        }
        // A refused write leaves the old values as they were.
        EXPECT_EQ(reg.Get(kKey, "RestLevel")->data, (c.stored ? Bytes{2, 0, 0, 0} : Bytes{1, 0, 0, 0}));
        EXPECT_EQ(reg.Get(kKey, "Exceptions")->data, (c.stored ? Bytes{'b', 0, 0} : Bytes{'a', 0, 0}));
    }
}

TEST_F(RegistryAccess, ExtraAccessBitsAreAddedToEveryTry) {
    reg.grant = [](std::uint32_t) { return false; };
    TKzRegistry registry;
    registry.SetAccess(0x0100);
    EXPECT_FALSE(registry.OpenKey(kKey, true));
    std::vector<std::uint32_t> expected;
    for (const std::uint32_t m : kOpenKeyCascade) expected.push_back(m | 0x0100);
    EXPECT_EQ(Masks(), expected);
}

TEST_F(RegistryAccess, PathRule) {
    reg.Put("A\\B", "v", kRegDword, {0, 0, 0, 0});
    reg.Put("C", "v", kRegDword, {0, 0, 0, 0});
    const struct {
        const char* first;  // opened before, or null
        const char* path;
        bool fromCurrent;
        const char* attemptPath;
        const char* currentPath;
    } cases[] = {
        {nullptr, "A\\B", false, "A\\B", "A\\B"},
        {nullptr, "\\A\\B", false, "A\\B", "A\\B"},
        {"A", "B", true, "B", "A\\B"},
        {"A", "\\C", false, "C", "C"},
        {"\\A", "B", true, "B", "A\\B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first ? c.first : "(none)") + " then " + c.path);
        TKzRegistry registry;
        if (c.first) {
            ASSERT_TRUE(registry.OpenKey(c.first, false));
        }
        const RegKey before = registry.CurrentKey();
        ASSERT_TRUE(registry.OpenKey(c.path, false));
        EXPECT_EQ(reg.attempts.back().base, c.fromCurrent ? before : kHKCU);
        EXPECT_EQ(reg.attempts.back().path, c.attemptPath);
        EXPECT_EQ(registry.CurrentPath(), c.currentPath);
        EXPECT_EQ(reg.OpenHandles(), 1u) << "the previous key is closed";
    }
}

TEST_F(RegistryAccess, OpeningAnEmptyPathOpensTheBaseAgainEvenWhenCreating) {
    TKzRegistry registry;
    ASSERT_TRUE(registry.OpenKey("", true));
    EXPECT_FALSE(reg.attempts.back().create);
    EXPECT_EQ(reg.attempts.back().path, "");
    EXPECT_EQ(registry.CurrentPath(), "");
    EXPECT_NE(registry.CurrentKey(), 0u);
    ASSERT_TRUE(registry.OpenKey("\\", true));
    EXPECT_FALSE(reg.attempts.back().create);
}

TEST_F(RegistryAccess, AFailedOpenLeavesTheRegistryObjectUnchanged) {
    reg.Put("A", "v", kRegDword, {0, 0, 0, 0});
    TKzRegistry registry;
    ASSERT_TRUE(registry.OpenKey("A", false));
    const RegKey key = registry.CurrentKey();
    EXPECT_FALSE(registry.OpenKey("Missing", false));
    EXPECT_EQ(reg.attempts.size(), 1u + std::size(kOpenKeyCascade));
    EXPECT_EQ(registry.CurrentKey(), key);
    EXPECT_EQ(registry.CurrentPath(), "A");
}

// --- The registry object itself ---------------------------------------------

TEST_F(RegistryAccess, ConstructionRootKeyAndClosing) {
    reg.Put("A", "v", kRegDword, {0, 0, 0, 0});
    TKzRegistry registry;
    EXPECT_EQ(registry.RootKey(), kHKCU);
    EXPECT_TRUE(registry.LazyWrite());
    EXPECT_FALSE(registry.CloseRootKey());
    EXPECT_EQ(registry.Access(), 0u);
    EXPECT_EQ(registry.CurrentKey(), 0u);
    registry.CloseKey();  // nothing open: nothing happens
    EXPECT_EQ(reg.closes, 0);

    ASSERT_TRUE(registry.OpenKey("A", false));
    registry.SetRootKey(kHKCU);  // the same root keeps the key open
    EXPECT_NE(registry.CurrentKey(), 0u);
    registry.SetRootKey(kHKeyLocalMachine);
    EXPECT_EQ(registry.RootKey(), kHKeyLocalMachine);
    EXPECT_EQ(registry.CurrentKey(), 0u);
    EXPECT_EQ(registry.CurrentPath(), "");
    EXPECT_EQ(reg.closes, 1);
    EXPECT_FALSE(registry.CloseRootKey());
}

TEST_F(RegistryAccess, PutDataStoresEachKindAsItsRegistryType) {
    const struct {
        RegDataKind kind;
        std::uint32_t type;
    } cases[] = {
        {RegDataKind::Unknown, kRegNone},     {RegDataKind::String, kRegSz},
        {RegDataKind::ExpandString, kRegExpandSz}, {RegDataKind::Integer, kRegDword},
        {RegDataKind::Binary, kRegBinary},    {RegDataKind::MultiString, kRegMultiSz},
        {RegDataKind::Int64, kRegQword},
    };
    TKzRegistry registry;
    ASSERT_TRUE(registry.OpenKey(kKey, true));
    const std::uint8_t bytes[] = {1, 2, 3};
    for (const auto& c : cases) {
        registry.PutData("v", bytes, sizeof bytes, c.kind);
        EXPECT_EQ(reg.Get(kKey, "v"), (fake::Registry::Value{c.type, {1, 2, 3}}));
        EXPECT_EQ(KindOfRegType(c.type), c.kind == RegDataKind::Int64 ? RegDataKind::Unknown : c.kind);
    }
}

TEST_F(RegistryAccess, PutDataRaisesWhenTheValueCannotBeSet) {
    reg.Put("A", "v", kRegDword, {0, 0, 0, 0});
    TKzRegistry registry;
    const std::uint8_t bytes[4] = {};
    // No key open, then a key opened without KEY_SET_VALUE.
    for (const bool open : {false, true}) {
        if (open) {
            reg.grant = [](std::uint32_t m) { return m == kKeyRead; };
            ASSERT_TRUE(registry.OpenKey("A", false));
        }
        try {
            registry.PutData("Name", bytes, sizeof bytes, RegDataKind::Integer);
            ADD_FAILURE() << "no exception";
        } catch (const ERegistryException& e) {
            EXPECT_STREQ(e.what(), "Failed to set data for 'Name'");
        }
    }
}

// --- Containment ------------------------------------------------------------

TEST_F(RegistryAccess, WithoutAPortReadsGiveDefaultsAndWritesFail) {
    SetRegistryPort(nullptr);
    const List fallback{"x"};
    List list;
    EXPECT_EQ(RegReadInteger(kHKCU, kKey, "RestLevel", kKeyRead, 19660), 19660);
    EXPECT_FALSE(RegReadStringList(kHKCU, kKey, "Exceptions", kKeyRead, &fallback, list));
    EXPECT_EQ(list, fallback);
    EXPECT_FALSE(RegWriteInteger(kHKCU, kKey, "RestLevel", 1));
    EXPECT_FALSE(RegWriteStringList(kHKCU, kKey, "Exceptions", {"a"}));
}

// A registry whose value queries throw, as a failing allocation would.
class ThrowingRegistry : public fake::Registry {
public:
    RegResult QueryValue(RegKey, const std::string&, std::uint32_t*, std::uint8_t*, std::uint32_t*) override {
        throw std::runtime_error("out of memory");
    }
    RegResult SetValue(RegKey, const std::string&, std::uint32_t, const std::uint8_t*, std::uint32_t) override {
        throw std::runtime_error("out of memory");
    }
};

TEST_F(RegistryAccess, NoErrorLeavesTheFunctionsAndEveryKeyIsClosed) {
    ThrowingRegistry throwing;
    throwing.Put(kKey, "v", kRegDword, {1, 0, 0, 0});
    SetRegistryPort(&throwing);
    const List fallback{"x"};
    List list{"stale"};
    EXPECT_EQ(RegReadInteger(kHKCU, kKey, "v", kKeyRead, 3), 3);
    EXPECT_FALSE(RegReadStringList(kHKCU, kKey, "v", kKeyRead, &fallback, list));
    EXPECT_EQ(list, fallback);
    EXPECT_FALSE(RegWriteInteger(kHKCU, kKey, "v", 1));
    EXPECT_FALSE(RegWriteStringList(kHKCU, kKey, "v", {"a"}));
    EXPECT_EQ(throwing.OpenHandles(), 0u);
    EXPECT_EQ(throwing.closes, 4);
}

}  // namespace
}  // namespace rl
