#include "app/IdleMonitor.h"

#include <cctype>

#include "app/AppIdMatch.h"
#include "procenum/KzEnumProcesses.h"

namespace rl {

namespace {

bool SameTextNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

std::string TrayHint(THoldReason reason) {
    switch (reason) {
        case THoldReason::NoReason: break;
        case THoldReason::ListedProgram: return "RestLevel \u2014 a program of the exception list is in front";
        case THoldReason::FullScreen: return "RestLevel \u2014 a full-screen program is open";
        case THoldReason::DisplayKeptOn: return "RestLevel \u2014 a program keeps the screen on";
        case THoldReason::Recording: return "RestLevel \u2014 sound is being recorded";
    }
    return "RestLevel";
}

TIdleMonitor::TIdleMonitor(IClockInput& clock, TMasterVolume& volume, TIdleControls controls,
                           IAutoExceptions* autoExceptions)
    : clock_(clock), volume_(volume), c_(controls), autoExceptions_(autoExceptions) {}

std::int32_t TIdleMonitor::FadeTarget(std::int32_t savedLevel) const {
    if (!c_.ckbRelative.Checked()) return IdleLevel;
    const std::int64_t product = static_cast<std::int64_t>(IdleLevel) * savedLevel;
    return static_cast<std::int32_t>(product / kMaxLevel);
}

bool TIdleMonitor::ListedInFront(const TForeground& foreground) {
    const int count = c_.lbPrograms.Count();
    if (foreground.Kind == TForeground::TKind::AppId) {
        // Only a name: it stands for program files by their file names.
        for (int i = 0; i < count; ++i) {
            if (AppIdMatchesEntry(foreground.AppId, c_.lbPrograms.Item(i))) return true;
        }
        return false;
    }
    TProcessList processes;
    TWindowList windows;
    GetProcessList(false, true, processes);
    bool inFront = false;
    for (const TProcessInfo* p : processes) {
        bool listed = false;
        for (int i = 0; i < count && !listed; ++i) listed = SameTextNoCase(p->FullPath, c_.lbPrograms.Item(i));
        if (!listed) continue;
        if (foreground.Kind == TForeground::TKind::ProcessId) {
            if (p->ProcessID == foreground.ProcessId) inFront = true;
            continue;
        }
        GetWindowList(p->ProcessID, 0, false, windows);
        for (const TWindowInfo* w : windows) {
            if (w->Handle == foreground.Window) inFront = true;
        }
    }
    FreeWindowList(windows);
    FreeProcessList(processes);
    return inFront;
}

bool TIdleMonitor::ExceptedProgramInFront() {
    const TForeground foreground = clock_.GetForeground();
    switch (foreground.Kind) {
        case TForeground::TKind::Window: return ListedInFront(foreground);
        // 0: the compositor knows of no active window.
        case TForeground::TKind::ProcessId: return foreground.ProcessId != 0 && ListedInFront(foreground);
        case TForeground::TKind::AppId: return !foreground.AppId.empty() && ListedInFront(foreground);
        case TForeground::TKind::Unknown: break;
    }
    // Nothing tells which program is in front: none of the list is.
    return false;
}

THoldReason TIdleMonitor::HoldReason() {
    if (c_.lbPrograms.Count() > 0 && ExceptedProgramInFront()) return THoldReason::ListedProgram;
    if (autoExceptions_ == nullptr || c_.ckbAutoExceptions == nullptr || !c_.ckbAutoExceptions->Checked())
        return THoldReason::NoReason;
    switch (autoExceptions_->Present()) {
        case TAutoReason::NoReason: break;
        case TAutoReason::FullScreen: return THoldReason::FullScreen;
        case TAutoReason::DisplayKeptOn: return THoldReason::DisplayKeptOn;
        case TAutoReason::Recording: return THoldReason::Recording;
    }
    return THoldReason::NoReason;
}

void TIdleMonitor::tmrCheckTimer() {
    if (c_.DisableRestLevel1.Checked()) return;

    const std::uint32_t now = clock_.GetTickCount();
    const std::uint32_t idle = now - clock_.GetLastInputTick();

    if (idle >= IdleThreshold && PrevIdleTime < IdleThreshold) {
        // Without a device (it went and none has come) there is nothing to
        // fade, and nothing to ask.
        const THoldReason held = volume_.Connected() ? HoldReason() : THoldReason::NoReason;
        c_.tiMain.SetHint(TrayHint(held));
        if (volume_.Connected() && held == THoldReason::NoReason) {
            SavedLevel = volume_.GetVolumeLevel();
            c_.tiMain.SetImageIndex(kImageResting);
            Fade(FadeTarget(SavedLevel), kFadeDownMs);
        }
    } else if (PrevIdleTime > idle && PrevIdleTime >= IdleThreshold && c_.tiMain.ImageIndex() == kImageResting) {
        c_.tiMain.SetImageIndex(kImageWatching);
        Fade(SavedLevel, kFadeUpMs);
    }

    PrevIdleTime = idle;
}

void TIdleMonitor::Fade(std::int32_t target, std::uint32_t duration) {
    const std::string device = volume_.DeviceId();
    // Stopped by a change of device: the device it ran on is away from its
    // saved level whichever way it went.
    if (!volume_.FadeVolume(target, duration)) FinishDeviceChange(device, true);
}

void TIdleMonitor::DefaultDeviceChanged() {
    const std::string old = volume_.DeviceId();
    if (!volume_.FollowDefaultDevice()) {
        volume_.RetryRestores();  // a device that came back may be owed its level
        return;
    }
    // A fade must not go on with the new device; the tick that started it
    // finishes the change when it has stopped.
    if (volume_.Fading()) {
        volume_.StopFade();
        return;
    }
    // Disabled may mean disabled while resting: the rest level may be in force.
    FinishDeviceChange(old, c_.tiMain.ImageIndex() != kImageWatching);
}

void TIdleMonitor::FinishDeviceChange(const std::string& oldDevice, bool restoreOld) {
    if (restoreOld && !oldDevice.empty()) volume_.RestoreLevelOf(oldDevice, SavedLevel);
    else volume_.RetryRestores();
    if (c_.tiMain.ImageIndex() == kImageResting) c_.tiMain.SetImageIndex(kImageWatching);
    // The saved level is the new device's own from now on, so that the way
    // out never gives it the old one's.
    bool read = false;
    const std::int32_t level = volume_.GetVolumeLevel(&read);
    if (read) SavedLevel = level;
}

void TIdleMonitor::RestoreSavedLevel() {
    volume_.SetVolumeLevel(SavedLevel);
    volume_.RetryRestores();
}

}  // namespace rl
