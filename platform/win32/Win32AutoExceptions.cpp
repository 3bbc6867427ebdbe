// The automatic exceptions on Windows: a full-screen window, a program that
// keeps the display on, sound being recorded. Each probe reads the system
// afresh on every call and answers false when a call fails. dwmapi.dll and
// powrprof.dll are looked up at run time in the system folder, so the
// program imports only DLLs that every Windows has.
#include "platform/win32/Win32AutoExceptions.h"

#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <audiopolicy.h>
#include <shellapi.h>

#include <cwchar>

#include "platform/Platform.h"
#include "platform/win32/ComRef.h"

namespace rl {
namespace win32 {

namespace {

// Published identifiers, declared here so that no import library has to carry them.
constexpr GUID kClsidMMDeviceEnumerator = {0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr GUID kIidIMMDeviceEnumerator = {0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
constexpr GUID kIidIAudioSessionManager2 = {0x77AA99A0, 0x1BD6, 0x484F, {0x8B, 0xC7, 0x2C, 0x65, 0x4C, 0x9A, 0x9B, 0x6F}};
constexpr GUID kIidIAudioSessionControl2 = {0xBFB7FF88, 0x7239, 0x4FC9, {0x8F, 0xA2, 0x07, 0xC9, 0x50, 0xBE, 0x9C, 0x6D}};

// From dwmapi.h and winnt.h, numbered as Windows numbers them whatever the
// headers' target version.
constexpr DWORD kDwmwaCloaked = 14;
constexpr int kSystemExecutionState = 16;

// An entry point of a DLL in the system folder (never beside the program,
// where a planted copy could wait), looked up once; the DLL stays loaded.
FARPROC SystemEntry(const wchar_t* dll, const char* name) {
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + std::wcslen(dll) >= MAX_PATH) return nullptr;
    path[length] = L'\\';
    std::wcscpy(path + length + 1, dll);
    HMODULE module = LoadLibraryW(path);
    return module != nullptr ? GetProcAddress(module, name) : nullptr;
}

template <typename Fn>
Fn Entry(const wchar_t* dll, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(SystemEntry(dll, name)));
}

using DwmGetWindowAttributeFn = HRESULT(WINAPI*)(HWND, DWORD, PVOID, DWORD);
using CallNtPowerInformationFn = LONG(WINAPI*)(int, PVOID, ULONG, PVOID, ULONG);

// Windows 8 and later hide windows of other virtual desktops and suspended
// store programs by cloaking them; before that, and when the call fails,
// nothing is cloaked.
bool IsCloaked(HWND window) {
    static const auto get = Entry<DwmGetWindowAttributeFn>(L"dwmapi.dll", "DwmGetWindowAttribute");
    if (get == nullptr) return false;
    DWORD cloaked = 0;
    return SUCCEEDED(get(window, kDwmwaCloaked, &cloaked, sizeof(cloaked))) && cloaked != 0;
}

bool ClassIs(const wchar_t* name, const wchar_t* wanted) { return _wcsicmp(name, wanted) == 0; }

BOOL CALLBACK FindFullScreen(HWND window, LPARAM found) {
    if (JudgeWindow(window) != TWindowVerdict::FullScreen) return TRUE;
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
}

class FullScreenProbe : public IAutoExceptionProbe {
public:
    bool Holds() override {
        const std::optional<int> state = ReadUserNotificationState();
        if (state && NotificationStateHolds(*state)) return true;
        return AnyWindowFullScreen();
    }
};

class DisplayKeptOnProbe : public IAutoExceptionProbe {
public:
    bool Holds() override {
        const std::optional<ULONG> state = ReadSystemExecutionState();
        return state && (*state & ES_DISPLAY_REQUIRED) != 0;
    }
};

class RecordingProbe : public IAutoExceptionProbe {
public:
    bool Holds() override { return SomebodyRecords(ReadCaptureSessions(), GetCurrentProcessId()); }
};

TCaptureSession ReadSession(IAudioSessionEnumerator* sessions, int index) {
    TCaptureSession session;
    ComRef<IAudioSessionControl> control;
    if (FAILED(sessions->GetSession(index, control.Out())) || control.Get() == nullptr) return session;
    AudioSessionState state = AudioSessionStateInactive;
    if (SUCCEEDED(control->GetState(&state))) session.state = static_cast<int>(state);
    ComRef<IAudioSessionControl2> control2;
    if (FAILED(control->QueryInterface(kIidIAudioSessionControl2, control2.OutVoid())) || control2.Get() == nullptr)
        return session;
    session.processResult = control2->GetProcessId(&session.processId);
    return session;
}

TCaptureEndpoint ReadEndpoint(IMMDevice* device) {
    TCaptureEndpoint endpoint;
    LPWSTR id = nullptr;
    if (SUCCEEDED(device->GetId(&id)) && id != nullptr) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, id, -1, nullptr, 0, nullptr, nullptr);
        if (size > 1) {
            endpoint.id.resize(static_cast<std::size_t>(size));
            WideCharToMultiByte(CP_UTF8, 0, id, -1, endpoint.id.data(), size, nullptr, nullptr);
            endpoint.id.resize(static_cast<std::size_t>(size - 1));
        }
        CoTaskMemFree(id);
    }
    ComRef<IAudioSessionManager2> manager;
    endpoint.activated = device->Activate(kIidIAudioSessionManager2, CLSCTX_INPROC_SERVER, nullptr, manager.OutVoid());
    if (FAILED(endpoint.activated) || manager.Get() == nullptr) return endpoint;
    ComRef<IAudioSessionEnumerator> sessions;
    endpoint.enumerated = manager->GetSessionEnumerator(sessions.Out());
    if (FAILED(endpoint.enumerated) || sessions.Get() == nullptr) return endpoint;
    int count = 0;
    endpoint.counted = sessions->GetCount(&count);
    if (FAILED(endpoint.counted)) return endpoint;
    for (int i = 0; i < count; ++i) endpoint.sessions.push_back(ReadSession(sessions.Get(), i));
    return endpoint;
}

}  // namespace

TWindowVerdict JudgeWindow(HWND window) {
    if (!IsWindowVisible(window)) return TWindowVerdict::Hidden;
    if (IsIconic(window)) return TWindowVerdict::Minimised;
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    if (window == GetDesktopWindow() || window == GetShellWindow() || ClassIs(name, L"Progman") ||
        ClassIs(name, L"WorkerW"))
        return TWindowVerdict::Desktop;
    if (ClassIs(name, L"Shell_TrayWnd") || ClassIs(name, L"Shell_SecondaryTrayWnd")) return TWindowVerdict::Taskbar;
    const LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
    if ((exStyle & WS_EX_LAYERED) != 0 && (exStyle & WS_EX_TRANSPARENT) != 0) return TWindowVerdict::ClickThrough;

    HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONULL);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (monitor == nullptr || !GetMonitorInfoW(monitor, &info)) return TWindowVerdict::NoMonitor;
    // The client area, not the frame: a maximised window's frame reaches past
    // a monitor that has no taskbar (a second monitor on Windows 7, or a
    // hidden taskbar), while its caption stays on the screen.
    RECT client{};
    if (!GetClientRect(window, &client)) return TWindowVerdict::NoMonitor;
    SetLastError(0);
    if (MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2) == 0 && GetLastError() != 0)
        return TWindowVerdict::NoMonitor;
    const RECT& whole = info.rcMonitor;
    if (client.left > whole.left || client.top > whole.top || client.right < whole.right ||
        client.bottom < whole.bottom)
        return TWindowVerdict::Smaller;
    if (IsCloaked(window)) return TWindowVerdict::Cloaked;
    return TWindowVerdict::FullScreen;
}

bool AnyWindowFullScreen() {
    bool found = false;
    EnumWindows(&FindFullScreen, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::optional<int> ReadUserNotificationState() {
    QUERY_USER_NOTIFICATION_STATE state{};
    if (FAILED(SHQueryUserNotificationState(&state))) return std::nullopt;
    return static_cast<int>(state);
}

bool NotificationStateHolds(int state) {
    return state == QUNS_BUSY || state == QUNS_RUNNING_D3D_FULL_SCREEN || state == QUNS_PRESENTATION_MODE;
}

std::optional<ULONG> ReadSystemExecutionState() {
    static const auto call = Entry<CallNtPowerInformationFn>(L"powrprof.dll", "CallNtPowerInformation");
    if (call == nullptr) return std::nullopt;
    ULONG state = 0;
    if (call(kSystemExecutionState, nullptr, 0, &state, sizeof(state)) != 0) return std::nullopt;
    return state;
}

// Every active capture endpoint, not only the defaults: a call takes the
// default for communications, but a recorder or a headset chosen in a
// program may use any microphone.
TCaptureReading ReadCaptureSessions() {
    TCaptureReading reading;
    ComRef<IMMDeviceEnumerator> enumerator;
    reading.created = CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER,
                                       kIidIMMDeviceEnumerator, enumerator.OutVoid());
    if (FAILED(reading.created) || enumerator.Get() == nullptr) return reading;
    ComRef<IMMDeviceCollection> devices;
    reading.enumerated = enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, devices.Out());
    if (FAILED(reading.enumerated) || devices.Get() == nullptr) return reading;
    UINT count = 0;
    if (FAILED(devices->GetCount(&count))) return reading;
    for (UINT i = 0; i < count; ++i) {
        ComRef<IMMDevice> device;
        if (SUCCEEDED(devices->Item(i, device.Out())) && device.Get() != nullptr)
            reading.endpoints.push_back(ReadEndpoint(device.Get()));
    }
    return reading;
}

bool SomebodyRecords(const TCaptureReading& reading, DWORD ownProcessId) {
    for (const TCaptureEndpoint& endpoint : reading.endpoints) {
        for (const TCaptureSession& session : endpoint.sessions) {
            // A session of several processes names the one that opened it.
            if (session.state == AudioSessionStateActive && SUCCEEDED(session.processResult) &&
                session.processId != ownProcessId)
                return true;
        }
    }
    return false;
}

}  // namespace win32

std::unique_ptr<IAutoExceptionProbe> CreateFullScreenProbe() { return std::make_unique<win32::FullScreenProbe>(); }
std::unique_ptr<IAutoExceptionProbe> CreateDisplayKeptOnProbe() {
    return std::make_unique<win32::DisplayKeptOnProbe>();
}
std::unique_ptr<IAutoExceptionProbe> CreateRecordingProbe() { return std::make_unique<win32::RecordingProbe>(); }

}  // namespace rl
