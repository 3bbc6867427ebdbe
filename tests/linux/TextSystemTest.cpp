// The text utilities over the Linux adapter: C library messages, the
// environment, the kernel's random bytes, the C library's time zone and the
// Shift key on the test X server.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/TextSystem.h"
#include "platform/linux/ErrorCodes.h"
#include "support/VorlLibText.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::ScopedEnv;

class LinuxTextTest : public ::testing::Test {
protected:
    std::unique_ptr<ITextSystem> port = CreateTextSystem();
    void SetUp() override { SetTextSystemPort(port.get()); }
    void TearDown() override {
        SetTextSystemPort(nullptr);
        linuxerr::SetThreadLastError(0);
    }
};

std::string Hex(std::uint32_t code) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, " (0x%08X)", code);
    return buffer;
}

TEST(ErrorCodesTest, MapsErrnoToWindowsCodesAndBack) {
    const struct {
        int error;
        std::uint32_t code;
    } forward[] = {
        {0, 0},        {ENOENT, 2},          {ENOTDIR, 3},  {EACCES, 5},   {EPERM, 5},    {ENOMEM, 8},
        {EROFS, 19},   {ETXTBSY, 32},        {EEXIST, 80},  {EINVAL, 87},  {ENOSPC, 112}, {ENOTEMPTY, 145},
        {EBUSY, 170},  {ENAMETOOLONG, 206},  {EIO, 1117},   {EDOM, linuxerr::kUnmappedErrno},
    };
    for (const auto& f : forward) EXPECT_EQ(linuxerr::WinErrorFromErrno(f.error), f.code) << f.error;

    const struct {
        std::uint32_t code;
        int error;
    } backward[] = {
        {0, 0}, {2, ENOENT}, {5, EACCES}, {80, EEXIST}, {183, EEXIST}, {87, EINVAL}, {31, 0}, {40000, 0},
    };
    for (const auto& b : backward) EXPECT_EQ(linuxerr::ErrnoFromWinError(b.code), b.error) << b.code;
}

TEST(ErrorCodesTest, ThreadLastErrorIsPerThread) {
    EXPECT_EQ(linuxerr::SetThreadLastErrorFromErrno(ENOSPC), 112u);
    std::uint32_t other = 1;
    std::thread([&other] { other = linuxerr::ThreadLastError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(linuxerr::ThreadLastError(), 112u);
    linuxerr::SetThreadLastError(0);
}

TEST_F(LinuxTextTest, SysErrorTextGivesTheCLibraryTextForTheErrnoBehindACode) {
    for (const int error : {ENOENT, EACCES, ENOSPC, ENAMETOOLONG, EROFS}) {
        const std::uint32_t code = linuxerr::WinErrorFromErrno(error);
        EXPECT_EQ(SysErrorText(static_cast<std::int32_t>(code)), std::strerror(error) + Hex(code)) << error;
        EXPECT_EQ(SysErrorText(-static_cast<std::int32_t>(code)), std::strerror(error) + Hex(code)) << error;
    }
    // No errno behind these: the symbolic name.
    EXPECT_EQ(SysErrorText(1), "ERROR_INVALID_FUNCTION (0x00000001)");
    EXPECT_EQ(SysErrorText(31), "ERROR_GEN_FAILURE (0x0000001F)");
    EXPECT_EQ(SysErrorText(1208), "ERROR_EXTENDED_ERROR (0x000004B8)");
    EXPECT_EQ(SysErrorText(12002), "WinInet Error 12002 (0x00002EE2)");
    EXPECT_EQ(SysErrorText(40000), "Unknown Error 40000 (0x00009C40)");
}

TEST_F(LinuxTextTest, LastErrorTextReadsWhatTheAdaptersLeft) {
    ASSERT_NE(mkdir("/nonexistent-rl-parent/child", 0700), 0);
    const int error = errno;
    const std::uint32_t code = linuxerr::SetThreadLastErrorFromErrno(error);
    EXPECT_EQ(code, 2u);
    EXPECT_EQ(LastErrorText(), std::strerror(ENOENT) + Hex(2));
}

TEST_F(LinuxTextTest, ExpandEnvVarsReplacesKnownNamesAndKeepsTheRest) {
    ScopedEnv set("RL_TEXT_TEST", "/home/me/.cache");
    ScopedEnv empty("RL_TEXT_EMPTY", "");
    ScopedEnv unset("RL_TEXT_UNSET", nullptr);
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"%RL_TEXT_TEST%/RestLevel", "/home/me/.cache/RestLevel"},
        {"%RL_TEXT_UNSET%/x", "%RL_TEXT_UNSET%/x"},
        {"a%RL_TEXT_EMPTY%b", "ab"},
        {"%RL_TEXT_TEST%%RL_TEXT_TEST%", "/home/me/.cache/home/me/.cache"},
        {"%RL_TEXT_UNSET%RL_TEXT_TEST%", "%RL_TEXT_UNSET%RL_TEXT_TEST%"},
        {"%%", "%%"},
        {"100% sure", "100% sure"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ExpandEnvVars(c.text), c.expected) << c.text;
}

TEST_F(LinuxTextTest, HasPrefixIgnoresCaseOfAsciiLetters) {
    std::string rest;
    EXPECT_TRUE(HasPrefix("encr:0a1b", "Encr:", false, &rest));
    EXPECT_EQ(rest, "0a1b");
    EXPECT_FALSE(HasPrefix("encx:0a1b", "Encr:", false));
    EXPECT_FALSE(HasPrefix("enc", "Encr:", false));
    EXPECT_FALSE(HasPrefix("encr:0a1b", "Encr:", true));
}

TEST_F(LinuxTextTest, MillisecondsIncreasesWithTheMonotonicClock) {
    const double first = Milliseconds();
    std::this_thread::sleep_for(20ms);
    const double second = Milliseconds();
    EXPECT_GT(second, first);
    EXPECT_GE(second - first, 20.0);
}

TEST_F(LinuxTextTest, FillRandomFillsFromTheKernel) {
    std::vector<std::uint8_t> a(64, 0);
    std::vector<std::uint8_t> b(64, 0);
    FillRandom(a.data(), static_cast<std::uint32_t>(a.size()));
    FillRandom(b.data(), static_cast<std::uint32_t>(b.size()));
    EXPECT_NE(a, std::vector<std::uint8_t>(64, 0));
    EXPECT_NE(a, b);
}

// Sets TZ and makes the C library read it, for the scope.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone) : env_("TZ", zone) { tzset(); }
    ~ScopedZone() = default;

private:
    ScopedEnv env_;
};

TEST_F(LinuxTextTest, UtcToLocalDateTimeFollowsTZ) {
    const double winterNoon = 45000.5;  // 15 March 2023 12:00 UTC
    const double summerNoon = 45108.5;  // 1 July 2023 12:00 UTC
    struct Case {
        const char* zone;
        double winterHours, summerHours;
    };
    std::vector<Case> cases{{"UTC0", 0, 0}, {"UTC-2", 2, 2}, {"EST5", -5, -5}, {"CET-1CEST,M3.5.0,M10.5.0/3", 1, 2}};
    struct stat info {};
    if (stat("/usr/share/zoneinfo/Europe/Berlin", &info) == 0) cases.push_back({"Europe/Berlin", 1, 2});
    for (const Case& c : cases) {
        ScopedZone zone(c.zone);
        EXPECT_NEAR(UtcToLocalDateTime(winterNoon), winterNoon + c.winterHours / 24, 1e-8) << c.zone;
        EXPECT_NEAR(UtcToLocalDateTime(summerNoon), summerNoon + c.summerHours / 24, 1e-8) << c.zone;
        // Milliseconds are kept.
        const double withMs = winterNoon + 0.123 / 86400;
        EXPECT_NEAR(UtcToLocalDateTime(withMs), withMs + c.winterHours / 24, 1e-9) << c.zone;
    }
    tzset();
}

TEST_F(LinuxTextTest, FileTimeStepsOfTheFallbackAgreeWithTheCalendar) {
    SystemTime st{2023, 7, 6, 1, 12, 34, 56, 789};
    FileTime file = 0;
    ASSERT_TRUE(port->SystemTimeToFile(st, file));
    // 1 July 2023 12:34:56.789 UTC: Unix seconds 1688214896.
    EXPECT_EQ(file, (1688214896ull + 11644473600ull) * 10000000ull + 7890000ull);
    SystemTime back;
    ASSERT_TRUE(port->FileTimeToSystem(file, back));
    EXPECT_EQ(back, st);

    {
        ScopedZone zone("UTC-2");
        FileTime local = 0;
        ASSERT_TRUE(port->FileTimeToLocal(file, local));
        EXPECT_EQ(local - file, 2ull * 3600 * 10000000);
    }
    tzset();
    EXPECT_FALSE(port->SystemTimeToFile(SystemTime{2023, 2, 0, 29}, file));
    EXPECT_FALSE(port->SystemTimeToFile(SystemTime{1600, 1, 0, 1}, file));
    EXPECT_FALSE(port->FileTimeToSystem(0x8000000000000000ull, back));
}

TEST_F(LinuxTextTest, IsShiftDownWhileXdotoolHoldsShift) {
    ASSERT_FALSE(linuxtest::ServiceEnv("DISPLAY").empty());
    EXPECT_FALSE(IsShiftDown());
    ASSERT_EQ(linuxtest::Run("xdotool keydown shift").status, 0);
    const bool down = linuxtest::WaitFor([] { return IsShiftDown(); }, 5s);
    ASSERT_EQ(linuxtest::Run("xdotool keyup shift").status, 0);
    EXPECT_TRUE(down);
    EXPECT_TRUE(linuxtest::WaitFor([] { return !IsShiftDown(); }, 5s));
}

}  // namespace
}  // namespace rl
