// The settings window and the tray icon of the Windows build, over plain
// Win32 and the common controls. MainWindow builds every control of the
// window at its design state and hands them to the portable window logic
// through the interfaces of platform/Ui.h, keeping their event rules.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <memory>

#include "app/RestLevel01.h"
#include "platform/Controls.h"
#include "platform/Ui.h"

namespace rl::win32 {

// Another start finds the running program by its window class.
inline constexpr char kMainWindowClass[] = "RestLevel.MainWindow";
// Posted by another start: show the window and bring it to the front.
inline constexpr char kShowRequestMessage[] = "RestLevel.Show";

// Control identifiers (GetDlgItem on the window or on a page).
enum ControlId : int {
    kIdPageControl = 100,
    kIdPageBasic,
    kIdPageExceptions,
    kIdCopyright,
    kIdSite,
    kIdIdleTimeLabel,
    kIdIdleTimeBar,
    kIdIdleTimeEdit,
    kIdMinutesLabel,
    kIdRestLevelLabel,
    kIdRestLevelBar,
    kIdRestLevelEdit,
    kIdPercentLabel,
    kIdRelative,
    kIdAddLabel,
    kIdPrograms,
    kIdExceptions,
    kIdAdd,
    kIdRemove,
    kIdAutoExceptions,
};

// The shell reports mouse actions on the tray icon with this message; the
// mouse message is in lParam.
constexpr UINT kTrayMessage = WM_APP + 1;
constexpr UINT kTrayId = 1;

// Commands of the tray menu, sent to the window as WM_COMMAND.
enum MenuCommand : int {
    kCmdOpen = 1001,
    kCmdDisable = 1002,
    kCmdExit = 1003,
};

// What the window tells the form beyond its controls' events.
struct FormEvents {
    // The window is becoming visible (FormShow), once each time.
    std::function<void()> show;
    // The window is asked to close (FormClose); true ends the program: the
    // window hides and the message loop is told to end.
    std::function<bool()> close;
    // Another start of the program wants the window shown.
    std::function<void()> showRequest;
    // Windows ends the session; the program must be done when this returns.
    std::function<void()> endSession;
};

class MainWindow {
public:
    // Creates the hidden window with all its controls at their design state;
    // no tray icon yet.
    explicit MainWindow(HINSTANCE instance);
    // Removes the tray icon and destroys the window.
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    HWND Handle() const;
    // A control by its identifier, wherever it sits.
    HWND Item(int id) const;
    // The pixels per inch the window is laid out for.
    int Dpi() const;

    TRestLevelControls Controls();
    IFormHost& Host();
    void SetFormEvents(FormEvents events);
    // From now on no control event reaches the form (it is being destroyed).
    void DetachForm();

    // Adds the tray icon; false when the shell refused it (the program goes on
    // without one and tries again when the taskbar is created anew).
    bool AddTrayIcon();
    void RemoveTrayIcon();
    HMENU TrayMenu() const;
    // What the tray icon gives the shell: its picture, tooltip and message.
    NOTIFYICONDATAW TrayIconData() const;

    // Keyboard navigation between the controls; true when the message was
    // used and must not be dispatched.
    bool PreTranslateMessage(MSG& msg);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The screen cursor: the hourglass or the arrow.
class Win32ScreenCursor : public IScreenCursor {
public:
    void SetCursor(int cursor) override;
};

}  // namespace rl::win32
