// The idle monitor with every real Linux adapter: Xvfb input moved by
// xdotool, the null sink of the test PulseAudio server, /proc and X11
// snapshots for the exception gate, and a Qt timer driving the ticks.
#include <gtest/gtest.h>

#include <QTimer>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "app/IdleMonitor.h"
#include "app/MasterVolume.h"
#include "platform/Platform.h"
#include "procenum/KzEnumProcesses.h"
#include "tests/fakes/Fakes.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kThresholdMs = 2500;
constexpr std::int32_t kStartLevel = 52428;  // 80 %
// The sink stores 1/65536 steps: a level comes back within one of itself.
constexpr int kLevelSlack = 1;

class IdleMonitorEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        sink_ = linuxtest::ServiceEnv("RL_TEST_SINK");
        ASSERT_FALSE(sink_.empty());
        ASSERT_FALSE(linuxtest::ServiceEnv("DISPLAY").empty());
        clock_ = CreateClockInput();
        devices_ = CreateAudioDevices();
        timer_ = CreateTimer();
        timer_->SetEnabled(false);
        port_ = CreateSnapshotPort();
        SetSnapshotPort(port_.get());
        volume_ = std::make_unique<TMasterVolume>(*devices_, *clock_, *timer_, MessagePump());
        ASSERT_TRUE(volume_->ConnectEndpoint());
        monitor_ = std::make_unique<TIdleMonitor>(*clock_, *volume_,
                                                  TIdleControls{tray_, disabled_, relative_, programs_});
        monitor_->IdleThreshold = kThresholdMs;
        timer_->SetInterval(100);
        timer_->SetOnTimer([this] { monitor_->tmrCheckTimer(); });

        // A second connection watches the sink while fades run.
        watcher_ = devices_->ActivateDefaultEndpointVolume();
        ASSERT_NE(watcher_, nullptr);
        QObject::connect(&sampler_, &QTimer::timeout, [this] { samples_.push_back(SinkLevel()); });
        sampler_.start(50);

        volume_->SetVolumeLevel(kStartLevel);
        ASSERT_NEAR(SinkLevel(), kStartLevel, kLevelSlack);
    }

    void TearDown() override {
        sampler_.stop();
        timer_->SetEnabled(false);
        SetSnapshotPort(nullptr);
    }

    std::int32_t SinkLevel() {
        float scalar = -1.0f;
        if (watcher_->GetMasterVolumeLevelScalar(&scalar) != kS_OK) return -1;
        return ScalarToLevel(scalar);
    }

    void MoveMouse() {
        static int x = 100;
        x = x == 100 ? 400 : 100;
        ASSERT_EQ(linuxtest::Run("xdotool mousemove " + std::to_string(x) + " 300").status, 0);
    }

    bool Near(std::int32_t level, std::int32_t target) { return std::abs(level - target) <= kLevelSlack; }

    // Whether any sample fell strictly between two levels.
    bool SampledBetween(std::int32_t a, std::int32_t b) {
        const std::int32_t lo = std::min(a, b) + kLevelSlack, hi = std::max(a, b) - kLevelSlack;
        for (const std::int32_t s : samples_)
            if (s > lo && s < hi) return true;
        return false;
    }

    std::string sink_;
    std::unique_ptr<IClockInput> clock_;
    std::unique_ptr<IAudioDevices> devices_;
    std::unique_ptr<ITimer> timer_;
    std::unique_ptr<ISnapshotPort> port_;
    std::unique_ptr<TMasterVolume> volume_;
    fake::TrayImage tray_;
    fake::CheckMark disabled_;
    fake::CheckMark relative_;
    fake::ItemList programs_;
    std::unique_ptr<TIdleMonitor> monitor_;
    std::unique_ptr<IEndpointVolume> watcher_;
    QTimer sampler_;
    std::vector<std::int32_t> samples_;
};

TEST_F(IdleMonitorEndToEndTest, FadesToTheRestLevelWhenIdleAndBackOnInput) {
    struct Case {
        const char* name;
        bool relative;
        std::int32_t idleLevel;
        std::int32_t target;
    };
    const Case cases[] = {
        {"absolute", false, 19660, 19660},
        {"relative", true, 32767, 26213},  // 32767 x 52428 / 65535, truncated
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        volume_->SetVolumeLevel(kStartLevel);
        relative_.checked = c.relative;
        monitor_->IdleLevel = c.idleLevel;
        MoveMouse();
        samples_.clear();
        timer_->SetEnabled(true);

        ASSERT_TRUE(linuxtest::WaitFor(
            [&] { return tray_.index == kImageResting && timer_->Enabled() && Near(SinkLevel(), c.target); }, 30s));
        EXPECT_NEAR(monitor_->SavedLevel, kStartLevel, kLevelSlack);
        EXPECT_TRUE(SampledBetween(kStartLevel, c.target)) << "no level between start and target";
        // Resting stays resting while nothing happens.
        linuxtest::WaitFor([] { return false; }, 500ms);
        EXPECT_EQ(tray_.index, kImageResting);
        EXPECT_TRUE(Near(SinkLevel(), c.target));

        samples_.clear();
        MoveMouse();
        ASSERT_TRUE(linuxtest::WaitFor(
            [&] { return tray_.index == kImageWatching && timer_->Enabled() && Near(SinkLevel(), kStartLevel); },
            30s));
        timer_->SetEnabled(false);
    }
}

TEST_F(IdleMonitorEndToEndTest, ExceptedProgramInFrontKeepsTheVolume) {
    // The other program is a copy of the window program under another path.
    linuxtest::TempDir dir;
    const std::string copy = dir.Path() + "/other_program";
    std::filesystem::copy_file(RL_TEST_WINDOW, copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    auto excepted = linuxtest::StartTestWindows({"title=Excepted program"});
    auto other = linuxtest::StartTestWindows({"title=Some other program,x=400"}, copy);
    ASSERT_EQ(excepted.ids.size(), 1u);
    ASSERT_EQ(other.ids.size(), 1u);
    programs_.items = {"/no/such/program", linuxtest::RealPath(RL_TEST_WINDOW)};
    monitor_->IdleLevel = 19660;

    struct Case {
        const char* name;
        unsigned long focus;
        bool fades;
    };
    const Case cases[] = {
        {"excepted program in front", excepted.ids[0], false},
        {"excepted program running behind another", other.ids[0], true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        volume_->SetVolumeLevel(kStartLevel);
        ASSERT_EQ(linuxtest::Run("xdotool windowfocus --sync " + std::to_string(c.focus)).status, 0);
        MoveMouse();
        monitor_->PrevIdleTime = 0;
        timer_->SetEnabled(true);
        if (c.fades) {
            ASSERT_TRUE(linuxtest::WaitFor(
                [&] { return tray_.index == kImageResting && timer_->Enabled() && Near(SinkLevel(), 19660); }, 30s));
            MoveMouse();
            ASSERT_TRUE(linuxtest::WaitFor(
                [&] { return tray_.index == kImageWatching && timer_->Enabled() && Near(SinkLevel(), kStartLevel); },
                30s));
        } else {
            // Well past the threshold, the volume is still untouched.
            ASSERT_TRUE(linuxtest::WaitFor([&] { return monitor_->PrevIdleTime >= kThresholdMs + 1000; }, 30s));
            EXPECT_EQ(tray_.index, kImageWatching);
            EXPECT_TRUE(Near(SinkLevel(), kStartLevel));
            // Input after such a period restores nothing either.
            MoveMouse();
            linuxtest::WaitFor([] { return false; }, 500ms);
            EXPECT_EQ(tray_.index, kImageWatching);
            EXPECT_TRUE(Near(SinkLevel(), kStartLevel));
        }
        timer_->SetEnabled(false);
    }
}

}  // namespace
}  // namespace rl
