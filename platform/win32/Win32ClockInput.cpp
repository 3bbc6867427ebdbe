// Clock and input on Windows: the system tick, the last-input tick of the
// logged-on user and the foreground window.
#include <windows.h>

#include "platform/Platform.h"
#include "platform/win32/LastInputLookup.h"

namespace rl {

namespace win32 {

std::uint32_t LastInputLookup::Read() {
    if (entry_ == nullptr) {
        if (user32_ == nullptr) user32_ = load_("user32.dll");
        if (user32_ == nullptr) return kNoInputTick;
        // Through a generic function type: FARPROC's own signature is unrelated.
        entry_ = reinterpret_cast<GetLastInputInfoFn>(
            reinterpret_cast<void (*)()>(resolve_(user32_, "GetLastInputInfo")));
        if (entry_ == nullptr) return kNoInputTick;
    }
    LASTINPUTINFO info{};
    info.cbSize = sizeof(info);
    info.dwTime = 0;
    if (!entry_(&info)) return kNoInputTick;
    return info.dwTime;
}

LastInputLookup& ProcessLastInput() {
    static LastInputLookup lookup;
    return lookup;
}

}  // namespace win32

namespace {

static_assert(sizeof(LASTINPUTINFO) == 8, "the record holds two 32-bit fields");

class Win32ClockInput : public IClockInput {
public:
    std::uint32_t GetTickCount() override { return ::GetTickCount(); }
    std::uint32_t GetLastInputTick() override { return win32::ProcessLastInput().Read(); }
    WindowHandle GetForegroundWindow() override { return reinterpret_cast<WindowHandle>(::GetForegroundWindow()); }
};

}  // namespace

std::unique_ptr<IClockInput> CreateClockInput() { return std::make_unique<Win32ClockInput>(); }

}  // namespace rl
