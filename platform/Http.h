// The internet port: the WinInet calls that the HTTP client makes, in their
// ANSI forms. The Win32 adapter passes each straight through; the Linux
// adapter gives the same contract over libcurl. A failing call leaves a
// Windows or WinInet error code (12xxx) as the thread's last error, where the
// text utilities' LastErrorText reads it. An HTTPS request is never answered
// over plain HTTP: a redirect from https to http fails the send with
// kErrorInternetHttpsToHttpOnRedir unless the request ignores such
// redirects (kInternetFlagIgnoreRedirectToHttp) or follows none.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rl {

// HINTERNET; 0 is the failure value of every call that gives one.
using InetHandle = std::uintptr_t;

constexpr std::uint32_t kInternetOpenTypePreconfig = 0;
constexpr std::uint32_t kInternetOptionConnectTimeout = 2;
constexpr std::uint32_t kInternetOptionReceiveTimeout = 6;
constexpr std::uint32_t kInternetServiceHttp = 3;

// Request flags.
constexpr std::uint32_t kInternetFlagReload = 0x80000000u;
constexpr std::uint32_t kInternetFlagResynchronize = 0x800;
constexpr std::uint32_t kInternetFlagSecure = 0x800000;
constexpr std::uint32_t kInternetFlagIgnoreRedirectToHttp = 0x8000;
constexpr std::uint32_t kInternetFlagIgnoreRedirectToHttps = 0x4000;
constexpr std::uint32_t kInternetFlagNoAutoRedirect = 0x200000;

// Header query levels and flags.
constexpr std::uint32_t kHttpQueryContentLength = 5;
constexpr std::uint32_t kHttpQueryLastModified = 11;
constexpr std::uint32_t kHttpQueryStatusCode = 19;
constexpr std::uint32_t kHttpQueryRawHeadersCrlf = 22;
constexpr std::uint32_t kHttpQueryLocation = 33;
constexpr std::uint32_t kHttpQueryFlagNumber = 0x20000000u;
constexpr std::uint32_t kHttpQueryFlagSystemTime = 0x40000000u;

// WinInet error codes the adapters give.
constexpr std::uint32_t kErrorInternetTimeout = 12002;
constexpr std::uint32_t kErrorInternetExtendedError = 12003;
constexpr std::uint32_t kErrorInternetInternalError = 12004;
constexpr std::uint32_t kErrorInternetInvalidUrl = 12005;
constexpr std::uint32_t kErrorInternetNameNotResolved = 12007;
constexpr std::uint32_t kErrorInternetCannotConnect = 12029;
constexpr std::uint32_t kErrorInternetConnectionAborted = 12030;
constexpr std::uint32_t kErrorInternetConnectionReset = 12031;
constexpr std::uint32_t kErrorInternetSecFailure = 12175;
constexpr std::uint32_t kErrorInternetSecCertCnInvalid = 12038;  // the certificate names another host
constexpr std::uint32_t kErrorInternetHttpsToHttpOnRedir = 12040;
constexpr std::uint32_t kErrorInternetInvalidCa = 12045;
constexpr std::uint32_t kErrorHttpInvalidServerResponse = 12152;
constexpr std::uint32_t kErrorHttpHeaderNotFound = 12150;

class IInternet {
public:
    virtual ~IInternet() = default;

    // InternetOpenA with no proxy and no bypass list.
    virtual InetHandle Open(const std::string& agent, std::uint32_t accessType, std::uint32_t flags) = 0;
    // InternetSetOptionA with a 4-byte value.
    virtual bool SetOption(InetHandle handle, std::uint32_t option, std::uint32_t value) = 0;
    // InternetConnectA; a null user name or password is absent.
    virtual InetHandle Connect(InetHandle internet, const std::string& host, std::uint16_t port,
                               const char* userName, const char* password, std::uint32_t service,
                               std::uint32_t flags, std::uintptr_t context) = 0;
    // HttpOpenRequestA with the default HTTP version and no referrer.
    virtual InetHandle OpenRequest(InetHandle connection, const std::string& verb, const std::string& objectName,
                                   const std::vector<std::string>& acceptTypes, std::uint32_t flags,
                                   std::uintptr_t context) = 0;
    // HttpSendRequestA: the extra headers with their length, then the
    // optional data (null and 0 for none).
    virtual bool SendRequest(InetHandle request, const std::string& headers, const void* optional,
                             std::uint32_t optionalLength) = 0;
    // HttpQueryInfoA: level with its flags, into a buffer of *length bytes;
    // *length becomes the size written (text: without the terminating zero)
    // or, when the buffer is too small, the size needed (and false).
    virtual bool QueryInfo(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length) = 0;
    // InternetQueryDataAvailable: waits until some of the body has arrived
    // (or the receive time-out passed) and gives how much can be read
    // without waiting; 0 at the end of the body.
    virtual bool QueryDataAvailable(InetHandle request, std::uint32_t& available) = 0;
    // InternetReadFile: up to count bytes, waiting until count bytes came or
    // the body ended; read = 0 at the end of the body.
    virtual bool ReadFile(InetHandle request, void* buffer, std::uint32_t count, std::uint32_t& read) = 0;
    // InternetGetLastResponseInfoA into a buffer of bufferSize bytes.
    virtual bool LastResponseInfo(std::uint32_t& error, std::string& text, std::uint32_t bufferSize) = 0;
    // InternetCloseHandle; closing the internet handle releases the
    // connections made from it.
    virtual bool CloseHandle(InetHandle handle) = 0;
};

// The adapter of the build's operating system.
std::unique_ptr<IInternet> CreateInternet();

}  // namespace rl
