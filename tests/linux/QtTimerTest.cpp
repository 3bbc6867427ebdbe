// The Qt timer and message pump of the user-interface thread.
#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

TEST(QtTimerTest, StartsEnabledWithOneSecond) {
    auto timer = CreateTimer();
    EXPECT_TRUE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 1000u);
}

TEST(QtTimerTest, TicksWhileEnabledAndStopsWhenDisabled) {
    auto timer = CreateTimer();
    int ticks = 0;
    timer->SetOnTimer([&] { ++ticks; });
    timer->SetInterval(20);
    ASSERT_TRUE(linuxtest::WaitFor([&] { return ticks >= 3; }, 10s));

    timer->SetEnabled(false);
    EXPECT_FALSE(timer->Enabled());
    MessagePump().ProcessMessages();
    const int stopped = ticks;
    linuxtest::WaitFor([] { return false; }, 200ms);
    EXPECT_EQ(ticks, stopped);

    timer->SetEnabled(true);
    EXPECT_TRUE(linuxtest::WaitFor([&] { return ticks > stopped; }, 10s));
}

TEST(QtTimerTest, ZeroIntervalNeverTicks) {
    auto timer = CreateTimer();
    int ticks = 0;
    timer->SetOnTimer([&] { ++ticks; });
    timer->SetInterval(0);
    EXPECT_TRUE(timer->Enabled());
    linuxtest::WaitFor([] { return false; }, 200ms);
    EXPECT_EQ(ticks, 0);
    timer->SetInterval(10);
    EXPECT_TRUE(linuxtest::WaitFor([&] { return ticks > 0; }, 10s));
}

TEST(QtTimerTest, SameIntervalAgainDoesNotRestartTheCount) {
    auto timer = CreateTimer();
    int ticks = 0;
    timer->SetOnTimer([&] { ++ticks; });
    timer->SetInterval(300);
    // Set again and again well within each period: a restart would never tick.
    EXPECT_TRUE(linuxtest::WaitFor(
        [&] {
            timer->SetInterval(300);
            return ticks > 0;
        },
        10s));
}

TEST(QtTimerTest, TicksOnlyWhenMessagesAreProcessed) {
    auto timer = CreateTimer();
    int ticks = 0;
    timer->SetOnTimer([&] { ++ticks; });
    timer->SetInterval(10);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ticks, 0);
    // One pass dispatches the due tick once: ticks are not queued up.
    MessagePump().ProcessMessages();
    EXPECT_EQ(ticks, 1);
}

TEST(QtTimerTest, PumpDispatchesWaitingEventsWithoutWaiting) {
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    MessagePump().ProcessMessages();
    EXPECT_TRUE(ran);

    // Nothing waiting: it returns at once rather than blocking for events.
    const auto start = std::chrono::steady_clock::now();
    MessagePump().ProcessMessages();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

}  // namespace
}  // namespace rl
