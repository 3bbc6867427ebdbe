// The clock and input of the session the program runs in. An X11 session
// reads the X server; a Wayland session reads only what its compositor (or
// GNOME's mutter) tells, never XWayland, which sees only input to X11
// windows.
#pragma once

#include <memory>

#include "platform/AutoExceptions.h"
#include "platform/ClockInput.h"
#include "platform/linux/SessionType.h"

namespace rl {

enum class TIdleSourceKind { X11, ExtIdleNotify, KdeKwinIdle, MutterIdleMonitor, Unavailable };

struct TSessionClock {
    std::unique_ptr<IClockInput> Clock;
    // Unavailable: the input counts as "now" for ever, so the volume never fades.
    TIdleSourceKind Idle = TIdleSourceKind::Unavailable;
    // False: the session tells nothing about the program in front.
    bool TellsForeground = true;
    // The full-screen probe of the automatic exceptions for this session;
    // in a Wayland session it reads the clock's toplevels, so it must not
    // outlive the clock.
    std::unique_ptr<IAutoExceptionProbe> FullScreen;
};

// Connects to the session's sources once, here.
TSessionClock CreateSessionClock(SessionKind session);

const char* IdleSourceName(TIdleSourceKind kind);

}  // namespace rl
