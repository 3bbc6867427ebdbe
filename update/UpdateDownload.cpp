// Placeholder until the download and staging are written: nothing is
// downloaded, so a Yes to the release notes ends like a No.
#include "update/KzAutoUpdate.h"

namespace rl {

bool TKzAutoUpdate::DownloadAndInstall(bool /*silent*/) { return false; }

}  // namespace rl
