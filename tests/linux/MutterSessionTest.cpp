// GNOME's session on a real mutter 43 (headless, as the tests' user): the
// idle time comes from mutter's idle monitor on the session bus, and input
// through its remote desktop. It offers no Wayland idle protocol and no list
// of toplevels, so the Wayland sources find nothing there.
#include <time.h>
#include <wayland-client.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/ClockInput.h"
#include "platform/linux/MutterIdleMonitor.h"
#include "platform/linux/WaylandIdle.h"
#include "platform/linux/WlrForeignToplevel.h"
#include "tests/linux/WaylandSession.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::MutterSession;

std::uint32_t Tick() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

// The interfaces the compositor announces to a client; empty when none answers.
std::set<std::string> Globals(const std::string& socketPath) {
    std::set<std::string> names;
    wl_display* display = wl_display_connect(socketPath.c_str());
    if (display == nullptr) return names;
    static const wl_registry_listener listener{
        [](void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t) {
            static_cast<std::set<std::string>*>(data)->insert(interface);
        },
        [](void*, wl_registry*, std::uint32_t) {}};
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, &names);
    wl_display_roundtrip(display);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return names;
}

class MutterSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(mutter.Started());
        busEnv = std::make_unique<linuxtest::ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", mutter.BusAddress().c_str());
    }

    // The tick of the last input as the program reads it; kNoInputTick when
    // it cannot.
    std::uint32_t LastInput() { return monitor.LastInputTick(Tick()); }
    std::uint32_t Idle() {
        const std::uint32_t now = Tick();
        const std::uint32_t last = monitor.LastInputTick(now);
        return last == kNoInputTick ? 0 : now - last;
    }

    linuxtest::WaylandUser user;
    MutterSession mutter{user};
    std::unique_ptr<linuxtest::ScopedEnv> busEnv;
    gnome::MutterIdleMonitor monitor;
};

struct Input {
    const char* desc;
    const char* line;
};

// Each kind of device the remote desktop offers; a key the session ignores.
const Input kInputs[] = {
    {"pointer motion", "pointer 12 -7"},
    {"left shift", "key 42"},
};

TEST_F(MutterSessionTest, IdleTimeGrowsAndInputBringsItBack) {
    const auto input = mutter.Input();
    ASSERT_NE(input, nullptr);
    for (const Input& c : kInputs) {
        SCOPED_TRACE(c.desc);
        std::uint32_t idle = 0;
        ASSERT_TRUE(linuxtest::WaitFor([&] { return (idle = Idle()) >= 1500; }, 15s)) << "idle " << idle;

        const std::uint32_t before = Tick();
        ASSERT_TRUE(MutterSession::Give(*input, c.line));
        const std::uint32_t after = Tick();
        // Mutter may take the input a moment after it answered.
        std::uint32_t last = kNoInputTick;
        const auto sinceInput = [&] { return static_cast<std::int32_t>(last - before); };
        EXPECT_TRUE(linuxtest::WaitFor([&] { return (last = LastInput()) != kNoInputTick && sinceInput() >= -200; }, 5s))
            << "last input " << last << ", given at " << before << "-" << after;

        // From there it counts on, and the input stays where it was given.
        ASSERT_TRUE(linuxtest::WaitFor([&] { return (idle = Idle()) >= 1000; }, 10s)) << "idle " << idle;
        last = LastInput();
        EXPECT_GE(sinceInput(), -200) << "given at " << before << "-" << after;
        EXPECT_LE(static_cast<std::int32_t>(last - after), 500) << "given at " << before << "-" << after;
    }
}

// What a program finds in this session: mutter answers Wayland clients (a
// seat, xdg-shell) but offers neither idle protocol nor a list of toplevels
// nor a virtual keyboard, so the Wayland sources give nothing; its own idle
// monitor reads the idle time. Which program is in front is not told.
TEST_F(MutterSessionTest, OnlyMuttersIdleMonitorReadsAnything) {
    const auto globals = Globals(mutter.SocketPath());
    EXPECT_EQ(globals.count("wl_seat"), 1u);
    EXPECT_EQ(globals.count("xdg_wm_base"), 1u);
    for (const char* absent : {"ext_idle_notifier_v1", "org_kde_kwin_idle", "zwlr_foreign_toplevel_manager_v1",
                               "org_kde_plasma_window_management", "zwp_virtual_keyboard_manager_v1"}) {
        EXPECT_EQ(globals.count(absent), 0u) << absent;
    }
    EXPECT_EQ(wayland::IdleSource::Connect(mutter.SocketPath().c_str(), Tick()), nullptr);
    EXPECT_EQ(wayland::TWlrForeignToplevel::Connect(mutter.SocketPath()), nullptr);
    EXPECT_NE(LastInput(), kNoInputTick);

    // A desktop's "display kept on" question goes to gnome-session, which
    // bare mutter is not.
    EXPECT_FALSE(mutter.HasOwner("org.gnome.SessionManager"));
}

}  // namespace
}  // namespace rl
