#include "platform/linux/WaylandIdle.h"

#include <wayland-client.h>

#include <cstring>

#include "platform/ClockInput.h"
#include "platform/linux/WaylandClient.h"
#include "ext-idle-notify-v1-client.h"
#include "idle-client.h"

namespace rl::wayland {

namespace {

// The notification's timeout: input is at most this long before "idle".
constexpr std::uint32_t kTimeoutMs = 1000;

// The tick that means "cannot read" is a real tick once in 49 days.
std::uint32_t Readable(std::uint32_t tick) { return tick == kNoInputTick ? tick - 1 : tick; }

}  // namespace

const char* ProtocolName(IdleProtocol protocol) {
    switch (protocol) {
        case IdleProtocol::ExtIdleNotify: return "ext-idle-notify-v1";
        case IdleProtocol::KdeKwinIdle: return "org_kde_kwin_idle";
        case IdleProtocol::None: break;
    }
    return "none";
}

struct IdleSource::State {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    ext_idle_notifier_v1* extNotifier = nullptr;
    ext_idle_notification_v1* extNotification = nullptr;
    org_kde_kwin_idle* kdeIdle = nullptr;
    org_kde_kwin_idle_timeout* kdeTimeout = nullptr;
    IdleProtocol protocol = IdleProtocol::None;
    bool broken = false;
    bool idle = false;
    std::uint32_t now = 0;        // the tick of the events being dispatched
    std::uint32_t lastInput = 0;  // while idle

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (extNotification != nullptr) ext_idle_notification_v1_destroy(extNotification);
        if (extNotifier != nullptr) ext_idle_notifier_v1_destroy(extNotifier);
        if (kdeTimeout != nullptr) org_kde_kwin_idle_timeout_release(kdeTimeout);
        if (kdeIdle != nullptr) org_kde_kwin_idle_destroy(kdeIdle);
        if (seat != nullptr) wl_seat_destroy(seat);
        if (registry != nullptr) wl_registry_destroy(registry);
        if (display != nullptr) wl_display_disconnect(display);
    }

    void Idled() {
        idle = true;
        lastInput = Readable(now - kTimeoutMs);
    }
    void Resumed() { idle = false; }
};

namespace {

using State = IdleSource::State;

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    auto& s = *static_cast<State*>(data);
    // Version 1 of each is all this needs. The first seat is the user's.
    if (s.seat == nullptr && std::strcmp(interface, wl_seat_interface.name) == 0) {
        s.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (s.extNotifier == nullptr && std::strcmp(interface, ext_idle_notifier_v1_interface.name) == 0) {
        s.extNotifier =
            static_cast<ext_idle_notifier_v1*>(wl_registry_bind(registry, name, &ext_idle_notifier_v1_interface, 1));
    } else if (s.kdeIdle == nullptr && std::strcmp(interface, org_kde_kwin_idle_interface.name) == 0) {
        s.kdeIdle = static_cast<org_kde_kwin_idle*>(wl_registry_bind(registry, name, &org_kde_kwin_idle_interface, 1));
    }
}

void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

void OnExtIdled(void* data, ext_idle_notification_v1*) { static_cast<State*>(data)->Idled(); }
void OnExtResumed(void* data, ext_idle_notification_v1*) { static_cast<State*>(data)->Resumed(); }
const ext_idle_notification_v1_listener kExtListener = {OnExtIdled, OnExtResumed};

void OnKdeIdle(void* data, org_kde_kwin_idle_timeout*) { static_cast<State*>(data)->Idled(); }
void OnKdeResumed(void* data, org_kde_kwin_idle_timeout*) { static_cast<State*>(data)->Resumed(); }
const org_kde_kwin_idle_timeout_listener kKdeListener = {OnKdeIdle, OnKdeResumed};

}  // namespace

IdleSource::IdleSource(std::unique_ptr<State> state) : state_(std::move(state)) {}
IdleSource::~IdleSource() = default;

std::unique_ptr<IdleSource> IdleSource::Connect(const char* display, std::uint32_t now) {
    auto s = std::make_unique<State>();
    s->display = ConnectWithRegistry(display != nullptr ? display : "", &s->registry, &kRegistryListener, s.get());
    if (s->display == nullptr) return nullptr;
    if (wl_display_roundtrip(s->display) < 0 || s->seat == nullptr) return nullptr;

    // ext-idle-notify honours the compositor's idle inhibitors; KDE's older
    // protocol does only where the compositor makes it.
    if (s->extNotifier != nullptr) {
        s->extNotification = ext_idle_notifier_v1_get_idle_notification(s->extNotifier, kTimeoutMs, s->seat);
        ext_idle_notification_v1_add_listener(s->extNotification, &kExtListener, s.get());
        s->protocol = IdleProtocol::ExtIdleNotify;
    } else if (s->kdeIdle != nullptr) {
        s->kdeTimeout = org_kde_kwin_idle_get_idle_timeout(s->kdeIdle, s->seat, kTimeoutMs);
        org_kde_kwin_idle_timeout_add_listener(s->kdeTimeout, &kKdeListener, s.get());
        s->protocol = IdleProtocol::KdeKwinIdle;
    } else {
        return nullptr;
    }
    // Until the first "idle" the user counts as active: the timeout starts now.
    s->now = now;
    s->lastInput = now;
    if (wl_display_roundtrip(s->display) < 0) return nullptr;
    return std::unique_ptr<IdleSource>(new IdleSource(std::move(s)));
}

IdleProtocol IdleSource::Protocol() const { return state_->protocol; }

std::uint32_t IdleSource::LastInputTick(std::uint32_t now) {
    State& s = *state_;
    if (s.broken) return kNoInputTick;
    s.now = now;
    if (!PumpWithoutWaiting(s.display)) {
        // The compositor went away or ended the connection: its idle time
        // cannot be read any more.
        s.broken = true;
        return kNoInputTick;
    }
    // Not idle: there was input within the last timeout.
    return s.idle ? s.lastInput : Readable(now);
}

}  // namespace rl::wayland
