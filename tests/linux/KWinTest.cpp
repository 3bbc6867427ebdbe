// Our Wayland clients against a real headless KWin 5.27 run by the test as an
// unprivileged user: idle time through ext-idle-notify-v1 with input from
// KWin's fake input, an idle inhibitor held by a test window, and the active
// window's process from plasma window management.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "platform/linux/PlasmaWindows.h"
#include "platform/linux/WaylandIdle.h"
#include "tests/linux/LinuxTestSupport.h"
#include "tests/linux/WaylandSession.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::Child;
using linuxtest::KWinSession;
using linuxtest::WaylandUser;
using linuxtest::WaitFor;

// The program's own clock, which it gives the idle source.
std::uint32_t Tick() {
    static const auto clock = CreateClockInput();
    return clock->GetTickCount();
}

class KWinTest : public ::testing::Test {
protected:
    // Declared first: windows and clients end before KWin, KWin before the user.
    WaylandUser user;
    KWinSession kwin{user};

    void SetUp() override { ASSERT_TRUE(kwin.Started()) << kwin.Log(); }

    std::unique_ptr<wayland::IdleSource> Idle() {
        auto source = wayland::IdleSource::Connect(kwin.SocketPath().c_str(), Tick());
        EXPECT_NE(source, nullptr);
        if (source) {
            EXPECT_EQ(source->Protocol(), wayland::IdleProtocol::ExtIdleNotify);
        }
        return source;
    }
};

// Not idle: the source answers with the current tick itself.
bool Active(wayland::IdleSource& source) {
    const std::uint32_t now = Tick();
    return source.LastInputTick(now) == now;
}

TEST_F(KWinTest, IdleComesASecondAfterTheLastInputAndFakeInputEndsIt) {
    auto source = Idle();
    ASSERT_NE(source, nullptr);
    // Nothing touches this session: it goes idle by itself.
    EXPECT_TRUE(WaitFor([&] { return !Active(*source); }, 10s));

    for (const char* input : {"motion", "key"}) {
        SCOPED_TRACE(input);
        const std::uint32_t before = Tick();
        ASSERT_TRUE(kwin.FakeInput(input));
        const std::uint32_t after = Tick();
        EXPECT_TRUE(WaitFor([&] { return Active(*source); }, 10s)) << "the input did not end the idle time";
        std::uint32_t last = 0;
        EXPECT_TRUE(WaitFor([&] {
            const std::uint32_t now = Tick();
            last = source->LastInputTick(now);
            return last != now;
        }, 10s)) << "no idle after the input";
        // Idle since the input, within the promised second. KWin's timers
        // are coarse: Qt lets them fire up to 5 % early.
        EXPECT_GE(static_cast<std::int32_t>(last - before), -50);
        EXPECT_LE(static_cast<std::int32_t>(last - after), 1000);
    }
}

TEST_F(KWinTest, AnIdleInhibitorKeepsTheIdleNotificationAwayUntilItsWindowCloses) {
    auto video = kwin.Window("org.example.Video", "video", {"--inhibit-idle"});
    auto source = Idle();
    ASSERT_NE(source, nullptr);
    // Three times the notification's timeout without input, and never idle.
    const auto end = std::chrono::steady_clock::now() + 3s;
    bool alwaysActive = true;
    while (std::chrono::steady_clock::now() < end && alwaysActive) {
        alwaysActive = Active(*source);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(alwaysActive) << "idle while a window inhibits it";

    video->Stop();
    EXPECT_TRUE(WaitFor([&] { return !Active(*source); }, 10s)) << "no idle once the inhibitor is gone";
}

// The window-list probe's lines, read until one equals the expected; the
// last one seen (also by an earlier wait) when none does in time.
class ProbeLines {
public:
    explicit ProbeLines(Child& probe) : probe_(probe) {}
    std::string Await(const std::string& expected) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (last_ != expected || !fresh_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const auto line = left.count() > 0 ? probe_.ReadLine(left) : std::nullopt;
            if (!line) return last_;
            last_ = *line;
            fresh_ = true;
        }
        fresh_ = false;
        return last_;
    }

private:
    Child& probe_;
    std::string last_ = "(nothing)";
    bool fresh_ = false;
};

std::string Front(pid_t pid, bool fullScreen = false, bool lost = false) {
    return "active " + std::to_string(pid) + " fullscreen " + (fullScreen ? "1" : "0") + " lost " +
           (lost ? "1" : "0");
}

TEST_F(KWinTest, TheWindowListFollowsTheActiveWindowsProcessUntilKWinGoes) {
    auto probe = user.Start({user.Copy(RL_WAYLAND_PLASMA_PROBE)}, kwin.Env());
    ProbeLines lines(*probe);
    EXPECT_EQ(lines.Await(Front(0)), Front(0)) << "an empty desktop has nothing in front";

    // A newly mapped window is activated; closing it activates the other.
    auto alpha = kwin.Window("org.example.Alpha", "alpha");
    EXPECT_EQ(lines.Await(Front(alpha->Pid())), Front(alpha->Pid()));
    auto beta = kwin.Window("org.example.Beta", "beta");
    EXPECT_EQ(lines.Await(Front(beta->Pid())), Front(beta->Pid()));
    // Both stay open while the activation moves between them.
    ASSERT_TRUE(kwin.Activate("org.example.Alpha"));
    EXPECT_EQ(lines.Await(Front(alpha->Pid())), Front(alpha->Pid()));
    ASSERT_TRUE(kwin.Activate("org.example.Beta"));
    EXPECT_EQ(lines.Await(Front(beta->Pid())), Front(beta->Pid()));
    beta->Stop();
    EXPECT_EQ(lines.Await(Front(alpha->Pid())), Front(alpha->Pid()));

    auto film = kwin.Window("org.example.Film", "film", {"--fullscreen"});
    EXPECT_EQ(lines.Await(Front(film->Pid(), true)), Front(film->Pid(), true));
    film->Stop();
    EXPECT_EQ(lines.Await(Front(alpha->Pid())), Front(alpha->Pid()));

    kwin.Crash();
    EXPECT_EQ(lines.Await(Front(0, false, true)), Front(0, false, true));
}

TEST_F(KWinTest, AClientKWinCannotIdentifyGetsNoWindowListButItsIdleTime) {
    if (geteuid() != 0) GTEST_SKIP() << "needs a client whose program file KWin's user cannot read (root)";
    // KWin reads a client's program file to trust it; a root client's it
    // cannot read. The idle notifications are for every client.
    EXPECT_EQ(wayland::TPlasmaWindows::Connect(kwin.SocketPath()), nullptr);
    EXPECT_NE(Idle(), nullptr);
}

// As in a desktop session: KWin checks who asks, and only a program that a
// desktop file names with the interface in X-KDE-Wayland-Interfaces gets the
// window list (as RestLevel's installed desktop file must).
TEST(KWinPermissionTest, OnlyAProgramItsDesktopFileNamesGetsTheWindowList) {
    WaylandUser user;
    KWinSession kwin(user, {{RL_WAYLAND_PLASMA_PROBE, "org_kde_plasma_window_management"}});
    ASSERT_TRUE(kwin.Started()) << kwin.Log();
    auto named = user.Start({kwin.CopyOf(RL_WAYLAND_PLASMA_PROBE)}, kwin.Env());
    EXPECT_EQ(named->ReadLine(20s).value_or("(nothing)"), Front(0));

    // The same program under a name no desktop file gives.
    const std::string other = user.Home() + "/unnamed_probe";
    std::filesystem::copy_file(kwin.CopyOf(RL_WAYLAND_PLASMA_PROBE), other);
    auto unnamed = user.Start({other}, kwin.Env());
    EXPECT_EQ(unnamed->ReadLine(20s).value_or("(nothing)"), "none");
}

TEST(KWinWindowListConnect, NoCompositorGivesNoClient) {
    linuxtest::TempDir dir;
    EXPECT_EQ(wayland::TPlasmaWindows::Connect(dir.Path() + "/wayland-none"), nullptr);
}

}  // namespace
}  // namespace rl
