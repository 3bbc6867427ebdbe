// One running program per user and X display. The first start listens on a
// local socket named after both; a later start asks it to show its window
// and ends. The name is free again as soon as the first process is gone: a
// socket file left by a crash is removed once nobody answers on it.
#pragma once

#include <QLocalServer>
#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace rl {

class SingleInstance {
public:
    // In the user's private runtime folder when there is one, else a name
    // that Qt places in the temporary folder; either way with the user id
    // and the display (":0.0" and "unix:0" name the same display).
    static QString ServerName(const std::string& display);

    explicit SingleInstance(QString name);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Asks a running instance to show its window. True when one took the
    // request (its reply is awaited for at most timeoutMs, so that a busy
    // instance cannot hold up this start).
    bool AskRunningInstance(int timeoutMs);

    // Takes the name; onShow runs on the user-interface thread for every
    // later start. False when another process took it meanwhile.
    bool Listen(std::function<void()> onShow);

private:
    QString name_;
    std::unique_ptr<QLocalServer> server_;
    std::function<void()> onShow_;
};

}  // namespace rl
