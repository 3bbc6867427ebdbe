// Clock and user input: the 32-bit wrapping millisecond tick, the tick of the
// last keyboard or mouse input on the same clock, and the program in front.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Types.h"

namespace rl {

// What the session tells about the program in front. X11 and Windows name a
// window; a Wayland compositor names at most a process (KWin) or an app id
// (wlroots), and some (GNOME) nothing at all.
struct TForeground {
    enum class TKind { Window, ProcessId, AppId, Unknown };
    TKind Kind = TKind::Unknown;
    WindowHandle Window = 0;
    std::uint32_t ProcessId = 0;
    std::string AppId;
};

class IClockInput {
public:
    virtual ~IClockInput() = default;

    // Milliseconds since an arbitrary origin, wrapping at 2^32.
    virtual std::uint32_t GetTickCount() = 0;

    // Tick of the last keyboard or mouse input; 0xFFFFFFFF when it cannot be read.
    virtual std::uint32_t GetLastInputTick() = 0;

    // The window the user works in; compared for equality only. 0 for none.
    virtual WindowHandle GetForegroundWindow() = 0;

    // The program in front in whatever terms the session gives it; by
    // default the foreground window.
    virtual TForeground GetForeground() {
        TForeground foreground;
        foreground.Kind = TForeground::TKind::Window;
        foreground.Window = GetForegroundWindow();
        return foreground;
    }
};

constexpr std::uint32_t kNoInputTick = 0xFFFFFFFFu;

}  // namespace rl
