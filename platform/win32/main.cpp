// RestLevel.exe: wires the Windows adapters to the portable window logic and
// runs the user-interface thread's message loop.
#include <windows.h>
#include <objbase.h>

#include <memory>
#include <optional>
#include <string>

#include "app/RestLevel01.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/Platform.h"
#include "platform/Registry.h"
#include "platform/TextSystem.h"
#include "platform/win32/Win32Application.h"
#include "platform/win32/Win32UpdateWindows.h"
#include "platform/win32/Win32Window.h"
#include "procenum/KzEnumProcesses.h"
#include "support/KzFileLib.h"
#include "support/KzRegistry.h"
#include "support/VorlLibText.h"
#include "update/InstalledPorts.h"
#include "update/KzAutoUpdate.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzHTTP.h"
#include "update/StartupUpdate.h"
#include "update/UpdateKeys.h"

namespace {

std::string UserName() {
    char name[257] = {};
    DWORD size = sizeof(name);
    return GetUserNameA(name, &size) ? std::string(name) : std::string();
}

// One running program per user session. The mutex goes with the process, so
// a new version started after the old one has ended is not hindered.
class SingleInstance {
public:
    SingleInstance() {
        const std::string name = "Local\\RestLevel-" + UserName();
        mutex_ = CreateMutexA(nullptr, FALSE, name.c_str());
        const DWORD error = GetLastError();
        // Denied access means a running program of ours made it under other rights.
        first_ = mutex_ != nullptr ? error != ERROR_ALREADY_EXISTS : error != ERROR_ACCESS_DENIED;
    }
    ~SingleInstance() {
        if (mutex_ != nullptr) CloseHandle(mutex_);
    }
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    bool First() const { return first_; }

private:
    HANDLE mutex_ = nullptr;
    bool first_ = true;
};

// Asks the running program to show its window. It may still be building the
// window when we get here, so it is looked for a little while.
void ShowRunningInstance() {
    const UINT showRequest = RegisterWindowMessageA(rl::win32::kShowRequestMessage);
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (HWND running = FindWindowA(rl::win32::kMainWindowClass, nullptr)) {
            // We were just started by the user, so we may pass the right to
            // come to the front on to it.
            DWORD processId = 0;
            GetWindowThreadProcessId(running, &processId);
            AllowSetForegroundWindow(processId != 0 ? processId : ASFW_ANY);
            PostMessageA(running, showRequest, 0, 0);
            return;
        }
        Sleep(100);
    }
}

class ComApartment {
public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    HRESULT result_;
};

// The ports of the support units, installed for the life of the object.
class Ports {
public:
    Ports() = default;
    Ports(const Ports&) = delete;
    Ports& operator=(const Ports&) = delete;

    rl::win32::Application& Application() { return application_; }

private:
    std::unique_ptr<rl::IRegistry> registry_ = rl::CreateRegistry();
    std::unique_ptr<rl::ITextSystem> text_ = rl::CreateTextSystem();
    std::unique_ptr<rl::ISnapshotPort> snapshots_ = rl::CreateSnapshotPort();
    std::unique_ptr<rl::IFileSystem> files_ = rl::CreateFileSystem();
    rl::win32::Win32ScreenCursor cursor_;
    rl::win32::Application application_;
    std::unique_ptr<rl::IInternet> internet_ = rl::CreateInternet();
    rl::win32::Win32UpdateWindowFactory updateWindows_;
    std::unique_ptr<rl::ICrypto> crypto_ = rl::CreateCrypto();
    rl::InstalledPorts installed_{{registry_.get(), text_.get(), snapshots_.get(), files_.get(), &cursor_,
                                   &rl::MessagePump(), &application_, internet_.get(), &updateWindows_,
                                   crypto_.get()}};
};

int RunRestLevel(HINSTANCE instance) {
    ComApartment com;
    Ports ports;
    // An earlier update's leftovers; only the instance that holds the
    // single-instance mutex comes here, and clears them when no installer
    // is at work.
    rl::ClearEarlierStaging();
    const std::unique_ptr<rl::IClockInput> clock = rl::CreateClockInput();
    const std::unique_ptr<rl::IAudioDevices> devices = rl::CreateAudioDevices();
    const std::unique_ptr<rl::ITimer> tmrCheck = rl::CreateTimer();

    std::optional<rl::win32::MainWindow> window;
    window.emplace(instance);
    if (window->Handle() == nullptr) return 0;
    // The Windows build refuses systems older than Vista.
    const std::unique_ptr<rl::IAutoExceptions> autoExceptions = rl::CreateAutoExceptions();
    const rl::TRestLevelServices services{window->Host(), *clock, *devices, *tmrCheck, rl::MessagePump(), true,
                                          autoExceptions.get()};
    rl::TfrmRestLevel form(window->Controls(), services);

    // The way out, once: the form writes the saved level back while its
    // controls still exist; the volume control goes last.
    bool ended = false;
    const auto endForm = [&] {
        if (ended) return;
        ended = true;
        tmrCheck->SetEnabled(false);
        form.FormDestroy();
        window->DetachForm();
        window->RemoveTrayIcon();
    };

    rl::win32::FormEvents events;
    events.show = [&] { form.FormShow(); };
    events.close = [&] { return form.FormClose(); };
    events.showRequest = [&] { form.tiMainClick(); };
    // Windows may end the process as soon as this returns.
    events.endSession = [&] {
        endForm();
        form.Volume.ReleaseEndpoint();
        PostQuitMessage(0);
    };
    window->SetFormEvents(std::move(events));
    if (rl::ConfigureKzAutoUpdate1(form.KzAutoUpdate1, rl::kWindowsPackagePath))
        form.StartupUpdateCheck = [&form] { rl::RunStartupUpdate(form.KzAutoUpdate1); };

    // A failed start has shown its message box already.
    if (!rl::StartRestLevel(form)) return 0;
    ports.Application().SetMainForm(&window->Host());
    window->AddTrayIcon();

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (window->PreTranslateMessage(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    endForm();
    ports.Application().SetMainForm(nullptr);
    window.reset();
    form.Volume.ReleaseEndpoint();
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The update component looks at the command line here, before anything
    // else: started with its installer switch the process installs the staged
    // files and ends itself, without a window and without taking the
    // single-instance mutex below (it has to wait for the running program).
    {
        Ports ports;
        rl::HandleUpdateSwitch(rl::BuiltInUpdateKeys());
    }

    SingleInstance single;
    if (!single.First()) {
        ShowRunningInstance();
        return 0;
    }
    return RunRestLevel(instance);
}
