#include <gtest/gtest.h>

#include <limits>

#include "app/IdleMonitor.h"
#include "procenum/KzEnumProcesses.h"
#include "tests/fakes/Fakes.h"

namespace rl {
namespace {

constexpr std::uint32_t kThreshold = 60000;  // "IdleTime" 10 = 1.0 minute

class IdleMonitorTest : public ::testing::Test {
protected:
    fake::AudioDevices devices;
    fake::Clock clock;
    fake::Timer timer;
    fake::Pump pump;
    fake::TrayImage tiMain;
    fake::CheckMark disable;
    fake::CheckMark relative;
    fake::ItemList programs;
    fake::Snapshots snapshots;
    fake::CheckMark automaticOn;
    fake::AutoExceptions automatic;
    TMasterVolume volume{devices, clock, timer, pump};
    TIdleMonitor monitor{clock, volume, {tiMain, disable, relative, programs, &automaticOn}, &automatic};

    void SetUp() override {
        ASSERT_TRUE(volume.ConnectEndpoint());
        SetSnapshotPort(&snapshots);
        monitor.IdleThreshold = kThreshold;
        monitor.IdleLevel = 19660;
        SetLevel(50000);
        clock.step = 50;  // fades advance time as they read it
        automaticOn.checked = true;
    }
    void TearDown() override { SetSnapshotPort(nullptr); }

    void SetLevel(std::int32_t level) {
        devices.state->scalar = static_cast<float>((level + 0.5) / 65535.0);
        devices.state->sets.clear();
    }
    std::int32_t Level() const { return ScalarToLevel(devices.state->scalar); }
    bool Faded() const { return !devices.state->sets.empty(); }

    // One tick at the given tick count with the given idle time.
    void TickIdle(std::uint32_t now, std::uint32_t idle) {
        clock.tick = now;
        clock.lastInput = now - idle;
        monitor.tmrCheckTimer();
    }
};

TEST_F(IdleMonitorTest, FadesDownWhenTheThresholdIsCrossedAndBackOnInput) {
    TickIdle(100000, kThreshold - 100);
    EXPECT_FALSE(Faded());
    EXPECT_EQ(monitor.PrevIdleTime, kThreshold - 100);

    // The fade down takes its 2000 ms: the tick count moves on by that, and
    // by no more than a few reads more.
    TickIdle(100100, kThreshold);
    EXPECT_GE(clock.tick - 100100, 2000u);
    EXPECT_LE(clock.tick - 100100, 2000u + 4 * clock.step);
    EXPECT_EQ(tiMain.index, kImageResting);
    EXPECT_EQ(monitor.SavedLevel, 50000);
    EXPECT_EQ(devices.state->sets.back(), LevelToScalar(19660));
    EXPECT_EQ(monitor.PrevIdleTime, kThreshold);  // the reading before the fade

    // Still idle: nothing more happens.
    devices.state->sets.clear();
    TickIdle(200000, kThreshold + 98000);
    EXPECT_FALSE(Faded());

    // Input: the idle time drops, the saved level comes back over 333 ms.
    const std::uint32_t before = 300000;
    TickIdle(before, 40);
    EXPECT_EQ(tiMain.index, kImageWatching);
    EXPECT_EQ(devices.state->sets.back(), LevelToScalar(50000));
    EXPECT_GE(clock.tick - before, 333u);
    EXPECT_LE(clock.tick - before, 333u + 4 * clock.step);
    EXPECT_TRUE(timer.Enabled());
}

TEST_F(IdleMonitorTest, FadeTargets) {
    struct Case {
        bool relativeMode;
        std::int32_t idleLevel;
        std::int32_t saved;
        std::int32_t target;
    };
    const Case cases[] = {
        {true, 19660, 50000, 14999},
        {false, 19660, 50000, 19660},
        {true, 65535, 65535, 65535},
        {true, 0, 65535, 0},
        {false, 40000, 10000, 40000},  // absolute rest level above the current level
    };
    for (const Case& c : cases) {
        relative.checked = c.relativeMode;
        monitor.IdleLevel = c.idleLevel;
        EXPECT_EQ(monitor.FadeTarget(c.saved), c.target) << c.idleLevel << " of " << c.saved;
    }
}

TEST_F(IdleMonitorTest, RelativeFullLevelLeavesTheVolumeWhereItIs) {
    relative.checked = true;
    monitor.IdleLevel = 65535;
    SetLevel(65535);
    TickIdle(500000, kThreshold);
    EXPECT_EQ(tiMain.index, kImageResting);
    for (float s : devices.state->sets) EXPECT_EQ(ScalarToLevel(s), 65535);
}

TEST_F(IdleMonitorTest, AbsoluteRestLevelAboveTheCurrentLevelRaisesThenFallsBack) {
    monitor.IdleLevel = 40000;
    SetLevel(10000);
    TickIdle(500000, kThreshold);
    EXPECT_EQ(devices.state->sets.back(), LevelToScalar(40000));
    TickIdle(600000, 0);
    EXPECT_EQ(devices.state->sets.back(), LevelToScalar(10000));
}

TEST_F(IdleMonitorTest, FirstTickOnAnAlreadyIdleComputerAppliesTheRestLevel) {
    ASSERT_EQ(monitor.PrevIdleTime, 0u);
    TickIdle(10000000, 5 * kThreshold);
    EXPECT_EQ(tiMain.index, kImageResting);
    EXPECT_EQ(Level(), 19660);
}

TEST_F(IdleMonitorTest, IdleTimeZeroNeverChangesTheVolume) {
    monitor.IdleThreshold = 0;
    for (std::uint32_t idle : {0u, 1u, 100u, 0u, 10000000u, 5u}) TickIdle(20000000, idle);
    EXPECT_FALSE(Faded());
    EXPECT_EQ(tiMain.index, kImageWatching);
}

TEST_F(IdleMonitorTest, TickCounterWrapBetweenTwoTicksGivesTheTrueIdleTime) {
    const std::uint32_t lastInput = std::numeric_limits<std::uint32_t>::max() - 30000;
    clock.lastInput = lastInput;
    clock.tick = lastInput + 29900;  // before the wrap: idle 29900
    monitor.tmrCheckTimer();
    clock.tick = lastInput + 30100;  // after the wrap: idle 30100
    monitor.tmrCheckTimer();
    EXPECT_EQ(monitor.PrevIdleTime, 30100u);
    EXPECT_FALSE(Faded());
    clock.tick = lastInput + kThreshold;  // crosses the threshold past the wrap
    monitor.tmrCheckTimer();
    EXPECT_EQ(tiMain.index, kImageResting);
}

TEST_F(IdleMonitorTest, LastInputUnreadableMeansIdleSinceTheCounterStarted) {
    clock.lastInput = kNoInputTick;
    clock.tick = kThreshold - 2;  // idle = tick + 1
    monitor.tmrCheckTimer();
    EXPECT_EQ(monitor.PrevIdleTime, kThreshold - 1);
    EXPECT_FALSE(Faded());
    clock.tick = kThreshold - 1;
    monitor.tmrCheckTimer();
    EXPECT_EQ(tiMain.index, kImageResting);
}

TEST_F(IdleMonitorTest, InputDuringTheDownFadeIsAnsweredByTheNextTick) {
    pump.onPump = [&] { clock.lastInput = clock.tick; };  // the user touches the mouse
    TickIdle(1000000, kThreshold);
    pump.onPump = nullptr;
    EXPECT_EQ(devices.state->sets.back(), LevelToScalar(19660));  // the down fade completed
    EXPECT_EQ(tiMain.index, kImageResting);

    devices.state->sets.clear();
    clock.tick += 100;
    monitor.tmrCheckTimer();  // idle is now small, below the reading before the fade
    EXPECT_EQ(tiMain.index, kImageWatching);
    EXPECT_EQ(devices.state->sets.back(), LevelToScalar(50000));
}

TEST_F(IdleMonitorTest, DisablingWhileRestingKeepsTheRestLevel) {
    TickIdle(1000000, kThreshold);
    ASSERT_EQ(Level(), 19660);

    disable.checked = true;
    tiMain.index = kImageDisabled;  // what the tray menu does
    devices.state->sets.clear();
    TickIdle(2000000, 10);  // input while disabled: nothing, not even PrevIdleTime
    EXPECT_FALSE(Faded());
    EXPECT_EQ(monitor.PrevIdleTime, kThreshold);

    disable.checked = false;
    tiMain.index = kImageWatching;
    TickIdle(2000100, 20);
    EXPECT_FALSE(Faded());  // the image is 0: no restoring fade
    EXPECT_EQ(Level(), 19660);
    EXPECT_EQ(monitor.SavedLevel, 50000);
}

TEST_F(IdleMonitorTest, EmptyExceptionListTakesNoSnapshot) {
    TickIdle(1000000, kThreshold);
    EXPECT_TRUE(snapshots.snapshotsTaken.empty());
    EXPECT_EQ(clock.foregroundReads, 0);
    EXPECT_EQ(tiMain.index, kImageResting);
}

class ExceptionGateTest : public IdleMonitorTest {
protected:
    static constexpr WindowHandle kEditorWindow = 0x1001;
    static constexpr WindowHandle kEditorToolbox = 0x1002;
    static constexpr WindowHandle kPlayerWindow = 0x2001;

    void SetUp() override {
        IdleMonitorTest::SetUp();
        snapshots.AddProcess(0, "");
        snapshots.AddProcess(40, "C:\\Program Files\\Editor\\editor.exe");
        snapshots.AddProcess(41, "C:\\Program Files\\Editor\\editor.exe");
        snapshots.AddProcess(50, "C:\\Media\\player.exe");
        snapshots.windows = {
            {.handle = kEditorWindow, .processId = 41, .threadId = 411},
            {.handle = kEditorToolbox, .processId = 41, .threadId = 411, .visible = false},
            {.handle = kPlayerWindow, .processId = 50, .threadId = 501},
        };
    }
};

TEST_F(ExceptionGateTest, Cases) {
    struct Case {
        const char* name;
        std::vector<std::string> exceptions;
        WindowHandle foreground;
        bool applied;
        int windowEnumerations;
    };
    const Case cases[] = {
        {"excepted program in front", {"C:\\Program Files\\Editor\\editor.exe"}, kEditorWindow, false, 2},
        {"in front through a hidden window", {"C:\\Program Files\\Editor\\editor.exe"}, kEditorToolbox, false, 2},
        {"other letter case", {"c:\\program files\\EDITOR\\Editor.EXE"}, kEditorWindow, false, 2},
        {"running but not in front", {"C:\\Program Files\\Editor\\editor.exe"}, kPlayerWindow, true, 2},
        {"not running", {"C:\\Games\\game.exe"}, kPlayerWindow, true, 0},
        {"file name alone does not match", {"player.exe"}, kPlayerWindow, true, 0},
        {"part of a path does not match", {"C:\\Media\\player"}, kPlayerWindow, true, 0},
        {"second entry in front", {"C:\\Games\\game.exe", "C:\\Media\\player.exe"}, kPlayerWindow, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        programs.items = c.exceptions;
        clock.foreground = c.foreground;
        tiMain.index = kImageWatching;
        monitor.PrevIdleTime = 0;
        snapshots.windowEnumerations = 0;
        snapshots.snapshotsTaken.clear();
        SetLevel(50000);

        TickIdle(1000000, kThreshold);
        EXPECT_EQ(tiMain.index, c.applied ? kImageResting : kImageWatching);
        EXPECT_EQ(Faded(), c.applied);
        EXPECT_EQ(snapshots.windowEnumerations, c.windowEnumerations);
        EXPECT_EQ(snapshots.snapshotsTaken.front(), kSnapProcess);
        EXPECT_EQ(snapshots.openSnapshots, 0);
    }
}

// A Wayland session names the program in front by its process, by an app id,
// or not at all; each is matched against the list in its own terms.
TEST_F(ExceptionGateTest, EachKindOfProgramInFront) {
    using TKind = TForeground::TKind;
    struct Case {
        const char* name;
        std::vector<std::string> exceptions;
        TForeground front;
        bool applied;
    };
    const std::string editor = "C:\\Program Files\\Editor\\editor.exe";
    const std::string linuxEditor = "/usr/lib/editor/Editor";
    const Case cases[] = {
        {"window of a listed program", {editor}, {TKind::Window, kEditorWindow, 0, ""}, false},
        {"window of another program", {editor}, {TKind::Window, kPlayerWindow, 0, ""}, true},
        {"process of a listed program", {editor}, {TKind::ProcessId, 0, 41, ""}, false},
        {"another process of the same file, without a window", {editor}, {TKind::ProcessId, 0, 40, ""}, false},
        {"process of another program", {editor}, {TKind::ProcessId, 0, 50, ""}, true},
        {"process that is not running", {editor}, {TKind::ProcessId, 0, 99, ""}, true},
        {"no active process", {editor}, {TKind::ProcessId, kEditorWindow, 0, ""}, true},
        {"app id of a listed file name", {linuxEditor}, {TKind::AppId, 0, 0, "org.example.editor"}, false},
        {"app id, second entry", {editor, linuxEditor}, {TKind::AppId, 0, 0, "editor"}, false},
        {"app id of another program", {linuxEditor}, {TKind::AppId, 0, 0, "player"}, true},
        {"app id against a Windows file name", {editor}, {TKind::AppId, 0, 0, "editor"}, true},
        {"no app id", {linuxEditor}, {TKind::AppId, 0, 0, ""}, true},
        {"nothing told, a listed window would be in front", {editor}, {TKind::Unknown, kEditorWindow, 41, "editor"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        programs.items = c.exceptions;
        clock.front = c.front;
        automaticOn.checked = false;
        tiMain.index = kImageWatching;
        monitor.PrevIdleTime = 0;
        SetLevel(50000);

        TickIdle(1000000, kThreshold);
        EXPECT_EQ(tiMain.index, c.applied ? kImageResting : kImageWatching);
        EXPECT_EQ(Faded(), c.applied);
        EXPECT_EQ(tiMain.hint, c.applied ? "RestLevel" : "RestLevel \u2014 a program of the exception list is in front");
        EXPECT_EQ(snapshots.openSnapshots, 0);
    }
}

TEST_F(ExceptionGateTest, ClosedGateHoldsForTheWholeIdlePeriod) {
    programs.items = {"C:\\Program Files\\Editor\\editor.exe"};
    clock.foreground = kEditorWindow;
    TickIdle(1000000, kThreshold);
    EXPECT_EQ(tiMain.index, kImageWatching);

    // Another window comes to the front without any input: still nothing.
    clock.foreground = kPlayerWindow;
    TickIdle(1000100, kThreshold + 100);
    TickIdle(1060000, kThreshold + 60000);
    EXPECT_FALSE(Faded());
    EXPECT_EQ(snapshots.snapshotsTaken.size(), 4u);  // one process and three module snapshots, once

    // Input, then a new idle period: the gate is asked again and opens.
    TickIdle(1070000, 5);
    EXPECT_FALSE(Faded());  // the rest level was never applied, so nothing to restore
    TickIdle(1200000, kThreshold);
    EXPECT_EQ(tiMain.index, kImageResting);
    EXPECT_EQ(Level(), 19660);
}

TEST_F(ExceptionGateTest, SnapshotThatCannotBeTakenLeavesTheGateOpen) {
    programs.items = {"C:\\Program Files\\Editor\\editor.exe"};
    clock.foreground = kEditorWindow;
    snapshots.toolhelp = false;
    TickIdle(1000000, kThreshold);
    EXPECT_EQ(tiMain.index, kImageResting);
}

// The automatic exceptions are asked where the exception list is: once, at
// the tick that starts the idle period, after the list, and only when on.
TEST_F(ExceptionGateTest, AutomaticExceptions) {
    struct Case {
        const char* name;
        TAutoReason reason;
        bool on;
        std::vector<std::string> exceptions;
        bool applied;
        int asked;
        const char* hint;
    };
    const char* const editor = "C:\\Program Files\\Editor\\editor.exe";
    const Case cases[] = {
        {"no reason", TAutoReason::NoReason, true, {}, true, 1, "RestLevel"},
        {"full screen", TAutoReason::FullScreen, true, {}, false, 1,
         "RestLevel \u2014 a full-screen program is open"},
        {"display kept on", TAutoReason::DisplayKeptOn, true, {}, false, 1,
         "RestLevel \u2014 a program keeps the screen on"},
        {"recording", TAutoReason::Recording, true, {}, false, 1, "RestLevel \u2014 sound is being recorded"},
        {"switched off", TAutoReason::Recording, false, {}, true, 0, "RestLevel"},
        {"the list holds first", TAutoReason::FullScreen, true, {editor}, false, 0,
         "RestLevel \u2014 a program of the exception list is in front"},
        {"listed program not in front, a reason holds", TAutoReason::FullScreen, true, {"C:\\Media\\player.exe"},
         false, 1, "RestLevel \u2014 a full-screen program is open"},
        {"the list holds, switched off", TAutoReason::NoReason, false, {editor}, false, 0,
         "RestLevel \u2014 a program of the exception list is in front"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        programs.items = c.exceptions;
        clock.foreground = kEditorWindow;
        automatic.reason = c.reason;
        automatic.asked = 0;
        automaticOn.checked = c.on;
        tiMain.index = kImageWatching;
        tiMain.hint = "stale";
        monitor.PrevIdleTime = 0;
        SetLevel(50000);

        TickIdle(1000000, kThreshold);
        // Still idle: nobody asks again.
        TickIdle(1000100, kThreshold + 100);
        TickIdle(1030000, kThreshold + 30000);
        EXPECT_EQ(tiMain.index, c.applied ? kImageResting : kImageWatching);
        EXPECT_EQ(Faded(), c.applied);
        EXPECT_EQ(automatic.asked, c.asked);
        EXPECT_EQ(tiMain.hint, c.hint);
    }
}

TEST_F(IdleMonitorTest, AReasonThatAppearsWhileRestingChangesNothing) {
    TickIdle(100000, kThreshold);
    ASSERT_EQ(tiMain.index, kImageResting);
    EXPECT_EQ(automatic.asked, 1);

    // A call starts while the user is away: the rest level stays, unasked.
    automatic.reason = TAutoReason::Recording;
    devices.state->sets.clear();
    TickIdle(200000, kThreshold + 98000);
    EXPECT_FALSE(Faded());
    EXPECT_EQ(automatic.asked, 1);
    EXPECT_EQ(tiMain.hint, "RestLevel");

    // Input brings the saved level back as always; the next idle period asks
    // again and is held, and says why until the one after.
    TickIdle(300000, 40);
    EXPECT_EQ(devices.state->sets.back(), LevelToScalar(50000));
    devices.state->sets.clear();
    TickIdle(400000, kThreshold);
    EXPECT_FALSE(Faded());
    EXPECT_EQ(automatic.asked, 2);
    EXPECT_EQ(tiMain.hint, "RestLevel \u2014 sound is being recorded");
    TickIdle(500000, 10);
    EXPECT_EQ(tiMain.hint, "RestLevel \u2014 sound is being recorded");
    automatic.reason = TAutoReason::NoReason;
    TickIdle(600000, kThreshold);
    EXPECT_EQ(tiMain.index, kImageResting);
    EXPECT_EQ(tiMain.hint, "RestLevel");
}

}  // namespace
}  // namespace rl
