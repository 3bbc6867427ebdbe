// Core Audio under Wine: the default playback device is the PulseAudio null
// sink that the test services start.
//
// What Wine 8 reports of device changes: OnDefaultDeviceChanged, on a thread
// of its own, when its own default-output setting changes (what winecfg
// writes); its device list is read once when a process starts, so devices
// that come or go later are never reported (no OnDeviceAdded, Removed or
// StateChanged), and a change of PulseAudio's default sink is not reported
// either (Wine's "PulseAudio" device follows it by itself).
#include <windows.h>
#include <mmdeviceapi.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/IdleMonitor.h"
#include "app/MasterVolume.h"
#include "platform/Platform.h"
#include "tests/fakes/Fakes.h"
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

TEST_F(CoreAudioTest, AVolumeControlNamesItsDeviceWhichCanBeReachedByThatName) {
    auto byDefault = devices_->ActivateDefaultEndpointVolume();
    ASSERT_NE(byDefault, nullptr);
    const std::string id = byDefault->DeviceId();
    ASSERT_FALSE(id.empty());
    auto byId = devices_->ActivateEndpointVolume(id);
    ASSERT_NE(byId, nullptr);
    EXPECT_EQ(byId->DeviceId(), id);
    float scalar = -1.0f;
    EXPECT_EQ(byId->GetMasterVolumeLevelScalar(&scalar), kS_OK);
    for (const char* missing : {"", "{0.0.0.00000000}.{00000000-0000-0000-0000-000000000000}"}) {
        SCOPED_TRACE(missing);
        EXPECT_EQ(devices_->ActivateEndpointVolume(missing), nullptr);
    }
}

// Wine's default-output setting, set for a test and put back afterwards.
class WineDefaultOutput {
public:
    static constexpr char kKey[] = "Software\\Wine\\Drivers\\winepulse.drv";
    static constexpr char kValue[] = "DefaultOutput";

    static bool OnWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }
    static bool PulseDriver() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }

    WineDefaultOutput() {
        char value[512] = {};
        DWORD size = sizeof(value) - 1;
        had_ = RegGetValueA(HKEY_CURRENT_USER, kKey, kValue, RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS;
        if (had_) old_ = value;
    }
    ~WineDefaultOutput() {
        if (had_) Set(old_);
        else RegDeleteKeyValueA(HKEY_CURRENT_USER, kKey, kValue);
    }
    WineDefaultOutput(const WineDefaultOutput&) = delete;
    WineDefaultOutput& operator=(const WineDefaultOutput&) = delete;

    bool Set(const std::string& deviceId) {
        return RegSetKeyValueA(HKEY_CURRENT_USER, kKey, kValue, REG_SZ, deviceId.c_str(),
                               static_cast<DWORD>(deviceId.size() + 1)) == ERROR_SUCCESS;
    }

private:
    bool had_ = false;
    std::string old_;
};

// The ids of the active playback devices, as the adapter names them.
std::vector<std::string> ActivePlaybackDevices() {
    constexpr GUID kClsid = {0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
    constexpr GUID kIid = {0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
    std::vector<std::string> ids;
    IMMDeviceEnumerator* enumerator = nullptr;
    if (FAILED(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, kIid, reinterpret_cast<void**>(&enumerator))))
        return ids;
    IMMDeviceCollection* devices = nullptr;
    UINT count = 0;
    if (SUCCEEDED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices)) &&
        SUCCEEDED(devices->GetCount(&count))) {
        for (UINT i = 0; i < count; ++i) {
            IMMDevice* device = nullptr;
            LPWSTR id = nullptr;
            if (SUCCEEDED(devices->Item(i, &device)) && SUCCEEDED(device->GetId(&id))) {
                char narrow[512] = {};
                WideCharToMultiByte(CP_UTF8, 0, id, -1, narrow, sizeof(narrow) - 1, nullptr, nullptr);
                ids.emplace_back(narrow);
            }
            if (id != nullptr) CoTaskMemFree(id);
            if (device != nullptr) device->Release();
        }
    }
    if (devices != nullptr) devices->Release();
    enumerator->Release();
    return ids;
}

// Switches Wine's default playback device to another active one, and back.
class DefaultDeviceChangeTest : public CoreAudioTest {
protected:
    void SetUp() override {
        CoreAudioTest::SetUp();
        if (!WineDefaultOutput::OnWine() || !WineDefaultOutput::PulseDriver())
            GTEST_SKIP() << "the default playback device is switched here through Wine's own setting (winepulse's "
                            "DefaultOutput); Windows offers no documented way for a program to switch it";
        auto current = devices_->ActivateDefaultEndpointVolume();
        ASSERT_NE(current, nullptr);
        first_ = current->DeviceId();
        for (const std::string& id : ActivePlaybackDevices())
            if (id != first_ && other_.empty()) other_ = id;
        ASSERT_FALSE(other_.empty()) << "Wine offers only one playback device";
    }

    // Waits for the next call of the handler, pumping this thread's messages.
    bool NextChange(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const int before = calls_;
        return win32test::WaitFor([&] { return calls_ > before; }, timeout);
    }
    std::string CurrentDefault() {
        auto current = devices_->ActivateDefaultEndpointVolume();
        return current ? current->DeviceId() : std::string();
    }
    // Makes `to` the default and waits for the notice. Wine's watcher starts
    // with the process's first registration and takes the setting as it finds
    // it then, so a change made at once may pass unnoticed: it is made again
    // from the other side.
    bool SwitchTo(const std::string& to, const std::string& from) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (!setting_->Set(to)) return false;
            if (NextChange(std::chrono::seconds(2)) && CurrentDefault() == to) return true;
            setting_->Set(from);
            NextChange(std::chrono::seconds(2));
        }
        return false;
    }
    std::function<void()> Counter() {
        return [this] {
            ++calls_;
            offThread_ = offThread_ || GetCurrentThreadId() != thread_;
        };
    }

    std::string first_, other_;
    int calls_ = 0;
    bool offThread_ = false;
    const DWORD thread_ = GetCurrentThreadId();
    std::unique_ptr<WineDefaultOutput> setting_ = std::make_unique<WineDefaultOutput>();
};

TEST_F(DefaultDeviceChangeTest, ChangesArriveOnTheUserInterfaceThread) {
    devices_->SetOnDevicesChanged(Counter());
    ASSERT_TRUE(SwitchTo(other_, first_)) << "no notice of the new default device";
    EXPECT_FALSE(offThread_);

    ASSERT_TRUE(setting_->Set(first_));
    ASSERT_TRUE(NextChange()) << "no notice of the way back";
    EXPECT_EQ(CurrentDefault(), first_);
    EXPECT_FALSE(offThread_);

    devices_->SetOnDevicesChanged(nullptr);
    const int calls = calls_;
    ASSERT_TRUE(setting_->Set(other_));
    win32test::PumpFor(std::chrono::milliseconds(1500));
    EXPECT_EQ(calls_, calls) << "a notice after the handler was taken away";
}

TEST_F(DefaultDeviceChangeTest, TheIdleMonitorFollowsASwitchWhileResting) {
    auto clock = CreateClockInput();
    auto tmrCheck = CreateTimer();
    tmrCheck->SetEnabled(false);
    TMasterVolume volume(*devices_, *clock, *tmrCheck, MessagePump());
    ASSERT_TRUE(volume.ConnectEndpoint());
    fake::TrayImage tiMain;
    fake::CheckMark disabled, relative;
    fake::ItemList programs;
    TIdleMonitor monitor(*clock, volume, {tiMain, disabled, relative, programs});
    devices_->SetOnDevicesChanged([&] {
        ++calls_;
        monitor.DefaultDeviceChanged();
    });

    // The rest level in force on the first device, where that can be set.
    auto first = devices_->ActivateEndpointVolume(first_);
    ASSERT_NE(first, nullptr);
    const std::int32_t saved = volume.GetVolumeLevel();
    const bool settable = first->SetMasterVolumeLevelScalar(0.1f) != kE_NOTIMPL;
    monitor.SavedLevel = saved;
    tiMain.SetImageIndex(kImageResting);

    ASSERT_TRUE(SwitchTo(other_, first_));
    EXPECT_EQ(volume.DeviceId(), other_) << "the monitor did not follow the new default device";
    devices_->SetOnDevicesChanged(nullptr);
    EXPECT_EQ(tiMain.ImageIndex(), kImageWatching);
    bool read = false;
    EXPECT_EQ(monitor.SavedLevel, volume.GetVolumeLevel(&read)) << "the saved level is the new device's own";
    EXPECT_TRUE(read);

    if (!settable) {
        GTEST_SKIP() << "the old device's level cannot be given back here: Wine 8 answers E_NOTIMPL to setting "
                        "the master volume (the switch itself was followed)";
    }
    float level = -1.0f;
    ASSERT_EQ(first->GetMasterVolumeLevelScalar(&level), kS_OK);
    EXPECT_EQ(ScalarToLevel(level), ScalarToLevel(LevelToScalar(saved))) << "the old device keeps the rest level";
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
