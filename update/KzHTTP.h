// Single HTTP(S) requests for the update component: HTTPGet returns the whole
// body, HTTPHead the status and headers. Each call opens, uses and closes its
// own handles through the internet port; nothing survives a call. Neither
// routine raises; failures come back as false with an error text.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Http.h"
#include "platform/UpdateUi.h"

namespace rl {

// The most a response body may hold; a longer body, or a longer announced
// length, fails the request and nothing beyond the limit is kept. Texts (the
// release notes, the listing) stay far below a few MiB; a package is limited
// before it is inflated, as its inflated size is (DecompressToFile).
inline constexpr std::uint64_t kTextBodyLimit = 4u * 1024 * 1024;
inline constexpr std::uint64_t kPackageBodyLimit = 256u * 1024 * 1024;

// An absent credential; passed to the platform as a null pointer.
inline constexpr char NullStringValue[] = "<NuLlStRVAl1>";

// The routines reach the network through this port; without one every
// request fails as if the internet handle could not be opened.
void SetInternetPort(IInternet* port);
IInternet* InternetPort();

// Header queries on an open request, each giving the fallback when the query
// fails: the level as a 32-bit number, as a date-time (from the system-time
// form, no zone conversion), and as text of at most 1023 bytes (a longer
// header gives the fallback).
std::uint32_t QueryHeaderNumber(InetHandle request, std::uint32_t level, std::uint32_t fallback);
double QueryHeaderDate(InetHandle request, std::uint32_t level, double fallback);
std::string QueryHeaderText(InetHandle request, std::uint32_t level, const std::string& fallback);

// The thread's last error as text (when there is one), a blank and the
// server's last response text, trimmed.
std::string ExtendedErrorText();
// The server's last response text alone; empty when there is none.
std::string ResponseInfoText();

// A time limit for the requests of this thread while the object lives
// (limits nest; the earliest end rules). A request that would begin after the
// end fails at once; one under way fails at its next read; the time-outs of
// each request are cut to the time left. Such a request fails with
// kTimeLimitExceeded as its error text (or with the time-out of the step that
// ran out). Measured with Milliseconds() of the text-system port.
inline constexpr char kTimeLimitExceeded[] = "Time limit exceeded";
class HttpTimeLimit {
public:
    explicit HttpTimeLimit(std::uint32_t milliseconds);
    ~HttpTimeLimit();
    HttpTimeLimit(const HttpTimeLimit&) = delete;
    HttpTimeLimit& operator=(const HttpTimeLimit&) = delete;

    // True once a request of its time failed because the time was up.
    bool Exceeded() const { return exceeded_; }

private:
    friend struct TimeLimitAccess;
    double end_ = 0;
    bool exceeded_ = false;
    HttpTimeLimit* outer_ = nullptr;
};

// GET: the whole body, whatever the status. True for a 2xx status when every
// read succeeded and the body is not shorter than its announced length nor
// longer than bodyLimit (a longer one, or a longer announced length, fails
// with "Response body exceeds N bytes" and keeps no byte beyond the limit).
// Pending window messages are processed before each read; each read takes
// what has arrived; the progress bar, when given, is revealed after the send
// and advanced to 1000 as the body arrives.
bool HTTPGet(const std::string& url, std::string& body, std::uint32_t& statusCode, std::uint32_t& contentLength,
             double& lastModified, std::string& errorText, IProgressBar* progress, std::uint32_t connectTimeout,
             std::uint32_t receiveTimeout, const std::string& userName, const std::string& password, bool reload,
             bool noRedirect, std::uint64_t bodyLimit = kPackageBodyLimit, std::string* location = nullptr,
             std::string* rawHeaders = nullptr, const std::string& extraHeaders = std::string());

// HEAD (the request data sent as its optional data): true for a 2xx status.
// The body is read only when asked for, up to kTextBodyLimit.
bool HTTPHead(const std::string& url, const std::string& extraHeaders, const std::string& requestData,
              std::uint32_t& statusCode, std::uint64_t& contentLength, double& lastModified, std::string& errorText,
              IProgressBar* reveal, std::uint32_t connectTimeout, std::uint32_t receiveTimeout,
              const std::string& userName, const std::string& password, bool reload, bool noRedirect,
              std::string* location = nullptr, std::string* rawHeaders = nullptr, std::string* body = nullptr);

}  // namespace rl
