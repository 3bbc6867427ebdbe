#include "platform/linux/WaylandClient.h"

#include <poll.h>
#include <wayland-client.h>

#include <cerrno>

namespace rl::wayland {

bool PumpWithoutWaiting(wl_display* display) {
    while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) return false;
    }
    if (wl_display_flush(display) < 0 && errno != EAGAIN) {
        wl_display_cancel_read(display);
        return false;
    }
    pollfd p{wl_display_get_fd(display), POLLIN, 0};
    int ready = 0;
    do {
        ready = poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready > 0) {
        // A hang-up reads as an error here, which marks the display broken.
        if (wl_display_read_events(display) < 0) return false;
    } else {
        wl_display_cancel_read(display);
    }
    return wl_display_dispatch_pending(display) >= 0;
}

wl_display* ConnectWithRegistry(const std::string& name, wl_registry** registry, const wl_registry_listener* listener,
                                void* data) {
    wl_display* display = wl_display_connect(name.empty() ? nullptr : name.c_str());
    if (!display) return nullptr;
    *registry = wl_display_get_registry(display);
    wl_registry_add_listener(*registry, listener, data);
    return display;
}

}  // namespace rl::wayland
