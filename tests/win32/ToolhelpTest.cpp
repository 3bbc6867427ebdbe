// Process, thread and module snapshots through Toolhelp under Wine, via the
// snapshot unit with the real adapter; and the adapter's shell, token and
// version calls.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "procenum/KzEnumProcesses.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using win32test::EqualsNoCase;

class ToolhelpTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = CreateSnapshotPort();
        SetSnapshotPort(port_.get());
        ResetPlatformCode();
    }
    void TearDown() override {
        FreeProcessList(processes_);
        FreeThreadList(threads_);
        FreeModuleList(modules_);
        SetSnapshotPort(nullptr);
        ResetPlatformCode();
    }

    TProcessInfo* Find(DWORD pid) {
        for (TProcessInfo* p : processes_)
            if (p->ProcessID == pid) return p;
        return nullptr;
    }

    std::unique_ptr<ISnapshotPort> port_;
    TProcessList processes_;
    TThreadList threads_;
    TModuleList modules_;
};

// A thread of this process that waits until it is released.
class WaitingThread {
public:
    WaitingThread()
        : release_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), thread_([this] {
              id_ = GetCurrentThreadId();
              WaitForSingleObject(release_, INFINITE);
          }) {
        while (id_ == 0) Sleep(1);
    }
    ~WaitingThread() {
        SetEvent(release_);
        thread_.join();
        CloseHandle(release_);
    }
    DWORD Id() const { return id_; }

private:
    HANDLE release_;
    std::atomic<DWORD> id_{0};
    std::thread thread_;
};

TEST_F(ToolhelpTest, ToolhelpIsFoundInKernel32) { EXPECT_TRUE(LoadToolhelp()); }

TEST_F(ToolhelpTest, ProcessListHoldsThisProcessWithItsFullPath) {
    ASSERT_TRUE(GetProcessList(false, false, processes_));
    TProcessInfo* self = Find(GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    const std::string path = win32test::ModulePath();
    EXPECT_TRUE(EqualsNoCase(self->FullPath, path)) << self->FullPath << " vs " << path;
    EXPECT_TRUE(EqualsNoCase(win32test::FileNamePart(self->ExeFile), win32test::FileNamePart(path)))
        << self->ExeFile;
    ASSERT_NE(self->Threads, nullptr);
    EXPECT_TRUE(self->Threads->empty());  // not requested
}

TEST_F(ToolhelpTest, OtherProcessesAreListedWithTheirFileNames) {
    ASSERT_TRUE(GetProcessList(false, false, processes_));
    EXPECT_GT(processes_.size(), 1u);  // Wine's own services run beside us
    for (TProcessInfo* p : processes_) {
        EXPECT_FALSE(p->ExeFile.empty()) << p->ProcessID;
        // The idle process, where a system lists it, has no module list.
        if (p->ProcessID == 0) {
            EXPECT_TRUE(p->FullPath.empty());
        }
    }
}

TEST_F(ToolhelpTest, ThreadsRequestedCarryTheirProcessAndIncludeAWaitingThread) {
    WaitingThread extra;
    ASSERT_TRUE(GetProcessList(true, false, processes_));
    TProcessInfo* self = Find(GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    ASSERT_NE(self->Threads, nullptr);
    bool sawMain = false, sawExtra = false;
    for (TThreadInfo* t : *self->Threads) {
        EXPECT_EQ(t->ProcessID, GetCurrentProcessId());
        ASSERT_NE(t->Windows, nullptr);
        EXPECT_TRUE(t->Windows->empty());  // windows not requested
        sawMain = sawMain || t->ThreadID == GetCurrentThreadId();
        sawExtra = sawExtra || t->ThreadID == extra.Id();
    }
    EXPECT_TRUE(sawMain);
    EXPECT_TRUE(sawExtra);
    // Every process's threads belong to it.
    for (TProcessInfo* p : processes_)
        for (TThreadInfo* t : *p->Threads) EXPECT_EQ(t->ProcessID, p->ProcessID);
}

TEST_F(ToolhelpTest, ThreadListFilteredByProcess) {
    WaitingThread extra;
    GetThreadList(GetCurrentProcessId(), false, threads_);
    ASSERT_FALSE(threads_.empty());
    bool sawExtra = false;
    for (TThreadInfo* t : threads_) {
        EXPECT_EQ(t->ProcessID, GetCurrentProcessId());
        sawExtra = sawExtra || t->ThreadID == extra.Id();
    }
    EXPECT_TRUE(sawExtra);

    // Unfiltered, other processes' threads are there as well.
    GetThreadList(0, false, threads_);
    EXPECT_TRUE(std::any_of(threads_.begin(), threads_.end(),
                            [](TThreadInfo* t) { return t->ProcessID != GetCurrentProcessId(); }));
}

TEST_F(ToolhelpTest, ThreadWindowsAreCopiedIntoTheProcessRecord) {
    win32test::TestWindow window("thread window", WS_OVERLAPPEDWINDOW);
    ASSERT_NE(window.Handle(), nullptr);
    ASSERT_TRUE(GetProcessList(true, true, processes_));
    TProcessInfo* self = Find(GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    const TThreadInfo* mine = nullptr;
    for (TThreadInfo* t : *self->Threads)
        if (t->ThreadID == GetCurrentThreadId()) mine = t;
    ASSERT_NE(mine, nullptr);
    const auto found = std::find_if(mine->Windows->begin(), mine->Windows->end(), [&](TWindowInfo* w) {
        return w->Handle == reinterpret_cast<WindowHandle>(window.Handle());
    });
    ASSERT_NE(found, mine->Windows->end());
    EXPECT_EQ((*found)->Caption, "thread window");
    EXPECT_EQ((*found)->ThreadID, GetCurrentThreadId());
}

TEST_F(ToolhelpTest, ModuleListOfThisProcessStartsWithTheExecutable) {
    ASSERT_TRUE(GetModuleList(GetCurrentProcessId(), modules_));
    ASSERT_FALSE(modules_.empty());
    const TModuleInfo* first = modules_.front();
    EXPECT_TRUE(EqualsNoCase(first->ExePath, win32test::ModulePath())) << first->ExePath;
    EXPECT_EQ(first->ModuleHandle, reinterpret_cast<ModuleHandleValue>(GetModuleHandleA(nullptr)));
    EXPECT_EQ(first->ProcessID, GetCurrentProcessId());
    const auto kernel = std::find_if(modules_.begin(), modules_.end(),
                                     [](TModuleInfo* m) { return EqualsNoCase(m->ModuleName, "kernel32.dll"); });
    ASSERT_NE(kernel, modules_.end());
    EXPECT_EQ((*kernel)->ModuleHandle, reinterpret_cast<ModuleHandleValue>(GetModuleHandleA("kernel32.dll")));
}

TEST_F(ToolhelpTest, ModuleListOfAMissingProcessIsEmpty) {
    // Process identifiers are multiples of four; this one cannot exist.
    EXPECT_FALSE(GetModuleList(0xFFFFFFF3u, modules_));
    EXPECT_TRUE(modules_.empty());
}

// Two copies of one program give two records with the same path.
TEST_F(ToolhelpTest, TwoCopiesOfAProgramHaveEqualFullPaths) {
    const std::string notepad = win32test::SystemProgram("notepad.exe");
    win32test::StartedProgram first(notepad);
    win32test::StartedProgram second(notepad);
    ASSERT_NE(first.ProcessId(), 0u);
    ASSERT_NE(second.ProcessId(), 0u);
    // A fresh process may not yet show its modules: look until it does.
    ASSERT_TRUE(win32test::WaitFor(
        [&] {
            GetProcessList(false, false, processes_);
            return Find(first.ProcessId()) != nullptr && Find(second.ProcessId()) != nullptr &&
                   !Find(first.ProcessId())->FullPath.empty() && !Find(second.ProcessId())->FullPath.empty();
        },
        std::chrono::seconds(20)));
    EXPECT_TRUE(EqualsNoCase(Find(first.ProcessId())->FullPath, notepad)) << Find(first.ProcessId())->FullPath;
    EXPECT_EQ(Find(first.ProcessId())->FullPath, Find(second.ProcessId())->FullPath);
    EXPECT_EQ(Find(first.ProcessId())->ParentProcessID, GetCurrentProcessId());
}

// The adapter's own calls, below the snapshot unit.
class SnapshotPortTest : public ::testing::Test {
protected:
    std::unique_ptr<ISnapshotPort> port_ = CreateSnapshotPort();
};

TEST_F(SnapshotPortTest, ExeTypeOfProgramsAndOtherFiles) {
    // This test program is a console program: "PE" with no Windows version.
    const std::uintptr_t console = port_->ShellExeType(win32test::ModulePath());
    EXPECT_EQ(console & 0xFFFF, static_cast<std::uintptr_t>('P' | ('E' << 8)));
    EXPECT_EQ(console >> 16, 0u);
    // A windowed program carries the Windows version it needs in the high word.
    const std::uintptr_t windowed = port_->ShellExeType(win32test::SystemProgram("notepad.exe"));
    EXPECT_EQ(windowed & 0xFFFF, static_cast<std::uintptr_t>('P' | ('E' << 8)));
    EXPECT_GE(windowed, 0x10000u);

    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string text = std::string(temp) + "restlevel-exetype.txt";
    std::ofstream(text) << "not a program\n";
    EXPECT_EQ(port_->ShellExeType(text), 0u);
    DeleteFileA(text.c_str());
    EXPECT_EQ(port_->ShellExeType(std::string(temp) + "no such file.exe"), 0u);
}

TEST_F(SnapshotPortTest, ExeTypeThroughTheUnit) {
    SetSnapshotPort(port_.get());
    EXPECT_EQ(GetExeType(win32test::ModulePath()), kExeConsole);
    SetSnapshotPort(nullptr);
}

TEST_F(SnapshotPortTest, PrivilegeAdjustmentReportsTheCallsSuccess) {
    // Enabling and then restoring, as a process listing does.
    EXPECT_TRUE(port_->SetPrivilege("SeDebugPrivilege", true));
    EXPECT_TRUE(port_->SetPrivilege("SeDebugPrivilege", false));
    // An unknown privilege name fails the lookup.
    EXPECT_FALSE(port_->SetPrivilege("SeNoSuchPrivilege", true));
}

TEST_F(SnapshotPortTest, VersionIsOfTheNtFamily) {
    const PlatformVersion v = port_->GetVersion();
    EXPECT_EQ(v.PlatformId, static_cast<std::uint32_t>(VER_PLATFORM_WIN32_NT));
    EXPECT_GE(v.Major, 5u);
    SetSnapshotPort(port_.get());
    ResetPlatformCode();
    EXPECT_EQ(GetPlatformCode(), 8);
    ResetPlatformCode();
    SetSnapshotPort(nullptr);
}

TEST_F(SnapshotPortTest, NothingIsReadBeforeToolhelpIsLoaded) {
    EXPECT_EQ(port_->CreateSnapshot(kSnapProcess, 0), kInvalidSnapshot);
    ProcessEntry entry;
    EXPECT_FALSE(port_->ProcessFirst(kInvalidSnapshot, entry));
    ASSERT_TRUE(port_->LoadToolhelp());
    const SnapshotHandle snap = port_->CreateSnapshot(kSnapProcess, 0);
    EXPECT_NE(snap, kInvalidSnapshot);
    port_->CloseSnapshot(snap);
}

TEST_F(SnapshotPortTest, ASnapshotHoldsOnlyItsKindAndClosingANonHandleIsHarmless) {
    ASSERT_TRUE(port_->LoadToolhelp());
    const SnapshotHandle snap = port_->CreateSnapshot(kSnapProcess, 0);
    ASSERT_NE(snap, kInvalidSnapshot);
    ProcessEntry entry;
    ASSERT_TRUE(port_->ProcessFirst(snap, entry));
    // A thread read on a process snapshot finds nothing of its kind.
    ThreadEntry thread;
    EXPECT_FALSE(port_->ThreadFirst(snap, thread));
    port_->CloseSnapshot(snap);
    port_->CloseSnapshot(kInvalidSnapshot);
}

TEST_F(SnapshotPortTest, MessageBoxWithoutOwnerAndWithAnOkButton) {
    struct Seen {
        bool found = false;
        std::string text;
        HWND owner = nullptr;
        bool okVisible = false;
        bool cancelVisible = false;
    } seen;
    // The box is modal: a second thread finds it, reads it and presses OK.
    std::thread closer([&] {
        for (int i = 0; i < 2000 && !seen.found; ++i) {
            const HWND box = FindWindowA("#32770", "RestLevel test caption");
            if (box == nullptr || !IsWindowVisible(box)) {
                Sleep(10);
                continue;
            }
            seen.found = true;
            char text[256] = {};
            GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
            seen.text = text;
            seen.owner = GetWindow(box, GW_OWNER);
            const HWND ok = GetDlgItem(box, IDOK);
            const HWND cancel = GetDlgItem(box, IDCANCEL);
            seen.okVisible = ok != nullptr && IsWindowVisible(ok);
            seen.cancelVisible = cancel != nullptr && IsWindowVisible(cancel);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
    });
    port_->ShowMessage("Error reading Performace Data.", "RestLevel test caption");
    closer.join();
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.text, "Error reading Performace Data.");
    EXPECT_EQ(seen.owner, nullptr);
    EXPECT_TRUE(seen.okVisible);
    EXPECT_FALSE(seen.cancelVisible);
}

}  // namespace
}  // namespace rl
