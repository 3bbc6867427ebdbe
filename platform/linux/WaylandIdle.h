// The tick of the last input in a Wayland session, from the compositor's idle
// notifications: a notification with a one-second timeout says "idle" a
// second after the last input and "resumed" at the next one.
#pragma once

#include <cstdint>
#include <memory>

namespace rl::wayland {

enum class IdleProtocol { None, ExtIdleNotify, KdeKwinIdle };

const char* ProtocolName(IdleProtocol protocol);

class IdleSource {
public:
    // Connects to the compositor (display: a socket name or path; null for
    // WAYLAND_DISPLAY) and asks for a notification, preferring
    // ext-idle-notify-v1 over org_kde_kwin_idle. Null when there is no
    // compositor, no seat, or neither protocol. Waits for the compositor's
    // answer once, here; never again afterwards.
    static std::unique_ptr<IdleSource> Connect(const char* display, std::uint32_t now);
    ~IdleSource();
    IdleSource(const IdleSource&) = delete;
    IdleSource& operator=(const IdleSource&) = delete;

    IdleProtocol Protocol() const;

    // now: the current tick. Reads what the compositor sent without waiting;
    // the result is on the same clock, at most a second (plus the time since
    // the last call) late, or kNoInputTick once the compositor is gone.
    std::uint32_t LastInputTick(std::uint32_t now);

    struct State;

private:
    explicit IdleSource(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace rl::wayland
