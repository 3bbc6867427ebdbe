// Process, thread and module snapshots from /proc, through the snapshot unit
// and through the port itself.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "platform/Platform.h"
#include "procenum/KzEnumProcesses.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const TProcessInfo* Find(const TProcessList& list, std::uint32_t pid) {
    const auto it = std::find_if(list.begin(), list.end(), [&](const TProcessInfo* p) { return p->ProcessID == pid; });
    return it == list.end() ? nullptr : *it;
}

std::string FileName(const std::string& path) { return fs::path(path).filename().string(); }

class ProcSnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = CreateSnapshotPort();
        SetSnapshotPort(port_.get());
    }
    void TearDown() override { SetSnapshotPort(nullptr); }

    std::unique_ptr<ISnapshotPort> port_;
};

TEST_F(ProcSnapshotTest, ChildProcessesAreListedWithTheirExecutables) {
    linuxtest::TempDir dir;
    const std::string sleep = linuxtest::RealPath("/bin/sleep");
    ASSERT_FALSE(sleep.empty());
    const std::string odd = dir.Path() + "/odd (name) x";
    const std::string doomed = dir.Path() + "/removed-after-start";
    const std::string link = dir.Path() + "/link-to-sleep";
    fs::copy_file(sleep, odd);
    fs::copy_file(sleep, doomed);
    fs::permissions(odd, fs::perms::owner_all);
    fs::permissions(doomed, fs::perms::owner_all);
    fs::create_symlink(sleep, link);

    struct Case {
        std::string started;   // what the child was started as
        std::string fullPath;  // what the listing says
    };
    const Case cases[] = {
        {"/bin/sleep", sleep},
        {"/bin/sleep", sleep},  // the same program twice: two records, one path
        {link, sleep},          // symbolic links resolved as the kernel does
        {odd, linuxtest::RealPath(odd)},
        {doomed, linuxtest::RealPath(doomed)},  // still the path it was started from
    };
    std::vector<std::unique_ptr<linuxtest::Child>> children;
    for (const Case& c : cases) {
        children.push_back(std::make_unique<linuxtest::Child>(std::vector<std::string>{c.started, "30"}));
        ASSERT_TRUE(children.back()->Started()) << c.started;
    }
    fs::remove(doomed);

    TProcessList list;
    ASSERT_TRUE(GetProcessList(false, true, list));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].started);
        const TProcessInfo* p = Find(list, static_cast<std::uint32_t>(children[i]->Pid()));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->FullPath, cases[i].fullPath);
        EXPECT_EQ(p->ExeFile, FileName(cases[i].fullPath));
        EXPECT_EQ(p->ParentProcessID, static_cast<std::uint32_t>(getpid()));
        EXPECT_EQ(p->PriorityBase, 20);  // nice 0
        EXPECT_EQ(p->ExeType, kExeNone);
        ASSERT_NE(p->Threads, nullptr);
        EXPECT_TRUE(p->Threads->empty());
    }
    const TProcessInfo* self = Find(list, static_cast<std::uint32_t>(getpid()));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->FullPath, linuxtest::RealPath("/proc/self/exe"));
    FreeProcessList(list);
    EXPECT_TRUE(list.empty());
}

TEST_F(ProcSnapshotTest, ProcessWithoutExecutableIsListedWithoutPath) {
    // A zombie has no executable any more, like a kernel thread.
    const pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    ASSERT_GT(zombie, 0);
    ASSERT_TRUE(linuxtest::WaitFor(
        [&] {
            std::ifstream stat("/proc/" + std::to_string(zombie) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            return text.find(") Z ") != std::string::npos;
        },
        10s));

    TProcessList list;
    ASSERT_TRUE(GetProcessList(false, true, list));
    const TProcessInfo* p = Find(list, static_cast<std::uint32_t>(zombie));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->FullPath, "");
    std::string comm;
    std::getline(std::ifstream("/proc/self/comm"), comm);
    EXPECT_EQ(p->ExeFile, comm);
    EXPECT_EQ(p->ParentProcessID, static_cast<std::uint32_t>(getpid()));
    FreeProcessList(list);

    TModuleList modules;
    EXPECT_FALSE(GetModuleList(static_cast<std::uint32_t>(zombie), modules));
    EXPECT_TRUE(modules.empty());
    waitpid(zombie, nullptr, 0);

    // Gone altogether: no snapshot at all.
    EXPECT_FALSE(GetModuleList(static_cast<std::uint32_t>(zombie), modules));
    EXPECT_EQ(port_->CreateSnapshot(kSnapModule, static_cast<std::uint32_t>(zombie)), kInvalidSnapshot);
}

TEST_F(ProcSnapshotTest, ThreadsAreMergedIntoTheirProcesses) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::set<std::uint32_t> ours{static_cast<std::uint32_t>(getpid())};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            std::unique_lock lock(m);
            ours.insert(static_cast<std::uint32_t>(syscall(SYS_gettid)));
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        });
    }
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return ours.size() == 3; });
    }

    TProcessList list;
    ASSERT_TRUE(GetProcessList(true, false, list));
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    for (auto& t : threads) t.join();

    const TProcessInfo* self = Find(list, static_cast<std::uint32_t>(getpid()));
    ASSERT_NE(self, nullptr);
    std::set<std::uint32_t> listed;
    for (const TThreadInfo* t : *self->Threads) listed.insert(t->ThreadID);
    for (const std::uint32_t tid : ours) EXPECT_EQ(listed.count(tid), 1u) << tid;

    // Every thread carries its own process's identifier, and no windows.
    std::size_t total = 0;
    for (const TProcessInfo* p : list) {
        for (const TThreadInfo* t : *p->Threads) {
            EXPECT_EQ(t->ProcessID, p->ProcessID);
            ASSERT_NE(t->Windows, nullptr);
            EXPECT_TRUE(t->Windows->empty());
            ++total;
        }
    }
    EXPECT_GE(total, list.size());  // at least one thread per process
    FreeProcessList(list);
}

TEST_F(ProcSnapshotTest, ThreadsWithWindowsCarryCopiesOfTheirWindows) {
    ASSERT_FALSE(linuxtest::ServiceEnv("DISPLAY").empty());
    auto windows = linuxtest::StartTestWindows({"title=Threaded one", "title=Threaded two,hidden"});
    ASSERT_EQ(windows.ids.size(), 2u);
    const auto pid = static_cast<std::uint32_t>(windows.process->Pid());

    TProcessList list;
    ASSERT_TRUE(GetProcessList(true, true, list));
    const TProcessInfo* p = Find(list, pid);
    ASSERT_NE(p, nullptr);
    const auto main = std::find_if(p->Threads->begin(), p->Threads->end(),
                                   [&](const TThreadInfo* t) { return t->ThreadID == pid; });
    ASSERT_NE(main, p->Threads->end());
    std::set<WindowHandle> handles;
    for (const TWindowInfo* w : *(*main)->Windows) {
        handles.insert(w->Handle);
        EXPECT_EQ(w->ProcessID, pid);
        EXPECT_EQ(w->ThreadID, pid);
    }
    EXPECT_EQ(handles, (std::set<WindowHandle>{windows.ids[0], windows.ids[1]}));
    FreeProcessList(list);
}

TEST_F(ProcSnapshotTest, ModulesStartWithTheExecutableThenEachMappedFileOnce) {
    TModuleList modules;
    ASSERT_TRUE(GetModuleList(static_cast<std::uint32_t>(getpid()), modules));
    ASSERT_GE(modules.size(), 2u);
    const std::string exe = linuxtest::RealPath("/proc/self/exe");
    EXPECT_EQ(modules[0]->ExePath, exe);
    EXPECT_EQ(modules[0]->ModuleName, FileName(exe));
    EXPECT_NE(modules[0]->ModuleHandle, 0u);
    std::set<std::string> paths;
    bool libc = false;
    for (const TModuleInfo* m : modules) {
        EXPECT_EQ(m->ProcessID, static_cast<std::uint32_t>(getpid()));
        EXPECT_EQ(m->ExePath.front(), '/');
        EXPECT_EQ(m->ModuleName, FileName(m->ExePath));
        EXPECT_TRUE(paths.insert(m->ExePath).second) << "listed twice: " << m->ExePath;
        libc = libc || m->ModuleName.rfind("libc.so", 0) == 0;
    }
    EXPECT_TRUE(libc);
    FreeModuleList(modules);
}

TEST_F(ProcSnapshotTest, SnapshotHandlesAreIndependentTokens) {
    const SnapshotHandle processes = port_->CreateSnapshot(kSnapProcess, 0);
    const SnapshotHandle threads = port_->CreateSnapshot(kSnapThread, 0);
    const SnapshotHandle modules = port_->CreateSnapshot(kSnapModule, 0);  // 0: this process
    ASSERT_NE(processes, kInvalidSnapshot);
    ASSERT_NE(threads, kInvalidSnapshot);
    ASSERT_NE(modules, kInvalidSnapshot);
    EXPECT_NE(processes, threads);
    EXPECT_EQ(port_->CreateSnapshot(99, 0), kInvalidSnapshot);

    ProcessEntry p;
    ThreadEntry t;
    ModuleEntry m;
    // A snapshot answers only for its own kind.
    EXPECT_FALSE(port_->ProcessFirst(threads, p));
    EXPECT_FALSE(port_->ThreadFirst(processes, t));
    EXPECT_FALSE(port_->ModuleFirst(processes, m));

    ASSERT_TRUE(port_->ProcessFirst(processes, p));
    const std::uint32_t first = p.ProcessID;
    ASSERT_TRUE(port_->ProcessNext(processes, p));
    EXPECT_NE(p.ProcessID, first);
    ASSERT_TRUE(port_->ProcessFirst(processes, p));  // starts over
    EXPECT_EQ(p.ProcessID, first);

    ASSERT_TRUE(port_->ModuleFirst(modules, m));
    EXPECT_EQ(m.ExePath, linuxtest::RealPath("/proc/self/exe"));
    ASSERT_TRUE(port_->ThreadFirst(threads, t));
    EXPECT_NE(t.ThreadID, 0u);

    port_->CloseSnapshot(processes);
    EXPECT_FALSE(port_->ProcessFirst(processes, p));
    EXPECT_FALSE(port_->ProcessNext(processes, p));
    EXPECT_TRUE(port_->ThreadNext(threads, t));  // the others stay open
    EXPECT_TRUE(port_->ModuleFirst(modules, m));
    port_->CloseSnapshot(threads);
    port_->CloseSnapshot(modules);
    port_->CloseSnapshot(kInvalidSnapshot);  // harmless
}

TEST_F(ProcSnapshotTest, WindowsOnlyPartsAnswerAsOnAnotherSystem) {
    EXPECT_TRUE(LoadToolhelp());
    EXPECT_FALSE(SetPrivilege("SeDebugPrivilege", true));
    EXPECT_EQ(port_->ShellExeType("/bin/sleep"), 0u);
    EXPECT_EQ(GetExeType("/bin/sleep"), kExeNone);
    const PlatformVersion v = port_->GetVersion();
    EXPECT_NE(v.PlatformId, 1u);
    EXPECT_NE(v.PlatformId, 2u);
    ResetPlatformCode();
    EXPECT_EQ(GetPlatformCode(), 0);
    ResetPlatformCode();
}

// Without /proc a thread listing takes the way of a system without Toolhelp,
// which shows the old NT message on NT 3 and 4 only. The test runs itself
// once more in a mount namespace of its own, with an empty /proc.
TEST_F(ProcSnapshotTest, WithoutProcAThreadListingIsEmptyAndShowsNoOldNtMessage) {
    if (std::getenv("RL_NO_PROC_PROBE") != nullptr) {
        ASSERT_FALSE(LoadToolhelp()) << "/proc is still there";
        ResetPlatformCode();
        testing::internal::CaptureStderr();
        TThreadList threads;
        GetThreadList(static_cast<std::uint32_t>(getpid()), false, threads);
        EXPECT_TRUE(threads.empty());
        FreeThreadList(threads);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        return;
    }
    if (geteuid() != 0 || linuxtest::Run("unshare -m true 2>/dev/null").status != 0)
        GTEST_SKIP() << "needs root and unshare";
    const std::string self = linuxtest::RealPath("/proc/self/exe");
    const auto r = linuxtest::Run(
        "unshare -m --propagation private sh -c \"mount -t tmpfs none /proc && RL_NO_PROC_PROBE=1 exec '" + self +
        "' --gtest_filter=ProcSnapshotTest.WithoutProcAThreadListingIsEmptyAndShowsNoOldNtMessage\" 2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("[  PASSED  ] 1 test."), std::string::npos) << r.output;
}

TEST_F(ProcSnapshotTest, MessagesGoToStandardError) {
    testing::internal::CaptureStderr();
    port_->ShowMessage("Error reading Performace Data.", "Error...");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error...: Error reading Performace Data.\n");
}

}  // namespace
}  // namespace rl
