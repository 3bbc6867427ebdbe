// Following the default playback device: the idle monitor and the master
// volume against fake devices that switch, go and come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/IdleMonitor.h"
#include "procenum/KzEnumProcesses.h"
#include "tests/fakes/Fakes.h"

namespace rl {
namespace {

constexpr std::uint32_t kThreshold = 60000;
constexpr std::int32_t kSpeakersLevel = 50000;
constexpr std::int32_t kHeadsetLevel = 40000;
constexpr std::int32_t kRest = 19660;

float ReadsAs(std::int32_t level) { return static_cast<float>((level + 0.5) / 65535.0); }

// Public: the cases' steps are lambdas that take the fixture.
class DeviceSwitchTest : public ::testing::Test {
public:
    fake::AudioDevices devices;
    std::shared_ptr<fake::AudioState> speakers = devices.state;
    std::shared_ptr<fake::AudioState> headset = devices.Add("headset", ReadsAs(kHeadsetLevel));
    fake::Clock clock;
    fake::Timer timer;
    fake::Pump pump;
    fake::TrayImage tiMain;
    fake::CheckMark disable;
    fake::CheckMark relative;
    fake::ItemList programs;
    fake::Snapshots snapshots;
    TMasterVolume volume{devices, clock, timer, pump};
    TIdleMonitor monitor{clock, volume, {tiMain, disable, relative, programs}};
    std::uint32_t now = 1000000;

    void SetUp() override {
        speakers->scalar = ReadsAs(kSpeakersLevel);
        ASSERT_TRUE(volume.ConnectEndpoint());
        devices.SetOnDevicesChanged([this] { monitor.DefaultDeviceChanged(); });
        SetSnapshotPort(&snapshots);
        monitor.IdleThreshold = kThreshold;
        monitor.IdleLevel = kRest;
        monitor.SavedLevel = kSpeakersLevel;  // as start-up reads it
        clock.step = 50;                      // fades advance time as they read it
    }
    void TearDown() override { SetSnapshotPort(nullptr); }

    // Whether the device reads as the level or was last written it (a level
    // written does not always read back as itself).
    static bool At(const std::shared_ptr<fake::AudioState>& device, std::int32_t level) {
        return ScalarToLevel(device->scalar) == level || device->scalar == LevelToScalar(level);
    }
    static std::int32_t Level(const std::shared_ptr<fake::AudioState>& device) {
        return ScalarToLevel(device->scalar);
    }
    // The scalars written from the given write on.
    static std::vector<float> Sets(const std::shared_ptr<fake::AudioState>& device, std::size_t from = 0) {
        return {device->sets.begin() + static_cast<std::ptrdiff_t>(std::min(from, device->sets.size())),
                device->sets.end()};
    }
    static std::vector<float> Written(std::initializer_list<std::int32_t> levels) {
        std::vector<float> scalars;
        for (const std::int32_t level : levels) scalars.push_back(LevelToScalar(level));
        return scalars;
    }

    void Tick(std::uint32_t idle) {
        now += 100000;
        clock.tick = now;
        clock.lastInput = now - idle;
        monitor.tmrCheckTimer();
    }
    void Input() { Tick(10); }
    void GoIdle() {
        Input();
        Tick(kThreshold);
    }
    // The switch happens on the n-th message processing of the next fade.
    void SwitchDuringFade(int n, const std::string& to) {
        auto count = std::make_shared<int>(0);
        pump.onPump = [this, n, to, count] {
            if (++*count == n) Switch(to);
        };
    }
    void Switch(const std::string& to) {
        speakerSetsAtSwitch = speakers->sets.size();
        devices.SwitchDefault(to);
    }
    std::size_t speakerSetsAtSwitch = 0;
};

TEST_F(DeviceSwitchTest, SwitchToAnotherDevice) {
    struct Case {
        const char* name;
        std::function<void(DeviceSwitchTest&)> switchOnTheWay;
        bool speakersRestored;  // the old device was given its saved level at the switch
    };
    const Case cases[] = {
        {"while watching", [](DeviceSwitchTest& t) { t.Switch("headset"); }, false},
        {"while resting",
         [](DeviceSwitchTest& t) {
             t.GoIdle();
             ASSERT_EQ(Level(t.speakers), kRest);
             t.Switch("headset");
         },
         true},
        {"during the down fade",
         [](DeviceSwitchTest& t) {
             t.SwitchDuringFade(3, "headset");
             t.GoIdle();
         },
         true},
        {"during the fade back",
         [](DeviceSwitchTest& t) {
             t.GoIdle();
             t.SwitchDuringFade(2, "headset");
             t.Input();
         },
         true},
        {"while disabled after resting",  // the rest level is still in force there
         [](DeviceSwitchTest& t) {
             t.GoIdle();
             t.disable.checked = true;
             t.tiMain.index = kImageDisabled;
             t.Switch("headset");
             ASSERT_EQ(t.tiMain.index, kImageDisabled);
             t.disable.checked = false;
             t.tiMain.index = kImageWatching;
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        devices.SwitchDefault("speakers");
        speakers->scalar = ReadsAs(kSpeakersLevel);
        headset->scalar = ReadsAs(kHeadsetLevel);
        monitor.SavedLevel = kSpeakersLevel;
        Input();
        ASSERT_EQ(volume.DeviceId(), "speakers");
        speakers->sets.clear();
        headset->sets.clear();

        c.switchOnTheWay(*this);
        pump.onPump = nullptr;
        EXPECT_EQ(volume.DeviceId(), "headset");
        EXPECT_EQ(tiMain.index, kImageWatching);
        EXPECT_TRUE(timer.Enabled());
        EXPECT_TRUE(At(speakers, kSpeakersLevel));
        // Nothing of a fade reaches the old device after the switch, only its saved level.
        EXPECT_EQ(Sets(speakers, speakerSetsAtSwitch), c.speakersRestored ? Written({kSpeakersLevel}) : Written({}));
        EXPECT_TRUE(headset->sets.empty()) << "the new device keeps its own level";
        EXPECT_EQ(monitor.SavedLevel, kHeadsetLevel);

        // The idle monitor goes on with the new device alone.
        const std::size_t speakerSets = speakers->sets.size();
        Input();  // no fade back: nothing is in force
        EXPECT_TRUE(headset->sets.empty());
        GoIdle();
        EXPECT_EQ(tiMain.index, kImageResting);
        EXPECT_EQ(Level(headset), kRest);
        Input();
        EXPECT_TRUE(At(headset, kHeadsetLevel));
        EXPECT_EQ(speakers->sets.size(), speakerSets);
    }
}

TEST_F(DeviceSwitchTest, DeviceGoneWhileRestingAndBack) {
    struct Case {
        const char* name;
        std::string defaultWhileGone;
        std::string defaultWhenBack;
    };
    const Case cases[] = {
        {"no device for a while, back as the default", "", "speakers"},
        {"another default meanwhile, back as the default", "headset", "speakers"},
        {"back beside another default", "headset", "headset"},
        {"no device for a while, back beside another", "", "headset"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        speakers->present = true;
        devices.SwitchDefault("speakers");
        speakers->scalar = ReadsAs(kSpeakersLevel);
        headset->scalar = ReadsAs(kHeadsetLevel);
        monitor.SavedLevel = kSpeakersLevel;
        GoIdle();
        ASSERT_EQ(Level(speakers), kRest);

        speakers->present = false;  // unplugged: it cannot be given anything now
        devices.SwitchDefault(c.defaultWhileGone);
        EXPECT_EQ(volume.DeviceId(), c.defaultWhileGone);
        EXPECT_EQ(tiMain.index, kImageWatching);

        // Idle periods meanwhile touch no device when there is none.
        headset->sets.clear();
        GoIdle();
        if (c.defaultWhileGone.empty()) {
            EXPECT_EQ(tiMain.index, kImageWatching) << "no device, nothing to rest";
            EXPECT_TRUE(headset->sets.empty());
            EXPECT_TRUE(timer.Enabled());
        }
        Input();

        // Back: the level it had before the rest level, at once.
        speakers->present = true;
        speakers->sets.clear();
        devices.SwitchDefault(c.defaultWhenBack);
        EXPECT_EQ(volume.DeviceId(), c.defaultWhenBack);
        EXPECT_EQ(Sets(speakers), Written({kSpeakersLevel}));
        // Only once: a later change owes it nothing more.
        devices.SwitchDefault(c.defaultWhenBack);
        EXPECT_EQ(speakers->sets.size(), 1u);

        // The next idle period applies to the default as it is now.
        const auto current = c.defaultWhenBack == "speakers" ? speakers : headset;
        const std::int32_t own = Level(current);
        GoIdle();
        EXPECT_EQ(Level(current), kRest);
        Input();
        EXPECT_TRUE(At(current, own));
    }
}

TEST_F(DeviceSwitchTest, TheWayOutGivesTheSavedLevelOnlyToItsOwnDevice) {
    struct Case {
        const char* name;
        std::function<void(DeviceSwitchTest&)> before;
        std::vector<float> speakersSets;  // written on the way out
        std::vector<float> headsetSets;
    };
    const Case cases[] = {
        {"resting, no switch", [](DeviceSwitchTest&) {}, Written({kSpeakersLevel}), {}},
        // The new device is left at its own level, also on the way out.
        {"switched while resting", [](DeviceSwitchTest& t) { t.Switch("headset"); }, {}, Written({kHeadsetLevel})},
        {"resting on the new device after a switch",
         [](DeviceSwitchTest& t) {
             t.Switch("headset");
             t.GoIdle();
         },
         {}, Written({kHeadsetLevel})},
        {"device gone while resting, back unannounced",
         [](DeviceSwitchTest& t) {
             t.speakers->present = false;
             t.Switch("headset");
             t.speakers->present = true;
         },
         Written({kSpeakersLevel}), Written({kHeadsetLevel})},
        {"device gone, none in its place",
         [](DeviceSwitchTest& t) {
             t.speakers->present = false;
             t.Switch("");
         },
         {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        speakers->present = true;
        devices.SwitchDefault("speakers");
        speakers->scalar = ReadsAs(kSpeakersLevel);
        headset->scalar = ReadsAs(kHeadsetLevel);
        GoIdle();
        c.before(*this);
        const std::size_t speakerSets = speakers->sets.size(), headsetSets = headset->sets.size();

        monitor.RestoreSavedLevel();
        EXPECT_EQ(Sets(speakers, speakerSets), c.speakersSets);
        EXPECT_EQ(Sets(headset, headsetSets), c.headsetSets);
        Input();
    }
}

TEST_F(DeviceSwitchTest, ANotificationWithoutAChangeChangesNothing) {
    GoIdle();
    speakers->sets.clear();
    const int released = speakers->released;
    devices.SwitchDefault("speakers");  // e.g. another device came or went
    EXPECT_EQ(tiMain.index, kImageResting);
    EXPECT_TRUE(speakers->sets.empty());
    EXPECT_EQ(speakers->released, released + 1) << "a fresh control of the same device";
    Input();
    EXPECT_TRUE(At(speakers, kSpeakersLevel));
}

TEST_F(DeviceSwitchTest, AFadeGoesOnWhenTheDefaultStaysTheSame) {
    SwitchDuringFade(2, "speakers");
    GoIdle();
    EXPECT_EQ(tiMain.index, kImageResting);
    EXPECT_EQ(Level(speakers), kRest);
    EXPECT_GT(speakers->sets.size(), 3u);
}

}  // namespace
}  // namespace rl
