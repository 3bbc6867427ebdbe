#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "app/MasterVolume.h"
#include "tests/fakes/Fakes.h"

namespace rl {
namespace {

TEST(LevelConversion, WriteThenReadPairs) {
    struct Case {
        std::int32_t written;
        std::int32_t readBack;
    };
    // Not an exact round trip: level 1 comes back as 0.
    const Case cases[] = {{0, 0}, {1, 0}, {19660, 19660}, {32767, 32767}, {65535, 65535}};
    for (const Case& c : cases) {
        EXPECT_EQ(ScalarToLevel(LevelToScalar(c.written)), c.readBack) << "level " << c.written;
    }
}

TEST(LevelConversion, ReadingTruncatesTheFullPrecisionProduct) {
    // 0.3f is 0.300000011920929; times 65535 that is 19660.50078, truncated.
    EXPECT_EQ(ScalarToLevel(0.3f), 19660);
    EXPECT_EQ(ScalarToLevel(1.0f), 65535);
    EXPECT_EQ(ScalarToLevel(0.0f), 0);
    // Just below a whole level stays below it.
    EXPECT_EQ(ScalarToLevel(std::nextafter(0.5f, 0.0f)), 32767);
}

TEST(LevelConversion, WritingRoundsToSinglePrecision) {
    EXPECT_EQ(LevelToScalar(65535), 1.0f);
    EXPECT_EQ(LevelToScalar(0), 0.0f);
    EXPECT_EQ(LevelToScalar(19660), static_cast<float>(19660.0 / 65535.0));
}

class FadeTest : public ::testing::Test {
protected:
    fake::AudioDevices devices;
    fake::Clock clock;
    fake::Timer timer;
    fake::Pump pump;
    TMasterVolume volume{devices, clock, timer, pump};

    void SetUp() override { ASSERT_TRUE(volume.ConnectEndpoint()); }

    // A device scalar that reads as exactly this level.
    void StartAt(std::int32_t level) {
        devices.state->scalar = static_cast<float>((level + 0.5) / 65535.0);
        ASSERT_EQ(ScalarToLevel(devices.state->scalar), level);
    }

    std::vector<std::int32_t> LevelsSet() const {
        std::vector<std::int32_t> out;
        for (float s : devices.state->sets) out.push_back(ScalarToLevel(s));
        return out;
    }

    // Plays the given tick readings, one per clock read, then keeps the last.
    void ScriptTicks(std::vector<std::uint32_t> ticks) {
        auto index = std::make_shared<std::size_t>(0);
        clock.onTickRead = [ticks, index](fake::Clock& c) {
            c.tick = ticks[std::min(*index, ticks.size() - 1)];
            ++*index;
        };
    }
};

TEST_F(FadeTest, WorkedFiguresOfADownFade) {
    StartAt(50000);
    // start, then one loop reading at 1, 500 and 1000 ms, and one past the end.
    ScriptTicks({5000, 5001, 5500, 6000, 7001});
    volume.FadeVolume(19660, 2000);
    // The written scalars read back one lower for some levels, so compare the
    // scalars that were written.
    const auto& sets = devices.state->sets;
    ASSERT_EQ(sets.size(), 5u);
    EXPECT_EQ(sets[0], LevelToScalar(49984));  // 49984.83 truncated
    EXPECT_EQ(sets[1], LevelToScalar(42415));
    EXPECT_EQ(sets[2], LevelToScalar(34830));
    EXPECT_EQ(sets[3], LevelToScalar(19660));  // the step once time has run out
    EXPECT_EQ(sets[4], LevelToScalar(19660));  // the final write
}

TEST_F(FadeTest, SwitchesTheMonitorTimerOffForTheFadeAndOnAgain) {
    StartAt(30000);
    clock.step = 100;
    bool enabledDuringFade = true;
    pump.onPump = [&] { enabledDuringFade = enabledDuringFade && timer.Enabled(); };
    volume.FadeVolume(10000, 333);
    EXPECT_FALSE(enabledDuringFade);
    EXPECT_EQ(timer.enableLog, (std::vector<bool>{false, true}));
    EXPECT_GT(pump.calls, 0);
}

TEST_F(FadeTest, RisesLinearlyToATargetAboveTheCurrentLevel) {
    StartAt(10000);
    clock.step = 250;
    volume.FadeVolume(60000, 2000);
    const auto levels = LevelsSet();
    ASSERT_GE(levels.size(), 8u);
    for (std::size_t i = 1; i < levels.size(); ++i) EXPECT_GE(levels[i], levels[i - 1]);
    EXPECT_EQ(devices.state->sets.back(), LevelToScalar(60000));
}

TEST_F(FadeTest, TargetEqualToTheCurrentLevelStillTakesTheFullTime) {
    StartAt(40000);
    clock.tick = 100;
    clock.step = 10;
    volume.FadeVolume(40000, 333);
    const auto& sets = devices.state->sets;
    EXPECT_GE(sets.size(), 34u);  // every step writes, though nothing changes
    for (float s : sets) EXPECT_EQ(s, LevelToScalar(40000));
    EXPECT_GT(clock.tick, 100u + 333u);
}

TEST_F(FadeTest, SetsTheLevelAtLeastTwiceEvenWhenTimeHasRunOut) {
    StartAt(50000);
    ScriptTicks({1000, 9000});
    volume.FadeVolume(20000, 333);
    EXPECT_EQ(devices.state->sets, (std::vector<float>{LevelToScalar(20000), LevelToScalar(20000)}));
}

TEST_F(FadeTest, EndWrappingPastTheCounterStopsAfterTheFirstStep) {
    StartAt(50000);
    // Started 1000 ms before the counter wraps: end (1000) lies below start.
    const std::uint32_t start = std::numeric_limits<std::uint32_t>::max() - 999;
    ScriptTicks({start, start + 1, start + 2});
    volume.FadeVolume(19660, 2000);
    const auto& sets = devices.state->sets;
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0], LevelToScalar(49984));  // fraction 1/2000
    EXPECT_EQ(sets[1], LevelToScalar(19660));
}

TEST_F(FadeTest, CounterWrappingDuringTheFadeEndsItAtTheTarget) {
    StartAt(50000);
    ScriptTicks({4000000000u, 4000000500u, 20u});
    volume.FadeVolume(19660, 2000);
    const auto& sets = devices.state->sets;
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_EQ(sets[0], LevelToScalar(42415));
    EXPECT_EQ(sets[1], LevelToScalar(19660));  // fraction clamped to 1.0
    EXPECT_EQ(sets[2], LevelToScalar(19660));
}

TEST_F(FadeTest, AnErrorEndsTheFadeButTheTargetIsWrittenAndTheTimerRestored) {
    StartAt(50000);
    devices.state->throwOnGet = false;
    clock.step = 1;
    pump.onPump = [&] { throw std::runtime_error("handler failed"); };
    volume.FadeVolume(19660, 2000);
    ASSERT_EQ(devices.state->sets.size(), 2u);
    EXPECT_EQ(devices.state->sets.back(), LevelToScalar(19660));
    EXPECT_TRUE(timer.Enabled());
}

TEST(MasterVolume, ConnectionFailures) {
    fake::Clock clock;
    fake::Timer timer;
    fake::Pump pump;
    {
        fake::AudioDevices devices;
        devices.available = false;
        TMasterVolume volume(devices, clock, timer, pump);
        EXPECT_FALSE(volume.ConnectEndpoint());
        volume.SetVolumeLevel(1000);  // harmless without a device
        EXPECT_TRUE(devices.state->sets.empty());
    }
    {
        fake::AudioDevices devices;
        devices.throwOnActivate = true;
        TMasterVolume volume(devices, clock, timer, pump);
        EXPECT_FALSE(volume.ConnectEndpoint());
    }
}

TEST(MasterVolume, FailedReadsGiveTheLastKnownLevelAndSaySo) {
    fake::AudioDevices devices;
    fake::Clock clock;
    fake::Timer timer;
    fake::Pump pump;
    TMasterVolume volume(devices, clock, timer, pump);
    ASSERT_TRUE(volume.ConnectEndpoint());
    devices.state->scalar = LevelToScalar(32767);
    bool ok = false;
    EXPECT_EQ(volume.GetVolumeLevel(&ok), 32767);
    EXPECT_TRUE(ok);
    devices.state->failGet = true;
    EXPECT_EQ(volume.GetVolumeLevel(&ok), 32767);
    EXPECT_FALSE(ok);
    volume.SetVolumeLevel(1234);
    devices.state->failGet = false;
    devices.state->throwOnGet = true;
    EXPECT_EQ(volume.GetVolumeLevel(&ok), 1234);
    EXPECT_FALSE(ok);
}

TEST(MasterVolume, ReleasingTheEndpointReleasesTheDeviceOnce) {
    fake::AudioDevices devices;
    fake::Clock clock;
    fake::Timer timer;
    fake::Pump pump;
    TMasterVolume volume(devices, clock, timer, pump);
    ASSERT_TRUE(volume.ConnectEndpoint());
    volume.ReleaseEndpoint();
    EXPECT_EQ(devices.state->released, 1);
    EXPECT_FALSE(volume.Connected());
}

}  // namespace
}  // namespace rl
