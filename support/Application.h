// The application as the update component sees it: its title, the running
// program's file and command line, its ids, its main window, message boxes
// and the end of the process. The program installs its adapter at start;
// tests install a fake.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rl {

// Message box kinds and buttons, with the system's values.
constexpr std::uint32_t kMbOk = 0x0;
constexpr std::uint32_t kMbIconError = 0x10;
constexpr std::uint32_t kMbIconWarning = 0x30;
constexpr std::uint32_t kMbIconInformation = 0x40;
// A box with a single "Cancel" button.
constexpr std::uint32_t kMbCancelOnly = 0x1000000u;

class IApplication {
public:
    virtual ~IApplication() = default;
    // The full path of the running program's file (argument 0).
    virtual std::string ExeName() = 0;
    // The arguments the program received, without the program itself and
    // without quotes.
    virtual std::vector<std::string> Arguments() = 0;
    virtual std::uint32_t CurrentThreadId() = 0;
    virtual std::uint32_t CurrentProcessId() = 0;
    // Whether the main window exists yet (it does not while it is still
    // being created), and a request that it close.
    virtual bool HasMainForm() = 0;
    virtual void CloseMainForm() = 0;
    // A message box with the application's title as its caption; kind and
    // buttons are the kMb values above. Blocks until it is answered.
    virtual void MessageBox(const std::string& text, std::uint32_t flags) = 0;
    // Lets pending window messages be processed.
    virtual void ProcessMessages() = 0;
    // Ends the process at once.
    [[noreturn]] virtual void Terminate(int exitCode) = 0;

    // The installer lock, one per user and application title: the installer
    // holds it from its start until it starts the new version, so that a
    // normal start meanwhile leaves the staging alone. The process's end
    // releases it too. A host without one (a test, a benchmark) takes
    // nothing and sees no installer.
    // Takes the lock; false when it could not be made.
    virtual bool HoldInstallerLock() { return false; }
    virtual void ReleaseInstallerLock() {}
    // Whether a process holds the lock now.
    virtual bool InstallerRunning() { return false; }
    // Waits until a process holds the lock, at most that long; whether one
    // does.
    virtual bool WaitForInstaller(std::uint32_t timeoutMs) {
        (void)timeoutMs;
        return false;
    }
};

void SetApplicationPort(IApplication* port);
// Null until a program or a test installs one.
IApplication* ApplicationPort();

// The application's title: "RestLevel" unless the installer was given another.
const std::string& ApplicationTitle();
void SetApplicationTitle(const std::string& title);

}  // namespace rl
