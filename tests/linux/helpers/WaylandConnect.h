// The start every small Wayland client of the tests shares.
#pragma once

#include <cstdio>

#include <wayland-client.h>

namespace rl::linuxtest {

// Connects to the compositor the environment names and lets the listener
// bind what it wants of the globals; null (and a message) without one.
inline wl_display* ConnectWithGlobals(const wl_registry_listener& listener, void* data) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "no Wayland display\n");
        return nullptr;
    }
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, data);
    wl_display_roundtrip(display);
    return display;
}

}  // namespace rl::linuxtest
