#include "platform/linux/PlasmaWindows.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <wayland-client.h>

#include "platform/linux/WaylandClient.h"
#include "plasma-window-management-client.h"

namespace rl::wayland {

namespace {

// From this version on windows are asked for by uuid; the number ids are
// deprecated there.
constexpr std::uint32_t kUuidVersion = ORG_KDE_PLASMA_WINDOW_MANAGEMENT_WINDOW_WITH_UUID_SINCE_VERSION;
// The highest version whose events we take; pid and state are there from 1.
constexpr std::uint32_t kManagerVersion = kUuidVersion;

struct TWindow {
    org_kde_plasma_window* proxy = nullptr;
    std::uint32_t pid = 0;
    std::uint32_t state = 0;
    // When it last became active: with two marked active for a moment, the
    // later one is in front.
    std::uint64_t activeOrder = 0;
};

}  // namespace

struct TPlasmaWindows::Impl : TListConnection<TWindow> {
    org_kde_plasma_window_management* manager = nullptr;
    std::uint32_t managerName = 0;
    std::uint32_t version = 0;
    std::uint64_t activations = 0;

    ~Impl() {
        if (manager) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager));
    }

    const TWindow* Active() {
        Pump();
        const TWindow* front = nullptr;
        for (const auto& w : items)
            if ((w->state & ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_ACTIVE) &&
                (!front || w->activeOrder > front->activeOrder))
                front = w.get();
        return front;
    }

    void Listen(org_kde_plasma_window* proxy);
};

namespace {

using Impl = TPlasmaWindows::Impl;

// The events we do not need: titles, icons, geometry, desktops, activities.
template <typename... Args>
void Ignore(void*, Args...) {}

void OnState(void* data, org_kde_plasma_window* proxy, std::uint32_t flags) {
    auto* impl = static_cast<Impl*>(data);
    TWindow* w = impl->Find(proxy);
    if (!w) return;
    bool wasActive = w->state & ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_ACTIVE;
    if ((flags & ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_ACTIVE) && !wasActive) w->activeOrder = ++impl->activations;
    w->state = flags;
}

void OnPid(void* data, org_kde_plasma_window* proxy, std::uint32_t pid) {
    if (TWindow* w = static_cast<Impl*>(data)->Find(proxy)) w->pid = pid;
}

void OnUnmapped(void* data, org_kde_plasma_window* proxy) {
    auto* impl = static_cast<Impl*>(data);
    if (!impl->Remove(proxy)) return;
    // Before version 4 there is no destroy request: the proxy is ours alone.
    if (impl->version >= ORG_KDE_PLASMA_WINDOW_DESTROY_SINCE_VERSION)
        org_kde_plasma_window_destroy(proxy);
    else
        wl_proxy_destroy(reinterpret_cast<wl_proxy*>(proxy));
}

const org_kde_plasma_window_listener kWindowListener = {
    Ignore,      // title_changed
    Ignore,      // app_id_changed
    OnState,     // state_changed
    Ignore,      // virtual_desktop_changed
    Ignore,      // themed_icon_name_changed
    OnUnmapped,  // unmapped
    Ignore,      // initial_state
    Ignore,      // parent_window
    Ignore,      // geometry
    Ignore,      // icon_changed
    OnPid,       // pid_changed
    Ignore,      // virtual_desktop_entered
    Ignore,      // virtual_desktop_left
    Ignore,      // application_menu
    Ignore,      // activity_entered
    Ignore,      // activity_left
    Ignore,      // resource_name_changed
};

void OnWindow(void* data, org_kde_plasma_window_management* manager, std::uint32_t id) {
    auto* impl = static_cast<Impl*>(data);
    // From the uuid version on, each window comes as window_with_uuid (KWin
    // 5.27 sends only that; a compositor sending both must not count twice).
    if (impl->version >= kUuidVersion) return;
    impl->Listen(org_kde_plasma_window_management_get_window(manager, id));
}

void OnWindowWithUuid(void* data, org_kde_plasma_window_management* manager, std::uint32_t, const char* uuid) {
    auto* impl = static_cast<Impl*>(data);
    impl->Listen(org_kde_plasma_window_management_get_window_by_uuid(manager, uuid ? uuid : ""));
}

const org_kde_plasma_window_management_listener kManagerListener = {
    Ignore,            // show_desktop_changed
    OnWindow,          // window
    Ignore,            // stacking_order_changed
    Ignore,            // stacking_order_uuid_changed
    OnWindowWithUuid,  // window_with_uuid
};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
    auto* impl = static_cast<Impl*>(data);
    if (impl->manager || std::strcmp(interface, org_kde_plasma_window_management_interface.name) != 0) return;
    impl->version = std::min(version, kManagerVersion);
    impl->managerName = name;
    impl->manager = static_cast<org_kde_plasma_window_management*>(
        wl_registry_bind(registry, name, &org_kde_plasma_window_management_interface, impl->version));
    org_kde_plasma_window_management_add_listener(impl->manager, &kManagerListener, impl);
}

void OnGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
    auto* impl = static_cast<Impl*>(data);
    if (impl->manager && name == impl->managerName) impl->Lose();
}

const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

}  // namespace

void TPlasmaWindows::Impl::Listen(org_kde_plasma_window* proxy) {
    Add(proxy);
    org_kde_plasma_window_add_listener(proxy, &kWindowListener, this);
}

std::unique_ptr<TPlasmaWindows> TPlasmaWindows::Connect(const std::string& display) {
    auto impl = std::make_unique<Impl>();
    if (!impl->Open(display, &kRegistryListener, impl.get())) return nullptr;
    // The globals; then the windows there are; then their pids and states.
    if (wl_display_roundtrip(impl->display) < 0 || !impl->manager) return nullptr;
    if (wl_display_roundtrip(impl->display) < 0) return nullptr;
    if (wl_display_roundtrip(impl->display) < 0) return nullptr;
    return std::unique_ptr<TPlasmaWindows>(new TPlasmaWindows(std::move(impl)));
}

TPlasmaWindows::TPlasmaWindows(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TPlasmaWindows::~TPlasmaWindows() = default;

std::uint32_t TPlasmaWindows::ActiveProcessId() {
    const TWindow* front = impl_->Active();
    return front ? front->pid : 0;
}

bool TPlasmaWindows::FullScreenActive() {
    const TWindow* front = impl_->Active();
    return front && (front->state & ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_FULLSCREEN);
}

bool TPlasmaWindows::Lost() const { return impl_->lost; }

}  // namespace rl::wayland
