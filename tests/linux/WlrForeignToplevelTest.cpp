// The foreign-toplevel client against a real sway (headless, as an
// unprivileged user the test makes, as a desktop runs it), with native
// Wayland test windows whose focus swaymsg moves.
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/WlrForeignToplevel.h"
#include "tests/linux/LinuxTestSupport.h"
#include "tests/linux/WaylandSession.h"

namespace rl::wayland {
namespace {

using namespace std::chrono_literals;
using linuxtest::WaitFor;

class WlrForeignToplevelTest : public ::testing::Test {
protected:
    // Declared first: the windows and the client end before the compositor.
    linuxtest::WaylandUser user;
    linuxtest::SwaySession sway{user};

    std::unique_ptr<TWlrForeignToplevel> Connect() {
        auto client = TWlrForeignToplevel::Connect(sway.SocketPath());
        EXPECT_NE(client, nullptr) << "sway 1.7 offers the foreign-toplevel manager";
        return client;
    }

    // Waits until the client lists these app ids (in any order).
    static bool Lists(TWlrForeignToplevel& client, std::vector<std::string> appIds) {
        return WaitFor([&] {
            std::vector<std::string> listed;
            for (const auto& t : client.Toplevels()) listed.push_back(t.appId);
            std::sort(listed.begin(), listed.end());
            std::sort(appIds.begin(), appIds.end());
            return listed == appIds;
        }, 10s);
    }
};

TEST_F(WlrForeignToplevelTest, FollowsTheFocusThatTheCompositorMoves) {
    ASSERT_TRUE(sway.Started());
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    // An empty desktop: nothing in front.
    EXPECT_EQ(client->ActivatedAppId(), "");
    EXPECT_TRUE(client->Toplevels().empty());

    // Windows opened after the client connected are announced to it.
    auto alpha = sway.Window("org.example.Alpha", "alpha");
    auto beta = sway.Window("beta", "beta");
    ASSERT_TRUE(Lists(*client, {"org.example.Alpha", "beta"}));

    // Back and forth, so that neither the first nor the last announced
    // window can pass by luck.
    for (const std::string appId : {"org.example.Alpha", "beta", "org.example.Alpha"}) {
        ASSERT_TRUE(sway.Command("[app_id=\"" + appId + "\"] focus"));
        EXPECT_TRUE(WaitFor([&] { return client->ActivatedAppId() == appId; }, 10s))
            << "focused " << appId << ", the client says " << client->ActivatedAppId();
        int activated = 0;
        for (const auto& t : client->Toplevels()) activated += t.activated;
        EXPECT_EQ(activated, 1);
    }

    // A window without an app id in front answers empty, not the last app id.
    auto nameless = sway.Window("", "nameless");
    ASSERT_TRUE(sway.Command("[title=\"nameless\"] focus"));
    EXPECT_TRUE(WaitFor([&] {
        const auto list = client->Toplevels();
        return list.size() == 3 && client->ActivatedAppId().empty();
    }, 10s)) << client->ActivatedAppId();
}

TEST_F(WlrForeignToplevelTest, AClientStartedLaterSeesTheWindowsAndAClosedOneGoes) {
    ASSERT_TRUE(sway.Started());
    auto alpha = sway.Window("alpha", "alpha");
    auto beta = sway.Window("org.example.beta", "beta");
    ASSERT_TRUE(sway.Command("[app_id=\"alpha\"] focus"));

    // The windows that were there before the client are in its first list.
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(Lists(*client, {"alpha", "org.example.beta"}));
    EXPECT_EQ(client->ActivatedAppId(), "alpha");

    // The window in front closes: sway moves the focus to the other one.
    alpha->Stop();
    EXPECT_TRUE(Lists(*client, {"org.example.beta"}));
    EXPECT_TRUE(WaitFor([&] { return client->ActivatedAppId() == "org.example.beta"; }, 10s))
        << client->ActivatedAppId();
}

TEST_F(WlrForeignToplevelTest, ACompositorThatGoesAwayLeavesNothingInFront) {
    ASSERT_TRUE(sway.Started());
    auto alpha = sway.Window("alpha", "alpha");
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(WaitFor([&] { return client->ActivatedAppId() == "alpha"; }, 10s));

    sway.Crash();
    EXPECT_TRUE(WaitFor([&] { return client->ActivatedAppId().empty(); }, 10s));
    EXPECT_TRUE(client->Lost());
    EXPECT_TRUE(client->Toplevels().empty());
    // Asking again after the break stays quiet.
    EXPECT_EQ(client->ActivatedAppId(), "");
}

TEST_F(WlrForeignToplevelTest, TellsWhetherTheToplevelInFrontFillsTheScreen) {
    ASSERT_TRUE(sway.Started());
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    // Nothing in front fills nothing.
    EXPECT_FALSE(client->Activated().fullScreen);
    auto beta = sway.Window("beta", "beta");
    auto alpha = sway.Window("alpha", "alpha");
    ASSERT_TRUE(WaitFor([&] { return client->ActivatedAppId() == "alpha"; }, 10s));
    EXPECT_FALSE(client->Activated().fullScreen);

    for (const bool full : {true, false, true}) {
        ASSERT_TRUE(sway.Command(std::string("[app_id=\"alpha\"] fullscreen ") + (full ? "enable" : "disable")));
        EXPECT_TRUE(WaitFor([&] { return client->Activated().fullScreen == full; }, 10s)) << full;
        EXPECT_EQ(client->Activated().appId, "alpha");
        for (const auto& t : client->Toplevels()) EXPECT_EQ(t.fullScreen, full && t.appId == "alpha") << t.appId;
    }
}

TEST(WlrForeignToplevelConnect, NoCompositorGivesNoClient) {
    linuxtest::TempDir temp;
    EXPECT_EQ(TWlrForeignToplevel::Connect(temp.Path() + "/wayland-0"), nullptr);
}

}  // namespace
}  // namespace rl::wayland
