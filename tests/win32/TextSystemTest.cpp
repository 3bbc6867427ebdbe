// The text utilities over the Windows adapter, under Wine.
#include <windows.h>
#include <winnetwk.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/TextSystem.h"
#include "support/VorlLibText.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

class Win32TextTest : public ::testing::Test {
protected:
    std::unique_ptr<ITextSystem> port = CreateTextSystem();
    void SetUp() override { SetTextSystemPort(port.get()); }
    void TearDown() override { SetTextSystemPort(nullptr); }
};

// The formatter's own text for a code, with the period and line break that
// end it cut off by hand.
std::string OwnMessage(DWORD flags, HMODULE module, DWORD code) {
    char buffer[256];
    const DWORD length = FormatMessageA(flags, module, code, 0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

TEST_F(Win32TextTest, SysErrorTextIsTheSystemsMessageWithTheCode) {
    const std::string message = OwnMessage(0x3200, nullptr, 5);
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(SysErrorText(5), message + " (0x00000005)");
    EXPECT_EQ(SysErrorText(-5), message + " (0x00000005)");
    EXPECT_EQ(SysErrorText(40000), "Unknown Error 40000 (0x00009C40)");
}

TEST_F(Win32TextTest, SysErrorTextTakesWinInetMessagesFromTheLoadedModule) {
    const HMODULE wininet = LoadLibraryA("wininet.dll");
    ASSERT_NE(wininet, nullptr);
    const std::string message = OwnMessage(0x2A00, wininet, 12002);
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(SysErrorText(12002), message + " (0x00002EE2)");
    // A code of WinInet's range that the module has no message for.
    EXPECT_EQ(SysErrorText(12100), "WinInet Error 12100 (0x00002F44)");
    FreeLibrary(wininet);
}

TEST_F(Win32TextTest, LastErrorTextReadsTheThreadsLastError) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LastErrorText(), OwnMessage(0x3200, nullptr, 2) + " (0x00000002)");
}

TEST_F(Win32TextTest, ExpandEnvVarsExpandsWhatIsSetAndKeepsTheRest) {
    ASSERT_TRUE(SetEnvironmentVariableA("RL_TEXT_TEST", "C:\\Some Folder"));
    SetEnvironmentVariableA("RL_TEXT_TEST_UNSET", nullptr);
    EXPECT_EQ(ExpandEnvVars("%RL_TEXT_TEST%\\RestLevel.exe;%RL_TEXT_TEST_UNSET%"),
              "C:\\Some Folder\\RestLevel.exe;%RL_TEXT_TEST_UNSET%");
    EXPECT_EQ(ExpandEnvVars(""), "");
    SetEnvironmentVariableA("RL_TEXT_TEST", nullptr);
}

TEST_F(Win32TextTest, HasPrefixIgnoresCaseThroughTheSystem) {
    std::string rest;
    EXPECT_TRUE(HasPrefix("encr:0a1b", "Encr:", false, &rest));
    EXPECT_EQ(rest, "0a1b");
    EXPECT_FALSE(HasPrefix("encx:0a1b", "Encr:", false));
    EXPECT_FALSE(HasPrefix("encr:0a1b", "Encr:", true));
}

TEST_F(Win32TextTest, MillisecondsIncreases) {
    const double first = Milliseconds();
    Sleep(20);
    const double second = Milliseconds();
    EXPECT_GT(second, first);
}

TEST_F(Win32TextTest, FillRandomFillsFromTheSystem) {
    std::vector<std::uint8_t> a(64, 0);
    std::vector<std::uint8_t> b(64, 0);
    FillRandom(a.data(), static_cast<std::uint32_t>(a.size()));
    FillRandom(b.data(), static_cast<std::uint32_t>(b.size()));
    EXPECT_NE(a, std::vector<std::uint8_t>(64, 0));
    EXPECT_NE(a, b);

    std::string secret = "user:password";
    WipeSecret(secret, 3);
    EXPECT_TRUE(secret.empty());
}

TEST_F(Win32TextTest, IsShiftDownFollowsTheShiftKey) {
    win32test::TestWindow window("RestLevel Shift test", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(window.Handle(), nullptr);
    SetForegroundWindow(window.Handle());
    SetFocus(window.Handle());
    win32test::PumpFor(100ms);
    EXPECT_FALSE(IsShiftDown());

    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = VK_SHIFT;
    ASSERT_EQ(SendInput(1, &input, sizeof(input)), 1u);
    EXPECT_TRUE(win32test::WaitFor([] { return IsShiftDown(); }, 5000ms));
    input.ki.dwFlags = KEYEVENTF_KEYUP;
    ASSERT_EQ(SendInput(1, &input, sizeof(input)), 1u);
    EXPECT_TRUE(win32test::WaitFor([] { return !IsShiftDown(); }, 5000ms));
}

// Wine takes the time zone from TZ when a process starts, so the build runs
// this test a second time with TZ set to a zone with summer time by rule (no
// zone files needed), named in RL_TEXT_ZONE too: one hour ahead of UTC in
// winter, two in summer.
TEST_F(Win32TextTest, UtcToLocalDateTimeFollowsTheTimeZone) {
    const double winterNoon = 45000.5;  // 15 March 2023 12:00 UTC
    const double summerNoon = 45108.5;  // 1 July 2023 12:00 UTC
    const char* zone = std::getenv("RL_TEXT_ZONE");
    if (zone != nullptr && std::string(zone) == "CET-1CEST,M3.5.0,M10.5.0/3") {
        EXPECT_NEAR(UtcToLocalDateTime(winterNoon), winterNoon + 1.0 / 24, 1e-8);
        EXPECT_NEAR(UtcToLocalDateTime(summerNoon), summerNoon + 2.0 / 24, 1e-8);
    } else {
        ASSERT_EQ(zone, nullptr) << "no expectations for the zone " << zone;
    }
    // In any zone: whole quarter hours, less than a day apart.
    for (const double utc : {winterNoon, summerNoon}) {
        const double minutes = (UtcToLocalDateTime(utc) - utc) * 1440;
        EXPECT_NEAR(minutes, std::round(minutes / 15) * 15, 1e-4);
        EXPECT_LT(std::fabs(minutes), 1440);
    }
}

}  // namespace
}  // namespace rl
