// A small X client for the integration tests: creates the top-level windows
// described on its command line, prints their ids, and lives until its
// standard input closes (so it never outlives the test that started it).
//
//   rl_test_window WINDOW...
//   WINDOW: comma-separated items: title=T, class=C, x=, y=, w=, h=,
//         hidden, tool (utility window type), skiptaskbar, override,
//         owner=N (transient for window N of this list), nopid, pid=N,
//         latin1 (title as a plain STRING WM_NAME only), fullscreen (asks the
//         window manager for the full-screen state), maximized, statehidden
//         (_NET_WM_STATE_HIDDEN), type=T (_NET_WM_WINDOW_TYPE_T, e.g.
//         type=DESKTOP), desktop=N (_NET_WM_DESKTOP)
// Output: one line "window N ID" per window, then "ready".
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct WindowDesc {
    std::string title = "RestLevel test window";
    std::string className = "RlTestWindow";
    int x = 10, y = 10, w = 200, h = 100;
    bool hidden = false, tool = false, skipTaskbar = false, overrideRedirect = false;
    bool noPid = false, latin1 = false;
    bool fullScreen = false, maximized = false, stateHidden = false;
    std::string type;
    long desktop = -1;
    long pid = -1;
    int owner = -1;
};

WindowDesc Parse(const std::string& text) {
    WindowDesc s;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(',', pos);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(pos, end - pos);
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (key == "title") s.title = value;
        else if (key == "class") s.className = value;
        else if (key == "x") s.x = std::atoi(value.c_str());
        else if (key == "y") s.y = std::atoi(value.c_str());
        else if (key == "w") s.w = std::atoi(value.c_str());
        else if (key == "h") s.h = std::atoi(value.c_str());
        else if (key == "hidden") s.hidden = true;
        else if (key == "tool") s.tool = true;
        else if (key == "skiptaskbar") s.skipTaskbar = true;
        else if (key == "override") s.overrideRedirect = true;
        else if (key == "owner") s.owner = std::atoi(value.c_str());
        else if (key == "nopid") s.noPid = true;
        else if (key == "pid") s.pid = std::atol(value.c_str());
        else if (key == "latin1") s.latin1 = true;
        else if (key == "fullscreen") s.fullScreen = true;
        else if (key == "maximized") s.maximized = true;
        else if (key == "statehidden") s.stateHidden = true;
        else if (key == "type") s.type = value;
        else if (key == "desktop") s.desktop = std::atol(value.c_str());
        pos = end + 1;
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) {
        std::fprintf(stderr, "rl_test_window: cannot open display\n");
        return 1;
    }
    const Window root = DefaultRootWindow(d);
    const Atom netWmPid = XInternAtom(d, "_NET_WM_PID", False);
    const Atom netWmName = XInternAtom(d, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    const Atom windowType = XInternAtom(d, "_NET_WM_WINDOW_TYPE", False);
    const Atom utility = XInternAtom(d, "_NET_WM_WINDOW_TYPE_UTILITY", False);
    const Atom wmState = XInternAtom(d, "_NET_WM_STATE", False);
    const Atom skipTaskbar = XInternAtom(d, "_NET_WM_STATE_SKIP_TASKBAR", False);

    std::vector<Window> windows;
    for (int i = 1; i < argc; ++i) {
        const WindowDesc s = Parse(argv[i]);
        XSetWindowAttributes attrs{};
        attrs.override_redirect = s.overrideRedirect ? True : False;
        attrs.background_pixel = WhitePixel(d, DefaultScreen(d));
        const Window w = XCreateWindow(d, root, s.x, s.y, static_cast<unsigned>(s.w), static_cast<unsigned>(s.h), 0,
                                       CopyFromParent, InputOutput, CopyFromParent,
                                       CWOverrideRedirect | CWBackPixel, &attrs);
        if (s.latin1) {
            XChangeProperty(d, w, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(s.title.data()), static_cast<int>(s.title.size()));
        } else {
            XStoreName(d, w, s.title.c_str());
            XChangeProperty(d, w, netWmName, utf8, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(s.title.data()), static_cast<int>(s.title.size()));
        }
        XClassHint hint{};
        std::string instance = "rltest";
        hint.res_name = instance.data();
        std::string cls = s.className;
        hint.res_class = cls.data();
        XSetClassHint(d, w, &hint);
        if (!s.noPid) {
            const long pid = s.pid >= 0 ? s.pid : static_cast<long>(getpid());
            XChangeProperty(d, w, netWmPid, XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&pid), 1);
        }
        if (s.tool) {
            const long type = static_cast<long>(utility);
            XChangeProperty(d, w, windowType, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&type), 1);
        }
        if (!s.type.empty()) {
            const long type = static_cast<long>(XInternAtom(d, ("_NET_WM_WINDOW_TYPE_" + s.type).c_str(), False));
            XChangeProperty(d, w, windowType, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&type), 1);
        }
        // The state a client asks for before it maps its window.
        std::vector<long> states;
        if (s.skipTaskbar) states.push_back(static_cast<long>(skipTaskbar));
        if (s.fullScreen) states.push_back(static_cast<long>(XInternAtom(d, "_NET_WM_STATE_FULLSCREEN", False)));
        if (s.stateHidden) states.push_back(static_cast<long>(XInternAtom(d, "_NET_WM_STATE_HIDDEN", False)));
        if (s.maximized) {
            states.push_back(static_cast<long>(XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_VERT", False)));
            states.push_back(static_cast<long>(XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_HORZ", False)));
        }
        if (!states.empty())
            XChangeProperty(d, w, wmState, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(states.data()), static_cast<int>(states.size()));
        if (s.desktop >= 0) {
            const long desktop = s.desktop;
            XChangeProperty(d, w, XInternAtom(d, "_NET_WM_DESKTOP", False), XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&desktop), 1);
        }
        if (s.owner >= 0 && static_cast<std::size_t>(s.owner) < windows.size())
            XSetTransientForHint(d, w, windows[static_cast<std::size_t>(s.owner)]);
        if (!s.hidden) XMapWindow(d, w);
        windows.push_back(w);
    }
    XSync(d, False);
    for (std::size_t i = 0; i < windows.size(); ++i) std::printf("window %zu %lu\n", i, windows[i]);
    std::printf("ready\n");
    std::fflush(stdout);

    // Live until the test closes our input; keep the connection serviced.
    pollfd fds[2] = {{0, POLLIN, 0}, {ConnectionNumber(d), POLLIN, 0}};
    for (;;) {
        while (XPending(d) > 0) {
            XEvent e;
            XNextEvent(d, &e);
        }
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[0].revents != 0) {
            char buffer[64];
            if (read(0, buffer, sizeof buffer) <= 0) break;
        }
        if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) break;
    }
    XCloseDisplay(d);
    return 0;
}
