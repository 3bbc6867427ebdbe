// The idle monitor: one tick every 100 ms decides whether to fade down to the
// rest level (idle threshold crossed, no excepted program in front) or back
// up to the saved level (input resumed). The main window owns it and its
// controls; the monitor reads and writes them through small interfaces.
#pragma once

#include <cstdint>
#include <string>

#include "app/MasterVolume.h"
#include "platform/AutoExceptions.h"
#include "platform/ClockInput.h"
#include "platform/Controls.h"

namespace rl {

// Tray image indices; the index is also the monitor's state.
constexpr int kImageWatching = 0;
constexpr int kImageResting = 1;
constexpr int kImageDisabled = 2;

constexpr std::uint32_t kFadeDownMs = 2000;
constexpr std::uint32_t kFadeUpMs = 333;

struct TIdleControls {
    ITrayState& tiMain;
    ICheckMark& DisableRestLevel1;
    ICheckMark& ckbRelative;
    IItemList& lbPrograms;
    // Whether the automatic exceptions are asked; none: never.
    ICheckMark* ckbAutoExceptions = nullptr;
};

// Why the volume was left alone when the idle period started; the tray's
// tooltip says it until the next idle period starts.
enum class THoldReason { NoReason, ListedProgram, FullScreen, DisplayKeptOn, Recording };
std::string TrayHint(THoldReason reason);

class TIdleMonitor {
public:
    TIdleMonitor(IClockInput& clock, TMasterVolume& volume, TIdleControls controls,
                 IAutoExceptions* autoExceptions = nullptr);

    void tmrCheckTimer();

    // The default playback device may have changed: from then on the new
    // one is used. A device left while the rest level may be in force on it
    // gets the saved level back (now, or when it can be reached again).
    void DefaultDeviceChanged();
    // The way out: the saved level goes back to its device, and owed levels
    // to the devices that can be reached.
    void RestoreSavedLevel();

    // The target of the down fade for a given saved level.
    std::int32_t FadeTarget(std::int32_t savedLevel) const;

    std::uint32_t IdleThreshold = 0;
    std::uint32_t PrevIdleTime = 0;
    std::int32_t SavedLevel = 0;
    std::int32_t IdleLevel = 0;

private:
    // True when a program of the exception list owns the foreground window.
    bool ExceptedProgramInFront();
    // The list against a known program in front: its window, process or app id.
    bool ListedInFront(const TForeground& foreground);
    // The exception list first, then the automatic exceptions when they are on.
    THoldReason HoldReason();
    void Fade(std::int32_t target, std::uint32_t duration);
    void FinishDeviceChange(const std::string& oldDevice, bool restoreOld);

    IClockInput& clock_;
    TMasterVolume& volume_;
    TIdleControls c_;
    IAutoExceptions* autoExceptions_;
};

}  // namespace rl
