// The main window's handlers against fake controls, a fake registry, fake
// audio and fake snapshots: start-up and the stored settings, the edit boxes'
// rules, closing and ending, the tray menu, and the exception page.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "app/RestLevel01.h"
#include "procenum/KzEnumProcesses.h"
#include "support/KzFileLib.h"
#include "support/KzRegistry.h"
#include "support/VorlLib.h"
#include "tests/fakes/FakeFileSystem.h"
#include "tests/fakes/FakeRegistry.h"
#include "tests/fakes/FakeTextSystem.h"
#include "tests/fakes/FakeUi.h"
#include "tests/fakes/Fakes.h"

namespace rl {
namespace {

using ::testing::ElementsAre;

std::vector<std::uint8_t> Dword(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

std::vector<std::uint8_t> Text(const std::string& s) {
    std::vector<std::uint8_t> bytes(s.begin(), s.end());
    bytes.push_back(0);
    return bytes;
}

std::vector<std::uint8_t> MultiString(const std::vector<std::string>& items) {
    std::vector<std::uint8_t> bytes;
    for (const std::string& item : items) {
        bytes.insert(bytes.end(), item.begin(), item.end());
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

// Everything the window needs, installed as the ports for its lifetime.
struct WindowHarness {
    WindowHarness() {
        SetRegistryPort(&registry);
        SetTextSystemPort(&text);
        SetSnapshotPort(&snapshots);
        SetFileSystemPort(&files);
        ResetWindowsVersion();
        btnAdd.enabled = false;
        btnRemove.enabled = false;
        ckbAutoExceptions.checked = true;
        devices.state->scalar = 0.5f;
    }
    ~WindowHarness() {
        form.reset();
        SetRegistryPort(nullptr);
        SetTextSystemPort(nullptr);
        SetSnapshotPort(nullptr);
        SetFileSystemPort(nullptr);
        ResetWindowsVersion();
    }
    WindowHarness(const WindowHarness&) = delete;
    WindowHarness& operator=(const WindowHarness&) = delete;

    // Builds the window as the toolkit would; start = the program start.
    bool Start(bool checkVersion = false) {
        form = std::make_unique<TfrmRestLevel>(
            TRestLevelControls{pcMain, lbCopyright, Label6, tbIdleTime, ebIdleTime, tbRestLevel, ebRestLvl,
                               ckbRelative, cbPrograms, lbPrograms, btnAdd, btnRemove, ckbAutoExceptions, tiMain,
                               OpenRestLevel1, DisableRestLevel1, Exit1},
            TRestLevelServices{host, clock, devices, timer, pump, checkVersion, &autoExceptions});
        host.onShow = [this] { form->FormShow(); };
        host.onClose = [this] { return form->FormClose(); };
        return StartRestLevel(*form);
    }

    std::optional<std::uint32_t> Stored(const std::string& name) {
        const auto value = registry.Get(kSettingsKey, name);
        if (!value || value->type != kRegDword || value->data.size() != 4) return std::nullopt;
        return value->data[0] | (value->data[1] << 8) | (value->data[2] << 16) |
               (static_cast<std::uint32_t>(value->data[3]) << 24);
    }
    void Put(const std::string& name, std::uint32_t value) { registry.Put(kSettingsKey, name, kRegDword, Dword(value)); }

    fake::Registry registry;
    fake::TextSystem text;
    fake::Snapshots snapshots;
    fake::FileSystem files;

    fake::PageControl pcMain;
    fake::Label lbCopyright, Label6;
    fake::TrackBar tbIdleTime{0, 1000, 100};
    fake::EditBox ebIdleTime;
    fake::TrackBar tbRestLevel{0, 1000, 300};
    fake::EditBox ebRestLvl;
    fake::CheckControl ckbRelative;
    fake::ComboBox cbPrograms;
    fake::ListBox lbPrograms;
    fake::Button btnAdd, btnRemove;
    fake::CheckControl ckbAutoExceptions;
    fake::TrayIcon tiMain;
    fake::MenuItem OpenRestLevel1, DisableRestLevel1, Exit1;

    fake::FormHost host;
    fake::Clock clock;
    fake::AudioDevices devices;
    fake::Timer timer;
    fake::AutoExceptions autoExceptions;
    fake::Pump pump;
    std::unique_ptr<TfrmRestLevel> form;
};

class RestLevelWindowTest : public ::testing::Test, public WindowHarness {};

TEST_F(RestLevelWindowTest, FirstRunShowsTheWindowAndStoresExactlyTheFirstRunValues) {
    ASSERT_TRUE(Start());
    EXPECT_TRUE(host.visible);
    EXPECT_EQ(pcMain.page, kPageBasic);
    EXPECT_EQ(ebRestLvl.text, "30.0");
    EXPECT_EQ(ebIdleTime.text, "10.0");
    EXPECT_EQ(form->Monitor.IdleLevel, 19660);
    EXPECT_EQ(form->Monitor.IdleThreshold, 600000u);
    EXPECT_EQ(form->Monitor.SavedLevel, 32767);
    EXPECT_FALSE(ckbRelative.checked);
    EXPECT_EQ(lbPrograms.Count(), 0);
    EXPECT_EQ(Stored("Configured"), 1u);
    EXPECT_EQ(Stored("RestLevel"), 19660u);
    EXPECT_EQ(Stored("IdleTime"), 100u);
    EXPECT_FALSE(registry.Get(kSettingsKey, "RelativeAdjustment"));
    EXPECT_FALSE(registry.Get(kSettingsKey, "Exceptions"));
    EXPECT_TRUE(ckbAutoExceptions.checked);
    EXPECT_FALSE(registry.Get(kSettingsKey, "AutoExceptions")) << "on by default, stored once changed";
    EXPECT_EQ(host.exStyle, kWsExToolWindow) << "no taskbar button";
    EXPECT_EQ(lbCopyright.caption, "Copyright (c) 2026 Halvane");
    EXPECT_EQ(tiMain.image, kImageWatching);
    EXPECT_FALSE(form->CloseAllowed);
    EXPECT_EQ(timer.interval, 100u);
    EXPECT_TRUE(timer.enabled);
    ASSERT_TRUE(timer.handler);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_TRUE(devices.state->sets.empty()) << "start-up leaves the volume alone";
}

TEST(RestLevelWindow, StoredSettingsAreReadThroughTheSlidersAndNormalised) {
    struct Case {
        const char* name;
        std::function<void(WindowHarness&)> store;
        int restSlider;
        int idleSlider;
        bool relative;
        bool shown;
        std::optional<std::uint32_t> restLevel, idleTime, relativeValue, configured;
    } cases[] = {
        {"rest level off the grid", [](auto& t) { t.Put("RestLevel", 20000); t.Put("Configured", 1); },
         305, 100, false, false, 19988u, 100u, std::nullopt, 1u},
        {"idle time beyond the slider", [](auto& t) { t.Put("IdleTime", 5000); t.Put("Configured", 1); },
         300, 1000, false, false, 19660u, 1000u, std::nullopt, 1u},
        {"rest level stored as a string",
         [](auto& t) { t.registry.Put(kSettingsKey, "RestLevel", kRegSz, Text("20000")); t.Put("Configured", 1); },
         300, 100, false, false, 19660u, 100u, std::nullopt, 1u},
        {"relative 2 counts as absolute and stays",
         [](auto& t) { t.Put("RelativeAdjustment", 2); t.Put("Configured", 1); },
         300, 100, false, false, 19660u, 100u, 2u, 1u},
        {"relative 1", [](auto& t) { t.Put("RelativeAdjustment", 1); t.Put("Configured", 1); },
         300, 100, true, false, 19660u, 100u, 1u, 1u},
        {"configured 0 shows the window", [](auto& t) { t.Put("Configured", 0); },
         300, 100, false, true, 19660u, 100u, std::nullopt, 1u},
        {"configured 7 starts in the tray", [](auto& t) { t.Put("Configured", 7); },
         300, 100, false, false, 19660u, 100u, std::nullopt, 7u},
        {"rest level 0 and idle time 0", [](auto& t) { t.Put("RestLevel", 0); t.Put("IdleTime", 0); t.Put("Configured", 1); },
         0, 0, false, false, 0u, 0u, std::nullopt, 1u},
        {"full scale", [](auto& t) { t.Put("RestLevel", 65535); t.Put("Configured", 1); },
         1000, 100, false, false, 65535u, 100u, std::nullopt, 1u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WindowHarness t;
        c.store(t);
        ASSERT_TRUE(t.Start());
        EXPECT_EQ(t.tbRestLevel.Position(), c.restSlider);
        EXPECT_EQ(t.tbIdleTime.Position(), c.idleSlider);
        EXPECT_EQ(t.ckbRelative.checked, c.relative);
        EXPECT_EQ(t.host.visible, c.shown);
        EXPECT_EQ(t.Stored("RestLevel"), c.restLevel);
        EXPECT_EQ(t.Stored("IdleTime"), c.idleTime);
        EXPECT_EQ(t.Stored("RelativeAdjustment"), c.relativeValue);
        EXPECT_EQ(t.Stored("Configured"), c.configured);
        EXPECT_EQ(t.form->Monitor.IdleLevel, static_cast<std::int32_t>(*c.restLevel));
        EXPECT_EQ(t.form->Monitor.IdleThreshold, *c.idleTime * 6000);
    }
}

TEST_F(RestLevelWindowTest, ExceptionsAreLoadedIntoTheList) {
    registry.Put(kSettingsKey, "Exceptions", kRegMultiSz, MultiString({"C:\\a.exe", "player.exe"}));
    ASSERT_TRUE(Start());
    EXPECT_THAT(lbPrograms.items, ElementsAre("C:\\a.exe", "player.exe"));
}

TEST(RestLevelWindow, StartFailuresShowTheirBoxAndEndWithExitCodeZero) {
    struct Case {
        const char* name;
        bool checkVersion;
        PlatformVersion version;
        bool deviceAvailable;
        bool readFails;
        const char* error;  // null: starts
    } cases[] = {
        {"no sound device", false, {2, 10, 0}, false, false, kNoSoundDeviceText},
        {"the level cannot be read", false, {2, 10, 0}, true, true, kNoSoundDeviceText},
        {"Windows XP", true, {2, 5, 1}, true, false, kOldSystemText},
        {"Windows 98", true, {1, 4, 10}, true, false, kOldSystemText},
        {"old system and no device: the version first", true, {2, 5, 1}, false, false, kOldSystemText},
        {"Vista", true, {2, 6, 0}, true, false, nullptr},
        {"no version check off Windows", false, {0, 0, 0}, true, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WindowHarness t;
        t.devices.available = c.deviceAvailable;
        t.devices.state->failGet = c.readFails;
        t.snapshots.version = c.version;
        const bool started = t.Start(c.checkVersion);
        EXPECT_EQ(started, c.error == nullptr);
        if (c.error != nullptr) {
            EXPECT_THAT(t.host.errors, ElementsAre(c.error));
            EXPECT_THAT(t.host.halts, ElementsAre(0));
            EXPECT_FALSE(t.host.visible);
        } else {
            EXPECT_TRUE(t.host.errors.empty());
            EXPECT_TRUE(t.host.halts.empty());
        }
    }
    EXPECT_EQ(std::string(kNoSoundDeviceText), "RestLevel could not connect to a sound device.  It will now exit.");
}

TEST_F(RestLevelWindowTest, MinutesBoxRules) {
    struct Case {
        const char* typed;
        char separator;
        std::uint32_t threshold;
        int slider;
        std::uint32_t stored;
        const char* boxAfter;
    } cases[] = {
        {"10.05", '.', 603000, 100, 100, "10.05"},  // finer than the grid: the threshold keeps it
        {"12.5", '.', 750000, 125, 125, "12.5"},
        {"12.57", '.', 750000, 125, 125, "12.5"},  // the slider moved: its value replaces the typed one
        {"100", '.', 6000000, 1000, 1000, "100.0"},
        {"0.05", '.', 0, 0, 0, "0.0"},  // accepted, then the slider's 0 replaces it
        {" 7.5 ", '.', 450000, 75, 75, "7.5"},
        {"10,5", ',', 630000, 105, 105, "10,5"},
        // Ignored: nothing changes and the box keeps the text.
        {"0", '.', 600000, 100, 100, "0"},
        {"-5", '.', 600000, 100, 100, "-5"},
        {"100.01", '.', 600000, 100, 100, "100.01"},
        {"ten", '.', 600000, 100, 100, "ten"},
        {"", '.', 600000, 100, 100, ""},
        {"10.5", ',', 600000, 100, 100, "10.5"},  // not this locale's separator
        {"1.2.3", '.', 600000, 100, 100, "1.2.3"},
    };
    ASSERT_TRUE(Start());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        host.separator = c.separator;
        tbIdleTime.UserScroll(100);
        ebIdleTime.UserEnter(c.typed);
        EXPECT_EQ(form->Monitor.IdleThreshold, c.threshold);
        EXPECT_EQ(tbIdleTime.Position(), c.slider);
        EXPECT_EQ(Stored("IdleTime"), c.stored);
        EXPECT_EQ(ebIdleTime.text, c.boxAfter);
    }
}

TEST_F(RestLevelWindowTest, PercentBoxRules) {
    ASSERT_TRUE(Start());
    struct Case {
        const char* typed;
        std::int32_t level;
        int slider;
        const char* boxAfter;
    } cases[] = {
        {"30.04", 19686, 300, "30.04"},  // the slider stays: the typed value is in force
        {"33.33", 21842, 333, "33.3"},   // the slider moved (21823 stored first), then the typed value
        {"0", 0, 0, "0.0"},              // silence is allowed
        {"100", 65535, 1000, "100.0"},
        // Ignored.
        {"100.04", 19660, 300, "100.04"},
        {"-0.1", 19660, 300, "-0.1"},
        {"loud", 19660, 300, "loud"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        tbRestLevel.UserScroll(300);
        ebRestLvl.UserEnter(c.typed);
        EXPECT_EQ(form->Monitor.IdleLevel, c.level);
        EXPECT_EQ(Stored("RestLevel"), static_cast<std::uint32_t>(c.level));
        EXPECT_EQ(tbRestLevel.Position(), c.slider);
        EXPECT_EQ(ebRestLvl.text, c.boxAfter);
    }
}

TEST_F(RestLevelWindowTest, SlidersShowTenthsAndStoreOnEveryUserScroll) {
    ASSERT_TRUE(Start());
    struct Case {
        int position;
        const char* text;
        std::int32_t level;
    } cases[] = {{0, "0.0", 0}, {5, "0.5", 327}, {333, "33.3", 21823}, {1000, "100.0", 65535}};
    host.separator = ',';
    for (const Case& c : cases) {
        tbRestLevel.UserScroll(c.position);
        EXPECT_EQ(ebRestLvl.text, std::string(c.text).replace(std::string(c.text).find('.'), 1, ","));
        EXPECT_EQ(form->Monitor.IdleLevel, c.level);
        tbIdleTime.UserScroll(c.position);
        EXPECT_EQ(form->Monitor.IdleThreshold, static_cast<std::uint32_t>(c.position) * 6000);
    }
    // The end of a drag where the position stayed still stores it.
    registry.Clear();
    tbIdleTime.UserScroll(tbIdleTime.Position());
    EXPECT_EQ(Stored("IdleTime"), 1000u);
}

TEST_F(RestLevelWindowTest, RelativeCheckBoxStoresOneOrZero) {
    registry.Put(kSettingsKey, "RelativeAdjustment", kRegDword, Dword(2));
    ASSERT_TRUE(Start());
    ckbRelative.UserClick();
    EXPECT_EQ(Stored("RelativeAdjustment"), 1u);
    ckbRelative.UserClick();
    EXPECT_EQ(Stored("RelativeAdjustment"), 0u);
}

TEST(RestLevelWindow, AutomaticExceptionsAreOnUnlessStoredAsZero) {
    struct Case {
        const char* name;
        std::function<void(WindowHarness&)> store;
        bool on;
    } cases[] = {
        {"missing", [](auto&) {}, true},
        {"1", [](auto& t) { t.Put("AutoExceptions", 1); }, true},
        {"0", [](auto& t) { t.Put("AutoExceptions", 0); }, false},
        {"another number", [](auto& t) { t.Put("AutoExceptions", 7); }, true},
        {"a string", [](auto& t) { t.registry.Put(kSettingsKey, "AutoExceptions", kRegSz, Text("0")); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WindowHarness t;
        c.store(t);
        ASSERT_TRUE(t.Start());
        EXPECT_EQ(t.ckbAutoExceptions.checked, c.on);

        // The monitor asks only while the box is checked.
        t.autoExceptions.reason = TAutoReason::FullScreen;
        t.form->Monitor.IdleThreshold = 60000;
        t.clock.step = 50;
        t.clock.tick = 1000000;
        t.clock.lastInput = t.clock.tick - 60000;
        t.timer.handler();
        EXPECT_EQ(t.autoExceptions.asked, c.on ? 1 : 0);
        EXPECT_EQ(t.tiMain.image, c.on ? kImageWatching : kImageResting);
        EXPECT_EQ(t.tiMain.hint, c.on ? "RestLevel \u2014 a full-screen program is open" : "RestLevel");
    }
}

TEST_F(RestLevelWindowTest, AutomaticExceptionsBoxStoresOneOrZeroAtOnce) {
    ASSERT_TRUE(Start());
    ckbAutoExceptions.UserClick();
    EXPECT_EQ(Stored("AutoExceptions"), 0u);
    ckbAutoExceptions.UserClick();
    EXPECT_EQ(Stored("AutoExceptions"), 1u);
}

TEST_F(RestLevelWindowTest, CloseHidesUnlessShiftOrExit) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(host.visible);
    host.Close();
    EXPECT_FALSE(host.visible);
    EXPECT_FALSE(host.ended) << "the close box only hides";

    OpenRestLevel1.UserClick();
    EXPECT_TRUE(host.visible) << "the same window comes back";
    pcMain.UserSelect(kPageExceptions);
    host.Close();
    tiMain.UserClick();
    EXPECT_TRUE(host.visible);
    EXPECT_EQ(pcMain.page, kPageExceptions) << "with the page that was active";

    text.shiftState = static_cast<std::int16_t>(0x8000);
    host.Close();
    EXPECT_TRUE(host.ended) << "Shift held: the program ends";
}

TEST_F(RestLevelWindowTest, ExitEndsAndTheSavedLevelIsWrittenBack) {
    Put("IdleTime", 1);  // 6 s
    Put("Configured", 1);
    ASSERT_TRUE(Start());
    EXPECT_FALSE(host.visible);
    clock.step = 50;
    clock.tick = 10000;
    clock.lastInput = 0;
    timer.handler();  // idle: the rest level comes into force
    ASSERT_EQ(tiMain.image, kImageResting);
    const float rest = devices.state->scalar;
    EXPECT_NEAR(rest, LevelToScalar(form->Monitor.FadeTarget(32767)), 1e-4);

    Exit1.UserClick();
    EXPECT_TRUE(form->CloseAllowed);
    ASSERT_TRUE(host.ended);
    form->FormDestroy();
    EXPECT_FLOAT_EQ(devices.state->scalar, LevelToScalar(32767)) << "the saved level, on the way out";
}

TEST_F(RestLevelWindowTest, DestroyUndoesAVolumeChangedByOtherMeans) {
    ASSERT_TRUE(Start());
    devices.state->scalar = 0.9f;  // the user turned it up elsewhere
    form->FormDestroy();
    EXPECT_FLOAT_EQ(devices.state->scalar, LevelToScalar(32767));
}

TEST_F(RestLevelWindowTest, FollowsTheDefaultDeviceUntilTheWayOut) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(devices.onDevicesChanged) << "not listening for another default device";
    const auto headset = devices.Add("headset", 0.8f);
    devices.SwitchDefault("headset");
    EXPECT_EQ(form->Volume.DeviceId(), "headset");

    const float own = LevelToScalar(ScalarToLevel(0.8f));
    form->FormDestroy();
    EXPECT_FALSE(devices.onDevicesChanged) << "still listening on the way out";
    EXPECT_EQ(headset->sets, std::vector<float>{own}) << "the new device gets its own level back";
    EXPECT_TRUE(devices.state->sets.empty()) << "the old device is left alone";
}

TEST_F(RestLevelWindowTest, DisablingWhileRestingKeepsTheVolume) {
    ASSERT_TRUE(Start());
    tiMain.image = kImageResting;
    const std::size_t sets = devices.state->sets.size();
    DisableRestLevel1.UserClick();
    EXPECT_TRUE(DisableRestLevel1.checked);
    EXPECT_EQ(tiMain.image, kImageDisabled);
    DisableRestLevel1.UserClick();
    EXPECT_FALSE(DisableRestLevel1.checked);
    EXPECT_EQ(tiMain.image, kImageWatching);
    EXPECT_EQ(devices.state->sets.size(), sets);
}

TEST_F(RestLevelWindowTest, SiteOpensTheAddressWithTheShell) {
    ASSERT_TRUE(Start());
    Label6.UserClick();
    ASSERT_EQ(host.opened.size(), 1u);
    EXPECT_EQ(host.opened[0].first, "open");
    EXPECT_EQ(host.opened[0].second, "https://halvane.example/restlevel/");
    EXPECT_THAT(host.openShows, ElementsAre(kSwShow));
}

// Exception page -------------------------------------------------------------

class ExceptionPageTest : public RestLevelWindowTest {
protected:
    void Describe(const std::string& path, const std::string& description) {
        files.versions[path] = {{"\\VarFileInfo\\Translation", {0x09, 0x04, 0xB0, 0x04}},
                                {"\\StringFileInfo\\040904B0\\FileDescription", Text(description)}};
    }
    std::vector<std::string> Offered() const {
        std::vector<std::string> texts;
        for (const auto& e : cbPrograms.entries) texts.push_back(e.text);
        return texts;
    }
};

TEST_F(ExceptionPageTest, OfferedProgramsAreDistinctAndSorted) {
    snapshots.AddProcess(10, "C:\\Media\\player.exe");
    snapshots.AddProcess(11, "C:\\Media\\player.exe");   // a second instance
    snapshots.AddProcess(12, "D:\\Copy\\PLAYER.EXE");    // another copy, same text in other case
    snapshots.AddProcess(13, "C:\\Tools\\tool.exe");     // no description
    snapshots.AddProcess(14, "");                          // path unreadable
    snapshots.AddProcess(15, "C:\\Apps\\editor.exe");
    Describe("C:\\Media\\player.exe", "Media Player");
    Describe("D:\\Copy\\PLAYER.EXE", "Media Player");
    Describe("C:\\Apps\\editor.exe", "Editor");
    ASSERT_TRUE(Start());
    pcMain.UserSelect(kPageExceptions);
    EXPECT_THAT(Offered(), ElementsAre("Editor (editor.exe)", "Media Player (player.exe)", "tool.exe"));
    EXPECT_EQ(cbPrograms.entries[1].data, "C:\\Media\\player.exe") << "the first in snapshot order wins";
    EXPECT_EQ(cbPrograms.index, -1);
    EXPECT_EQ(cbPrograms.updateDepth, 0);

    cbPrograms.UserSelect(1);
    EXPECT_TRUE(btnAdd.enabled);
    pcMain.UserSelect(kPageBasic);
    pcMain.UserSelect(kPageExceptions);
    EXPECT_EQ(cbPrograms.index, -1) << "a rebuild loses the selection";
    EXPECT_EQ(cbPrograms.Count(), 3);
    EXPECT_THAT(std::vector<int>(cbPrograms.deletedIndices.begin(), cbPrograms.deletedIndices.end()),
                ElementsAre(2, 1, 0)) << "cleared last first";
}

TEST_F(ExceptionPageTest, AddingStoresTheWholeListOnlyForANewPath) {
    registry.Put(kSettingsKey, "Exceptions", kRegMultiSz, MultiString({"c:\\media\\PLAYER.exe"}));
    snapshots.AddProcess(10, "C:\\Media\\player.exe");
    snapshots.AddProcess(13, "C:\\Tools\\tool.exe");
    ASSERT_TRUE(Start());
    pcMain.UserSelect(kPageExceptions);
    registry.Clear();

    cbPrograms.UserSelect(0);  // player.exe, already listed in other letter case
    btnAdd.UserClick();
    EXPECT_THAT(lbPrograms.items, ElementsAre("c:\\media\\PLAYER.exe"));
    EXPECT_FALSE(registry.Get(kSettingsKey, "Exceptions")) << "nothing stored";

    cbPrograms.UserSelect(1);
    btnAdd.UserClick();
    EXPECT_THAT(lbPrograms.items, ElementsAre("c:\\media\\PLAYER.exe", "C:\\Tools\\tool.exe"));
    EXPECT_EQ(registry.Get(kSettingsKey, "Exceptions")->data,
              MultiString({"c:\\media\\PLAYER.exe", "C:\\Tools\\tool.exe"}));
    EXPECT_EQ(lbPrograms.index, 1) << "the new entry is selected";
    EXPECT_TRUE(btnRemove.enabled);

    cbPrograms.index = -1;  // a rebuild while the button was enabled
    btnAdd.enabled = true;
    btnAdd.UserClick();
    EXPECT_EQ(lbPrograms.Count(), 2);
    EXPECT_FALSE(btnAdd.enabled);
}

TEST_F(ExceptionPageTest, RemovingSelectsTheEntryThatTookItsPlace) {
    registry.Put(kSettingsKey, "Exceptions", kRegMultiSz, MultiString({"C:\\a.exe", "C:\\b.exe", "C:\\c.exe"}));
    ASSERT_TRUE(Start());
    lbPrograms.UserSelect(2);
    EXPECT_TRUE(btnRemove.enabled);
    btnRemove.UserClick();
    EXPECT_THAT(lbPrograms.items, ElementsAre("C:\\a.exe", "C:\\b.exe"));
    EXPECT_EQ(lbPrograms.index, 1) << "the new last entry";
    EXPECT_EQ(registry.Get(kSettingsKey, "Exceptions")->data, MultiString({"C:\\a.exe", "C:\\b.exe"}));

    lbPrograms.UserSelect(0);
    btnRemove.UserClick();
    EXPECT_EQ(lbPrograms.index, 0) << "the next entry moved up";
    btnRemove.UserClick();
    EXPECT_TRUE(lbPrograms.items.empty());
    EXPECT_EQ(lbPrograms.index, -1);
    EXPECT_FALSE(btnRemove.enabled);
    EXPECT_EQ(registry.Get(kSettingsKey, "Exceptions")->data, MultiString({}));
}

TEST_F(ExceptionPageTest, ShowingTheWindowOnTheExceptionPageRebuildsTheList) {
    Put("Configured", 7);  // starts in the tray; showing stores 1
    ASSERT_TRUE(Start());
    EXPECT_EQ(cbPrograms.Count(), 0);
    pcMain.page = kPageExceptions;
    snapshots.AddProcess(10, "C:\\Media\\player.exe");
    tiMain.UserClick();
    EXPECT_EQ(cbPrograms.Count(), 1);
    EXPECT_EQ(Stored("Configured"), 1u);
}

// Small helpers ------------------------------------------------------------------

TEST(RestLevelHelpers, SelectListItemScrollsTheEntryToTheBottom) {
    struct Case {
        int count, index, itemHeight, clientHeight;
        bool select;
        int top, selected;
    } cases[] = {
        {20, 10, 13, 91, true, 4, 10},   // seven rows: entries 4..10
        {20, 3, 13, 91, true, 0, 3},     // near the top: no scrolling back past 0
        {20, 19, 13, 93, false, 13, -1},  // a partial row does not count
        {20, 19, 13, 5, true, 19, 19},   // not even one row fits
        {3, 5, 13, 91, true, 0, -1},     // no such entry: nothing
        {3, -1, 13, 91, true, 0, -1},    // -1 clears the selection
    };
    for (const Case& c : cases) {
        fake::ListBox list;
        for (int i = 0; i < c.count; ++i) list.AddItem(std::to_string(i));
        list.itemHeight = c.itemHeight;
        list.clientHeight = c.clientHeight;
        list.index = c.index == -1 ? 1 : -1;
        SelectListItem(list, c.index, c.select);
        EXPECT_EQ(list.top, c.top) << c.index;
        EXPECT_EQ(list.index, c.selected) << c.index;
    }
}

TEST(RestLevelHelpers, TypedNumbersAreReadExactly) {
    struct Case {
        const char* text;
        char separator;
        bool valid;
        std::int64_t tenths;     // × 10
        std::int64_t level;      // × 65535 ÷ 100
        std::int64_t threshold;  // × 60000
    } cases[] = {
        {"4.1", '.', true, 41, 2686, 246000},
        {"0.7", '.', true, 7, 458, 42000},
        {"30.04", '.', true, 300, 19686, 1802400},
        {"33,33", ',', true, 333, 21842, 1999800},
        {"+12", '.', true, 120, 7864, 720000},
        {".5", '.', true, 5, 327, 30000},
        {"5.", '.', true, 50, 3276, 300000},
        {"99.9999999999999999", '.', true, 999, 65534, 5999999},
        {"-2.5", '.', true, -25, -1638, -150000},
        {"", '.', false, 0, 0, 0},
        {"-", '.', false, 0, 0, 0},
        {".", '.', false, 0, 0, 0},
        {"1e2", '.', false, 0, 0, 0},
        {"1 2", '.', false, 0, 0, 0},
        {"0x10", '.', false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<TypedNumber> n = ParseTypedNumber(c.text, c.separator);
        ASSERT_EQ(n.has_value(), c.valid);
        if (!n) continue;
        EXPECT_EQ(n->Times(10), c.tenths);
        EXPECT_EQ(n->Times(65535, 100), c.level);
        EXPECT_EQ(n->Times(60000), c.threshold);
    }
    EXPECT_EQ(ParseTypedNumber("100", '.')->Compare(100), 0);
    EXPECT_EQ(ParseTypedNumber("100.0001", '.')->Compare(100), 1);
    EXPECT_EQ(ParseTypedNumber("-0", '.')->Compare(0), 0);
    EXPECT_EQ(FormatTenths(5, '.'), "0.5");
    EXPECT_EQ(FormatTenths(1000, ','), "100,0");
    EXPECT_EQ(FormatTenths(0, '.'), "0.0");
}

TEST(RestLevelHelpers, TaskbarButtonStylesOnlyAddBits) {
    fake::FormHost host;
    host.exStyle = 0x100;
    SetTaskbarButton(host, false);
    EXPECT_EQ(host.exStyle, 0x100u | kWsExToolWindow);
    SetTaskbarButton(host, true);
    EXPECT_EQ(host.exStyle, 0x100u | kWsExToolWindow | kWsExAppWindow) << "neither call clears the other bit";
}

}  // namespace
}  // namespace rl
