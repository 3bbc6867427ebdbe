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
};

void SetApplicationPort(IApplication* port);
// Null until a program or a test installs one.
IApplication* ApplicationPort();

// The application's title: "RestLevel" unless the installer was given another.
const std::string& ApplicationTitle();
void SetApplicationTitle(const std::string& title);

}  // namespace rl
