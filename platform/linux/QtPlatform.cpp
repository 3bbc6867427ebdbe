#include "platform/linux/QtPlatform.h"

namespace rl {

std::string QtPlatformFor(SessionKind session, const char* requested) {
    // In an X11 session a Wayland platform could only be a nested
    // compositor, away from the desktop the user sees.
    if (session == SessionKind::X11) return "xcb";
    if (requested != nullptr && requested[0] != '\0') return requested;
    // Qt tries the names in order and takes the first that loads.
    return "wayland;xcb";
}

}  // namespace rl
