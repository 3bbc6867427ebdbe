// The user-interface thread's timer and message pump on Qt's event loop.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <climits>

#include "platform/Platform.h"

namespace rl {

namespace {

// Runs only while enabled with a non-zero interval, like a Windows timer
// control (enabled, 1000 ms when created); a new interval for a running
// timer starts it anew.
class QtTimer : public ITimer {
public:
    QtTimer() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (handler_) handler_();
        });
        Apply();
    }

    void SetInterval(std::uint32_t milliseconds) override {
        if (milliseconds == interval_) return;
        interval_ = milliseconds;
        Apply();
    }
    std::uint32_t Interval() const override { return interval_; }

    void SetEnabled(bool enabled) override {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        Apply();
    }
    bool Enabled() const override { return enabled_; }

    void SetOnTimer(std::function<void()> handler) override { handler_ = std::move(handler); }

private:
    void Apply() {
        if (enabled_ && interval_ > 0) {
            timer_.start(static_cast<int>(std::min<std::uint32_t>(interval_, INT32_MAX)));
        } else {
            timer_.stop();
        }
    }

    QTimer timer_;
    std::uint32_t interval_ = 1000;
    bool enabled_ = true;
    std::function<void()> handler_;
};

class QtMessagePump : public IMessagePump {
public:
    void ProcessMessages() override {
        if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
};

}  // namespace

std::unique_ptr<ITimer> CreateTimer() { return std::make_unique<QtTimer>(); }

IMessagePump& MessagePump() {
    static QtMessagePump pump;
    return pump;
}

}  // namespace rl
