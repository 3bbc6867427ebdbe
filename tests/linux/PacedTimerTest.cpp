// The idle monitor's paced timer: which ticks it leaves out, and that it
// comes back to its interval when told that something changed.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "platform/linux/PacedTimer.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

TEST(PacedTimerTest, SleepsOnlyWhileNoTickCanChangeAnything) {
    struct Case {
        const char* what;
        TickPace pace;
        std::optional<std::uint32_t> delay;
    };
    const Case cases[] = {
        {"watching, far below the threshold: until it can be reached", {false, false, 1000, 600000}, 599000},
        {"watching, just below: the interval", {false, false, 599950, 600000}, 100},
        {"watching, at the threshold (gate closed): input matters", {false, false, 600000, 600000}, 100},
        {"watching, past it", {false, false, 900000, 600000}, 100},
        {"resting: input must be seen at once", {false, true, 1000, 600000}, 100},
        {"threshold 0: never enters, still keeps the interval", {false, false, 0, 0}, 100},
        {"disabled: nothing at all", {true, false, 1000, 600000}, std::nullopt},
        {"disabled while resting", {true, true, 900000, 600000}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(NextTickDelay(c.pace, 100), c.delay);
    }
}

TEST(PacedTimerTest, ASleepingTimerTicksAgainAfterAnIntervalWhenRescheduled) {
    TickPace pace{false, false, 0, 3600000};  // an hour to go
    int ticks = 0;
    PacedTimer timer([&] { return pace; });
    timer.SetOnTimer([&] { ++ticks; });
    timer.SetInterval(50);
    ASSERT_TRUE(linuxtest::WaitFor([&] { return ticks == 1; }, 5s));
    EXPECT_FALSE(linuxtest::WaitFor([&] { return ticks > 1; }, 500ms)) << "it should sleep after the first tick";

    // A setting changed: one interval later it looks again, and keeps its
    // interval once the monitor needs it.
    pace.resting = true;
    timer.Reschedule();
    EXPECT_TRUE(linuxtest::WaitFor([&] { return ticks >= 4; }, 5s));

    // Switched off and on, as a fade does: no tick while off.
    timer.SetEnabled(false);
    const int before = ticks;
    EXPECT_FALSE(linuxtest::WaitFor([&] { return ticks > before; }, 300ms));
    timer.SetEnabled(true);
    EXPECT_TRUE(linuxtest::WaitFor([&] { return ticks > before; }, 5s));

    pace.disabled = true;
    ASSERT_TRUE(linuxtest::WaitFor([&] { return ticks > before + 1; }, 5s));
    const int whenDisabled = ticks;
    EXPECT_FALSE(linuxtest::WaitFor([&] { return ticks > whenDisabled; }, 500ms)) << "disabled: no ticks";
    pace.disabled = false;
    timer.Reschedule();
    EXPECT_TRUE(linuxtest::WaitFor([&] { return ticks > whenDisabled; }, 5s));
}

}  // namespace
}  // namespace rl
