// A stand-in for a desktop service on the session bus that
// DBUS_SESSION_BUS_ADDRESS names: takes a name, serves one object path and
// answers one method of one interface with a fixed answer; any other call
// gets UnknownMethod. Prints "ready" once registered, then one line per call
// it answers ("call INTERFACE.METHOD", then each argument after a space),
// and lives until its standard input closes.
//
//   rl_dbus_stand_in --name N --path P --interface I --method M --answer A [--delay-ms D]
//   A: true, false (a boolean), as:X,Y (a list of strings, "as:" an empty
//      one), s:X (a string), t:N (an unsigned 64-bit number)
//   D: answer after D milliseconds
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <QVariant>

#include <cstdio>
#include <cstdlib>

namespace {

struct Options {
    QString name, path, interface, method, answer;
    int delayMs = 0;
};

QVariant AnswerValue(const QString& answer) {
    if (answer == QLatin1String("true")) return true;
    if (answer == QLatin1String("false")) return false;
    if (answer.startsWith(QLatin1String("as:"))) {
        const QString items = answer.mid(3);
        return items.isEmpty() ? QStringList() : items.split(QLatin1Char(','));
    }
    if (answer.startsWith(QLatin1String("s:"))) return answer.mid(2);
    if (answer.startsWith(QLatin1String("t:"))) {
        bool ok = false;
        const qulonglong number = answer.mid(2).toULongLong(&ok);
        if (ok) return QVariant::fromValue(number);
    }
    return {};
}

class StandIn : public QDBusVirtualObject {
public:
    StandIn(const Options& options, QVariant answer) : options_(options), answer_(std::move(answer)) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != options_.interface || message.member() != options_.method) {
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                                     QStringLiteral("No such method")));
            return true;
        }
        QString line = QStringLiteral("call ") + message.interface() + QLatin1Char('.') + message.member();
        for (const QVariant& arg : message.arguments()) line += QLatin1Char(' ') + arg.toString();
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
        const QDBusMessage reply = message.createReply(QVariantList{answer_});
        QDBusConnection bus = connection;
        QTimer::singleShot(options_.delayMs, [bus, reply]() mutable { bus.send(reply); });
        return true;
    }

private:
    Options options_;
    QVariant answer_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options options;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString& key = args[i];
        const QString& value = args[i + 1];
        if (key == QLatin1String("--name")) options.name = value;
        else if (key == QLatin1String("--path")) options.path = value;
        else if (key == QLatin1String("--interface")) options.interface = value;
        else if (key == QLatin1String("--method")) options.method = value;
        else if (key == QLatin1String("--answer")) options.answer = value;
        else if (key == QLatin1String("--delay-ms")) options.delayMs = value.toInt();
    }
    const QVariant answer = AnswerValue(options.answer);
    if (options.name.isEmpty() || options.path.isEmpty() || !answer.isValid()) {
        std::fprintf(stderr, "usage: %s --name N --path P --interface I --method M --answer A [--delay-ms D]\n",
                     argv[0]);
        return 2;
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    StandIn standIn(options, answer);
    if (!bus.isConnected() || !bus.registerVirtualObject(options.path, &standIn) ||
        !bus.registerService(options.name)) {
        std::fprintf(stderr, "cannot serve %s on the session bus\n", qPrintable(options.name));
        return 1;
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&app]() {
        char buffer[256];
        if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) app.quit();
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
