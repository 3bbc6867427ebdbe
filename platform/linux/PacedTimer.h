// tmrCheck of the idle monitor without the ticks that cannot change
// anything. The monitor acts only when the idle time crosses its threshold
// or drops from at or above it; while the user is below the threshold and
// the rest level is not in force, no tick before the moment the threshold
// can first be reached (the last input + the threshold) can do more than
// note the idle time, and input only moves that moment later. So the timer
// sleeps until then instead of waking ten times a second, and keeps its
// interval whenever input could matter (resting, or at or past the
// threshold). While the monitor is disabled no tick can do anything.
#pragma once

#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/Timer.h"

namespace rl {

struct TickPace {
    bool disabled = false;       // the tray menu's Disable mark
    bool resting = false;        // the rest level is in force
    std::uint32_t idle = 0;      // measured by the last tick, ms
    std::uint32_t threshold = 0; // ms
};

// Milliseconds until the next tick that can matter (at least the interval);
// nullopt: none until something changes.
std::optional<std::uint32_t> NextTickDelay(const TickPace& pace, std::uint32_t interval);

class PacedTimer : public ITimer {
public:
    // pace: the monitor's state after a tick.
    explicit PacedTimer(std::function<TickPace()> pace);

    void SetInterval(std::uint32_t milliseconds) override;
    std::uint32_t Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return enabled_; }
    void SetOnTimer(std::function<void()> handler) override { handler_ = std::move(handler); }

    // Something the pace depends on may have changed (a setting, the
    // Disable mark): the next tick comes one interval from now.
    void Reschedule();

private:
    void Tick();
    void Start(std::uint32_t delay);

    std::function<TickPace()> pace_;
    QTimer timer_;
    std::uint32_t interval_ = 1000;
    bool enabled_ = true;
    std::function<void()> handler_;
};

}  // namespace rl
