// What the check and the download share for their requests: the time-outs,
// the plain credentials of one operation, the text of a failed request, the
// comparison of file times, the listing fetch and the per-file probe.
#pragma once

#include <cstdint>
#include <string>

namespace rl {

class TKzAutoUpdate;

inline constexpr std::uint32_t kConnectTimeoutMs = 20000;
inline constexpr std::uint32_t kReceiveTimeoutMs = 0;  // the platform's default
inline constexpr char kFatalError[] = "Fatal error: ";

// The plain credentials of one operation, wiped however it ends; Wipe also
// before a launch that ends the process, which runs no destructor.
class PlainCredentials {
public:
    std::string userName;
    std::string password;
    explicit PlainCredentials(const TKzAutoUpdate& component);
    ~PlainCredentials() { Wipe(); }
    PlainCredentials(const PlainCredentials&) = delete;
    PlainCredentials& operator=(const PlainCredentials&) = delete;
    void Wipe();
};

// A failed request as the update log gives it: the status, a blank, the error.
std::string HttpFailure(std::uint32_t status, const std::string& error);

// How much later `remote` is than `local` (date-times), in whole
// milliseconds, and the tolerance the same way: compared so, a difference of
// exactly the tolerance counts as equal whatever the doubles' rounding.
long long MillisecondsLater(double remote, double local);
long long ToleranceMilliseconds();

// The update listing, always fetched anew, never from a cache; with its
// Last-Modified when asked for.
bool FetchListing(const std::string& url, const PlainCredentials& credentials, std::string& listing,
                  std::uint32_t& status, std::string& error, double* lastModified = nullptr);

// The HEAD request of one file on the server: its last-modified time.
bool ProbeFile(const std::string& url, const PlainCredentials& credentials, std::uint32_t& status, double& remote,
               std::string& error);

}  // namespace rl
