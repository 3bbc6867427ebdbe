// A program keeps the display on: the desktop's idle inhibition, read over
// the session bus from whichever desktop answers. Players and browsers ask
// the desktop (org.freedesktop.ScreenSaver.Inhibit or the session manager's
// Inhibit) to stay awake while a film plays; each desktop keeps those
// requests where a read-only question reaches them:
// - GNOME, Cinnamon, Budgie and MATE: the session manager under the name
//   org.gnome.SessionManager, IsInhibited with the idle flag (MATE's older
//   releases answer there under the interface org.mate.SessionManager);
// - KDE Plasma: PowerDevil's policy agent, HasInhibition with the screen
//   settings policy, which Plasma's ScreenSaver.Inhibit takes;
// - Xfce's screen saver: its list of inhibitors.
// org.freedesktop.PowerManagement.Inhibit is not read: it stops sleep, not
// the screen, and players take it for sound alone.
//
// Every question first asks the bus whether the name has an owner, and is
// sent without auto-start, so that nothing is started or waited for; each
// round trip is bounded and all of them share one budget.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <chrono>
#include <optional>

#include "platform/Platform.h"
#include "platform/linux/SessionBus.h"

namespace rl {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The whole probe: a hung service makes it answer false in about this time.
constexpr milliseconds kBudget{500};
// One round trip, a little under the budget.
constexpr milliseconds kCallLimit{400};

// gnome-session's (and MATE's) inhibitor flag "idle".
constexpr unsigned kSessionIdleFlag = 8;
// PowerDevil's ChangeScreenSettings policy.
constexpr unsigned kPlasmaScreenPolicy = 4;

enum class Answer { Bool, NonEmptyList };

struct Query {
    int desktop;  // a desktop's queries are tried in order until one answers
    const char* service;
    const char* path;
    const char* interface;
    const char* method;
    std::optional<unsigned> flags;
    Answer answer;
};

const Query kQueries[] = {
    {0, "org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager", "IsInhibited",
     kSessionIdleFlag, Answer::Bool},
    {0, "org.gnome.SessionManager", "/org/gnome/SessionManager", "org.mate.SessionManager", "IsInhibited",
     kSessionIdleFlag, Answer::Bool},
    {1, "org.kde.Solid.PowerManagement.PolicyAgent", "/org/kde/Solid/PowerManagement/PolicyAgent",
     "org.kde.Solid.PowerManagement.PolicyAgent", "HasInhibition", kPlasmaScreenPolicy, Answer::Bool},
    {1, "org.kde.Solid.PowerManagement", "/org/kde/Solid/PowerManagement/PolicyAgent",
     "org.kde.Solid.PowerManagement.PolicyAgent", "HasInhibition", kPlasmaScreenPolicy, Answer::Bool},
    {2, "org.xfce.ScreenSaver", "/org/xfce/ScreenSaver", "org.xfce.ScreenSaver", "GetInhibitors", std::nullopt,
     Answer::NonEmptyList},
};

class DisplayKeptOnProbe : public IAutoExceptionProbe {
public:
    DisplayKeptOnProbe() : link_("restlevel-inhibition") {}
    DisplayKeptOnProbe(const DisplayKeptOnProbe&) = delete;
    DisplayKeptOnProbe& operator=(const DisplayKeptOnProbe&) = delete;

    bool Holds() override {
        const auto deadline = Clock::now() + kBudget;
        QDBusConnection bus = link_.Connect();
        if (!bus.isConnected()) return false;

        int settled = -1;  // the desktop that has answered or hung
        for (const Query& query : kQueries) {
            if (query.desktop == settled) continue;
            const auto owned = HasOwner(bus, query.service, deadline);
            if (!owned) return false;  // the bus itself did not answer
            if (!*owned) continue;
            bool hung = false;
            const auto held = Ask(bus, query, deadline, hung);
            if (held && *held) return true;
            if (held || hung) settled = query.desktop;
        }
        return false;
    }

private:
    static std::optional<int> Limit(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        return static_cast<int>(std::min(left, kCallLimit).count());
    }

    static std::optional<bool> HasOwner(QDBusConnection& bus, const char* service, Clock::time_point deadline) {
        const auto limit = Limit(deadline);
        if (!limit) return std::nullopt;
        return linuxbus::NameHasOwner(bus, QString::fromLatin1(service), *limit);
    }

    // The service's answer; nullopt when it gave none of the expected type.
    // hung: it did not answer in time.
    static std::optional<bool> Ask(QDBusConnection& bus, const Query& query, Clock::time_point deadline, bool& hung) {
        const auto limit = Limit(deadline);
        if (!limit) {
            hung = true;
            return std::nullopt;
        }
        QDBusMessage message =
            QDBusMessage::createMethodCall(QString::fromLatin1(query.service), QString::fromLatin1(query.path),
                                           QString::fromLatin1(query.interface), QString::fromLatin1(query.method));
        message.setAutoStartService(false);
        if (query.flags) message << static_cast<uint>(*query.flags);
        const QDBusMessage reply = bus.call(message, QDBus::Block, *limit);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            hung = linuxbus::TimedOut(reply);
            return std::nullopt;
        }
        const QList<QVariant> args = reply.arguments();
        if (args.size() != 1) return std::nullopt;
        const int type = args[0].metaType().id();
        switch (query.answer) {
        case Answer::Bool:
            if (type != QMetaType::Bool) return std::nullopt;
            return args[0].toBool();
        case Answer::NonEmptyList:
            if (type != QMetaType::QStringList) return std::nullopt;
            return !args[0].toStringList().isEmpty();
        }
        return std::nullopt;
    }

    linuxbus::SessionBusLink link_;
};

}  // namespace

std::unique_ptr<IAutoExceptionProbe> CreateDisplayKeptOnProbe() { return std::make_unique<DisplayKeptOnProbe>(); }

}  // namespace rl
