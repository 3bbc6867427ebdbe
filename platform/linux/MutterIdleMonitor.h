// The tick of the last input in a GNOME session, from mutter's idle monitor
// on the session bus (GNOME's Wayland compositor offers no idle protocol to
// clients).
#pragma once

#include <cstdint>
#include <memory>

namespace rl::gnome {

class MutterIdleMonitor {
public:
    MutterIdleMonitor();
    ~MutterIdleMonitor();
    MutterIdleMonitor(const MutterIdleMonitor&) = delete;
    MutterIdleMonitor& operator=(const MutterIdleMonitor&) = delete;

    // now: the current tick. Asks mutter for the idle time, waiting about
    // 300 ms at most; kNoInputTick when there is no session bus, no mutter,
    // or no answer of the expected type in time.
    std::uint32_t LastInputTick(std::uint32_t now);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace rl::gnome
