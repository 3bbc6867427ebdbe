// The Wayland idle source against a headless sway, run as an unprivileged
// user as a desktop runs it (sway refuses root). The source runs in a probe
// program started as that user; input comes from wtype (virtual keyboard).
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
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

    sway_->Kill(SIGTERM);
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
