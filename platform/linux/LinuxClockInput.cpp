// Clock and input on Linux: the monotonic clock as a wrapping 32-bit
// millisecond tick, the X server's idle time for the last input, and the
// active (or focused) client window as the foreground window.
// Before Xlib, whose None macro would clash with the port's names.
#include "platform/Platform.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <ctime>

#include "platform/linux/X11Display.h"
#include "platform/linux/X11LastInput.h"

namespace rl {

namespace {

class LinuxClockInput : public IClockInput {
public:
    std::uint32_t GetTickCount() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
        return static_cast<std::uint32_t>(ms);
    }

    std::uint32_t GetLastInputTick() override { return x11::LastInputTick(GetTickCount()); }

    WindowHandle GetForegroundWindow() override {
        Display* d = x11::SharedDisplay();
        if (d == nullptr) return 0;
        const Window root = DefaultRootWindow(d);
        // A manager that ended may leave its last answer behind on the root.
        const auto active = x11::Property32(d, root, x11::SharedAtoms().NET_ACTIVE_WINDOW, XA_WINDOW);
        XWindowAttributes attributes;
        if (!active.empty() && active[0] != None && XGetWindowAttributes(d, active[0], &attributes) != 0)
            return static_cast<WindowHandle>(active[0]);

        // No window manager says which window is active: take the focus.
        Window focus = None;
        int revert = 0;
        XGetInputFocus(d, &focus, &revert);
        if (focus == None || focus == PointerRoot) return 0;
        const Window top = x11::TopLevelOf(d, focus);
        if (top == None) return 0;
        return static_cast<WindowHandle>(x11::ClientWindow(d, top));
    }
};

}  // namespace

std::unique_ptr<IClockInput> CreateClockInput() { return std::make_unique<LinuxClockInput>(); }

}  // namespace rl
