#include "procenum/KzEnumProcesses.h"

#include <cctype>
#include <optional>

namespace rl {

namespace {

ISnapshotPort* gPort = nullptr;

// Filters of the window enumeration in progress; enumerations never overlap
// because everything runs on the user-interface thread.
std::uint32_t gFilterProcess = 0;
std::uint32_t gFilterThread = 0;
bool gFilterAppWindows = false;

std::optional<std::uint8_t> gPlatformCode;

constexpr int kTextBuffer = 260;

// Closes a snapshot however the reading loop is left.
class SnapshotGuard {
public:
    SnapshotGuard(ISnapshotPort& port, SnapshotHandle snap) : port_(port), snap_(snap) {}
    ~SnapshotGuard() { port_.CloseSnapshot(snap_); }
    SnapshotGuard(const SnapshotGuard&) = delete;
    SnapshotGuard& operator=(const SnapshotGuard&) = delete;

private:
    ISnapshotPort& port_;
    SnapshotHandle snap_;
};

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string FileNamePart(const std::string& path) {
    const auto pos = path.find_last_of("\\/:");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

void AddWindow(ISnapshotPort& port, WindowHandle w, TWindowList& list) {
    std::uint32_t pid = 0;
    const std::uint32_t tid = port.WindowThreadProcessId(w, pid);
    if (gFilterProcess != 0 && pid != gFilterProcess) return;
    if (gFilterThread != 0 && tid != gFilterThread) return;

    const bool visible = port.IsWindowVisible(w);
    const WindowHandle owner = port.WindowOwner(w);
    const WindowHandle parent = port.WindowParent(w);
    const bool appWindow = owner == 0 && parent == 0 && visible &&
                           (port.WindowExStyle(w) & kWsExToolWindow) == 0;
    if (gFilterAppWindows && !appWindow) return;

    auto* info = new TWindowInfo;
    info->Handle = w;
    info->Parent = parent;
    info->Owner = owner;
    info->Visible = visible;
    info->Enabled = port.IsWindowEnabled(w);
    info->AppWindow = appWindow;
    info->Rect = port.WindowRectangle(w);
    info->Caption = port.WindowText(w, kTextBuffer);
    info->ClassName = port.WindowClassName(w, kTextBuffer);
    info->ProcessID = pid;
    info->ThreadID = tid;
    list.push_back(info);
}

}  // namespace

void SetSnapshotPort(ISnapshotPort* port) { gPort = port; }
ISnapshotPort* SnapshotPort() { return gPort; }

bool LoadToolhelp() { return gPort != nullptr && gPort->LoadToolhelp(); }

void FreeWindowList(TWindowList& list) {
    for (auto it = list.rbegin(); it != list.rend(); ++it) delete *it;
    list.clear();
}

void FreeThreadList(TThreadList& list) {
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if ((*it)->Windows != nullptr) {
            FreeWindowList(*(*it)->Windows);
            delete (*it)->Windows;
        }
        delete *it;
    }
    list.clear();
}

void FreeProcessList(TProcessList& list) {
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if ((*it)->Threads != nullptr) {
            FreeThreadList(*(*it)->Threads);
            delete (*it)->Threads;
        }
        delete *it;
    }
    list.clear();
}

void FreeModuleList(TModuleList& list) {
    for (auto it = list.rbegin(); it != list.rend(); ++it) delete *it;
    list.clear();
}

bool GetModuleList(std::uint32_t processId, TModuleList& list) {
    FreeModuleList(list);
    if (!LoadToolhelp()) return false;
    const SnapshotHandle snap = gPort->CreateSnapshot(kSnapModule, processId);
    if (snap == kInvalidSnapshot) return false;
    SnapshotGuard guard(*gPort, snap);
    ModuleEntry entry;
    const bool first = gPort->ModuleFirst(snap, entry);
    for (bool more = first; more; more = gPort->ModuleNext(snap, entry)) {
        auto* info = new TModuleInfo;
        info->ModuleID = entry.ModuleID;
        info->ProcessID = entry.ProcessID;
        info->GlobalUsage = entry.GlobalUsage;
        info->ProcessUsage = entry.ProcessUsage;
        info->ModuleHandle = entry.Module;
        info->ModuleName = entry.ModuleName;
        info->ExePath = entry.ExePath;
        list.push_back(info);
    }
    return first;
}

bool GetWindowList(std::uint32_t processFilter, std::uint32_t threadFilter, bool appWindowsOnly,
                   TWindowList& list) {
    FreeWindowList(list);
    gFilterProcess = processFilter;
    gFilterThread = threadFilter;
    gFilterAppWindows = appWindowsOnly;
    if (gPort == nullptr) return true;
    try {
        gPort->EnumTopLevelWindows(threadFilter, [&list](WindowHandle w) { AddWindow(*gPort, w, list); });
    } catch (...) {
        return false;
    }
    return true;
}

void GetThreadList(std::uint32_t processFilter, bool withWindows, TThreadList& list) {
    FreeThreadList(list);
    if (LoadToolhelp()) {
        const SnapshotHandle snap = gPort->CreateSnapshot(kSnapThread, 0);
        if (snap != kInvalidSnapshot) {
            SnapshotGuard guard(*gPort, snap);
            ThreadEntry entry;
            for (bool more = gPort->ThreadFirst(snap, entry); more; more = gPort->ThreadNext(snap, entry)) {
                if (processFilter != 0 && entry.OwnerProcessID != processFilter) continue;
                auto* info = new TThreadInfo;
                info->ProcessID = entry.OwnerProcessID;
                info->ThreadID = entry.ThreadID;
                info->Windows = new TWindowList;
                list.push_back(info);
            }
        }
        if (withWindows) {
            for (TThreadInfo* t : list) {
                if (t->ProcessID != 0) GetWindowList(t->ProcessID, t->ThreadID, false, *t->Windows);
            }
        }
        return;
    }
    const std::uint8_t code = GetPlatformCode();
    if (code >= 5 && code <= 7 && gPort != nullptr)
        gPort->ShowMessage("Error reading Performace Data.", "Error...");
}

bool GetProcessList(bool withThreads, bool withWindows, TProcessList& list) {
    const bool privilege = SetPrivilege("SeDebugPrivilege", true);
    TThreadList threads;
    FreeProcessList(list);
    bool result = false;
    if (LoadToolhelp()) {
        const SnapshotHandle snap = gPort->CreateSnapshot(kSnapProcess, 0);
        if (snap != kInvalidSnapshot) {
            try {
                SnapshotGuard guard(*gPort, snap);
                ProcessEntry entry;
                result = gPort->ProcessFirst(snap, entry);
                for (bool more = result; more; more = gPort->ProcessNext(snap, entry)) {
                    auto* info = new TProcessInfo;
                    info->ProcessID = entry.ProcessID;
                    info->ExeFile = entry.ExeFile;
                    info->ParentProcessID = entry.ParentProcessID;
                    info->PriorityBase = entry.PriorityBase;
                    info->ExeType = GetExeType(entry.ExeFile);
                    info->Threads = new TThreadList;
                    list.push_back(info);
                    if (entry.ProcessID != 0) {
                        TModuleList modules;
                        if (GetModuleList(entry.ProcessID, modules) && !modules.empty())
                            info->FullPath = modules.front()->ExePath;
                        FreeModuleList(modules);
                    }
                }
            } catch (...) {
                // A failure while reading ends the listing; what was read stays.
            }
        }
        if (withThreads) GetThreadList(0, withWindows, threads);
    }
    for (TThreadInfo* t : threads) {
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            if ((*it)->ProcessID != t->ProcessID) continue;
            auto* copy = new TThreadInfo;
            copy->ProcessID = t->ProcessID;
            copy->ThreadID = t->ThreadID;
            copy->Windows = new TWindowList;
            for (const TWindowInfo* w : *t->Windows) copy->Windows->push_back(new TWindowInfo(*w));
            (*it)->Threads->push_back(copy);
        }
    }
    FreeThreadList(threads);
    SetPrivilege("SeDebugPrivilege", privilege);
    return result;
}

std::uint8_t GetExeType(const std::string& fileName) {
    const std::uintptr_t answer = gPort != nullptr ? gPort->ShellExeType(fileName) : 0;
    const char lo = static_cast<char>(answer & 0xFF);
    const char hi = static_cast<char>((answer >> 8) & 0xFF);
    if (lo == 'M' && hi == 'Z') return kExeDos;
    if (lo == 'N' && hi == 'E') return kExeWin16;
    if (lo == 'P' && hi == 'E') return answer <= 0xFFFF ? kExeConsole : kExeWindows;
    if (EqualsNoCase(FileNamePart(fileName), "winoa386.mod")) return kExeDos;
    return kExeNone;
}

std::uint8_t GetPlatformCode() {
    if (gPlatformCode) return *gPlatformCode;
    std::uint8_t code = 0;
    if (gPort != nullptr) {
        const PlatformVersion v = gPort->GetVersion();
        if (v.PlatformId == 1) {
            code = v.Minor >= 90 ? 4 : v.Minor >= 10 ? 3 : 2;
        } else if (v.PlatformId == 2) {
            if (v.Major <= 3) code = v.Minor >= 50 ? 6 : 5;
            else code = v.Major == 4 ? 7 : 8;
        }
    }
    gPlatformCode = code;
    return code;
}

void ResetPlatformCode() { gPlatformCode.reset(); }

bool SetPrivilege(const std::string& name, bool enable) {
    return gPort != nullptr && gPort->SetPrivilege(name, enable);
}

}  // namespace rl
