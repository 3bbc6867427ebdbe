#include "tests/fakes/Fakes.h"

#include <algorithm>

namespace rl::fake {

void Snapshots::AddProcess(std::uint32_t pid, const std::string& fullPath, std::uint32_t parent) {
    Process p;
    p.entry.ProcessID = pid;
    const auto slash = fullPath.find_last_of("\\/");
    p.entry.ExeFile = slash == std::string::npos ? fullPath : fullPath.substr(slash + 1);
    p.entry.ParentProcessID = parent;
    p.entry.PriorityBase = 8;
    if (!fullPath.empty()) {
        ModuleEntry m;
        m.ModuleID = 1;
        m.ProcessID = pid;
        m.GlobalUsage = m.ProcessUsage = 0xFFFF;
        m.Module = 0x400000;
        m.ModuleName = p.entry.ExeFile;
        m.ExePath = fullPath;
        p.modules.push_back(m);
        ModuleEntry lib = m;
        lib.Module = 0x7FF00000;
        lib.ModuleName = "kernel32.dll";
        lib.ExePath = "C:\\Windows\\system32\\kernel32.dll";
        p.modules.push_back(lib);
    }
    processes.push_back(p);
}

SnapshotHandle Snapshots::CreateSnapshot(std::uint32_t kind, std::uint32_t processId) {
    snapshotsTaken.push_back(kind);
    const SnapshotHandle h = nextHandle_++;
    open_[h] = Open{kind, processId, 0};
    ++openSnapshots;
    return h;
}

Snapshots::Open& Snapshots::Get(SnapshotHandle snap) {
    auto it = open_.find(snap);
    if (it == open_.end()) throw std::logic_error("snapshot not open");
    return it->second;
}

bool Snapshots::ProcessFirst(SnapshotHandle snap, ProcessEntry& entry) {
    Get(snap).next = 0;
    return ProcessNext(snap, entry);
}

bool Snapshots::ProcessNext(SnapshotHandle snap, ProcessEntry& entry) {
    Open& o = Get(snap);
    if (o.kind != kSnapProcess || o.next >= processes.size()) return false;
    if (throwAtProcess >= 0 && o.next == static_cast<std::size_t>(throwAtProcess))
        throw std::runtime_error("process entry unreadable");
    entry = processes[o.next++].entry;
    return true;
}

bool Snapshots::ThreadFirst(SnapshotHandle snap, ThreadEntry& entry) {
    Get(snap).next = 0;
    return ThreadNext(snap, entry);
}

bool Snapshots::ThreadNext(SnapshotHandle snap, ThreadEntry& entry) {
    Open& o = Get(snap);
    if (o.kind != kSnapThread || o.next >= threads.size()) return false;
    entry = threads[o.next++];
    return true;
}

bool Snapshots::ModuleFirst(SnapshotHandle snap, ModuleEntry& entry) {
    Get(snap).next = 0;
    return ModuleNext(snap, entry);
}

bool Snapshots::ModuleNext(SnapshotHandle snap, ModuleEntry& entry) {
    Open& o = Get(snap);
    if (o.kind != kSnapModule) return false;
    auto it = std::find_if(processes.begin(), processes.end(),
                           [&](const Process& p) { return p.entry.ProcessID == o.processId; });
    if (it == processes.end() || o.next >= it->modules.size()) return false;
    entry = it->modules[o.next++];
    return true;
}

void Snapshots::CloseSnapshot(SnapshotHandle snap) {
    if (open_.erase(snap) == 1) --openSnapshots;
}

void Snapshots::EnumTopLevelWindows(std::uint32_t threadId, const std::function<void(WindowHandle)>& callback) {
    ++windowEnumerations;
    if (throwInWindowEnum) throw std::runtime_error("enumeration failed");
    for (const Window& w : windows) {
        if (threadId == 0 || w.threadId == threadId) callback(w.handle);
    }
}

const Snapshots::Window& Snapshots::Find(WindowHandle w) const {
    for (const Window& win : windows) {
        if (win.handle == w) return win;
    }
    throw std::logic_error("unknown window");
}

std::uint32_t Snapshots::WindowThreadProcessId(WindowHandle w, std::uint32_t& processId) {
    const Window& win = Find(w);
    processId = win.processId;
    return win.threadId;
}

std::string Snapshots::WindowText(WindowHandle w, int bufferSize) {
    return Find(w).text.substr(0, static_cast<std::size_t>(bufferSize - 1));
}

std::string Snapshots::WindowClassName(WindowHandle w, int bufferSize) {
    return Find(w).className.substr(0, static_cast<std::size_t>(bufferSize - 1));
}

std::uintptr_t Snapshots::ShellExeType(const std::string& fileName) {
    auto it = exeTypes.find(fileName);
    return it == exeTypes.end() ? 0 : it->second;
}

bool Snapshots::SetPrivilege(const std::string& name, bool enable) {
    privilegeCalls.emplace_back(name, enable);
    return privilegeResult;
}

}  // namespace rl::fake
