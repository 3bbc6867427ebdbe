// The Wayland idle source against a headless sway, run as an unprivileged
// user as a desktop runs it (sway refuses root). The source runs in a probe
// program started as that user; input comes from wtype (virtual keyboard).
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/linux/WaylandIdle.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::Child;

constexpr const char* kUser = "rlwayland";

class WaylandIdleTest : public ::testing::Test {
protected:
    void SetUp() override {
        // As root, everything runs as a user of the tests' own; otherwise as
        // the user running the tests.
        if (geteuid() == 0) {
            linuxtest::Run(std::string("id -u ") + kUser + " >/dev/null 2>&1 || /usr/sbin/useradd --system "
                           "--no-create-home --shell /usr/sbin/nologin " + kUser + " >/dev/null 2>&1");
            const auto uid = linuxtest::Run(std::string("id -u ") + kUser);
            const auto gid = linuxtest::Run(std::string("id -g ") + kUser);
            ASSERT_EQ(uid.status, 0) << "cannot create the user " << kUser;
            uid_ = static_cast<uid_t>(std::stoul(uid.output));
            gid_ = static_cast<gid_t>(std::stoul(gid.output));
            asUser_ = {"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_),
                       "--clear-groups", "--"};
        } else {
            uid_ = geteuid();
            gid_ = getegid();
        }

        // A private runtime folder, as logind makes one.
        char dir[] = "/tmp/rl-wayland-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        ASSERT_EQ(chown(dir, uid_, gid_), 0);
        ASSERT_EQ(chmod(dir, 0700), 0);
        std::ofstream(dir_ + "/config") << "xwayland disable\n";
        // The build folder may be closed to other users: the probe runs from here.
        probe_ = dir_ + "/rl_wayland_idle_probe";
        std::filesystem::copy_file(RL_WAYLAND_IDLE_PROBE, probe_);
        ASSERT_EQ(chown(probe_.c_str(), uid_, gid_), 0);
        ASSERT_EQ(chown((dir_ + "/config").c_str(), uid_, gid_), 0);

        sway_ = std::make_unique<Child>(AsUser({"sway", "-c", dir_ + "/config"}),
                                        std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", dir_},
                                                                           {"HOME", dir_},
                                                                           {"WLR_BACKENDS", "headless"},
                                                                           {"WLR_LIBINPUT_NO_DEVICES", "1"},
                                                                           {"WLR_RENDERER", "pixman"},
                                                                           {"WAYLAND_DISPLAY", ""},
                                                                           {"DISPLAY", ""}},
                                        true);
        ASSERT_TRUE(sway_->Started()) << "sway is not installed";
        ASSERT_TRUE(linuxtest::WaitFor([&] { return !(socket_ = FindSocket()).empty(); }, 10s))
            << "sway made no Wayland socket";
    }

    void TearDown() override {
        probe_process_.reset();
        sway_.reset();
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::vector<std::string> AsUser(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), asUser_.begin(), asUser_.end());
        return argv;
    }

    std::map<std::string, std::string> SessionEnv() const {
        return {{"XDG_RUNTIME_DIR", dir_}, {"WAYLAND_DISPLAY", socket_}, {"HOME", dir_}};
    }

    // The compositor's socket, "wayland-N", once it is there.
    std::string FindSocket() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            const std::string name = entry.path().filename();
            if (name.rfind("wayland-", 0) == 0 && entry.is_socket()) return name;
        }
        return {};
    }

    // Starts the probe; returns the protocol it chose.
    std::string StartProbe() {
        probe_process_ = std::make_unique<Child>(AsUser({probe_}), SessionEnv());
        const auto line = probe_process_->ReadLine(10s);
        return line ? *line : "";
    }

    // Reads the probe's answers until one satisfies the condition; the last
    // answer ("none" when it cannot read), or nullopt when none came in time.
    std::optional<std::string> WaitForIdle(const std::function<bool(const std::string&)>& condition,
                                           std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::optional<std::string> last;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto line = probe_process_->ReadLine(1s);
            if (!line) continue;
            if (line->rfind("idle ", 0) != 0) return "bad line: " + *line;
            last = line->substr(5);
            if (condition(*last)) return last;
        }
        return last ? "timed out at " + *last : std::optional<std::string>();
    }

    static bool IdleAtLeast(const std::string& value, unsigned ms) { return value != "none" && std::stoul(value) >= ms; }
    static bool IdleBelow(const std::string& value, unsigned ms) { return value != "none" && std::stoul(value) < ms; }

    void Type() {
        const auto result = linuxtest::Run("env XDG_RUNTIME_DIR=" + dir_ + " WAYLAND_DISPLAY=" +
                                           socket_ + " " + Joined(AsUser({"wtype", "x"})) + " 2>&1");
        ASSERT_EQ(result.status, 0) << result.output;
    }

    static std::string Joined(const std::vector<std::string>& argv) {
        std::string out;
        for (const auto& a : argv) out += (out.empty() ? "" : " ") + a;
        return out;
    }

    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::vector<std::string> asUser_;
    std::string dir_;
    std::string probe_;
    std::string socket_;
    std::unique_ptr<Child> sway_;
    std::unique_ptr<Child> probe_process_;
};

TEST_F(WaylandIdleTest, IdleTimeGrowsWithoutInputAndDropsAtInput) {
    // sway 1.7 offers only KDE's protocol; later ones ext-idle-notify too.
    const std::string protocol = StartProbe();
    ASSERT_TRUE(protocol == "protocol org_kde_kwin_idle" || protocol == "protocol ext-idle-notify-v1") << protocol;

    auto idle = WaitForIdle([](const std::string& v) { return IdleAtLeast(v, 3000); }, 15s);
    ASSERT_TRUE(idle && IdleAtLeast(*idle, 3000)) << idle.value_or("no answer");

    Type();
    idle = WaitForIdle([](const std::string& v) { return IdleBelow(v, 500); }, 5s);
    ASSERT_TRUE(idle && IdleBelow(*idle, 500)) << idle.value_or("no answer");

    // And counts again from that input, not from the start.
    idle = WaitForIdle([](const std::string& v) { return IdleAtLeast(v, 1500); }, 10s);
    ASSERT_TRUE(idle && IdleAtLeast(*idle, 1500) && IdleBelow(*idle, 3000)) << idle.value_or("no answer");

    // Input while the source reads "active" keeps it there.
    Type();
    idle = WaitForIdle([](const std::string& v) { return IdleBelow(v, 500); }, 5s);
    ASSERT_TRUE(idle && IdleBelow(*idle, 500)) << idle.value_or("no answer");
}

TEST_F(WaylandIdleTest, ACompositorThatGoesAwayCannotBeRead) {
    ASSERT_NE(StartProbe(), "protocol none");
    auto idle = WaitForIdle([](const std::string& v) { return IdleAtLeast(v, 1000); }, 10s);
    ASSERT_TRUE(idle && IdleAtLeast(*idle, 1000)) << idle.value_or("no answer");

    sway_->Kill(SIGTERM);
    idle = WaitForIdle([](const std::string& v) { return v == "none"; }, 5s);
    EXPECT_EQ(idle.value_or("no answer"), "none");
    // Still there, still saying so.
    idle = WaitForIdle([](const std::string& v) { return v == "none"; }, 5s);
    EXPECT_EQ(idle.value_or("no answer"), "none");
}

TEST(WaylandIdleConnectTest, NoCompositorNoSource) {
    EXPECT_EQ(wayland::IdleSource::Connect("/nonexistent/rl-wayland-0", 0), nullptr);
}

}  // namespace
}  // namespace rl
