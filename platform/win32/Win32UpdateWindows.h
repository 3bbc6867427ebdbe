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

class Win32UpdateInfoWindow : public IUpdateInfoWindow {
public:
    // Creates the hidden window with its controls at their design state.
    explicit Win32UpdateInfoWindow(HINSTANCE instance);
    ~Win32UpdateInfoWindow() override;
    Win32UpdateInfoWindow(const Win32UpdateInfoWindow&) = delete;
    Win32UpdateInfoWindow& operator=(const Win32UpdateInfoWindow&) = delete;

    IRichEdit& reInfo() override;
    std::string Caption() const override;
    void SetCaption(const std::string& caption) override;
    // Disables the thread's other windows while it runs its own message
    // loop: Enter answers Yes (or the button with the focus), Escape No.
    int ShowModal() override;

    HWND Handle() const;
    HWND Item(int id) const;
    int Dpi() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

class Win32UpdateProgressWindow : public IUpdateProgressWindow {
public:
    explicit Win32UpdateProgressWindow(HINSTANCE instance);
    ~Win32UpdateProgressWindow() override;
    Win32UpdateProgressWindow(const Win32UpdateProgressWindow&) = delete;
    Win32UpdateProgressWindow& operator=(const Win32UpdateProgressWindow&) = delete;

    IUpdateLabel& lbProgress() override;
    IProgressBar& pbProgress() override;
    // Shows it without waiting for the message loop to paint it.
    void Show() override;

    HWND Handle() const;
    HWND Item(int id) const;
    int Dpi() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
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
