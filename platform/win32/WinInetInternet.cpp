// The internet port over WinInet's ANSI functions, each passed straight
// through (the send also checks where an HTTPS request ended); WinInet leaves
// its own error code as the thread's last error.
#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/Http.h"
#include "platform/HttpDate.h"

namespace rl {
namespace {

HINTERNET ToHandle(InetHandle handle) { return reinterpret_cast<HINTERNET>(handle); }
InetHandle FromHandle(HINTERNET handle) { return reinterpret_cast<InetHandle>(handle); }

// Whether a request's final address, after the redirects WinInet followed,
// is a plain-HTTP one.
bool EndedOnPlainHttp(InetHandle request) {
    char url[4096] = {};
    DWORD size = sizeof(url) - 1;
    if (!InternetQueryOptionA(ToHandle(request), INTERNET_OPTION_URL, url, &size)) return false;
    return _strnicmp(url, "http:", 5) == 0;
}

class WinInetInternet : public IInternet {
public:
    InetHandle Open(const std::string& agent, std::uint32_t accessType, std::uint32_t flags) override {
        return FromHandle(InternetOpenA(agent.c_str(), accessType, nullptr, nullptr, flags));
    }

    bool SetOption(InetHandle handle, std::uint32_t option, std::uint32_t value) override {
        DWORD data = value;
        return InternetSetOptionA(ToHandle(handle), option, &data, sizeof(data)) != FALSE;
    }

    InetHandle Connect(InetHandle internet, const std::string& host, std::uint16_t port, const char* userName,
                       const char* password, std::uint32_t service, std::uint32_t flags,
                       std::uintptr_t context) override {
        return FromHandle(InternetConnectA(ToHandle(internet), host.c_str(), port, userName, password, service, flags,
                                           context));
    }

    InetHandle OpenRequest(InetHandle connection, const std::string& verb, const std::string& objectName,
                           const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                           std::uintptr_t context) override {
        // WinInet takes the accept types as a list ending in a null entry.
        std::vector<const char*> types;
        types.reserve(acceptTypes.size() + 1);
        for (const auto& type : acceptTypes) types.push_back(type.c_str());
        types.push_back(nullptr);
        const InetHandle request = FromHandle(HttpOpenRequestA(ToHandle(connection), verb.c_str(), objectName.c_str(),
                                                               nullptr, nullptr, types.data(), flags, context));
        // Set for every new handle, so that a reused value forgets its past.
        if (request != 0) {
            constexpr std::uint32_t kMayLeaveHttps = kInternetFlagIgnoreRedirectToHttp | kInternetFlagNoAutoRedirect;
            guarded_[request] = (flags & kInternetFlagSecure) != 0 && (flags & kMayLeaveHttps) == 0;
        }
        return request;
    }

    bool SendRequest(InetHandle request, const std::string& headers, const void* optional,
                     std::uint32_t optionalLength) override {
        // No headers is a null pointer: WinInet would otherwise look at an
        // empty text for a header block.
        if (!HttpSendRequestA(ToHandle(request), headers.empty() ? nullptr : headers.c_str(),
                              static_cast<DWORD>(headers.size()), const_cast<void*>(optional), optionalLength))
            return false;
        // WinInet refuses a redirect from https to http only where the
        // system's settings ask for it (and Wine follows it), so the final
        // address is checked here; the answer's body is then never read.
        const auto guarded = guarded_.find(request);
        if (guarded != guarded_.end() && guarded->second && EndedOnPlainHttp(request)) {
            SetLastError(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
            return false;
        }
        return true;
    }

    bool QueryInfo(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length) override {
        // A date is read from the header's text (see HttpDate.h): Wine's own
        // reading takes it for local time, and fails badly on the older forms.
        if ((level & HTTP_QUERY_FLAG_SYSTEMTIME) != 0 && (level & HTTP_QUERY_FLAG_REQUEST_HEADERS) == 0)
            return QueryDate(request, level & ~HTTP_QUERY_FLAG_SYSTEMTIME, buffer, length);
        DWORD size = *length;
        const BOOL ok = HttpQueryInfoA(ToHandle(request), level, buffer, &size, nullptr);
        *length = size;
        return ok != FALSE;
    }

    bool QueryDate(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length) {
        if (length == nullptr || buffer == nullptr || *length < sizeof(SYSTEMTIME)) {
            if (length != nullptr) *length = sizeof(SYSTEMTIME);
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        char text[256] = {};
        DWORD size = sizeof(text) - 1;
        if (!HttpQueryInfoA(ToHandle(request), level, text, &size, nullptr)) return false;
        const std::optional<SystemTime> time = ParseHttpDate(std::string_view(text, size));
        if (!time) {
            SetLastError(ERROR_HTTP_INVALID_HEADER);
            return false;
        }
        SYSTEMTIME out{};
        out.wYear = time->Year;
        out.wMonth = time->Month;
        out.wDayOfWeek = time->DayOfWeek;
        out.wDay = time->Day;
        out.wHour = time->Hour;
        out.wMinute = time->Minute;
        out.wSecond = time->Second;
        std::memcpy(buffer, &out, sizeof out);
        *length = sizeof out;
        return true;
    }

    bool QueryDataAvailable(InetHandle request, std::uint32_t& available) override {
        DWORD count = 0;
        const BOOL ok = InternetQueryDataAvailable(ToHandle(request), &count, 0, 0);
        available = ok ? count : 0;
        return ok != FALSE;
    }

    bool ReadFile(InetHandle request, void* buffer, std::uint32_t count, std::uint32_t& read) override {
        DWORD got = 0;
        const BOOL ok = InternetReadFile(ToHandle(request), buffer, count, &got);
        read = got;
        return ok != FALSE;
    }

    bool LastResponseInfo(std::uint32_t& error, std::string& text, std::uint32_t bufferSize) override {
        std::vector<char> buffer(bufferSize + 1, '\0');
        DWORD code = 0;
        DWORD length = bufferSize;
        const BOOL ok = InternetGetLastResponseInfoA(&code, buffer.data(), &length);
        error = code;
        text = ok ? std::string(buffer.data(), length < bufferSize ? length : bufferSize) : std::string();
        return ok != FALSE;
    }

    bool CloseHandle(InetHandle handle) override {
        guarded_.erase(handle);
        return InternetCloseHandle(ToHandle(handle)) != FALSE;
    }

private:
    // Requests opened as HTTPS that may not end on plain HTTP.
    std::map<InetHandle, bool> guarded_;
};

}  // namespace

std::unique_ptr<IInternet> CreateInternet() { return std::make_unique<WinInetInternet>(); }

}  // namespace rl
