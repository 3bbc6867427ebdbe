// What the settings window and the update windows share: both are laid out
// in design pixels at 96 DPI and scaled to the DPI of their screen, in
// 8-point Tahoma, and each window's object lives on its window.
#pragma once

#include <windows.h>

#include <string>

namespace rl::win32 {

inline constexpr int kDesignDpi = 96;
#ifndef WM_DPICHANGED
inline constexpr UINT WM_DPICHANGED = 0x02E0;
#endif

// Windows 10 1607 and newer know each monitor's DPI; older systems (and
// Wine 8) have one DPI for the whole screen.
int DpiOfWindow(HWND window);

// Sizes the window around a client area of width x height pixels at its DPI.
void FitClientArea(HWND window, int width, int height, int dpi);

// 8-point Tahoma at the DPI; the caller deletes it.
HFONT MakeFont(int dpi, int weight = FW_NORMAL, bool underline = false);

std::string WindowText(HWND window);

// The size of a control's text in the control's font.
SIZE TextSize(HWND control);

void InitControlClasses(DWORD classes);

// A top-level window class with the program's icon, registered once per
// module.
void RegisterWindowClass(HINSTANCE instance, const char* name, WNDPROC proc, int extra);

// A visible child at no size; the window's layout places it.
HWND CreateChild(HWND parent, HINSTANCE instance, DWORD exStyle, const char* windowClass, const char* text,
                 DWORD style, int id);

// A window procedure's body: the window's object is its creation parameter
// and lives in GWLP_USERDATA from WM_NCCREATE to WM_NCDESTROY; messages
// outside that go to `otherwise`.
template <typename Owner>
LRESULT RouteToOwner(HWND window, UINT message, WPARAM wParam, LPARAM lParam, WNDPROC otherwise) {
    auto* self = reinterpret_cast<Owner*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        self = static_cast<Owner*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd = window;
    }
    if (self == nullptr) return otherwise(window, message, wParam, lParam);
    const LRESULT result = self->Handle(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        self->hwnd = nullptr;
    }
    return result;
}

// WM_DPICHANGED: lays the window out for the new DPI (the current one when
// the message has none) and moves it where the system suggests.
template <typename Relayout>
LRESULT OnDpiChanged(HWND window, WPARAM wParam, LPARAM lParam, int current, Relayout relayout) {
    const int dpi = HIWORD(wParam);
    relayout(dpi > 0 ? dpi : current);
    const auto* suggested = reinterpret_cast<const RECT*>(lParam);
    SetWindowPos(window, nullptr, suggested->left, suggested->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return 0;
}

}  // namespace rl::win32
