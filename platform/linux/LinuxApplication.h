// The application port on Linux: the running executable, the arguments the
// program was started with, the kernel's thread and process ids, Qt message
// boxes (standard error without a Qt application), and _exit.
#pragma once

#include <string>
#include <vector>

#include "platform/Ui.h"
#include "support/Application.h"

namespace rl::linuxapp {

class Application : public IApplication {
public:
    // argv as main() received it, before Qt takes its own options out.
    Application(int argc, char** argv);

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
    void MessageBox(const std::string& text, std::uint32_t flags) override;
    void ProcessMessages() override;
    [[noreturn]] void Terminate(int exitCode) override;

private:
    std::vector<std::string> arguments_;
    IFormHost* mainForm_ = nullptr;
};

}  // namespace rl::linuxapp
