#include "platform/linux/SessionBus.h"

#include <sys/stat.h>

#include <QDBusMessage>
#include <QList>
#include <QVariant>

#include <cstdlib>
#include <string>

namespace rl::linuxbus {

namespace {

// A D-Bus address value: bytes outside the optionally-escaped set as %XX.
QString EscapeAddressValue(const std::string& value) {
    static const char kHex[] = "0123456789abcdef";
    QString out;
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           c == '-' || c == '_' || c == '/' || c == '.' || c == '\\' || c == '*';
        if (plain) {
            out += QChar(c);
        } else {
            out += QChar('%');
            out += QChar(kHex[c >> 4]);
            out += QChar(kHex[c & 0xf]);
        }
    }
    return out;
}

}  // namespace

QString SessionBusAddress() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') return QString::fromLocal8Bit(address);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') return {};
    const std::string socket = std::string(runtime) + "/bus";
    struct stat st {};
    if (stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
    return QStringLiteral("unix:path=") + EscapeAddressValue(socket);
}

SessionBusLink::SessionBusLink(const char* prefix)
    : name_(QStringLiteral("%1-%2").arg(QString::fromLatin1(prefix)).arg(reinterpret_cast<quintptr>(this))) {}

SessionBusLink::~SessionBusLink() { QDBusConnection::disconnectFromBus(name_); }

QDBusConnection SessionBusLink::Connect() {
    const QString address = SessionBusAddress();
    QDBusConnection bus(name_);
    if (bus.isConnected() && address == address_) return bus;
    QDBusConnection::disconnectFromBus(name_);
    address_ = address;
    if (address.isEmpty()) return QDBusConnection(name_);
    return QDBusConnection::connectToBus(address, name_);
}

std::optional<bool> NameHasOwner(QDBusConnection& bus, const QString& service, int timeoutMs) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    message << service;
    const QDBusMessage reply = bus.call(message, QDBus::Block, timeoutMs);
    const QList<QVariant> args = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || args.size() != 1 ||
        args[0].metaType().id() != QMetaType::Bool) {
        return std::nullopt;
    }
    return args[0].toBool();
}

bool TimedOut(const QDBusMessage& reply) {
    return reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
           reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout");
}

}  // namespace rl::linuxbus
