// Mutter's idle monitor against a stand-in on session buses of the test's
// own: answers, failures and delays that a real mutter does not give on
// demand (MutterSessionTest runs the real one).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ClockInput.h"
#include "platform/linux/MutterIdleMonitor.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using gnome::MutterIdleMonitor;
using linuxtest::Child;
using linuxtest::TestBus;

constexpr const char* kName = "org.gnome.Mutter.IdleMonitor";
constexpr const char* kPath = "/org/gnome/Mutter/IdleMonitor/Core";
constexpr const char* kCall = "call org.gnome.Mutter.IdleMonitor.GetIdletime";

// The stand-in serving mutter's idle monitor with a fixed answer.
std::unique_ptr<Child> ServeIdle(const TestBus& bus, const std::string& answer, int delayMs = 0,
                                 const char* path = kPath) {
    auto child = std::make_unique<Child>(
        std::vector<std::string>{RL_DBUS_STAND_IN, "--name", kName, "--path", path, "--interface", kName, "--method",
                                 "GetIdletime", "--answer", answer, "--delay-ms", std::to_string(delayMs)},
        std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", bus.Address()}});
    EXPECT_EQ(child->ReadLine(10s), "ready") << answer;
    return child;
}

struct Case {
    const char* desc;
    const char* answer;  // null: no service on the bus
    std::uint32_t now;
    std::uint32_t expected;
    const char* path = kPath;
};

const Case kCases[] = {
    {"no service", nullptr, 100000, kNoInputTick},
    {"five seconds idle", "t:5000", 100000, 95000},
    {"input just now", "t:0", 100000, 100000},
    {"idle since before the tick wrapped", "t:5000", 1000, 1000u - 5000u},
    // Beyond the tick clock: the longest idle time it can say, not the
    // low 32 bits (2^32 would read as "input just now").
    {"idle of 2^32 ms", "t:4294967296", 1000, 1002},
    {"the largest answer", "t:18446744073709551615", 1000, 1002},
    // Answers that land on "cannot read" are one millisecond older instead.
    {"the longest idle at the unlucky tick", "t:18446744073709551615", 0xFFFFFFFDu, 0xFFFFFFFEu},
    {"idle one ms longer than the tick", "t:5001", 5000, 0xFFFFFFFEu},
    // Other answers are not an idle time.
    {"a string", "s:5000", 100000, kNoInputTick},
    {"a boolean", "true", 100000, kNoInputTick},
    {"no object at mutter's path", "t:5000", 100000, kNoInputTick, "/elsewhere"},
};

// One monitor for all rows: each row's bus has a new address.
TEST(MutterIdleMonitor, ReadsTheIdleTime) {
    linuxtest::TempDir folder;
    MutterIdleMonitor monitor;
    int row = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.desc);
        TestBus bus(folder.Path() + "/bus" + std::to_string(row++));
        ASSERT_TRUE(bus.Started());
        std::unique_ptr<Child> service;
        if (c.answer != nullptr) service = ServeIdle(bus, c.answer, 0, c.path);
        const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());

        EXPECT_EQ(monitor.LastInputTick(c.now), c.expected);
        if (service && c.path == kPath) {
            EXPECT_EQ(service->ReadLine(5s), std::string(kCall));
        }
    }
}

// A mutter that hangs: the read gives up rather than wait for it.
TEST(MutterIdleMonitor, SlowServiceCannotBeRead) {
    TestBus bus;
    ASSERT_TRUE(bus.Started());
    const auto service = ServeIdle(bus, "t:5000", 30000);
    const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());

    MutterIdleMonitor monitor;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(monitor.LastInputTick(100000), kNoInputTick);
    // Only that it did not wait for the answer; how fast is not asserted.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(service->ReadLine(5s), std::string(kCall));
}

// A name nobody owns is never started by the bus for the read.
TEST(MutterIdleMonitor, StartsNoService) {
    TestBus bus;
    ASSERT_TRUE(bus.Started());
    const std::string marker = bus.Startable("org.gnome.Mutter.IdleMonitor");
    const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());

    EXPECT_EQ(MutterIdleMonitor().LastInputTick(100000), kNoInputTick);
    EXPECT_EQ(linuxtest::ModifiedSeconds(marker), 0) << "the bus started the service";
}

// The session bus ends and another starts at the same address: the monitor
// connects again instead of keeping the dead connection.
TEST(MutterIdleMonitor, ReadsAgainFromANewBus) {
    linuxtest::TempDir folder;
    const std::string socket = folder.Path() + "/bus";
    MutterIdleMonitor monitor;
    {
        TestBus bus(socket);
        ASSERT_TRUE(bus.Started());
        const auto service = ServeIdle(bus, "t:5000");
        const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());
        EXPECT_EQ(monitor.LastInputTick(100000), 95000u);
        service->Stop();
        bus.Stop();
        EXPECT_EQ(monitor.LastInputTick(100000), kNoInputTick);
    }
    TestBus bus(socket);
    ASSERT_TRUE(bus.Started());
    const auto service = ServeIdle(bus, "t:7000");
    const linuxtest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str());
    EXPECT_EQ(monitor.LastInputTick(100000), 93000u);
}

}  // namespace
}  // namespace rl
