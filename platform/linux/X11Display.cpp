#include "platform/linux/X11Display.h"

#include <X11/Xatom.h>

#include <ctime>
#include <deque>

namespace rl::x11 {

namespace {

Display* gDisplay = nullptr;
bool gLost = false;           // the connection broke; reopened on next use
bool gTried = false;
std::int64_t gLastAttemptMs = 0;
int gLastError = 0;
unsigned gGeneration = 0;
Atoms gAtoms{};

constexpr std::int64_t kRetryMs = 1000;

std::int64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A window can vanish between any two requests; such errors are expected
// and must not end the process as Xlib's default handler would.
int OnXError(Display*, XErrorEvent* e) {
    gLastError = e->error_code;
    return 0;
}

int OnIOError(Display*) { return 0; }

// Called instead of exit() when the server goes away.
void OnIOErrorExit(Display*, void*) { gLost = true; }

void InternAtoms(Display* d) {
    const char* names[] = {"_NET_ACTIVE_WINDOW",
                           "_NET_WM_PID",
                           "_NET_WM_NAME",
                           "_NET_WM_WINDOW_TYPE",
                           "_NET_WM_STATE",
                           "_NET_WM_STATE_SKIP_TASKBAR",
                           "WM_STATE",
                           "UTF8_STRING",
                           "_NET_WM_WINDOW_TYPE_UTILITY",
                           "_NET_WM_WINDOW_TYPE_TOOLBAR",
                           "_NET_WM_WINDOW_TYPE_MENU",
                           "_NET_WM_WINDOW_TYPE_DOCK",
                           "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
                           "_NET_WM_WINDOW_TYPE_POPUP_MENU",
                           "_NET_WM_WINDOW_TYPE_TOOLTIP",
                           "_NET_WM_WINDOW_TYPE_NOTIFICATION",
                           "_NET_WM_WINDOW_TYPE_COMBO",
                           "_NET_WM_WINDOW_TYPE_DND"};
    constexpr int kCount = sizeof(names) / sizeof(names[0]);
    Atom atoms[kCount] = {};
    XInternAtoms(d, const_cast<char**>(names), kCount, False, atoms);
    gAtoms.NET_ACTIVE_WINDOW = atoms[0];
    gAtoms.NET_WM_PID = atoms[1];
    gAtoms.NET_WM_NAME = atoms[2];
    gAtoms.NET_WM_WINDOW_TYPE = atoms[3];
    gAtoms.NET_WM_STATE = atoms[4];
    gAtoms.NET_WM_STATE_SKIP_TASKBAR = atoms[5];
    gAtoms.WM_STATE = atoms[6];
    gAtoms.UTF8_STRING = atoms[7];
    gAtoms.toolWindowTypes.assign(atoms + 8, atoms + kCount);
}

}  // namespace

Display* SharedDisplay() {
    if (gDisplay != nullptr && gLost) CloseSharedDisplay();
    if (gDisplay != nullptr) return gDisplay;
    const std::int64_t now = MonotonicMs();
    if (gTried && now - gLastAttemptMs < kRetryMs) return nullptr;
    gTried = true;
    gLastAttemptMs = now;
    gDisplay = XOpenDisplay(nullptr);
    if (gDisplay == nullptr) return nullptr;
    ++gGeneration;
    XSetErrorHandler(OnXError);
    XSetIOErrorHandler(OnIOError);
    XSetIOErrorExitHandler(gDisplay, OnIOErrorExit, nullptr);
    InternAtoms(gDisplay);
    return gDisplay;
}

void CloseSharedDisplay() {
    if (gDisplay != nullptr) XCloseDisplay(gDisplay);
    gDisplay = nullptr;
    gLost = false;
    gTried = false;
}

bool ConnectionLost() { return gLost; }

unsigned ConnectionGeneration() { return gGeneration; }

const Atoms& SharedAtoms() { return gAtoms; }

int LastError() { return gLastError; }
void ResetLastError() { gLastError = 0; }

std::vector<unsigned long> Property32(Display* d, Window w, Atom property, Atom type) {
    std::vector<unsigned long> items;
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, property, 0, 1024, False, type, &actualType, &actualFormat, &count, &after,
                           &data) != Success)
        return items;
    // Format 32 items arrive as longs, whatever the size of long.
    if (data != nullptr && actualType == type && actualFormat == 32) {
        const auto* values = reinterpret_cast<const unsigned long*>(data);
        items.assign(values, values + count);
    }
    if (data != nullptr) XFree(data);
    return items;
}

std::optional<std::string> Property8(Display* d, Window w, Atom property, Atom type) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, property, 0, 65536, False, type, &actualType, &actualFormat, &count, &after,
                           &data) != Success)
        return std::nullopt;
    std::optional<std::string> text;
    if (data != nullptr && actualType != None && actualFormat == 8)
        text.emplace(reinterpret_cast<const char*>(data), count);
    if (data != nullptr) XFree(data);
    return text;
}

bool HasWmState(Display* d, Window w) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const Atom wmState = SharedAtoms().WM_STATE;
    if (XGetWindowProperty(d, w, wmState, 0, 0, False, AnyPropertyType, &actualType, &actualFormat, &count,
                           &after, &data) != Success)
        return false;
    if (data != nullptr) XFree(data);
    return actualType != None;
}

namespace {

std::vector<Window> Children(Display* d, Window w) {
    std::vector<Window> result;
    Window root = None, up = None;
    Window* kids = nullptr;
    unsigned int count = 0;
    if (XQueryTree(d, w, &root, &up, &kids, &count) == 0) return result;
    if (kids != nullptr) {
        result.assign(kids, kids + count);
        XFree(kids);
    }
    return result;
}

}  // namespace

Window ClientWindow(Display* d, Window topLevel) {
    if (HasWmState(d, topLevel)) return topLevel;
    // Breadth first: the client sits right inside the frame, or one level
    // deeper in managers that wrap it twice.
    std::deque<Window> queue;
    for (Window c : Children(d, topLevel)) queue.push_back(c);
    while (!queue.empty()) {
        const Window w = queue.front();
        queue.pop_front();
        if (HasWmState(d, w)) return w;
        for (Window c : Children(d, w)) queue.push_back(c);
    }
    return topLevel;
}

Window TopLevelOf(Display* d, Window w) {
    const Window root = DefaultRootWindow(d);
    if (w == None || w == root) return None;
    for (int depth = 0; depth < 64; ++depth) {
        Window parent = None;
        Window root2 = None;
        Window* kids = nullptr;
        unsigned int count = 0;
        if (XQueryTree(d, w, &root2, &parent, &kids, &count) == 0) return None;
        if (kids != nullptr) XFree(kids);
        if (parent == root2 || parent == None) return w;
        w = parent;
    }
    return None;
}

std::vector<Window> ClientWindows(Display* d) {
    std::vector<Window> tops = Children(d, DefaultRootWindow(d));
    std::vector<Window> clients;
    clients.reserve(tops.size());
    // The server lists the bottom of the stacking order first.
    for (auto it = tops.rbegin(); it != tops.rend(); ++it) clients.push_back(ClientWindow(d, *it));
    return clients;
}

}  // namespace rl::x11
