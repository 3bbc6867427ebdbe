// The tick of the last input, read through GetLastInputInfo found at run
// time: the entry point is looked up until found, then kept for the life of
// the process; user32.dll is never released.
#pragma once

#include <windows.h>

#include <cstdint>

namespace rl::win32 {

class LastInputLookup {
public:
    using LoadLibraryFn = HMODULE(WINAPI*)(LPCSTR);
    using GetProcAddressFn = FARPROC(WINAPI*)(HMODULE, LPCSTR);
    using GetLastInputInfoFn = BOOL(WINAPI*)(PLASTINPUTINFO);

    // The system's loader functions by default; tests pass their own.
    LastInputLookup(LoadLibraryFn load = ::LoadLibraryA, GetProcAddressFn resolve = ::GetProcAddress)
        : load_(load), resolve_(resolve) {}

    // The last-input tick, or 0xFFFFFFFF when the entry point is missing or
    // the call fails.
    std::uint32_t Read();

private:
    LoadLibraryFn load_;
    GetProcAddressFn resolve_;
    HMODULE user32_ = nullptr;
    GetLastInputInfoFn entry_ = nullptr;
};

// The process-wide lookup that the clock adapter uses.
LastInputLookup& ProcessLastInput();

}  // namespace rl::win32
