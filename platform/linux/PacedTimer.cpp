#include "platform/linux/PacedTimer.h"

#include <algorithm>
#include <climits>

namespace rl {

std::optional<std::uint32_t> NextTickDelay(const TickPace& pace, std::uint32_t interval) {
    if (pace.disabled) return std::nullopt;
    if (pace.resting || pace.idle >= pace.threshold) return interval;
    return std::max(interval, pace.threshold - pace.idle);
}

PacedTimer::PacedTimer(std::function<TickPace()> pace) : pace_(std::move(pace)) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    Start(interval_);
}

void PacedTimer::SetInterval(std::uint32_t milliseconds) {
    if (milliseconds == interval_) return;
    interval_ = milliseconds;
    Start(interval_);
}

void PacedTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    Start(interval_);
}

void PacedTimer::Reschedule() {
    if (!timer_.isActive() || timer_.remainingTime() > static_cast<int>(interval_)) Start(interval_);
}

void PacedTimer::Start(std::uint32_t delay) {
    if (enabled_ && interval_ > 0) timer_.start(static_cast<int>(std::min<std::uint32_t>(delay, INT_MAX)));
    else timer_.stop();
}

void PacedTimer::Tick() {
    if (handler_) handler_();
    // The handler may have switched the timer off (a fade does, and on
    // again when it is done).
    if (!enabled_ || interval_ == 0) return;
    const std::optional<std::uint32_t> delay = NextTickDelay(pace_ ? pace_() : TickPace{}, interval_);
    if (delay) Start(*delay);
    else timer_.stop();
}

}  // namespace rl
