// Asks the compositor for an xdg-activation token as a launcher does before
// it starts a program, and prints it ("token TEXT", or "token" when the
// compositor refused one). The token outlives its maker's connection, as a
// launcher's does once the program it started runs.
//
//   rl_wayland_activation_token [APP_ID]
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <wayland-client.h>

#include "WaylandConnect.h"

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
    State s;
    wl_display* display = rl::linuxtest::ConnectWithGlobals(kRegistryListener, &s);
    if (!display) return 1;
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

    wl_display_disconnect(display);
    return 0;
}
