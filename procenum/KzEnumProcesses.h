// Snapshots of the running processes, their modules and threads, and the
// top-level windows. Lists own their records; the free operations dispose
// them and leave the list object empty for its owner to free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Snapshots.h"
#include "platform/Types.h"

namespace rl {

struct TWindowInfo {
    std::uint32_t ProcessID = 0;
    std::uint32_t ThreadID = 0;
    WindowHandle Handle = 0;
    WindowHandle Parent = 0;
    WindowHandle Owner = 0;
    bool Visible = false;
    bool Enabled = false;
    bool AppWindow = false;
    WindowRect Rect;
    std::string Caption;
    std::string ClassName;
};

struct TThreadInfo;
struct TProcessInfo;
struct TModuleInfo;

using TWindowList = std::vector<TWindowInfo*>;
using TThreadList = std::vector<TThreadInfo*>;
using TProcessList = std::vector<TProcessInfo*>;
using TModuleList = std::vector<TModuleInfo*>;

struct TThreadInfo {
    std::uint32_t ProcessID = 0;
    std::uint32_t ThreadID = 0;
    TWindowList* Windows = nullptr;
};

struct TProcessInfo {
    std::uint32_t ProcessID = 0;
    std::string ExeFile;
    std::string FullPath;
    std::uint8_t ExeType = 0;
    TThreadList* Threads = nullptr;
    std::uint32_t ParentProcessID = 0;
    std::int32_t PriorityBase = 0;
};

struct TModuleInfo {
    std::uint32_t ModuleID = 0;
    std::uint32_t ProcessID = 0;
    std::uint32_t GlobalUsage = 0;
    std::uint32_t ProcessUsage = 0;
    ModuleHandleValue ModuleHandle = 0;
    std::string ModuleName;
    std::string ExePath;
};

// The unit reaches the system through this port; without one every listing
// is empty, as when Toolhelp is missing.
void SetSnapshotPort(ISnapshotPort* port);
ISnapshotPort* SnapshotPort();

bool GetProcessList(bool withThreads, bool withWindows, TProcessList& list);
void GetThreadList(std::uint32_t processFilter, bool withWindows, TThreadList& list);
bool GetModuleList(std::uint32_t processId, TModuleList& list);
bool GetWindowList(std::uint32_t processFilter, std::uint32_t threadFilter, bool appWindowsOnly,
                   TWindowList& list);

void FreeProcessList(TProcessList& list);
void FreeThreadList(TThreadList& list);
void FreeModuleList(TModuleList& list);
void FreeWindowList(TWindowList& list);

bool LoadToolhelp();

// Executable kinds.
constexpr std::uint8_t kExeNone = 0;
constexpr std::uint8_t kExeDos = 1;
constexpr std::uint8_t kExeWin16 = 2;
constexpr std::uint8_t kExeConsole = 3;
constexpr std::uint8_t kExeWindows = 4;
std::uint8_t GetExeType(const std::string& fileName);

// Platform codes: 2 Windows 95, 3 Windows 98, 4 Windows Me,
// 5 NT 3.x, 6 NT 3.5x, 7 NT 4, 8 NT 5 and later, 0 other systems. Cached.
std::uint8_t GetPlatformCode();
// Forgets the cached code (tests switch ports).
void ResetPlatformCode();

bool SetPrivilege(const std::string& name, bool enable);

}  // namespace rl
