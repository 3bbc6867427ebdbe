// Clock and user input: the 32-bit wrapping millisecond tick, the tick of the
// last keyboard or mouse input on the same clock, and the foreground window.
#pragma once

#include <cstdint>

#include "platform/Types.h"

namespace rl {

class IClockInput {
public:
    virtual ~IClockInput() = default;

    // Milliseconds since an arbitrary origin, wrapping at 2^32.
    virtual std::uint32_t GetTickCount() = 0;

    // Tick of the last keyboard or mouse input; 0xFFFFFFFF when it cannot be read.
    virtual std::uint32_t GetLastInputTick() = 0;

    // The window the user works in; compared for equality only. 0 for none.
    virtual WindowHandle GetForegroundWindow() = 0;
};

constexpr std::uint32_t kNoInputTick = 0xFFFFFFFFu;

}  // namespace rl
