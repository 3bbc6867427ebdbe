// Following the default sink with every real Linux adapter: a second null
// sink that the test loads beside the test services' one, the default moved
// with pactl, the change arriving through the adapter's watcher as a Qt
// event, input from xdotool on Xvfb, and a Qt timer driving the ticks.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "app/IdleMonitor.h"
#include "app/MasterVolume.h"
#include "platform/Platform.h"
#include "platform/Registry.h"
#include "platform/linux/SqliteRegistry.h"
#include "procenum/KzEnumProcesses.h"
#include "support/VorlLibRegistry.h"
#include "tests/fakes/Fakes.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kThresholdMs = 2500;
constexpr std::int32_t kRestLevel = 19660;  // 30 %
// Raw PulseAudio units, 65536 = 100 %.
constexpr unsigned kFirstVolume = 52429;   // 80 %
constexpr unsigned kSecondVolume = 39322;  // 60 %
constexpr unsigned kRestVolume = 19661;    // the rest level as the sink stores it
constexpr unsigned kSlack = 8;
constexpr char kSecondSink[] = "rl_second";

// A second null sink for the length of a test; afterwards the services'
// sink is the default again, as the other tests expect.
class SecondSink {
public:
    explicit SecondSink(std::string first) : first_(std::move(first)) { Load(); }
    ~SecondSink() {
        linuxtest::Run("pactl set-default-sink " + first_);
        Unload();
    }
    SecondSink(const SecondSink&) = delete;
    SecondSink& operator=(const SecondSink&) = delete;

    bool Loaded() const { return module_ >= 0; }
    void Load() {
        const linuxtest::CommandResult loaded =
            linuxtest::Run(std::string("pactl load-module module-null-sink sink_name=") + kSecondSink);
        module_ = loaded.status == 0 ? std::atoi(loaded.output.c_str()) : -1;
    }
    void Unload() {
        if (module_ >= 0) linuxtest::Run("pactl unload-module " + std::to_string(module_));
        module_ = -1;
    }

private:
    std::string first_;
    int module_ = -1;
};

class DeviceSwitchEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(first_.empty());
        ASSERT_FALSE(linuxtest::ServiceEnv("DISPLAY").empty());
        ASSERT_TRUE(second_.Loaded());
        ASSERT_EQ(linuxtest::Run("pactl set-default-sink " + first_).status, 0);
        ASSERT_TRUE(linuxtest::SetSinkVolumes(first_, std::to_string(kFirstVolume)));
        ASSERT_TRUE(linuxtest::SetSinkVolumes(kSecondSink, std::to_string(kSecondVolume)));

        clock_ = CreateClockInput();
        devices_ = CreateAudioDevices();
        timer_ = CreateTimer();
        timer_->SetEnabled(false);
        port_ = CreateSnapshotPort();
        SetSnapshotPort(port_.get());
        volume_ = std::make_unique<TMasterVolume>(*devices_, *clock_, *timer_, MessagePump());
        ASSERT_TRUE(volume_->ConnectEndpoint());
        ASSERT_EQ(volume_->DeviceId(), first_);
        monitor_ = std::make_unique<TIdleMonitor>(*clock_, *volume_, TIdleControls{tray_, disabled_, relative_, programs_});
        monitor_->IdleThreshold = kThresholdMs;
        monitor_->IdleLevel = kRestLevel;
        timer_->SetInterval(100);
        timer_->SetOnTimer([this] { monitor_->tmrCheckTimer(); });
        // As the main window does once it has connected.
        devices_->SetOnDevicesChanged([this] { monitor_->DefaultDeviceChanged(); });
    }

    void TearDown() override {
        if (devices_) devices_->SetOnDevicesChanged(nullptr);
        if (timer_) timer_->SetEnabled(false);
        SetSnapshotPort(nullptr);
    }

    static unsigned Volume(const std::string& sink) {
        const auto volumes = linuxtest::SinkVolumes(sink);
        return volumes.empty() ? 0 : volumes.front();
    }
    static bool Near(const std::string& sink, unsigned volume) {
        const unsigned v = Volume(sink);
        return v + kSlack >= volume && v <= volume + kSlack;
    }

    static std::string DefaultSink() {
        const std::string info = linuxtest::Run("pactl info").output;
        const std::string label = "Default Sink: ";
        const std::size_t at = info.find(label);
        if (at == std::string::npos) return {};
        const std::size_t from = at + label.size();
        return info.substr(from, info.find('\n', from) - from);
    }

    void MoveMouse() {
        static int x = 100;
        x = x == 100 ? 400 : 100;
        ASSERT_EQ(linuxtest::Run("xdotool mousemove " + std::to_string(x) + " 300").status, 0);
    }

    // Input, then idle until the rest level is in force on the sink.
    void RestOn(const std::string& sink) {
        MoveMouse();
        timer_->SetEnabled(true);
        ASSERT_TRUE(linuxtest::WaitFor(
            [&] { return tray_.index == kImageResting && timer_->Enabled() && Near(sink, kRestVolume); }, 30s))
            << "no rest level on " << sink << ": " << Volume(sink);
    }

    std::string first_ = linuxtest::ServiceEnv("RL_TEST_SINK");
    SecondSink second_{first_};
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
};

TEST_F(DeviceSwitchEndToEndTest, SwitchWhileRestingThenTheNextIdlePeriodFadesTheNewSink) {
    RestOn(first_);

    ASSERT_EQ(linuxtest::Run(std::string("pactl set-default-sink ") + kSecondSink).status, 0);
    ASSERT_TRUE(linuxtest::WaitFor([&] { return volume_->DeviceId() == kSecondSink; }, 10s))
        << "the change of the default sink did not arrive";
    EXPECT_TRUE(Near(first_, kFirstVolume)) << "the first sink is not back at its saved level: " << Volume(first_);
    EXPECT_EQ(tray_.index, kImageWatching);
    EXPECT_TRUE(Near(kSecondSink, kSecondVolume)) << "the second sink was touched: " << Volume(kSecondSink);

    RestOn(kSecondSink);
    EXPECT_TRUE(Near(first_, kFirstVolume)) << Volume(first_);
    MoveMouse();
    EXPECT_TRUE(linuxtest::WaitFor(
        [&] { return tray_.index == kImageWatching && timer_->Enabled() && Near(kSecondSink, kSecondVolume); }, 30s))
        << Volume(kSecondSink);
    EXPECT_TRUE(Near(first_, kFirstVolume)) << Volume(first_);
}

TEST_F(DeviceSwitchEndToEndTest, ASinkRemovedWhileRestingGetsItsLevelWhenItComesBack) {
    ASSERT_EQ(linuxtest::Run(std::string("pactl set-default-sink ") + kSecondSink).status, 0);
    ASSERT_TRUE(linuxtest::WaitFor([&] { return volume_->DeviceId() == kSecondSink; }, 10s));
    RestOn(kSecondSink);

    // Unplugged: the server falls back to the first sink, which keeps its level.
    second_.Unload();
    ASSERT_TRUE(linuxtest::WaitFor([&] { return volume_->DeviceId() == first_; }, 10s));
    EXPECT_EQ(tray_.index, kImageWatching);
    EXPECT_TRUE(Near(first_, kFirstVolume)) << Volume(first_);

    // Plugged in again (a new sink of the same name starts at full volume):
    // it gets the level it had before the rest level. The server makes it
    // the default again as the one the user chose; the monitor follows.
    second_.Load();
    ASSERT_TRUE(second_.Loaded());
    EXPECT_TRUE(linuxtest::WaitFor([&] { return Near(kSecondSink, kSecondVolume); }, 10s)) << Volume(kSecondSink);
    EXPECT_TRUE(linuxtest::WaitFor([&] { return volume_->DeviceId() == DefaultSink(); }, 10s)) << DefaultSink();
    EXPECT_EQ(tray_.index, kImageWatching);
    EXPECT_TRUE(Near(first_, kFirstVolume)) << Volume(first_);
}

// The real program: it follows a switch while resting, and its end gives the
// new sink only its own level.
TEST(DeviceSwitchProgramTest, FollowsASwitchWhileRestingAndEndsWithBothSinksAtTheirLevels) {
    const std::string first = linuxtest::ServiceEnv("RL_TEST_SINK");
    ASSERT_FALSE(first.empty());
    SecondSink second(first);
    ASSERT_TRUE(second.Loaded());
    ASSERT_EQ(linuxtest::Run("pactl set-default-sink " + first).status, 0);
    ASSERT_TRUE(linuxtest::SetSinkVolumes(first, std::to_string(kFirstVolume)));
    ASSERT_TRUE(linuxtest::SetSinkVolumes(kSecondSink, std::to_string(kSecondVolume)));
    auto near = [](const std::string& sink, unsigned volume) {
        const auto v = linuxtest::SinkVolumes(sink);
        return !v.empty() && v.front() + 16 >= volume && v.front() <= volume + 16;
    };

    // A user whose settings say: configured, idle after 0.1 minutes, rest level 10 %.
    linuxtest::TempDir config, runtime;
    chmod(runtime.Path().c_str(), 0700);
    {
        auto registry = CreateSqliteRegistry(SqliteRegistryOptions{config.Path() + "/restlevel/registry.db", false});
        RegKey key = 0;
        ASSERT_EQ(registry->CreateKey(kHKeyCurrentUser, kSettingsKey, kKeyAllAccess, key, nullptr), kErrorSuccess);
        for (const auto& [name, value] : {std::pair{"Configured", 1u}, {"IdleTime", 1u}, {"RestLevel", 6553u}}) {
            const std::uint8_t data[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), 0, 0};
            ASSERT_EQ(registry->SetValue(key, name, kRegDword, data, sizeof(data)), kErrorSuccess);
        }
        registry->CloseKey(key);
    }
    ASSERT_EQ(linuxtest::Run("xdotool mousemove 250 250").status, 0);
    linuxtest::Child program({RL_RESTLEVEL},
                             {{"XDG_CONFIG_HOME", config.Path()},
                              {"XDG_RUNTIME_DIR", runtime.Path()},
                              {"RESTLEVEL_UPDATE_SERVER", ""}},
                             true);
    ASSERT_TRUE(program.Started());
    constexpr unsigned kProgramRest = 6553;  // 10 % as the sink stores it
    ASSERT_TRUE(linuxtest::WaitFor([&] { return near(first, kProgramRest); }, 40s)) << "no rest level";

    ASSERT_EQ(linuxtest::Run(std::string("pactl set-default-sink ") + kSecondSink).status, 0);
    EXPECT_TRUE(linuxtest::WaitFor([&] { return near(first, kFirstVolume); }, 10s))
        << "the first sink is not back at its saved level";
    EXPECT_TRUE(near(kSecondSink, kSecondVolume));

    program.Kill(SIGTERM);
    EXPECT_TRUE(near(first, kFirstVolume));
    EXPECT_TRUE(near(kSecondSink, kSecondVolume)) << "the end gave the new sink another level";
}

}  // namespace
}  // namespace rl
