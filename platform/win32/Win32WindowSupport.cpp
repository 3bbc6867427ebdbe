#include "platform/win32/Win32WindowSupport.h"

#include <commctrl.h>

#include <algorithm>

#include "resources/resource.h"

namespace rl::win32 {

namespace {

template <typename Fn>
Fn User32Function(const char* name) {
    HMODULE user32 = GetModuleHandleA("user32.dll");
    if (user32 == nullptr) return nullptr;
    // Through a generic function type: FARPROC's own signature is unrelated.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

void AdjustFrame(RECT& rect, DWORD style, DWORD exStyle, int dpi) {
    using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = User32Function<AdjustForDpiFn>("AdjustWindowRectExForDpi");
    if (adjustForDpi != nullptr && adjustForDpi(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi))) return;
    AdjustWindowRectEx(&rect, style, FALSE, exStyle);
}

}  // namespace

int DpiOfWindow(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
    if (getDpiForWindow != nullptr) {
        const UINT dpi = getDpiForWindow(window);
        if (dpi != 0) return static_cast<int>(dpi);
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : kDesignDpi;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kDesignDpi;
}

void FitClientArea(HWND window, int width, int height, int dpi) {
    RECT frame{0, 0, width, height};
    AdjustFrame(frame, static_cast<DWORD>(GetWindowLongPtrA(window, GWL_STYLE)),
                static_cast<DWORD>(GetWindowLongPtrA(window, GWL_EXSTYLE)), dpi);
    const UINT flags = SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE;
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top, flags | SWP_FRAMECHANGED);
    // Where the frame the system draws differs from the computed one (a
    // window whose DPI the system does not scale), the client area decides.
    RECT client{};
    RECT outer{};
    GetClientRect(window, &client);
    GetWindowRect(window, &outer);
    const int dx = width - (client.right - client.left);
    const int dy = height - (client.bottom - client.top);
    if (dx != 0 || dy != 0)
        SetWindowPos(window, nullptr, 0, 0, outer.right - outer.left + dx, outer.bottom - outer.top + dy, flags);
}

HFONT MakeFont(int dpi, int weight, bool underline) {
    return CreateFontA(-MulDiv(8, dpi, 72), 0, 0, 0, weight, FALSE, underline ? TRUE : FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, "Tahoma");
}

std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthA(window);
    std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
    const int got = GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
}

SIZE TextSize(HWND control) {
    const std::string caption = WindowText(control);
    SIZE size{};
    if (HDC dc = GetDC(control)) {
        const HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0)));
        GetTextExtentPoint32A(dc, caption.c_str(), static_cast<int>(caption.size()), &size);
        SelectObject(dc, previous);
        ReleaseDC(control, dc);
    }
    return size;
}

void InitControlClasses(DWORD classes) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = classes;
    InitCommonControlsEx(&controls);
}

void RegisterWindowClass(HINSTANCE instance, const char* name, WNDPROC proc, int extra) {
    WNDCLASSEXA existing{};
    existing.cbSize = sizeof(existing);
    if (GetClassInfoExA(instance, name, &existing)) return;
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = extra;
    wc.hInstance = instance;
    // The program's icon shows on the taskbar button; a program without
    // one gets the system's.
    wc.hIcon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_RESTLEVEL), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    wc.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_RESTLEVEL), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = name;
    RegisterClassExA(&wc);
}

HWND CreateChild(HWND parent, HINSTANCE instance, DWORD exStyle, const char* windowClass, const char* text,
                 DWORD style, int id) {
    return CreateWindowExA(exStyle, windowClass, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

}  // namespace rl::win32
