#include "tests/win32/Win32TestSupport.h"

#include <cctype>
#include <thread>

namespace rl::win32test {

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(5);
    }
}

void PumpFor(std::chrono::milliseconds duration) { WaitFor([] { return false; }, duration); }

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string ModulePath() {
    char buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::string(buffer, length);
}

std::string FileNamePart(const std::string& path) {
    const auto pos = path.find_last_of("\\/");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

const char* TestWindow::ClassName() {
    static const char* name = [] {
        static const char kName[] = "RestLevelTestWindow";
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.lpszClassName = kName;
        RegisterClassExA(&wc);
        return kName;
    }();
    return name;
}

TestWindow::TestWindow(const std::string& caption, DWORD style, DWORD exStyle, HWND parentOrOwner) {
    handle_ = CreateWindowExA(exStyle, ClassName(), caption.c_str(), style, 40, 50, 320, 200, parentOrOwner, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
}

TestWindow::~TestWindow() {
    if (handle_ != nullptr) DestroyWindow(handle_);
}

StartedProgram::StartedProgram(const std::string& commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info_)) {
        info_ = PROCESS_INFORMATION{};
        return;
    }
    WaitForInputIdle(info_.hProcess, 20000);
}

StartedProgram::~StartedProgram() {
    if (info_.hProcess == nullptr) return;
    TerminateProcess(info_.hProcess, 0);
    WaitForSingleObject(info_.hProcess, 20000);
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

std::string SystemProgram(const std::string& fileName) {
    char folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder, length) + "\\" + fileName;
}

bool BringToFront(HWND window) {
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    return WaitFor([&] { return GetForegroundWindow() == window; }, std::chrono::seconds(20));
}

}  // namespace rl::win32test
