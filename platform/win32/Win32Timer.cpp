// The user-interface thread's timer and message pump. Each timer owns a
// hidden message-only window, so its ticks arrive as WM_TIMER messages of the
// thread that created it and run only while that thread dispatches messages.
#include <windows.h>

#include "platform/Platform.h"

namespace rl {

namespace {

constexpr char kTimerClass[] = "RestLevelTimerWindow";
constexpr UINT_PTR kTimerId = 1;

class Win32Timer;

LRESULT CALLBACK TimerWindowProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam);

ATOM RegisterTimerClass() {
    static const ATOM atom = [] {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = TimerWindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kTimerClass;
        return RegisterClassExA(&wc);
    }();
    return atom;
}

// Runs only while enabled with a non-zero interval, like a timer control of
// the window framework (enabled, 1000 ms when created); a new interval for a
// running timer starts it anew.
class Win32Timer : public ITimer {
public:
    Win32Timer() {
        RegisterTimerClass();
        window_ = CreateWindowExA(0, kTimerClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
        if (window_ != nullptr) SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        Apply();
    }

    ~Win32Timer() override {
        if (window_ == nullptr) return;
        KillTimer(window_, kTimerId);
        SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }

    Win32Timer(const Win32Timer&) = delete;
    Win32Timer& operator=(const Win32Timer&) = delete;

    void SetInterval(std::uint32_t milliseconds) override {
        if (milliseconds == interval_) return;
        interval_ = milliseconds;
        Apply();
    }
    std::uint32_t Interval() const override { return interval_; }

    void SetEnabled(bool enabled) override {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        Apply();
    }
    bool Enabled() const override { return enabled_; }

    void SetOnTimer(std::function<void()> handler) override { handler_ = std::move(handler); }

    void Tick() {
        // A WM_TIMER already queued when the timer was switched off is dropped.
        if (!running_ || !handler_) return;
        handler_();
    }

private:
    void Apply() {
        if (window_ == nullptr) return;
        running_ = enabled_ && interval_ > 0;
        if (running_) {
            SetTimer(window_, kTimerId, interval_, nullptr);
        } else {
            KillTimer(window_, kTimerId);
        }
    }

    HWND window_ = nullptr;
    std::uint32_t interval_ = 1000;
    bool enabled_ = true;
    bool running_ = false;
    std::function<void()> handler_;
};

LRESULT CALLBACK TimerWindowProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kTimerId) {
        auto* timer = reinterpret_cast<Win32Timer*>(GetWindowLongPtrA(w, GWLP_USERDATA));
        if (timer != nullptr) timer->Tick();
        return 0;
    }
    return DefWindowProcA(w, message, wParam, lParam);
}

class Win32MessagePump : public IMessagePump {
public:
    void ProcessMessages() override {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                // The quit request belongs to the message loop: leave it there.
                PostQuitMessage(static_cast<int>(msg.wParam));
                return;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
};

}  // namespace

std::unique_ptr<ITimer> CreateTimer() { return std::make_unique<Win32Timer>(); }

IMessagePump& MessagePump() {
    static Win32MessagePump pump;
    return pump;
}

}  // namespace rl
