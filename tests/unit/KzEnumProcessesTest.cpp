#include <gtest/gtest.h>

#include "procenum/KzEnumProcesses.h"
#include "tests/fakes/Fakes.h"

namespace rl {
namespace {

class EnumTest : public ::testing::Test {
protected:
    fake::Snapshots sys;
    TProcessList processes;
    TThreadList threads;
    TWindowList windows;
    TModuleList modules;

    void SetUp() override {
        SetSnapshotPort(&sys);
        ResetPlatformCode();
    }
    void TearDown() override {
        FreeProcessList(processes);
        FreeThreadList(threads);
        FreeWindowList(windows);
        FreeModuleList(modules);
        SetSnapshotPort(nullptr);
        ResetPlatformCode();
    }
};

TEST_F(EnumTest, ProcessListTakesFullPathsFromTheFirstModule) {
    sys.AddProcess(0, "");
    sys.AddProcess(4, "");  // modules unreadable, e.g. a system process
    sys.processes.back().entry.ExeFile = "System";
    sys.AddProcess(100, "C:\\Tools\\app.exe", 4);
    sys.AddProcess(101, "C:\\Tools\\app.exe", 4);

    ASSERT_TRUE(GetProcessList(false, false, processes));
    ASSERT_EQ(processes.size(), 4u);
    EXPECT_EQ(processes[0]->ProcessID, 0u);
    EXPECT_EQ(processes[0]->FullPath, "");
    EXPECT_EQ(processes[1]->ExeFile, "System");
    EXPECT_EQ(processes[1]->FullPath, "");
    // Two processes of the same program: two records, equal paths.
    EXPECT_EQ(processes[2]->FullPath, "C:\\Tools\\app.exe");
    EXPECT_EQ(processes[3]->FullPath, "C:\\Tools\\app.exe");
    EXPECT_EQ(processes[2]->ExeFile, "app.exe");
    EXPECT_EQ(processes[2]->ParentProcessID, 4u);
    EXPECT_EQ(processes[2]->PriorityBase, 8);
    ASSERT_NE(processes[2]->Threads, nullptr);
    EXPECT_TRUE(processes[2]->Threads->empty());

    // No module query for process 0; one module snapshot for each other process.
    const std::vector<std::uint32_t> kinds{kSnapProcess, kSnapModule, kSnapModule, kSnapModule};
    EXPECT_EQ(sys.snapshotsTaken, kinds);
    EXPECT_EQ(sys.openSnapshots, 0);
}

TEST_F(EnumTest, ProcessListEmptiesTheListFirst) {
    sys.AddProcess(7, "C:\\a.exe");
    ASSERT_TRUE(GetProcessList(false, false, processes));
    ASSERT_TRUE(GetProcessList(false, false, processes));
    EXPECT_EQ(processes.size(), 1u);
}

TEST_F(EnumTest, DebugPrivilegeIsAskedForAndRestored) {
    sys.AddProcess(7, "C:\\a.exe");
    struct Case {
        bool enablingSucceeds;
        bool restoredTo;
    };
    // A successful enabling stays in force; after a failed one a disabling is requested.
    for (const Case c : {Case{true, true}, Case{false, false}}) {
        sys.privilegeResult = c.enablingSucceeds;
        sys.privilegeCalls.clear();
        GetProcessList(false, false, processes);
        using Call = std::pair<std::string, bool>;
        EXPECT_EQ(sys.privilegeCalls,
                  (std::vector<Call>{{"SeDebugPrivilege", true}, {"SeDebugPrivilege", c.restoredTo}}));
    }
}

TEST_F(EnumTest, ThreadsAreMergedAsCopiesIntoTheirProcesses) {
    sys.AddProcess(100, "C:\\a.exe");
    sys.AddProcess(200, "C:\\b.exe");
    sys.threads = {{100, 1001}, {200, 2001}, {100, 1002}, {999, 9001}};
    sys.windows = {{.handle = 0x10, .processId = 100, .threadId = 1002, .text = "Main"},
                   {.handle = 0x20, .processId = 200, .threadId = 2001}};

    ASSERT_TRUE(GetProcessList(true, true, processes));
    const TThreadList& a = *processes[0]->Threads;
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0]->ThreadID, 1001u);
    EXPECT_EQ(a[1]->ThreadID, 1002u);
    for (const TThreadInfo* t : a) EXPECT_EQ(t->ProcessID, 100u);
    ASSERT_EQ(a[1]->Windows->size(), 1u);
    EXPECT_EQ((*a[1]->Windows)[0]->Handle, 0x10u);
    EXPECT_EQ((*a[1]->Windows)[0]->Caption, "Main");
    EXPECT_TRUE(a[0]->Windows->empty());
    ASSERT_EQ(processes[1]->Threads->size(), 1u);
    EXPECT_EQ((*processes[1]->Threads)[0]->ProcessID, 200u);
    EXPECT_EQ(sys.openSnapshots, 0);
}

TEST_F(EnumTest, ThreadsWithoutWindowsWhenWindowsAreNotAsked) {
    sys.AddProcess(100, "C:\\a.exe");
    sys.threads = {{100, 1001}};
    sys.windows = {{.handle = 0x10, .processId = 100, .threadId = 1001}};
    ASSERT_TRUE(GetProcessList(true, false, processes));
    ASSERT_EQ(processes[0]->Threads->size(), 1u);
    EXPECT_TRUE((*processes[0]->Threads)[0]->Windows->empty());
    EXPECT_EQ(sys.windowEnumerations, 0);
}

TEST_F(EnumTest, ThreadListFilter) {
    sys.threads = {{100, 1001}, {200, 2001}, {100, 1002}};
    GetThreadList(100, false, threads);
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_EQ(threads[1]->ThreadID, 1002u);
    GetThreadList(0, false, threads);
    EXPECT_EQ(threads.size(), 3u);
}

TEST_F(EnumTest, ErrorWhileReadingStillClosesTheSnapshot) {
    sys.AddProcess(1, "C:\\a.exe");
    sys.AddProcess(2, "C:\\b.exe");
    sys.AddProcess(3, "C:\\c.exe");
    sys.throwAtProcess = 2;
    EXPECT_TRUE(GetProcessList(false, false, processes));
    EXPECT_EQ(processes.size(), 2u);
    EXPECT_EQ(sys.openSnapshots, 0);
}

TEST_F(EnumTest, WithoutToolhelpListingsAreEmpty) {
    sys.AddProcess(1, "C:\\a.exe");
    sys.threads = {{1, 11}};
    sys.toolhelp = false;
    EXPECT_FALSE(GetProcessList(true, true, processes));
    EXPECT_TRUE(processes.empty());
    EXPECT_FALSE(GetModuleList(1, modules));
    EXPECT_TRUE(modules.empty());
    GetThreadList(0, false, threads);
    EXPECT_TRUE(threads.empty());
    EXPECT_TRUE(sys.snapshotsTaken.empty());
}

TEST_F(EnumTest, ThreadListWithoutToolhelpComplainsOnlyOnOldNt) {
    struct Case {
        PlatformVersion version;
        std::uint8_t code;
        bool message;
    };
    const Case cases[] = {
        {{2, 3, 51}, 6, true},  {{2, 4, 0}, 7, true},   {{2, 3, 10}, 5, true},  {{2, 5, 1}, 8, false},
        {{2, 10, 0}, 8, false}, {{1, 4, 10}, 3, false}, {{1, 4, 90}, 4, false}, {{0, 0, 0}, 0, false},
    };
    sys.toolhelp = false;
    for (const Case& c : cases) {
        ResetPlatformCode();
        sys.version = c.version;
        sys.messages.clear();
        GetThreadList(0, false, threads);
        EXPECT_EQ(GetPlatformCode(), c.code);
        ASSERT_EQ(sys.messages.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(sys.messages[0].first, "Error reading Performace Data.");
            EXPECT_EQ(sys.messages[0].second, "Error...");
        }
    }
}

TEST_F(EnumTest, PlatformCodeIsCached) {
    GetPlatformCode();
    GetPlatformCode();
    EXPECT_EQ(sys.versionReads, 1);
}

TEST_F(EnumTest, ModuleListReadsEveryModuleInOrder) {
    sys.AddProcess(5, "C:\\x\\prog.exe");
    EXPECT_TRUE(GetModuleList(5, modules));
    ASSERT_EQ(modules.size(), 2u);
    EXPECT_EQ(modules[0]->ExePath, "C:\\x\\prog.exe");
    EXPECT_EQ(modules[0]->ModuleName, "prog.exe");
    EXPECT_EQ(modules[0]->ModuleHandle, 0x400000u);
    EXPECT_EQ(modules[1]->ModuleName, "kernel32.dll");
    EXPECT_FALSE(GetModuleList(6, modules));
    EXPECT_TRUE(modules.empty());
}

class WindowListTest : public EnumTest {
protected:
    void SetUp() override {
        EnumTest::SetUp();
        sys.windows = {
            {.handle = 1, .processId = 10, .threadId = 100, .text = "Main", .className = "MainClass"},
            {.handle = 2, .processId = 10, .threadId = 100, .visible = false},
            {.handle = 3, .processId = 10, .threadId = 101, .owner = 1},
            {.handle = 4, .processId = 10, .threadId = 101, .parent = 1},
            {.handle = 5, .processId = 10, .threadId = 101, .exStyle = kWsExToolWindow},
            {.handle = 6, .processId = 20, .threadId = 200, .enabled = false},
        };
    }
    std::vector<WindowHandle> Handles() const {
        std::vector<WindowHandle> out;
        for (const TWindowInfo* w : windows) out.push_back(w->Handle);
        return out;
    }
};

TEST_F(WindowListTest, Filters) {
    struct Case {
        std::uint32_t process;
        std::uint32_t thread;
        bool appOnly;
        std::vector<WindowHandle> expected;
    };
    const Case cases[] = {
        {0, 0, false, {1, 2, 3, 4, 5, 6}},
        {10, 0, false, {1, 2, 3, 4, 5}},  // hidden, owned, child and tool windows included
        {10, 0, true, {1}},
        {0, 0, true, {1, 6}},
        {0, 101, false, {3, 4, 5}},
        {20, 101, false, {}},
        {99, 0, false, {}},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(GetWindowList(c.process, c.thread, c.appOnly, windows));
        EXPECT_EQ(Handles(), c.expected) << c.process << "/" << c.thread << "/" << c.appOnly;
    }
}

TEST_F(WindowListTest, RecordsCarryTheWindowsProperties) {
    sys.windows[0].rect = {10, 20, 300, 400};
    ASSERT_TRUE(GetWindowList(10, 0, false, windows));
    const TWindowInfo& main = *windows[0];
    EXPECT_EQ(main.ProcessID, 10u);
    EXPECT_EQ(main.ThreadID, 100u);
    EXPECT_TRUE(main.Visible);
    EXPECT_TRUE(main.Enabled);
    EXPECT_TRUE(main.AppWindow);
    EXPECT_EQ(main.Caption, "Main");
    EXPECT_EQ(main.ClassName, "MainClass");
    EXPECT_EQ(main.Rect, (WindowRect{10, 20, 300, 400}));
    EXPECT_EQ(windows[2]->Owner, 1u);
    EXPECT_FALSE(windows[2]->AppWindow);
    EXPECT_EQ(windows[3]->Parent, 1u);
}

TEST_F(WindowListTest, LongCaptionsAreCutToTheBuffer) {
    sys.windows[0].text = std::string(400, 'x');
    ASSERT_TRUE(GetWindowList(10, 100, false, windows));
    EXPECT_EQ(windows[0]->Caption.size(), 259u);
}

TEST_F(WindowListTest, ErrorDuringEnumerationGivesFalse) {
    sys.throwInWindowEnum = true;
    EXPECT_FALSE(GetWindowList(0, 0, false, windows));
    EXPECT_TRUE(windows.empty());
}

TEST_F(EnumTest, ExeTypes) {
    struct Case {
        const char* name;
        std::uintptr_t answer;
        std::uint8_t code;
    };
    const Case cases[] = {
        {"dos.com", 'M' | ('Z' << 8), kExeDos},
        {"old.exe", 'N' | ('E' << 8) | (0x0300u << 16), kExeWin16},
        {"cmd.exe", 'P' | ('E' << 8), kExeConsole},
        {"notepad.exe", 'P' | ('E' << 8) | (0x0400u << 16), kExeWindows},
        {"C:\\Windows\\System\\WINOA386.MOD", 0, kExeDos},
        {"winoa386.mod", 0, kExeDos},
        {"readme.txt", 0, kExeNone},
        {"odd.exe", 'X' | ('Y' << 8), kExeNone},
    };
    for (const Case& c : cases) {
        if (c.answer != 0) sys.exeTypes[c.name] = c.answer;
        EXPECT_EQ(GetExeType(c.name), c.code) << c.name;
    }
}

TEST_F(EnumTest, FreeOperationsEmptyNestedLists) {
    sys.AddProcess(100, "C:\\a.exe");
    sys.threads = {{100, 1001}};
    sys.windows = {{.handle = 0x10, .processId = 100, .threadId = 1001}};
    ASSERT_TRUE(GetProcessList(true, true, processes));
    FreeProcessList(processes);
    EXPECT_TRUE(processes.empty());
    // Without a port nothing is listed and nothing crashes.
    SetSnapshotPort(nullptr);
    EXPECT_FALSE(GetProcessList(true, true, processes));
    EXPECT_TRUE(GetWindowList(0, 0, false, windows));
    EXPECT_TRUE(windows.empty());
}

}  // namespace
}  // namespace rl
