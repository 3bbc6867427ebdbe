// Which display server a Linux session's input is read from.
#include <gtest/gtest.h>

#include "platform/linux/SessionType.h"

namespace rl {
namespace {

TEST(SessionTypeTest, TheSessionTypeDecidesAndTheWaylandSocketOnlyWhenItIsNotSaid) {
    struct Case {
        const char* type;
        const char* display;
        SessionKind expected;
    };
    const Case cases[] = {
        {"x11", nullptr, SessionKind::X11},
        // A nested compositor in an X11 session: still X11.
        {"x11", "wayland-0", SessionKind::X11},
        {"wayland", "wayland-0", SessionKind::Wayland},
        // Said so, even before the compositor's socket is known.
        {"wayland", nullptr, SessionKind::Wayland},
        {"wayland", "", SessionKind::Wayland},
        // Started by hand or from a console login: the socket tells.
        {nullptr, "wayland-1", SessionKind::Wayland},
        {"tty", "wayland-1", SessionKind::Wayland},
        {"unspecified", "/run/user/1000/wayland-0", SessionKind::Wayland},
        {"", "wayland-0", SessionKind::Wayland},
        // Neither: as before, X11.
        {nullptr, nullptr, SessionKind::X11},
        {nullptr, "", SessionKind::X11},
        {"tty", nullptr, SessionKind::X11},
        // Only the exact lower-case names that logind sets count.
        {"X11x", "wayland-0", SessionKind::Wayland},
        {"x11 ", nullptr, SessionKind::X11},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ChooseSession(c.type, c.display), c.expected)
            << "XDG_SESSION_TYPE=" << (c.type != nullptr ? c.type : "(unset)")
            << " WAYLAND_DISPLAY=" << (c.display != nullptr ? c.display : "(unset)");
    }
}

}  // namespace
}  // namespace rl
