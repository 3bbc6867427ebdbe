#include "tests/fakes/FakeApplication.h"

namespace rl::fake {

void Application::ProcessMessages() {
    ++processed;
    if (onProcessMessages) onProcessMessages();
}

bool Application::HoldInstallerLock() {
    Trace("HoldInstallerLock");
    lockHeld = true;
    lockTitle = ApplicationTitle();
    return true;
}

void Application::ReleaseInstallerLock() {
    Trace("ReleaseInstallerLock");
    lockHeld = false;
}

bool Application::WaitForInstaller(std::uint32_t timeoutMs) {
    Trace("WaitForInstaller " + std::to_string(timeoutMs));
    if (installerStarts) otherInstaller = true;
    return InstallerRunning();
}

}  // namespace rl::fake
