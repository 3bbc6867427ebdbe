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

}  // namespace rl::win32test
