// The user-interface thread's timer and message pump.
#include <windows.h>

#include <chrono>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using win32test::PumpFor;
using win32test::WaitFor;

TEST(Win32TimerTest, StartsEnabledWithOneSecond) {
    auto timer = CreateTimer();
    EXPECT_TRUE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 1000u);
}

TEST(Win32TimerTest, TicksWhileEnabledAndStopsWhenDisabled) {
    auto timer = CreateTimer();
    int ticks = 0;
    timer->SetOnTimer([&] { ++ticks; });
    timer->SetInterval(20);
    EXPECT_EQ(timer->Interval(), 20u);
    ASSERT_TRUE(WaitFor([&] { return ticks >= 3; }, 10s));

    timer->SetEnabled(false);
    EXPECT_FALSE(timer->Enabled());
    const int stopped = ticks;
    PumpFor(300ms);
    EXPECT_EQ(ticks, stopped);

    timer->SetEnabled(true);
    EXPECT_TRUE(WaitFor([&] { return ticks > stopped; }, 10s));
}

TEST(Win32TimerTest, TicksOnlyWhenMessagesAreDispatched) {
    auto timer = CreateTimer();
    int ticks = 0;
    timer->SetOnTimer([&] { ++ticks; });
    timer->SetInterval(10);
    Sleep(150);
    EXPECT_EQ(ticks, 0);
    EXPECT_TRUE(WaitFor([&] { return ticks > 0; }, 10s));
}

TEST(Win32TimerTest, ZeroIntervalNeverTicks) {
    auto timer = CreateTimer();
    int ticks = 0;
    timer->SetOnTimer([&] { ++ticks; });
    timer->SetInterval(0);
    EXPECT_TRUE(timer->Enabled());
    PumpFor(300ms);
    EXPECT_EQ(ticks, 0);
    timer->SetInterval(10);
    EXPECT_TRUE(WaitFor([&] { return ticks > 0; }, 10s));
}

TEST(Win32TimerTest, DisabledBeforeTheFirstTickNeverTicks) {
    auto timer = CreateTimer();
    int ticks = 0;
    timer->SetOnTimer([&] { ++ticks; });
    timer->SetInterval(10);
    Sleep(100);  // a tick is due now
    timer->SetEnabled(false);
    PumpFor(300ms);
    EXPECT_EQ(ticks, 0);
}

TEST(Win32TimerTest, TwoTimersTickIndependently) {
    auto a = CreateTimer();
    auto b = CreateTimer();
    int ticksA = 0, ticksB = 0;
    a->SetOnTimer([&] { ++ticksA; });
    b->SetOnTimer([&] { ++ticksB; });
    a->SetInterval(15);
    b->SetInterval(15);
    b->SetEnabled(false);
    ASSERT_TRUE(WaitFor([&] { return ticksA >= 3; }, 10s));
    EXPECT_EQ(ticksB, 0);
    b->SetEnabled(true);
    a->SetEnabled(false);
    const int stoppedA = ticksA;
    ASSERT_TRUE(WaitFor([&] { return ticksB >= 3; }, 10s));
    EXPECT_EQ(ticksA, stoppedA);
}

TEST(Win32TimerTest, SameIntervalAgainDoesNotRestartTheCount) {
    auto timer = CreateTimer();
    int ticks = 0;
    timer->SetOnTimer([&] { ++ticks; });
    timer->SetInterval(300);
    // Set again and again well within each period: a restart would never tick.
    EXPECT_TRUE(WaitFor(
        [&] {
            timer->SetInterval(300);
            return ticks > 0;
        },
        10s));
}

TEST(Win32TimerTest, HandlerCanBeReplacedAndCleared) {
    auto timer = CreateTimer();
    int first = 0, second = 0;
    timer->SetOnTimer([&] { ++first; });
    timer->SetInterval(10);
    ASSERT_TRUE(WaitFor([&] { return first > 0; }, 10s));
    timer->SetOnTimer([&] { ++second; });
    const int firstDone = first;
    ASSERT_TRUE(WaitFor([&] { return second > 0; }, 10s));
    EXPECT_EQ(first, firstDone);
    timer->SetOnTimer(nullptr);
    const int secondDone = second;
    PumpFor(100ms);  // ticks without a handler are dropped
    EXPECT_EQ(second, secondDone);
}

TEST(Win32TimerTest, DestroyedTimerNoLongerTicks) {
    int ticks = 0;
    {
        auto timer = CreateTimer();
        timer->SetOnTimer([&] { ++ticks; });
        timer->SetInterval(10);
        Sleep(100);
    }
    PumpFor(200ms);
    EXPECT_EQ(ticks, 0);
}

// A window that counts the messages it is sent.
class CountingWindow {
public:
    CountingWindow() {
        static const char* cls = [] {
            WNDCLASSEXA wc{};
            wc.cbSize = sizeof(wc);
            wc.lpfnWndProc = Proc;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = "RestLevelCountingWindow";
            RegisterClassExA(&wc);
            return "RestLevelCountingWindow";
        }();
        handle_ = CreateWindowExA(0, cls, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(handle_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~CountingWindow() { DestroyWindow(handle_); }
    HWND Handle() const { return handle_; }
    int received = 0;
    int chars = 0;

private:
    static LRESULT CALLBACK Proc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<CountingWindow*>(GetWindowLongPtrA(w, GWLP_USERDATA));
        if (self != nullptr && message == WM_APP) ++self->received;
        if (self != nullptr && message == WM_CHAR) ++self->chars;
        return DefWindowProcA(w, message, wParam, lParam);
    }
    HWND handle_;
};

TEST(Win32MessagePumpTest, DispatchesWhatIsWaitingAndReturns) {
    CountingWindow window;
    ASSERT_NE(window.Handle(), nullptr);
    for (int i = 0; i < 3; ++i) PostMessageA(window.Handle(), WM_APP, 0, 0);
    MessagePump().ProcessMessages();
    EXPECT_EQ(window.received, 3);
    // Nothing waiting: it returns rather than waiting for a message.
    MessagePump().ProcessMessages();
    EXPECT_EQ(window.received, 3);
}

TEST(Win32MessagePumpTest, KeyMessagesAreTranslated) {
    CountingWindow window;
    PostMessageA(window.Handle(), WM_KEYDOWN, 'A', 0x001E0001);
    MessagePump().ProcessMessages();
    // TranslateMessage posts the character, which the same pass dispatches.
    EXPECT_EQ(window.chars, 1);
}

TEST(Win32MessagePumpTest, QuitRequestIsLeftForTheMessageLoop) {
    PostQuitMessage(7);
    MessagePump().ProcessMessages();
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
}

}  // namespace
}  // namespace rl
