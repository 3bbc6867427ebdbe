#include "platform/linux/SingleInstance.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>


#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace rl {

namespace {

// "show\n", or "show TOKEN\n" with the later start's activation token.
constexpr char kShowRequest[] = "show";
constexpr char kReply[] = "ok\n";
// A request is one short line; anything longer is not ours.
constexpr std::size_t kMaxRequest = 512;

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

bool Address(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// Compositors make tokens of letters, digits and punctuation; anything
// else (a space, a control character) would not survive the line.
bool IsTokenText(const std::string& token) {
    if (token.empty() || token.size() > kMaxRequest - sizeof kShowRequest - 2) return false;
    for (const char c : token)
        if (c <= ' ' || c > '~') return false;
    return true;
}

// The token of a show request ("" for none); nothing when the bytes are
// not exactly one such line.
std::optional<std::string> ShowToken(const std::string& received) {
    const std::size_t end = received.find('\n');
    if (end == std::string::npos || end + 1 != received.size()) return std::nullopt;
    const std::string line = received.substr(0, end);
    const std::string prefix = std::string(kShowRequest) + " ";
    if (line == kShowRequest) return std::string();
    if (line.rfind(prefix, 0) == 0 && IsTokenText(line.substr(prefix.size()))) return line.substr(prefix.size());
    return std::nullopt;
}

bool IsDirectory(const char* path) {
    struct stat st {};
    return path != nullptr && *path == '/' && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string SingleInstance::SocketPath(const std::string& display) { return PathFor(DisplayPart(display)); }

std::string SingleInstance::WaylandSocketPath(const std::string& waylandDisplay) {
    // libwayland's own default when the variable is empty.
    std::string part = waylandDisplay.empty() ? "wayland-0" : waylandDisplay;
    for (char& c : part) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '_' && c != '-') c = '_';
    }
    return PathFor("wl-" + part);
}

std::string SingleInstance::PathFor(const std::string& displayPart) {
    const std::string name = "restlevel-" + std::to_string(getuid()) + "-" + displayPart;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    sockaddr_un address{};
    if (IsDirectory(runtime)) {
        const std::string path = std::string(runtime) + "/" + name;
        if (Address(path, address)) return path;
    }
    return "/tmp/" + name;
}

SingleInstance::SingleInstance(std::string path) : path_(std::move(path)) {}

SingleInstance::~SingleInstance() {
    for (auto& [fd, client] : clients_) {
        client.notifier.reset();
        close(fd);
    }
    clients_.clear();
    if (listener_ >= 0) {
        notifier_.reset();
        close(listener_);
        unlink(path_.c_str());
    }
}

bool SingleInstance::AskRunningInstance(int timeoutMs, const std::string& activationToken) {
    sockaddr_un address{};
    if (!Address(path_, address)) return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // A local connect completes at once, or fails at once when nobody
    // listens (no file, or one left by a process that ended).
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return false;
    }
    std::string request = kShowRequest;
    if (IsTokenText(activationToken)) request += " " + activationToken;
    request += "\n";
    [[maybe_unused]] const ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, timeoutMs) > 0) {
        char reply[16];
        [[maybe_unused]] const ssize_t n = read(fd, reply, sizeof reply);
    }
    close(fd);
    return true;
}

bool SingleInstance::Listen(std::function<void(const std::string& activationToken)> onShow) {
    onShow_ = std::move(onShow);
    sockaddr_un address{};
    if (!Address(path_, address)) return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const auto* a = reinterpret_cast<const sockaddr*>(&address);
    if (bind(fd, a, sizeof address) != 0) {
        // Nobody answered on the name a moment ago, so the file is what a
        // process that ended without closing it left behind.
        if (errno != EADDRINUSE || unlink(path_.c_str()) != 0 || bind(fd, a, sizeof address) != 0) {
            close(fd);
            return false;
        }
    }
    chmod(path_.c_str(), 0600);
    if (listen(fd, 8) != 0) {
        close(fd);
        unlink(path_.c_str());
        return false;
    }
    listener_ = fd;
    notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Accept(); });
    return true;
}

void SingleInstance::Accept() {
    for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        Client& client = clients_[fd];
        client.fd = fd;
        client.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(client.notifier.get(), &QSocketNotifier::activated, [this, fd] { Read(fd); });
    }
}

void SingleInstance::Read(int fd) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    Client& client = it->second;
    char buffer[kMaxRequest];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n > 0) client.received.append(buffer, static_cast<std::size_t>(n));
    const bool complete = client.received.find('\n') != std::string::npos;
    if (!complete && n > 0 && client.received.size() < kMaxRequest) return;
    const std::optional<std::string> token = ShowToken(client.received);
    if (complete) {
        [[maybe_unused]] const ssize_t sent = send(fd, kReply, sizeof kReply - 1, MSG_NOSIGNAL);
    }
    Drop(fd);
    if (token && onShow_) onShow_(*token);
}

void SingleInstance::Drop(int fd) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    // Deleting a notifier inside its own signal is not allowed.
    it->second.notifier->setEnabled(false);
    it->second.notifier.release()->deleteLater();
    close(fd);
    clients_.erase(it);
}

}  // namespace rl
