// restlevel: the Linux program. Wires the Linux adapters and the Qt window
// to the portable main window, keeps to one instance per user and display,
// and ends in order however it is told to end.
#include <QApplication>
#include <QIcon>
#include <QSessionManager>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/RestLevel01.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/Platform.h"
#include "platform/Registry.h"
#include "platform/TextSystem.h"
#include "platform/linux/LinuxApplication.h"
#include "platform/linux/LinuxClockInput.h"
#include "platform/linux/PacedTimer.h"
#include "platform/linux/ProgramEnd.h"
#include "platform/linux/QtPlatform.h"
#include "platform/linux/QtUpdateWindows.h"
#include "platform/linux/QtWindow.h"
#include "platform/linux/SessionType.h"
#include "platform/linux/SingleInstance.h"
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

// Last: its macros (Bool, Status, None) break the Qt headers.
#include <X11/Xlib.h>

namespace {

// A second start waits this long for the running instance.
constexpr int kAskTimeoutMs = 2000;

// Kept open until Qt has its own connection: a server whose last client
// leaves resets itself, and would refuse Qt for that moment.
struct DisplayCheck {
    Display* display = nullptr;
    ~DisplayCheck() { Close(); }
    void Close() {
        if (display != nullptr) XCloseDisplay(display);
        display = nullptr;
    }
};

QIcon ProgramIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 64}) icon.addFile(QStringLiteral(":/restlevel-%1.png").arg(size));
    return icon;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace rl;

    // The update component looks at the command line here, before anything
    // else runs (installer switches; an installer run ends the process).
    // The arguments as started, before Qt takes its own options out.
    linuxapp::Application application(argc, argv);
    {
        // The installer takes no instance lock and needs no display.
        const std::unique_ptr<IRegistry> registry = CreateRegistry();
        const std::unique_ptr<ITextSystem> textSystem = CreateTextSystem();
        const std::unique_ptr<IFileSystem> files = CreateFileSystem();
        const std::unique_ptr<ICrypto> crypto = CreateCrypto();
        PortSet installer;
        installer.registry = registry.get();
        installer.text = textSystem.get();
        installer.files = files.get();
        installer.application = &application;
        installer.crypto = crypto.get();
        const InstalledPorts ports(installer);
        HandleUpdateSwitch(BuiltInUpdateKeys());
    }

    // In an X11 session idle time, the foreground window and the window
    // list all come from the X server, so the window has to live there too.
    // A Wayland session's come from the compositor, and needs no X display.
    const SessionKind session = CurrentSession();
    DisplayCheck displayCheck;
    if (session == SessionKind::X11) {
        displayCheck.display = XOpenDisplay(nullptr);
        if (displayCheck.display == nullptr) {
            std::fprintf(stderr, "restlevel: no X display (DISPLAY is not set or cannot be opened)\n");
            return 1;
        }
    }
    qputenv("QT_QPA_PLATFORM", QtPlatformFor(session, std::getenv("QT_QPA_PLATFORM")).c_str());

    QApplication app(argc, argv);
    displayCheck.Close();
    QApplication::setApplicationName(QStringLiteral("RestLevel"));
    // No display name: Qt would append it to every other window's title
    // ("RestLevel Update — RestLevel"); the application name serves instead.
    QApplication::setDesktopFileName(QStringLiteral("restlevel"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(ProgramIcon());

    const char* display = std::getenv(session == SessionKind::X11 ? "DISPLAY" : "WAYLAND_DISPLAY");
    const std::string displayName = display != nullptr ? display : "";
    SingleInstance instance(session == SessionKind::X11 ? SingleInstance::SocketPath(displayName)
                                                        : SingleInstance::WaylandSocketPath(displayName));
    const char* activation = std::getenv("XDG_ACTIVATION_TOKEN");
    if (instance.AskRunningInstance(kAskTimeoutMs, activation != nullptr ? activation : "")) return 0;
    TfrmRestLevel* running = nullptr;
    bool showWhenRunning = false;
    const bool holdsInstance = instance.Listen([&](const std::string& token) {
        // Qt's Wayland platform activates the window with this token the
        // next time it is asked to; elsewhere it would only leak to children.
        if (!token.empty() && QGuiApplication::platformName() == QLatin1String("wayland"))
            qputenv("XDG_ACTIVATION_TOKEN", token.c_str());
        if (running != nullptr) running->tiMainClick();
        else showWhenRunning = true;
    });
    if (!holdsInstance)
        std::fprintf(stderr, "restlevel: another start took the instance name; running without it\n");

    // The ending signals may come before the loop runs; they are then
    // answered once it does.
    bool endRequested = false;
    EndSignals endSignals([&](int) {
        if (endRequested) return;
        endRequested = true;
        if (running != nullptr) running->Exit1Click();
        // During start-up the update notes may be waiting for an answer:
        // closing them answers No, and the start ends here.
        else if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });

    const std::unique_ptr<IRegistry> registry = CreateRegistry();
    const std::unique_ptr<ITextSystem> textSystem = CreateTextSystem();
    const std::unique_ptr<ISnapshotPort> snapshots = CreateSnapshotPort();
    const std::unique_ptr<IFileSystem> files = CreateFileSystem();
    qt::ScreenCursor cursor;
    const std::unique_ptr<IInternet> internet = CreateInternet();
    qt::UpdateWindowFactory updateWindows;
    const std::unique_ptr<ICrypto> crypto = CreateCrypto();
    const InstalledPorts ports({registry.get(), textSystem.get(), snapshots.get(), files.get(), &cursor,
                                &MessagePump(), &application, internet.get(), &updateWindows, crypto.get()});
    // An earlier update's leftovers, cleared only by the one instance (a
    // start that lost the race may run beside a download under way) and
    // only when no installer is at work.
    if (holdsInstance) ClearEarlierStaging();
    TSessionClock sessionClock = CreateSessionClock(session);
    const std::unique_ptr<IClockInput> clock = std::move(sessionClock.Clock);
    const std::unique_ptr<IAudioDevices> devices = CreateAudioDevices();

    qt::MainWindow window;
    window.SetForegroundUnknown(!sessionClock.TellsForeground);
    // tmrCheck sleeps through the ticks that cannot change anything (see
    // PacedTimer.h); what it needs to know comes from the form's state.
    TfrmRestLevel* paced = nullptr;
    PacedTimer tmrCheck([&] {
        TickPace pace;
        pace.disabled = window.DisableRestLevel1.Checked();
        pace.resting = window.tiMain.ImageIndex() == kImageResting;
        if (paced != nullptr) {
            pace.idle = paced->Monitor.PrevIdleTime;
            pace.threshold = paced->Monitor.IdleThreshold;
        }
        return pace;
    });
    qt::SetAfterHandlerHook([&tmrCheck] { tmrCheck.Reschedule(); });
    // The session's own full-screen probe (in a Wayland session also the
    // compositor's full-screen toplevels).
    const std::unique_ptr<IAutoExceptions> autoExceptions = std::make_unique<TAutoExceptionProbes>(
        std::move(sessionClock.FullScreen), CreateDisplayKeptOnProbe(), CreateRecordingProbe());
    TfrmRestLevel form(window.Controls(),
                       TRestLevelServices{window, *clock, *devices, tmrCheck, MessagePump(), false, autoExceptions.get()});
    paced = &form;
    window.SetOnShow([&form] { form.FormShow(); });
    window.SetOnClose([&form] { return form.FormClose(); });
    if (ConfigureKzAutoUpdate1(form.KzAutoUpdate1, kLinuxPackagePath))
        form.StartupUpdateCheck = [&form] { RunStartupUpdate(form.KzAutoUpdate1); };

    // The session manager asks before logging out; there is nothing to save
    // and nothing to refuse. The desktop entry starts us again, not the
    // session's restore.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, [](QSessionManager& manager) {
        manager.setRestartHint(QSessionManager::RestartNever);
    });
    QObject::connect(&app, &QGuiApplication::saveStateRequest, [](QSessionManager& manager) {
        manager.setRestartHint(QSessionManager::RestartNever);
    });

    // False: the form has shown its error (and normally halted already).
    if (!StartRestLevel(form)) return 0;
    application.SetMainForm(&window);
    window.tiMain.Show();
    // Once, from the loop: the program stays in the tray, and with input
    // "now" for ever it never fades.
    if (sessionClock.Idle == TIdleSourceKind::Unavailable)
        QTimer::singleShot(0, &app, [&window] { window.ShowError("RestLevel cannot read the idle time in this session"); });

    // Qt leaves with exit() when the X connection breaks; the saved level
    // still goes back to the device then.
    ArmExitGuard([&form] { form.Monitor.RestoreSavedLevel(); });

    int code = 0;
    running = &form;
    if (showWhenRunning) form.tiMainClick();
    if (!endRequested) code = QApplication::exec();
    running = nullptr;
    application.SetMainForm(nullptr);
    qt::SetAfterHandlerHook(nullptr);

    form.FormDestroy();
    DisarmExitGuard();
    form.Volume.ReleaseEndpoint();
    return code;
}
