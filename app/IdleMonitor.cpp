#include "app/IdleMonitor.h"

#include <cctype>

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

TIdleMonitor::TIdleMonitor(IClockInput& clock, TMasterVolume& volume, TIdleControls controls)
    : clock_(clock), volume_(volume), c_(controls) {}

std::int32_t TIdleMonitor::FadeTarget(std::int32_t savedLevel) const {
    if (!c_.ckbRelative.Checked()) return IdleLevel;
    const std::int64_t product = static_cast<std::int64_t>(IdleLevel) * savedLevel;
    return static_cast<std::int32_t>(product / kMaxLevel);
}

bool TIdleMonitor::ExceptedProgramInFront() {
    const WindowHandle foreground = clock_.GetForegroundWindow();
    TProcessList processes;
    TWindowList windows;
    GetProcessList(false, true, processes);
    bool inFront = false;
    const int count = c_.lbPrograms.Count();
    for (const TProcessInfo* p : processes) {
        bool listed = false;
        for (int i = 0; i < count && !listed; ++i) listed = SameTextNoCase(p->FullPath, c_.lbPrograms.Item(i));
        if (!listed) continue;
        GetWindowList(p->ProcessID, 0, false, windows);
        for (const TWindowInfo* w : windows) {
            if (w->Handle == foreground) inFront = true;
        }
    }
    FreeWindowList(windows);
    FreeProcessList(processes);
    return inFront;
}

void TIdleMonitor::tmrCheckTimer() {
    if (c_.DisableRestLevel1.Checked()) return;

    const std::uint32_t now = clock_.GetTickCount();
    const std::uint32_t idle = now - clock_.GetLastInputTick();

    if (idle >= IdleThreshold && PrevIdleTime < IdleThreshold) {
        const bool gateOpen = c_.lbPrograms.Count() == 0 || !ExceptedProgramInFront();
        if (gateOpen) {
            SavedLevel = volume_.GetVolumeLevel();
            c_.tiMain.SetImageIndex(kImageResting);
            volume_.FadeVolume(FadeTarget(SavedLevel), kFadeDownMs);
        }
    } else if (PrevIdleTime > idle && PrevIdleTime >= IdleThreshold && c_.tiMain.ImageIndex() == kImageResting) {
        c_.tiMain.SetImageIndex(kImageWatching);
        volume_.FadeVolume(SavedLevel, kFadeUpMs);
    }

    PrevIdleTime = idle;
}

}  // namespace rl
