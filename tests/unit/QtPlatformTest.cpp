// Which Qt platform the Linux window and tray icon use.
#include <gtest/gtest.h>

#include "platform/linux/QtPlatform.h"

namespace rl {
namespace {

TEST(QtPlatformTest, X11SessionsStayOnX11AndWaylandSessionsPreferWaylandUnlessTheUserChose) {
    struct Case {
        SessionKind session;
        const char* requested;
        const char* expected;
    };
    const Case cases[] = {
        {SessionKind::X11, nullptr, "xcb"},
        // The input and the window list come from the X server there.
        {SessionKind::X11, "wayland", "xcb"},
        {SessionKind::Wayland, nullptr, "wayland;xcb"},
        {SessionKind::Wayland, "", "wayland;xcb"},
        // A user who turned Qt's Wayland platform off keeps it off.
        {SessionKind::Wayland, "xcb", "xcb"},
        {SessionKind::Wayland, "wayland", "wayland"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QtPlatformFor(c.session, c.requested), c.expected)
            << (c.session == SessionKind::X11 ? "X11" : "Wayland")
            << " QT_QPA_PLATFORM=" << (c.requested != nullptr ? c.requested : "(unset)");
    }
}

}  // namespace
}  // namespace rl
