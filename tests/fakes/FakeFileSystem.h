// A fake of the files-and-processes port: files, folders and processes are
// plain state; chosen calls fail; every call is logged in order.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Controls.h"
#include "platform/Files.h"

namespace rl::fake {

struct File {
    std::string data;
    FileTime created = 0;
    FileTime accessed = 0;
    FileTime written = 0;
    std::uint32_t attributes = kFileAttributeNormal;
    std::uint32_t mode = 0644;  // POSIX permission bits
};

class FileSystem : public IFileSystem {
public:
    PathStyle style = PathStyle::Windows;
    std::uint32_t lastError = 0;

    std::map<std::string, File> files;  // by exact name
    std::set<std::string> folders;      // without a trailing separator
    std::string computerName = "HOST";
    std::string tempPath = "C:\\Temp\\";
    // Local time = UTC + this many 100-ns ticks.
    std::int64_t localOffset = 0;
    SystemTime localNow{2024, 7, 1, 15, 12, 0, 0, 0};

    // Calls that fail, by name ("CopyFile", "WriteFile", …) or by name and
    // argument ("CreateFile C:\x", "CreateDirectory C:\A"); they leave
    // failCode as the last error. Calls that succeed leave 0.
    std::set<std::string> failing;
    std::uint32_t failCode = 5;
    std::uint32_t writeLimit = 0xFFFFFFFFu;  // bytes a write accepts
    std::vector<std::uint32_t> writeSizes;
    std::vector<std::uint32_t> readSizes;  // the counts each read asked for
    // Called by every CopyFile before it copies, with its source and
    // destination: a test changes a file at that very moment.
    std::function<void(const std::string&, const std::string&)> onCopy;
    std::vector<std::string> calls;

    // Version resources: file → sub-block → value bytes.
    std::map<std::string, std::map<std::string, std::vector<std::uint8_t>>> versions;

    // Moves and deletions (an empty new name) scheduled for the next restart.
    std::vector<std::pair<std::string, std::string>> rebootMoves;

    // Processes. A started or opened process ends after this many waits
    // have timed out; a thread ends after a quit when threadQuits.
    // ShellExecuteCode's requests are kept with executed's with a mask of 0.
    std::vector<ShellExecuteRequest> executed;
    // Called for every request that starts something, after it is recorded.
    std::function<void(const ShellExecuteRequest&)> onExecute;
    std::intptr_t shellResult = 42;  // what ShellExecuteCode gives when it starts
    int timeoutsBeforeExit = 0;
    std::uint32_t exitCode = 0;
    std::set<std::uint32_t> threads;    // ids OpenThread finds
    std::set<std::uint32_t> processes;  // ids OpenProcess finds
    bool threadQuits = true;

    PathStyle Style() const override { return style; }
    std::uint32_t LastError() override { return lastError; }
    bool CopyFile(const std::string& source, const std::string& destination, bool failIfExists) override;
    SysHandle CreateFile(const std::string& name, std::uint32_t access, std::uint32_t share,
                         std::uint32_t disposition, std::uint32_t attributes) override;
    bool WriteFile(SysHandle file, const void* data, std::uint32_t count, std::uint32_t& written) override;
    bool ReadFile(SysHandle file, void* data, std::uint32_t count, std::uint32_t& read) override;
    bool DeleteFile(const std::string& name) override;
    bool GetFileTimes(SysHandle file, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite) override;
    bool SetFileTimes(SysHandle file, const FileTime* creation, const FileTime* lastAccess,
                      const FileTime* lastWrite) override;
    std::uint32_t GetFileAttributes(const std::string& name) override;
    bool SetFileAttributes(const std::string& name, std::uint32_t attributes) override;
    bool MoveFileEx(const std::string& existing, const std::string& newName, std::uint32_t flags) override;
    bool CopyPermissions(const std::string& model, const std::string& file) override;
    std::uint32_t FindEntry(const std::string& name, std::uint32_t attributeMask) override;
    bool CreateDirectory(const std::string& name) override;
    bool RemoveDirectory(const std::string& name) override;
    std::string TempFileName(const std::string& folder, const std::string& prefix) override;
    std::string TempPath() override;
    std::string ComputerName() override { return computerName; }
    bool FileTimeToLocalFileTime(FileTime utc, FileTime& local) override;
    bool LocalFileTimeToFileTime(FileTime local, FileTime& utc) override;
    SystemTime LocalTime() override { return localNow; }
    bool ReadVersionResource(const std::string& file, std::vector<std::uint8_t>& resource) override;
    bool QueryVersionValue(const std::vector<std::uint8_t>& resource, const std::string& subBlock,
                           std::vector<std::uint8_t>& value) override;
    bool ShellExecute(const ShellExecuteRequest& request, SysHandle& process) override;
    std::intptr_t ShellExecuteCode(WindowHandle owner, const std::string& verb, const std::string& file,
                                   const std::string& parameters, const std::string& directory, int show) override;
    SysHandle OpenThread(std::uint32_t access, std::uint32_t threadId) override;
    SysHandle OpenProcess(std::uint32_t access, std::uint32_t processId) override;
    std::uint32_t WaitForObject(SysHandle handle, std::uint32_t milliseconds) override;
    bool GetExitCodeProcess(SysHandle process, std::uint32_t& code) override;
    bool GetExitCodeThread(SysHandle thread, std::uint32_t& code) override;
    bool TerminateProcess(SysHandle process, std::uint32_t exitCode) override;
    bool CloseHandle(SysHandle handle) override;
    bool PostQuitToThread(std::uint32_t threadId) override;
    void Sleep(std::uint32_t milliseconds) override;

    // Handles still open (files, processes and threads).
    std::size_t OpenHandles() const { return handles_.size(); }

private:
    struct Handle {
        enum Kind { kFile, kProcess, kThread } kind = kFile;
        std::string name;  // a file's name
        std::uint32_t id = 0;
        std::uint32_t access = 0;
        std::size_t position = 0;  // where a file's next read begins
    };
    bool ParentExists(const std::string& name) const;
    bool Fails(const std::string& call, const std::string& argument = {});
    SysHandle Add(Handle handle);

    std::map<SysHandle, Handle> handles_;
    SysHandle next_ = 0x100;
    std::set<std::uint32_t> quitThreads_;
    std::set<std::uint32_t> ended_;  // process ids that have ended
    int waits_ = 0;
    int tempCounter_ = 0;
};

// Records the cursor changes.
struct ScreenCursor : IScreenCursor {
    std::vector<int> changes;
    void SetCursor(int cursor) override { changes.push_back(cursor); }
};

}  // namespace rl::fake
