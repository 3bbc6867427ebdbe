// Top-level window listings through the snapshot unit with the real adapter,
// over windows that the test creates, and the foreground window.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "procenum/KzEnumProcesses.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using win32test::TestWindow;

WindowHandle H(HWND w) { return reinterpret_cast<WindowHandle>(w); }

const TWindowInfo* FindIn(const TWindowList& list, HWND w) {
    const auto it = std::find_if(list.begin(), list.end(), [&](TWindowInfo* i) { return i->Handle == H(w); });
    return it == list.end() ? nullptr : *it;
}

// A window on a thread of its own, which keeps dispatching messages so that
// reading its text from this thread does not block.
class WindowThread {
public:
    WindowThread() {
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, ready] {
            TestWindow window("other thread", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
            window_ = window.Handle();
            threadId_ = GetCurrentThreadId();
            SetEvent(ready);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
        });
        WaitForSingleObject(ready, 30000);
        CloseHandle(ready);
    }
    ~WindowThread() {
        PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND Window() const { return window_; }
    DWORD ThreadId() const { return threadId_; }

private:
    std::atomic<HWND> window_{nullptr};
    std::atomic<DWORD> threadId_{0};
    std::thread thread_;
};

class WindowSnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = CreateSnapshotPort();
        SetSnapshotPort(port_.get());
    }
    void TearDown() override {
        FreeWindowList(list_);
        SetSnapshotPort(nullptr);
    }

    std::unique_ptr<ISnapshotPort> port_;
    TWindowList list_;
};

// Kinds of top-level window and how each is listed.
struct WindowKind {
    const char* name;
    DWORD style;
    DWORD exStyle;
    bool owned;     // created with the plain application window as its owner
    bool visible;
    bool enabled;
    bool appWindow;
    bool parentIsOwner;  // GetParent names the owner of a pop-up window
};

const WindowKind kKinds[] = {
    {"application", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, false, true, true, true, false},
    {"hidden", WS_OVERLAPPEDWINDOW, 0, false, false, true, false, false},
    {"tool", WS_OVERLAPPEDWINDOW | WS_VISIBLE, WS_EX_TOOLWINDOW, false, true, true, false, false},
    {"disabled", WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_DISABLED, 0, false, true, false, true, false},
    {"owned", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, true, true, true, false, false},
    {"owned pop-up", WS_POPUP | WS_VISIBLE, 0, true, true, true, false, true},
    {"hidden tool", WS_POPUP, WS_EX_TOOLWINDOW, false, false, true, false, false},
};

TEST_F(WindowSnapshotTest, KindsOfWindowWithAndWithoutTheApplicationFilter) {
    TestWindow owner("owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(owner.Handle(), nullptr);
    std::vector<std::unique_ptr<TestWindow>> windows;
    for (const WindowKind& k : kKinds) {
        windows.push_back(std::make_unique<TestWindow>(k.name, k.style, k.exStyle, k.owned ? owner.Handle() : nullptr));
        ASSERT_NE(windows.back()->Handle(), nullptr) << k.name;
    }
    // Child windows are not top-level and are never listed.
    TestWindow child("child", WS_CHILD | WS_VISIBLE, 0, owner.Handle());
    ASSERT_NE(child.Handle(), nullptr);
    win32test::PumpFor(100ms);

    const DWORD pid = GetCurrentProcessId();
    for (const bool appOnly : {false, true}) {
        SCOPED_TRACE(appOnly ? "application windows only" : "all windows");
        ASSERT_TRUE(GetWindowList(pid, 0, appOnly, list_));
        EXPECT_EQ(FindIn(list_, child.Handle()), nullptr);
        for (std::size_t i = 0; i < std::size(kKinds); ++i) {
            const WindowKind& k = kKinds[i];
            SCOPED_TRACE(k.name);
            const HWND w = windows[i]->Handle();
            const TWindowInfo* info = FindIn(list_, w);
            if (appOnly && !k.appWindow) {
                EXPECT_EQ(info, nullptr);
                continue;
            }
            ASSERT_NE(info, nullptr);
            EXPECT_EQ(info->Visible, k.visible);
            EXPECT_EQ(info->Enabled, k.enabled);
            EXPECT_EQ(info->AppWindow, k.appWindow);
            EXPECT_EQ(info->Owner, k.owned ? H(owner.Handle()) : 0);
            EXPECT_EQ(info->Parent, k.parentIsOwner ? H(owner.Handle()) : 0);
            EXPECT_EQ(info->Caption, k.name);
            EXPECT_EQ(info->ClassName, TestWindow::ClassName());
            EXPECT_EQ(info->ProcessID, pid);
            EXPECT_EQ(info->ThreadID, GetCurrentThreadId());
            RECT r{};
            GetWindowRect(w, &r);
            EXPECT_EQ(info->Rect, (WindowRect{r.left, r.top, r.right, r.bottom}));
        }
    }
}

TEST_F(WindowSnapshotTest, ProcessAndThreadFilters) {
    TestWindow mine("this thread", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    WindowThread other;
    ASSERT_NE(mine.Handle(), nullptr);
    ASSERT_NE(other.Window(), nullptr);
    const DWORD pid = GetCurrentProcessId();
    const DWORD tid = GetCurrentThreadId();

    struct Filter {
        const char* name;
        std::uint32_t process;
        std::uint32_t thread;
        bool listsMine;
        bool listsOther;
    };
    const Filter filters[] = {
        {"no filter", 0, 0, true, true},
        {"process only", pid, 0, true, true},
        {"this thread", 0, tid, true, false},
        {"process and this thread", pid, tid, true, false},
        {"other thread", 0, other.ThreadId(), false, true},
        {"another process", pid + 4, 0, false, false},
        {"another process with this thread", pid + 4, tid, false, false},
    };
    for (const Filter& f : filters) {
        SCOPED_TRACE(f.name);
        ASSERT_TRUE(GetWindowList(f.process, f.thread, false, list_));
        EXPECT_EQ(FindIn(list_, mine.Handle()) != nullptr, f.listsMine);
        const TWindowInfo* info = FindIn(list_, other.Window());
        EXPECT_EQ(info != nullptr, f.listsOther);
        if (info != nullptr) {
            EXPECT_EQ(info->ThreadID, other.ThreadId());
            EXPECT_EQ(info->Caption, "other thread");
        }
        for (const TWindowInfo* w : list_) {
            if (f.process != 0) {
                EXPECT_EQ(w->ProcessID, f.process);
            }
            if (f.thread != 0) {
                EXPECT_EQ(w->ThreadID, f.thread);
            }
        }
    }
}

TEST_F(WindowSnapshotTest, LongCaptionIsCutToTheBuffer) {
    const std::string caption(300, 'c');
    TestWindow window(caption, WS_OVERLAPPEDWINDOW);
    ASSERT_TRUE(GetWindowList(GetCurrentProcessId(), 0, false, list_));
    const TWindowInfo* info = FindIn(list_, window.Handle());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->Caption, std::string(259, 'c'));

    // The adapter itself reads into whatever buffer it is given.
    EXPECT_EQ(port_->WindowText(H(window.Handle()), 11), std::string(10, 'c'));
    EXPECT_EQ(port_->WindowText(H(window.Handle()), 0), "");
    EXPECT_EQ(port_->WindowClassName(H(window.Handle()), 5), "Rest");
}

TEST_F(WindowSnapshotTest, ErrorInTheCallbackEndsTheEnumerationAndIsRaisedAfterIt) {
    TestWindow a("a", WS_OVERLAPPEDWINDOW);
    TestWindow b("b", WS_OVERLAPPEDWINDOW);
    int calls = 0;
    const std::function<void(WindowHandle)> throwing = [&](WindowHandle) {
        ++calls;
        throw std::runtime_error("stop");
    };
    EXPECT_THROW(port_->EnumTopLevelWindows(0, throwing), std::runtime_error);
    EXPECT_EQ(calls, 1);
    calls = 0;
    EXPECT_THROW(port_->EnumTopLevelWindows(GetCurrentThreadId(), throwing), std::runtime_error);
    EXPECT_EQ(calls, 1);
}

TEST_F(WindowSnapshotTest, ActivatedWindowIsTheForegroundWindowAndListedForThisProcess) {
    TestWindow window("front", WS_OVERLAPPEDWINDOW);
    ASSERT_NE(window.Handle(), nullptr);
    ASSERT_TRUE(win32test::BringToFront(window.Handle())) << "foreground: " << GetForegroundWindow();

    auto clock = CreateClockInput();
    const WindowHandle front = clock->GetForegroundWindow();
    EXPECT_EQ(front, H(window.Handle()));

    // What the idle monitor's exception gate does with it.
    ASSERT_TRUE(GetWindowList(GetCurrentProcessId(), 0, false, list_));
    EXPECT_TRUE(std::any_of(list_.begin(), list_.end(), [&](TWindowInfo* w) { return w->Handle == front; }));

    // Another window brought to the front takes over.
    TestWindow second("second", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_TRUE(win32test::BringToFront(second.Handle()));
    EXPECT_EQ(clock->GetForegroundWindow(), H(second.Handle()));
}

}  // namespace
}  // namespace rl
