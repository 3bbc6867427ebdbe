// The user-interface thread's periodic timer and its message pump.
#pragma once

#include <cstdint>
#include <functional>

namespace rl {

// A timer of the user-interface thread; ticks arrive as messages, so a
// handler never runs while another handler of the same thread is running
// unless that handler pumps messages itself.
class ITimer {
public:
    virtual ~ITimer() = default;
    virtual void SetInterval(std::uint32_t milliseconds) = 0;
    virtual std::uint32_t Interval() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
    virtual void SetOnTimer(std::function<void()> handler) = 0;
};

// "Process pending messages": dispatch whatever is waiting and return
// without waiting for anything new.
class IMessagePump {
public:
    virtual ~IMessagePump() = default;
    virtual void ProcessMessages() = 0;
};

}  // namespace rl
