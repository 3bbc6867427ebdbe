// The Wayland idle source against a headless sway, run as an unprivileged
// user as a desktop runs it (sway refuses root). The source runs in a probe
// program started as that user; input comes from wtype (virtual keyboard).
#include <time.h>

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/linux/WaylandIdle.h"
#include "tests/linux/LinuxTestSupport.h"
#include "tests/linux/WaylandSession.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::Child;

class WaylandIdleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sway_.Started());
        probe_ = user_.Copy(RL_WAYLAND_IDLE_PROBE);
    }

    // Starts the probe; returns the protocol it chose.
    std::string StartProbe() {
        probe_process_ = user_.Start({probe_}, sway_.Env());
        const auto line = probe_process_->ReadLine(10s);
        return line ? *line : "";
    }

    // One of the probe's answers: the idle time it read, at which tick.
    struct Reading {
        bool readable = false;
        std::uint32_t idle = 0;
        std::uint32_t at = 0;
        std::uint32_t LastInput() const { return at - idle; }
    };

    // Reads the probe's answers until one satisfies the condition (nullopt
    // when none does in time; last_ is then the last line read).
    std::optional<Reading> WaitForReading(const std::function<bool(const Reading&)>& condition,
                                          std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto line = probe_process_->ReadLine(1s);
            if (!line) continue;
            last_ = *line;
            Reading r;
            char value[16] = {};
            if (std::sscanf(line->c_str(), "idle %15s at %u", value, &r.at) != 2) return std::nullopt;
            r.readable = std::strcmp(value, "none") != 0;
            if (r.readable) r.idle = static_cast<std::uint32_t>(std::stoul(value));
            if (condition(r)) return r;
        }
        return std::nullopt;
    }
    std::optional<Reading> WaitForIdleAtLeast(std::uint32_t ms, std::chrono::milliseconds timeout) {
        return WaitForReading([ms](const Reading& r) { return r.readable && r.idle >= ms; }, timeout);
    }
    std::optional<Reading> WaitForIdleBelow(std::uint32_t ms, std::chrono::milliseconds timeout) {
        return WaitForReading([ms](const Reading& r) { return r.readable && r.idle < ms; }, timeout);
    }

    static std::uint32_t Tick() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                          static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
    }

    void Type() {
        const auto result = user_.Run("wtype x", sway_.Env());
        ASSERT_EQ(result.status, 0) << result.output;
    }

    // Declared first: the probe ends before the compositor.
    linuxtest::WaylandUser user_;
    linuxtest::SwaySession sway_{user_};
    std::string probe_;
    std::unique_ptr<Child> probe_process_;
    std::string last_;
};

TEST_F(WaylandIdleTest, IdleTimeGrowsWithoutInputAndDropsAtInput) {
    // sway 1.7 offers only KDE's protocol; later ones ext-idle-notify too.
    const std::string protocol = StartProbe();
    ASSERT_TRUE(protocol == "protocol org_kde_kwin_idle" || protocol == "protocol ext-idle-notify-v1") << protocol;

    ASSERT_TRUE(WaitForIdleAtLeast(3000, 15s)) << last_;

    const std::uint32_t before = Tick();
    Type();
    const std::uint32_t after = Tick();
    ASSERT_TRUE(WaitForIdleBelow(500, 5s)) << last_;

    // It counts again from that input, and places it within the tolerance:
    // not before it happened, and not much later than the probe's pace.
    const auto idle = WaitForIdleAtLeast(1500, 10s);
    ASSERT_TRUE(idle) << last_;
    EXPECT_LT(idle->idle, 3000u);
    EXPECT_GE(static_cast<std::int32_t>(idle->LastInput() - before), -200) << "typed at " << before << "-" << after;
    EXPECT_LE(static_cast<std::int32_t>(idle->LastInput() - after), 500) << "typed at " << before << "-" << after;

    // Input while the source still reads "active" keeps it there.
    Type();
    ASSERT_TRUE(WaitForIdleBelow(500, 5s)) << last_;
}

TEST_F(WaylandIdleTest, ACompositorThatGoesAwayCannotBeRead) {
    ASSERT_NE(StartProbe(), "protocol none");
    ASSERT_TRUE(WaitForIdleAtLeast(1000, 10s)) << last_;

    sway_.Crash();
    const auto unreadable = [](const Reading& r) { return !r.readable; };
    EXPECT_TRUE(WaitForReading(unreadable, 5s)) << last_;
    // Still running, still saying so.
    EXPECT_TRUE(WaitForReading(unreadable, 5s)) << last_;
}

TEST(WaylandIdleConnectTest, NoCompositorNoSource) {
    EXPECT_EQ(wayland::IdleSource::Connect("/nonexistent/rl-wayland-0", 0), nullptr);
}

}  // namespace
}  // namespace rl
