// The installer that a relaunched program runs before anything else: with
// "/KzUpdate" it waits for (or ends) the previous instance, installs the
// staged files, asks for an elevated run when the user's rights do not
// suffice, and starts the new version; with "/AdmKzUpdate" it is that
// elevated run and reports through its exit code.
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Ui.h"
#include "support/Application.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"
#include "update/CommandLine.h"
#include "update/KzAutoUpdate.h"
#include "update/UpdateLog.h"
#include "update/UpdateRequests.h"
#include "update/UpdateSignature.h"
#include "update/UpdateStaging.h"

namespace rl {

namespace {

// Waits for the previous instance.
constexpr std::uint32_t kSettleMs = 300;
constexpr std::uint32_t kPreviousExitWaitMs = 15000;
constexpr std::uint32_t kCloseTimeoutMs = 10000;
constexpr std::uint32_t kBeforeLogMs = 1000;

// Exit codes of the elevated run.
constexpr int kElevatedNotInstalled = 0;
constexpr int kElevatedInstalled = 1;
constexpr int kElevatedInstalledAtRestart = 2;
// A file did not verify: nothing was installed, nor may be.
constexpr int kElevatedNotVerified = 3;

// Log texts.
constexpr char kInfoNotAvailable[] = "Update info not available: ";
constexpr char kUpdate[] = "Update ";
constexpr char kTo[] = " to ";
constexpr char kFragmentEnd[] = " ... ";
constexpr char kUpdated[] = "Updated";
constexpr char kDelayUntilReboot[] = "delay until reboot";
constexpr char kFailed[] = "Failed ";
constexpr char kException[] = "Exception ";
constexpr char kNotClosed[] = "Could not update ... previous version could not be closed";
constexpr char kInstalledCorrectly[] = "Update appears to have installed correctly.";
constexpr char kIncomplete[] = "One or more issues prevent the update from being complete.";
constexpr char kStartNewVersion[] = "Start New Version";
constexpr char kRebootNeeded[] = "New version requires reboot; will not be launched";
constexpr char kFolderNotWritable[] = "Could not update ... folder cannot be written: ";

// Message boxes, after the application's title.
constexpr char kNotClosedBox[] = " could not be updated because the previous version could not be closed.";
constexpr char kRebootBox[] = " will be updated after you restart your computer.";
constexpr char kFailedBox[] = " could not be updated.";
// Followed by the folder, then the end.
constexpr char kFolderBox[] = " could not be updated because its folder ";
constexpr char kFolderBoxEnd[] = " cannot be written by you.";
constexpr char kNotVerifiedBox[] = "The update of ";
constexpr char kNotVerifiedBoxEnd[] = " could not be verified. Nothing was installed.";
constexpr char kNoSignatureRecorded[] = "no signature recorded";
constexpr char kNoRecord[] = "its record cannot be read";

// The error of a file that the user may not write.
constexpr std::uint32_t kAccessDenied = 5;

constexpr char kOpenVerb[] = "open";
constexpr char kRunAsVerb[] = "runas";
constexpr char kReplaceStep[] = "Replace File";
// The new content is written beside the installed file under this added
// name, then moved over it in one step.
constexpr char kBesideSuffix[] = ".KzUpdate.tmp";

constexpr std::uint32_t kReadWrite = kKeyRead | kKeyWrite;

// The registry's ParamCount is not trusted: the arguments are read up to the
// first missing one and never more than a Windows command line can hold
// (32767 characters, each argument at least one and a separator).
constexpr std::int32_t kMaxParams = 16384;

// The state of one installer run: InstallStagedFile reads its mode and writes
// to its log and reboot flag.
struct Installer {
    bool elevated = false;
    bool success = false;
    bool rebootPending = false;
    bool silent = false;
    // Why the update failed, for the box shown once the old version runs
    // again; empty for the plain text.
    std::string failedBox;
    // The folder of the first file the user was refused, when one was.
    std::string deniedFolder;
    std::string parameters;
    std::string logFile;
    TUpdateLog log;
    // The program's own keys; with none, nothing is verified.
    const std::vector<P256PublicKey>* trustedKeys = nullptr;
    // The verified statement of each staged file, by its subkey's name.
    std::map<std::string, TUpdateStatement> statements;
    // A file did not verify: nothing more is installed, and the staging goes.
    bool unverified = false;
};

bool Verifying(const Installer& state) { return state.trustedKeys != nullptr && !state.trustedKeys->empty(); }

// The run under way; outside a run InstallStagedFile works as the installer
// with its log closed.
Installer* gInstaller = nullptr;

Installer& State() {
    static Installer idle;
    return gInstaller != nullptr ? *gInstaller : idle;
}

// Makes a run the one under way for its lifetime.
class ActiveInstaller {
public:
    explicit ActiveInstaller(Installer& installer) : previous_(gInstaller) { gInstaller = &installer; }
    ~ActiveInstaller() { gInstaller = previous_; }
    ActiveInstaller(const ActiveInstaller&) = delete;
    ActiveInstaller& operator=(const ActiveInstaller&) = delete;

private:
    Installer* previous_;
};

// A decimal id; 0 when the text is anything else.
std::uint32_t IdOf(const std::string& text) {
    if (text.empty() || text.size() > 10) return 0;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value > 0xFFFFFFFFu ? 0 : static_cast<std::uint32_t>(value);
}

std::string Argument(const std::vector<std::string>& arguments, std::size_t number) {
    return number >= 1 && number <= arguments.size() ? arguments[number - 1] : std::string();
}

// The log exists already (the download made it); a missing one stays missing.
void OpenLog(Installer& state) {
    IFileSystem* files = FileSystemPort();
    if (state.logFile.empty() || files == nullptr || files->GetFileAttributes(state.logFile) == kInvalidFileAttributes)
        return;
    state.log.OpenForAppend(state.logFile);
}

// Whether the previous instance has ended, after waiting for it and, when it
// does not end by itself, ending it.
bool ClosePrevious(std::uint32_t threadId, std::uint32_t processId) {
    IFileSystem* files = FileSystemPort();
    bool closed = true;
    if (processId != 0 && files != nullptr) {
        files->Sleep(kSettleMs);
        // A process that cannot be opened has ended already.
        const SysHandle process = files->OpenProcess(kSynchronize, processId);
        if (process != kInvalidHandle) {
            closed = files->WaitForObject(process, kPreviousExitWaitMs) == kWaitObject0;
            files->CloseHandle(process);
        }
    }
    if (!closed && (threadId != 0 || processId != 0)) closed = CloseProcess(threadId, processId, kCloseTimeoutMs);
    return closed;
}

// Checks a staged file against the statement its record holds, verified
// with the program's own keys: the statement, no downgrade, and the staged
// file's content. Nothing else in the record is trusted for it.
bool VerifyStagedFile(Installer& state, const std::string& name) {
    TStagingKey key(std::string(kStagingFilesKey) + "\\" + name, false, kKeyRead);
    const std::string staged = key.String(kValueTempFile).value_or(std::string());
    const std::string destination = key.String(kValueDestFile).value_or(std::string());
    const std::optional<std::string> text = key.String(kValueSignature);
    TUpdateStatement statement;
    std::string reason;
    bool valid = false;
    if (!key.IsOpen() || staged.empty() || destination.empty()) {
        reason = kNoRecord;
    } else if (!text) {
        reason = kNoSignatureRecorded;
    } else if (VerifyStatement(*text, *state.trustedKeys, statement, reason)) {
        const double installed = GetFileDateUTC(destination);
        if (!statement.unpackedSha256) {
            reason = kReasonNotPackage;
        } else if (installed > 0 &&
                   MillisecondsLater(StatementDateTime(statement.time), installed) < -ToleranceMilliseconds()) {
            reason = kReasonOlder;
        } else {
            valid = DigestMatches(HashFile(staged), *statement.unpackedSha256, kReasonUnpackedDiffers, reason);
        }
    }
    if (!valid) {
        state.log.Line(kCouldNotVerify + (destination.empty() ? name : destination) + ": " + reason);
        state.unverified = true;
        return false;
    }
    state.statements[name] = statement;
    return true;
}

// Gives a file its signed time as its last write.
bool SetSignedTime(IFileSystem& files, const std::string& name, const TUpdateStatement& statement) {
    FileTime time = 0;
    if (!DateTimeToFileTime(StatementDateTime(statement.time), time)) return false;
    const SysHandle file = files.CreateFile(name, kGenericRead | kGenericWrite, 0, kOpenExisting, 0);
    if (file == kInvalidHandle) return false;
    const bool set = files.SetFileTimes(file, nullptr, nullptr, &time);
    files.CloseHandle(file);
    return set;
}

// The program's arguments as the registry kept them, as a command line.
void ReadStagingState(Installer& state) {
    TStagingKey main(kStagingKey, false, kKeyRead);
    if (!main.IsOpen()) return;
    if (const std::optional<std::int32_t> count = main.Integer(kValueParamCount)) {
        std::vector<std::string> arguments;
        for (std::int32_t i = 1; i <= *count && i <= kMaxParams; ++i) {
            const std::string name = kValueParam + std::to_string(i);
            if (!main.HasValue(name)) break;
            arguments.push_back(main.String(name).value_or(std::string()));
        }
        state.parameters = JoinCommandLine(arguments);
    }
    if (const std::optional<std::int32_t> silent = main.Integer(kValueSilent)) state.silent = *silent != 0;
    if (const std::optional<std::string> logFile = main.String(kValueLogFile)) state.logFile = *logFile;
}

// The copy beside goes, and the replacement's failure is the system's error
// at that step. Always false.
bool DropBeside(IFileSystem& files, const std::string& beside) {
    const std::uint32_t error = files.LastError();
    files.DeleteFile(beside);
    ResetFileError();
    FileLastErrorCode = error;
    FileLastStep = kReplaceStep;
    FileLastError = SysErrorText(static_cast<std::int32_t>(error));
    return false;
}

// Copies the staged file beside the destination and moves that copy over the
// destination with the given flags: now and in one step (a crash or a power
// cut leaves the old file or the new one, never half of one), or at the next
// restart. The copy is made by this run in the destination's folder and takes
// that folder's access list; the staged file, in the user's temporary folder,
// is never what moves. False with the error record set.
// With a statement, the copy beside takes the signed time and is hashed
// right before the move: what moves is what was signed, whatever happened to
// the staged file in the meantime (a mismatch sets `unverified`).
bool ReplaceFromBeside(IFileSystem& files, const std::string& staged, const std::string& destination,
                       std::uint32_t moveFlags, const TUpdateStatement* statement, std::string* unverified) {
    const std::string beside = destination + kBesideSuffix;
    if (!CopyFileWithTimes(staged, beside, false)) {
        files.DeleteFile(beside);
        return false;
    }
    // An installed file keeps the permission bits of the one it replaces.
    if (files.GetFileAttributes(destination) != kInvalidFileAttributes) files.CopyPermissions(destination, beside);
    if (statement != nullptr) {
        std::string reason;
        if (!SetSignedTime(files, beside, *statement)) return DropBeside(files, beside);
        if (!DigestMatches(HashFile(beside), *statement->unpackedSha256, kReasonUnpackedDiffers, reason)) {
            files.DeleteFile(beside);
            if (unverified != nullptr) *unverified = reason;
            return false;
        }
    }
    if (!files.MoveFileEx(beside, destination, moveFlags)) return DropBeside(files, beside);
    return true;
}

bool ReplaceWithStaged(IFileSystem& files, const std::string& staged, const std::string& destination,
                       const TUpdateStatement* statement, std::string* unverified) {
    return ReplaceFromBeside(files, staged, destination, kMovefileReplaceExisting | kMovefileWriteThrough, statement,
                             unverified);
}

// Replacing at the restart needs the replace flag as much as now.
bool ScheduleReplace(IFileSystem& files, const std::string& staged, const std::string& destination,
                     const TUpdateStatement* statement, std::string* unverified) {
    return ReplaceFromBeside(files, staged, destination, kMovefileDelayUntilReboot | kMovefileReplaceExisting,
                             statement, unverified);
}

// Installs the files of every subkey in the registry's order until one fails.
void InstallStagedFiles(Installer& state) {
    std::vector<std::string> names;
    {
        TStagingKey staged(kStagingFilesKey, false, kKeyRead);
        names = staged.SubKeyNames();
    }
    // The elevated run is started only because a file is staged; finding
    // none, it installed nothing of what it was asked to (it reads another
    // user's registry, say), and must not report success.
    if (state.elevated && names.empty()) state.success = false;
    // Every file is checked before the first is moved: one that fails
    // installs nothing.
    if (Verifying(state))
        for (const std::string& name : names)
            if (state.success && !VerifyStagedFile(state, name)) state.success = false;
    for (const std::string& name : names) {
        if (!state.success) break;
        state.success = InstallStagedFile(name);
    }
}

// Runs this program again with administrator rights to install every file.
// The previous instance is closed already: the elevated run gets 0 for its
// ids, so that it never waits for or ends, with those rights, whatever
// process has taken the number since.
void RunElevated(Installer& state, const std::string& exe, const std::string& programFile) {
    state.log.Close();
    const std::string parameters = JoinCommandLine({kAdminUpdateSwitch, programFile, "0", "0", ApplicationTitle()});
    std::uint32_t code = kElevatedNotInstalled;
    const bool started = PathFitsCommandLine(programFile) &&
                         RunAndWait(0, kRunAsVerb, exe, parameters, FolderOf(exe), kSwHide, true, &code);
    // Only the run's own answers count: a crash, or an elevation tool that
    // was refused, ends with some other code.
    state.success = started && (code == kElevatedInstalled || code == kElevatedInstalledAtRestart);
    if (started && code == kElevatedNotVerified) state.unverified = true;
    OpenLog(state);
    if (started && code == kElevatedInstalledAtRestart) state.rebootPending = true;
}

// The installer lock of a /KzUpdate run, held from its start until the new
// version starts, and let go on every other way out. Once the previous
// instance has ended, a normal start may take the single-instance lock while
// this run still needs the staging; the lock tells that start to leave it.
// The elevated run takes none: the installer that waits for it holds it.
class InstallerLock {
public:
    InstallerLock(IApplication& application, bool take) : application_(application), held_(take) {
        if (held_) application_.HoldInstallerLock();
    }
    ~InstallerLock() { Release(); }
    InstallerLock(const InstallerLock&) = delete;
    InstallerLock& operator=(const InstallerLock&) = delete;

    void Release() {
        if (held_) application_.ReleaseInstallerLock();
        held_ = false;
    }

private:
    IApplication& application_;
    bool held_;
};

int RunInstaller(IApplication& application, const std::vector<std::string>& arguments, bool elevated,
                 const std::vector<P256PublicKey>& trustedKeys) {
    Installer state;
    state.trustedKeys = &trustedKeys;
    const ActiveInstaller active(state);
    // The lock is named after the title, so the title comes first.
    if (arguments.size() >= 5) SetApplicationTitle(Argument(arguments, 5));
    InstallerLock lock(application, !elevated);
    const std::string exe = application.ExeName();
    const std::string programFile = Argument(arguments, 2);
    const std::uint32_t threadId = IdOf(Argument(arguments, 3));
    const std::uint32_t processId = IdOf(Argument(arguments, 4));
    const std::string title = ApplicationTitle();

    const bool closed = ClosePrevious(threadId, processId);
    state.elevated = elevated;
    state.success = closed;
    ReadStagingState(state);
    if (IFileSystem* files = FileSystemPort()) files->Sleep(kBeforeLogMs);
    OpenLog(state);

    if (closed) {
        InstallStagedFiles(state);
        // A file that did not verify is no matter of rights: no elevated run.
        if (!elevated && !state.success && !state.unverified) {
            // Linux has no elevated run that could see the user's staging,
            // and running a file of the user's cache as root is out of the
            // question: the user is told which folder to fix.
            IFileSystem* files = FileSystemPort();
            if (files != nullptr && files->Style() == PathStyle::Posix) {
                if (!state.deniedFolder.empty()) {
                    const std::string folder =
                        TrimChars(state.deniedFolder, std::string(1, PathSeparator()), 1, kTrimTrailing);
                    state.log.Line(kFolderNotWritable + folder);
                    state.failedBox = title + kFolderBox + folder + kFolderBoxEnd;
                }
            } else {
                RunElevated(state, exe, programFile);
            }
        }
    } else {
        state.log.Line(kNotClosed);
        if (!state.silent) application.MessageBox(title + kNotClosedBox, kMbIconError | kMbCancelOnly);
    }

    state.log.Line(state.success ? kInstalledCorrectly : kIncomplete);
    if (elevated) {
        state.log.Close();
        if (!state.success) return state.unverified ? kElevatedNotVerified : kElevatedNotInstalled;
        return state.rebootPending ? kElevatedInstalledAtRestart : kElevatedInstalled;
    }

    IFileSystem* files = FileSystemPort();
    if (!state.rebootPending) {
        state.log.Line(kStartNewVersion);
        // The new version clears the staging as any normal start does.
        lock.Release();
        if (files != nullptr) {
            files->ShellExecuteCode(0, kOpenVerb, programFile, state.parameters, FolderOf(programFile), kSwShow);
            // A staged copy of the program ran this install; it goes at the
            // next restart (or with the staging, where it can go now).
            if (!SamePath(exe, programFile)) files->MoveFileEx(exe, "", kMovefileDelayUntilReboot);
        }
    } else if (state.success) {
        state.log.Line(kRebootNeeded);
        if (!state.silent) application.MessageBox(title + kRebootBox, kMbIconInformation | kMbOk);
    }
    if (!state.success && !state.silent) {
        if (state.unverified)
            application.MessageBox(kNotVerifiedBox + title + kNotVerifiedBoxEnd, kMbIconError | kMbOk);
        else if (state.failedBox.empty())
            application.MessageBox(title + kFailedBox, kMbOk);
        else
            application.MessageBox(state.failedBox, kMbIconError | kMbOk);
    }
    // A staging that did not verify is not kept for another try.
    if (state.success || state.unverified) ClearStagedUpdate();
    state.log.Close();
    return 0;
}

}  // namespace

bool InstallStagedFile(const std::string& name) {
    Installer& state = State();
    TStagingKey key(std::string(kStagingFilesKey) + "\\" + name, false, kReadWrite);
    if (!key.IsOpen()) {
        state.log.Line(kInfoNotAvailable + name);
        return false;
    }
    try {
        IFileSystem* files = FileSystemPort();
        const TUpdateStatement* statement = nullptr;
        if (Verifying(state)) {
            if (state.statements.count(name) == 0 && !VerifyStagedFile(state, name)) return false;
            statement = &state.statements[name];
        }
        const std::string staged = key.ReadString(kValueTempFile);
        const std::string destination = key.ReadString(kValueDestFile);
        state.log.Fragment(kUpdate + staged + kTo + destination + kFragmentEnd);
        std::string unverified;
        if (files != nullptr && ReplaceWithStaged(*files, staged, destination, statement, &unverified)) {
            state.log.Line(kUpdated);
            return true;
        }
        if (!unverified.empty()) {
            state.log.Line(kCouldNotVerify + destination + ": " + unverified);
            state.unverified = true;
            return false;
        }
        const std::string why = FileLastError;
        // A failed copy records its error as text only.
        const bool denied = FileLastErrorCode == kAccessDenied || why == SysErrorText(kAccessDenied);
        bool installed = false;
        if (state.elevated) {
            state.log.Line(kDelayUntilReboot);
            // What the restart moves is the copy beside the destination, so the
            // staged file is not marked to be kept: the staging goes as usual.
            if (files != nullptr && ScheduleReplace(*files, staged, destination, statement, &unverified)) {
                state.rebootPending = true;
                installed = true;
            } else if (!unverified.empty()) {
                state.log.Line(kCouldNotVerify + destination + ": " + unverified);
                state.unverified = true;
                return false;
            } else {
                // Not even scheduled: the file is not installed.
                state.log.Line(kFailed + FileLastError);
            }
        } else {
            state.log.Line(kFailed + why);
            if (denied && state.deniedFolder.empty()) state.deniedFolder = FolderOf(destination);
        }
        key.WriteString(kValueError, why);
        return installed;
    } catch (const std::exception& e) {
        state.log.Line(kException + std::string(e.what()));
        return false;
    }
}

namespace {

// Whether the store holds any staging at all.
bool AnythingStaged() {
    {
        TStagingKey main(kStagingKey, false, kKeyRead);
        if (main.IsOpen() && (main.HasValue(kValueTempPath) || main.HasValue(kValueParamCount) ||
                              main.HasValue(kValueAppName) || main.HasValue(kValueSilent)))
            return true;
    }
    TStagingKey staged(kStagingFilesKey, false, kKeyRead);
    return staged.IsOpen() && !staged.SubKeyNames().empty();
}

}  // namespace

bool ClearEarlierStaging() {
    // Nothing to clear: no need to look for an installer (on Linux the look
    // would make the private temporary folder of a user who never updated).
    if (!AnythingStaged()) return true;
    IApplication* application = ApplicationPort();
    // An installer at work (its previous instance has just ended) still
    // reads the staging.
    if (application != nullptr && application->InstallerRunning()) return false;
    ClearStagedUpdate();
    return true;
}

void HandleUpdateSwitch(const std::vector<P256PublicKey>& trustedKeys) {
    IApplication* application = ApplicationPort();
    const std::vector<std::string> arguments =
        application != nullptr ? application->Arguments() : std::vector<std::string>();
    const std::string mode = Argument(arguments, 1);
    if (application == nullptr || (mode != kUpdateSwitch && mode != kAdminUpdateSwitch)) return;
    application->Terminate(RunInstaller(*application, arguments, mode == kAdminUpdateSwitch, trustedKeys));
}

}  // namespace rl
