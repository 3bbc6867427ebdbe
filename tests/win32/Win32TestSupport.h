// Helpers of the tests that run the Windows build under Wine.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace rl::win32test {

// Pumps the calling thread's messages until the condition holds or the time
// is up; true when it held.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Pumps messages for a while, for checks that something does NOT happen.
void PumpFor(std::chrono::milliseconds duration);

bool EqualsNoCase(const std::string& a, const std::string& b);

// The full path of this test program.
std::string ModulePath();

// The file name part of a path.
std::string FileNamePart(const std::string& path);

// A top-level window of the tests' own class, created on the calling thread
// and destroyed with the object.
class TestWindow {
public:
    TestWindow(const std::string& caption, DWORD style, DWORD exStyle = 0, HWND parentOrOwner = nullptr);
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND Handle() const { return handle_; }
    static const char* ClassName();

private:
    HWND handle_ = nullptr;
};

// A program started for a test and ended with the object.
class StartedProgram {
public:
    explicit StartedProgram(const std::string& commandLine);
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;

    // 0 when the program could not be started.
    DWORD ProcessId() const { return info_.dwProcessId; }

private:
    PROCESS_INFORMATION info_{};
};

// The full path of a program in the system folder.
std::string SystemProgram(const std::string& fileName);

struct RegOutput {
    unsigned long status = 0xFFFFFFFF;  // the exit code
    std::string output;                 // standard output and error, lines ending in \n
};
// Wine's own reg.exe, started directly (not through a shell, which failed
// now and then under load) with its output read from a pipe.
RegOutput Reg(const std::string& arguments);

// A top-level window of that class in that process (only a visible one when
// asked); null if none.
HWND TopWindowOf(DWORD processId, const char* windowClass, bool visibleOnly = false);

// Brings a window of this thread to the front; true once the system says it is.
bool BringToFront(HWND window);

// The colours of an icon's opaque pixels as "#rrggbb", the most common
// first; empty when the icon cannot be read.
std::vector<std::string> IconColours(HICON icon);

// What the window tests read of a window and its controls ------------------

// A design value at 96 DPI scaled to another, as the windows scale it.
int Scaled(int value, int dpi);

// A window's rectangle in its parent's client coordinates.
RECT RectInParent(HWND control);

SIZE ClientSize(HWND window);
LOGFONTA FontOf(HWND control);
std::string TextOf(HWND window);
std::string ClassOf(HWND window);
LONG_PTR StyleOf(HWND window);

// WM_DPICHANGED as the system sends it: the new DPI and a suggested frame
// at (100, 80), of the given size at 96 DPI scaled to the new DPI.
void SendDpiChange(HWND window, int dpi, SIZE frame);

// COM on the calling thread for the life of the object, as the program's
// user-interface thread has it.
class ComApartment {
public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT Result() const { return result_; }

private:
    HRESULT result_;
};

}  // namespace rl::win32test
