// The registry functions on the real registry, checked with reg, a program we
// did not write: our writes read by `reg query`, `reg add` read by our
// functions. Everything happens below HKCU\Software\RestLevelTests, which is
// removed afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "support/KzRegistry.h"
#include "support/VorlLibRegistry.h"
#include "tests/contract/RegRoundTrips.h"
#include "tests/contract/RegistryContract.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using List = std::vector<std::string>;
constexpr RegKey kHKCU = kHKeyCurrentUser;

using win32test::Reg;
using win32test::RegOutput;

class WindowsRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        SetRegistryPort(registry.get());
        DeleteKeyTree(*registry, kHKCU, contract::kTestsKey);
    }
    void TearDown() override {
        EXPECT_EQ(DeleteKeyTree(*registry, kHKCU, contract::kTestsKey), kErrorSuccess);
        SetRegistryPort(nullptr);
    }

    bool ValueExists(const std::string& path, const std::string& name) {
        RegKey key = 0;
        if (registry->OpenKey(kHKCU, path, kKeyRead, key) != kErrorSuccess) return false;
        std::uint32_t size = 0;
        const bool exists = registry->QueryValue(key, name, nullptr, nullptr, &size) == kErrorSuccess;
        registry->CloseKey(key);
        return exists;
    }

    std::unique_ptr<IRegistry> registry = CreateRegistry();
};

TEST_F(WindowsRegistry, OurWritesReadByReg) {
    const std::string key = contract::kRoundTripKey;
    for (const auto& row : contract::OurWrites()) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(row.integer ? RegWriteInteger(kHKCU, key, row.name, *row.integer)
                                : RegWriteStringList(kHKCU, key, row.name, row.list));
        const RegOutput r = Reg("query \"HKCU\\" + key + "\" /v " + row.name);
        EXPECT_EQ(r.status, 0u) << r.output;
        EXPECT_EQ(r.output, "\nHKEY_CURRENT_USER\\" + key + "\n" + row.line + "\n\n");
    }
}

TEST_F(WindowsRegistry, RegWritesReadByOurFunctions) {
    const std::string key = contract::kRoundTripKey;
    const List fallback{"default"};
    for (const auto& row : contract::RegAdds()) {
        SCOPED_TRACE(row.name + " " + row.type + " " + row.data);
        const RegOutput r = Reg("add \"HKEY_CURRENT_USER\\" + key + "\" /v " + row.name + " /t " + row.type + " /d \"" +
                                row.data + "\" /f");
        EXPECT_EQ(r.status, row.accepted ? 0u : 1u) << r.output;
        EXPECT_EQ(ValueExists(key, row.name), row.accepted);
        EXPECT_EQ(RegReadInteger(kHKCU, key, row.name, kKeyRead, contract::kRoundTripDefault), row.integer);
        List list;
        EXPECT_EQ(RegReadStringList(kHKCU, key, row.name, kKeyRead, &fallback, list), row.listRead);
        EXPECT_EQ(list, row.listRead ? row.list : fallback);
    }
}

// Values as another program might have written them, through the ANSI
// functions that convert them to the registry's own form and back.
TEST_F(WindowsRegistry, OddValuesReadAsOurFunctionsPromise) {
    const std::string key = contract::kRoundTripKey;
    const struct {
        const char* name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
        std::int32_t integer;
        bool listRead;
        List list;
    } cases[] = {
        {"NoFinalZero", kRegMultiSz, {'a', 0, 'b', 0}, 7, true, {"a"}},
        {"EmptyItem", kRegMultiSz, {'a', 0, 0, 'b', 0, 0}, 7, true, {"a", "", "b"}},
        {"ShortDword", kRegDword, {0x34, 0x12}, 7, false, {}},
        {"LongDword", kRegDword, {1, 0, 0, 0, 0, 0, 0, 0}, 7, false, {}},
        {"Dword", kRegDword, {0xCC, 0x4C, 0, 0}, 19660, false, {}},
    };
    RegKey handle = 0;
    ASSERT_EQ(registry->CreateKey(kHKCU, key, kKeyAllAccess, handle, nullptr), kErrorSuccess);
    for (const auto& c : cases)
        ASSERT_EQ(registry->SetValue(handle, c.name, c.type, c.data.data(), static_cast<std::uint32_t>(c.data.size())),
                  kErrorSuccess);
    registry->CloseKey(handle);

    const List fallback{"default"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RegReadInteger(kHKCU, key, c.name, kKeyRead, 7), c.integer);
        List list;
        EXPECT_EQ(RegReadStringList(kHKCU, key, c.name, kKeyRead, &fallback, list), c.listRead);
        EXPECT_EQ(list, c.listRead ? c.list : fallback);
    }
}

TEST_F(WindowsRegistry, WritingCreatesTheKeyWithItsParents) {
    const std::string key = std::string(contract::kTestsKey) + "\\Created\\Below";
    EXPECT_EQ(Reg("query \"HKCU\\" + key + "\"").status, 1u);
    EXPECT_TRUE(RegWriteInteger(kHKCU, key, "IdleTime", 100));
    const RegOutput r = Reg("query \"HKCU\\" + std::string(contract::kTestsKey) + "\" /s");
    EXPECT_EQ(r.status, 0u);
    EXPECT_NE(r.output.find("HKEY_CURRENT_USER\\" + key + "\n    IdleTime    REG_DWORD    0x64\n"), std::string::npos)
        << r.output;
}

}  // namespace
}  // namespace rl

namespace rl::contract {
namespace {

class Win32ContractStore : public Store {
public:
    IRegistry& Registry() override { return *registry_; }

private:
    std::unique_ptr<IRegistry> registry_ = CreateRegistry();
};

INSTANTIATE_TEST_SUITE_P(Win32, RegistryContract,
                         ::testing::Values(StoreFactory([] { return std::make_unique<Win32ContractStore>(); })));

}  // namespace
}  // namespace rl::contract
