// Reading a Wayland connection without ever waiting on it: our clients of the
// compositors' protocols are asked from the program's timer and must answer
// at once with what the compositor has sent by then.
#pragma once

struct wl_display;

namespace rl::wayland {

// Sends what is queued, reads what the socket holds now (nothing if it holds
// nothing), and runs the listeners on it. False once the connection is gone
// or broken (the compositor ended, hung up or sent an error).
bool PumpWithoutWaiting(wl_display* display);

}  // namespace rl::wayland
