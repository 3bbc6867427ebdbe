// A small program on the update road of the Windows build, for the tests of
// files that come from an update listing. It wires the adapters as
// RestLevel.exe does, runs the installer switch before anything else, and
// configures its update component as RestLevel.exe's KzAutoUpdate1 plus a
// listing (FileListURL), which the real program's component leaves empty.
// After the start-up use it runs its message loop until WM_QUIT.
//
//   RoadHelper.exe [ARGUMENTS...]
//   RESTLEVEL_UPDATE_SERVER: the server (RoadHelper.zbin, this program, and
//   the listing files.txt)
#include <windows.h>

#include <memory>

#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/Platform.h"
#include "platform/Registry.h"
#include "platform/TextSystem.h"
#include "platform/win32/Win32Application.h"
#include "platform/win32/Win32UpdateWindows.h"
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

constexpr char kPackagePath[] = "/RoadHelper.zbin";
constexpr char kListingPath[] = "/files.txt";

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    using namespace rl;
    const std::unique_ptr<IRegistry> registry = CreateRegistry();
    const std::unique_ptr<ITextSystem> text = CreateTextSystem();
    const std::unique_ptr<IFileSystem> files = CreateFileSystem();
    const std::unique_ptr<IInternet> internet = CreateInternet();
    const std::unique_ptr<ICrypto> crypto = CreateCrypto();
    win32::Application application;
    win32::Win32UpdateWindowFactory updateWindows;
    PortSet set;
    set.registry = registry.get();
    set.text = text.get();
    set.files = files.get();
    set.pump = &MessagePump();
    set.application = &application;
    set.internet = internet.get();
    set.updateWindows = &updateWindows;
    set.crypto = crypto.get();
    const InstalledPorts ports(set);
    HandleUpdateSwitch(BuiltInUpdateKeys());
    ClearStagedUpdate();

    TKzAutoUpdate component;
    if (ConfigureKzAutoUpdate1(component, kPackagePath)) {
        component.FileListURL = UpdateServerAddress() + kListingPath;
        RunStartupUpdate(component);
    }

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
