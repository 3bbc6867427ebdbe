#include "update/StartupUpdate.h"

#include <cstdlib>

#include "update/KzHTTP.h"
#include "update/UpdateLog.h"

namespace rl {

std::string UpdateServerAddress() {
    const char* configured = std::getenv(kUpdateServerVariable);
    std::string address = configured != nullptr ? configured : kUpdateServerAddress;
    // The paths below it begin with "/".
    while (!address.empty() && address.back() == '/') address.pop_back();
    return address;
}

bool ConfigureKzAutoUpdate1(TKzAutoUpdate& component, const std::string& packagePath,
                            const std::vector<P256PublicKey>& keys) {
    const std::string address = UpdateServerAddress();
    if (address.empty()) return false;
    if (keys.empty()) {
        // The log is where a user looks when updates never come.
        TUpdateLog log;
        log.OpenAfresh(TKzAutoUpdate::UpdateLogFileName());
        log.Line(kNoUpdateKey);
        return false;
    }
    component.TrustedKeys = keys;
    component.UpdateURL = address + packagePath;
    component.InfoURLRTF = address + kReleaseNotesPath;
    component.ForcedTerminate = true;
    return true;
}

void RunStartupUpdate(TKzAutoUpdate& component) {
    std::string notes;
    TUpdateCheckResult result = ucrNotSpecified;
    {
        const HttpTimeLimit limit(kStartupCheckTimeLimitMs);
        result = component.CheckForUpdate(&notes, nullptr);
        // Out of time is a failed check, whatever the requests before gave.
        if (limit.Exceeded()) {
            result = ucrError;
            notes.clear();
        }
    }
    if (result != ucrUpdateAvailable) return;
    if (component.ShowUpdateInfo(notes)) component.DownloadAndInstall(false);
}

}  // namespace rl
