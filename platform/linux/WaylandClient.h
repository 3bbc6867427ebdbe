// What our clients of the compositors' protocols share: a connection of their
// own that is read without ever waiting (they are asked from the program's
// timer and must answer at once with what the compositor has sent by then),
// and the list of objects a compositor announces one by one.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <wayland-client.h>

namespace rl::wayland {

// Sends what is queued, reads what the socket holds now (nothing if it holds
// nothing), and runs the listeners on it. False once the connection is gone
// or broken (the compositor ended, hung up or sent an error).
bool PumpWithoutWaiting(wl_display* display);

// Connects (name empty: $WAYLAND_DISPLAY; a name or an absolute socket path
// otherwise) and listens to the registry; the display, or null when no
// compositor answers.
wl_display* ConnectWithRegistry(const std::string& name, wl_registry** registry, const wl_registry_listener* listener,
                                void* data);

// A connection with the objects (windows, toplevels) its compositor listed,
// each an Item with its `proxy`. Lost for good once the connection breaks or
// the list ends; closed with the object.
template <typename Item>
struct TListConnection {
    using Proxy = decltype(Item::proxy);

    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    std::vector<std::unique_ptr<Item>> items;
    bool lost = false;

    TListConnection() = default;
    TListConnection(const TListConnection&) = delete;
    TListConnection& operator=(const TListConnection&) = delete;
    ~TListConnection() {
        DropItems();
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
    }

    bool Open(const std::string& name, const wl_registry_listener* listener, void* data) {
        display = ConnectWithRegistry(name, &registry, listener, data);
        return display != nullptr;
    }

    void Lose() {
        lost = true;
        DropItems();
    }

    // Reads what the socket holds now, without waiting, and runs the
    // listeners on it.
    void Pump() {
        if (!lost && !PumpWithoutWaiting(display)) Lose();
    }

    Item& Add(Proxy proxy) {
        items.push_back(std::make_unique<Item>());
        items.back()->proxy = proxy;
        return *items.back();
    }

    Item* Find(Proxy proxy) {
        for (auto& item : items)
            if (item->proxy == proxy) return item.get();
        return nullptr;
    }

    // Out of the list, for the caller to end; false when not in it.
    bool Remove(Proxy proxy) {
        auto it = std::find_if(items.begin(), items.end(), [proxy](const auto& item) { return item->proxy == proxy; });
        if (it == items.end()) return false;
        items.erase(it);
        return true;
    }

private:
    // Frees our side only: after a break nothing may be sent, and a
    // disconnect ends the compositor's side anyway.
    void DropItems() {
        for (auto& item : items) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(item->proxy));
        items.clear();
    }
};

}  // namespace rl::wayland
