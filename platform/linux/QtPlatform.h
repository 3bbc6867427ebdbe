// Which of Qt's platforms the window and the tray icon use.
#pragma once

#include <string>

#include "platform/linux/SessionType.h"

namespace rl {

// requested: QT_QPA_PLATFORM as the user set it (may be null). An X11
// session always gets "xcb". A Wayland session gets what the user asked for,
// else Qt's Wayland platform with X11 (through XWayland) where that plugin
// is not installed or cannot connect.
std::string QtPlatformFor(SessionKind session, const char* requested);

}  // namespace rl
