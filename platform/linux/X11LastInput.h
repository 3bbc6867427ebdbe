// The tick of the last keyboard or mouse input, from the X server's idle
// time, without a round trip to the server on every call.
#pragma once

#include <cstdint>

namespace rl::x11 {

// now: the current tick; the result is on the same clock, or kNoInputTick
// when the server cannot tell (no display, no screen saver extension).
std::uint32_t LastInputTick(std::uint32_t now);

}  // namespace rl::x11
