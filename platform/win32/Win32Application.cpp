#include <windows.h>
#include <commctrl.h>

#include "platform/win32/Win32Application.h"

#include <cstdio>
#include <cstdlib>

#include "platform/Platform.h"

namespace rl::win32 {

namespace {

using TaskDialogIndirectFunction = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

std::wstring Wide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// A box whose only button is "Cancel": message boxes have no such set, task
// dialogs (common controls 6) do. Looked up at run time, as the older
// common controls lack it; false when it cannot be shown.
bool CancelOnlyBox(HWND owner, const std::string& text, std::uint32_t flags) {
    const HMODULE controls = GetModuleHandleA("comctl32.dll");
    const auto show = controls != nullptr ? reinterpret_cast<TaskDialogIndirectFunction>(
                                                reinterpret_cast<void*>(GetProcAddress(controls, "TaskDialogIndirect")))
                                          : nullptr;
    if (show == nullptr) return false;
    const std::wstring title = Wide(ApplicationTitle());
    const std::wstring content = Wide(text);
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
    config.dwCommonButtons = TDCBF_CANCEL_BUTTON;
    config.pszWindowTitle = title.c_str();
    config.pszContent = content.c_str();
    switch (flags & 0xF0) {
        case kMbIconError: config.pszMainIcon = TD_ERROR_ICON; break;
        case kMbIconWarning: config.pszMainIcon = TD_WARNING_ICON; break;
        case kMbIconInformation: config.pszMainIcon = TD_INFORMATION_ICON; break;
        default: break;
    }
    return SUCCEEDED(show(&config, nullptr, nullptr, nullptr));
}

// The installer lock's name and that of the event that tells a waiter it is
// held: per user and title, in the session's own namespace. A backslash
// would make the name a path; the length stays within what a name may have.
std::string InstallerLockName(const char* suffix) {
    char user[257] = {};
    DWORD size = sizeof(user);
    if (!GetUserNameA(user, &size)) user[0] = '\0';
    std::string name = "KzUpdate-" + ApplicationTitle().substr(0, 100) + "-" + user + suffix;
    for (char& c : name)
        if (c == '\\') c = '_';
    return "Local\\" + name;
}

constexpr char kLockSuffix[] = "";
constexpr char kHeldSuffix[] = "-Held";

}  // namespace

Application::~Application() { ReleaseInstallerLock(); }

bool Application::HoldInstallerLock() {
    if (installerLock_ == nullptr) installerLock_ = CreateMutexA(nullptr, FALSE, InstallerLockName(kLockSuffix).c_str());
    if (installerLock_ == nullptr) return false;
    // A waiter that made the event before it looked at the lock sees it now.
    if (HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, InstallerLockName(kHeldSuffix).c_str())) {
        SetEvent(held);
        CloseHandle(held);
    }
    return true;
}

void Application::ReleaseInstallerLock() {
    if (installerLock_ != nullptr) CloseHandle(installerLock_);
    installerLock_ = nullptr;
}

bool Application::InstallerRunning() {
    if (HANDLE lock = OpenMutexA(SYNCHRONIZE, FALSE, InstallerLockName(kLockSuffix).c_str())) {
        CloseHandle(lock);
        return true;
    }
    // Made under other rights: still an installer's.
    return GetLastError() == ERROR_ACCESS_DENIED;
}

bool Application::WaitForInstaller(std::uint32_t timeoutMs) {
    // The event first, then each look: an installer that took the lock
    // before the event existed, or before it was reset, is seen by the look;
    // any later one sets it. Without the event, a short poll.
    const HANDLE held = CreateEventA(nullptr, TRUE, FALSE, InstallerLockName(kHeldSuffix).c_str());
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    bool running = false;
    for (;;) {
        running = InstallerRunning();
        const ULONGLONG now = GetTickCount64();
        if (running || now >= end) break;
        const DWORD left = static_cast<DWORD>(end - now);
        if (held == nullptr) {
            Sleep(left < 20 ? left : 20);
        } else if (WaitForSingleObject(held, left) == WAIT_OBJECT_0) {
            // Perhaps another waiter's installer, gone again.
            ResetEvent(held);
        } else {
            running = InstallerRunning();
            break;
        }
    }
    if (held != nullptr) CloseHandle(held);
    return running;
}

std::string Application::ExeName() {
    std::string name(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) return {};
        if (length < name.size()) {
            name.resize(length);
            return name;
        }
        name.resize(name.size() * 2);
    }
}

// The C runtime split the command line before WinMain ran.
std::vector<std::string> Application::Arguments() {
    std::vector<std::string> arguments;
    for (int i = 1; i < __argc && __argv != nullptr && __argv[i] != nullptr; ++i) arguments.emplace_back(__argv[i]);
    return arguments;
}

std::uint32_t Application::CurrentThreadId() { return GetCurrentThreadId(); }

std::uint32_t Application::CurrentProcessId() { return GetCurrentProcessId(); }

void Application::CloseMainForm() {
    if (mainForm_ != nullptr) mainForm_->Close();
}

void Application::MessageBox(const std::string& text, std::uint32_t flags) {
    const HWND owner = mainForm_ != nullptr ? reinterpret_cast<HWND>(mainForm_->Handle()) : nullptr;
    if ((flags & kMbCancelOnly) != 0 && CancelOnlyBox(owner, text, flags)) return;
    ::MessageBoxA(owner, text.c_str(), ApplicationTitle().c_str(), (flags & ~kMbCancelOnly) | MB_OK);
}

void Application::ProcessMessages() { MessagePump().ProcessMessages(); }

void Application::Terminate(int exitCode) {
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(exitCode));
}

}  // namespace rl::win32
