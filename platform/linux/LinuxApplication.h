// The application port on Linux: the running executable, the arguments the
// program was started with, the kernel's thread and process ids, Qt message
// boxes (standard error without a display), and _exit.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Ui.h"
#include "support/Application.h"

class QApplication;

namespace rl::linuxapp {

class Application : public IApplication {
public:
    // argv as main() received it, before Qt takes its own options out.
    Application(int argc, char** argv);
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The main window, once its creation is complete; null before and after.
    void SetMainForm(IFormHost* form) { mainForm_ = form; }

    std::string ExeName() override;
    std::vector<std::string> Arguments() override { return arguments_; }
    // The thread id as the kernel counts it (gettid): what the files
    // adapter's OpenThread and PostQuitToThread take.
    std::uint32_t CurrentThreadId() override;
    std::uint32_t CurrentProcessId() override;
    bool HasMainForm() override { return mainForm_ != nullptr; }
    void CloseMainForm() override;
    // The installer runs before the program makes its QApplication: its
    // first box makes one when the display can be opened, kept until the
    // process ends. Without a display, or beside a plain QCoreApplication,
    // the text goes to standard error.
    void MessageBox(const std::string& text, std::uint32_t flags) override;
    void ProcessMessages() override;
    [[noreturn]] void Terminate(int exitCode) override;
    // A lock file named after the title in the user's private temporary
    // folder (the one the staging uses): the installer holds a shared flock
    // on it; a look that cannot take it exclusively finds an installer. The
    // file is never removed, so every process locks the same one.
    bool HoldInstallerLock() override;
    void ReleaseInstallerLock() override;
    bool InstallerRunning() override;
    // flock has no event to wait for: a short poll, bounded.
    bool WaitForInstaller(std::uint32_t timeoutMs) override;

private:
    bool EnsureWidgets();

    int argc_;
    char** argv_;
    std::vector<std::string> arguments_;
    IFormHost* mainForm_ = nullptr;
    std::unique_ptr<QApplication> ownApplication_;
    int installerLock_ = -1;
};

}  // namespace rl::linuxapp
