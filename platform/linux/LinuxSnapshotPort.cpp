// Snapshots on Linux: processes, threads and modules from /proc, taken whole
// when the snapshot is created and read back through handles of our own;
// top-level windows are the X server's client windows.
// Before Xlib, whose None macro would clash with the port's names.
#include "platform/Platform.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <sys/utsname.h>

#include <cstdio>
#include <map>
#include <variant>

#include "platform/linux/ProcFs.h"
#include "platform/linux/X11Display.h"

namespace rl {

namespace {

// Cuts text to what a buffer of the given size holds with its terminating
// zero, without splitting a UTF-8 sequence.
std::string CutToBuffer(std::string text, int bufferSize) {
    if (bufferSize <= 0) return {};
    const auto limit = static_cast<std::size_t>(bufferSize - 1);
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text;
}

std::string Latin1ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

class LinuxSnapshotPort : public ISnapshotPort {
public:
    bool LoadToolhelp() override { return procfs::Available(); }

    SnapshotHandle CreateSnapshot(std::uint32_t kind, std::uint32_t processId) override {
        Snapshot snap;
        switch (kind) {
            case kSnapProcess:
                snap.entries = procfs::ReadProcesses();
                break;
            case kSnapThread:
                snap.entries = procfs::ReadThreads();
                break;
            case kSnapModule: {
                // Process 0 means the calling process, as with Toolhelp.
                const std::uint32_t pid = processId != 0 ? processId : static_cast<std::uint32_t>(getpid());
                auto modules = procfs::ReadModules(pid);
                if (!modules) return kInvalidSnapshot;
                snap.entries = std::move(*modules);
                break;
            }
            default:
                return kInvalidSnapshot;
        }
        const SnapshotHandle handle = nextHandle_++;
        open_.emplace(handle, std::move(snap));
        return handle;
    }

    bool ProcessFirst(SnapshotHandle snap, ProcessEntry& entry) override { return Read(snap, entry, true); }
    bool ProcessNext(SnapshotHandle snap, ProcessEntry& entry) override { return Read(snap, entry, false); }
    bool ThreadFirst(SnapshotHandle snap, ThreadEntry& entry) override { return Read(snap, entry, true); }
    bool ThreadNext(SnapshotHandle snap, ThreadEntry& entry) override { return Read(snap, entry, false); }
    bool ModuleFirst(SnapshotHandle snap, ModuleEntry& entry) override { return Read(snap, entry, true); }
    bool ModuleNext(SnapshotHandle snap, ModuleEntry& entry) override { return Read(snap, entry, false); }
    void CloseSnapshot(SnapshotHandle snap) override { open_.erase(snap); }

    void EnumTopLevelWindows(std::uint32_t threadId, const std::function<void(WindowHandle)>& callback) override {
        Display* d = x11::SharedDisplay();
        if (d == nullptr) return;
        for (const Window w : x11::ClientWindows(d)) {
            // A window's thread is its process's main thread.
            if (threadId != 0) {
                std::uint32_t pid = 0;
                if (WindowThreadProcessId(w, pid) != threadId) continue;
            }
            callback(static_cast<WindowHandle>(w));
        }
    }

    std::uint32_t WindowThreadProcessId(WindowHandle w, std::uint32_t& processId) override {
        processId = 0;
        Display* d = x11::SharedDisplay();
        if (d == nullptr) return 0;
        // The server knows which process holds the connection that created
        // the window; _NET_WM_PID, set by the client itself, serves when it
        // cannot tell (remote clients, no X-Resource extension).
        processId = ServerClientPid(d, static_cast<Window>(w));
        if (processId == 0) {
            const auto pid = x11::Property32(d, static_cast<Window>(w), x11::SharedAtoms().NET_WM_PID, XA_CARDINAL);
            if (!pid.empty()) processId = static_cast<std::uint32_t>(pid[0]);
        }
        // X11 has no thread ownership: the main thread, whose id is the pid.
        return processId;
    }

    bool IsWindowVisible(WindowHandle w) override {
        XWindowAttributes a{};
        return Attributes(w, a) && a.map_state != IsUnmapped;
    }

    bool IsWindowEnabled(WindowHandle) override { return true; }

    WindowHandle WindowOwner(WindowHandle w) override {
        Display* d = x11::SharedDisplay();
        if (d == nullptr) return 0;
        Window owner = None;
        if (XGetTransientForHint(d, static_cast<Window>(w), &owner) == 0) return 0;
        // Transient for the root means transient for the whole group, not owned.
        if (owner == DefaultRootWindow(d)) return 0;
        return static_cast<WindowHandle>(owner);
    }

    WindowHandle WindowParent(WindowHandle) override { return 0; }

    // Tool windows are those that never show in a task bar: override-redirect
    // windows (menus, tooltips), the panel-like and pop-up window types, and
    // windows that ask to be left out of the task bar.
    std::uint32_t WindowExStyle(WindowHandle w) override {
        Display* d = x11::SharedDisplay();
        if (d == nullptr) return 0;
        const auto& atoms = x11::SharedAtoms();
        const auto window = static_cast<Window>(w);
        XWindowAttributes a{};
        if (Attributes(w, a) && a.override_redirect) return kWsExToolWindow;
        for (const unsigned long type : x11::Property32(d, window, atoms.NET_WM_WINDOW_TYPE, XA_ATOM)) {
            for (const Atom tool : atoms.toolWindowTypes) {
                if (type == tool) return kWsExToolWindow;
            }
        }
        for (const unsigned long state : x11::Property32(d, window, atoms.NET_WM_STATE, XA_ATOM)) {
            if (state == atoms.NET_WM_STATE_SKIP_TASKBAR) return kWsExToolWindow;
        }
        return 0;
    }

    WindowRect WindowRectangle(WindowHandle w) override {
        Display* d = x11::SharedDisplay();
        XWindowAttributes a{};
        if (d == nullptr || !Attributes(w, a)) return {};
        int x = 0, y = 0;
        Window child = None;
        if (!XTranslateCoordinates(d, static_cast<Window>(w), DefaultRootWindow(d), 0, 0, &x, &y, &child))
            return {};
        return {x, y, x + a.width, y + a.height};
    }

    std::string WindowText(WindowHandle w, int bufferSize) override {
        Display* d = x11::SharedDisplay();
        if (d == nullptr) return {};
        const auto& atoms = x11::SharedAtoms();
        const auto window = static_cast<Window>(w);
        if (auto name = x11::Property8(d, window, atoms.NET_WM_NAME, atoms.UTF8_STRING))
            return CutToBuffer(*name, bufferSize);
        Atom type = None;
        auto name = WmName(d, window, type);
        if (!name) return {};
        // Text is UTF-8 here; a plain STRING is Latin-1.
        return CutToBuffer(type == XA_STRING ? Latin1ToUtf8(*name) : *name, bufferSize);
    }

    std::string WindowClassName(WindowHandle w, int bufferSize) override {
        Display* d = x11::SharedDisplay();
        if (d == nullptr) return {};
        const auto value = x11::Property8(d, static_cast<Window>(w), XA_WM_CLASS, XA_STRING);
        if (!value) return {};
        // "instance\0class\0": the class names the kind of window.
        const std::string& v = *value;
        const auto sep = v.find('\0');
        std::string cls = sep == std::string::npos ? std::string() : v.substr(sep + 1);
        if (const auto end = cls.find('\0'); end != std::string::npos) cls.resize(end);
        if (cls.empty()) cls = v.substr(0, sep);
        return CutToBuffer(Latin1ToUtf8(cls), bufferSize);
    }

    // No shell classifies executables here.
    std::uintptr_t ShellExeType(const std::string&) override { return 0; }

    // There are no token privileges; reading /proc needs none.
    bool SetPrivilege(const std::string&, bool) override { return false; }

    // Platform 0 is neither Windows family; the kernel release goes along.
    PlatformVersion GetVersion() override {
        PlatformVersion v;
        utsname u{};
        if (uname(&u) == 0) std::sscanf(u.release, "%u.%u", &v.Major, &v.Minor);
        return v;
    }

    void ShowMessage(const std::string& text, const std::string& caption) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }

private:
    struct Snapshot {
        std::variant<std::vector<ProcessEntry>, std::vector<ThreadEntry>, std::vector<ModuleEntry>> entries;
        std::size_t next = 0;
    };

    template <typename Entry>
    bool Read(SnapshotHandle handle, Entry& entry, bool first) {
        const auto it = open_.find(handle);
        if (it == open_.end()) return false;
        Snapshot& snap = it->second;
        const auto* entries = std::get_if<std::vector<Entry>>(&snap.entries);
        if (entries == nullptr) return false;
        if (first) snap.next = 0;
        if (snap.next >= entries->size()) return false;
        entry = (*entries)[snap.next++];
        return true;
    }

    bool Attributes(WindowHandle w, XWindowAttributes& a) {
        Display* d = x11::SharedDisplay();
        return d != nullptr && XGetWindowAttributes(d, static_cast<Window>(w), &a) != 0;
    }

    static std::optional<std::string> WmName(Display* d, Window w, Atom& type) {
        XTextProperty prop{};
        if (XGetWMName(d, w, &prop) == 0) return std::nullopt;
        std::optional<std::string> name;
        if (prop.value != nullptr && prop.format == 8)
            name.emplace(reinterpret_cast<const char*>(prop.value), prop.nitems);
        type = prop.encoding;
        if (prop.value != nullptr) XFree(prop.value);
        return name;
    }

    // The pid the X-Resource extension reports for the client that created
    // the window; 0 when it cannot tell.
    std::uint32_t ServerClientPid(Display* d, Window w) {
        if (xresGeneration_ != x11::ConnectionGeneration()) {
            xresGeneration_ = x11::ConnectionGeneration();
            int event = 0, error = 0, major = 0, minor = 0;
            xres_ = XResQueryExtension(d, &event, &error) && XResQueryVersion(d, &major, &minor) &&
                    (major > 1 || (major == 1 && minor >= 2));
        }
        if (!xres_) return 0;
        XResClientIdSpec client{w, XRES_CLIENT_ID_PID_MASK};
        long count = 0;
        XResClientIdValue* ids = nullptr;
        if (XResQueryClientIds(d, 1, &client, &count, &ids) != Success) return 0;
        std::uint32_t pid = 0;
        for (long i = 0; i < count && pid == 0; ++i) {
            if (ids[i].spec.mask != XRES_CLIENT_ID_PID_MASK) continue;
            const pid_t p = XResGetClientPid(&ids[i]);
            if (p > 0) pid = static_cast<std::uint32_t>(p);
        }
        XResClientIdsDestroy(count, ids);
        return pid;
    }

    std::map<SnapshotHandle, Snapshot> open_;
    SnapshotHandle nextHandle_ = 1;
    unsigned xresGeneration_ = 0;
    bool xres_ = false;
};

}  // namespace

std::unique_ptr<ISnapshotPort> CreateSnapshotPort() { return std::make_unique<LinuxSnapshotPort>(); }

}  // namespace rl
