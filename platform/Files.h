// Files, folders and processes, as the file utilities reach them. Each call
// passes through to one ANSI Windows function on Windows; the Linux adapter
// gives the same contract over POSIX, with paths in their POSIX form. Every
// failing call leaves a Windows error code as the thread's last error.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/TextSystem.h"
#include "platform/Types.h"

namespace rl {

// A file, process or thread handle; kInvalidHandle is the failure value of
// every call that gives one.
using SysHandle = std::uintptr_t;
constexpr SysHandle kInvalidHandle = ~static_cast<SysHandle>(0);

// How paths are written on this system.
enum class PathStyle {
    Windows,  // "C:\dir\file", "\\server\share\..."
    Posix,    // "/dir/file"
};

// Access, sharing and creation of CreateFile.
constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kGenericWrite = 0x40000000u;
constexpr std::uint32_t kFileShareRead = 1;
constexpr std::uint32_t kFileShareWrite = 2;
// A new file only: an existing name, a link among them, fails with
// ERROR_FILE_EXISTS (80).
constexpr std::uint32_t kCreateNew = 1;
constexpr std::uint32_t kCreateAlways = 2;
constexpr std::uint32_t kOpenExisting = 3;
constexpr std::uint32_t kOpenAlways = 4;
// Access that writes only at the end of the file (FILE_APPEND_DATA).
constexpr std::uint32_t kFileAppendData = 0x0004;

// File attributes.
constexpr std::uint32_t kFileAttributeReadOnly = 0x01;
constexpr std::uint32_t kFileAttributeHidden = 0x02;
constexpr std::uint32_t kFileAttributeSystem = 0x04;
constexpr std::uint32_t kFileAttributeDirectory = 0x10;
constexpr std::uint32_t kFileAttributeArchive = 0x20;
constexpr std::uint32_t kFileAttributeNormal = 0x80;
constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;

// Shell execution: the mask bits and show commands.
constexpr std::uint32_t kSeeMaskNoCloseProcess = 0x40;
constexpr std::uint32_t kSeeMaskFlagDdeWait = 0x100;
constexpr std::uint32_t kSeeMaskFlagNoUi = 0x400;
constexpr int kSwHide = 0;
constexpr int kSwShowNormal = 1;

// What ShellExecuteCode gives back above this value means the program was
// started; at or below it, the result is an error code.
constexpr std::intptr_t kShellExecuteErrorLimit = 32;

// MoveFileEx flags.
constexpr std::uint32_t kMovefileReplaceExisting = 1;
constexpr std::uint32_t kMovefileDelayUntilReboot = 4;
constexpr std::uint32_t kMovefileWriteThrough = 8;

// Access rights of OpenThread and OpenProcess.
constexpr std::uint32_t kSynchronize = 0x00100000u;
constexpr std::uint32_t kThreadQueryInformation = 0x0040;
constexpr std::uint32_t kProcessTerminate = 0x0001;
constexpr std::uint32_t kProcessQueryInformation = 0x0400;

// Results of WaitForObject.
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

// The exit code of a process or thread that is still running.
constexpr std::uint32_t kStillActive = 259;

// Error codes the file utilities look at or give.
constexpr std::uint32_t kErrorFileNotFoundCode = 2;
constexpr std::uint32_t kErrorPathNotFoundCode = 3;
constexpr std::uint32_t kErrorHandleEof = 38;

// What ShellExecuteEx is given.
struct ShellExecuteRequest {
    std::uint32_t Mask = 0;
    WindowHandle Owner = 0;
    std::string Verb;        // empty = the default verb
    std::string File;
    std::string Parameters;  // empty = none
    std::string Directory;   // empty = the current folder
    int Show = kSwShowNormal;
};

class IFileSystem {
public:
    virtual ~IFileSystem() = default;

    virtual PathStyle Style() const = 0;
    // The calling thread's last error, as the calls below left it
    // (GetLastError on Windows).
    virtual std::uint32_t LastError() = 0;

    // Files ---------------------------------------------------------------

    // Copies a file with its contents and attributes; an existing
    // destination is replaced unless failIfExists.
    virtual bool CopyFile(const std::string& source, const std::string& destination, bool failIfExists) = 0;
    // Opens or creates a file; kInvalidHandle on failure.
    virtual SysHandle CreateFile(const std::string& name, std::uint32_t access, std::uint32_t share,
                                 std::uint32_t disposition, std::uint32_t attributes) = 0;
    virtual bool WriteFile(SysHandle file, const void* data, std::uint32_t count, std::uint32_t& written) = 0;
    // Reads up to count bytes from the file's position; true with read = 0
    // at the end of the file.
    virtual bool ReadFile(SysHandle file, void* data, std::uint32_t count, std::uint32_t& read) = 0;
    // Deletes a file; a folder or a read-only file is refused.
    virtual bool DeleteFile(const std::string& name) = 0;
    // Any pointer may be null. A time the system does not keep reads as 0.
    virtual bool GetFileTimes(SysHandle file, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite) = 0;
    // A null pointer leaves that time as it is. A system that cannot set a
    // creation time ignores it.
    virtual bool SetFileTimes(SysHandle file, const FileTime* creation, const FileTime* lastAccess,
                              const FileTime* lastWrite) = 0;
    virtual std::uint32_t GetFileAttributes(const std::string& name) = 0;
    virtual bool SetFileAttributes(const std::string& name, std::uint32_t attributes) = 0;
    // MoveFileEx: renames a file, replacing an existing one only with
    // kMovefileReplaceExisting; with kMovefileWriteThrough it returns once the
    // move is on the disk. With kMovefileDelayUntilReboot the move (or, with
    // an empty new name, the deletion) is only scheduled for the next restart
    // of Windows; other systems have no such thing and refuse it with
    // ERROR_NOT_SUPPORTED (50).
    virtual bool MoveFileEx(const std::string& existing, const std::string& newName, std::uint32_t flags) = 0;
    // Gives the file the permission bits of another (POSIX mode bits); a
    // system without them has nothing to copy and succeeds.
    virtual bool CopyPermissions(const std::string& model, const std::string& file) = 0;

    // Folders -------------------------------------------------------------

    // Searches for an entry by its exact name among those whose attributes
    // fit the mask (normal files always do). 0 when found, else the error:
    // kErrorFileNotFoundCode, kErrorPathNotFoundCode or another code.
    virtual std::uint32_t FindEntry(const std::string& name, std::uint32_t attributeMask) = 0;
    virtual bool CreateDirectory(const std::string& name) = 0;
    // Removes an empty folder.
    virtual bool RemoveDirectory(const std::string& name) = 0;
    // GetTempFileName with a system-chosen unique number: creates the empty
    // file and gives its name; empty on failure.
    virtual std::string TempFileName(const std::string& folder, const std::string& prefix) = 0;
    // The temporary folder as GetTempPath gives it; empty on failure.
    virtual std::string TempPath() = 0;
    virtual std::string ComputerName() = 0;

    // Times -----------------------------------------------------------------

    // Both through the zone's rules for the date converted (summer time or
    // not), not today's offset.
    virtual bool FileTimeToLocalFileTime(FileTime utc, FileTime& local) = 0;
    virtual bool LocalFileTimeToFileTime(FileTime local, FileTime& utc) = 0;
    // The current date and time in the local time zone.
    virtual SystemTime LocalTime() = 0;

    // Version information -------------------------------------------------

    // Reads the file's version resource; false when it has none.
    virtual bool ReadVersionResource(const std::string& file, std::vector<std::uint8_t>& resource) = 0;
    // VerQueryValue on a resource that ReadVersionResource gave.
    virtual bool QueryVersionValue(const std::vector<std::uint8_t>& resource, const std::string& subBlock,
                                   std::vector<std::uint8_t>& value) = 0;

    // Processes and threads -------------------------------------------------

    // Starts a program or opens a document; with kSeeMaskNoCloseProcess the
    // new process's handle (kInvalidHandle when none came back).
    virtual bool ShellExecute(const ShellExecuteRequest& request, SysHandle& process) = 0;
    // ShellExecute in its plain form: greater than kShellExecuteErrorLimit
    // when the program was started, else an error code.
    virtual std::intptr_t ShellExecuteCode(WindowHandle owner, const std::string& verb, const std::string& file,
                                           const std::string& parameters, const std::string& directory,
                                           int show) = 0;
    virtual SysHandle OpenThread(std::uint32_t access, std::uint32_t threadId) = 0;
    virtual SysHandle OpenProcess(std::uint32_t access, std::uint32_t processId) = 0;
    // kWaitObject0 when the process or thread has ended, kWaitTimeout,
    // or kWaitFailed.
    virtual std::uint32_t WaitForObject(SysHandle handle, std::uint32_t milliseconds) = 0;
    virtual bool GetExitCodeProcess(SysHandle process, std::uint32_t& code) = 0;
    virtual bool GetExitCodeThread(SysHandle thread, std::uint32_t& code) = 0;
    virtual bool TerminateProcess(SysHandle process, std::uint32_t exitCode) = 0;
    // Closes a file, process or thread handle.
    virtual bool CloseHandle(SysHandle handle) = 0;
    // Asks a thread's message loop to end (WM_QUIT).
    virtual bool PostQuitToThread(std::uint32_t threadId) = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// The adapter of the build's operating system.
std::unique_ptr<IFileSystem> CreateFileSystem();

}  // namespace rl
