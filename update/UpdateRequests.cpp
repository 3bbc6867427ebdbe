// The requests and comparisons that the check and the download share.
#include "update/UpdateRequests.h"

#include <cmath>

#include "support/VorlLibText.h"
#include "update/KzAutoUpdate.h"
#include "update/KzHTTP.h"

namespace rl {

namespace {

constexpr int kWipePasses = 3;
constexpr double kMillisecondsPerDay = 86400000.0;

}  // namespace

PlainCredentials::PlainCredentials(const TKzAutoUpdate& component) { component.GetCredentials(userName, password); }

void PlainCredentials::Wipe() {
    WipeSecret(userName, kWipePasses);
    WipeSecret(password, kWipePasses);
}

std::string HttpFailure(std::uint32_t status, const std::string& error) {
    return std::to_string(status) + " " + error;
}

long long MillisecondsLater(double remote, double local) { return std::llround((remote - local) * kMillisecondsPerDay); }

long long ToleranceMilliseconds() { return std::llround(kFileTimeTolerance * kMillisecondsPerDay); }

bool FetchListing(const std::string& url, const PlainCredentials& credentials, std::string& listing,
                  std::uint32_t& status, std::string& error, double* lastModified) {
    std::uint32_t length = 0;
    double modified = 0;
    if (lastModified != nullptr) *lastModified = 0;
    const bool fetched = HTTPGet(url, listing, status, length, modified, error, nullptr, kConnectTimeoutMs,
                                 kReceiveTimeoutMs, credentials.userName, credentials.password, true, false,
                                 kTextBodyLimit);
    if (lastModified != nullptr) *lastModified = modified;
    return fetched;
}

bool ProbeFile(const std::string& url, const PlainCredentials& credentials, std::uint32_t& status, double& remote,
               std::string& error) {
    std::uint64_t size = 0;
    return HTTPHead(url, "", "", status, size, remote, error, nullptr, kConnectTimeoutMs, kReceiveTimeoutMs,
                    credentials.userName, credentials.password, false, false);
}

}  // namespace rl
