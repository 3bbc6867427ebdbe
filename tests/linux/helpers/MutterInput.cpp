// Input through mutter's remote desktop on the session bus that
// DBUS_SESSION_BUS_ADDRESS names, as a user's own device would give it:
// makes a remote-desktop session and starts it, prints "ready" (or
// "error MESSAGE" and ends with 1), then answers each line of standard input
// with "done" or "error MESSAGE":
//   pointer DX DY   moves the pointer by that much
//   key CODE        presses and releases that evdev key code
// Mutter ends the session when this connection closes, so one process keeps
// it for all the input a test gives.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QString>
#include <QVariant>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace {

const QString kService = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
const QString kSession = QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session");

// The error's text, empty when the call was answered.
QString Call(const QString& path, const QString& interface, const QString& method, const QVariantList& args,
             QVariantList* reply = nullptr) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    message.setArguments(args);
    const QDBusMessage answer = QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    if (answer.type() == QDBusMessage::ErrorMessage) return answer.errorName() + QLatin1Char(' ') + answer.errorMessage();
    if (reply != nullptr) *reply = answer.arguments();
    return {};
}

void Say(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Runs one line of input; the error's text, empty when mutter took it.
QString Give(const QString& session, const std::string& line) {
    std::istringstream words(line);
    std::string what;
    words >> what;
    if (what == "pointer") {
        double dx = 0, dy = 0;
        if (!(words >> dx >> dy)) return QStringLiteral("usage: pointer DX DY");
        return Call(session, kSession, QStringLiteral("NotifyPointerMotionRelative"), {dx, dy});
    }
    if (what == "key") {
        unsigned code = 0;
        if (!(words >> code)) return QStringLiteral("usage: key CODE");
        for (const bool pressed : {true, false}) {
            const QString error =
                Call(session, kSession, QStringLiteral("NotifyKeyboardKeycode"), {code, pressed});
            if (!error.isEmpty()) return error;
        }
        return {};
    }
    return QStringLiteral("unknown input: ") + QString::fromStdString(line);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (!QDBusConnection::sessionBus().isConnected()) {
        Say(QStringLiteral("error no session bus"));
        return 1;
    }
    QVariantList reply;
    QString error = Call(QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), kService, QStringLiteral("CreateSession"),
                         {}, &reply);
    if (error.isEmpty() && (reply.size() != 1 || !reply[0].canConvert<QDBusObjectPath>())) {
        error = QStringLiteral("CreateSession gave no session");
    }
    if (!error.isEmpty()) {
        Say(QStringLiteral("error ") + error);
        return 1;
    }
    const QString session = reply[0].value<QDBusObjectPath>().path();
    error = Call(session, kSession, QStringLiteral("Start"), {});
    if (!error.isEmpty()) {
        Say(QStringLiteral("error ") + error);
        return 1;
    }
    Say(QStringLiteral("ready"));

    for (std::string line; std::getline(std::cin, line);) {
        if (line.empty()) continue;
        error = Give(session, line);
        Say(error.isEmpty() ? QStringLiteral("done") : QStringLiteral("error ") + error);
    }
    Call(session, kSession, QStringLiteral("Stop"), {});
    return 0;
}
