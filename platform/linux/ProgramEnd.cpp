#include "platform/linux/ProgramEnd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace rl {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Both ends of the pipe; the handler writes the first.
int gPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe already holds a request to end: losing this one is fine.
    [[maybe_unused]] const ssize_t written = write(gPipe[0], &byte, 1);
    errno = saved;
}

std::function<void()> gExitAction;
bool gGuardRegistered = false;

void RunExitGuard() {
    if (!gExitAction) return;
    const std::function<void()> action = std::move(gExitAction);
    gExitAction = nullptr;
    action();
}

}  // namespace

EndSignals::EndSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    if (gPipe[0] >= 0) return;  // one set of handlers per process
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, gPipe) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(gPipe[1], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int s : kSignals) sigaction(s, &action, nullptr);
}

EndSignals::~EndSignals() {
    if (notifier_ == nullptr) return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int s : kSignals) sigaction(s, &action, nullptr);
    notifier_.reset();
    close(gPipe[0]);
    close(gPipe[1]);
    gPipe[0] = gPipe[1] = -1;
}

void EndSignals::Drain() {
    unsigned char received[16];
    ssize_t n = 0;
    while ((n = read(gPipe[1], received, sizeof received)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            if (onSignal_) onSignal_(received[i]);
    }
}

void ArmExitGuard(std::function<void()> action) {
    gExitAction = std::move(action);
    if (!gGuardRegistered) gGuardRegistered = std::atexit(RunExitGuard) == 0;
}

void DisarmExitGuard() { gExitAction = nullptr; }

}  // namespace rl
