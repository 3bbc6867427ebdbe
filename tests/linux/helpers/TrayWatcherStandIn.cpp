// A stand-in for a desktop's tray on the session bus that
// DBUS_SESSION_BUS_ADDRESS names: the StatusNotifierWatcher (with a host
// registered, so that Qt puts its tray icons there) and the host that reads
// what each item shows. Prints "ready" once it owns the watcher's name, then
// for every item registered and every change an item announces:
//   "item SERVICE id=ID title=TITLE status=STATUS tooltip=TOOLTIP icons=WxH:SUM,..."
// (SUM: a checksum of the pixmap's bytes, so that a changed image shows).
// A line "activate" on its standard input activates the last item (as a
// left click on the icon does); it lives until its standard input closes.
//
//   rl_tray_watcher_stand_in
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QStringList>
#include <QVariant>

#include <cstdio>

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItem = QStringLiteral("org.kde.StatusNotifierItem");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kItemPath = QStringLiteral("/StatusNotifierItem");

// a(iiay): each pixmap's size and a checksum of its bytes.
QString ReadPixmaps(const QDBusArgument& arg) {
    QStringList out;
    arg.beginArray();
    while (!arg.atEnd()) {
        int width = 0, height = 0;
        QByteArray data;
        arg.beginStructure();
        arg >> width >> height >> data;
        arg.endStructure();
        quint32 sum = 0;
        for (const char c : data) sum = sum * 31u + static_cast<unsigned char>(c);
        out << QStringLiteral("%1x%2:%3").arg(width).arg(height).arg(sum, 8, 16, QLatin1Char('0'));
    }
    arg.endArray();
    return out.join(QLatin1Char(','));
}

QString Pixmaps(const QVariant& value) {
    return value.canConvert<QDBusArgument>() ? ReadPixmaps(value.value<QDBusArgument>()) : QString();
}

// (sa(iiay)ss): the tooltip's title, and its text when there is one.
QString ToolTip(const QVariant& value) {
    if (!value.canConvert<QDBusArgument>()) return {};
    const QDBusArgument arg = value.value<QDBusArgument>();
    QString icon, title, text;
    arg.beginStructure();
    arg >> icon;
    ReadPixmaps(arg);
    arg >> title >> text;
    arg.endStructure();
    return text.isEmpty() ? title : title + QLatin1Char('|') + text;
}

class Watcher : public QDBusVirtualObject {
public:
    explicit Watcher(QDBusConnection bus) : bus_(bus) {}

    QString introspect(const QString&) const override {
        return QStringLiteral(
            "<interface name=\"org.kde.StatusNotifierWatcher\">"
            "<method name=\"RegisterStatusNotifierItem\"><arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
            "<method name=\"RegisterStatusNotifierHost\"><arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
            "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
            "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
            "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
            "<signal name=\"StatusNotifierItemRegistered\"><arg type=\"s\"/></signal>"
            "<signal name=\"StatusNotifierItemUnregistered\"><arg type=\"s\"/></signal>"
            "<signal name=\"StatusNotifierHostRegistered\"/>"
            "</interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        // Qt's clients read properties only through the introspected
        // description, which a virtual object answers itself.
        if (message.member() == QLatin1String("Introspect")) {
            connection.send(message.createReply(
                QVariantList{QStringLiteral("<node>") + introspect({}) + QStringLiteral("</node>")}));
        } else if (message.interface() == kProperties && message.member() == QLatin1String("Get") &&
            message.arguments().size() == 2) {
            connection.send(message.createReply(QVariantList{QVariant::fromValue(QDBusVariant(Property(
                message.arguments().at(1).toString())))}));
        } else if (message.interface() == kProperties && message.member() == QLatin1String("GetAll")) {
            QVariantMap all;
            for (const char* name : {"RegisteredStatusNotifierItems", "IsStatusNotifierHostRegistered", "ProtocolVersion"})
                all.insert(QLatin1String(name), Property(QLatin1String(name)));
            connection.send(message.createReply(QVariantList{all}));
        } else if (message.member() == QLatin1String("RegisterStatusNotifierItem") &&
                   message.arguments().size() == 1) {
            // The argument is the item's bus name, or (in some programs) its
            // object path on the sender's connection.
            QString service = message.arguments().at(0).toString();
            QString path = kItemPath;
            if (service.startsWith(QLatin1Char('/'))) {
                path = service;
                service = message.service();
            }
            connection.send(message.createReply());
            Add(service, path);
        } else if (message.member() == QLatin1String("RegisterStatusNotifierHost")) {
            connection.send(message.createReply());
        } else {
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                                     QStringLiteral("No such method")));
        }
        return true;
    }

private:
    QVariant Property(const QString& name) const {
        if (name == QLatin1String("IsStatusNotifierHostRegistered")) return true;
        if (name == QLatin1String("ProtocolVersion")) return 0;
        QStringList services;
        for (const auto& item : items_) services << item.first;
        return services;
    }

    void Add(const QString& service, const QString& path) {
        items_.append({service, path});
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/StatusNotifierWatcher"), kWatcher,
                                                          QStringLiteral("StatusNotifierItemRegistered"));
        signal.setArguments({service});
        bus_.send(signal);
        Print(service, path);
    }

    void Print(const QString& service, const QString& path) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, kProperties, QStringLiteral("GetAll"));
        call.setArguments({kItem});
        const QDBusMessage reply = bus_.call(call, QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            std::printf("item %s unreadable: %s\n", qPrintable(service), qPrintable(reply.errorMessage()));
            std::fflush(stdout);
            return;
        }
        const QVariantMap p = qdbus_cast<QVariantMap>(reply.arguments().at(0));
        std::printf("item %s %s id=%s title=%s status=%s tooltip=%s icons=%s\n", qPrintable(service), qPrintable(path),
                    qPrintable(p.value(QStringLiteral("Id")).toString()),
                    qPrintable(p.value(QStringLiteral("Title")).toString()),
                    qPrintable(p.value(QStringLiteral("Status")).toString()),
                    qPrintable(ToolTip(p.value(QStringLiteral("ToolTip")))),
                    qPrintable(Pixmaps(p.value(QStringLiteral("IconPixmap")))));
        std::fflush(stdout);
    }

    QDBusConnection bus_;
    QList<QPair<QString, QString>> items_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    Watcher watcher(bus);
    if (!bus.isConnected() || !bus.registerVirtualObject(QStringLiteral("/StatusNotifierWatcher"), &watcher) ||
        !bus.registerService(kWatcher)) {
        std::fprintf(stderr, "cannot serve %s on the session bus\n", qPrintable(kWatcher));
        return 1;
    }
    bus.registerService(QStringLiteral("org.kde.StatusNotifierHost-%1").arg(QCoreApplication::applicationPid()));

    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
