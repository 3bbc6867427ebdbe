// Fakes of the ports: plain state that tests set up and inspect, with call
// logs where the order or number of calls matters.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/AudioEndpoint.h"
#include "platform/AutoExceptions.h"
#include "platform/ClockInput.h"
#include "platform/Controls.h"
#include "platform/Snapshots.h"
#include "platform/Timer.h"

namespace rl::fake {

// A clock whose tick advances by `step` on every read, and whose last-input
// tick is set directly.
class Clock : public IClockInput {
public:
    std::uint32_t tick = 0;
    std::uint32_t step = 0;
    std::uint32_t lastInput = 0;
    WindowHandle foreground = 0;
    int foregroundReads = 0;
    // Set: what the session tells about the program in front instead of a window.
    std::optional<TForeground> front;
    // Called on every tick read, before the tick is returned.
    std::function<void(Clock&)> onTickRead;

    std::uint32_t GetTickCount() override {
        if (onTickRead) onTickRead(*this);
        const std::uint32_t t = tick;
        tick += step;
        return t;
    }
    std::uint32_t GetLastInputTick() override { return lastInput; }
    WindowHandle GetForegroundWindow() override {
        ++foregroundReads;
        return foreground;
    }
    TForeground GetForeground() override {
        if (!front) return IClockInput::GetForeground();
        ++foregroundReads;
        return *front;
    }
};

// Device state shared between the fake devices and the endpoint they hand out.
struct AudioState {
    float scalar = 0.5f;
    std::vector<float> sets;  // every scalar written, in order
    bool failGet = false;
    bool throwOnGet = false;
    int released = 0;
    bool present = true;  // unplugged: its controls fail, as an invalidated device's do
};

class EndpointVolume : public IEndpointVolume {
public:
    explicit EndpointVolume(std::shared_ptr<AudioState> state, std::string id = "speakers")
        : state_(std::move(state)), id_(std::move(id)) {}
    ~EndpointVolume() override { ++state_->released; }
    HResult GetMasterVolumeLevelScalar(float* level) override {
        if (state_->throwOnGet) throw std::runtime_error("device gone");
        if (state_->failGet || !state_->present) return kE_FAIL;
        *level = state_->scalar;
        return kS_OK;
    }
    HResult SetMasterVolumeLevelScalar(float level) override {
        if (!state_->present) return kE_FAIL;
        state_->sets.push_back(level);
        state_->scalar = level;
        return kS_OK;
    }
    std::string DeviceId() const override { return id_; }

private:
    std::shared_ptr<AudioState> state_;
    std::string id_;
};

// Devices by id: `state` is the first one, "speakers"; Add gives more. The
// default is the one defaultId names (none when empty).
class AudioDevices : public IAudioDevices {
public:
    std::shared_ptr<AudioState> state = std::make_shared<AudioState>();
    std::map<std::string, std::shared_ptr<AudioState>> others;
    std::string defaultId = "speakers";
    bool available = true;
    bool throwOnActivate = false;
    std::function<void()> onDevicesChanged;

    std::shared_ptr<AudioState> Add(const std::string& id, float scalar) {
        auto added = std::make_shared<AudioState>();
        added->scalar = scalar;
        others[id] = added;
        return added;
    }
    // What the system does when another device becomes the default.
    void SwitchDefault(const std::string& id) {
        defaultId = id;
        if (onDevicesChanged) onDevicesChanged();
    }

    std::unique_ptr<IEndpointVolume> ActivateDefaultEndpointVolume() override {
        if (throwOnActivate) throw std::runtime_error("no enumerator");
        if (!available) return nullptr;
        return ActivateEndpointVolume(defaultId);
    }
    std::unique_ptr<IEndpointVolume> ActivateEndpointVolume(const std::string& id) override {
        const auto other = others.find(id);
        const std::shared_ptr<AudioState> device =
            id == "speakers" ? state : (other != others.end() ? other->second : nullptr);
        if (!device || !device->present) return nullptr;
        return std::make_unique<EndpointVolume>(device, id);
    }
    void SetOnDevicesChanged(std::function<void()> handler) override { onDevicesChanged = std::move(handler); }
};

class Timer : public ITimer {
public:
    std::uint32_t interval = 100;
    bool enabled = true;
    std::vector<bool> enableLog;
    std::function<void()> handler;
    void SetInterval(std::uint32_t ms) override { interval = ms; }
    std::uint32_t Interval() const override { return interval; }
    void SetEnabled(bool e) override {
        enabled = e;
        enableLog.push_back(e);
    }
    bool Enabled() const override { return enabled; }
    void SetOnTimer(std::function<void()> h) override { handler = std::move(h); }
};

class Pump : public IMessagePump {
public:
    int calls = 0;
    std::function<void()> onPump;
    void ProcessMessages() override {
        ++calls;
        if (onPump) onPump();
    }
};

struct TrayImage : ITrayState {
    int index = 0;
    std::string hint = "RestLevel";
    int ImageIndex() const override { return index; }
    void SetImageIndex(int i) override { index = i; }
    void SetHint(const std::string& h) override { hint = h; }
};

// The automatic exceptions: a reason set by the test, and how often asked.
struct AutoExceptions : IAutoExceptions {
    TAutoReason reason = TAutoReason::NoReason;
    int asked = 0;
    TAutoReason Present() override {
        ++asked;
        return reason;
    }
};

struct CheckMark : ICheckMark {
    bool checked = false;
    bool Checked() const override { return checked; }
    void SetChecked(bool c) override { checked = c; }
};

struct ItemList : IItemList {
    std::vector<std::string> items;
    int Count() const override { return static_cast<int>(items.size()); }
    std::string Item(int i) const override { return items.at(static_cast<std::size_t>(i)); }
};

// A system of processes, threads and windows held in plain tables.
class Snapshots : public ISnapshotPort {
public:
    struct Process {
        ProcessEntry entry;
        std::vector<ModuleEntry> modules;  // empty: module list unreadable
    };
    struct Window {
        WindowHandle handle = 0;
        std::uint32_t processId = 0;
        std::uint32_t threadId = 0;
        bool visible = true;
        bool enabled = true;
        WindowHandle owner = 0;
        WindowHandle parent = 0;
        std::uint32_t exStyle = 0;
        WindowRect rect;
        std::string text;
        std::string className;
    };

    std::vector<Process> processes;
    std::vector<ThreadEntry> threads;
    std::vector<Window> windows;
    std::map<std::string, std::uintptr_t> exeTypes;
    bool toolhelp = true;
    PlatformVersion version{2, 10, 0};
    // Throw while reading the process entry with this index (-1: never).
    int throwAtProcess = -1;
    bool throwInWindowEnum = false;
    bool privilegeResult = true;

    // Call records.
    std::vector<std::uint32_t> snapshotsTaken;  // kinds, in order
    int openSnapshots = 0;
    int windowEnumerations = 0;
    std::vector<std::pair<std::string, bool>> privilegeCalls;
    std::vector<std::pair<std::string, std::string>> messages;
    int versionReads = 0;

    // Convenience: a process with its executable as the first module.
    void AddProcess(std::uint32_t pid, const std::string& fullPath, std::uint32_t parent = 1);

    bool LoadToolhelp() override { return toolhelp; }
    SnapshotHandle CreateSnapshot(std::uint32_t kind, std::uint32_t processId) override;
    bool ProcessFirst(SnapshotHandle snap, ProcessEntry& entry) override;
    bool ProcessNext(SnapshotHandle snap, ProcessEntry& entry) override;
    bool ThreadFirst(SnapshotHandle snap, ThreadEntry& entry) override;
    bool ThreadNext(SnapshotHandle snap, ThreadEntry& entry) override;
    bool ModuleFirst(SnapshotHandle snap, ModuleEntry& entry) override;
    bool ModuleNext(SnapshotHandle snap, ModuleEntry& entry) override;
    void CloseSnapshot(SnapshotHandle snap) override;

    void EnumTopLevelWindows(std::uint32_t threadId, const std::function<void(WindowHandle)>& callback) override;
    std::uint32_t WindowThreadProcessId(WindowHandle w, std::uint32_t& processId) override;
    bool IsWindowVisible(WindowHandle w) override { return Find(w).visible; }
    bool IsWindowEnabled(WindowHandle w) override { return Find(w).enabled; }
    WindowHandle WindowOwner(WindowHandle w) override { return Find(w).owner; }
    WindowHandle WindowParent(WindowHandle w) override { return Find(w).parent; }
    std::uint32_t WindowExStyle(WindowHandle w) override { return Find(w).exStyle; }
    WindowRect WindowRectangle(WindowHandle w) override { return Find(w).rect; }
    std::string WindowText(WindowHandle w, int bufferSize) override;
    std::string WindowClassName(WindowHandle w, int bufferSize) override;
    std::uintptr_t ShellExeType(const std::string& fileName) override;
    bool SetPrivilege(const std::string& name, bool enable) override;
    PlatformVersion GetVersion() override {
        ++versionReads;
        return version;
    }
    void ShowMessage(const std::string& text, const std::string& caption) override {
        messages.emplace_back(text, caption);
    }

private:
    struct Open {
        std::uint32_t kind = 0;
        std::uint32_t processId = 0;
        std::size_t next = 0;
    };
    const Window& Find(WindowHandle w) const;
    Open& Get(SnapshotHandle snap);
    std::map<SnapshotHandle, Open> open_;
    SnapshotHandle nextHandle_ = 1;
};

}  // namespace rl::fake
