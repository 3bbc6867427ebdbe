// Which display server a Linux session's input is read from. Decided from the
// session's own description, not from what happens to be reachable: a Wayland
// session usually has an XWayland display too, and that one only sees input
// that goes to X11 windows.
#pragma once

namespace rl {

enum class SessionKind { X11, Wayland };

// xdgSessionType: XDG_SESSION_TYPE, waylandDisplay: WAYLAND_DISPLAY; either
// may be null (unset).
SessionKind ChooseSession(const char* xdgSessionType, const char* waylandDisplay);

// The same from this process's environment.
SessionKind CurrentSession();

}  // namespace rl
