// Snapshots on Windows: Toolhelp looked up at run time in the already loaded
// kernel32.dll, the window functions of user32, the shell's executable type
// and the process token's privileges. ANSI forms throughout.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <exception>
#include <type_traits>

#include "platform/Platform.h"

namespace rl {

namespace {

static_assert(std::is_same_v<std::remove_extent_t<decltype(PROCESSENTRY32::szExeFile)>, CHAR>,
              "the ANSI Toolhelp records are used");
static_assert(sizeof(TOKEN_PRIVILEGES) == 16, "one privilege fills the 16-byte previous-state buffer");

using CreateToolhelp32SnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using Process32Fn = BOOL(WINAPI*)(HANDLE, LPPROCESSENTRY32);
using Thread32Fn = BOOL(WINAPI*)(HANDLE, LPTHREADENTRY32);
using Module32Fn = BOOL(WINAPI*)(HANDLE, LPMODULEENTRY32);

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
    // Through a generic function type: FARPROC's own signature is unrelated.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

HANDLE ToHandle(SnapshotHandle snap) { return reinterpret_cast<HANDLE>(snap); }
HWND ToHwnd(WindowHandle w) { return reinterpret_cast<HWND>(w); }
WindowHandle FromHwnd(HWND w) { return reinterpret_cast<WindowHandle>(w); }

// A fixed-size text field of a record, which need not be terminated.
template <std::size_t N>
std::string FieldText(const CHAR (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

void Convert(const PROCESSENTRY32& from, ProcessEntry& to) {
    to.ProcessID = from.th32ProcessID;
    to.ExeFile = FieldText(from.szExeFile);
    to.ParentProcessID = from.th32ParentProcessID;
    to.PriorityBase = from.pcPriClassBase;
}

void Convert(const THREADENTRY32& from, ThreadEntry& to) {
    to.OwnerProcessID = from.th32OwnerProcessID;
    to.ThreadID = from.th32ThreadID;
}

void Convert(const MODULEENTRY32& from, ModuleEntry& to) {
    to.ModuleID = from.th32ModuleID;
    to.ProcessID = from.th32ProcessID;
    to.GlobalUsage = from.GlblcntUsage;
    to.ProcessUsage = from.ProccntUsage;
    to.Module = reinterpret_cast<ModuleHandleValue>(from.hModule);
    to.ModuleName = FieldText(from.szModule);
    to.ExePath = FieldText(from.szExePath);
}

// Reads one entry through a first/next entry point into a fresh record whose
// size field is set for this build's structure.
template <typename Record, typename Entry>
bool ReadEntry(BOOL(WINAPI* fn)(HANDLE, Record*), SnapshotHandle snap, Entry& entry) {
    if (fn == nullptr) return false;
    Record record{};
    record.dwSize = sizeof(Record);
    if (!fn(ToHandle(snap), &record)) return false;
    Convert(record, entry);
    return true;
}

// What one window enumeration carries through the system's callback. An
// exception must not unwind through the system's frames: it is kept, ends
// the enumeration and is raised again once the system call has returned.
struct EnumContext {
    const std::function<void(WindowHandle)>* callback;
    std::exception_ptr error;
};

BOOL CALLBACK EnumProc(HWND w, LPARAM param) {
    auto* context = reinterpret_cast<EnumContext*>(param);
    try {
        (*context->callback)(FromHwnd(w));
    } catch (...) {
        context->error = std::current_exception();
        return FALSE;
    }
    return TRUE;
}

std::string ReadText(int (WINAPI* read)(HWND, LPSTR, int), WindowHandle w, int bufferSize) {
    if (bufferSize <= 0) return {};
    std::string buffer(static_cast<std::size_t>(bufferSize), '\0');
    const int length = read(ToHwnd(w), buffer.data(), bufferSize);
    buffer.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return buffer;
}

class Win32SnapshotPort : public ISnapshotPort {
public:
    bool LoadToolhelp() override {
        // kernel32 is loaded in every process; it is taken, never loaded.
        const HMODULE kernel = GetModuleHandleA("kernel32.dll");
        th_ = {};
        if (kernel == nullptr) return false;
        th_.createSnapshot = Lookup<CreateToolhelp32SnapshotFn>(kernel, "CreateToolhelp32Snapshot");
        th_.processFirst = Lookup<Process32Fn>(kernel, "Process32First");
        th_.processNext = Lookup<Process32Fn>(kernel, "Process32Next");
        th_.threadFirst = Lookup<Thread32Fn>(kernel, "Thread32First");
        th_.threadNext = Lookup<Thread32Fn>(kernel, "Thread32Next");
        th_.moduleFirst = Lookup<Module32Fn>(kernel, "Module32First");
        th_.moduleNext = Lookup<Module32Fn>(kernel, "Module32Next");
        return th_.createSnapshot != nullptr && th_.processFirst != nullptr && th_.processNext != nullptr &&
               th_.threadFirst != nullptr && th_.threadNext != nullptr && th_.moduleFirst != nullptr &&
               th_.moduleNext != nullptr;
    }

    SnapshotHandle CreateSnapshot(std::uint32_t kind, std::uint32_t processId) override {
        if (th_.createSnapshot == nullptr) return kInvalidSnapshot;
        const HANDLE snap = th_.createSnapshot(kind, processId);
        if (snap == INVALID_HANDLE_VALUE || snap == nullptr) return kInvalidSnapshot;
        return reinterpret_cast<SnapshotHandle>(snap);
    }

    bool ProcessFirst(SnapshotHandle snap, ProcessEntry& entry) override { return ReadEntry(th_.processFirst, snap, entry); }
    bool ProcessNext(SnapshotHandle snap, ProcessEntry& entry) override { return ReadEntry(th_.processNext, snap, entry); }
    bool ThreadFirst(SnapshotHandle snap, ThreadEntry& entry) override { return ReadEntry(th_.threadFirst, snap, entry); }
    bool ThreadNext(SnapshotHandle snap, ThreadEntry& entry) override { return ReadEntry(th_.threadNext, snap, entry); }
    bool ModuleFirst(SnapshotHandle snap, ModuleEntry& entry) override { return ReadEntry(th_.moduleFirst, snap, entry); }
    bool ModuleNext(SnapshotHandle snap, ModuleEntry& entry) override { return ReadEntry(th_.moduleNext, snap, entry); }

    void CloseSnapshot(SnapshotHandle snap) override {
        if (snap != kInvalidSnapshot) CloseHandle(ToHandle(snap));
    }

    void EnumTopLevelWindows(std::uint32_t threadId, const std::function<void(WindowHandle)>& callback) override {
        EnumContext context{&callback, nullptr};
        const auto param = reinterpret_cast<LPARAM>(&context);
        if (threadId != 0) {
            EnumThreadWindows(threadId, EnumProc, param);
        } else {
            EnumWindows(EnumProc, param);
        }
        if (context.error) std::rethrow_exception(context.error);
    }

    std::uint32_t WindowThreadProcessId(WindowHandle w, std::uint32_t& processId) override {
        DWORD pid = 0;
        const DWORD tid = GetWindowThreadProcessId(ToHwnd(w), &pid);
        processId = pid;
        return tid;
    }

    bool IsWindowVisible(WindowHandle w) override { return ::IsWindowVisible(ToHwnd(w)) != FALSE; }
    bool IsWindowEnabled(WindowHandle w) override { return ::IsWindowEnabled(ToHwnd(w)) != FALSE; }
    WindowHandle WindowOwner(WindowHandle w) override { return FromHwnd(GetWindow(ToHwnd(w), GW_OWNER)); }
    WindowHandle WindowParent(WindowHandle w) override { return FromHwnd(GetParent(ToHwnd(w))); }

    std::uint32_t WindowExStyle(WindowHandle w) override {
        return static_cast<std::uint32_t>(GetWindowLongA(ToHwnd(w), GWL_EXSTYLE));
    }

    WindowRect WindowRectangle(WindowHandle w) override {
        RECT r{};
        GetWindowRect(ToHwnd(w), &r);
        return WindowRect{r.left, r.top, r.right, r.bottom};
    }

    std::string WindowText(WindowHandle w, int bufferSize) override { return ReadText(GetWindowTextA, w, bufferSize); }
    std::string WindowClassName(WindowHandle w, int bufferSize) override {
        return ReadText(GetClassNameA, w, bufferSize);
    }

    std::uintptr_t ShellExeType(const std::string& fileName) override {
        SHFILEINFOA info{};
        return SHGetFileInfoA(fileName.c_str(), 0, &info, sizeof(info), SHGFI_EXETYPE);
    }

    bool SetPrivilege(const std::string& name, bool enable) override {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
        bool result = false;
        TOKEN_PRIVILEGES privileges{};
        if (LookupPrivilegeValueA(nullptr, name.c_str(), &privileges.Privileges[0].Luid)) {
            privileges.PrivilegeCount = 1;
            privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
            TOKEN_PRIVILEGES previous{};
            DWORD previousLength = 0;
            result = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(previous), &previous,
                                           &previousLength) != FALSE;
        }
        CloseHandle(token);
        return result;
    }

    PlatformVersion GetVersion() override {
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = sizeof(info);
        if (!GetVersionExA(&info)) return {};
        return PlatformVersion{info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion};
    }

    void ShowMessage(const std::string& text, const std::string& caption) override {
        MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK);
    }

private:
    // The entry points found by the last LoadToolhelp.
    struct Toolhelp {
        CreateToolhelp32SnapshotFn createSnapshot = nullptr;
        Process32Fn processFirst = nullptr;
        Process32Fn processNext = nullptr;
        Thread32Fn threadFirst = nullptr;
        Thread32Fn threadNext = nullptr;
        Module32Fn moduleFirst = nullptr;
        Module32Fn moduleNext = nullptr;
    } th_;
};

static_assert(TOKEN_ADJUST_PRIVILEGES + TOKEN_QUERY == 0x28);
static_assert(SE_PRIVILEGE_ENABLED == 2);
static_assert(SHGFI_EXETYPE == 0x2000);

}  // namespace

std::unique_ptr<ISnapshotPort> CreateSnapshotPort() { return std::make_unique<Win32SnapshotPort>(); }

}  // namespace rl
