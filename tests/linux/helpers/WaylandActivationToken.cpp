// Asks the compositor for an xdg-activation token as a launcher does before
// it starts a program, and prints it ("token TEXT", or "token" when the
// compositor refused one). Lives until its standard input closes, so that
// the token's maker is still there when the token is used.
//
//   rl_wayland_activation_token [APP_ID]
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <wayland-client.h>

#include "xdg-activation-v1-client.h"

namespace {

struct State {
    xdg_activation_v1* activation = nullptr;
    std::string token;
    bool done = false;
};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    auto* s = static_cast<State*>(data);
    if (std::strcmp(interface, xdg_activation_v1_interface.name) == 0)
        s->activation = static_cast<xdg_activation_v1*>(wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
}
void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

void OnDone(void* data, xdg_activation_token_v1*, const char* token) {
    auto* s = static_cast<State*>(data);
    s->token = token;
    s->done = true;
}
const xdg_activation_token_v1_listener kTokenListener = {OnDone};

}  // namespace

int main(int argc, char** argv) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "no Wayland display\n");
        return 1;
    }
    State s;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, &s);
    wl_display_roundtrip(display);
    if (!s.activation) {
        std::fprintf(stderr, "the compositor lacks xdg_activation_v1\n");
        return 1;
    }
    xdg_activation_token_v1* token = xdg_activation_v1_get_activation_token(s.activation);
    xdg_activation_token_v1_add_listener(token, &kTokenListener, &s);
    if (argc > 1) xdg_activation_token_v1_set_app_id(token, argv[1]);
    xdg_activation_token_v1_commit(token);
    while (!s.done)
        if (wl_display_dispatch(display) < 0) return 1;
    std::printf("token %s\n", s.token.c_str());
    std::fflush(stdout);

    for (;;) {
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
