#include "tests/win32/Win32TestSupport.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
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

std::vector<std::string> IconColours(HICON icon) {
    ICONINFO info{};
    if (icon == nullptr || !GetIconInfo(icon, &info)) return {};
    BITMAP bitmap{};
    GetObjectA(info.hbmColor, sizeof(bitmap), &bitmap);
    const int width = bitmap.bmWidth;
    const int height = bitmap.bmHeight;
    // Both bitmaps read as top-down 32-bit pixels; the mask is black where
    // the icon is opaque.
    const auto read = [&](HBITMAP source) {
        std::vector<DWORD> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        BITMAPINFO format{};
        format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        format.bmiHeader.biWidth = width;
        format.bmiHeader.biHeight = -height;
        format.bmiHeader.biPlanes = 1;
        format.bmiHeader.biBitCount = 32;
        format.bmiHeader.biCompression = BI_RGB;
        HDC dc = GetDC(nullptr);
        const int lines = GetDIBits(dc, source, 0, static_cast<UINT>(height), pixels.data(), &format, DIB_RGB_COLORS);
        ReleaseDC(nullptr, dc);
        if (lines != height) pixels.clear();
        return pixels;
    };
    const std::vector<DWORD> colour = read(info.hbmColor);
    const std::vector<DWORD> mask = read(info.hbmMask);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    if (colour.empty() || mask.size() != colour.size()) return {};

    std::map<DWORD, int> counts;
    for (std::size_t i = 0; i < colour.size(); ++i)
        if ((mask[i] & 0xFFFFFF) == 0) ++counts[colour[i] & 0xFFFFFF];
    std::vector<std::pair<int, DWORD>> byCount;
    for (const auto& [rgb, count] : counts) byCount.emplace_back(count, rgb);
    std::sort(byCount.rbegin(), byCount.rend());
    std::vector<std::string> names;
    for (const auto& entry : byCount) {
        char name[8];
        std::snprintf(name, sizeof(name), "#%06lx", static_cast<unsigned long>(entry.second));
        names.push_back(name);
    }
    return names;
}

HWND TopWindowOf(DWORD processId, const char* windowClass, bool visibleOnly) {
    struct Search {
        DWORD processId;
        const char* windowClass;
        bool visibleOnly;
        HWND found;
    } search{processId, windowClass, visibleOnly, nullptr};
    EnumWindows(
        [](HWND w, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            char name[64] = {};
            GetClassNameA(w, name, sizeof(name));
            if (owner != s->processId || std::string(name) != s->windowClass || (s->visibleOnly && !IsWindowVisible(w)))
                return TRUE;
            s->found = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool BringToFront(HWND window) {
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    return WaitFor([&] { return GetForegroundWindow() == window; }, std::chrono::seconds(20));
}

// Wine's own reg.exe, started directly (not through a shell) with its output
// read from a pipe.
RegOutput Reg(const std::string& arguments) {
    RegOutput result;
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::string line = "\"" + SystemProgram("reg.exe") + "\" " + arguments;
    PROCESS_INFORMATION info{};
    const BOOL started =
        CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    CloseHandle(writeEnd);
    if (started) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0) result.output.append(buffer, got);
        WaitForSingleObject(info.hProcess, 60000);
        GetExitCodeProcess(info.hProcess, &result.status);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(readEnd);
    result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'), result.output.end());
    return result;
}

int Scaled(int value, int dpi) { return MulDiv(value, dpi, 96); }

RECT RectInParent(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

SIZE ClientSize(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    return SIZE{client.right - client.left, client.bottom - client.top};
}

LOGFONTA FontOf(HWND control) {
    LOGFONTA font{};
    GetObjectA(reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)), sizeof(font), &font);
    return font;
}

std::string TextOf(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof(name));
    return name;
}

LONG_PTR StyleOf(HWND window) { return GetWindowLongPtrA(window, GWL_STYLE); }

void SendDpiChange(HWND window, int dpi, SIZE frame) {
    RECT suggested{100, 80, 100 + Scaled(frame.cx, dpi), 80 + Scaled(frame.cy, dpi)};
    SendMessageA(window, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
}

}  // namespace rl::win32test
