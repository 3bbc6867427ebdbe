// Top-level windows and the foreground window on Xvfb, with windows owned
// by a test window program that each test starts.
#include <gtest/gtest.h>

// Before Xlib, whose None macro would clash with the port's names.
#include "platform/Platform.h"
// After gtest: Xlib defines macros (None, Bool) that clash with its names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/linux/X11Display.h"
#include "procenum/KzEnumProcesses.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

// What the snapshot unit reports for each window of the test program.
struct WindowCase {
    const char* desc;
    const char* caption;
    const char* className;
    bool visible;
    bool appWindow;
    int owner;  // index of the owning window, -1 for none
    WindowRect rect;
};

const std::string kLongTitle = "ab" + [] {
    std::string s;
    for (int i = 0; i < 200; ++i) s += "\xc3\xa9";  // é
    return s;
}();
// 259 bytes fit; the 130th é would end at byte 260, so the cut is before it.
const std::string kLongTitleCut = kLongTitle.substr(0, 2 + 2 * 128);
const std::string kLongDesc = "title=" + kLongTitle;

const WindowCase kWindows[] = {
    {"title=Main window,class=RlMain,x=30,y=40,w=220,h=120", "Main window", "RlMain", true, true, -1, {30, 40, 250, 160}},
    {"title=Hidden,hidden,x=0,y=0,w=50,h=60", "Hidden", "RlTestWindow", false, false, -1, {0, 0, 50, 60}},
    {"title=Palette,tool", "Palette", "RlTestWindow", true, false, -1, {10, 10, 210, 110}},
    {"title=Dialog,owner=0,x=300,y=300,w=10,h=20", "Dialog", "RlTestWindow", true, false, 0, {300, 300, 310, 320}},
    {"title=No task bar,skiptaskbar", "No task bar", "RlTestWindow", true, false, -1, {10, 10, 210, 110}},
    {"title=Pop-up,override", "Pop-up", "RlTestWindow", true, false, -1, {10, 10, 210, 110}},
    {"title=Caf\xe9,latin1", "Caf\xc3\xa9", "RlTestWindow", true, true, -1, {10, 10, 210, 110}},
    {"title=Without pid,nopid", "Without pid", "RlTestWindow", true, true, -1, {10, 10, 210, 110}},
    // The server knows the real owner; a wrong _NET_WM_PID does not mislead.
    {"title=Wrong pid,pid=1", "Wrong pid", "RlTestWindow", true, true, -1, {10, 10, 210, 110}},
};

class WindowSnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(linuxtest::ServiceEnv("DISPLAY").empty());
        // Opening the shared connection also installs the error handler
        // that the test's own connection relies on.
        ASSERT_NE(x11::SharedDisplay(), nullptr);
        port_ = CreateSnapshotPort();
        SetSnapshotPort(port_.get());
        clock_ = CreateClockInput();
        display_ = XOpenDisplay(nullptr);
        ASSERT_NE(display_, nullptr);
    }
    void TearDown() override {
        SetSnapshotPort(nullptr);
        if (display_ != nullptr) {
            XDeleteProperty(display_, DefaultRootWindow(display_), Intern("_NET_ACTIVE_WINDOW"));
            XCloseDisplay(display_);
        }
    }

    Atom Intern(const char* name) { return XInternAtom(display_, name, False); }

    void Focus(Window w) {
        XSetInputFocus(display_, w, RevertToParent, CurrentTime);
        XSync(display_, False);
    }

    void SetActiveWindow(Window w) {
        const long value = static_cast<long>(w);
        XChangeProperty(display_, DefaultRootWindow(display_), Intern("_NET_ACTIVE_WINDOW"), XA_WINDOW, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
        XSync(display_, False);
    }

    // What a reparenting window manager does: a frame around the client,
    // and WM_STATE on the client.
    Window Frame(Window client) {
        const Window frame = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 5, 5, 400, 300, 0, 0, 0);
        XReparentWindow(display_, client, frame, 3, 20);
        const long state[2] = {1, 0};  // NormalState, no icon
        XChangeProperty(display_, client, Intern("WM_STATE"), Intern("WM_STATE"), 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(state), 2);
        XMapWindow(display_, frame);
        XSync(display_, False);
        return frame;
    }

    std::vector<WindowHandle> Enumerated(std::uint32_t threadId = 0) {
        std::vector<WindowHandle> all;
        port_->EnumTopLevelWindows(threadId, [&](WindowHandle w) { all.push_back(w); });
        return all;
    }

    std::unique_ptr<ISnapshotPort> port_;
    std::unique_ptr<IClockInput> clock_;
    Display* display_ = nullptr;
};

std::vector<std::string> Descriptions() {
    std::vector<std::string> descs;
    for (const WindowCase& c : kWindows) descs.emplace_back(c.desc);
    descs.push_back(kLongDesc);
    return descs;
}

TEST_F(WindowSnapshotTest, ListsEveryWindowOfAProcessWithItsFields) {
    auto windows = linuxtest::StartTestWindows(Descriptions());
    ASSERT_EQ(windows.ids.size(), std::size(kWindows) + 1);
    const auto pid = static_cast<std::uint32_t>(windows.process->Pid());

    TWindowList list;
    ASSERT_TRUE(GetWindowList(pid, 0, false, list));
    ASSERT_EQ(list.size(), windows.ids.size());
    for (std::size_t i = 0; i < std::size(kWindows); ++i) {
        const WindowCase& c = kWindows[i];
        SCOPED_TRACE(c.desc);
        const auto it = std::find_if(list.begin(), list.end(),
                                     [&](const TWindowInfo* w) { return w->Handle == windows.ids[i]; });
        ASSERT_NE(it, list.end());
        const TWindowInfo& w = **it;
        EXPECT_EQ(w.ProcessID, pid);
        EXPECT_EQ(w.ThreadID, pid);
        EXPECT_EQ(w.Caption, c.caption);
        EXPECT_EQ(w.ClassName, c.className);
        EXPECT_EQ(w.Visible, c.visible);
        EXPECT_TRUE(w.Enabled);
        EXPECT_EQ(w.AppWindow, c.appWindow);
        EXPECT_EQ(w.Owner, c.owner < 0 ? 0 : windows.ids[static_cast<std::size_t>(c.owner)]);
        EXPECT_EQ(w.Parent, 0u);
        EXPECT_EQ(w.Rect, c.rect);
    }
    const auto longOne = std::find_if(list.begin(), list.end(),
                                      [&](const TWindowInfo* w) { return w->Handle == windows.ids.back(); });
    ASSERT_NE(longOne, list.end());
    EXPECT_EQ((*longOne)->Caption, kLongTitleCut);
    FreeWindowList(list);
}

TEST_F(WindowSnapshotTest, FiltersByProcessThreadAndApplicationWindows) {
    auto first = linuxtest::StartTestWindows(Descriptions());
    auto second = linuxtest::StartTestWindows({"title=Other program"});
    ASSERT_EQ(second.ids.size(), 1u);
    const auto pid = static_cast<std::uint32_t>(first.process->Pid());
    const auto otherPid = static_cast<std::uint32_t>(second.process->Pid());

    auto handles = [](const TWindowList& list) {
        std::vector<WindowHandle> h;
        for (const TWindowInfo* w : list) h.push_back(w->Handle);
        std::sort(h.begin(), h.end());
        return h;
    };
    std::vector<WindowHandle> all(first.ids.begin(), first.ids.end());
    std::sort(all.begin(), all.end());
    std::vector<WindowHandle> apps;
    for (std::size_t i = 0; i < std::size(kWindows); ++i)
        if (kWindows[i].appWindow) apps.push_back(first.ids[i]);
    apps.push_back(first.ids.back());
    std::sort(apps.begin(), apps.end());

    TWindowList list;
    ASSERT_TRUE(GetWindowList(pid, 0, false, list));
    EXPECT_EQ(handles(list), all);
    ASSERT_TRUE(GetWindowList(0, pid, false, list));  // the main thread's windows
    EXPECT_EQ(handles(list), all);
    ASSERT_TRUE(GetWindowList(pid, pid, true, list));
    EXPECT_EQ(handles(list), apps);
    ASSERT_TRUE(GetWindowList(otherPid, 0, false, list));
    EXPECT_EQ(handles(list), std::vector<WindowHandle>{second.ids[0]});
    ASSERT_TRUE(GetWindowList(0, 0, false, list));
    const std::vector<WindowHandle> everything = handles(list);
    for (const WindowHandle h : all) EXPECT_TRUE(std::binary_search(everything.begin(), everything.end(), h));
    EXPECT_TRUE(std::binary_search(everything.begin(), everything.end(), second.ids[0]));
    FreeWindowList(list);
}

TEST_F(WindowSnapshotTest, ProcessOfTheWindowsIsListedWithItsPath) {
    auto windows = linuxtest::StartTestWindows({"title=Listed"});
    const auto pid = static_cast<std::uint32_t>(windows.process->Pid());
    TProcessList processes;
    ASSERT_TRUE(GetProcessList(false, true, processes));
    const auto it = std::find_if(processes.begin(), processes.end(),
                                 [&](const TProcessInfo* p) { return p->ProcessID == pid; });
    ASSERT_NE(it, processes.end());
    EXPECT_EQ((*it)->FullPath, linuxtest::RealPath(RL_TEST_WINDOW));
    EXPECT_EQ((*it)->ExeFile, "rl_test_window");
    FreeProcessList(processes);
}

TEST_F(WindowSnapshotTest, FocusedWindowIsTheForegroundWindow) {
    auto windows = linuxtest::StartTestWindows({"title=One", "title=Two,x=300", "title=Three,tool,x=600"});
    ASSERT_EQ(windows.ids.size(), 3u);
    for (const unsigned long id : windows.ids) {
        ASSERT_EQ(linuxtest::Run("xdotool windowfocus --sync " + std::to_string(id)).status, 0);
        EXPECT_EQ(clock_->GetForegroundWindow(), id);
        TWindowList list;
        ASSERT_TRUE(GetWindowList(static_cast<std::uint32_t>(windows.process->Pid()), 0, false, list));
        EXPECT_EQ(std::count_if(list.begin(), list.end(),
                                [&](const TWindowInfo* w) { return w->Handle == clock_->GetForegroundWindow(); }),
                  1);
        FreeWindowList(list);
    }
}

TEST_F(WindowSnapshotTest, FocusOnAnInnerWindowMeansItsTopLevelWindow) {
    auto windows = linuxtest::StartTestWindows({"title=Outer,w=300,h=300"});
    ASSERT_EQ(windows.ids.size(), 1u);
    const Window inner = XCreateSimpleWindow(display_, windows.ids[0], 10, 10, 50, 50, 0, 0, 0);
    const Window innermost = XCreateSimpleWindow(display_, inner, 1, 1, 20, 20, 0, 0, 0);
    XMapWindow(display_, inner);
    XMapWindow(display_, innermost);
    for (const Window w : {inner, innermost}) {
        Focus(w);
        EXPECT_EQ(clock_->GetForegroundWindow(), windows.ids[0]);
    }
    // Inner windows are not top-level windows.
    const auto all = Enumerated();
    EXPECT_EQ(std::find(all.begin(), all.end(), inner), all.end());
}

TEST_F(WindowSnapshotTest, ActiveWindowOfAWindowManagerComesFirst) {
    auto windows = linuxtest::StartTestWindows({"title=Focused", "title=Active"});
    ASSERT_EQ(windows.ids.size(), 2u);
    Focus(windows.ids[0]);
    SetActiveWindow(windows.ids[1]);
    EXPECT_EQ(clock_->GetForegroundWindow(), windows.ids[1]);
    // A manager that says "none is active" leaves it to the focus, and so
    // does the stale answer of one that has ended.
    SetActiveWindow(None);
    EXPECT_EQ(clock_->GetForegroundWindow(), windows.ids[0]);
    const Window gone = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 10, 10, 0, 0, 0);
    XDestroyWindow(display_, gone);
    SetActiveWindow(gone);
    EXPECT_EQ(clock_->GetForegroundWindow(), windows.ids[0]);
}

TEST_F(WindowSnapshotTest, ReparentedClientStandsForItsFrame) {
    auto windows = linuxtest::StartTestWindows({"title=Managed,w=300,h=200", "title=Unmanaged,x=500"});
    ASSERT_EQ(windows.ids.size(), 2u);
    const Window client = windows.ids[0];
    const Window frame = Frame(client);

    const auto all = Enumerated();
    EXPECT_NE(std::find(all.begin(), all.end(), client), all.end());
    EXPECT_EQ(std::find(all.begin(), all.end(), frame), all.end());
    EXPECT_NE(std::find(all.begin(), all.end(), windows.ids[1]), all.end());

    for (const Window w : {frame, client}) {
        Focus(w);
        EXPECT_EQ(clock_->GetForegroundWindow(), client);
    }
    Focus(windows.ids[1]);
    EXPECT_EQ(clock_->GetForegroundWindow(), windows.ids[1]);

    // The client's own fields, in root coordinates inside its frame.
    const auto pid = static_cast<std::uint32_t>(windows.process->Pid());
    TWindowList list;
    ASSERT_TRUE(GetWindowList(pid, 0, false, list));
    const auto it = std::find_if(list.begin(), list.end(), [&](const TWindowInfo* w) { return w->Handle == client; });
    ASSERT_NE(it, list.end());
    EXPECT_EQ((*it)->Caption, "Managed");
    EXPECT_EQ((*it)->ProcessID, pid);
    EXPECT_EQ((*it)->Rect, (WindowRect{8, 25, 308, 225}));
    EXPECT_TRUE((*it)->AppWindow);
    FreeWindowList(list);
    XDestroyWindow(display_, frame);
}

TEST_F(WindowSnapshotTest, NoFocusMeansNoForegroundWindow) {
    for (const Window w : {static_cast<Window>(None), static_cast<Window>(PointerRoot), DefaultRootWindow(display_)}) {
        Focus(w);
        EXPECT_EQ(clock_->GetForegroundWindow(), 0u);
    }
}

TEST_F(WindowSnapshotTest, VanishedWindowAnswersEmptyWithoutEndingTheProcess) {
    auto windows = linuxtest::StartTestWindows({"title=Short-lived,owner=0", "title=Second,owner=0"});
    ASSERT_EQ(windows.ids.size(), 2u);
    const WindowHandle gone = windows.ids[1];
    windows.process->Kill(SIGKILL);
    ASSERT_TRUE(linuxtest::WaitFor(
        [&] {
            XWindowAttributes a;
            return XGetWindowAttributes(display_, gone, &a) == 0;
        },
        10s));

    std::uint32_t pid = 99;
    EXPECT_EQ(port_->WindowThreadProcessId(gone, pid), 0u);
    EXPECT_EQ(pid, 0u);
    EXPECT_FALSE(port_->IsWindowVisible(gone));
    EXPECT_EQ(port_->WindowOwner(gone), 0u);
    EXPECT_EQ(port_->WindowExStyle(gone), 0u);
    EXPECT_EQ(port_->WindowRectangle(gone), WindowRect{});
    EXPECT_EQ(port_->WindowText(gone, 260), "");
    EXPECT_EQ(port_->WindowClassName(gone, 260), "");
    const auto all = Enumerated();
    EXPECT_EQ(std::find(all.begin(), all.end(), gone), all.end());
}

TEST_F(WindowSnapshotTest, TextIsCutToTheBuffer) {
    auto windows = linuxtest::StartTestWindows({"title=Window text,class=ClassName"});
    ASSERT_EQ(windows.ids.size(), 1u);
    struct Case {
        int buffer;
        const char* text;
        const char* className;
    };
    const Case cases[] = {{260, "Window text", "ClassName"}, {7, "Window", "ClassN"}, {1, "", ""}, {0, "", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buffer);
        EXPECT_EQ(port_->WindowText(windows.ids[0], c.buffer), c.text);
        EXPECT_EQ(port_->WindowClassName(windows.ids[0], c.buffer), c.className);
    }
}

}  // namespace
}  // namespace rl
