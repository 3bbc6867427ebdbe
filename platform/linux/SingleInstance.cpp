#include "platform/linux/SingleInstance.h"

#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>

#include <cctype>
#include <cstdlib>

namespace rl {

namespace {

const QByteArray kShowRequest = "show\n";
const QByteArray kReply = "ok\n";

// "host:number.screen" without the screen; the local host as no host.
std::string DisplayPart(const std::string& display) {
    const std::size_t colon = display.rfind(':');
    if (colon == std::string::npos) return "none";
    std::string host = display.substr(0, colon);
    if (host == "unix" || host == "localhost") host.clear();
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    std::string part = host.empty() ? number : host + "_" + number;
    for (char& c : part) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '_' && c != '-') c = '_';
    }
    return part;
}

}  // namespace

QString SingleInstance::ServerName(const std::string& display) {
    const QString base = QStringLiteral("restlevel-%1-%2").arg(getuid()).arg(QString::fromStdString(DisplayPart(display)));
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/' && QFileInfo(QString::fromLocal8Bit(runtime)).isDir())
        return QDir(QString::fromLocal8Bit(runtime)).filePath(base);
    return base;
}

SingleInstance::SingleInstance(QString name) : name_(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::AskRunningInstance(int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(kShowRequest);
    socket.waitForBytesWritten(timeoutMs);
    socket.waitForReadyRead(timeoutMs);
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::Listen(std::function<void()> onShow) {
    onShow_ = std::move(onShow);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name_)) {
        // Nobody answered on the name a moment ago, so the file is what a
        // process that ended without closing it left behind.
        QLocalServer::removeServer(name_);
        if (!server_->listen(name_)) {
            server_.reset();
            return false;
        }
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* client = server_->nextPendingConnection()) {
            QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            QObject::connect(client, &QLocalSocket::readyRead, client, [this, client] {
                if (!client->canReadLine()) return;
                const QByteArray request = client->readLine();
                if (request == kShowRequest && onShow_) onShow_();
                client->write(kReply);
                client->disconnectFromServer();
            });
        }
    });
    return true;
}

}  // namespace rl
