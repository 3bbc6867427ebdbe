#include "update/KzHTTP.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <initializer_list>
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

thread_local HttpTimeLimit* tTimeLimit = nullptr;

}  // namespace

// The innermost time limit of the thread; nesting keeps the earliest end.
struct TimeLimitAccess {
    static bool Active() { return tTimeLimit != nullptr; }
    // Time left in whole milliseconds, at least 1; the request ends on its
    // own checks once it is up.
    static std::uint32_t Left() {
        const double left = std::ceil(tTimeLimit->end_ - Milliseconds());
        return static_cast<std::uint32_t>(std::clamp(left, 1.0, 4.0e9));
    }
    // True when the time is up; every limit that has ended learns it.
    static bool Up() {
        if (tTimeLimit == nullptr) return false;
        const double now = Milliseconds();
        if (now < tTimeLimit->end_) return false;
        for (HttpTimeLimit* limit = tTimeLimit; limit != nullptr; limit = limit->outer_)
            if (now >= limit->end_) limit->exceeded_ = true;
        return true;
    }
    static void Enter(HttpTimeLimit& limit, std::uint32_t milliseconds) {
        limit.outer_ = tTimeLimit;
        limit.end_ = Milliseconds() + milliseconds;
        if (limit.outer_ != nullptr) limit.end_ = std::min(limit.end_, limit.outer_->end_);
        tTimeLimit = &limit;
    }
    static void Leave(HttpTimeLimit& limit) { tTimeLimit = limit.outer_; }
};

HttpTimeLimit::HttpTimeLimit(std::uint32_t milliseconds) { TimeLimitAccess::Enter(*this, milliseconds); }
HttpTimeLimit::~HttpTimeLimit() { TimeLimitAccess::Leave(*this); }

namespace {

// A time-out as the request uses it (0: the platform's), cut to the time
// left under a limit.
std::uint32_t WithinTimeLimit(std::uint32_t timeout) {
    if (!TimeLimitAccess::Active()) return timeout;
    const std::uint32_t left = TimeLimitAccess::Left();
    return timeout == 0 ? left : std::min(timeout, left);
}

// Why a body read ended early; the request fails with the text.
class BodyStop : public std::exception {
public:
    explicit BodyStop(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

std::string TooLong(std::uint64_t limit) { return "Response body exceeds " + std::to_string(limit) + " bytes"; }

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
    const std::uint32_t connectTimeout = WithinTimeLimit(r.connectTimeout);
    const std::uint32_t receiveTimeout = WithinTimeLimit(r.receiveTimeout);
    if (connectTimeout != 0) port.SetOption(internet.Get(), kInternetOptionConnectTimeout, connectTimeout);
    if (receiveTimeout != 0) port.SetOption(internet.Get(), kInternetOptionReceiveTimeout, receiveTimeout);

    const std::uint32_t flags = RequestFlags(r.url, r.reload, r.noRedirect);
    const Target target = SplitUrl(r.url);
    const InetHandle connection = port.Connect(internet.Get(), target.host, target.port, Credential(r.userName),
                                               Credential(r.password), kInternetServiceHttp, 0, kContext);
    if (connection == 0) return Step::Connect;

    request = InetOwner(port, port.OpenRequest(connection, r.verb, target.object, {"*/*"}, flags, kContext));
    if (!request) return Step::OpenRequest;
    // Again on the request: Wine's WinInet takes the receive time-out only
    // there, and without it a silent server holds a read for ever.
    if (receiveTimeout != 0) port.SetOption(request.Get(), kInternetOptionReceiveTimeout, receiveTimeout);

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

// The announced length as the header gives it, read as text: the number
// form has 32 bits, and a length past them would wrap below a limit.
std::optional<std::uint64_t> AnnouncedLength(IInternet& port, InetHandle request) {
    const std::string text = TrimBlanks(QueryText(port, request, kHttpQueryContentLength, ""));
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    std::uint64_t value = 0;
    for (const char digit : text) {
        if (value > (UINT64_MAX - 9) / 10) return UINT64_MAX;
        value = value * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    return value;
}

// Reads the body to its end; false when a read failed. Each read takes what
// has arrived (a read of a full buffer would wait for it to fill, and a
// server that trickles would hold it for ever), at most one byte beyond the
// limit, which is never kept: a longer body and the end of the time limit
// raise BodyStop. The progress bar, when given, follows the announced length.
bool ReadBody(IInternet& port, InetHandle request, std::string& body, bool processMessages, IProgressBar* progress,
              std::uint32_t contentLength, std::uint64_t limit) {
    std::vector<char> buffer(kReadBufferSize);
    // Room for the announced body at once: growing a large body chunk by chunk
    // costs more than its transfer. The announcement is only a hint (a lying
    // server must not make us fail), so a refused reservation is ignored.
    if (contentLength > 0) {
        try {
            body.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(contentLength, limit)));
        } catch (const std::bad_alloc&) {
        }
    }
    for (;;) {
        if (processMessages) ProcessPendingMessages();
        if (TimeLimitAccess::Up()) throw BodyStop(kTimeLimitExceeded);
        std::uint32_t available = 0;
        if (!port.QueryDataAvailable(request, available)) return false;
        // None available is the end, which the read then confirms.
        std::uint64_t count = available == 0 ? kReadBufferSize : std::min(available, kReadBufferSize);
        if (limit - body.size() < count) count = limit - body.size() + 1;
        std::uint32_t read = 0;
        if (!port.ReadFile(request, buffer.data(), static_cast<std::uint32_t>(count), read)) return false;
        if (read == 0) return true;
        read = std::min(read, static_cast<std::uint32_t>(count));
        if (read > limit - body.size()) throw BodyStop(TooLong(limit));
        body.append(buffer.data(), read);
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

namespace {

// The outputs every request empties first, so that a failure leaves none
// of a previous call's values.
void ResetOutputs(std::uint32_t& statusCode, double& lastModified, std::string& errorText,
                  std::initializer_list<std::string*> texts) {
    statusCode = 0;
    lastModified = 0.0;
    errorText.clear();
    for (std::string* text : texts)
        if (text != nullptr) text->clear();
}

// Runs a request through the port: false without one; whatever it raises
// fails it with the exception's text. A request that fails after its time
// limit ended marks the limit as exceeded, however the failure showed.
template <typename Body>
bool Perform(std::string& errorText, Body body) {
    if (gInternet == nullptr) return false;
    bool ok = false;
    try {
        if (TimeLimitAccess::Up()) {
            errorText = kTimeLimitExceeded;
            return false;
        }
        ok = body(*gInternet);
    } catch (const std::exception& error) {
        errorText = error.what();
    } catch (...) {
        errorText = "Unexpected failure";
    }
    if (!ok) TimeLimitAccess::Up();
    return ok;
}

}  // namespace

bool HTTPGet(const std::string& url, std::string& body, std::uint32_t& statusCode, std::uint32_t& contentLength,
             double& lastModified, std::string& errorText, IProgressBar* progress, std::uint32_t connectTimeout,
             std::uint32_t receiveTimeout, const std::string& userName, const std::string& password, bool reload,
             bool noRedirect, std::uint64_t bodyLimit, std::string* location, std::string* rawHeaders,
             const std::string& extraHeaders) {
    ResetOutputs(statusCode, lastModified, errorText, {&body, location, rawHeaders});
    contentLength = 0;
    return Perform(errorText, [&](IInternet& port) {
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
        if (const auto announced = AnnouncedLength(port, request.Get()); announced && *announced > bodyLimit) {
            errorText = TooLong(bodyLimit);
            return false;
        }

        // A failed read fails the request even when no length was announced:
        // the body may have been cut anywhere.
        const bool complete = ReadBody(port, request.Get(), body, true, progress, contentLength, bodyLimit);
        if (!complete) errorText = ExtendedText(port);
        return complete && IsSuccess(statusCode) && contentLength <= body.size();
    });
}

bool HTTPHead(const std::string& url, const std::string& extraHeaders, const std::string& requestData,
              std::uint32_t& statusCode, std::uint64_t& contentLength, double& lastModified, std::string& errorText,
              IProgressBar* reveal, std::uint32_t connectTimeout, std::uint32_t receiveTimeout,
              const std::string& userName, const std::string& password, bool reload, bool noRedirect,
              std::string* location, std::string* rawHeaders, std::string* body) {
    ResetOutputs(statusCode, lastModified, errorText, {location, rawHeaders, body});
    contentLength = 0;
    return Perform(errorText, [&](IInternet& port) {
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

        if (body != nullptr && !ReadBody(port, request.Get(), *body, false, nullptr, 0, kTextBodyLimit))
            errorText = ResponseText(port);
        return IsSuccess(statusCode);
    });
}

}  // namespace rl
