// The desktop's session bus for read-only questions: a connection of our own
// (never the application's shared one), found without autolaunch, made again
// when lost or when the bus address changes.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>

#include <optional>

namespace rl::linuxbus {

// The session bus the desktop runs; empty when there is none. Never
// "autolaunch:", which would start a bus of its own.
QString SessionBusAddress();

class SessionBusLink {
public:
    // prefix: names the connection; the object's address keeps it unique.
    explicit SessionBusLink(const char* prefix);
    ~SessionBusLink();
    SessionBusLink(const SessionBusLink&) = delete;
    SessionBusLink& operator=(const SessionBusLink&) = delete;

    // The connection to the current session bus; not connected when there
    // is none.
    QDBusConnection Connect();

private:
    QString name_;
    QString address_;
};

// Whether the bus knows an owner of the name; nullopt when the bus did not
// answer within timeoutMs.
std::optional<bool> NameHasOwner(QDBusConnection& bus, const QString& service, int timeoutMs);

bool TimedOut(const QDBusMessage& reply);

}  // namespace rl::linuxbus
