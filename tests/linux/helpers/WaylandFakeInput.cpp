// Input for the KWin tests, through KWin's fake input: moves the pointer or
// taps a key, as the session's user. KWin takes it as real input (idle time,
// idle notifications). "none" sends nothing: its exit status says whether
// KWin offers fake input yet (it does once its input is set up).
//
//   rl_wayland_fake_input motion|key|none
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <wayland-client.h>

#include "fake-input-client.h"

namespace {

// keyboard_key came with version 4.
constexpr std::uint32_t kVersion = 4;
// evdev's KEY_LEFTSHIFT: a key that types nothing into a window in front.
constexpr std::uint32_t kShiftKey = 42;

org_kde_kwin_fake_input* fakeInput = nullptr;
std::uint32_t boundVersion = 0;

void OnGlobal(void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
    if (fakeInput || std::strcmp(interface, org_kde_kwin_fake_input_interface.name) != 0) return;
    boundVersion = version < kVersion ? version : kVersion;
    fakeInput = static_cast<org_kde_kwin_fake_input*>(
        wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, boundVersion));
}
void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

}  // namespace

int main(int argc, char** argv) {
    const char* what = argc == 2 ? argv[1] : "";
    bool key = std::strcmp(what, "key") == 0, motion = std::strcmp(what, "motion") == 0;
    if (!key && !motion && std::strcmp(what, "none") != 0) {
        std::fprintf(stderr, "usage: %s motion|key|none\n", argv[0]);
        return 2;
    }
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "no Wayland display\n");
        return 1;
    }
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, nullptr);
    wl_display_roundtrip(display);
    if (!fakeInput) {
        std::fprintf(stderr, "the compositor offers no org_kde_kwin_fake_input\n");
        return 1;
    }
    if (key && boundVersion < kVersion) {
        std::fprintf(stderr, "org_kde_kwin_fake_input %u has no keys\n", boundVersion);
        return 1;
    }
    // KWin drops the input of a client that has not introduced itself.
    org_kde_kwin_fake_input_authenticate(fakeInput, "rl_wayland_fake_input", "RestLevel tests");
    if (key) {
        org_kde_kwin_fake_input_keyboard_key(fakeInput, kShiftKey, WL_KEYBOARD_KEY_STATE_PRESSED);
        org_kde_kwin_fake_input_keyboard_key(fakeInput, kShiftKey, WL_KEYBOARD_KEY_STATE_RELEASED);
    } else if (motion) {
        org_kde_kwin_fake_input_pointer_motion(fakeInput, wl_fixed_from_int(5), wl_fixed_from_int(3));
    }
    // The round trip returns once KWin has handled every request above.
    int rc = wl_display_roundtrip(display) < 0 ? 1 : 0;
    wl_display_disconnect(display);
    return rc;
}
