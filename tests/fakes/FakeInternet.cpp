#include "tests/fakes/FakeInternet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace rl::fake {

namespace {

const char* KindName(int kind) {
    static const char* const names[] = {"internet", "connection", "request"};
    return names[kind];
}

const char* Reason(std::uint32_t status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "";
    }
}

// Days since 1 January 1970 of a civil date.
long long DaysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<long long>(era) * 146097 + static_cast<long long>(doe) - 719468;
}

// "Sun, 06 Nov 1994 08:49:37 GMT"
std::string HttpDate(const SystemTime& t) {
    static const char* const days[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long long day = DaysFromCivil(t.Year, t.Month, t.Day);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02u %s %04u %02u:%02u:%02u GMT", days[((day % 7) + 7) % 7], t.Day,
                  months[(t.Month + 11) % 12], t.Year, t.Hour, t.Minute, t.Second);
    return text;
}

std::optional<std::string> HeaderText(const Response& r, std::uint32_t level) {
    switch (level) {
        case kHttpQueryStatusCode:
            if (r.status) return std::to_string(*r.status);
            break;
        case kHttpQueryContentLength:
            if (r.contentLength) return std::to_string(*r.contentLength);
            break;
        case kHttpQueryLastModified:
            if (r.lastModified) return HttpDate(*r.lastModified);
            break;
        case kHttpQueryLocation:
            if (r.location) return *r.location;
            break;
        case kHttpQueryRawHeadersCrlf: return r.RawHeaderText();
        default: break;
    }
    return std::nullopt;
}

}  // namespace

Response& Response::Body(const std::string& body, std::size_t chunkSize, bool announceLength) {
    chunks.clear();
    if (chunkSize == 0) chunkSize = std::max<std::size_t>(body.size(), 1);
    for (std::size_t at = 0; at < body.size(); at += chunkSize) chunks.push_back(body.substr(at, chunkSize));
    if (announceLength)
        contentLength = body.size();
    else
        contentLength.reset();
    return *this;
}

std::string Response::RawHeaderText() const {
    if (rawHeaders) return *rawHeaders;
    std::string text = "HTTP/1.1 " + std::to_string(status.value_or(0)) + " " + Reason(status.value_or(0)) + "\r\n";
    if (contentLength) text += "Content-Length: " + std::to_string(*contentLength) + "\r\n";
    if (lastModified) text += "Last-Modified: " + HttpDate(*lastModified) + "\r\n";
    if (location) text += "Location: " + *location + "\r\n";
    return text + "\r\n";
}

int Internet::OpenHandles() const {
    return static_cast<int>(
        std::count_if(handles_.begin(), handles_.end(), [](const auto& entry) { return entry.second.open; }));
}

bool Internet::Fail(std::uint32_t error) {
    lastError = error;
    if (textSystem != nullptr) textSystem->lastError = error;
    return false;
}

Internet::Handle* Internet::Find(InetHandle handle, Kind kind, const char* call) {
    const auto found = handles_.find(handle);
    if (found == handles_.end() || !found->second.open || found->second.kind != kind) {
        char text[96];
        std::snprintf(text, sizeof text, "%s on handle 0x%llx", call, static_cast<unsigned long long>(handle));
        misuse.push_back(text);
        Fail(kErrorInvalidHandle);
        return nullptr;
    }
    return &found->second;
}

InetHandle Internet::Add(Handle handle) {
    const InetHandle value = next_++;
    handles_[value] = std::move(handle);
    return value;
}

InetHandle Internet::Open(const std::string& agent, std::uint32_t accessType, std::uint32_t flags) {
    log.push_back("InternetOpenA " + agent);
    opens.push_back({agent, accessType, flags});
    if (openError) return Fail(*openError), 0;
    Handle h;
    h.kind = Kind::Internet;
    return Add(std::move(h));
}

bool Internet::SetOption(InetHandle handle, std::uint32_t option, std::uint32_t value) {
    log.push_back("InternetSetOptionA " + std::to_string(option) + " " + std::to_string(value));
    options.push_back({handle, option, value});
    // Options go on the internet handle or on a request, never a connection.
    const auto found = handles_.find(handle);
    const bool request = found != handles_.end() && found->second.open && found->second.kind == Kind::Request;
    if (!request && Find(handle, Kind::Internet, "InternetSetOptionA") == nullptr) return false;
    if (setOptionError) return Fail(*setOptionError);
    return true;
}

InetHandle Internet::Connect(InetHandle internet, const std::string& host, std::uint16_t port, const char* userName,
                             const char* password, std::uint32_t service, std::uint32_t flags,
                             std::uintptr_t context) {
    log.push_back("InternetConnectA " + host + ":" + std::to_string(port));
    ConnectCall call{internet, host, port, std::nullopt, std::nullopt, service, flags, context};
    if (userName != nullptr) call.userName = userName;
    if (password != nullptr) call.password = password;
    connects.push_back(call);
    if (Find(internet, Kind::Internet, "InternetConnectA") == nullptr) return 0;
    if (connectError) return Fail(*connectError), 0;
    Handle h;
    h.kind = Kind::Connection;
    h.parent = internet;
    h.record = connects.size() - 1;
    return Add(std::move(h));
}

InetHandle Internet::OpenRequest(InetHandle connection, const std::string& verb, const std::string& objectName,
                                 const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                                 std::uintptr_t context) {
    log.push_back("HttpOpenRequestA " + verb + " " + objectName);
    RequestCall call;
    call.verb = verb;
    call.objectName = objectName;
    call.acceptTypes = acceptTypes;
    call.flags = flags;
    call.context = context;
    const Handle* parent = Find(connection, Kind::Connection, "HttpOpenRequestA");
    if (parent != nullptr) call.connection = connects[parent->record];
    requests.push_back(call);
    if (parent == nullptr) return 0;
    if (openRequestError) return Fail(*openRequestError), 0;
    Handle h;
    h.kind = Kind::Request;
    h.parent = connection;
    h.record = requests.size() - 1;
    const auto found = responses.find(objectName);
    h.response = found != responses.end() ? found->second : response;
    const InetHandle value = Add(std::move(h));
    requests.back().handle = value;
    return value;
}

bool Internet::SendRequest(InetHandle request, const std::string& headers, const void* optional,
                           std::uint32_t optionalLength) {
    log.push_back("HttpSendRequestA");
    Handle* h = Find(request, Kind::Request, "HttpSendRequestA");
    if (h == nullptr) return false;
    RequestCall& call = requests[h->record];
    ++call.sends;
    call.headers = headers;
    call.optional.reset();
    if (optional != nullptr) call.optional = std::string(static_cast<const char*>(optional), optionalLength);
    call.optionalLength = optionalLength;
    if (sendError) return Fail(*sendError);
    if (h->response.sendError) return Fail(*h->response.sendError);
    return true;
}

bool Internet::QueryInfo(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length) {
    char line[48];
    std::snprintf(line, sizeof line, "HttpQueryInfoA 0x%08X", level);
    log.push_back(line);
    Handle* h = Find(request, Kind::Request, "HttpQueryInfoA");
    if (h == nullptr) return false;
    RequestCall& call = requests[h->record];
    call.queries.push_back({level, *length, false});
    const std::uint32_t base = level & 0xFFFF;
    const std::optional<std::string> text = HeaderText(h->response, base);
    if (!text) return Fail(kErrorHttpHeaderNotFound);

    if ((level & kHttpQueryFlagSystemTime) != 0) {
        if (base != kHttpQueryLastModified) return Fail(kErrorHttpHeaderNotFound);
        if (*length < sizeof(SystemTime)) {
            *length = sizeof(SystemTime);
            return Fail(kErrorInsufficientBuffer);
        }
        std::memcpy(buffer, &*h->response.lastModified, sizeof(SystemTime));
        *length = sizeof(SystemTime);
    } else if ((level & kHttpQueryFlagNumber) != 0) {
        if (text->empty() || text->find_first_not_of("0123456789") != std::string::npos)
            return Fail(kErrorHttpHeaderNotFound);
        if (*length < 4) {
            *length = 4;
            return Fail(kErrorInsufficientBuffer);
        }
        const auto value = static_cast<std::uint32_t>(std::stoull(*text));
        std::memcpy(buffer, &value, 4);
        *length = 4;
    } else {
        const auto needed = static_cast<std::uint32_t>(text->size() + 1);
        if (*length < needed) {
            *length = needed;
            return Fail(kErrorInsufficientBuffer);
        }
        std::memcpy(buffer, text->c_str(), needed);
        *length = needed - 1;
    }
    call.queries.back().succeeded = true;
    return true;
}

bool Internet::QueryDataAvailable(InetHandle request, std::uint32_t& available) {
    log.push_back("InternetQueryDataAvailable");
    available = 0;
    Handle* h = Find(request, Kind::Request, "InternetQueryDataAvailable");
    if (h == nullptr) return false;
    const Response& r = h->response;
    std::size_t chunk = h->chunk;
    while (chunk < r.chunks.size() && r.chunks[chunk].empty()) ++chunk;
    // Nothing before a failing read: the read tells.
    const bool failsNext = r.readFailsAt && chunk >= *r.readFailsAt && (chunk != h->chunk || h->offset == 0);
    if (chunk < r.chunks.size() && !failsNext)
        available = static_cast<std::uint32_t>(r.chunks[chunk].size() - (chunk == h->chunk ? h->offset : 0));
    return true;
}

bool Internet::ReadFile(InetHandle request, void* buffer, std::uint32_t count, std::uint32_t& read) {
    log.push_back("InternetReadFile " + std::to_string(count));
    read = 0;
    Handle* h = Find(request, Kind::Request, "InternetReadFile");
    if (h == nullptr) return false;
    requests[h->record].reads.push_back(count);
    if (onRead) onRead(h->readIndex);
    ++h->readIndex;
    const Response& r = h->response;
    const auto failsHere = [&] { return r.readFailsAt && h->chunk >= *r.readFailsAt && h->offset == 0; };
    while (h->chunk < r.chunks.size() && r.chunks[h->chunk].empty() && !failsHere()) ++h->chunk;
    if (failsHere()) return Fail(r.readError);
    if (h->chunk >= r.chunks.size()) return true;
    const std::string& chunk = r.chunks[h->chunk];
    const std::size_t n = std::min<std::size_t>(count, chunk.size() - h->offset);
    std::memcpy(buffer, chunk.data() + h->offset, n);
    read = static_cast<std::uint32_t>(n);
    h->offset += n;
    if (h->offset == chunk.size()) {
        ++h->chunk;
        h->offset = 0;
    }
    return true;
}

bool Internet::LastResponseInfo(std::uint32_t& error, std::string& text, std::uint32_t bufferSize) {
    log.push_back("InternetGetLastResponseInfoA");
    responseInfoBufferSizes.push_back(bufferSize);
    if (responseInfoFails) return Fail(kErrorInternetInternalError);
    if (responseInfo.size() + 1 > bufferSize) return Fail(kErrorInsufficientBuffer);
    error = responseInfoError;
    text = responseInfo;
    return true;
}

bool Internet::CloseHandle(InetHandle handle) {
    const auto found = handles_.find(handle);
    const bool known = found != handles_.end();
    log.push_back(std::string("InternetCloseHandle ") +
                  (known ? KindName(static_cast<int>(found->second.kind)) : "unknown"));
    if (!known || !found->second.open) {
        misuse.push_back("InternetCloseHandle of a handle that is not open");
        return Fail(kErrorInvalidHandle);
    }
    Handle& h = found->second;
    h.open = false;
    if (h.kind == Kind::Request) requests[h.record].closed = true;
    if (h.kind == Kind::Internet)
        for (auto& [value, child] : handles_)
            if (child.kind == Kind::Connection && child.parent == handle) child.open = false;
    return true;
}

}  // namespace rl::fake
