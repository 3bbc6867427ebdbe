#include "update/KzHTTP.h"

#include <algorithm>
#include <exception>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "support/Application.h"
#include "support/VorlLibText.h"

namespace rl {

namespace {

IInternet* gInternet = nullptr;

constexpr std::uint32_t kTextBufferSize = 1024;
constexpr std::uint32_t kReadBufferSize = 16384;
constexpr std::uintptr_t kContext = 1;
constexpr std::uint64_t kProgressSteps = 1000;

constexpr char kConnectFailed[] = "Connect Failed: ";
constexpr char kOpenRequestFailed[] = "Open Request Failed: ";
constexpr char kSendRequestFailed[] = "Send Request Failed: ";

static_assert(sizeof(SystemTime) == 16, "the system-time form of a header is 16 bytes");

// Closes one handle of the port when it goes out of scope, so that every
// early return closes what was opened.
class InetOwner {
public:
    InetOwner() = default;
    InetOwner(IInternet& port, InetHandle handle) : port_(&port), handle_(handle) {}
    InetOwner(InetOwner&& other) noexcept : port_(other.port_), handle_(std::exchange(other.handle_, 0)) {}
    InetOwner& operator=(InetOwner&& other) noexcept {
        if (this != &other) {
            Close();
            port_ = other.port_;
            handle_ = std::exchange(other.handle_, 0);
        }
        return *this;
    }
    InetOwner(const InetOwner&) = delete;
    InetOwner& operator=(const InetOwner&) = delete;
    ~InetOwner() { Close(); }

    InetHandle Get() const { return handle_; }
    explicit operator bool() const { return handle_ != 0; }

private:
    void Close() {
        if (handle_ != 0) port_->CloseHandle(std::exchange(handle_, 0));
    }
    IInternet* port_ = nullptr;
    InetHandle handle_ = 0;
};

std::string TrimBlanks(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
    return text.substr(begin, end - begin);
}

// Case-sensitive: "HTTPS://" is sent as plain HTTP.
bool IsHttps(const std::string& url) { return url.compare(0, 5, "https") == 0; }

std::uint32_t RequestFlags(const std::string& url, bool reload, bool noRedirect) {
    std::uint32_t flags = reload ? kInternetFlagReload : kInternetFlagResynchronize;
    if (IsHttps(url)) flags |= kInternetFlagSecure;
    if (noRedirect)
        flags |= kInternetFlagIgnoreRedirectToHttp | kInternetFlagIgnoreRedirectToHttps | kInternetFlagNoAutoRedirect;
    return flags;
}

// A port number in decimal; a text that is no integer, or one outside the
// 16 bits a port has, is none (it would otherwise wrap to another port).
std::optional<std::uint16_t> ParsePort(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    std::uint32_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
        if (value > 0xFFFF) return std::nullopt;
    }
    if (negative && value != 0) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

struct Target {
    std::string host;
    std::uint16_t port = 80;
    std::string object;
};

// Only "/" and ":" matter: the host and port are the third "/" field, the
// object everything after the third "/".
Target SplitUrl(const std::string& url) {
    Target target;
    const std::string hostPart = GetField(url, '/', 3);
    target.object = "/" + TrimBlanks(GetFieldsAfter(url, '/', 3));
    target.port = IsHttps(url) ? 443 : 80;
    if (hostPart.find(':') != std::string::npos) {
        if (const auto port = ParsePort(TrimBlanks(GetFieldsAfter(hostPart, ':', 1)))) target.port = *port;
    }
    target.host = TrimBlanks(GetFieldsBefore(hostPart, ':', 1));
    return target;
}

const char* Credential(const std::string& value) { return value == NullStringValue ? nullptr : value.c_str(); }

std::uint32_t QueryNumber(IInternet& port, InetHandle request, std::uint32_t level, std::uint32_t fallback) {
    std::uint32_t value = 0;
    std::uint32_t length = sizeof value;
    return port.QueryInfo(request, level | kHttpQueryFlagNumber, &value, &length) ? value : fallback;
}

double QueryDate(IInternet& port, InetHandle request, std::uint32_t level, double fallback) {
    SystemTime time;
    std::uint32_t length = sizeof time;
    if (!port.QueryInfo(request, level | kHttpQueryFlagSystemTime, &time, &length)) return fallback;
    return SystemTimeToDateTime(time).value_or(fallback);
}

std::string QueryText(IInternet& port, InetHandle request, std::uint32_t level, const std::string& fallback) {
    char buffer[kTextBufferSize];
    std::uint32_t length = kTextBufferSize;
    if (!port.QueryInfo(request, level, buffer, &length)) return fallback;
    return std::string(buffer, std::min(length, kTextBufferSize));
}

std::string ResponseText(IInternet& port) {
    std::uint32_t error = 0;
    std::string text;
    return port.LastResponseInfo(error, text, kTextBufferSize) ? text : std::string();
}

std::string ExtendedText(IInternet& port) {
    // The last error first: asking for the response text may change it.
    const std::uint32_t code = TextSystemPort() != nullptr ? TextSystemPort()->ThreadLastError() : 0;
    const std::string system = code > 0 ? SysErrorText(static_cast<std::int32_t>(code)) : std::string();
    return TrimBlanks(system + " " + ResponseText(port));
}

void ProcessPendingMessages() {
    if (IApplication* application = ApplicationPort()) application->ProcessMessages();
}

enum class Step { Done, Open, Connect, OpenRequest, Send };

struct Request {
    const std::string& url;
    const char* verb;
    const std::string& extraHeaders;
    const std::string* data;  // HEAD's optional data; null for GET
    IProgressBar* reveal;
    std::uint32_t connectTimeout;
    std::uint32_t receiveTimeout;
    const std::string& userName;
    const std::string& password;
    bool reload;
    bool noRedirect;
};

// Opens, connects, opens the request and sends it; gives the step that
// failed. The connection is not owned: closing the internet handle
// releases it.
Step Send(IInternet& port, const Request& r, InetOwner& internet, InetOwner& request) {
    internet = InetOwner(port, port.Open(ApplicationTitle(), kInternetOpenTypePreconfig, 0));
    if (!internet) return Step::Open;
    if (r.connectTimeout != 0) port.SetOption(internet.Get(), kInternetOptionConnectTimeout, r.connectTimeout);
    if (r.receiveTimeout != 0) port.SetOption(internet.Get(), kInternetOptionReceiveTimeout, r.receiveTimeout);

    const std::uint32_t flags = RequestFlags(r.url, r.reload, r.noRedirect);
    const Target target = SplitUrl(r.url);
    const InetHandle connection = port.Connect(internet.Get(), target.host, target.port, Credential(r.userName),
                                               Credential(r.password), kInternetServiceHttp, 0, kContext);
    if (connection == 0) return Step::Connect;

    request = InetOwner(port, port.OpenRequest(connection, r.verb, target.object, {"*/*"}, flags, kContext));
    if (!request) return Step::OpenRequest;

    const bool withData = r.data != nullptr && !r.data->empty();
    if (!port.SendRequest(request.Get(), r.extraHeaders, withData ? r.data->data() : nullptr,
                          withData ? static_cast<std::uint32_t>(r.data->size()) : 0))
        return Step::Send;

    if (r.reveal != nullptr) {
        r.reveal->Show();
        r.reveal->BringToFront();
        r.reveal->Repaint();
    }
    return Step::Done;
}

void QueryHeaders(IInternet& port, InetHandle request, std::uint32_t& contentLength, double& lastModified,
                  std::uint32_t& statusCode, std::string* location, std::string* rawHeaders) {
    contentLength = QueryNumber(port, request, kHttpQueryContentLength, 0);
    lastModified = QueryDate(port, request, kHttpQueryLastModified, 0.0);
    statusCode = QueryNumber(port, request, kHttpQueryStatusCode, 0);
    if (location != nullptr) *location = QueryText(port, request, kHttpQueryLocation, "");
    if (rawHeaders != nullptr) *rawHeaders = QueryText(port, request, kHttpQueryRawHeadersCrlf, "");
}

// Reads the body to its end; false when a read failed. The progress bar,
// when given, follows the announced length.
// Large enough for any program file; a bigger body still grows as it arrives.
constexpr std::uint32_t kMaxBodyReservation = 256u * 1024 * 1024;

bool ReadBody(IInternet& port, InetHandle request, std::string& body, bool processMessages, IProgressBar* progress,
              std::uint32_t contentLength) {
    std::vector<char> buffer(kReadBufferSize);
    // Room for the announced body at once: growing a large body chunk by chunk
    // costs more than its transfer. The announcement is only a hint (a lying
    // server must not make us fail), so a refused reservation is ignored.
    if (contentLength > 0) {
        try {
            body.reserve(std::min<std::uint32_t>(contentLength, kMaxBodyReservation));
        } catch (const std::bad_alloc&) {
        }
    }
    for (;;) {
        if (processMessages) ProcessPendingMessages();
        std::uint32_t read = 0;
        if (!port.ReadFile(request, buffer.data(), kReadBufferSize, read)) return false;
        if (read == 0) return true;
        body.append(buffer.data(), std::min(read, kReadBufferSize));
        if (progress != nullptr && contentLength > 0) {
            // A body longer than announced keeps the bar full rather than
            // past its end, which some toolkits ignore.
            const std::uint64_t steps = std::min<std::uint64_t>(body.size() * kProgressSteps / contentLength,
                                                                kProgressSteps);
            try {
                progress->SetPosition(static_cast<int>(steps));
            } catch (...) {
                // The bar is only a display; the download goes on.
            }
        }
    }
}

bool IsSuccess(std::uint32_t statusCode) { return statusCode >= 200 && statusCode <= 299; }

}  // namespace

void SetInternetPort(IInternet* port) { gInternet = port; }
IInternet* InternetPort() { return gInternet; }

std::uint32_t QueryHeaderNumber(InetHandle request, std::uint32_t level, std::uint32_t fallback) {
    return gInternet != nullptr ? QueryNumber(*gInternet, request, level, fallback) : fallback;
}

double QueryHeaderDate(InetHandle request, std::uint32_t level, double fallback) {
    return gInternet != nullptr ? QueryDate(*gInternet, request, level, fallback) : fallback;
}

std::string QueryHeaderText(InetHandle request, std::uint32_t level, const std::string& fallback) {
    return gInternet != nullptr ? QueryText(*gInternet, request, level, fallback) : fallback;
}

std::string ExtendedErrorText() { return gInternet != nullptr ? ExtendedText(*gInternet) : std::string(); }

std::string ResponseInfoText() { return gInternet != nullptr ? ResponseText(*gInternet) : std::string(); }

bool HTTPGet(const std::string& url, std::string& body, std::uint32_t& statusCode, std::uint32_t& contentLength,
             double& lastModified, std::string& errorText, IProgressBar* progress, std::uint32_t connectTimeout,
             std::uint32_t receiveTimeout, const std::string& userName, const std::string& password, bool reload,
             bool noRedirect, std::string* location, std::string* rawHeaders, const std::string& extraHeaders) {
    lastModified = 0.0;
    statusCode = 0;
    contentLength = 0;
    errorText.clear();
    body.clear();
    if (location != nullptr) location->clear();
    if (rawHeaders != nullptr) rawHeaders->clear();
    if (gInternet == nullptr) return false;
    IInternet& port = *gInternet;
    try {
        InetOwner internet;
        InetOwner request;
        const Request r{url,           "GET",    extraHeaders, nullptr,    progress, connectTimeout,
                        receiveTimeout, userName, password,     reload,     noRedirect};
        switch (Send(port, r, internet, request)) {
            case Step::Done: break;
            case Step::Open: return false;
            case Step::Connect: errorText = kConnectFailed + LastErrorText(); return false;
            case Step::OpenRequest: errorText = kOpenRequestFailed + LastErrorText(); return false;
            case Step::Send: errorText = kSendRequestFailed + LastErrorText(); return false;
        }
        QueryHeaders(port, request.Get(), contentLength, lastModified, statusCode, location, rawHeaders);

        // A failed read fails the request even when no length was announced:
        // the body may have been cut anywhere.
        const bool complete = ReadBody(port, request.Get(), body, true, progress, contentLength);
        if (!complete) errorText = ExtendedText(port);
        return complete && IsSuccess(statusCode) && contentLength <= body.size();
    } catch (const std::exception& error) {
        errorText = error.what();
        return false;
    } catch (...) {
        errorText = "Unexpected failure";
        return false;
    }
}

bool HTTPHead(const std::string& url, const std::string& extraHeaders, const std::string& requestData,
              std::uint32_t& statusCode, std::uint64_t& contentLength, double& lastModified, std::string& errorText,
              IProgressBar* reveal, std::uint32_t connectTimeout, std::uint32_t receiveTimeout,
              const std::string& userName, const std::string& password, bool reload, bool noRedirect,
              std::string* location, std::string* rawHeaders, std::string* body) {
    lastModified = 0.0;
    statusCode = 0;
    contentLength = 0;
    errorText.clear();
    if (location != nullptr) location->clear();
    if (rawHeaders != nullptr) rawHeaders->clear();
    if (body != nullptr) body->clear();
    if (gInternet == nullptr) return false;
    IInternet& port = *gInternet;
    try {
        InetOwner internet;
        InetOwner request;
        const Request r{url,           "HEAD",   extraHeaders, &requestData, reveal, connectTimeout,
                        receiveTimeout, userName, password,     reload,       noRedirect};
        switch (Send(port, r, internet, request)) {
            case Step::Done: break;
            case Step::Open: return false;
            case Step::Connect:
            case Step::OpenRequest:
            case Step::Send: errorText = ResponseText(port); return false;
        }
        std::uint32_t length = 0;
        QueryHeaders(port, request.Get(), length, lastModified, statusCode, location, rawHeaders);
        contentLength = length;

        if (body != nullptr && !ReadBody(port, request.Get(), *body, false, nullptr, 0))
            errorText = ResponseText(port);
        return IsSuccess(statusCode);
    } catch (const std::exception& error) {
        errorText = error.what();
        return false;
    } catch (...) {
        errorText = "Unexpected failure";
        return false;
    }
}

}  // namespace rl
