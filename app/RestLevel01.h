// The main window TfrmRestLevel: start-up and the settings store, the
// settings page, the tray menu and the exception list. The handlers are
// written against small control interfaces; each toolkit adapter builds the
// real controls and forwards their events here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/IdleMonitor.h"
#include "app/MasterVolume.h"
#include "platform/AudioEndpoint.h"
#include "platform/ClockInput.h"
#include "platform/Timer.h"
#include "platform/Ui.h"
#include "support/Encrypt.h"
#include "update/KzAutoUpdate.h"

namespace rl {

// Pages of pcMain.
constexpr int kPageBasic = 0;
constexpr int kPageExceptions = 1;

// The settings values.
inline constexpr char kValueConfigured[] = "Configured";
inline constexpr char kValueRestLevel[] = "RestLevel";
inline constexpr char kValueIdleTime[] = "IdleTime";
inline constexpr char kValueRelative[] = "RelativeAdjustment";
inline constexpr char kValueExceptions[] = "Exceptions";
inline constexpr char kValueAutoExceptions[] = "AutoExceptions";
constexpr std::int32_t kDefaultRestLevel = 19660;
constexpr std::int32_t kDefaultIdleTime = 100;

inline constexpr char kTitle[] = "RestLevel";
inline constexpr char kOldSystemText[] = "This software requires Windows Vista or newer.";
inline constexpr char kNoSoundDeviceText[] = "RestLevel could not connect to a sound device.  It will now exit.";

// The window's controls, as the toolkit adapter made them.
struct TRestLevelControls {
    IPageControl& pcMain;
    ILabel& lbCopyright;
    ILabel& Label6;
    ITrackBar& tbIdleTime;
    IEditBox& ebIdleTime;
    ITrackBar& tbRestLevel;
    IEditBox& ebRestLvl;
    ICheckControl& ckbRelative;
    IComboBox& cbPrograms;
    IListBox& lbPrograms;
    IButton& btnAdd;
    IButton& btnRemove;
    ICheckControl& ckbAutoExceptions;
    ITrayIcon& tiMain;
    IMenuItem& OpenRestLevel1;
    IMenuItem& DisableRestLevel1;
    IMenuItem& Exit1;
};

// What the window reaches beyond its controls.
struct TRestLevelServices {
    IFormHost& host;
    IClockInput& clock;
    IAudioDevices& devices;
    ITimer& tmrCheck;
    IMessagePump& pump;
    // Windows only: refuse systems older than Vista.
    bool checkWindowsVersion = false;
    // The automatic exceptions; none: the box does nothing.
    IAutoExceptions* autoExceptions = nullptr;
};

// The running system, classified once per run.
struct TWindowsVersion {
    bool NtFamily = false;
    std::uint32_t Major = 0;
    std::uint32_t Minor = 0;
};
TWindowsVersion GetWindowsVersion();
void ResetWindowsVersion();  // tests switch systems

// Gives a window a taskbar button (app window) or none (tool window); the
// other bit is left as it is.
void SetTaskbarButton(IFormHost& window, bool show);

// Scrolls the entry into view as low as it fits and, when select is set,
// selects it; index -1 with select clears the selection.
void SelectListItem(IListBox& list, int index, bool select);

// Tenths as "#0.0" with the given decimal separator (5 → "0.5").
std::string FormatTenths(int tenths, char separator);

// A decimal number as typed: sign, digits, at most one separator and more
// digits, blanks around it allowed. Kept exact so that truncations match
// what the user typed.
struct TypedNumber {
    bool Negative = false;
    std::uint64_t Digits = 0;  // the number without its separator
    int Scale = 0;             // digits after the separator
    // The number times factor ÷ divisor, truncated toward zero (for numbers
    // up to a few thousand; the window checks its ranges first).
    std::int64_t Times(std::int64_t factor, std::int64_t divisor = 1) const;
    // -1, 0 or 1 as the number compares with a whole number.
    int Compare(std::int64_t whole) const;
};
std::optional<TypedNumber> ParseTypedNumber(const std::string& text, char separator);

class TfrmRestLevel {
public:
    TfrmRestLevel(TRestLevelControls controls, TRestLevelServices services);
    ~TfrmRestLevel();
    TfrmRestLevel(const TfrmRestLevel&) = delete;
    TfrmRestLevel& operator=(const TfrmRestLevel&) = delete;

    // Window life. FormCreate gives false when the program must end (the
    // host has been told to halt); FormClose gives true when the close goes
    // ahead, which ends the program.
    bool FormCreate();
    void FormShow();
    bool FormClose();
    void FormDestroy();

    // Settings page and tray.
    void pcMainChange();
    void tbIdleTimeChange();
    void ebIdleTimeChange();
    void tbRestLevelChange();
    void ebRestLvlChange();
    void ckbRelativeClick();
    void tiMainClick();
    void DisableRestLevel1Click();
    void Exit1Click();
    void Label6Click();

    // Exception page.
    void BuildProgramList();
    void ClearProgramList();
    void btnAddClick();
    void btnRemoveClick();
    void cbProgramsClick();
    void lbProgramsClick();
    void UpdateButtons();
    void ckbAutoExceptionsClick();

    // The update component's start-up check runs here, as the last step of
    // window creation, when one is installed.
    std::function<void()> StartupUpdateCheck;

    bool CloseAllowed = false;
    TMasterVolume Volume;
    TIdleMonitor Monitor;
    TKzEncryptString KzEncryptString1;
    // Set up by the program (its update server); used by StartupUpdateCheck.
    TKzAutoUpdate KzAutoUpdate1;

    // The texts behind the notice line and "Site", unscrambled.
    std::string NoticeText();
    std::string SiteAddress();

private:
    TRestLevelControls c_;
    TRestLevelServices s_;
};

// Program start after the framework is up: reads "Configured", creates the
// window, and shows it on a first run. False when the program must end.
bool StartRestLevel(TfrmRestLevel& form);

}  // namespace rl
