// The clock and input adapter under Wine, and the run-time lookup of
// GetLastInputInfo with loaders that fail on purpose.
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "platform/win32/LastInputLookup.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

TEST(Win32ClockTest, TickIsTheSystemTick) {
    auto clock = CreateClockInput();
    const DWORD before = ::GetTickCount();
    const std::uint32_t tick = clock->GetTickCount();
    const DWORD after = ::GetTickCount();
    EXPECT_LE(tick - before, after - before);  // modular: between the two reads
    Sleep(50);
    // Still the system's counter later on, not a copy taken once.
    const DWORD before2 = ::GetTickCount();
    const std::uint32_t tick2 = clock->GetTickCount();
    const DWORD after2 = ::GetTickCount();
    EXPECT_LE(tick2 - before2, after2 - before2);
    EXPECT_NE(tick2, tick);
}

TEST(Win32ClockTest, LastInputTickIsNotAfterTheTick) {
    auto clock = CreateClockInput();
    const std::uint32_t last = clock->GetLastInputTick();
    const std::uint32_t now = clock->GetTickCount();
    ASSERT_NE(last, kNoInputTick);
    // Not after now, on the wrapping clock: the difference is an idle time.
    EXPECT_LT(now - last, 0x80000000u) << "last input " << last << ", now " << now;
}

TEST(Win32ClockTest, InjectedInputMovesTheLastInputTick) {
    auto clock = CreateClockInput();
    Sleep(100);
    const std::uint32_t before = clock->GetTickCount();
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = 5;
    input.mi.dy = 5;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    ASSERT_EQ(SendInput(1, &input, sizeof(input)), 1u);
    EXPECT_TRUE(win32test::WaitFor(
        [&] {
            const std::uint32_t last = clock->GetLastInputTick();
            return last != kNoInputTick && last - before < 0x80000000u;
        },
        10s))
        << "last input " << clock->GetLastInputTick() << ", before " << before;
}

// The loader and entry points seen by the lookup under test.
struct LookupScript {
    bool libraryPresent = false;
    bool entryPresent = false;
    BOOL callResult = TRUE;
    DWORD reportedTick = 0;
    std::vector<std::string> loaded;
    std::vector<std::string> resolved;
    std::vector<UINT> sizesPassed;
};
LookupScript* gScript = nullptr;

HMODULE WINAPI ScriptLoadLibrary(LPCSTR name) {
    gScript->loaded.emplace_back(name);
    return gScript->libraryPresent ? GetModuleHandleA("user32.dll") : nullptr;
}

BOOL WINAPI ScriptGetLastInputInfo(PLASTINPUTINFO info) {
    gScript->sizesPassed.push_back(info->cbSize);
    if (gScript->callResult) info->dwTime = gScript->reportedTick;
    return gScript->callResult;
}

FARPROC WINAPI ScriptGetProcAddress(HMODULE, LPCSTR name) {
    gScript->resolved.emplace_back(name);
    if (!gScript->entryPresent) return nullptr;
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(ScriptGetLastInputInfo));
}

class LastInputLookupTest : public ::testing::Test {
protected:
    void SetUp() override { gScript = &script_; }
    void TearDown() override { gScript = nullptr; }

    LookupScript script_;
    win32::LastInputLookup lookup_{ScriptLoadLibrary, ScriptGetProcAddress};
};

TEST_F(LastInputLookupTest, MissingLibraryIsTriedAgainOnEveryCall) {
    EXPECT_EQ(lookup_.Read(), kNoInputTick);
    EXPECT_EQ(lookup_.Read(), kNoInputTick);
    EXPECT_EQ(script_.loaded, (std::vector<std::string>{"user32.dll", "user32.dll"}));
    EXPECT_TRUE(script_.resolved.empty());

    script_.libraryPresent = true;
    script_.entryPresent = true;
    script_.reportedTick = 777;
    EXPECT_EQ(lookup_.Read(), 777u);
}

TEST_F(LastInputLookupTest, MissingEntryPointIsLookedUpAgainOnEveryCall) {
    script_.libraryPresent = true;
    EXPECT_EQ(lookup_.Read(), kNoInputTick);
    EXPECT_EQ(lookup_.Read(), kNoInputTick);
    // The library stays loaded; only the entry point is sought again.
    EXPECT_EQ(script_.loaded.size(), 1u);
    EXPECT_EQ(script_.resolved, (std::vector<std::string>{"GetLastInputInfo", "GetLastInputInfo"}));

    script_.entryPresent = true;
    script_.reportedTick = 4242;
    EXPECT_EQ(lookup_.Read(), 4242u);
    EXPECT_EQ(script_.resolved.size(), 3u);
}

TEST_F(LastInputLookupTest, FoundEntryPointIsKeptAndCalledWithTheTwoFieldRecord) {
    script_.libraryPresent = true;
    script_.entryPresent = true;
    script_.reportedTick = 1;
    EXPECT_EQ(lookup_.Read(), 1u);

    // Gone from the loader's view: the kept entry point is used all the same.
    script_.libraryPresent = false;
    script_.entryPresent = false;
    script_.reportedTick = 0xFFFFFFFEu;
    EXPECT_EQ(lookup_.Read(), 0xFFFFFFFEu);
    EXPECT_EQ(script_.loaded.size(), 1u);
    EXPECT_EQ(script_.resolved.size(), 1u);
    EXPECT_EQ(script_.sizesPassed, (std::vector<UINT>{8u, 8u}));
}

TEST_F(LastInputLookupTest, FailedCallYieldsNoInputTick) {
    script_.libraryPresent = true;
    script_.entryPresent = true;
    script_.reportedTick = 1234;
    script_.callResult = FALSE;
    EXPECT_EQ(lookup_.Read(), kNoInputTick);
    script_.callResult = TRUE;
    EXPECT_EQ(lookup_.Read(), 1234u);
    EXPECT_EQ(script_.resolved.size(), 1u);
}

}  // namespace
}  // namespace rl
