// The ways a desktop program is told to end besides its own Exit command:
// the signals of kill, Ctrl+C and the end of the session, and an exit that
// Qt takes by itself when the X connection breaks.
#pragma once

#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace rl {

// SIGTERM, SIGINT and SIGHUP, delivered on the user-interface thread: the
// handler only writes the signal's number into a pipe, and the event loop
// reads it and calls onSignal there.
class EndSignals {
public:
    explicit EndSignals(std::function<void(int)> onSignal);
    ~EndSignals();  // the default actions come back
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;
    bool Installed() const { return notifier_ != nullptr; }

private:
    void Drain();
    std::function<void(int)> onSignal_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// An action for exit() to run when the program did not end its own way;
// disarmed once the orderly end has done the same work. One at a time.
void ArmExitGuard(std::function<void()> action);
void DisarmExitGuard();

}  // namespace rl
