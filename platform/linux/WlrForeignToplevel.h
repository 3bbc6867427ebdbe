// The toplevels a wlroots compositor (sway, Hyprland, labwc, wayfire, niri)
// lists through its foreign-toplevel management, and which of them is
// activated. A connection of its own to the compositor, read only when
// asked and never waited on: the answers are what the compositor has sent
// by then.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rl::wayland {

struct TToplevel {
    std::string appId;  // empty when the client never gave one
    bool activated = false;
    bool fullScreen = false;
};

class TWlrForeignToplevel {
public:
    // Connects to the compositor (display empty: $WAYLAND_DISPLAY; a name or
    // an absolute socket path otherwise) and takes its first list with two
    // round trips. Null when no compositor answers or it does not offer the
    // foreign-toplevel manager.
    static std::unique_ptr<TWlrForeignToplevel> Connect(const std::string& display = {});
    ~TWlrForeignToplevel();
    TWlrForeignToplevel(const TWlrForeignToplevel&) = delete;
    TWlrForeignToplevel& operator=(const TWlrForeignToplevel&) = delete;

    // The app id of the activated toplevel after reading what is pending;
    // empty when none is activated, its app id is unknown, or the
    // compositor has gone away.
    std::string ActivatedAppId();
    // The activated toplevel after the same read; not activated (and empty)
    // when there is none.
    TToplevel Activated();
    // Every toplevel, in the order the compositor announced them, after the
    // same read; empty once the compositor has gone away.
    std::vector<TToplevel> Toplevels();
    // True once the connection broke or the compositor finished the list;
    // a lost client answers empty for good (connect again to go on).
    bool Lost() const;

    struct Impl;

private:
    explicit TWlrForeignToplevel(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace rl::wayland
