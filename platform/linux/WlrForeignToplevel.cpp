#include "platform/linux/WlrForeignToplevel.h"

#include <algorithm>
#include <cstring>

#include <wayland-client.h>

#include "platform/linux/WaylandClient.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client.h"

namespace rl::wayland {

namespace {

// The highest version whose events we take; a newer compositor speaks this
// one to us.
constexpr std::uint32_t kManagerVersion = 3;

struct THandle {
    zwlr_foreign_toplevel_handle_v1* proxy = nullptr;
    TToplevel current;
    // Changes hold only from the next done event.
    TToplevel pending;
    // When it last became activated: with two marked activated for a moment,
    // the later one is in front.
    std::uint64_t activatedOrder = 0;
};

}  // namespace

struct TWlrForeignToplevel::Impl : TListConnection<THandle> {
    zwlr_foreign_toplevel_manager_v1* manager = nullptr;
    std::uint64_t activations = 0;

    ~Impl() {
        if (manager) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager));
    }
};

namespace {

using Impl = TWlrForeignToplevel::Impl;

void OnTitle(void*, zwlr_foreign_toplevel_handle_v1*, const char*) {}

void OnAppId(void* data, zwlr_foreign_toplevel_handle_v1* proxy, const char* appId) {
    if (THandle* h = static_cast<Impl*>(data)->Find(proxy)) h->pending.appId = appId ? appId : "";
}

void OnOutput(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}

void OnState(void* data, zwlr_foreign_toplevel_handle_v1* proxy, wl_array* states) {
    THandle* h = static_cast<Impl*>(data)->Find(proxy);
    if (!h) return;
    h->pending.activated = false;
    h->pending.fullScreen = false;
    // An array of 32-bit values; values we do not know are skipped.
    std::size_t count = states->size / sizeof(std::uint32_t);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t state;
        std::memcpy(&state, static_cast<const char*>(states->data) + i * sizeof state, sizeof state);
        if (state == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) h->pending.activated = true;
        if (state == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_FULLSCREEN) h->pending.fullScreen = true;
    }
}

void OnDone(void* data, zwlr_foreign_toplevel_handle_v1* proxy) {
    auto* impl = static_cast<Impl*>(data);
    THandle* h = impl->Find(proxy);
    if (!h) return;
    if (h->pending.activated && !h->current.activated) h->activatedOrder = ++impl->activations;
    h->current = h->pending;
}

void OnClosed(void* data, zwlr_foreign_toplevel_handle_v1* proxy) {
    if (static_cast<Impl*>(data)->Remove(proxy)) zwlr_foreign_toplevel_handle_v1_destroy(proxy);
}

void OnParent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}

const zwlr_foreign_toplevel_handle_v1_listener kHandleListener = {
    OnTitle, OnAppId, OnOutput, OnOutput, OnState, OnDone, OnClosed, OnParent,
};

void OnToplevel(void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* proxy) {
    static_cast<Impl*>(data)->Add(proxy);
    zwlr_foreign_toplevel_handle_v1_add_listener(proxy, &kHandleListener, data);
}

void OnFinished(void* data, zwlr_foreign_toplevel_manager_v1* manager) {
    auto* impl = static_cast<Impl*>(data);
    // The compositor has destroyed it already: free our side only.
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager));
    impl->manager = nullptr;
    impl->Lose();
}

const zwlr_foreign_toplevel_manager_v1_listener kManagerListener = {OnToplevel, OnFinished};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
    auto* impl = static_cast<Impl*>(data);
    if (impl->manager || std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) != 0) return;
    impl->manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
        registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, kManagerVersion)));
    zwlr_foreign_toplevel_manager_v1_add_listener(impl->manager, &kManagerListener, impl);
}

void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

}  // namespace

std::unique_ptr<TWlrForeignToplevel> TWlrForeignToplevel::Connect(const std::string& display) {
    auto impl = std::make_unique<Impl>();
    if (!impl->Open(display, &kRegistryListener, impl.get())) return nullptr;
    // The first round trip brings the globals, the second the toplevels and
    // their first details.
    if (wl_display_roundtrip(impl->display) < 0 || !impl->manager) return nullptr;
    if (wl_display_roundtrip(impl->display) < 0) return nullptr;
    return std::unique_ptr<TWlrForeignToplevel>(new TWlrForeignToplevel(std::move(impl)));
}

TWlrForeignToplevel::TWlrForeignToplevel(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TWlrForeignToplevel::~TWlrForeignToplevel() = default;

std::string TWlrForeignToplevel::ActivatedAppId() { return Activated().appId; }

TToplevel TWlrForeignToplevel::Activated() {
    impl_->Pump();
    const THandle* front = nullptr;
    for (const auto& h : impl_->items)
        if (h->current.activated && (!front || h->activatedOrder > front->activatedOrder)) front = h.get();
    return front ? front->current : TToplevel{};
}

std::vector<TToplevel> TWlrForeignToplevel::Toplevels() {
    impl_->Pump();
    std::vector<TToplevel> list;
    for (const auto& h : impl_->items) list.push_back(h->current);
    return list;
}

bool TWlrForeignToplevel::Lost() const { return impl_->lost; }

}  // namespace rl::wayland
