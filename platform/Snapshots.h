// Process, thread, module and window snapshots: the primitives that the
// snapshot unit is written against. The Win32 adapter passes straight through
// to Toolhelp and the window functions; the Linux adapter reads /proc and the
// X server.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Types.h"

namespace rl {

// Snapshot kinds, as Toolhelp numbers them.
constexpr std::uint32_t kSnapProcess = 2;
constexpr std::uint32_t kSnapThread = 4;
constexpr std::uint32_t kSnapModule = 8;

struct ProcessEntry {
    std::uint32_t ProcessID = 0;
    std::string ExeFile;
    std::uint32_t ParentProcessID = 0;
    std::int32_t PriorityBase = 0;
};

struct ThreadEntry {
    std::uint32_t OwnerProcessID = 0;
    std::uint32_t ThreadID = 0;
};

struct ModuleEntry {
    std::uint32_t ModuleID = 0;
    std::uint32_t ProcessID = 0;
    std::uint32_t GlobalUsage = 0;
    std::uint32_t ProcessUsage = 0;
    ModuleHandleValue Module = 0;
    std::string ModuleName;
    std::string ExePath;
};

struct WindowRect {
    std::int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    friend bool operator==(const WindowRect&, const WindowRect&) = default;
};

constexpr std::uint32_t kWsExToolWindow = 0x80;

struct PlatformVersion {
    std::uint32_t PlatformId = 0;  // 1: Windows 95 family, 2: NT family
    std::uint32_t Major = 0;
    std::uint32_t Minor = 0;
};

class ISnapshotPort {
public:
    virtual ~ISnapshotPort() = default;

    // Resolves the snapshot entry points; false when any is missing.
    virtual bool LoadToolhelp() = 0;

    // Snapshot of the given kind; kInvalidSnapshot on failure.
    virtual SnapshotHandle CreateSnapshot(std::uint32_t kind, std::uint32_t processId) = 0;
    virtual bool ProcessFirst(SnapshotHandle snap, ProcessEntry& entry) = 0;
    virtual bool ProcessNext(SnapshotHandle snap, ProcessEntry& entry) = 0;
    virtual bool ThreadFirst(SnapshotHandle snap, ThreadEntry& entry) = 0;
    virtual bool ThreadNext(SnapshotHandle snap, ThreadEntry& entry) = 0;
    virtual bool ModuleFirst(SnapshotHandle snap, ModuleEntry& entry) = 0;
    virtual bool ModuleNext(SnapshotHandle snap, ModuleEntry& entry) = 0;
    virtual void CloseSnapshot(SnapshotHandle snap) = 0;

    // Top-level windows: of one thread when threadId is not 0, else all.
    // The callback is called once per window, in the system's order.
    virtual void EnumTopLevelWindows(std::uint32_t threadId,
                                     const std::function<void(WindowHandle)>& callback) = 0;
    // Creating thread; the creating process into processId.
    virtual std::uint32_t WindowThreadProcessId(WindowHandle w, std::uint32_t& processId) = 0;
    virtual bool IsWindowVisible(WindowHandle w) = 0;
    virtual bool IsWindowEnabled(WindowHandle w) = 0;
    virtual WindowHandle WindowOwner(WindowHandle w) = 0;
    virtual WindowHandle WindowParent(WindowHandle w) = 0;
    virtual std::uint32_t WindowExStyle(WindowHandle w) = 0;
    virtual WindowRect WindowRectangle(WindowHandle w) = 0;
    // Text and class name, each read into a buffer of bufferSize bytes and
    // cut to the length the system returned.
    virtual std::string WindowText(WindowHandle w, int bufferSize) = 0;
    virtual std::string WindowClassName(WindowHandle w, int bufferSize) = 0;

    // The shell's executable-type answer for a file name (0 when unknown).
    virtual std::uintptr_t ShellExeType(const std::string& fileName) = 0;

    // Enables or disables one privilege of the process token; true when the
    // adjustment call reported success.
    virtual bool SetPrivilege(const std::string& name, bool enable) = 0;

    virtual PlatformVersion GetVersion() = 0;

    // A message box without owner and with an OK button.
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
};

}  // namespace rl
