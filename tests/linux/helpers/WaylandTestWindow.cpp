// A small native Wayland client for the integration tests: one xdg-shell
// toplevel with the app id given, drawn once so that the compositor maps it.
// Prints "ready" once the window is shown and lives until its standard input
// closes or the compositor goes away (so it never outlives its test). With
// --inhibit-idle its surface holds an idle inhibitor, as a video player's
// does, from before "ready"; with --fullscreen it asks to be full screen.
//
//   rl_wayland_test_window [--inhibit-idle] [--fullscreen] APP_ID [TITLE]
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <wayland-client.h>

#include "WaylandConnect.h"
#include "idle-inhibit-unstable-v1-client.h"
#include "xdg-shell-client.h"

namespace {

constexpr int kWidth = 64, kHeight = 64;

struct State {
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wmBase = nullptr;
    zwp_idle_inhibit_manager_v1* inhibitManager = nullptr;
    wl_surface* surface = nullptr;
    wl_buffer* buffer = nullptr;
    bool configured = false;
    bool closed = false;
};

void OnPing(void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener kWmBaseListener = {OnPing};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    auto* s = static_cast<State*>(data);
    if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
        s->compositor = static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
        s->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
        s->wmBase = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(s->wmBase, &kWmBaseListener, s);
    } else if (std::strcmp(interface, zwp_idle_inhibit_manager_v1_interface.name) == 0) {
        s->inhibitManager = static_cast<zwp_idle_inhibit_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_idle_inhibit_manager_v1_interface, 1));
    }
}
void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

// Every configure is acknowledged and answered with the same buffer: a tiling
// compositor accepts a smaller one.
void OnSurfaceConfigure(void* data, xdg_surface* xdgSurface, std::uint32_t serial) {
    auto* s = static_cast<State*>(data);
    xdg_surface_ack_configure(xdgSurface, serial);
    wl_surface_attach(s->surface, s->buffer, 0, 0);
    wl_surface_damage(s->surface, 0, 0, kWidth, kHeight);
    wl_surface_commit(s->surface);
    s->configured = true;
}
const xdg_surface_listener kSurfaceListener = {OnSurfaceConfigure};

void OnToplevelConfigure(void*, xdg_toplevel*, std::int32_t, std::int32_t, wl_array*) {}
void OnToplevelClose(void* data, xdg_toplevel*) { static_cast<State*>(data)->closed = true; }
// Bound at version 1: the later events never come.
void OnBounds(void*, xdg_toplevel*, std::int32_t, std::int32_t) {}
void OnCapabilities(void*, xdg_toplevel*, wl_array*) {}
const xdg_toplevel_listener kToplevelListener = {OnToplevelConfigure, OnToplevelClose, OnBounds, OnCapabilities};

wl_buffer* MakeBuffer(wl_shm* shm) {
    const int stride = kWidth * 4, size = stride * kHeight;
    int fd = memfd_create("rl-test-window", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) != 0) return nullptr;
    void* pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pixels == MAP_FAILED) return nullptr;
    std::memset(pixels, 0x80, size);
    munmap(pixels, size);
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
    wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, kWidth, kHeight, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return buffer;
}

}  // namespace

int main(int argc, char** argv) {
    const char* program = argv[0];
    bool inhibitIdle = false, fullScreen = false;
    for (; argc > 1 && std::strncmp(argv[1], "--", 2) == 0; --argc, ++argv) {
        if (std::strcmp(argv[1], "--inhibit-idle") == 0) {
            inhibitIdle = true;
        } else if (std::strcmp(argv[1], "--fullscreen") == 0) {
            fullScreen = true;
        } else {
            argc = 0;
            break;
        }
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s [--inhibit-idle] [--fullscreen] APP_ID [TITLE]\n", program);
        return 2;
    }
    State s;
    wl_display* display = rl::linuxtest::ConnectWithGlobals(kRegistryListener, &s);
    if (!display) return 1;
    if (!s.compositor || !s.shm || !s.wmBase) {
        std::fprintf(stderr, "the compositor lacks wl_compositor, wl_shm or xdg_wm_base\n");
        return 1;
    }
    if (inhibitIdle && !s.inhibitManager) {
        std::fprintf(stderr, "the compositor lacks zwp_idle_inhibit_manager_v1\n");
        return 1;
    }
    s.buffer = MakeBuffer(s.shm);
    if (!s.buffer) return 1;
    s.surface = wl_compositor_create_surface(s.compositor);
    xdg_surface* xdgSurface = xdg_wm_base_get_xdg_surface(s.wmBase, s.surface);
    xdg_surface_add_listener(xdgSurface, &kSurfaceListener, &s);
    xdg_toplevel* toplevel = xdg_surface_get_toplevel(xdgSurface);
    xdg_toplevel_add_listener(toplevel, &kToplevelListener, &s);
    xdg_toplevel_set_app_id(toplevel, argv[1]);
    xdg_toplevel_set_title(toplevel, argc > 2 ? argv[2] : argv[1]);
    if (fullScreen) xdg_toplevel_set_fullscreen(toplevel, nullptr);
    wl_surface_commit(s.surface);
    while (!s.configured)
        if (wl_display_dispatch(display) < 0) return 1;
    // Held for the window's life; the compositor drops it with the surface.
    if (inhibitIdle) zwp_idle_inhibit_manager_v1_create_inhibitor(s.inhibitManager, s.surface);
    // The buffer (and inhibitor) are sent; one more round trip and the
    // compositor has them.
    wl_display_roundtrip(display);
    std::printf("ready\n");
    std::fflush(stdout);

    while (!s.closed) {
        wl_display_flush(display);
        pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {0, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) {
            char c;
            if (read(0, &c, 1) <= 0) break;
        }
        if (fds[0].revents && wl_display_dispatch(display) < 0) break;
    }
    wl_display_disconnect(display);
    return 0;
}
