// The Windows probes of the automatic exceptions against the system they
// run on (Wine on the test display). Full screen is read for real from
// windows the tests create; for what Wine does not implement, each test
// records Wine's raw answer and shows that the probe then does not hold.
#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <audiopolicy.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "platform/win32/Win32AutoExceptions.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using win32::TWindowVerdict;
using namespace std::chrono_literals;

const char* Name(TWindowVerdict verdict) {
    switch (verdict) {
        case TWindowVerdict::FullScreen: return "FullScreen";
        case TWindowVerdict::Hidden: return "Hidden";
        case TWindowVerdict::Minimised: return "Minimised";
        case TWindowVerdict::Desktop: return "Desktop";
        case TWindowVerdict::Taskbar: return "Taskbar";
        case TWindowVerdict::ClickThrough: return "ClickThrough";
        case TWindowVerdict::NoMonitor: return "NoMonitor";
        case TWindowVerdict::Smaller: return "Smaller";
        case TWindowVerdict::Cloaked: return "Cloaked";
    }
    return "?";
}

std::string Hex(long value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

// Recorded in the XML report and printed, so the run's output keeps it.
void Record(const std::string& key, const std::string& value) {
    ::testing::Test::RecordProperty(key, value);
    std::printf("[ wine     ] %s = %s\n", key.c_str(), value.c_str());
    std::fflush(stdout);
}

RECT PrimaryMonitor() {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info);
    return info.rcMonitor;
}

bool Covers(const RECT& outer, const RECT& inner) {
    return outer.left <= inner.left && outer.top <= inner.top && outer.right >= inner.right &&
           outer.bottom >= inner.bottom;
}

// The top-level windows that would hold the volume now, for a message.
std::string FullScreenWindows() {
    std::string names;
    EnumWindows(
        [](HWND window, LPARAM out) -> BOOL {
            if (win32::JudgeWindow(window) != TWindowVerdict::FullScreen) return TRUE;
            char name[128] = "";
            GetClassNameA(window, name, sizeof(name));
            *reinterpret_cast<std::string*>(out) += std::string(name) + " ";
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&names));
    return names;
}

// A top-level window of a class of the test's choosing, destroyed with the object.
class Window {
public:
    Window(const wchar_t* className, DWORD style, DWORD exStyle, RECT rect) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = className;
        RegisterClassW(&windowClass);  // fails harmlessly once registered
        handle_ = CreateWindowExW(exStyle, className, L"RestLevel test", style, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    }
    ~Window() {
        if (handle_ != nullptr) DestroyWindow(handle_);
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    HWND Handle() const { return handle_; }

private:
    HWND handle_ = nullptr;
};

class AutoExceptionsFullScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Another full-screen window on the display would answer for ours.
        ASSERT_FALSE(probe_->Holds()) << "already full screen: " << FullScreenWindows();
    }
    std::unique_ptr<IAutoExceptionProbe> probe_ = CreateFullScreenProbe();
};

TEST_F(AutoExceptionsFullScreenTest, WindowsOfTheTestDisplay) {
    const RECT monitor = PrimaryMonitor();
    const RECT larger{monitor.left - 10, monitor.top - 10, monitor.right + 10, monitor.bottom + 10};
    const RECT short1{monitor.left, monitor.top, monitor.right - 1, monitor.bottom};
    const RECT normal{40, 50, 440, 350};
    RECT framed = monitor;
    AdjustWindowRectEx(&framed, WS_OVERLAPPEDWINDOW, FALSE, 0);
    const RECT maximised{framed.left, monitor.top - (framed.bottom - monitor.bottom), framed.right, framed.bottom};
    struct Case {
        const char* what;
        const wchar_t* className;
        DWORD style;
        DWORD exStyle;
        RECT rect;
        int show;
        TWindowVerdict expected;
    };
    const Case cases[] = {
        {"a popup covering the monitor", L"RlAutoPopup", WS_POPUP, 0, monitor, SW_SHOW, TWindowVerdict::FullScreen},
        {"a popup reaching past the monitor", L"RlAutoPopup", WS_POPUP, 0, larger, SW_SHOW,
         TWindowVerdict::FullScreen},
        {"a popup one pixel short", L"RlAutoPopup", WS_POPUP, 0, short1, SW_SHOW, TWindowVerdict::Smaller},
        {"a normal window", L"RlAutoPopup", WS_OVERLAPPEDWINDOW, 0, normal, SW_SHOW, TWindowVerdict::Smaller},
        // Where no taskbar takes part of a monitor, a maximised window's frame
        // reaches past it on every side; its caption stays on the screen.
        {"a window placed as a maximised one", L"RlAutoPopup", WS_OVERLAPPEDWINDOW, 0, maximised, SW_SHOW,
         TWindowVerdict::Smaller},
        {"a covering popup never shown", L"RlAutoPopup", WS_POPUP, 0, monitor, SW_HIDE, TWindowVerdict::Hidden},
        {"a covering popup minimised", L"RlAutoPopup", WS_POPUP, 0, monitor, SW_MINIMIZE,
         TWindowVerdict::Minimised},
        {"a click-through overlay", L"RlAutoPopup", WS_POPUP, WS_EX_LAYERED | WS_EX_TRANSPARENT, monitor, SW_SHOW,
         TWindowVerdict::ClickThrough},
        // Layered alone is how many players fade their controls: still watched.
        {"a layered popup that takes clicks", L"RlAutoPopup", WS_POPUP, WS_EX_LAYERED, monitor, SW_SHOW,
         TWindowVerdict::FullScreen},
        {"the wallpaper's window", L"WorkerW", WS_POPUP, 0, monitor, SW_SHOW, TWindowVerdict::Desktop},
        {"the desktop's window", L"Progman", WS_POPUP, 0, monitor, SW_SHOW, TWindowVerdict::Desktop},
        {"a second monitor's taskbar", L"Shell_SecondaryTrayWnd", WS_POPUP, 0, monitor, SW_SHOW,
         TWindowVerdict::Taskbar},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            Window window(c.className, c.style, c.exStyle, c.rect);
            ASSERT_NE(window.Handle(), nullptr);
            if (c.exStyle & WS_EX_LAYERED) SetLayeredWindowAttributes(window.Handle(), 0, 255, LWA_ALPHA);
            ShowWindow(window.Handle(), c.show);
            // The row means what it says only where the system placed the window as asked.
            RECT frame{};
            GetWindowRect(window.Handle(), &frame);
            if (c.show == SW_SHOW && Covers(c.rect, monitor)) {
                ASSERT_TRUE(Covers(frame, monitor));
            }
            EXPECT_TRUE(win32test::WaitFor([&] { return win32::JudgeWindow(window.Handle()) == c.expected; }, 5s))
                << "judged " << Name(win32::JudgeWindow(window.Handle()));
            EXPECT_EQ(probe_->Holds(), c.expected == TWindowVerdict::FullScreen);
        }
        // Destroyed: nothing is left to hold the next row (or another test's program).
        EXPECT_FALSE(probe_->Holds()) << FullScreenWindows();
    }
}

// A failed cloaking query counts as not cloaked, as on Windows 7.
TEST_F(AutoExceptionsFullScreenTest, WineAnswersTheCloakingQuery) {
    Window window(L"RlAutoPopup", WS_POPUP, 0, PrimaryMonitor());
    ASSERT_NE(window.Handle(), nullptr);
    ShowWindow(window.Handle(), SW_SHOW);
    HMODULE dwm = LoadLibraryW(L"dwmapi.dll");
    ASSERT_NE(dwm, nullptr);
    using Fn = HRESULT(WINAPI*)(HWND, DWORD, PVOID, DWORD);
    const auto get = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dwm, "DwmGetWindowAttribute")));
    DWORD cloaked = 0;
    constexpr DWORD kDwmwaCloaked = 14;
    const HRESULT hr = get != nullptr ? get(window.Handle(), kDwmwaCloaked, &cloaked, sizeof(cloaked)) : E_NOINTERFACE;
    FreeLibrary(dwm);
    Record("DwmGetWindowAttributeCloaked", Hex(hr) + " value " + std::to_string(cloaked));
    EXPECT_EQ(win32::JudgeWindow(window.Handle()), TWindowVerdict::FullScreen);
    EXPECT_TRUE(probe_->Holds());
}

TEST(AutoExceptionsNotificationStateTest, WineAnswersAndTheProbeDoesNotHold) {
    const std::optional<int> state = win32::ReadUserNotificationState();
    Record("SHQueryUserNotificationState", state ? std::to_string(*state) : "failed");
    ASSERT_EQ(FullScreenWindows(), "");
    const bool expected = state && win32::NotificationStateHolds(*state);
    EXPECT_EQ(CreateFullScreenProbe()->Holds(), expected);
    EXPECT_FALSE(expected) << "Wine's desktop reports somebody busy: " << *state;
}

// The states that hold, since Wine reports only one.
TEST(AutoExceptionsNotificationStateTest, BusyFullScreenAndPresentingHold) {
    const struct {
        int state;
        bool holds;
    } cases[] = {
        {QUNS_NOT_PRESENT, false},   // the screen is locked: nobody watches
        {QUNS_BUSY, true},
        {QUNS_RUNNING_D3D_FULL_SCREEN, true},
        {QUNS_PRESENTATION_MODE, true},
        {QUNS_ACCEPTS_NOTIFICATIONS, false},
        {6, false},  // quiet time after a first sign-in
        {7, false},  // a store program is in front
        {0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(win32::NotificationStateHolds(c.state), c.holds) << c.state;
}

// The test's own request to keep the display on, withdrawn at the end.
class DisplayRequest {
public:
    DisplayRequest() : previous_(SetThreadExecutionState(ES_CONTINUOUS | ES_DISPLAY_REQUIRED)) {}
    ~DisplayRequest() { SetThreadExecutionState(ES_CONTINUOUS); }
    DisplayRequest(const DisplayRequest&) = delete;
    DisplayRequest& operator=(const DisplayRequest&) = delete;
    EXECUTION_STATE Previous() const { return previous_; }

private:
    EXECUTION_STATE previous_;
};

TEST(AutoExceptionsDisplayTest, WineAnswersAndTheProbeFollowsTheDisplayBit) {
    auto probe = CreateDisplayKeptOnProbe();
    const auto answer = [&](const char* key) {
        const std::optional<ULONG> state = win32::ReadSystemExecutionState();
        Record(key, state ? Hex(static_cast<long>(*state)) : "failed");
        EXPECT_EQ(probe->Holds(), state && (*state & ES_DISPLAY_REQUIRED) != 0) << key;
    };
    {
        DisplayRequest request;
        ASSERT_NE(request.Previous(), 0u);
        answer("SystemExecutionStateWithRequest");
    }
    answer("SystemExecutionStateWithout");
}

// A shared-mode capture stream of this process on the default capture
// endpoint, running until the object ends.
class CaptureStream {
public:
    CaptureStream() {
        IMMDeviceEnumerator* enumerator = nullptr;
        IMMDevice* device = nullptr;
        result_ = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_INPROC_SERVER,
                                   __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&enumerator));
        if (SUCCEEDED(result_)) result_ = enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &device);
        if (SUCCEEDED(result_))
            result_ = device->Activate(__uuidof(IAudioClient), CLSCTX_INPROC_SERVER, nullptr,
                                       reinterpret_cast<void**>(&client_));
        WAVEFORMATEX* format = nullptr;
        if (SUCCEEDED(result_)) result_ = client_->GetMixFormat(&format);
        constexpr REFERENCE_TIME kOneSecond = 10000000;
        if (SUCCEEDED(result_))
            result_ = client_->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, kOneSecond, 0, format, nullptr);
        if (SUCCEEDED(result_)) result_ = client_->Start();
        started_ = SUCCEEDED(result_);
        CoTaskMemFree(format);
        if (device != nullptr) device->Release();
        if (enumerator != nullptr) enumerator->Release();
    }
    ~CaptureStream() {
        if (started_) client_->Stop();
        if (client_ != nullptr) client_->Release();
    }
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;
    HRESULT Result() const { return result_; }

private:
    HRESULT result_ = E_FAIL;
    IAudioClient* client_ = nullptr;
    bool started_ = false;
};

std::string Describe(const win32::TCaptureReading& reading) {
    std::ostringstream out;
    out << "enumerator " << Hex(reading.created) << ", endpoints " << Hex(reading.enumerated) << " ("
        << reading.endpoints.size() << ")";
    for (const auto& endpoint : reading.endpoints) {
        out << "; " << endpoint.id << ": manager " << Hex(endpoint.activated);
        if (SUCCEEDED(endpoint.activated)) out << ", sessions " << Hex(endpoint.enumerated);
        if (SUCCEEDED(endpoint.enumerated))
            out << ", count " << Hex(endpoint.counted) << " (" << endpoint.sessions.size() << ")";
        for (const auto& session : endpoint.sessions)
            out << " [state " << session.state << ", process " << session.processId << " "
                << Hex(session.processResult) << "]";
    }
    return out.str();
}

class AutoExceptionsRecordingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(com_.Result())) << Hex(com_.Result()); }
    win32test::ComApartment com_;
    std::unique_ptr<IAutoExceptionProbe> probe_ = CreateRecordingProbe();
};

TEST_F(AutoExceptionsRecordingTest, WineAnswersAndOurOwnRecordingDoesNotHold) {
    Record("CaptureSessionsIdle", Describe(win32::ReadCaptureSessions()));
    EXPECT_FALSE(probe_->Holds());

    CaptureStream stream;
    Record("CaptureStream", Hex(stream.Result()));
    ASSERT_TRUE(SUCCEEDED(stream.Result()));
    const win32::TCaptureReading reading = win32::ReadCaptureSessions();
    Record("CaptureSessionsWhileThisProcessRecords", Describe(reading));
    EXPECT_FALSE(probe_->Holds()) << "this process's own recording held";
}

// Wine lists no sessions, so what a real system lists is judged here.
TEST(AutoExceptionsRecordingDecisionTest, AnActiveSessionOfAnotherProcessHolds) {
    constexpr DWORD kOwn = 100;
    constexpr HRESULT kSeveralProcesses = 0x0889000D;  // AUDCLNT_S_NO_SINGLE_PROCESS
    const struct {
        const char* what;
        win32::TCaptureSession session;
        bool holds;
    } cases[] = {
        {"another process records", {AudioSessionStateActive, S_OK, 200}, true},
        {"a session of several processes", {AudioSessionStateActive, kSeveralProcesses, 200}, true},
        {"our own process records", {AudioSessionStateActive, S_OK, kOwn}, false},
        {"a session opened but stopped", {AudioSessionStateInactive, S_OK, 200}, false},
        {"a session whose program ended", {AudioSessionStateExpired, S_OK, 200}, false},
        {"a state that could not be read", {-1, S_OK, 200}, false},
        {"a process that could not be read", {AudioSessionStateActive, E_FAIL, 200}, false},
    };
    for (const auto& c : cases) {
        win32::TCaptureReading reading;
        reading.endpoints.resize(2);
        reading.endpoints[0].sessions.push_back({AudioSessionStateInactive, S_OK, 300});
        // On the second endpoint: every capture endpoint is read, not only the first.
        reading.endpoints[1].sessions.push_back(c.session);
        EXPECT_EQ(win32::SomebodyRecords(reading, kOwn), c.holds) << c.what;
    }
    EXPECT_FALSE(win32::SomebodyRecords(win32::TCaptureReading{}, kOwn)) << "no endpoint";
}

}  // namespace
}  // namespace rl
