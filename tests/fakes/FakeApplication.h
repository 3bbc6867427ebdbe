// A fake of the application port: the program's file, arguments and ids are
// plain state; message boxes, closes and message processing are recorded;
// Terminate throws, so that a test sees where the process would have ended.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/Application.h"

namespace rl::fake {

// What Terminate throws instead of ending the test.
struct Terminated : std::runtime_error {
    explicit Terminated(int code) : std::runtime_error("terminated"), exitCode(code) {}
    int exitCode;
};

class Application : public IApplication {
public:
    std::string exeName = "C:\\Program Files\\RestLevel\\RestLevel.exe";
    std::vector<std::string> arguments;
    std::uint32_t threadId = 1234;
    std::uint32_t processId = 5678;
    bool hasMainForm = false;

    int closeRequests = 0;
    int processed = 0;
    std::function<void()> onProcessMessages;
    std::vector<std::pair<std::string, std::uint32_t>> messageBoxes;  // text, flags

    // The installer lock: this process's hold, and another process's.
    bool lockHeld = false;
    bool otherInstaller = false;
    // The application's title when the lock was taken (it names the lock).
    std::string lockTitle;
    // Whether the installer that WaitForInstaller waits for takes the lock.
    bool installerStarts = true;
    // Where the lock's calls are logged ("HoldInstallerLock",
    // "ReleaseInstallerLock", "WaitForInstaller <ms>"), when set: a test
    // points it at the files fake's calls to see their order.
    std::vector<std::string>* trace = nullptr;

    std::string ExeName() override { return exeName; }
    std::vector<std::string> Arguments() override { return arguments; }
    std::uint32_t CurrentThreadId() override { return threadId; }
    std::uint32_t CurrentProcessId() override { return processId; }
    bool HasMainForm() override { return hasMainForm; }
    void CloseMainForm() override { ++closeRequests; }
    void MessageBox(const std::string& text, std::uint32_t flags) override { messageBoxes.emplace_back(text, flags); }
    void ProcessMessages() override;
    [[noreturn]] void Terminate(int exitCode) override { throw Terminated(exitCode); }
    bool HoldInstallerLock() override;
    void ReleaseInstallerLock() override;
    bool InstallerRunning() override { return lockHeld || otherInstaller; }
    bool WaitForInstaller(std::uint32_t timeoutMs) override;

private:
    void Trace(const std::string& call) {
        if (trace != nullptr) trace->push_back(call);
    }
};

}  // namespace rl::fake
