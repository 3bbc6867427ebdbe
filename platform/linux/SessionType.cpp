#include "platform/linux/SessionType.h"

#include <cstdlib>
#include <cstring>

namespace rl {

SessionKind ChooseSession(const char* xdgSessionType, const char* waylandDisplay) {
    const bool typed = xdgSessionType != nullptr;
    // An X11 session may run a nested Wayland compositor; its socket does
    // not make the session a Wayland one.
    if (typed && std::strcmp(xdgSessionType, "x11") == 0) return SessionKind::X11;
    if (typed && std::strcmp(xdgSessionType, "wayland") == 0) return SessionKind::Wayland;
    // "tty", "unspecified" or nothing (started from a terminal or by hand):
    // the compositor's socket tells.
    if (waylandDisplay != nullptr && waylandDisplay[0] != '\0') return SessionKind::Wayland;
    return SessionKind::X11;
}

SessionKind CurrentSession() {
    return ChooseSession(std::getenv("XDG_SESSION_TYPE"), std::getenv("WAYLAND_DISPLAY"));
}

}  // namespace rl
