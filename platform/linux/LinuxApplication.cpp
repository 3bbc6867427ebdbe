#include "platform/linux/LinuxApplication.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMessageBox>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"

// Last: its macros (Bool, Status, None) break the Qt headers.
#include <X11/Xlib.h>

namespace rl::linuxapp {

Application::Application(int argc, char** argv) : argc_(argc), argv_(argv) {
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) arguments_.emplace_back(argv[i]);
}

Application::~Application() { ReleaseInstallerLock(); }

namespace {

constexpr char kLockSuffix[] = " Installer.lock";
constexpr auto kPollInterval = std::chrono::milliseconds(10);

// The installer lock's file, opened (made, with create) below the user's
// temporary folder as the files port checked it: the folder must still be
// ours and closed to others, the file a regular file of ours, and no link is
// followed. -1 when any of that fails or, without create, when there is none.
int OpenInstallerLock(bool create) {
    const std::string folder = GetTempFolder();
    if (folder.empty()) return -1;
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return -1;
    struct stat st {};
    if (fstat(dir, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        close(dir);
        return -1;
    }
    const std::string name = FilterChars(ApplicationTitle(), FileNameChars, false, "", false) + kLockSuffix;
    const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    close(dir);
    if (fd < 0) return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool Application::HoldInstallerLock() {
    if (installerLock_ >= 0) return true;
    const int fd = OpenInstallerLock(true);
    if (fd < 0) return false;
    // Shared: a look holds it exclusively for a moment only, so this waits
    // no longer than that.
    int result = 0;
    do {
        result = flock(fd, LOCK_SH);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(fd);
        return false;
    }
    installerLock_ = fd;
    return true;
}

void Application::ReleaseInstallerLock() {
    if (installerLock_ >= 0) close(installerLock_);
    installerLock_ = -1;
}

bool Application::InstallerRunning() {
    const int fd = OpenInstallerLock(false);
    if (fd < 0) return false;
    const bool running = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return running;
}

bool Application::WaitForInstaller(std::uint32_t timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (InstallerRunning()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}

// The file the kernel started, whatever name or link it was started by.
std::string Application::ExeName() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

std::uint32_t Application::CurrentThreadId() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }

std::uint32_t Application::CurrentProcessId() { return static_cast<std::uint32_t>(getpid()); }

void Application::CloseMainForm() {
    if (mainForm_ != nullptr) mainForm_->Close();
}

// A QApplication for the boxes of a process that has none yet (the
// installer). False when there is no display to show them on.
bool Application::EnsureWidgets() {
    if (QCoreApplication* existing = QCoreApplication::instance())
        return qobject_cast<QApplication*>(existing) != nullptr;
    // Qt ends the process when it cannot reach the display: ask first, and
    // keep this connection until Qt has its own (see main).
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    qputenv("QT_QPA_PLATFORM", "xcb");
    ownApplication_ = std::make_unique<QApplication>(argc_, argv_);
    XCloseDisplay(display);
    // The program's icon, where its resources are linked in.
    QIcon icon;
    for (const int size : {16, 32, 48, 64}) {
        const QString file = QStringLiteral(":/restlevel-%1.png").arg(size);
        if (QFile::exists(file)) icon.addFile(file);
    }
    if (!icon.isNull()) QApplication::setWindowIcon(icon);
    return true;
}

void Application::MessageBox(const std::string& text, std::uint32_t flags) {
    const QString title = QString::fromUtf8(ApplicationTitle().data(), static_cast<qsizetype>(ApplicationTitle().size()));
    const QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (!EnsureWidgets()) {
        std::fprintf(stderr, "%s: %s\n", ApplicationTitle().c_str(), text.c_str());
        std::fflush(stderr);
        return;
    }
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (flags & 0xF0) {
        case kMbIconError: icon = QMessageBox::Critical; break;
        case kMbIconWarning: icon = QMessageBox::Warning; break;
        case kMbIconInformation: icon = QMessageBox::Information; break;
        default: break;
    }
    const QMessageBox::StandardButton button =
        (flags & kMbCancelOnly) != 0 ? QMessageBox::Cancel : QMessageBox::Ok;
    QMessageBox box(icon, title, message, button);
    box.setDefaultButton(button);
    box.setEscapeButton(button);
    box.exec();
}

void Application::ProcessMessages() { MessagePump().ProcessMessages(); }

void Application::Terminate(int exitCode) {
    std::fflush(nullptr);
    _exit(exitCode);
}

}  // namespace rl::linuxapp
