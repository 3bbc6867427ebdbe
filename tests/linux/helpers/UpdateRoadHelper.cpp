// A small program on the update road of the Linux build, for the tests of
// files that come from an update listing. It wires the adapters as restlevel
// does, runs the installer switch before anything else, and configures its
// update component as restlevel's KzAutoUpdate1 plus a listing (FileListURL),
// which the real program's component leaves empty. After the start-up use it
// runs until an end signal.
//
//   rl_update_road_helper [ARGUMENTS...]
//   RESTLEVEL_UPDATE_SERVER: the server (its packages below linux-x86_64/:
//   roadhelper.zbin, this program, and the listing files.txt)
#include <QApplication>

#include <cstdio>
#include <memory>

#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/Platform.h"
#include "platform/Registry.h"
#include "platform/TextSystem.h"
#include "platform/linux/LinuxApplication.h"
#include "platform/linux/ProgramEnd.h"
#include "platform/linux/QtUpdateWindows.h"
#include "support/KzFileLib.h"
#include "support/KzRegistry.h"
#include "support/VorlLibText.h"
#include "update/InstalledPorts.h"
#include "update/KzAutoUpdate.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzHTTP.h"
#include "update/StartupUpdate.h"
#include "update/UpdateKeys.h"

// Last: its macros break the Qt headers.
#include <X11/Xlib.h>

namespace {

constexpr char kPackagePath[] = "/linux-x86_64/roadhelper.zbin";
constexpr char kListingPath[] = "/linux-x86_64/files.txt";

}  // namespace

int main(int argc, char** argv) {
    using namespace rl;
    linuxapp::Application application(argc, argv);
    const std::unique_ptr<IRegistry> registry = CreateRegistry();
    const std::unique_ptr<ITextSystem> textSystem = CreateTextSystem();
    const std::unique_ptr<IFileSystem> files = CreateFileSystem();
    const std::unique_ptr<ICrypto> crypto = CreateCrypto();
    PortSet installer;
    installer.registry = registry.get();
    installer.text = textSystem.get();
    installer.files = files.get();
    installer.pump = &MessagePump();
    installer.application = &application;
    installer.crypto = crypto.get();
    const InstalledPorts ports(installer);
    HandleUpdateSwitch(BuiltInUpdateKeys());
    ClearStagedUpdate();

    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "rl_update_road_helper: no X display\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    XCloseDisplay(display);
    QApplication::setApplicationName(QStringLiteral("RestLevel"));
    QApplication::setQuitOnLastWindowClosed(false);
    const std::unique_ptr<IInternet> internet = CreateInternet();
    qt::UpdateWindowFactory updateWindows;
    PortSet update;
    update.internet = internet.get();
    update.updateWindows = &updateWindows;
    const InstalledPorts updatePorts(update);

    TKzAutoUpdate component;
    if (ConfigureKzAutoUpdate1(component, kPackagePath)) {
        component.FileListURL = UpdateServerAddress() + kListingPath;
        RunStartupUpdate(component);
    }

    EndSignals endSignals([](int) { QCoreApplication::quit(); });
    return QApplication::exec();
}
