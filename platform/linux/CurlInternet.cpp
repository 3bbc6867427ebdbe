// The internet port over libcurl, with WinInet's contract: handles for the
// session, the connection and the request; the request runs on a curl multi
// handle of its own, so that SendRequest returns once the final response's
// headers are in and ReadFile hands out the body as it arrives.
//
// Time-outs: the connect time-out bounds connecting (with the TLS handshake);
// the receive time-out bounds every wait for data once connected, 30 s when
// none is set, so a stalled server fails a read as WinInet's would.
// Certificates: curl's system CA store, plus the certificates of the file
// named by SSL_CERT_FILE when that is set, kept in one store for the process.
#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>

#include "platform/Http.h"
#include "platform/linux/ErrorCodes.h"

namespace rl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorInternetInvalidOption = 12009;
constexpr std::uint32_t kErrorInternetIncorrectHandleType = 12018;
constexpr std::uint32_t kErrorInternetIncorrectHandleState = 12019;
constexpr std::uint32_t kErrorHttpInvalidQueryRequest = 12154;
constexpr std::uint32_t kErrorHttpRedirectFailed = 12156;

constexpr std::uint32_t kInternetOpenTypeDirect = 1;
constexpr std::uint32_t kInternetOptionSendTimeout = 5;

// WinInet's defaults: 60 s to connect; no byte for 30 s fails a receive.
constexpr std::uint32_t kDefaultConnectTimeoutMs = 60000;
constexpr std::uint32_t kDefaultReceiveTimeoutMs = 30000;
constexpr long kMaxRedirects = 20;
// Body bytes held for the reader; beyond this the transfer pauses, so the
// buffer is reused instead of growing with what the socket has ready.
constexpr std::size_t kMaxBuffered = 512 * 1024;

// Query levels beyond those the port names.
constexpr std::uint32_t kHttpQueryContentType = 1;
constexpr std::uint32_t kHttpQueryDate = 9;
constexpr std::uint32_t kHttpQueryExpires = 10;
constexpr std::uint32_t kHttpQueryVersion = 18;
constexpr std::uint32_t kHttpQueryStatusText = 20;
constexpr std::uint32_t kHttpQueryRawHeaders = 21;
constexpr std::uint32_t kHttpQueryFlagRequestHeaders = 0x80000000u;
constexpr std::uint32_t kHttpQueryFlagNumber64 = 0x08000000u;
constexpr std::uint32_t kHttpQueryModifierMask = 0xFFFF0000u;

thread_local std::string tResponseText;
thread_local std::uint32_t tResponseError = 0;

bool Fail(std::uint32_t code) {
    linuxerr::SetThreadLastError(code);
    return false;
}

InetHandle FailHandle(std::uint32_t code) {
    linuxerr::SetThreadLastError(code);
    return 0;
}

std::uint32_t WinInetError(CURLcode code, long osErrno) {
    switch (code) {
    case CURLE_OK:
        return 0;
    case CURLE_URL_MALFORMAT:
        return kErrorInternetInvalidUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return kErrorInternetNameNotResolved;
    case CURLE_COULDNT_CONNECT:
        return kErrorInternetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return kErrorInternetTimeout;
    case CURLE_PEER_FAILED_VERIFICATION:
        return kErrorInternetInvalidCa;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
        return kErrorInternetSecFailure;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return osErrno == ECONNRESET || osErrno == EPIPE ? kErrorInternetConnectionReset
                                                         : kErrorInternetConnectionAborted;
    case CURLE_PARTIAL_FILE:
        return kErrorInternetConnectionAborted;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return kErrorHttpInvalidServerResponse;
    case CURLE_TOO_MANY_REDIRECTS:
        return kErrorHttpRedirectFailed;
    case CURLE_OUT_OF_MEMORY:
        return kErrorNotEnoughMemory;
    default:
        return kErrorInternetInternalError;
    }
}

std::string TrimBlanks(const std::string& text) {
    std::size_t first = 0, last = text.size();
    while (first < last && (text[first] == ' ' || text[first] == '\t')) ++first;
    while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t')) --last;
    return text.substr(first, last - first);
}

// The object name as it goes on the request line: what a URL cannot carry
// raw (blanks, control bytes, bytes above 127) is percent-encoded.
std::string EncodeObjectName(const std::string& name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    if (name.empty() || name[0] != '/') out += '/';
    for (const char ch : name) {
        const auto b = static_cast<unsigned char>(ch);
        if (b <= 0x20 || b >= 0x7F) {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

// The trusted CAs: curl's system bundle and folder, plus the certificates of
// SSL_CERT_FILE when it is set. Parsing the system bundle costs tens of
// milliseconds, so one store serves every connection until SSL_CERT_FILE or
// one of the files changes.
class TrustStore {
public:
    static TrustStore& Instance() {
        static TrustStore store;
        return store;
    }

    // Gives the SSL context the current store.
    void Apply(SSL_CTX* ctx) {
        const char* extra = std::getenv("SSL_CERT_FILE");
        const std::string key = Stamp(bundle_) + '\n' + folder_ + '\n' + Stamp(extra != nullptr ? extra : "");
        const std::lock_guard lock(mutex_);
        if (store_ == nullptr || key != key_) {
            X509_STORE_free(store_);
            store_ = Build(extra);
            key_ = key;
        }
        if (store_ != nullptr) SSL_CTX_set1_cert_store(ctx, store_);
    }

private:
    TrustStore() {
        // curl's own defaults (the distribution's bundle and folder).
        if (CURL* probe = curl_easy_init()) {
            char* path = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path != nullptr) bundle_ = path;
            path = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAPATH, &path) == CURLE_OK && path != nullptr) folder_ = path;
            curl_easy_cleanup(probe);
        }
    }

    static std::string Stamp(const std::string& path) {
        struct stat st {};
        if (path.empty() || stat(path.c_str(), &st) != 0) return path;
        return path + '|' + std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec) + '|' +
               std::to_string(st.st_size);
    }

    X509_STORE* Build(const char* extra) const {
        X509_STORE* store = X509_STORE_new();
        if (store == nullptr) return nullptr;
        if (!bundle_.empty()) X509_STORE_load_file(store, bundle_.c_str());
        if (!folder_.empty()) X509_STORE_load_path(store, folder_.c_str());
        if (extra != nullptr && *extra != '\0') X509_STORE_load_file(store, extra);
        // As curl sets it: a trusted intermediate certificate ends a chain.
        X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
        ERR_clear_error();  // a missing or empty file is no failure here
        return store;
    }

    std::mutex mutex_;
    std::string bundle_;
    std::string folder_;
    X509_STORE* store_ = nullptr;
    std::string key_;
};

CURLcode ApplyTrustStore(CURL*, void* sslCtx, void*) {
    TrustStore::Instance().Apply(static_cast<SSL_CTX*>(sslCtx));
    return CURLE_OK;
}

struct Object {
    enum Kind { kInternet, kConnection, kRequest } kind;
    InetHandle parent = 0;
    std::vector<InetHandle> children;
    std::optional<std::uint32_t> connectTimeout;
    std::optional<std::uint32_t> receiveTimeout;
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
};

struct Session : Object {
    Session() : Object(kInternet) {}
    std::string agent;
    std::uint32_t accessType = 0;
};

struct Connection : Object {
    Connection() : Object(kConnection) {}
    std::string host;
    std::uint16_t port = 0;
    std::optional<std::string> user;
    std::optional<std::string> password;
};

struct Request : Object {
    Request() : Object(kRequest) {}
    ~Request() override { Stop(); }

    std::string url;
    std::string verb;
    std::uint32_t flags = 0;
    std::vector<std::string> acceptTypes;

    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    bool sent = false;
    bool followRedirects = true;
    bool stayOnHttps = false;  // an HTTPS request that may not be redirected to HTTP
    bool leftHttps = false;    // ...and was: the transfer is ended
    bool endAfterHeaders = false;  // a HEAD that curl was not told is one
    bool paused = false;
    bool headersDone = false;
    bool done = false;
    CURLcode result = CURLE_OK;
    std::string failText;  // set when we end the transfer ourselves

    // The latest response's header block (a followed redirect's is replaced).
    std::string statusLine;
    std::vector<std::string> headers;

    std::string body;
    std::size_t bodyOffset = 0;
    Clock::time_point lastData;

    void Stop() {
        if (multi != nullptr && easy != nullptr) curl_multi_remove_handle(multi, easy);
        if (easy != nullptr) curl_easy_cleanup(easy);
        if (multi != nullptr) curl_multi_cleanup(multi);
        curl_slist_free_all(headerList);
        easy = nullptr;
        multi = nullptr;
        headerList = nullptr;
    }

    const std::string* Header(const char* name) const {
        const std::size_t n = std::strlen(name);
        for (const std::string& line : headers)
            if (line.size() > n && line[n] == ':' && strncasecmp(line.c_str(), name, n) == 0) return &line;
        return nullptr;
    }

    int StatusCode() const {
        const std::size_t space = statusLine.find(' ');
        return space == std::string::npos ? 0 : std::atoi(statusLine.c_str() + space + 1);
    }

    // A block is final unless it is interim (1xx) or a redirect that will be
    // followed; the first body byte or the end of the transfer also settles it.
    bool FinalBlock() const {
        const int code = StatusCode();
        if (code < 200) return false;
        const bool redirect = code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
        return !(followRedirects && redirect && Header("Location") != nullptr);
    }

    // A redirect about to be followed to a plain-HTTP address (a relative
    // Location keeps the scheme).
    bool FollowsToHttp() const {
        if (StatusCode() < 300 || StatusCode() > 399) return false;
        const std::string* location = Header("Location");
        if (location == nullptr) return false;
        const std::string target = TrimBlanks(location->substr(std::strlen("Location") + 1));
        return strncasecmp(target.c_str(), "http:", 5) == 0;
    }

    void OnHeaderLine(std::string line) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        lastData = Clock::now();
        if (line.starts_with("HTTP/")) {
            statusLine = line;
            headers.clear();
        } else if (line.empty()) {
            if (FinalBlock()) headersDone = true;
            else if (stayOnHttps && FollowsToHttp()) leftHttps = true;
        } else if ((line[0] == ' ' || line[0] == '\t') && !headers.empty()) {
            headers.back() += ' ' + TrimBlanks(line);  // a folded continuation
        } else {
            headers.push_back(line);
        }
    }

    void OnBody(const char* data, std::size_t size) {
        lastData = Clock::now();
        headersDone = true;
        if (bodyOffset == body.size()) {
            body.clear();
            bodyOffset = 0;
        }
        body.append(data, size);
    }

    std::size_t Buffered() const { return body.size() - bodyOffset; }
};

std::size_t HeaderCallback(char* data, std::size_t size, std::size_t count, void* user) {
    auto* request = static_cast<Request*>(user);
    request->OnHeaderLine(std::string(data, size * count));
    return request->leftHttps ? 0 : size * count;  // 0 ends the transfer before the redirect
}

std::size_t WriteCallback(char* data, std::size_t size, std::size_t count, void* user) {
    auto* request = static_cast<Request*>(user);
    if (request->Buffered() > 0 && request->Buffered() + size * count > kMaxBuffered) {
        request->paused = true;  // curl hands the same bytes again when resumed
        return CURL_WRITEFUNC_PAUSE;
    }
    request->OnBody(data, size * count);
    return size * count;
}

class CurlInternet : public IInternet {
public:
    CurlInternet() {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    }

    InetHandle Open(const std::string& agent, std::uint32_t accessType, std::uint32_t) override {
        auto session = std::make_unique<Session>();
        session->agent = agent;
        session->accessType = accessType;
        return Add(std::move(session), 0);
    }

    bool SetOption(InetHandle handle, std::uint32_t option, std::uint32_t value) override {
        Object* object = Find(handle);
        if (object == nullptr) return Fail(kErrorInvalidHandle);
        switch (option) {
        case kInternetOptionConnectTimeout:
            object->connectTimeout = value;
            return true;
        case kInternetOptionReceiveTimeout:
            object->receiveTimeout = value;
            return true;
        case kInternetOptionSendTimeout:  // sending is bounded by the receive wait that follows
            return true;
        default:
            return Fail(kErrorInternetInvalidOption);
        }
    }

    InetHandle Connect(InetHandle internet, const std::string& host, std::uint16_t port, const char* userName,
                       const char* password, std::uint32_t, std::uint32_t, std::uintptr_t) override {
        Object* parent = Find(internet);
        if (parent == nullptr) return FailHandle(kErrorInvalidHandle);
        if (parent->kind != Object::kInternet) return FailHandle(kErrorInternetIncorrectHandleType);
        if (host.empty()) return FailHandle(kErrorInvalidParameter);
        auto connection = std::make_unique<Connection>();
        connection->host = host;
        connection->port = port;
        if (userName != nullptr) connection->user = userName;
        if (password != nullptr) connection->password = password;
        return Add(std::move(connection), internet);
    }

    InetHandle OpenRequest(InetHandle connection, const std::string& verb, const std::string& objectName,
                           const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                           std::uintptr_t) override {
        Object* parent = Find(connection);
        if (parent == nullptr) return FailHandle(kErrorInvalidHandle);
        if (parent->kind != Object::kConnection) return FailHandle(kErrorInternetIncorrectHandleType);
        const auto& conn = static_cast<const Connection&>(*parent);
        auto request = std::make_unique<Request>();
        const bool secure = (flags & kInternetFlagSecure) != 0;
        const std::string host = conn.host.find(':') != std::string::npos ? "[" + conn.host + "]" : conn.host;
        request->url = std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(conn.port) +
                       EncodeObjectName(objectName);
        request->verb = verb.empty() ? "GET" : verb;
        request->flags = flags;
        request->acceptTypes = acceptTypes;
        return Add(std::move(request), connection);
    }

    bool SendRequest(InetHandle handle, const std::string& headers, const void* optional,
                     std::uint32_t optionalLength) override {
        Request* request = FindRequest(handle);
        if (request == nullptr) return false;
        request->Stop();
        ClearResponse(*request);
        tResponseText.clear();
        tResponseError = 0;
        if (!Start(*request, headers, optional, optionalLength)) return Fail(kErrorInternetInternalError);
        Pump(*request, [&] { return request->headersDone; });
        if (!request->headersDone) {
            if (request->result == CURLE_OK) request->result = CURLE_GOT_NOTHING;
            return FailTransfer(*request);
        }
        return true;
    }

    bool QueryInfo(InetHandle handle, std::uint32_t level, void* buffer, std::uint32_t* length) override {
        Request* request = FindRequest(handle);
        if (request == nullptr) return false;
        if (length == nullptr) return Fail(kErrorInvalidParameter);
        if (!request->headersDone) return Fail(kErrorInternetIncorrectHandleState);
        if ((level & kHttpQueryFlagRequestHeaders) != 0) return Fail(kErrorHttpInvalidQueryRequest);

        std::string value;
        const std::uint32_t code = HeaderValue(*request, level & ~kHttpQueryModifierMask, value);
        if (code != 0) return Fail(code);

        if ((level & kHttpQueryFlagSystemTime) != 0) {
            const time_t t = curl_getdate(value.c_str(), nullptr);
            std::tm tm{};
            if (t == -1 || gmtime_r(&t, &tm) == nullptr) return Fail(kErrorHttpHeaderNotFound);
            // SYSTEMTIME: year, month, day of week, day, hour, minute, second, ms.
            const std::uint16_t fields[8] = {
                static_cast<std::uint16_t>(tm.tm_year + 1900), static_cast<std::uint16_t>(tm.tm_mon + 1),
                static_cast<std::uint16_t>(tm.tm_wday), static_cast<std::uint16_t>(tm.tm_mday),
                static_cast<std::uint16_t>(tm.tm_hour), static_cast<std::uint16_t>(tm.tm_min),
                static_cast<std::uint16_t>(tm.tm_sec), 0};
            return Deliver(fields, sizeof fields, buffer, length);
        }
        if ((level & (kHttpQueryFlagNumber | kHttpQueryFlagNumber64)) != 0) {
            const std::uint64_t number = std::strtoull(value.c_str(), nullptr, 10);
            if ((level & kHttpQueryFlagNumber64) != 0) return Deliver(&number, sizeof number, buffer, length);
            const auto number32 = static_cast<std::uint32_t>(number);
            return Deliver(&number32, sizeof number32, buffer, length);
        }
        const auto needed = static_cast<std::uint32_t>(value.size() + 1);
        if (buffer == nullptr || *length < needed) {
            *length = needed;
            return Fail(kErrorInsufficientBuffer);
        }
        std::memcpy(buffer, value.c_str(), needed);
        *length = needed - 1;
        return true;
    }

    bool ReadFile(InetHandle handle, void* buffer, std::uint32_t count, std::uint32_t& read) override {
        read = 0;
        Request* request = FindRequest(handle);
        if (request == nullptr) return false;
        if (!request->sent || !request->headersDone) return Fail(kErrorInternetIncorrectHandleState);
        if (count == 0) return true;
        if (buffer == nullptr) return Fail(kErrorInvalidParameter);
        Pump(*request, [&] { return request->Buffered() > 0; });
        if (request->Buffered() > 0) {
            read = static_cast<std::uint32_t>(std::min<std::size_t>(count, request->Buffered()));
            std::memcpy(buffer, request->body.data() + request->bodyOffset, read);
            request->bodyOffset += read;
            return true;
        }
        if (request->result == CURLE_OK) return true;  // the end of the body
        return FailTransfer(*request);
    }

    bool QueryDataAvailable(InetHandle handle, std::uint32_t& available) override {
        available = 0;
        Request* request = FindRequest(handle);
        if (request == nullptr) return false;
        if (!request->sent || !request->headersDone) return Fail(kErrorInternetIncorrectHandleState);
        Pump(*request, [&] { return request->Buffered() > 0; });
        if (request->Buffered() > 0) {
            available = static_cast<std::uint32_t>(request->Buffered());
            return true;
        }
        if (request->result == CURLE_OK) return true;  // the end of the body
        return FailTransfer(*request);
    }

    bool LastResponseInfo(std::uint32_t& error, std::string& text, std::uint32_t bufferSize) override {
        error = tResponseError;
        text.clear();
        if (tResponseText.size() + 1 > bufferSize) return Fail(kErrorInsufficientBuffer);
        text = tResponseText;
        return true;
    }

    bool CloseHandle(InetHandle handle) override {
        if (Find(handle) == nullptr) return Fail(kErrorInvalidHandle);
        Remove(handle);
        return true;
    }

private:
    std::map<InetHandle, std::unique_ptr<Object>> objects_;
    InetHandle next_ = 0xCC0000;

    InetHandle Add(std::unique_ptr<Object> object, InetHandle parent) {
        const InetHandle handle = ++next_;
        object->parent = parent;
        if (parent != 0) objects_[parent]->children.push_back(handle);
        objects_[handle] = std::move(object);
        return handle;
    }

    Object* Find(InetHandle handle) {
        const auto it = objects_.find(handle);
        return it == objects_.end() ? nullptr : it->second.get();
    }

    Request* FindRequest(InetHandle handle) {
        Object* object = Find(handle);
        if (object == nullptr) {
            Fail(kErrorInvalidHandle);
            return nullptr;
        }
        if (object->kind != Object::kRequest) {
            Fail(kErrorInternetIncorrectHandleType);
            return nullptr;
        }
        return static_cast<Request*>(object);
    }

    // Closing a handle closes what was made from it.
    void Remove(InetHandle handle) {
        const auto it = objects_.find(handle);
        if (it == objects_.end()) return;
        std::unique_ptr<Object> object = std::move(it->second);
        objects_.erase(it);
        for (const InetHandle child : object->children) Remove(child);
        if (Object* parent = Find(object->parent)) std::erase(parent->children, handle);
    }

    // An option set on the request, else on its connection, else on the session.
    template <typename Field>
    std::optional<std::uint32_t> Inherited(const Object& object, Field field) {
        for (const Object* o = &object; o != nullptr; o = Find(o->parent))
            if ((o->*field).has_value()) return o->*field;
        return std::nullopt;
    }

    static std::uint32_t OrDefault(std::optional<std::uint32_t> value, std::uint32_t fallback) {
        return value.has_value() && *value != 0 ? *value : fallback;
    }

    static void ClearResponse(Request& r) {
        r.sent = r.headersDone = r.done = r.endAfterHeaders = r.paused = r.leftHttps = false;
        r.result = CURLE_OK;
        r.failText.clear();
        r.statusLine.clear();
        r.headers.clear();
        r.body.clear();
        r.bodyOffset = 0;
        r.errorBuffer[0] = '\0';
    }

    bool Start(Request& r, const std::string& extraHeaders, const void* optional, std::uint32_t optionalLength) {
        const auto* conn = static_cast<const Connection*>(Find(r.parent));
        const auto* session = conn != nullptr ? static_cast<const Session*>(Find(conn->parent)) : nullptr;
        if (session == nullptr) return false;
        r.multi = curl_multi_init();
        r.easy = curl_easy_init();
        if (r.multi == nullptr || r.easy == nullptr) return false;
        CURL* e = r.easy;
        r.followRedirects = (r.flags & kInternetFlagNoAutoRedirect) == 0;
        const bool secure = r.url.starts_with("https:");
        r.stayOnHttps = secure && r.followRedirects && (r.flags & kInternetFlagIgnoreRedirectToHttp) == 0;

        curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r.errorBuffer);
        curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, r.stayOnHttps ? "https" : "http,https");
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, r.followRedirects ? 1L : 0L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
        curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(OrDefault(Inherited(r, &Object::connectTimeout), kDefaultConnectTimeoutMs)));
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, HeaderCallback);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteCallback);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
        curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 256L * 1024);
        if (!session->agent.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, session->agent.c_str());
        if (session->accessType == kInternetOpenTypeDirect) curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
        if (conn->user.has_value()) curl_easy_setopt(e, CURLOPT_USERNAME, conn->user->c_str());
        if (conn->password.has_value()) curl_easy_setopt(e, CURLOPT_PASSWORD, conn->password->c_str());

        // The CAs come from our store alone (curl's defaults are in it).
        curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(e, CURLOPT_CA_CACHE_TIMEOUT, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, ApplyTrustStore);

        std::string accept = "Accept:";
        for (std::size_t i = 0; i < r.acceptTypes.size(); ++i) accept += (i == 0 ? " " : ", ") + r.acceptTypes[i];
        r.headerList = curl_slist_append(r.headerList, accept.c_str());
        std::size_t pos = 0;
        while (pos < extraHeaders.size()) {
            std::size_t end = extraHeaders.find('\n', pos);
            if (end == std::string::npos) end = extraHeaders.size();
            std::string line = extraHeaders.substr(pos, end - pos);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) r.headerList = curl_slist_append(r.headerList, line.c_str());
            pos = end + 1;
        }
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headerList);

        if (optional != nullptr && optionalLength > 0) {
            // Data goes out only with a request curl takes for a POST; a HEAD
            // then ends with its headers, since curl would wait for a body.
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(optionalLength));
            curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, optional);
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
            r.endAfterHeaders = r.verb == "HEAD";
        } else if (r.verb == "HEAD") {
            curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
        } else if (r.verb != "GET") {
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
        }

        if (curl_multi_add_handle(r.multi, e) != CURLM_OK) return false;
        r.sent = true;
        r.lastData = Clock::now();
        return true;
    }

    // Runs the transfer until the condition holds or it ends. Every wait for
    // data once connected is bounded by the receive time-out.
    template <typename Condition>
    void Pump(Request& r, Condition condition) {
        const std::uint32_t limitMs = OrDefault(Inherited(r, &Object::receiveTimeout), kDefaultReceiveTimeoutMs);
        const auto limit = std::chrono::milliseconds(limitMs);
        r.lastData = Clock::now();
        if (r.paused && !r.done && r.Buffered() == 0) {
            r.paused = false;
            curl_easy_pause(r.easy, CURLPAUSE_CONT);
        }
        while (!condition() && !r.done) {
            int running = 0;
            curl_multi_perform(r.multi, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(r.multi, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                r.done = true;
                r.result = msg->data.result;
                if (!r.headersDone && r.result == CURLE_OK && !r.statusLine.empty()) r.headersDone = true;
            }
            if (r.endAfterHeaders && r.headersDone && !r.done) {
                r.done = true;
                curl_multi_remove_handle(r.multi, r.easy);
            }
            if (condition() || r.done) break;

            const auto now = Clock::now();
            curl_off_t pretransfer = 0;
            curl_easy_getinfo(r.easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
            if (pretransfer == 0) {
                r.lastData = now;  // still connecting: the connect time-out rules
            } else if (now - r.lastData >= limit) {
                r.done = true;
                r.result = CURLE_OPERATION_TIMEDOUT;
                r.failText = "No data received for " + std::to_string(limitMs) + " ms";
                curl_multi_remove_handle(r.multi, r.easy);
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - (now - r.lastData));
            curl_multi_poll(r.multi, nullptr, 0, static_cast<int>(std::clamp<std::int64_t>(left.count(), 1, 1000)),
                            nullptr);
        }
    }

    static bool FailTransfer(const Request& r) {
        long osErrno = 0;
        if (r.easy != nullptr) curl_easy_getinfo(r.easy, CURLINFO_OS_ERRNO, &osErrno);
        std::uint32_t code = WinInetError(r.result, osErrno);
        if (r.leftHttps) code = kErrorInternetHttpsToHttpOnRedir;
        if (code == kErrorInternetInvalidCa && NamesAnotherHost(r)) code = kErrorInternetSecCertCnInvalid;
        tResponseError = code;
        tResponseText = r.leftHttps               ? "Redirected from HTTPS to HTTP"
                        : !r.failText.empty()    ? r.failText
                        : r.errorBuffer[0] != 0 ? std::string(r.errorBuffer)
                                                : std::string(curl_easy_strerror(r.result));
        return Fail(code);
    }

    // A certificate refused although its chain verified: it is for another
    // host. curl checks the name after the chain and then leaves the
    // chain's result as "unspecified" (or as OK); OpenSSL's own name checks
    // give their mismatch codes.
    static bool NamesAnotherHost(const Request& r) {
        long verify = -1;
        if (r.easy == nullptr || curl_easy_getinfo(r.easy, CURLINFO_SSL_VERIFYRESULT, &verify) != CURLE_OK)
            return false;
        return verify == X509_V_OK || verify == X509_V_ERR_UNSPECIFIED || verify == X509_V_ERR_HOSTNAME_MISMATCH ||
               verify == X509_V_ERR_IP_ADDRESS_MISMATCH;
    }

    static bool Deliver(const void* data, std::uint32_t size, void* buffer, std::uint32_t* length) {
        if (buffer == nullptr || *length < size) {
            *length = size;
            return Fail(kErrorInsufficientBuffer);
        }
        std::memcpy(buffer, data, size);
        *length = size;
        return true;
    }

    // The text of a query level; 0 or the error code.
    static std::uint32_t HeaderValue(const Request& r, std::uint32_t level, std::string& value) {
        const char* name = nullptr;
        switch (level) {
        case kHttpQueryStatusCode:
        case kHttpQueryStatusText:
        case kHttpQueryVersion: {
            const std::size_t first = r.statusLine.find(' ');
            const std::size_t second = first == std::string::npos ? first : r.statusLine.find(' ', first + 1);
            if (level == kHttpQueryVersion) value = r.statusLine.substr(0, first);
            else if (level == kHttpQueryStatusCode)
                value = first == std::string::npos ? "" : r.statusLine.substr(first + 1, second - first - 1);
            else value = second == std::string::npos ? "" : r.statusLine.substr(second + 1);
            return 0;
        }
        case kHttpQueryRawHeadersCrlf:
        case kHttpQueryRawHeaders: {
            const std::string end = level == kHttpQueryRawHeadersCrlf ? "\r\n" : std::string(1, '\0');
            value = r.statusLine + end;
            for (const std::string& line : r.headers) value += line + end;
            value += end;
            return 0;
        }
        case kHttpQueryContentType: name = "Content-Type"; break;
        case kHttpQueryContentLength: name = "Content-Length"; break;
        case kHttpQueryDate: name = "Date"; break;
        case kHttpQueryExpires: name = "Expires"; break;
        case kHttpQueryLastModified: name = "Last-Modified"; break;
        case kHttpQueryLocation: name = "Location"; break;
        default: return kErrorHttpInvalidQueryRequest;
        }
        const std::string* line = r.Header(name);
        if (line == nullptr) return kErrorHttpHeaderNotFound;
        value = TrimBlanks(line->substr(std::strlen(name) + 1));
        return 0;
    }
};

}  // namespace

std::unique_ptr<IInternet> CreateInternet() { return std::make_unique<CurlInternet>(); }

}  // namespace rl
