// The main window's update component KzAutoUpdate1: where its update server
// is, and its use at the end of the window's creation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Crypto.h"
#include "update/KzAutoUpdate.h"
#include "update/UpdateKeys.h"

namespace rl {

// The update server. RESTLEVEL_UPDATE_SERVER, when set, replaces the address
// (a server of one's own, the tests); set to an empty value it turns the
// start-up check off (a package manager keeps the program up to date).
inline constexpr char kUpdateServerAddress[] = "https://halvane.example/restlevel";
inline constexpr char kUpdateServerVariable[] = "RESTLEVEL_UPDATE_SERVER";

// Each build's package below the address; the release notes are shared.
inline constexpr char kWindowsPackagePath[] = "/RestLevel.zbin";
inline constexpr char kLinuxPackagePath[] = "/linux-x86_64/restlevel.zbin";
inline constexpr char kReleaseNotesPath[] = "/RestLevel.rtf";

// The server's address without a trailing "/"; empty when the start-up
// check is off.
std::string UpdateServerAddress();

// The update log's only line when the program trusts no key.
inline constexpr char kNoUpdateKey[] = "No update key is built in: updates are off.";

// Sets UpdateURL and InfoURLRTF for the package below the server's address,
// and TrustedKeys (ForcedTerminate stays true, everything else empty). False
// when the start-up check is off, and when there is no key to trust (an
// unsigned update is never taken; the update log then says so); the
// component is then left as it is.
bool ConfigureKzAutoUpdate1(TKzAutoUpdate& component, const std::string& packagePath,
                            const std::vector<P256PublicKey>& keys = BuiltInUpdateKeys());

// The start-up check's time limit. It runs before the program's windows
// appear, so it must end soon when the server is slow: a healthy check takes
// a second or two, and one connect time-out of the check's requests (20 s)
// still fits. Past it the check fails as an unreachable server does.
inline constexpr std::uint32_t kStartupCheckTimeLimitMs = 30000;

// The start-up use: the check asking for the RTF notes only, within its time
// limit; with an update available, the notes and the question; on Yes, the
// download and install (which ends the process once the installer runs),
// without a time limit. Anything else ends quietly.
void RunStartupUpdate(TKzAutoUpdate& component);

}  // namespace rl
