// The download and staging: every file that differs from the server's copy is
// fetched, inflated into the staging folder and recorded in the registry;
// then a program is relaunched with the installer switch, and this process
// ends or closes its main window so that the files can be replaced.
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "platform/Ui.h"
#include "support/Application.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"
#include "update/CommandLine.h"
#include "update/KzAutoUpdate.h"
#include "update/KzAutoUpdateProgress.h"
#include "update/KzHTTP.h"
#include "update/UpdateLog.h"
#include "update/UpdateRequests.h"
#include "update/UpdateSignature.h"
#include "update/UpdateStaging.h"

namespace rl {

std::uint32_t DownloadPauseMs = 500;
std::uint64_t InflatedSizeLimit = kMaxInflatedSize;

namespace {

// Log texts.
constexpr char kListingNotAvailable[] = "File listing not available ";
constexpr char kListingFetched[] = "Got file listing from ";
constexpr char kFragmentEnd[] = " ... ";
constexpr char kCouldNotBeChecked[] = "could not be checked: HTTP ";
constexpr char kWillBeUpdated[] = "will be updated";
constexpr char kIsUpToDate[] = "is up to date";
constexpr char kTempFolder[] = "Temp folder ";
constexpr char kCouldNotBeCreated[] = " could not be created";
constexpr char kTempFileFailed[] = "Temp file could not be created in ";
constexpr char kFilesToUpdate[] = "Files to update: ";
constexpr char kDownload[] = "Download ";
constexpr char kErrorHttp[] = "Error HTTP ";
constexpr char kOk[] = "OK";
constexpr char kSaveTo[] = "Save to ";
constexpr char kStart[] = "Start ";
constexpr char kCouldNotRecord[] = "Could not record ";
constexpr char kInTheStore[] = " in the settings store";
constexpr char kPathRefused[] = "Not started: a double quote in the program's path ";

// The download window's texts.
constexpr char kCheckingText[] = "Checking for Update Files...";

// Message boxes.
constexpr char kListingBoxText[] = "Software update information is not currently available.  Please try again later.";
constexpr char kLaunchBoxText[] = "An error occurred attempting to install the ";
constexpr char kLaunchBoxTextEnd[] = " update.\r\n\r\n";
constexpr char kStoreBoxText[] = "The update could not be prepared: the settings store cannot be written.";
// After the application's title.
constexpr char kNotVerifiedBox[] = "The update of ";
constexpr char kNotVerifiedBoxEnd[] = " could not be verified. Nothing was installed.";

constexpr char kOpenVerb[] = "open";

// Whether the download replaces the local file: any difference beyond the
// tolerance, in either direction, or no local file at all. Without a server
// time only a missing file is fetched. Compared as the check does.
bool WillBeUpdated(double remote, double local) {
    return (remote > 0 && std::llabs(MillisecondsLater(remote, local)) > ToleranceMilliseconds()) || local == 0;
}

// The staging folder: the user's temporary folder, then the program's file
// name without its extension. Empty without a temporary folder: a relative
// name would stage into whatever the current folder is.
std::string StagingFolderOf(const std::string& exe) {
    const std::string temp = GetTempFolder();
    if (temp.empty()) return {};
    const std::string name = FileNameOf(exe);
    return temp + name.substr(0, name.size() - ExtensionOf(name).size()) + PathSeparator();
}

// Lets the download window repaint (and other events be handled) before the
// package is inflated. The number of rounds is bounded too, so a clock that
// does not move cannot hold the download forever.
void PauseWithMessages(IApplication& application, IFileSystem* files) {
    const double start = Milliseconds();
    for (std::uint32_t round = 0; round <= DownloadPauseMs && Milliseconds() - start <= DownloadPauseMs; ++round) {
        application.ProcessMessages();
        if (files != nullptr) files->Sleep(1);
    }
}

// A signed file older than the local one is never fetched: the installer
// would refuse the downgrade anyway.
bool NotOlder(const TUpdateStatement& statement, double local, std::string& reason) {
    if (local <= 0 || MillisecondsLater(StatementDateTime(statement.time), local) >= -ToleranceMilliseconds())
        return true;
    reason = kReasonOlder;
    return false;
}

}  // namespace

bool TKzAutoUpdate::DownloadAndInstall(bool silent) {
    IApplication* application = ApplicationPort();
    if (application == nullptr) return false;  // no program to relaunch
    bool success = false;
    PlainCredentials credentials(*this);
    std::string base, packageName, query;
    SplitUpdateURL(base, packageName, query);
    IFileSystem* files = FileSystemPort();
    const std::string exe = application->ExeName();

    TUpdateLog log;
    log.OpenAfresh(UpdateLogFileName());
    // The installer could not be given this program's path whole: nothing is
    // fetched for a relaunch that cannot be made.
    if (!PathFitsCommandLine(exe)) {
        log.Line(kPathRefused + exe);
        return false;
    }

    std::uint32_t status = 0;
    std::uint32_t length = 0;
    double lastModified = 0;
    std::string error;
    std::string launchFile;

    // A statement that does not hold stops everything: nothing is staged, or
    // what was is removed again.
    bool unverified = false;
    std::string reason;
    bool listed = true;
    if (!base.empty() && !FileListURL.empty()) {
        std::string listing;
        double listingModified = 0;
        if (!FetchListing(FileListURL, credentials, listing, status, error, &listingModified)) {
            log.Line(kListingNotAvailable + FileListURL + " : HTTP " + HttpFailure(status, error));
            if (!silent) application->MessageBox(kListingBoxText, kMbIconWarning | kMbCancelOnly);
            listed = false;
        } else if (!TrustedKeys.empty() &&
                   !VerifyFetchedFile(FileListURL, listing, listingModified, TrustedKeys, credentials, reason)) {
            log.Line(kCouldNotVerify + FileListURL + ": " + reason);
            ClearStagedUpdate();
            unverified = true;
            listed = false;
        } else {
            log.Line(kListingFetched + FileListURL);
            auxFiles_ = ListingLines(listing);
        }
    }

    if (!base.empty() && listed) {
        const std::string staging = StagingFolderOf(exe);
        launchFile = exe;
        std::unique_ptr<TfrmKzAutoUpdate> window = CreateKzAutoUpdateForm();
        if (window != nullptr) {
            window->SetProgressText(kCheckingText);
            window->Show();
        }

        // The files of the entry under way, until its subkey records them.
        std::vector<std::string> unrecorded;
        // Every file this download staged, and the first value the settings
        // store refused: without its records the installer would find
        // nothing to install, and no later clearing would find the files.
        std::vector<std::string> stagedHere;
        std::string unwritable;
        const auto record = [&unwritable](bool written, const char* name) {
            if (!written && unwritable.empty()) unwritable = name;
        };
        // A damaged package raises while it is inflated; it must not end the
        // program, which is still starting. What was staged stays for the
        // next ClearStagedUpdate.
        try {
            std::vector<std::string> updates;
            // With trusted keys: each update's verified statement and its text.
            std::vector<TUpdateStatement> statements;
            std::vector<std::string> statementTexts;
            for (const std::string& entry : EntryList()) {
                std::string localPath, remoteName;
                SplitFileEntry(entry, localPath, remoteName);
                const double local = GetFileDateUTC(localPath);
                if (localPath.empty() || remoteName.empty()) continue;
                log.Fragment(remoteName + " (" + localPath + ")" + kFragmentEnd);
                double remote = 0;
                if (!ProbeFile(base + remoteName + query, credentials, status, remote, error)) {
                    log.Line(kCouldNotBeChecked + HttpFailure(status, error));
                } else if (WillBeUpdated(remote, local)) {
                    TUpdateStatement statement;
                    std::string text;
                    if (!TrustedKeys.empty()) {
                        const std::string url = base + remoteName + query;
                        if (!FetchStatement(url, remote, true, TrustedKeys, credentials, statement, text, reason) ||
                            !NotOlder(statement, local, reason)) {
                            log.Line(kCouldNotVerify + remoteName + ": " + reason);
                            unverified = true;
                            break;
                        }
                    }
                    log.Line(kWillBeUpdated);
                    updates.push_back(entry);
                    statements.push_back(statement);
                    statementTexts.push_back(text);
                } else {
                    log.Line(kIsUpToDate);
                }
            }

            if (!updates.empty() && !unverified) {
                ClearStagedUpdate();
                {
                    TStagingKey main(kStagingKey, true, kKeyAllAccess);
                    const std::vector<std::string> arguments = application->Arguments();
                    record(main.WriteString(kValueAppName, exe), kValueAppName);
                    record(main.WriteString(kValueTempPath, staging), kValueTempPath);
                    record(main.WriteInteger(kValueParamCount, static_cast<std::int32_t>(arguments.size())),
                           kValueParamCount);
                    record(main.WriteInteger(kValueSilent, silent ? 1 : 0), kValueSilent);
                    record(main.WriteString(kValueLogFile, UpdateLogFileName()), kValueLogFile);
                    for (std::size_t i = 0; i < arguments.size() && unwritable.empty(); ++i)
                        if (!main.WriteString(kValueParam + std::to_string(i + 1), arguments[i]))
                            unwritable = kValueParam + std::to_string(i + 1);
                }
                success = unwritable.empty();

                if (!success) {
                    log.Line(kCouldNotRecord + unwritable + kInTheStore);
                } else if (staging.empty() || MakeFolderPath(staging) == 2) {
                    log.Line(kTempFolder + staging + kCouldNotBeCreated);
                    success = false;
                } else {
                    const std::size_t count = updates.size();
                    log.Line(kFilesToUpdate + std::to_string(count));
                    for (std::size_t i = 0; i < count && success; ++i) {
                        std::string localPath, remoteName;
                        SplitFileEntry(updates[i], localPath, remoteName);
                        if (window != nullptr) {
                            window->SetProgressText(kDownload + std::to_string(i + 1) + " of " +
                                                    std::to_string(count) + " (" + FileNameOf(localPath) + ")...");
                            window->SetProgressPosition(0);
                        }
                        log.Fragment(kDownload + remoteName + " (" + localPath + ")" + kFragmentEnd);

                        const std::string placeholder = CreateTempFile(staging);
                        if (placeholder.empty()) {
                            log.Line(kTempFileFailed + staging + ": " +
                                     SysErrorText(static_cast<std::int32_t>(files != nullptr ? files->LastError() : 0)));
                            success = false;
                            break;
                        }
                        const std::string staged = placeholder + ExtensionOf(localPath);
                        unrecorded = {placeholder, staged};
                        stagedHere.push_back(placeholder);
                        stagedHere.push_back(staged);

                        std::string body;
                        if (!HTTPGet(base + remoteName + query, body, status, length, lastModified, error,
                                     window != nullptr ? &window->pbProgress() : nullptr, kConnectTimeoutMs,
                                     kReceiveTimeoutMs, credentials.userName, credentials.password, false, false,
                                     kPackageBodyLimit)) {
                            log.Line(kErrorHttp + HttpFailure(status, error));
                            success = false;
                            break;
                        }
                        const bool verifying = !TrustedKeys.empty();
                        const TUpdateStatement& statement = statements[i];
                        // The package as received, before it is inflated.
                        if (verifying && !DigestMatches(HashData(body.data(), body.size()), statement.sha256,
                                                        kReasonContentDiffers, reason)) {
                            log.Line(kCouldNotVerify + remoteName + ": " + reason);
                            unverified = true;
                            success = false;
                            break;
                        }
                        log.Line(kOk);
                        PauseWithMessages(*application, files);

                        log.Fragment(kSaveTo + staged + kFragmentEnd);
                        // A signed file takes its signed time, which is the one
                        // the HEAD gave.
                        if (verifying) lastModified = StatementDateTime(statement.time);
                        const double localTime = lastModified > 0 ? UtcToLocalDateTime(lastModified) : 0;
                        // Made new: a file already at that name was not made by us.
                        // Without an extension the staged file is the placeholder
                        // itself, which was just made for it.
                        if (!DecompressToFile(body, staged, localTime, InflatedSizeLimit, staged != placeholder)) {
                            log.Line(FileLastError);
                            success = false;
                            break;
                        }
                        // The inflated file, before it is recorded.
                        if (verifying && !DigestMatches(HashFile(staged), *statement.unpackedSha256,
                                                        kReasonUnpackedDiffers, reason)) {
                            log.Line(kCouldNotVerify + remoteName + ": " + reason);
                            unverified = true;
                            success = false;
                            break;
                        }
                        log.Line(kOk);
                        // The staged copy takes the permission bits of the file
                        // it is to replace: a program stays executable.
                        if (files != nullptr && files->GetFileAttributes(localPath) != kInvalidFileAttributes)
                            files->CopyPermissions(localPath, staged);

                        TStagingKey file(std::string(kStagingFilesKey) + "\\" + FileNameOf(staged), true,
                                         kKeyAllAccess);
                        record(file.WriteString(kValueTempFile, staged), kValueTempFile);
                        record(file.WriteString(kValueDestFile, localPath), kValueDestFile);
                        record(file.WriteBinary(kValueFileDate, DateTimeBytes(lastModified)), kValueFileDate);
                        if (verifying) record(file.WriteString(kValueSignature, statementTexts[i]), kValueSignature);
                        if (!unwritable.empty()) {
                            log.Line(kCouldNotRecord + unwritable + kInTheStore);
                            success = false;
                            break;
                        }
                        unrecorded.clear();
                        if (localPath == exe) launchFile = staged;
                    }
                }
            }
        } catch (const std::exception& e) {
            log.Line(kFatalError + std::string(e.what()));
            success = false;
        }
        // No subkey names them, so no ClearStagedUpdate would ever remove them.
        if (files != nullptr)
            for (const std::string& name : unrecorded) files->DeleteFile(name);
        if (!unwritable.empty() || unverified) {
            // A staging the installer could not follow, or must not: removed whole now,
            // records and files, as far as the store lets them go.
            // The files first: the folder then goes at once, not at a restart.
            if (files != nullptr)
                for (const std::string& name : stagedHere) files->DeleteFile(name);
            ClearStagedUpdate();
            if (files != nullptr && !staging.empty()) files->RemoveDirectory(staging.substr(0, staging.size() - 1));
        }
        window.reset();
        if (!unwritable.empty() && !silent) application->MessageBox(kStoreBoxText, kMbIconError | kMbCancelOnly);
    }
    if (unverified && !silent)
        application->MessageBox(kNotVerifiedBox + ApplicationTitle() + kNotVerifiedBoxEnd,
                                kMbIconError | kMbCancelOnly);

    credentials.Wipe();
    if (success) {
        log.Line(kStart + launchFile);
        log.Close();
        const std::string parameters =
            JoinCommandLine({kUpdateSwitch, exe, std::to_string(application->CurrentThreadId()),
                             std::to_string(application->CurrentProcessId()), ApplicationTitle()});
        const std::intptr_t result =
            files != nullptr ? files->ShellExecuteCode(0, kOpenVerb, launchFile, parameters, FolderOf(launchFile), kSwShow)
                             : 0;
        if (result > kShellExecuteErrorLimit) {
            if (ForcedTerminate || !application->HasMainForm()) application->Terminate(0);
            application->CloseMainForm();
            return true;
        }
        if (!silent)
            application->MessageBox(kLaunchBoxText + ApplicationTitle() + kLaunchBoxTextEnd +
                                        SysErrorText(static_cast<std::int32_t>(result)),
                                    kMbIconError | kMbCancelOnly);
        success = false;
    }
    log.Close();
    return success;
}

}  // namespace rl
