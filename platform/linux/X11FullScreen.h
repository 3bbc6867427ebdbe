// Whether a window is full screen on the X display that DISPLAY names: a
// viewable window on the current desktop that has the full-screen state or
// covers a whole monitor. It asks on a connection of its own, from a worker
// thread, so that a hung server cannot hold the caller.
#pragma once

#include <chrono>
#include <memory>

#include "platform/AutoExceptions.h"

namespace rl::x11 {

// A probe that answers false when the server has not answered within the
// given time (CreateFullScreenProbe allows about half a second).
std::unique_ptr<IAutoExceptionProbe> CreateFullScreenProbe(std::chrono::milliseconds answerWithin);

}  // namespace rl::x11
