// The full-screen probe against real X servers: each test runs an Xvfb of
// its own (the shared test display runs programs that must fade), with test
// windows, and for some cases openbox or two RandR monitors.
#include <gtest/gtest.h>

#include "platform/linux/X11FullScreen.h"
// After gtest and the port: Xlib defines macros (None, Bool) that clash with
// their names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/X11Display.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::Child;

// A loaded machine may take a while; the tests that are not about the time
// limit give the server plenty.
constexpr auto kPatient = 10s;

int QuietErrors(Display*, XErrorEvent*) { return 0; }
void IgnoreLostServer(Display*, void*) {}

// An Xvfb of the test's own; display: a number to take (":N"), else a
// free one.
class OwnServer {
public:
    explicit OwnServer(const std::string& size, const std::vector<std::string>& extra = {},
                       const std::string& display = {}) {
        std::vector<std::string> argv{"Xvfb"};
        if (!display.empty()) argv.push_back(display);
        for (const char* a : {"-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen", "0"}) argv.push_back(a);
        argv.push_back(size + "x24");
        argv.insert(argv.end(), extra.begin(), extra.end());
        process_ = std::make_unique<Child>(argv, std::map<std::string, std::string>{}, true);
        if (auto line = process_->ReadLine(20s); line && !line->empty()) name_ = ":" + *line;
    }
    ~OwnServer() { Stop(); }
    OwnServer(const OwnServer&) = delete;
    OwnServer& operator=(const OwnServer&) = delete;

    const std::string& Name() const { return name_; }
    pid_t Pid() const { return process_->Pid(); }
    void Stop() {
        if (process_->Pid() > 0) kill(process_->Pid(), SIGCONT);
        process_->Stop();
    }

private:
    std::unique_ptr<Child> process_;
    std::string name_;
};

class FullScreenProbeTest : public ::testing::Test {
protected:
    void SetUp() override { previousHandler_ = XSetErrorHandler(QuietErrors); }
    void TearDown() override {
        StopServer();
        env_.reset();
        XSetErrorHandler(previousHandler_);
    }

    // A server of the test's own, which DISPLAY names from now on.
    void StartServer(const std::string& size = "1280x1024", const std::vector<std::string>& extra = {},
                     const std::string& display = {}) {
        StopServer();
        // The old value comes back first, so that the new one is not undone.
        env_.reset();
        server_ = std::make_unique<OwnServer>(size, extra, display);
        ASSERT_FALSE(server_->Name().empty()) << "Xvfb did not start";
        env_ = std::make_unique<linuxtest::ScopedEnv>("DISPLAY", server_->Name().c_str());
        x_ = XOpenDisplay(server_->Name().c_str());
        ASSERT_NE(x_, nullptr);
        XSetIOErrorExitHandler(x_, IgnoreLostServer, nullptr);
    }

    void StopServer() {
        Disconnect();
        windows_.clear();
        manager_.reset();
        server_.reset();
    }

    // The test's connection goes first: closing it after its server would
    // end in an I/O error.
    void Disconnect() {
        if (x_ != nullptr) XCloseDisplay(x_);
        x_ = nullptr;
    }

    std::vector<unsigned long> Windows(const std::vector<std::string>& descs) {
        linuxtest::TestWindows w = linuxtest::StartTestWindows(descs);
        windows_.push_back(std::move(w.process));
        return w.ids;
    }

    Atom Intern(const char* name) { return XInternAtom(x_, name, False); }
    Window Root() { return DefaultRootWindow(x_); }

    void SetCardinal(Window w, const char* property, unsigned long value) {
        const long v = static_cast<long>(value);
        XChangeProperty(x_, w, Intern(property), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&v), 1);
        XSync(x_, False);
    }

    std::vector<unsigned long> RootProperty(const char* property, Atom type) {
        return x11::Property32(x_, Root(), Intern(property), type);
    }

    // openbox with a configuration of two desktops and nothing else; ready
    // once it has set its check window and the work area (a window mapped
    // as soon as the check window is there could stay unmanaged).
    void StartManager() {
        const std::string config = temp_.Path() + "/rc.xml";
        linuxtest::WriteFile(config,
                             "<?xml version=\"1.0\"?>\n"
                             "<openbox_config xmlns=\"http://openbox.org/3.4/rc\">\n"
                             "  <desktops><number>2</number></desktops>\n"
                             "</openbox_config>\n");
        manager_ = std::make_unique<Child>(
            std::vector<std::string>{"openbox", "--sm-disable", "--config-file", config},
            std::map<std::string, std::string>{{"XDG_CONFIG_HOME", temp_.Path()},
                                               {"XDG_CACHE_HOME", temp_.Path()},
                                               {"XDG_DATA_HOME", temp_.Path()}},
            true);
        ASSERT_TRUE(linuxtest::WaitFor(
            [&] {
                const auto check = RootProperty("_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
                return !check.empty() &&
                       x11::Property32(x_, check[0], Intern("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW) == check &&
                       !RootProperty("_NET_WORKAREA", XA_CARDINAL).empty();
            },
            kPatient))
            << "openbox did not start";
    }

    bool Managed(unsigned long w) {
        const auto clients = RootProperty("_NET_CLIENT_LIST", XA_WINDOW);
        return std::find(clients.begin(), clients.end(), w) != clients.end();
    }

    // What a pager sends to switch desktops.
    void SwitchToDesktop(long desktop) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = Root();
        e.xclient.message_type = Intern("_NET_CURRENT_DESKTOP");
        e.xclient.format = 32;
        e.xclient.data.l[0] = desktop;
        e.xclient.data.l[1] = CurrentTime;
        XSendEvent(x_, Root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
        XFlush(x_);
        ASSERT_TRUE(linuxtest::WaitFor(
            [&] {
                const auto current = RootProperty("_NET_CURRENT_DESKTOP", XA_CARDINAL);
                return !current.empty() && current[0] == static_cast<unsigned long>(desktop);
            },
            kPatient));
    }

    std::unique_ptr<IAutoExceptionProbe> probe_ = x11::CreateFullScreenProbe(kPatient);
    std::unique_ptr<OwnServer> server_;
    std::unique_ptr<linuxtest::ScopedEnv> env_;
    std::unique_ptr<Child> manager_;
    std::vector<std::unique_ptr<Child>> windows_;
    linuxtest::TempDir temp_;
    Display* x_ = nullptr;
    XErrorHandler previousHandler_ = nullptr;
};

struct WindowsCase {
    const char* what;
    std::vector<std::string> windows;
    std::optional<unsigned long> currentDesktop;  // set on the root
    bool holds;
};

// Without a window manager: the windows are the root's children, as they
// were made.
TEST_F(FullScreenProbeTest, WindowsWithoutManager) {
    const std::string all = "x=0,y=0,w=1280,h=1024";
    const WindowsCase cases[] = {
        {"no window", {}, std::nullopt, false},
        {"a normal window", {"x=10,y=10,w=200,h=100"}, std::nullopt, false},
        {"a window covering the screen", {all}, std::nullopt, true},
        {"a window larger than the screen", {"x=-20,y=-30,w=1400,h=1100"}, std::nullopt, true},
        {"one pixel short", {"x=0,y=0,w=1279,h=1024"}, std::nullopt, false},
        {"one pixel off", {"x=0,y=1,w=1280,h=1024"}, std::nullopt, false},
        {"small windows above a covering one", {all, "x=5,y=5,w=50,h=50", "tool"}, std::nullopt, true},
        // The state counts without a manager that would resize the window.
        {"the full-screen state on a small window", {"fullscreen"}, std::nullopt, true},
        {"an unmapped window", {"hidden," + all}, std::nullopt, false},
        {"an unmapped window with the state", {"hidden,fullscreen"}, std::nullopt, false},
        {"a window the manager hid", {"statehidden,fullscreen," + all}, std::nullopt, false},
        // A screen locker: a user who locks and walks away still gets the fade.
        {"an override-redirect window", {"override," + all}, std::nullopt, false},
        {"an override-redirect window with the state", {"override,fullscreen"}, std::nullopt, false},
        {"the desktop's window", {"type=DESKTOP," + all}, std::nullopt, false},
        {"a dock with the state", {"type=DOCK,fullscreen," + all}, std::nullopt, false},
        {"a normal-type window", {"type=NORMAL," + all}, std::nullopt, true},
        {"on another desktop", {"desktop=1," + all}, 0, false},
        {"with the state on another desktop", {"desktop=1,fullscreen"}, 0, false},
        {"on the current desktop", {"desktop=1," + all}, 1, true},
        {"on all desktops", {"desktop=4294967295," + all}, 0, true},
        {"no current desktop known", {"desktop=3," + all}, std::nullopt, true},
        {"no desktop of its own", {all}, 2, true},
    };
    for (const WindowsCase& c : cases) {
        SCOPED_TRACE(c.what);
        StartServer();
        if (c.currentDesktop) SetCardinal(Root(), "_NET_CURRENT_DESKTOP", *c.currentDesktop);
        ASSERT_EQ(Windows(c.windows).size(), c.windows.size());
        EXPECT_EQ(probe_->Holds(), c.holds);
    }
}

// Properties of the wrong type or format are as good as missing, and a
// window that vanishes between two requests leaves the others counted.
TEST_F(FullScreenProbeTest, OddPropertiesAndVanishedWindows) {
    StartServer();
    const auto ids = Windows({"x=10,y=10,w=100,h=100", "x=0,y=0,w=1280,h=1024,desktop=0"});
    ASSERT_EQ(ids.size(), 2u);
    // The full-screen atom, but as a number rather than an atom.
    const long fullScreen = static_cast<long>(Intern("_NET_WM_STATE_FULLSCREEN"));
    XChangeProperty(x_, ids[0], Intern("_NET_WM_STATE"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&fullScreen), 1);
    // A current desktop of 8-bit items: unknown, so every desktop is current.
    XChangeProperty(x_, Root(), Intern("_NET_CURRENT_DESKTOP"), XA_CARDINAL, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>("\x01"), 1);
    XSync(x_, False);
    EXPECT_TRUE(probe_->Holds());
    XDestroyWindow(x_, ids[1]);
    XSync(x_, False);
    EXPECT_FALSE(probe_->Holds());
}

// What a manager leaves on the root decides which windows are asked: its
// client list while its check window names itself, else the root's children.
TEST_F(FullScreenProbeTest, ClientListOfAManager) {
    struct Case {
        const char* what;
        bool checkWindowAlive;
        int listed;  // index of the listed window: 0 small, 1 covering; -1 the root
        bool holds;
    };
    const Case cases[] = {
        {"the covering window listed", true, 1, true},
        // Under a manager an unlisted window is not a client.
        {"only the small window listed", true, 0, false},
        {"the root listed", true, -1, false},
        // A manager that crashed left its properties behind.
        {"the check window gone", false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartServer();
        const auto ids = Windows({"x=10,y=10,w=100,h=100", "x=0,y=0,w=1280,h=1024", "hidden"});
        ASSERT_EQ(ids.size(), 3u);
        const long check = static_cast<long>(ids[2]);
        XChangeProperty(x_, ids[2], Intern("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&check), 1);
        XChangeProperty(x_, Root(), Intern("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&check), 1);
        const long listed = static_cast<long>(c.listed < 0 ? Root() : ids[static_cast<std::size_t>(c.listed)]);
        XChangeProperty(x_, Root(), Intern("_NET_CLIENT_LIST"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&listed), 1);
        if (!c.checkWindowAlive) XDestroyWindow(x_, ids[2]);
        XSync(x_, False);
        EXPECT_EQ(probe_->Holds(), c.holds);
    }
}

// openbox sets the state and the size; its frames are the root's children
// and the clients are listed on the root.
TEST_F(FullScreenProbeTest, WindowsUnderManager) {
    const WindowsCase cases[] = {
        {"a normal window", {"x=10,y=10,w=200,h=100"}, std::nullopt, false},
        {"a client asking for full screen", {"fullscreen,w=300,h=200"}, std::nullopt, true},
        // The frame fills the screen (there is no panel), the client does
        // not: its title bar is on screen.
        {"a maximized window", {"maximized,w=300,h=200"}, std::nullopt, false},
        {"a full-screen client on the other desktop", {"fullscreen,desktop=1"}, std::nullopt, false},
        {"the desktop's window", {"type=DESKTOP,x=0,y=0,w=1280,h=1024"}, std::nullopt, false},
    };
    for (const WindowsCase& c : cases) {
        SCOPED_TRACE(c.what);
        StartServer();
        StartManager();
        const auto ids = Windows(c.windows);
        ASSERT_EQ(ids.size(), 1u);
        ASSERT_TRUE(linuxtest::WaitFor([&] { return Managed(ids[0]); }, kPatient));
        if (c.holds) EXPECT_TRUE(linuxtest::WaitFor([&] { return probe_->Holds(); }, kPatient));
        else EXPECT_FALSE(probe_->Holds());
    }
}

TEST_F(FullScreenProbeTest, OtherDesktopUnderManager) {
    StartServer();
    StartManager();
    const auto ids = Windows({"fullscreen"});
    ASSERT_EQ(ids.size(), 1u);
    ASSERT_TRUE(linuxtest::WaitFor([&] { return probe_->Holds(); }, kPatient));
    SwitchToDesktop(1);
    EXPECT_FALSE(probe_->Holds());
    SwitchToDesktop(0);
    EXPECT_TRUE(linuxtest::WaitFor([&] { return probe_->Holds(); }, kPatient));
}

struct MonitorCase {
    const char* what;
    std::string window;
    bool holds;
};

// A screen of two RandR monitors side by side: covering either one counts,
// covering parts of both does not.
TEST_F(FullScreenProbeTest, TwoMonitors) {
    const MonitorCase cases[] = {
        {"the second monitor", "x=1280,y=0,w=1280,h=1024", true},
        {"the first monitor", "x=0,y=0,w=1280,h=1024", true},
        {"the whole screen", "x=0,y=0,w=2560,h=1024", true},
        {"half of each", "x=640,y=0,w=1280,h=1024", false},
        {"the second one but a pixel", "x=1281,y=0,w=1279,h=1024", false},
    };
    for (const MonitorCase& c : cases) {
        SCOPED_TRACE(c.what);
        StartServer("2560x1024");
        // The server's one output becomes the left monitor; the right one
        // has no output of its own.
        ASSERT_EQ(linuxtest::Run("xrandr --setmonitor left 1280/338x1024/270+0+0 screen >/dev/null 2>&1 && "
                                 "xrandr --setmonitor right 1280/338x1024/270+1280+0 none >/dev/null 2>&1")
                      .status,
                  0);
        ASSERT_EQ(Windows({c.window}).size(), 1u);
        EXPECT_EQ(probe_->Holds(), c.holds);
    }
}

// Without RandR the whole screen is the one monitor.
TEST_F(FullScreenProbeTest, ServerWithoutRandr) {
    for (const MonitorCase& c : {MonitorCase{"the whole screen", "x=0,y=0,w=2560,h=1024", true},
                                 MonitorCase{"half of it", "x=1280,y=0,w=1280,h=1024", false}}) {
        SCOPED_TRACE(c.what);
        StartServer("2560x1024", {"-extension", "RANDR"});
        ASSERT_EQ(Windows({c.window}).size(), 1u);
        EXPECT_EQ(probe_->Holds(), c.holds);
    }
}

TEST_F(FullScreenProbeTest, NoServerAnswersFalse) {
    {
        linuxtest::ScopedEnv unset("DISPLAY", nullptr);
        EXPECT_FALSE(probe_->Holds());
    }
    {
        linuxtest::ScopedEnv nowhere("DISPLAY", ":65000");
        EXPECT_FALSE(probe_->Holds());
    }
}

// A server that stops answering holds the probe no longer than its limit;
// once it answers again, so does the probe.
TEST_F(FullScreenProbeTest, HungServerAnswersFalseInTime) {
    StartServer();
    ASSERT_EQ(Windows({"fullscreen"}).size(), 1u);
    const auto probe = x11::CreateFullScreenProbe(300ms);
    ASSERT_TRUE(probe->Holds());
    ASSERT_EQ(kill(server_->Pid(), SIGSTOP), 0);
    // Not a measure of speed: only that it comes back at all.
    auto answer = std::async(std::launch::async, [&] { return probe->Holds(); });
    const bool returned = answer.wait_for(kPatient) == std::future_status::ready;
    kill(server_->Pid(), SIGCONT);
    ASSERT_TRUE(returned);
    EXPECT_FALSE(answer.get());
    // A fresh connection too (what the first call of a new probe does).
    ASSERT_EQ(kill(server_->Pid(), SIGSTOP), 0);
    auto fresh = std::async(std::launch::async, [] { return x11::CreateFullScreenProbe(300ms)->Holds(); });
    const bool freshReturned = fresh.wait_for(kPatient) == std::future_status::ready;
    kill(server_->Pid(), SIGCONT);
    ASSERT_TRUE(freshReturned);
    EXPECT_FALSE(fresh.get());
    EXPECT_TRUE(linuxtest::WaitFor([&] { return probe->Holds(); }, kPatient));
}

// The server goes away and another starts under the same name: the probe
// answers for the new one, whether or not it was asked in between.
TEST_F(FullScreenProbeTest, ReconnectsToNewServer) {
    StartServer();
    ASSERT_EQ(Windows({"fullscreen"}).size(), 1u);
    ASSERT_TRUE(probe_->Holds());
    const std::string name = server_->Name();
    StopServer();
    StartServer("1280x1024", {}, name);
    ASSERT_EQ(Windows({"fullscreen"}).size(), 1u);
    EXPECT_TRUE(probe_->Holds());
    StopServer();
    EXPECT_FALSE(probe_->Holds());
    StartServer("1280x1024", {}, name);
    ASSERT_EQ(Windows({"fullscreen"}).size(), 1u);
    EXPECT_TRUE(probe_->Holds());
}

}  // namespace
}  // namespace rl
