// The update component's two windows in the Windows build, over plain Win32:
// the release-notes window (a rich edit that reads the RTF itself, the
// question, Yes and No) and the download window (a label and a common
// controls progress bar). Both are laid out for the DPI like the settings
// window and centred on the screen.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/UpdateUi.h"

namespace rl::win32 {

inline constexpr char kUpdateInfoClass[] = "RestLevel.UpdateInfo";
inline constexpr char kUpdateProgressClass[] = "RestLevel.UpdateProgress";

// Control identifiers (GetDlgItem on the window). The buttons carry the
// answers they give.
enum UpdateControlId : int {
    kIdUpdateYes = IDYES,
    kIdUpdateNo = IDNO,
    kIdUpdateNotes = 200,
    kIdUpdatePrompt,
    kIdProgressText,
    kIdProgressBar,
};

// What both windows give besides their interface: the window, a control,
// the DPI they are laid out for.
class Win32UpdateWindow {
public:
    Win32UpdateWindow(const Win32UpdateWindow&) = delete;
    Win32UpdateWindow& operator=(const Win32UpdateWindow&) = delete;

    HWND Handle() const;
    HWND Item(int id) const;
    int Dpi() const;

    struct Impl;

protected:
    explicit Win32UpdateWindow(std::unique_ptr<Impl> impl);
    // Destroys the window while its object still answers its messages.
    ~Win32UpdateWindow();

    std::unique_ptr<Impl> impl_;
};

class Win32UpdateInfoWindow : public IUpdateInfoWindow, public Win32UpdateWindow {
public:
    // Creates the hidden window with its controls at their design state.
    explicit Win32UpdateInfoWindow(HINSTANCE instance);
    ~Win32UpdateInfoWindow() override;

    IRichEdit& reInfo() override;
    std::string Caption() const override;
    void SetCaption(const std::string& caption) override;
    // Disables the thread's other windows while it runs its own message
    // loop: Enter answers Yes (or the button with the focus), Escape No.
    int ShowModal() override;
};

class Win32UpdateProgressWindow : public IUpdateProgressWindow, public Win32UpdateWindow {
public:
    explicit Win32UpdateProgressWindow(HINSTANCE instance);
    ~Win32UpdateProgressWindow() override;

    IUpdateLabel& lbProgress() override;
    IProgressBar& pbProgress() override;
    // Shows it without waiting for the message loop to paint it.
    void Show() override;
};

class Win32UpdateWindowFactory : public IUpdateWindowFactory {
public:
    explicit Win32UpdateWindowFactory(HINSTANCE instance = GetModuleHandleA(nullptr)) : instance_(instance) {}
    std::unique_ptr<IUpdateInfoWindow> CreateUpdateInfoWindow() override;
    std::unique_ptr<IUpdateProgressWindow> CreateUpdateProgressWindow() override;

private:
    HINSTANCE instance_;
};

}  // namespace rl::win32
