// The update check: every file of the entry list compared with the server's
// copy by file time alone, each verdict in the update log, the release
// notes fetched, and the highest verdict as the result. It never shows a
// message; the caller decides what to tell the user.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>

#include "support/KzFileLib.h"
#include "support/VorlLibText.h"
#include "update/KzAutoUpdate.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzHTTP.h"
#include "update/UpdateLog.h"
#include "update/UpdateRequests.h"
#include "update/UpdateSignature.h"

namespace rl {

namespace {

// Log texts.
constexpr char kListingFetched[] = "Downloaded File Listing ";
constexpr char kCheckFile[] = "Check File ";
constexpr char kFragmentEnd[] = " ... ";
constexpr char kCouldNotCheck[] = "Could not check ";
constexpr char kNeedsUpdate[] = "Needs update from local copy ";
constexpr char kLocalMissing[] = "Local File Missing... needs to be installed";
constexpr char kOlderLocal[] = "Older Local @ ";
constexpr char kUpToDateLocal[] = "Up-to-date Local @ ";
constexpr char kRtfNotAvailable[] = "RTF Info Not Available: HTTP ";
constexpr char kTextNotAvailable[] = "Text Info Not Available: HTTP ";
constexpr char kUnknownException[] = "unknown exception";

// The final line of each result.
constexpr const char* kResultLines[] = {
    "Update cannot be installed; reason is not specified.",
    "Software is already up-to-date.",
    "The update package is older than the installed version.",
    "An update is available and can be installed.",
    "Update cannot be installed; one or more error conditions prevent updating.",
};

// The verdict on one file from its remote time R and local time L (both UTC
// date-times, 0 for none), with its log text.
TUpdateCheckResult Verdict(double remote, double local, std::string& line) {
    const long long tolerance = ToleranceMilliseconds();
    const long long newerOnServer = MillisecondsLater(remote, local);
    if (remote > 0 && newerOnServer > tolerance) {
        line = local > 0 ? kNeedsUpdate + LogDateTime(local) : kLocalMissing;
        return ucrUpdateAvailable;
    }
    if (local > 0 && -newerOnServer > tolerance) {
        line = kOlderLocal + LogDateTime(local);
        return ucrPackageOlder;
    }
    if (local > 0) {
        line = kUpToDateLocal + LogDateTime(local);
        return ucrUpToDate;
    }
    line = kLocalMissing;
    return ucrUpdateAvailable;
}

// Release notes that their statement does not vouch for are dropped, as if
// they had not come.
void DropUnverified(const std::string& url, std::string& notes, double lastModified,
                    const std::vector<P256PublicKey>& keys, const PlainCredentials& credentials, TUpdateLog& log) {
    std::string reason;
    if (keys.empty() || VerifyFetchedFile(url, notes, lastModified, keys, credentials, reason)) return;
    log.Line(kCouldNotVerify + url + ": " + reason);
    notes.clear();
}

}  // namespace

TUpdateCheckResult TKzAutoUpdate::CheckForUpdate(std::string* infoRTF, std::string* infoText) {
    TUpdateCheckResult result = ucrNotSpecified;
    const PlainCredentials credentials(*this);
    std::string base, packageName, query;
    SplitUpdateURL(base, packageName, query);

    TUpdateLog log;
    log.OpenAfresh(UpdateLogFileName());

    std::uint32_t status = 0;
    double lastModified = 0;
    std::string error;
    // The guard covers the listing too: nothing may leave the check, which
    // runs inside the main window's creation.
    try {
        bool listingFailed = false;
        if (!FileListURL.empty()) {
            std::string listing, reason;
            double listed = 0;
            if (!FetchListing(FileListURL, credentials, listing, status, error, &listed)) {
                result = ucrError;
                listingFailed = true;
            } else if (!TrustedKeys.empty() &&
                       !VerifyFetchedFile(FileListURL, listing, listed, TrustedKeys, credentials, reason)) {
                log.Line(kCouldNotVerify + FileListURL + ": " + reason);
                result = ucrError;
                listingFailed = true;
            } else {
                log.Line(kListingFetched + FileListURL);
                auxFiles_ = ListingLines(listing);
            }
        }

        if (!listingFailed) {
            for (const std::string& entry : EntryList()) {
                std::string localPath, remoteName;
                SplitFileEntry(entry, localPath, remoteName);
                if (localPath.empty() || remoteName.empty()) continue;
                const double local = GetFileDateUTC(localPath);

                log.Fragment(kCheckFile + remoteName + kFragmentEnd);
                double remote = 0;
                TUpdateCheckResult verdict = ucrError;
                if (ProbeFile(base + remoteName + query, credentials, status, remote, error)) {
                    log.Fragment(LogDateTime(remote) + " ");
                    std::string line;
                    verdict = Verdict(remote, local, line);
                    log.Line(line);
                    // An update is offered only when a trusted key vouches
                    // for the package as the server now serves it.
                    TUpdateStatement statement;
                    std::string text, reason;
                    if (verdict == ucrUpdateAvailable && !TrustedKeys.empty() &&
                        !FetchStatement(base + remoteName + query, remote, true, TrustedKeys, credentials, statement,
                                        text, reason)) {
                        log.Line(kCouldNotVerify + remoteName + ": " + reason);
                        verdict = ucrError;
                    }
                } else {
                    log.Line(kCouldNotCheck + remoteName + ": HTTP " + HttpFailure(status, error));
                }
                result = std::max(result, verdict);
            }

            if (infoRTF != nullptr) infoRTF->clear();
            if (infoText != nullptr) infoText->clear();
            std::uint32_t length = 0;
            if (infoRTF != nullptr && !InfoURLRTF.empty() &&
                !HTTPGet(InfoURLRTF, *infoRTF, status, length, lastModified, error, nullptr, kConnectTimeoutMs,
                         kReceiveTimeoutMs, credentials.userName, credentials.password, false, false, kTextBodyLimit)) {
                log.Line(kRtfNotAvailable + HttpFailure(status, error) + " " + InfoURLRTF);
                infoRTF->clear();
            } else if (infoRTF != nullptr && !InfoURLRTF.empty()) {
                DropUnverified(InfoURLRTF, *infoRTF, lastModified, TrustedKeys, credentials, log);
            }
            if (infoText != nullptr && !InfoURLText.empty() &&
                !HTTPGet(InfoURLText, *infoText, status, length, lastModified, error, nullptr, kConnectTimeoutMs,
                         kReceiveTimeoutMs, credentials.userName, credentials.password, false, false, kTextBodyLimit)) {
                log.Line(kTextNotAvailable + HttpFailure(status, error) + " " + InfoURLText);
                infoText->clear();
            } else if (infoText != nullptr && !InfoURLText.empty()) {
                DropUnverified(InfoURLText, *infoText, lastModified, TrustedKeys, credentials, log);
            }
        }
    } catch (const std::exception& e) {
        log.Line(kFatalError + std::string(e.what()));
        result = ucrError;
    } catch (...) {
        log.Line(std::string(kFatalError) + kUnknownException);
        result = ucrError;
    }

    log.Line(kResultLines[result]);
    return result;
}

bool TKzAutoUpdate::ShowUpdateInfo(const std::string& infoRTF) { return ExecuteUpdateInfo(infoRTF); }

}  // namespace rl
