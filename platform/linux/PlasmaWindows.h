// The windows KWin lists through its plasma window management, and which of
// them is active: its process id and whether it is full screen. A connection
// of its own to the compositor, read only when asked and never waited on:
// the answers are what KWin has sent by then.
//
// KWin 5.27 offers this interface only to clients it trusts (a desktop file
// naming it in X-KDE-Wayland-Interfaces for the program's file), or to every
// client when started with KWIN_WAYLAND_NO_PERMISSION_CHECKS=1.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace rl::wayland {

class TPlasmaWindows {
public:
    // Connects to the compositor (display empty: $WAYLAND_DISPLAY; a name or
    // an absolute socket path otherwise) and takes the first list of windows
    // with their states (three round trips). Null when no compositor answers
    // or it does not offer plasma window management to us.
    static std::unique_ptr<TPlasmaWindows> Connect(const std::string& display = {});
    ~TPlasmaWindows();
    TPlasmaWindows(const TPlasmaWindows&) = delete;
    TPlasmaWindows& operator=(const TPlasmaWindows&) = delete;

    // The process id of the active window after reading what is pending;
    // 0 when none is active, its process is unknown, or KWin has gone away.
    std::uint32_t ActiveProcessId();
    // The active window is full screen (after the same read); false when
    // there is none or KWin has gone away.
    bool FullScreenActive();
    // True once the connection broke or KWin withdrew the interface; a lost
    // client answers 0/false for good (connect again to go on).
    bool Lost() const;

    struct Impl;

private:
    explicit TPlasmaWindows(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace rl::wayland
