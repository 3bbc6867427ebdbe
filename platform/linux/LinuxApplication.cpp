#include "platform/linux/LinuxApplication.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <vector>

#include "platform/Platform.h"

namespace rl::linuxapp {

Application::Application(int argc, char** argv) {
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) arguments_.emplace_back(argv[i]);
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

void Application::MessageBox(const std::string& text, std::uint32_t flags) {
    const QString title = QString::fromUtf8(ApplicationTitle().data(), static_cast<qsizetype>(ApplicationTitle().size()));
    const QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s: %s\n", ApplicationTitle().c_str(), text.c_str());
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
