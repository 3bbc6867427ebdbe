// Core Audio under Wine: the default playback device is the PulseAudio null
// sink that the test services start.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "app/MasterVolume.h"
#include "platform/Platform.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

class CoreAudioTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(com_.Result())) << std::hex << com_.Result(); }

    win32test::ComApartment com_;
    std::unique_ptr<IAudioDevices> devices_ = CreateAudioDevices();
};

TEST_F(CoreAudioTest, DefaultEndpointVolumeReadsAScalar) {
    auto volume = devices_->ActivateDefaultEndpointVolume();
    ASSERT_NE(volume, nullptr);
    float scalar = -1.0f;
    ASSERT_EQ(volume->GetMasterVolumeLevelScalar(&scalar), kS_OK);
    EXPECT_GE(scalar, 0.0f);
    EXPECT_LE(scalar, 1.0f);
}

TEST_F(CoreAudioTest, ConnectsAndReadsALevelThroughTheMasterVolume) {
    auto clock = CreateClockInput();
    auto timer = CreateTimer();
    TMasterVolume volume(*devices_, *clock, *timer, MessagePump());
    ASSERT_TRUE(volume.ConnectEndpoint());
    bool ok = false;
    const std::int32_t level = volume.GetVolumeLevel(&ok);
    EXPECT_TRUE(ok);
    EXPECT_GE(level, 0);
    EXPECT_LE(level, kMaxLevel);
    volume.ReleaseEndpoint();
    EXPECT_FALSE(volume.Connected());
}

TEST_F(CoreAudioTest, EachConnectionHasItsOwnVolumeControl) {
    auto first = devices_->ActivateDefaultEndpointVolume();
    auto second = devices_->ActivateDefaultEndpointVolume();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    first.reset();  // releasing one leaves the other usable
    float scalar = -1.0f;
    EXPECT_EQ(second->GetMasterVolumeLevelScalar(&scalar), kS_OK);
}

TEST_F(CoreAudioTest, SettingTheMasterVolumeReadsBack) {
    auto volume = devices_->ActivateDefaultEndpointVolume();
    ASSERT_NE(volume, nullptr);
    float original = 0.0f;
    ASSERT_EQ(volume->GetMasterVolumeLevelScalar(&original), kS_OK);

    const float wanted = original > 0.5f ? 0.25f : 0.75f;
    const HResult hr = volume->SetMasterVolumeLevelScalar(wanted);
    if (hr == kE_NOTIMPL) {
        GTEST_SKIP() << "this platform does not implement setting the master volume "
                        "(SetMasterVolumeLevelScalar answers E_NOTIMPL, as Wine 8 does)";
    }
    ASSERT_EQ(hr, kS_OK);
    float read = -1.0f;
    ASSERT_EQ(volume->GetMasterVolumeLevelScalar(&read), kS_OK);
    EXPECT_NEAR(read, wanted, 0.01f);
    volume->SetMasterVolumeLevelScalar(original);
}

TEST_F(CoreAudioTest, FadePumpsMessagesWithTheMonitorTimerOff) {
    auto clock = CreateClockInput();
    auto tmrCheck = CreateTimer();
    auto other = CreateTimer();
    TMasterVolume volume(*devices_, *clock, *tmrCheck, MessagePump());
    ASSERT_TRUE(volume.ConnectEndpoint());

    bool fading = false;
    int checkTicksInFade = 0, otherTicksInFade = 0;
    tmrCheck->SetOnTimer([&] { checkTicksInFade += fading ? 1 : 0; });
    other->SetOnTimer([&] { otherTicksInFade += fading ? 1 : 0; });
    tmrCheck->SetInterval(10);
    other->SetInterval(10);

    fading = true;
    volume.FadeVolume(volume.GetVolumeLevel(), 300);
    fading = false;
    EXPECT_EQ(checkTicksInFade, 0);
    EXPECT_GT(otherTicksInFade, 0);  // the fade kept the thread's messages flowing
    EXPECT_TRUE(tmrCheck->Enabled());
}

TEST(CoreAudioWithoutComTest, ConnectionFailsOnAThreadWithoutCom) {
    // Nothing in this program keeps a multi-threaded apartment, so a new
    // thread has no COM at all and the enumerator cannot be created.
    std::unique_ptr<IEndpointVolume> volume;
    bool returned = false;
    std::thread([&] {
        auto devices = CreateAudioDevices();
        volume = devices->ActivateDefaultEndpointVolume();
        returned = true;
    }).join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(volume, nullptr);
}

}  // namespace
}  // namespace rl
