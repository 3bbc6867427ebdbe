// One running program per user and display (X11 or Wayland). The first
// start listens on a local socket named after both; a later start asks it to
// show its window and ends. The name is free again as soon as the first process is gone: a
// socket file left by a crash is removed once nobody answers on it.
//
// Plain sockets under a QSocketNotifier rather than QLocalServer: Qt's
// network library and what it pulls in would be a good part of the
// program's resident memory.
#pragma once

#include <QSocketNotifier>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace rl {

class SingleInstance {
public:
    // In the user's private runtime folder when there is one, else in the
    // temporary folder; either way with the user id and the display (":0.0"
    // and "unix:0" name the same display).
    static std::string SocketPath(const std::string& display);
    // The same for a Wayland session's display (WAYLAND_DISPLAY: a socket
    // name or path; empty for the default).
    static std::string WaylandSocketPath(const std::string& waylandDisplay);

    explicit SingleInstance(std::string path);
    ~SingleInstance();  // frees the name when this instance holds it
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Asks a running instance to show its window. True when one took the
    // request (its reply is awaited for at most timeoutMs, so that a busy
    // instance cannot hold up this start). activationToken: the one this
    // start's launcher gave it (XDG_ACTIVATION_TOKEN), handed on because
    // on Wayland only a window shown with such a token may take the focus.
    bool AskRunningInstance(int timeoutMs, const std::string& activationToken = {});

    // Takes the name; onShow runs on the user-interface thread for every
    // later start, with that start's activation token (empty when it had
    // none). False when another process holds it.
    bool Listen(std::function<void(const std::string& activationToken)> onShow);

private:
    static std::string PathFor(const std::string& displayPart);

    struct Client {
        int fd = -1;
        std::string received;
        std::unique_ptr<QSocketNotifier> notifier;
    };
    void Accept();
    void Read(int fd);
    void Drop(int fd);

    std::string path_;
    int listener_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<int, Client> clients_;
    std::function<void(const std::string&)> onShow_;
};

}  // namespace rl
