// Clock and input on Linux: the monotonic clock as a wrapping 32-bit
// millisecond tick; in an X11 session the X server's idle time for the last
// input and the active (or focused) client window as the foreground window;
// in a Wayland session the compositor's idle notifications (or mutter's idle
// monitor), and the app id of its activated toplevel (wlroots) or the process
// id of its active window (KWin).
// Before Xlib, whose None macro would clash with the port's names.
#include "platform/Platform.h"
#include "platform/linux/LinuxClockInput.h"
#include "platform/linux/MutterIdleMonitor.h"
#include "platform/linux/PlasmaWindows.h"
#include "platform/linux/WaylandIdle.h"
#include "platform/linux/WlrForeignToplevel.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <ctime>

#include "platform/linux/X11Display.h"
#include "platform/linux/X11LastInput.h"

namespace rl {

namespace {

std::uint32_t MonotonicTick() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

class LinuxClockInput : public IClockInput {
public:
    std::uint32_t GetTickCount() override { return MonotonicTick(); }

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

class WaylandClockInput : public IClockInput {
public:
    std::unique_ptr<wayland::IdleSource> idle;
    std::unique_ptr<gnome::MutterIdleMonitor> mutter;
    std::unique_ptr<wayland::TWlrForeignToplevel> toplevels;
    std::unique_ptr<wayland::TPlasmaWindows> plasma;  // KWin, which has no toplevel list

    std::uint32_t GetTickCount() override { return MonotonicTick(); }

    std::uint32_t GetLastInputTick() override {
        const std::uint32_t now = MonotonicTick();
        std::uint32_t tick = kNoInputTick;
        if (idle) tick = idle->LastInputTick(now);
        else if (mutter) tick = mutter->LastInputTick(now);
        // No source, or one that went away: the monitor would take
        // kNoInputTick for "idle since the clock started" and fade while the
        // user works. Input "now" never fades.
        return tick == kNoInputTick ? now : tick;
    }

    // No window of ours to compare with: the compositor names programs.
    WindowHandle GetForegroundWindow() override { return 0; }

    TForeground GetForeground() override {
        TForeground foreground;
        if (toplevels) {
            foreground.Kind = TForeground::TKind::AppId;
            foreground.AppId = toplevels->ActivatedAppId();
        } else if (plasma) {
            foreground.Kind = TForeground::TKind::ProcessId;
            foreground.ProcessId = plasma->ActiveProcessId();
        }
        return foreground;
    }
};

// A full-screen window in front, where the compositor tells its state;
// XWayland's X11 windows through the X11 probe.
class WaylandFullScreenProbe : public IAutoExceptionProbe {
public:
    WaylandFullScreenProbe(WaylandClockInput& clock, std::unique_ptr<IAutoExceptionProbe> x11)
        : clock_(clock), x11_(std::move(x11)) {}
    bool Holds() override {
        if (clock_.toplevels && clock_.toplevels->Activated().fullScreen) return true;
        if (clock_.plasma && clock_.plasma->FullScreenActive()) return true;
        return x11_ && x11_->Holds();
    }

private:
    WaylandClockInput& clock_;
    std::unique_ptr<IAutoExceptionProbe> x11_;
};

std::unique_ptr<WaylandClockInput> ConnectWayland(TSessionClock& chosen) {
    auto clock = std::make_unique<WaylandClockInput>();
    clock->idle = wayland::IdleSource::Connect(nullptr, MonotonicTick());
    if (clock->idle) {
        chosen.Idle = clock->idle->Protocol() == wayland::IdleProtocol::ExtIdleNotify ? TIdleSourceKind::ExtIdleNotify
                                                                                        : TIdleSourceKind::KdeKwinIdle;
    } else {
        // Asked once: a mutter that does not answer now is not GNOME's.
        auto mutter = std::make_unique<gnome::MutterIdleMonitor>();
        if (mutter->LastInputTick(MonotonicTick()) != kNoInputTick) {
            clock->mutter = std::move(mutter);
            chosen.Idle = TIdleSourceKind::MutterIdleMonitor;
        }
    }
    clock->toplevels = wayland::TWlrForeignToplevel::Connect();
    if (!clock->toplevels) clock->plasma = wayland::TPlasmaWindows::Connect();
    chosen.TellsForeground = clock->toplevels != nullptr || clock->plasma != nullptr;
    return clock;
}

}  // namespace

std::unique_ptr<IClockInput> CreateClockInput() { return std::make_unique<LinuxClockInput>(); }

TSessionClock CreateSessionClock(SessionKind session) {
    TSessionClock chosen;
    if (session == SessionKind::X11) {
        chosen.Clock = std::make_unique<LinuxClockInput>();
        chosen.Idle = TIdleSourceKind::X11;
        chosen.FullScreen = CreateFullScreenProbe();
        return chosen;
    }
    std::unique_ptr<WaylandClockInput> clock = ConnectWayland(chosen);
    // Without DISPLAY the X11 probe finds no server and never holds.
    chosen.FullScreen = std::make_unique<WaylandFullScreenProbe>(*clock, CreateFullScreenProbe());
    chosen.Clock = std::move(clock);
    return chosen;
}

const char* IdleSourceName(TIdleSourceKind kind) {
    switch (kind) {
        case TIdleSourceKind::X11: return "X11";
        case TIdleSourceKind::ExtIdleNotify: return "ext-idle-notify-v1";
        case TIdleSourceKind::KdeKwinIdle: return "org_kde_kwin_idle";
        case TIdleSourceKind::MutterIdleMonitor: return "org.gnome.Mutter.IdleMonitor";
        case TIdleSourceKind::Unavailable: break;
    }
    return "none";
}

}  // namespace rl
