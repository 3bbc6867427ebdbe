// Basic handle types shared by the ports. Handles are opaque integers so that
// portable code never sees an OS header; adapters convert at the boundary.
#pragma once

#include <cstdint>

namespace rl {

using WindowHandle = std::uintptr_t;   // HWND on Windows, X11 Window id on Linux
using ModuleHandleValue = std::uintptr_t;   // HMODULE on Windows, load address on Linux
using SnapshotHandle = std::uintptr_t; // Toolhelp snapshot handle or an adapter's own token

constexpr SnapshotHandle kInvalidSnapshot = ~SnapshotHandle{0};

}  // namespace rl
