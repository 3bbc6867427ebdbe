// TKzAutoUpdate keeps a program's files in step with copies on a web server,
// by file time alone: the check (CheckForUpdate), the release notes
// (ShowUpdateInfo), the download and staging (DownloadAndInstall), and the
// installer that the relaunched program runs (HandleUpdateSwitch).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Crypto.h"

namespace rl {

// The result of a check: the highest verdict of all compared files.
enum TUpdateCheckResult : std::uint8_t {
    ucrNotSpecified = 0,
    ucrUpToDate = 1,
    ucrPackageOlder = 2,
    ucrUpdateAvailable = 3,
    ucrError = 4,
};

// The registry state of a staging, under HKEY_CURRENT_USER.
inline constexpr char kStagingKey[] = "Software\\Halvane\\KzAutoUpdate";
inline constexpr char kStagingFilesKey[] = "Software\\Halvane\\KzAutoUpdate\\Files";

// The installer's switches.
inline constexpr char kUpdateSwitch[] = "/KzUpdate";
inline constexpr char kAdminUpdateSwitch[] = "/AdmKzUpdate";

// Prefix of a scrambled credential.
inline constexpr char kCredentialPrefix[] = "Encr:";

// One tolerance for all comparisons of file times: 5 s as a date-time.
constexpr double kFileTimeTolerance = 5.0 / 86400.0;

// The pause after each download, with window messages processed, before the
// package is inflated: 500 ms. Only a benchmark measuring the download
// itself sets it otherwise.
extern std::uint32_t DownloadPauseMs;

// The size no staged file may inflate beyond; kMaxInflatedSize (256 MiB)
// unless a test sets it smaller.
extern std::uint64_t InflatedSizeLimit;

class TKzAutoUpdate {
public:
    TKzAutoUpdate();

    // Properties --------------------------------------------------------
    std::string UpdateURL;
    bool ForcedTerminate = true;
    std::string FileListURL;
    std::string InfoURLRTF;
    std::string InfoURLText;
    // The keys an update must be signed with. With none, nothing is verified
    // and no signature is asked for (a program that does not sign).
    std::vector<P256PublicKey> TrustedKeys;

    const std::vector<std::string>& AuxFiles() const { return auxFiles_; }
    void SetAuxFiles(const std::vector<std::string>& lines) { auxFiles_ = lines; }
    // The stored, scrambled forms ("Encr:" + scrambled text).
    const std::string& HTTPUsername() const { return httpUsername_; }
    const std::string& HTTPPassword() const { return httpPassword_; }
    // A value that begins with "Encr:" is stored unchanged; any other is
    // scrambled.
    void SetHTTPUsername(const std::string& value);
    void SetHTTPPassword(const std::string& value);

    // Operations --------------------------------------------------------
    // Either output may be null.
    TUpdateCheckResult CheckForUpdate(std::string* infoRTF, std::string* infoText);
    bool ShowUpdateInfo(const std::string& infoRTF);
    // When the installer has been launched and the process is to end, the
    // call does not return.
    bool DownloadAndInstall(bool silent);

    // Shared by the check and the download ----------------------------------
    // Plain credentials (NullStringValue where none is set); the caller
    // wipes them.
    void GetCredentials(std::string& userName, std::string& password) const;
    void SplitUpdateURL(std::string& base, std::string& packageName, std::string& query) const;
    static std::string UpdateLogFileName();
    void SplitFileEntry(const std::string& entry, std::string& localPath, std::string& remoteName) const;
    std::string ExpandLocalPath(const std::string& path) const;
    // The program's own entry, then AuxFiles.
    std::vector<std::string> EntryList() const;
    // Splits a fetched update listing into its lines.
    static std::vector<std::string> ListingLines(const std::string& text);

private:
    std::vector<std::string> auxFiles_;
    std::string httpUsername_;
    std::string httpPassword_;
};

// Scrambling of the credentials with the component's fixed settings.
std::string ScrambleCredential(const std::string& plain);
std::string DecodeCredential(const std::string& value);

// Removes an earlier staging: registry values, staged files, staging folder.
void ClearStagedUpdate();

// The update unit's start-up step: installer modes end the process; a
// normal start returns, and clears an earlier staging (ClearStagedUpdate)
// only once it holds the single-instance lock: a second start must not wipe
// the staging of a download or an install under way. With trusted keys the
// installer installs only files whose recorded statement one of them signed
// (the program's own keys: nothing in the staging is trusted for them).
void HandleUpdateSwitch(const std::vector<P256PublicKey>& trustedKeys = {});
// Installs one staged file (the installer's mode decides what a failed copy
// does).
bool InstallStagedFile(const std::string& name);

}  // namespace rl
