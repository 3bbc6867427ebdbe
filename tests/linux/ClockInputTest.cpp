// The clock and input adapter against Xvfb, driven by xdotool.
#include <signal.h>
#include <time.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "platform/linux/X11Display.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::ScopedEnv;

class ClockInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(linuxtest::ServiceEnv("DISPLAY").empty());
        clock_ = CreateClockInput();
    }
    std::uint32_t Idle() { return clock_->GetTickCount() - clock_->GetLastInputTick(); }

    // Moves the pointer somewhere else each time, so that every call is input.
    void MoveMouse() {
        static int x = 100;
        x = x == 100 ? 300 : 100;
        ASSERT_EQ(linuxtest::Run("xdotool mousemove " + std::to_string(x) + " 200").status, 0);
    }

    std::unique_ptr<IClockInput> clock_;
};

TEST_F(ClockInputTest, TickIsTheMonotonicClockInMilliseconds) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto expected = static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                                     static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
    const std::uint32_t tick = clock_->GetTickCount();
    EXPECT_LT(tick - expected, 1000u);  // modular: the clock only moved on
    std::this_thread::sleep_for(50ms);
    EXPECT_GE(clock_->GetTickCount() - tick, 50u);
}

TEST_F(ClockInputTest, IdleTimeGrowsAndInputResetsIt) {
    MoveMouse();
    const std::uint32_t first = Idle();
    ASSERT_NE(clock_->GetLastInputTick(), kNoInputTick);
    std::this_thread::sleep_for(800ms);
    const std::uint32_t later = Idle();
    EXPECT_GE(later, first + 700);
    EXPECT_LT(later, 60000u);

    // xdotool's input reaches the server on its own connection: give it time.
    MoveMouse();
    EXPECT_TRUE(linuxtest::WaitFor([&] { return Idle() < 700u; }, 5s)) << Idle();
}

TEST_F(ClockInputTest, KeyboardInputResetsIdleTime) {
    std::this_thread::sleep_for(500ms);
    const std::uint32_t before = Idle();
    ASSERT_GE(before, 400u);
    ASSERT_EQ(linuxtest::Run("xdotool key shift").status, 0);
    EXPECT_TRUE(linuxtest::WaitFor([&] { return Idle() < before; }, 5s));
}

TEST_F(ClockInputTest, IdleTimeIsSteadyWhileQuietAndInputEndsEveryQuietSpell) {
    // Quiet spells longer than a second, each ended by input: the answer is
    // kept between spells of asking the server, and input is never missed.
    for (int spell = 0; spell < 3; ++spell) {
        SCOPED_TRACE(spell);
        MoveMouse();
        ASSERT_TRUE(linuxtest::WaitFor([&] { return Idle() < 700u; }, 5s));
        std::uint32_t previous = Idle();
        const std::uint32_t start = previous;
        for (int i = 0; i < 25; ++i) {
            std::this_thread::sleep_for(60ms);
            const std::uint32_t now = Idle();
            EXPECT_GE(now, previous);
            previous = now;
        }
        EXPECT_GE(previous - start, 1400u);
    }
    MoveMouse();
    EXPECT_TRUE(linuxtest::WaitFor([&] { return Idle() < 700u; }, 5s));
}

TEST_F(ClockInputTest, NoReachableServerMeansNoInputTickAndNoForeground) {
    const char* displays[] = {nullptr, ":4711"};  // unset; a display nobody serves
    for (const char* display : displays) {
        SCOPED_TRACE(display == nullptr ? "unset" : display);
        x11::CloseSharedDisplay();
        {
            ScopedEnv env("DISPLAY", display);
            EXPECT_EQ(clock_->GetLastInputTick(), kNoInputTick);
            EXPECT_EQ(clock_->GetForegroundWindow(), 0u);
            // The tick does not need the display.
            EXPECT_NE(clock_->GetTickCount(), 0u);
        }
        x11::CloseSharedDisplay();
    }
    EXPECT_NE(clock_->GetLastInputTick(), kNoInputTick);
}

TEST_F(ClockInputTest, ServerThatGoesAwayDoesNotEndTheProcess) {
    // An X server of the test's own; it tells its display number on stdout.
    linuxtest::Child xvfb({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"}, {}, true);
    const auto number = xvfb.ReadLine(30s);
    ASSERT_TRUE(number.has_value());
    x11::CloseSharedDisplay();
    {
        const std::string display = ":" + *number;
        ScopedEnv env("DISPLAY", display.c_str());
        ASSERT_NE(clock_->GetLastInputTick(), kNoInputTick);
        xvfb.Kill(SIGKILL);
        EXPECT_EQ(clock_->GetLastInputTick(), kNoInputTick);
        EXPECT_EQ(clock_->GetForegroundWindow(), 0u);
        auto snapshots = CreateSnapshotPort();
        int windows = 0;
        snapshots->EnumTopLevelWindows(0, [&](WindowHandle) { ++windows; });
        EXPECT_EQ(windows, 0);
    }
    x11::CloseSharedDisplay();
    EXPECT_NE(clock_->GetLastInputTick(), kNoInputTick);
}

}  // namespace
}  // namespace rl
