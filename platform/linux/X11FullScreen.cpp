#include "platform/linux/X11FullScreen.h"

// Before Xlib, whose None macro would clash with the port's names.
#include "platform/Platform.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/linux/X11Display.h"

namespace rl::x11 {

namespace {

constexpr std::uint32_t kAllDesktops = 0xFFFFFFFFu;
constexpr auto kAnswerWithin = std::chrono::milliseconds(400);

struct Rect {
    long x, y, w, h;
};

bool Covers(const Rect& window, const Rect& monitor) {
    return window.x <= monitor.x && window.y <= monitor.y && window.x + window.w >= monitor.x + monitor.w &&
           window.y + window.h >= monitor.y + monitor.h;
}

// Xlib hands 32-bit items over as longs, sign-extended.
std::uint32_t Card32(unsigned long item) { return static_cast<std::uint32_t>(item); }

bool Contains(const std::vector<unsigned long>& items, Atom atom) {
    return std::find(items.begin(), items.end(), atom) != items.end();
}

// Xlib's error handlers are one for the whole process. Errors on our
// connections (a window that vanished mid-read, a server that went away)
// are expected and only make that request fail; the others go to whoever
// handled them before us, so the shared connection's bookkeeping stays as
// it was. Xlib's own I/O error handler would end the process.
std::atomic<XErrorHandler> gPreviousHandler{nullptr};
std::atomic<XIOErrorHandler> gPreviousIOHandler{nullptr};
std::mutex gOursMutex;
std::vector<Display*> gOurs;

bool IsOurs(Display* d) {
    std::lock_guard<std::mutex> lock(gOursMutex);
    return std::find(gOurs.begin(), gOurs.end(), d) != gOurs.end();
}

int OnError(Display* d, XErrorEvent* e) {
    if (IsOurs(d)) return 0;
    const XErrorHandler previous = gPreviousHandler.load();
    return previous != nullptr ? previous(d, e) : 0;
}

int OnIOError(Display* d) {
    if (IsOurs(d)) return 0;
    const XIOErrorHandler previous = gPreviousIOHandler.load();
    return previous != nullptr ? previous(d) : 0;
}

// Put back in front on each use: the shared connection installs its own
// handlers whenever it reopens.
void InstallErrorHandlers() {
    const XErrorHandler previous = XSetErrorHandler(OnError);
    if (previous != OnError) gPreviousHandler.store(previous);
    const XIOErrorHandler previousIO = XSetIOErrorHandler(OnIOError);
    if (previousIO != OnIOError) gPreviousIOHandler.store(previousIO);
}

struct ProbeAtoms {
    Atom supportingWmCheck, clientList, currentDesktop, wmDesktop, wmState, fullScreen, hidden, windowType,
        typeDesktop, typeDock, icccmState;
};

// One connection of the probe's own, reopened when the server went away or
// DISPLAY names another one. Opened, used and closed on the worker thread.
class Connection {
public:
    ~Connection() { Close(); }

    Display* Get(const std::string& name) {
        if (d_ != nullptr && (lost_.load() || name != name_)) Close();
        if (d_ == nullptr) Open(name);
        return d_;
    }
    bool Lost() const { return lost_.load(); }
    const ProbeAtoms& Atoms() const { return atoms_; }

    void Close() {
        if (d_ == nullptr) return;
        XCloseDisplay(d_);
        std::lock_guard<std::mutex> lock(gOursMutex);
        gOurs.erase(std::remove(gOurs.begin(), gOurs.end(), d_), gOurs.end());
        d_ = nullptr;
    }

private:
    static void OnLost(Display*, void* self) { static_cast<Connection*>(self)->lost_.store(true); }

    void Open(const std::string& name) {
        lost_.store(false);
        Display* d = XOpenDisplay(name.c_str());
        if (d == nullptr) return;
        {
            std::lock_guard<std::mutex> lock(gOursMutex);
            gOurs.push_back(d);
        }
        // Instead of exit(): the requests fail from here on and the next
        // call opens a new connection.
        XSetIOErrorExitHandler(d, OnLost, this);
        const char* names[] = {"_NET_SUPPORTING_WM_CHECK",  "_NET_CLIENT_LIST",
                               "_NET_CURRENT_DESKTOP",      "_NET_WM_DESKTOP",
                               "_NET_WM_STATE",             "_NET_WM_STATE_FULLSCREEN",
                               "_NET_WM_STATE_HIDDEN",      "_NET_WM_WINDOW_TYPE",
                               "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DOCK",
                               "WM_STATE"};
        constexpr int kCount = sizeof(names) / sizeof(names[0]);
        Atom atoms[kCount] = {};
        XInternAtoms(d, const_cast<char**>(names), kCount, False, atoms);
        atoms_ = {atoms[0], atoms[1], atoms[2], atoms[3], atoms[4], atoms[5],
                  atoms[6], atoms[7], atoms[8], atoms[9], atoms[10]};
        d_ = d;
        name_ = name;
    }

    Display* d_ = nullptr;
    std::string name_;
    std::atomic<bool> lost_{false};
    ProbeAtoms atoms_{};
};

std::vector<Window> Children(Display* d, Window w) {
    std::vector<Window> result;
    Window root = 0, parent = 0;
    Window* kids = nullptr;
    unsigned int count = 0;
    if (XQueryTree(d, w, &root, &parent, &kids, &count) == 0) return result;
    if (kids != nullptr) {
        result.assign(kids, kids + count);
        XFree(kids);
    }
    return result;
}

// The monitors as RandR reports them (active ones); the whole screen when
// the server has no monitors to tell of.
std::vector<Rect> Monitors(Display* d, Window root) {
    std::vector<Rect> monitors;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (XRRQueryExtension(d, &eventBase, &errorBase) && XRRQueryVersion(d, &major, &minor) &&
        (major > 1 || (major == 1 && minor >= 5))) {
        int count = 0;
        XRRMonitorInfo* info = XRRGetMonitors(d, root, True, &count);
        for (int i = 0; info != nullptr && i < count; ++i) {
            if (info[i].width > 0 && info[i].height > 0)
                monitors.push_back({info[i].x, info[i].y, info[i].width, info[i].height});
        }
        if (info != nullptr) XRRFreeMonitors(info);
    }
    if (monitors.empty()) {
        // The root's geometry now, not the size the connection began with.
        Window rootOut = 0;
        int x = 0, y = 0;
        unsigned int w = 0, h = 0, border = 0, depth = 0;
        if (XGetGeometry(d, root, &rootOut, &x, &y, &w, &h, &border, &depth) != 0)
            monitors.push_back({0, 0, static_cast<long>(w), static_cast<long>(h)});
    }
    return monitors;
}

// A window manager that follows the desktop conventions runs: the root
// names a check window that names itself (a crashed manager leaves the
// root's property behind, pointing at a window that is gone).
bool ManagerRuns(Display* d, Window root, const ProbeAtoms& a) {
    const auto check = Property32(d, root, a.supportingWmCheck, XA_WINDOW);
    if (check.empty()) return false;
    const auto self = Property32(d, check[0], a.supportingWmCheck, XA_WINDOW);
    return !self.empty() && self[0] == check[0];
}

bool HasIcccmState(Display* d, Window w, Atom wmState) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, wmState, 0, 0, False, AnyPropertyType, &type, &format, &count, &after, &data) !=
        Success)
        return false;
    if (data != nullptr) XFree(data);
    return type != 0;
}

// The client inside a top-level window: the window itself when it has
// WM_STATE, else a descendant that has it (a manager's frame), else itself.
Window ClientOf(Display* d, Window top, Atom wmState) {
    if (HasIcccmState(d, top, wmState)) return top;
    std::deque<std::pair<Window, int>> queue;
    for (Window c : Children(d, top)) queue.emplace_back(c, 1);
    while (!queue.empty()) {
        const auto [w, depth] = queue.front();
        queue.pop_front();
        if (HasIcccmState(d, w, wmState)) return w;
        if (depth < 3)
            for (Window c : Children(d, w)) queue.emplace_back(c, depth + 1);
    }
    return top;
}

// The client's own rectangle in root coordinates covers a monitor. Not its
// frame's: a maximized window's frame fills a monitor without a panel, but
// its title bar stays, and a window with its title bar on screen is not full
// screen.
bool AnyCovers(Display* d, Window root, Window client, const XWindowAttributes& attrs,
               const std::vector<Rect>& monitors) {
    int x = 0, y = 0;
    Window child = 0;
    if (XTranslateCoordinates(d, client, root, 0, 0, &x, &y, &child) == 0) return false;
    const Rect r{x, y, attrs.width, attrs.height};
    for (const Rect& m : monitors)
        if (Covers(r, m)) return true;
    return false;
}

bool FullScreen(Display* d, const ProbeAtoms& a, Window root, Window client, const std::uint32_t* currentDesktop,
                const std::vector<Rect>& monitors) {
    XWindowAttributes attrs{};
    if (XGetWindowAttributes(d, client, &attrs) == 0) return false;
    // Menus, tooltips and screen lockers: a locked screen must still fade.
    if (attrs.override_redirect || attrs.map_state != IsViewable) return false;
    const auto types = Property32(d, client, a.windowType, XA_ATOM);
    if (Contains(types, a.typeDesktop) || Contains(types, a.typeDock)) return false;
    const auto desktop = Property32(d, client, a.wmDesktop, XA_CARDINAL);
    if (currentDesktop != nullptr && !desktop.empty() && Card32(desktop[0]) != kAllDesktops &&
        Card32(desktop[0]) != *currentDesktop)
        return false;
    const auto state = Property32(d, client, a.wmState, XA_ATOM);
    if (Contains(state, a.hidden)) return false;
    if (Contains(state, a.fullScreen)) return true;
    return AnyCovers(d, root, client, attrs, monitors);
}

bool AnyFullScreen(Display* d, const ProbeAtoms& a) {
    const Window root = DefaultRootWindow(d);
    const std::vector<Rect> monitors = Monitors(d, root);
    const auto current = Property32(d, root, a.currentDesktop, XA_CARDINAL);
    const std::uint32_t currentValue = current.empty() ? 0 : Card32(current[0]);
    const std::uint32_t* currentDesktop = current.empty() ? nullptr : &currentValue;

    if (ManagerRuns(d, root, a)) {
        const auto clients = Property32(d, root, a.clientList, XA_WINDOW);
        if (!clients.empty()) {
            for (unsigned long w : clients)
                if (w != root && FullScreen(d, a, root, w, currentDesktop, monitors)) return true;
            return false;
        }
    }
    for (Window top : Children(d, root)) {
        XWindowAttributes attrs{};
        if (XGetWindowAttributes(d, top, &attrs) == 0 || attrs.map_state != IsViewable) continue;
        if (FullScreen(d, a, root, ClientOf(d, top, a.icccmState), currentDesktop, monitors)) return true;
    }
    return false;
}

// Asks once; once more on a new connection when the old one turns out to
// be broken (the server was restarted since the last call).
bool Ask(Connection& connection, const std::string& name) {
    InstallErrorHandlers();
    for (int attempt = 0; attempt < 2; ++attempt) {
        Display* d = connection.Get(name);
        if (d == nullptr) return false;
        const bool answer = AnyFullScreen(d, connection.Atoms());
        if (!connection.Lost()) return answer;
    }
    return false;
}

// What the caller and the worker share; the worker keeps it alive when the
// caller has stopped waiting (or the probe is gone).
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t asked = 0;
    std::uint64_t answered = 0;
    std::string display;
    bool answer = false;
    bool stop = false;
    bool finished = false;
};

// One thread owns the connection from its opening to its closing: after an
// I/O error Xlib leaves the connection locked by the thread that met it, and
// closing it from another thread would wait forever.
void Work(std::shared_ptr<Shared> shared) {
    {
        Connection connection;
        std::unique_lock<std::mutex> lock(shared->mutex);
        for (;;) {
            shared->changed.wait(lock, [&] { return shared->stop || shared->asked != shared->answered; });
            if (shared->stop) break;
            const std::uint64_t ticket = shared->asked;
            const std::string display = shared->display;
            lock.unlock();
            const bool answer = Ask(connection, display);
            lock.lock();
            shared->answer = answer;
            shared->answered = ticket;
            shared->changed.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->finished = true;
    shared->changed.notify_all();
}

class FullScreenProbe : public IAutoExceptionProbe {
public:
    explicit FullScreenProbe(std::chrono::milliseconds answerWithin) : answerWithin_(answerWithin) {}

    ~FullScreenProbe() override {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->stop = true;
        shared_->changed.notify_all();
        if (!worker_.joinable()) return;
        // Closing the connection costs a round trip; a worker held by a hung
        // server is left to end on its own.
        const bool finished = shared_->changed.wait_for(lock, answerWithin_, [&] { return shared_->finished; });
        lock.unlock();
        if (finished) worker_.join();
        else worker_.detach();
    }

    bool Holds() override {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0') return false;

        std::unique_lock<std::mutex> lock(shared_->mutex);
        // The worker still waits on a server that stopped answering.
        if (shared_->asked != shared_->answered) return false;
        if (!worker_.joinable()) {
            try {
                worker_ = std::thread(Work, shared_);
            } catch (const std::system_error&) {
                return false;
            }
        }
        shared_->display = display;
        const std::uint64_t ticket = ++shared_->asked;
        shared_->changed.notify_all();
        if (!shared_->changed.wait_for(lock, answerWithin_, [&] { return shared_->answered == ticket; })) return false;
        return shared_->answer;
    }

private:
    std::chrono::milliseconds answerWithin_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::thread worker_;
};

}  // namespace

std::unique_ptr<IAutoExceptionProbe> CreateFullScreenProbe(std::chrono::milliseconds answerWithin) {
    return std::make_unique<FullScreenProbe>(answerWithin);
}

}  // namespace rl::x11

namespace rl {

std::unique_ptr<IAutoExceptionProbe> CreateFullScreenProbe() { return x11::CreateFullScreenProbe(x11::kAnswerWithin); }

}  // namespace rl
