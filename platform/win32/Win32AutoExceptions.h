// What the Windows probes of the automatic exceptions read, split into the
// raw reading and its judgement so that a test can show what a system (Wine
// among them) answers and what the probe makes of it. Each reading answers
// "nothing" when a call fails.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace rl::win32 {

// Full screen -------------------------------------------------------------

// Why a top-level window counts or not, in the order it is asked.
enum class TWindowVerdict {
    FullScreen,
    Hidden,
    Minimised,
    Desktop,
    Taskbar,
    ClickThrough,  // WS_EX_LAYERED with WS_EX_TRANSPARENT: an overlay that is not watched
    NoMonitor,
    Smaller,       // its client area leaves part of its monitor uncovered
    Cloaked,
};

TWindowVerdict JudgeWindow(HWND window);

// A top-level window of any program on any monitor that is full screen.
bool AnyWindowFullScreen();

// SHQueryUserNotificationState's answer; nothing when the call fails.
std::optional<int> ReadUserNotificationState();
// Busy, a Direct3D program full screen, or presentation mode.
bool NotificationStateHolds(int state);

// Display kept on -----------------------------------------------------------

// CallNtPowerInformation(SystemExecutionState); nothing when powrprof.dll or
// its entry point is missing or the call fails.
std::optional<ULONG> ReadSystemExecutionState();

// Recording ---------------------------------------------------------------

struct TCaptureSession {
    int state = -1;  // AudioSessionState; -1 when it could not be read
    HRESULT processResult = E_FAIL;
    DWORD processId = 0;
};

struct TCaptureEndpoint {
    std::string id;
    HRESULT activated = E_FAIL;   // IAudioSessionManager2 on the endpoint
    HRESULT enumerated = E_FAIL;  // its GetSessionEnumerator
    HRESULT counted = E_FAIL;
    std::vector<TCaptureSession> sessions;
};

struct TCaptureReading {
    HRESULT created = E_FAIL;     // the device enumerator
    HRESULT enumerated = E_FAIL;  // the active capture endpoints
    std::vector<TCaptureEndpoint> endpoints;
};

// The audio sessions of every active capture endpoint. COM must be
// initialised on the calling thread.
TCaptureReading ReadCaptureSessions();

// An active session whose process is not ownProcessId.
bool SomebodyRecords(const TCaptureReading& reading, DWORD ownProcessId);

}  // namespace rl::win32
