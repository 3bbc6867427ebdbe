// The PulseAudio adapter against real servers: the test services' null sink,
// and private servers that the tests start and stop themselves.
#include <signal.h>

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <cmath>
#include <functional>

#include <gtest/gtest.h>

#include "app/MasterVolume.h"
#include "platform/Platform.h"
#include "tests/fakes/Fakes.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::ScopedEnv;

constexpr double kNorm = 65536.0;  // PA_VOLUME_NORM

unsigned Raw(double scalar) { return static_cast<unsigned>(std::lround(scalar * kNorm)); }

class PulseSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        sink_ = linuxtest::ServiceEnv("RL_TEST_SINK");
        ASSERT_FALSE(linuxtest::ServiceEnv("PULSE_SERVER").empty());
        ASSERT_FALSE(sink_.empty());
        ASSERT_TRUE(linuxtest::SetSinkVolumes(sink_, "100%"));
        devices_ = CreateAudioDevices();
        endpoint_ = devices_->ActivateDefaultEndpointVolume();
        ASSERT_NE(endpoint_, nullptr);
    }

    float Read() {
        float level = -1.0f;
        EXPECT_EQ(endpoint_->GetMasterVolumeLevelScalar(&level), kS_OK);
        return level;
    }

    std::string sink_;
    std::unique_ptr<IAudioDevices> devices_;
    std::unique_ptr<IEndpointVolume> endpoint_;
};

TEST_F(PulseSinkTest, SetLevelsReadBackThroughAdapterAndPactl) {
    for (const float level : {0.0f, 0.25f, 0.3f, 0.5f, 0.7654f, 1.0f, 1.0f / 65535.0f}) {
        SCOPED_TRACE(level);
        ASSERT_EQ(endpoint_->SetMasterVolumeLevelScalar(level), kS_OK);
        const std::vector<unsigned> channels = linuxtest::SinkVolumes(sink_);
        ASSERT_FALSE(channels.empty());
        for (const unsigned v : channels) EXPECT_EQ(v, Raw(level));
        EXPECT_NEAR(Read(), level, 1.0 / kNorm);
    }
}

TEST_F(PulseSinkTest, ReadsWhatPactlSet) {
    struct Case {
        const char* volumes;
        float expected;
    };
    const Case cases[] = {
        {"30%", 0.3f},      {"0%", 0.0f},  {"100%", 1.0f},
        {"60% 30%", 0.6f},  // the loudest channel is the level
        {"20% 45%", 0.45f},
        {"150%", 1.0f},  // above full scale reads as full scale
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.volumes);
        ASSERT_TRUE(linuxtest::SetSinkVolumes(sink_, c.volumes));
        EXPECT_NEAR(Read(), c.expected, 1.0 / kNorm);
    }
}

TEST_F(PulseSinkTest, NewLevelKeepsTheBalance) {
    struct Case {
        const char* volumes;
        double left, right;  // as fractions of full scale
        float level;
    };
    const Case cases[] = {
        {"60% 30%", 0.6, 0.3, 0.3f},
        {"30% 60%", 0.3, 0.6, 0.9f},
        {"100% 10%", 1.0, 0.1, 0.5f},
        {"0% 0%", 0.0, 0.0, 0.4f},  // silent channels have no balance to keep
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.volumes);
        ASSERT_TRUE(linuxtest::SetSinkVolumes(sink_, c.volumes));
        ASSERT_EQ(endpoint_->SetMasterVolumeLevelScalar(c.level), kS_OK);
        const std::vector<unsigned> channels = linuxtest::SinkVolumes(sink_);
        ASSERT_EQ(channels.size(), 2u);
        const double loud = std::max(c.left, c.right);
        const double left = loud > 0 ? c.left / loud : 1.0, right = loud > 0 ? c.right / loud : 1.0;
        // Each channel is rounded by pactl's percentages and truncated by scaling.
        EXPECT_NEAR(channels[0], left * c.level * kNorm, 2.0);
        EXPECT_NEAR(channels[1], right * c.level * kNorm, 2.0);
        EXPECT_EQ(std::max(channels[0], channels[1]), Raw(c.level));
        EXPECT_NEAR(Read(), c.level, 1.0 / kNorm);
    }
}

TEST_F(PulseSinkTest, RejectsLevelsOutsideTheScale) {
    ASSERT_EQ(endpoint_->SetMasterVolumeLevelScalar(0.5f), kS_OK);
    for (const float level : {-0.1f, 1.5f, std::nanf("")}) {
        EXPECT_LT(endpoint_->SetMasterVolumeLevelScalar(level), 0);
    }
    EXPECT_NEAR(Read(), 0.5f, 1.0 / kNorm);
}

TEST_F(PulseSinkTest, MasterVolumeLevelsMatchTheSink) {
    fake::Clock clock;
    fake::Timer timer;
    fake::Pump pump;
    TMasterVolume volume(*devices_, clock, timer, pump);
    ASSERT_TRUE(volume.ConnectEndpoint());
    // 19661 of 65536 is the nearest to 30 %; it reads as the level 19660.
    ASSERT_TRUE(linuxtest::SetSinkVolumes(sink_, "19661"));
    EXPECT_EQ(volume.GetVolumeLevel(), 19660);
    for (const std::int32_t level : {0, 19660, 32767, 50000, 65535}) {
        SCOPED_TRACE(level);
        volume.SetVolumeLevel(level);
        const std::vector<unsigned> channels = linuxtest::SinkVolumes(sink_);
        ASSERT_FALSE(channels.empty());
        EXPECT_EQ(channels[0], Raw(static_cast<float>(level / 65535.0)));
        bool ok = false;
        EXPECT_NEAR(volume.GetVolumeLevel(&ok), level, 1);
        EXPECT_TRUE(ok);
    }
}

TEST_F(PulseSinkTest, EachEndpointHasItsOwnConnection) {
    auto second = devices_->ActivateDefaultEndpointVolume();
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(second->SetMasterVolumeLevelScalar(0.25f), kS_OK);
    EXPECT_NEAR(Read(), 0.25f, 1.0 / kNorm);
    second.reset();
    ASSERT_EQ(endpoint_->SetMasterVolumeLevelScalar(0.75f), kS_OK);
    EXPECT_NEAR(Read(), 0.75f, 1.0 / kNorm);
}

// A PulseAudio server of the test's own, on a socket in a temporary folder.
class PrivateServer {
public:
    explicit PrivateServer(int sinks) : sinks_(sinks) { socket_ = dir_.Path() + "/pulse.sock"; }

    bool Start() {
        std::vector<std::string> argv{"pulseaudio",
                                      "-n",
                                      "--daemonize=no",
                                      "--exit-idle-time=-1",
                                      "--disallow-exit",
                                      "--use-pid-file=no",
                                      "-F",
                                      "/dev/null",
                                      "--load=module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1"};
        for (int i = 0; i < sinks_; ++i)
            argv.push_back("--load=module-null-sink sink_name=" + SinkName(i));
        daemon_ = std::make_unique<linuxtest::Child>(
            argv, std::map<std::string, std::string>{{"HOME", dir_.Path()}, {"XDG_RUNTIME_DIR", dir_.Path()}},
            true);
        return linuxtest::WaitFor(
            [&] { return linuxtest::Run("PULSE_SERVER=" + Address() + " pactl info >/dev/null 2>&1").status == 0; },
            20s);
    }

    void Kill() { daemon_->Kill(SIGKILL); }
    std::string Address() const { return "unix:" + socket_; }
    static std::string SinkName(int i) { return "rl_private_" + std::to_string(i); }
    std::string Pactl(const std::string& args) const { return "PULSE_SERVER=" + Address() + " pactl " + args; }

private:
    int sinks_;
    linuxtest::TempDir dir_;
    std::string socket_;
    std::unique_ptr<linuxtest::Child> daemon_;
};

TEST(PulseConnectionTest, MissingServerIsAQuickConnectionFailure) {
    linuxtest::TempDir dir;
    const std::string missing = "unix:" + dir.Path() + "/no-such-socket";
    ScopedEnv server("PULSE_SERVER", missing.c_str());
    auto devices = CreateAudioDevices();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(devices->ActivateDefaultEndpointVolume(), nullptr);
    // Bounded, not measured: the connect time-out must not be waited out here.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);

    fake::Clock clock;
    fake::Timer timer;
    fake::Pump pump;
    TMasterVolume volume(*devices, clock, timer, pump);
    EXPECT_FALSE(volume.ConnectEndpoint());
}

TEST(PulseConnectionTest, ServerWithoutSinkIsAConnectionFailure) {
    PrivateServer server(0);
    ASSERT_TRUE(server.Start());
    ScopedEnv env("PULSE_SERVER", server.Address().c_str());
    EXPECT_EQ(CreateAudioDevices()->ActivateDefaultEndpointVolume(), nullptr);
}

TEST(PulseConnectionTest, LostServerFailsCallsAndIsReconnected) {
    PrivateServer server(1);
    ASSERT_TRUE(server.Start());
    ScopedEnv env("PULSE_SERVER", server.Address().c_str());
    auto endpoint = CreateAudioDevices()->ActivateDefaultEndpointVolume();
    ASSERT_NE(endpoint, nullptr);
    ASSERT_EQ(endpoint->SetMasterVolumeLevelScalar(0.5f), kS_OK);

    server.Kill();
    const auto start = std::chrono::steady_clock::now();
    float level = 0.0f;
    EXPECT_LT(endpoint->SetMasterVolumeLevelScalar(0.25f), 0);
    EXPECT_LT(endpoint->GetMasterVolumeLevelScalar(&level), 0);
    // A fade keeps calling while the server is gone: every call fails, none hangs.
    for (int i = 0; i < 100; ++i) EXPECT_LT(endpoint->SetMasterVolumeLevelScalar(0.25f), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);

    // A server back on the same socket is found again.
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(linuxtest::WaitFor([&] { return endpoint->SetMasterVolumeLevelScalar(0.25f) == kS_OK; }, 20s));
    EXPECT_EQ(endpoint->GetMasterVolumeLevelScalar(&level), kS_OK);
    EXPECT_NEAR(level, 0.25f, 1.0 / kNorm);
}


TEST(PulseConnectionTest, AnEndpointKeepsItsSinkWhenTheDefaultChanges) {
    PrivateServer server(2);
    ASSERT_TRUE(server.Start());
    ScopedEnv env("PULSE_SERVER", server.Address().c_str());
    auto devices = CreateAudioDevices();
    auto volumeOf = [&](int sink) {
        const auto v = linuxtest::SinkVolumes(PrivateServer::SinkName(sink));
        return v.empty() ? 0u : v[0];
    };
    for (const int sink : {0, 1}) {
        SCOPED_TRACE(sink);
        ASSERT_EQ(linuxtest::Run(server.Pactl("set-default-sink " + PrivateServer::SinkName(sink))).status, 0);
        auto endpoint = devices->ActivateDefaultEndpointVolume();
        ASSERT_NE(endpoint, nullptr);
        EXPECT_EQ(endpoint->DeviceId(), PrivateServer::SinkName(sink));

        // The other sink becomes the default; the endpoint stays where it was.
        ASSERT_EQ(linuxtest::Run(server.Pactl("set-default-sink " + PrivateServer::SinkName(1 - sink))).status, 0);
        ASSERT_TRUE(linuxtest::SetSinkVolumes(PrivateServer::SinkName(0), "100%"));
        ASSERT_TRUE(linuxtest::SetSinkVolumes(PrivateServer::SinkName(1), "100%"));
        ASSERT_EQ(endpoint->SetMasterVolumeLevelScalar(0.5f), kS_OK);
        EXPECT_EQ(volumeOf(sink), Raw(0.5));
        EXPECT_EQ(volumeOf(1 - sink), Raw(1.0));
        EXPECT_EQ(endpoint->DeviceId(), PrivateServer::SinkName(sink));
    }
}

TEST(PulseConnectionTest, ASinkIsReachedByItsNameWhileItIsThere) {
    PrivateServer server(2);
    ASSERT_TRUE(server.Start());
    ScopedEnv env("PULSE_SERVER", server.Address().c_str());
    auto devices = CreateAudioDevices();
    ASSERT_EQ(linuxtest::Run(server.Pactl("set-default-sink " + PrivateServer::SinkName(0))).status, 0);
    auto other = devices->ActivateEndpointVolume(PrivateServer::SinkName(1));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->DeviceId(), PrivateServer::SinkName(1));
    ASSERT_EQ(other->SetMasterVolumeLevelScalar(0.25f), kS_OK);
    EXPECT_EQ(linuxtest::SinkVolumes(PrivateServer::SinkName(1)).front(), Raw(0.25));
    for (const char* missing : {"", "rl_no_such_sink", "@DEFAULT_SINK@x"}) {
        SCOPED_TRACE(missing);
        EXPECT_EQ(devices->ActivateEndpointVolume(missing), nullptr);
    }
}

// Counts the handler's calls, and whether each came on this (the
// user-interface) thread.
struct ChangeCounter {
    int calls = 0;
    bool offThread = false;
    std::function<void()> Handler() {
        return [this] {
            ++calls;
            offThread = offThread || QThread::currentThread() != QCoreApplication::instance()->thread();
        };
    }
    // Waits for the next call; false when none came in time.
    bool Next(std::chrono::milliseconds timeout = 10s) {
        const int before = calls;
        return linuxtest::WaitFor([&] { return calls > before; }, timeout);
    }
};

TEST(PulseConnectionTest, ChangesOfTheDefaultSinkAreReportedOnTheUserInterfaceThread) {
    PrivateServer server(2);
    ASSERT_TRUE(server.Start());
    ScopedEnv env("PULSE_SERVER", server.Address().c_str());
    auto devices = CreateAudioDevices();
    ChangeCounter changes;
    devices->SetOnDevicesChanged(changes.Handler());
    // Connecting tells once, as anything may have changed before.
    ASSERT_TRUE(changes.Next());
    linuxtest::WaitFor([] { return false; }, 300ms);

    ASSERT_EQ(linuxtest::Run(server.Pactl("set-default-sink " + PrivateServer::SinkName(1))).status, 0);
    EXPECT_TRUE(changes.Next()) << "the default sink changed";

    // Volume changes (a fade's) are no device changes.
    const int calls = changes.calls;
    for (const char* volume : {"10%", "20%", "30%"})
        ASSERT_TRUE(linuxtest::SetSinkVolumes(PrivateServer::SinkName(1), volume));
    linuxtest::WaitFor([] { return false; }, 500ms);
    EXPECT_EQ(changes.calls, calls) << "a volume change was reported";

    const auto loaded = linuxtest::Run(server.Pactl("load-module module-null-sink sink_name=rl_private_extra"));
    ASSERT_EQ(loaded.status, 0);
    EXPECT_TRUE(changes.Next()) << "a sink came";
    ASSERT_EQ(linuxtest::Run(server.Pactl("unload-module " + std::to_string(std::stoi(loaded.output)))).status, 0);
    EXPECT_TRUE(changes.Next()) << "a sink went";

    server.Kill();
    EXPECT_TRUE(changes.Next()) << "the server went";
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(changes.Next(20s)) << "the server came back";
    EXPECT_FALSE(changes.offThread);

    devices->SetOnDevicesChanged(nullptr);
    const int last = changes.calls;
    ASSERT_EQ(linuxtest::Run(server.Pactl("set-default-sink " + PrivateServer::SinkName(0))).status, 0);
    linuxtest::WaitFor([] { return false; }, 500ms);
    EXPECT_EQ(changes.calls, last) << "a call after the handler was taken away";
}

}  // namespace
}  // namespace rl
