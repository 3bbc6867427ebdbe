// The application port on Windows: the module's file, the arguments as the C
// runtime split the command line, the thread and process ids, message boxes
// with the application's title, and ExitProcess.
#pragma once

#include <string>
#include <vector>

// The port's method shares its name with this macro of the Windows headers,
// which would rename it where they come first; MessageBoxA is called by its
// full name.
#undef MessageBox

#include "platform/Ui.h"
#include "support/Application.h"

namespace rl::win32 {

class Application : public IApplication {
public:
    // The main window, once its creation is complete; null before and after.
    void SetMainForm(IFormHost* form) { mainForm_ = form; }

    std::string ExeName() override;
    std::vector<std::string> Arguments() override;
    std::uint32_t CurrentThreadId() override;
    std::uint32_t CurrentProcessId() override;
    bool HasMainForm() override { return mainForm_ != nullptr; }
    void CloseMainForm() override;
    void MessageBox(const std::string& text, std::uint32_t flags) override;
    void ProcessMessages() override;
    [[noreturn]] void Terminate(int exitCode) override;
    // A mutex in the session's Local namespace, named after the user and the
    // title: it exists while an installer holds a handle to it. A waiter
    // makes an event beside it, which the installer sets once it holds it.
    bool HoldInstallerLock() override;
    void ReleaseInstallerLock() override;
    bool InstallerRunning() override;
    bool WaitForInstaller(std::uint32_t timeoutMs) override;

    Application() = default;
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

private:
    IFormHost* mainForm_ = nullptr;
    void* installerLock_ = nullptr;
};

}  // namespace rl::win32
