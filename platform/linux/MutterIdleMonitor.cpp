// Asks org.gnome.Mutter.IdleMonitor's core monitor (the user's input on every
// device) for the milliseconds since the last input. The name's owner is
// asked for first and the call is sent without auto-start, so that nothing
// is started or waited for; both round trips share one bounded budget.
#include "platform/linux/MutterIdleMonitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QString>
#include <QVariant>

#include <algorithm>
#include <chrono>
#include <optional>

#include "platform/ClockInput.h"
#include "platform/linux/SessionBus.h"

namespace rl::gnome {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Both round trips: a hung mutter costs a read about this long.
constexpr milliseconds kBudget{300};

// Longest idle time that stays distinct from "cannot read" on the tick clock.
constexpr std::uint64_t kLongestIdle = 0xFFFFFFFEu;

std::optional<int> Limit(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    return static_cast<int>(left.count());
}

}  // namespace

struct MutterIdleMonitor::State {
    linuxbus::SessionBusLink link{"restlevel-mutter-idle"};
};

MutterIdleMonitor::MutterIdleMonitor() : state_(std::make_unique<State>()) {}
MutterIdleMonitor::~MutterIdleMonitor() = default;

std::uint32_t MutterIdleMonitor::LastInputTick(std::uint32_t now) {
    const auto deadline = Clock::now() + kBudget;
    QDBusConnection bus = state_->link.Connect();
    if (!bus.isConnected()) return kNoInputTick;

    const QString service = QStringLiteral("org.gnome.Mutter.IdleMonitor");
    auto limit = Limit(deadline);
    if (!limit) return kNoInputTick;
    const auto owned = linuxbus::NameHasOwner(bus, service, *limit);
    if (!owned || !*owned) return kNoInputTick;

    limit = Limit(deadline);
    if (!limit) return kNoInputTick;
    QDBusMessage message = QDBusMessage::createMethodCall(service, QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"),
                                                          service, QStringLiteral("GetIdletime"));
    message.setAutoStartService(false);
    const QDBusMessage reply = bus.call(message, QDBus::Block, *limit);
    const QList<QVariant> args = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || args.size() != 1 ||
        args[0].metaType().id() != QMetaType::ULongLong) {
        return kNoInputTick;
    }
    const std::uint64_t idle = std::min<std::uint64_t>(args[0].toULongLong(), kLongestIdle);
    const auto tick = static_cast<std::uint32_t>(now - static_cast<std::uint32_t>(idle));
    // One millisecond earlier rather than "cannot read".
    return tick == kNoInputTick ? tick - 1 : tick;
}

}  // namespace rl::gnome
