// The foreign-toplevel client against a real sway (headless, as an
// unprivileged user the test makes, as a desktop runs it), with native
// Wayland test windows whose focus swaymsg moves.
#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/WlrForeignToplevel.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl::wayland {
namespace {

using namespace std::chrono_literals;
using linuxtest::Child;
using linuxtest::Run;
using linuxtest::WaitFor;

// sway refuses root: as root, everything the compositor side runs is run as
// this user.
constexpr char kUser[] = "rlwayland";

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A file in the folder whose name starts with the prefix (sockets sway makes
// with names of its choosing).
std::string FindFile(const std::string& folder, const std::string& prefix, const std::string& notSuffix = {}) {
    std::string found;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            const bool excluded = !notSuffix.empty() && name.size() >= notSuffix.size() &&
                                  name.compare(name.size() - notSuffix.size(), notSuffix.size(), notSuffix) == 0;
            if (name.rfind(prefix, 0) == 0 && !excluded) found = folder + "/" + name;
        }
        closedir(dir);
    }
    return found;
}

// A headless sway with a private runtime folder; stopped with the object.
class SwaySession {
public:
    SwaySession() {
        asRoot_ = geteuid() == 0;
        if (asRoot_) {
            // Once per machine; a second run finds the user there.
            Run(std::string("id -u ") + kUser + " >/dev/null 2>&1 || useradd --system --no-create-home "
                "--shell /usr/sbin/nologin " + kUser);
            const passwd* pw = getpwnam(kUser);
            if (!pw) {
                ADD_FAILURE() << "could not make the user " << kUser;
                return;
            }
            userPrefix_ = "setpriv --reuid=" + std::to_string(pw->pw_uid) + " --regid=" + std::to_string(pw->pw_gid) +
                          " --clear-groups -- ";
        }
        runtime_ = temp_.Path() + "/run";
        Run("chmod 755 " + Quote(temp_.Path()) + " && mkdir -m 0700 " + Quote(runtime_));
        if (asRoot_) Run(std::string("chown ") + kUser + ": " + Quote(runtime_));
        linuxtest::WriteFile(temp_.Path() + "/config", "xwayland disable\n");
        log_ = temp_.Path() + "/sway.log";
        sway_ = StartAsUser("exec " + userPrefix_ + "sway -c " + Quote(temp_.Path() + "/config") + " 2>" +
                            Quote(log_));
        WaitFor([&] { return !(socket_ = FindFile(runtime_, "wayland-", ".lock")).empty() &&
                             !(ipc_ = FindFile(runtime_, "sway-ipc.")).empty(); },
                20s);
        if (socket_.empty() || ipc_.empty())
            ADD_FAILURE() << "sway did not start; its log:\n" << linuxtest::ReadFile(log_);
    }
    SwaySession(const SwaySession&) = delete;
    SwaySession& operator=(const SwaySession&) = delete;

    bool Started() const { return !socket_.empty() && !ipc_.empty(); }
    // The compositor's socket as an absolute path: this process never sets
    // WAYLAND_DISPLAY.
    const std::string& Socket() const { return socket_; }

    // A test window with its app id, shown by the time this returns.
    std::unique_ptr<Child> Window(const std::string& appId, const std::string& title) {
        auto child = StartAsUser("exec " + userPrefix_ + Quote(RL_WAYLAND_TEST_WINDOW) + " " + Quote(appId) + " " +
                                 Quote(title));
        const auto line = child->ReadLine(20s);
        EXPECT_EQ(line.value_or("(none)"), "ready") << "test window " << title;
        return child;
    }

    bool Command(const std::string& command) {
        const auto r = Run(userPrefix_ + "env SWAYSOCK=" + Quote(ipc_) + " swaymsg " + Quote(command) + " 2>&1");
        EXPECT_EQ(r.status, 0) << command << ": " << r.output;
        return r.status == 0;
    }

    // Ends the compositor at once, as a crash does.
    void Crash() { sway_->Kill(SIGKILL); }

private:
    std::unique_ptr<Child> StartAsUser(const std::string& shellCommand) {
        return std::make_unique<Child>(
            std::vector<std::string>{"sh", "-c", shellCommand},
            std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", runtime_},
                                               {"WAYLAND_DISPLAY", socket_.empty() ? "" : socket_.substr(runtime_.size() + 1)},
                                               {"WLR_BACKENDS", "headless"},
                                               {"WLR_LIBINPUT_NO_DEVICES", "1"},
                                               {"WLR_RENDERER", "pixman"},
                                               {"HOME", temp_.Path()}});
    }

    bool asRoot_ = false;
    std::string userPrefix_;
    linuxtest::TempDir temp_;
    std::string runtime_, log_, socket_, ipc_;
    std::unique_ptr<Child> sway_;
};

class WlrForeignToplevelTest : public ::testing::Test {
protected:
    // Declared first: the windows and the client end before the compositor.
    SwaySession sway;

    std::unique_ptr<TWlrForeignToplevel> Connect() {
        auto client = TWlrForeignToplevel::Connect(sway.Socket());
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
    auto alpha = sway.Window("alpha", "alpha");
    auto beta = sway.Window("beta", "beta");
    ASSERT_TRUE(sway.Command("[app_id=\"alpha\"] focus"));
    auto client = Connect();
    ASSERT_NE(client, nullptr);
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
