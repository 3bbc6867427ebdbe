// Files, folders, version resources and processes on Windows: each call is
// the ANSI system function of the same purpose.
#include <windows.h>
#include <shellapi.h>
#include <winver.h>

#include <cstring>

// The port's methods share their names with these macros of the Windows
// headers; the ANSI functions are called by their full names below.
#undef CopyFile
#undef CreateFile
#undef DeleteFile
#undef GetFileAttributes
#undef SetFileAttributes
#undef CreateDirectory
#undef RemoveDirectory
#undef MoveFileEx
#undef ShellExecute

#include "platform/Files.h"

namespace rl {
namespace {

static_assert(sizeof(SysHandle) == sizeof(HANDLE));
static_assert(sizeof(SystemTime) == sizeof(SYSTEMTIME));

HANDLE ToHandle(SysHandle h) { return reinterpret_cast<HANDLE>(h); }

// A null handle is how the open functions fail; the port has one failure value.
SysHandle FromOpened(HANDLE h) { return h == nullptr ? kInvalidHandle : reinterpret_cast<SysHandle>(h); }

FILETIME ToFile(FileTime t) {
    FILETIME f{};
    f.dwLowDateTime = static_cast<DWORD>(t);
    f.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return f;
}

FileTime FromFile(const FILETIME& f) { return (FileTime{f.dwHighDateTime} << 32) | f.dwLowDateTime; }

// A system time keeps whole milliseconds; the rest of a file time is added back.
constexpr FileTime kTicksPerMillisecond = 10000;

// Empty texts stand for "none", which the shell wants as a null pointer.
const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    return text.size() >= n && _strnicmp(text.c_str(), prefix, n) == 0;
}

class Win32FileSystem : public IFileSystem {
public:
    PathStyle Style() const override { return PathStyle::Windows; }

    std::uint32_t LastError() override { return GetLastError(); }

    bool CopyFile(const std::string& source, const std::string& destination, bool failIfExists) override {
        return CopyFileA(source.c_str(), destination.c_str(), failIfExists ? TRUE : FALSE) != FALSE;
    }

    SysHandle CreateFile(const std::string& name, std::uint32_t access, std::uint32_t share,
                         std::uint32_t disposition, std::uint32_t attributes) override {
        // INVALID_HANDLE_VALUE and kInvalidHandle are the same all-ones value.
        return reinterpret_cast<SysHandle>(
            CreateFileA(name.c_str(), access, share, nullptr, disposition, attributes, nullptr));
    }

    bool WriteFile(SysHandle file, const void* data, std::uint32_t count, std::uint32_t& written) override {
        DWORD done = 0;
        const BOOL ok = ::WriteFile(ToHandle(file), data, count, &done, nullptr);
        written = done;
        return ok != FALSE;
    }

    bool ReadFile(SysHandle file, void* data, std::uint32_t count, std::uint32_t& read) override {
        DWORD done = 0;
        const BOOL ok = ::ReadFile(ToHandle(file), data, count, &done, nullptr);
        read = done;
        return ok != FALSE;
    }

    bool DeleteFile(const std::string& name) override { return DeleteFileA(name.c_str()) != FALSE; }

    bool GetFileTimes(SysHandle file, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite) override {
        FILETIME c{}, a{}, w{};
        if (!::GetFileTime(ToHandle(file), creation ? &c : nullptr, lastAccess ? &a : nullptr,
                           lastWrite ? &w : nullptr))
            return false;
        if (creation) *creation = FromFile(c);
        if (lastAccess) *lastAccess = FromFile(a);
        if (lastWrite) *lastWrite = FromFile(w);
        return true;
    }

    bool SetFileTimes(SysHandle file, const FileTime* creation, const FileTime* lastAccess,
                      const FileTime* lastWrite) override {
        const FILETIME c = creation ? ToFile(*creation) : FILETIME{};
        const FILETIME a = lastAccess ? ToFile(*lastAccess) : FILETIME{};
        const FILETIME w = lastWrite ? ToFile(*lastWrite) : FILETIME{};
        return ::SetFileTime(ToHandle(file), creation ? &c : nullptr, lastAccess ? &a : nullptr,
                             lastWrite ? &w : nullptr) != FALSE;
    }

    std::uint32_t GetFileAttributes(const std::string& name) override { return GetFileAttributesA(name.c_str()); }

    bool SetFileAttributes(const std::string& name, std::uint32_t attributes) override {
        return SetFileAttributesA(name.c_str(), attributes) != FALSE;
    }

    bool MoveFileEx(const std::string& existing, const std::string& newName, std::uint32_t flags) override {
        return MoveFileExA(existing.c_str(), OrNull(newName), flags) != FALSE;
    }

    // Windows files carry no permission bits; their attributes travel with
    // the copy.
    bool CopyPermissions(const std::string&, const std::string&) override {
        SetLastError(ERROR_SUCCESS);
        return true;
    }

    std::uint32_t FindEntry(const std::string& name, std::uint32_t attributeMask) override {
        // FindFirstFile lists every kind of entry; hidden, system and folder
        // entries count only when the mask asks for them.
        const DWORD excluded =
            ~attributeMask & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY);
        WIN32_FIND_DATAA data{};
        const HANDLE find = FindFirstFileA(name.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return GetLastError();
        DWORD result = 0;
        while (data.dwFileAttributes & excluded) {
            if (!FindNextFileA(find, &data)) {
                result = ERROR_FILE_NOT_FOUND;
                break;
            }
        }
        FindClose(find);
        SetLastError(result);
        return result;
    }

    bool CreateDirectory(const std::string& name) override { return CreateDirectoryA(name.c_str(), nullptr) != FALSE; }

    bool RemoveDirectory(const std::string& name) override { return RemoveDirectoryA(name.c_str()) != FALSE; }

    std::string TempFileName(const std::string& folder, const std::string& prefix) override {
        char buffer[MAX_PATH] = {};
        if (GetTempFileNameA(folder.c_str(), prefix.c_str(), 0, buffer) == 0) return {};
        return buffer;
    }

    std::string TempPath() override {
        char buffer[255] = {};
        const DWORD length = GetTempPathA(sizeof buffer, buffer);
        if (length == 0 || length >= sizeof buffer) return {};
        return std::string(buffer, length);
    }

    std::string ComputerName() override {
        char buffer[255] = {};
        DWORD length = sizeof buffer;
        if (!GetComputerNameA(buffer, &length)) return {};
        return std::string(buffer, length);
    }

    // Both ways through the zone's rules for that date, as UtcToLocalDateTime
    // converts: FileTimeToLocalFileTime and LocalFileTimeToFileTime apply
    // today's offset to every date, which puts a time of the other season an
    // hour off.
    bool FileTimeToLocalFileTime(FileTime utc, FileTime& local) override {
        const FILETIME in = ToFile(utc);
        SYSTEMTIME universal{}, zoned{};
        FILETIME out{};
        if (!FileTimeToSystemTime(&in, &universal) || !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &zoned) ||
            !SystemTimeToFileTime(&zoned, &out))
            return false;
        local = FromFile(out) + utc % kTicksPerMillisecond;
        return true;
    }

    bool LocalFileTimeToFileTime(FileTime local, FileTime& utc) override {
        const FILETIME in = ToFile(local);
        SYSTEMTIME zoned{}, universal{};
        FILETIME out{};
        if (!FileTimeToSystemTime(&in, &zoned) || !TzSpecificLocalTimeToSystemTime(nullptr, &zoned, &universal) ||
            !SystemTimeToFileTime(&universal, &out))
            return false;
        utc = FromFile(out) + local % kTicksPerMillisecond;
        return true;
    }

    SystemTime LocalTime() override {
        SYSTEMTIME s{};
        GetLocalTime(&s);
        return SystemTime{s.wYear, s.wMonth, s.wDayOfWeek, s.wDay, s.wHour, s.wMinute, s.wSecond, s.wMilliseconds};
    }

    bool ReadVersionResource(const std::string& file, std::vector<std::uint8_t>& resource) override {
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
        if (size == 0) return false;
        resource.assign(size, 0);
        return GetFileVersionInfoA(file.c_str(), 0, size, resource.data()) != FALSE;
    }

    bool QueryVersionValue(const std::vector<std::uint8_t>& resource, const std::string& subBlock,
                           std::vector<std::uint8_t>& value) override {
        // The ANSI query converts strings into the spare room of the block it
        // is given, so it works on a copy of its own.
        std::vector<std::uint8_t> block = resource;
        void* found = nullptr;
        UINT length = 0;
        if (block.empty() || !VerQueryValueA(block.data(), subBlock.c_str(), &found, &length) || found == nullptr)
            return false;
        const auto* begin = static_cast<const std::uint8_t*>(found);
        const auto* end = block.data() + block.size();
        if (begin < block.data() || begin > end) return false;
        if (StartsWithNoCase(subBlock, "\\StringFileInfo\\") || StartsWithNoCase(subBlock, "StringFileInfo\\")) {
            // The length of a string counts characters, with or without its
            // zero depending on the system; the text ends at its zero.
            const void* zero = std::memchr(begin, 0, static_cast<std::size_t>(end - begin));
            const auto* stop = zero ? static_cast<const std::uint8_t*>(zero) : end;
            value.assign(begin, stop);
            value.push_back(0);
        } else {
            if (length > static_cast<std::size_t>(end - begin)) return false;
            value.assign(begin, begin + length);
        }
        return true;
    }

    bool ShellExecute(const ShellExecuteRequest& request, SysHandle& process) override {
        SHELLEXECUTEINFOA info{};
        info.cbSize = sizeof info;
        info.fMask = request.Mask;
        info.hwnd = reinterpret_cast<HWND>(request.Owner);
        info.lpVerb = OrNull(request.Verb);
        info.lpFile = request.File.c_str();
        info.lpParameters = OrNull(request.Parameters);
        info.lpDirectory = OrNull(request.Directory);
        info.nShow = request.Show;
        const bool ok = ShellExecuteExA(&info) != FALSE;
        process = ok && (request.Mask & SEE_MASK_NOCLOSEPROCESS) && info.hProcess != nullptr
                      ? reinterpret_cast<SysHandle>(info.hProcess)
                      : kInvalidHandle;
        return ok;
    }

    std::intptr_t ShellExecuteCode(WindowHandle owner, const std::string& verb, const std::string& file,
                                   const std::string& parameters, const std::string& directory, int show) override {
        return reinterpret_cast<std::intptr_t>(ShellExecuteA(reinterpret_cast<HWND>(owner), OrNull(verb), file.c_str(),
                                                             OrNull(parameters), OrNull(directory), show));
    }

    SysHandle OpenThread(std::uint32_t access, std::uint32_t threadId) override {
        return FromOpened(::OpenThread(access, FALSE, threadId));
    }

    SysHandle OpenProcess(std::uint32_t access, std::uint32_t processId) override {
        return FromOpened(::OpenProcess(access, FALSE, processId));
    }

    std::uint32_t WaitForObject(SysHandle handle, std::uint32_t milliseconds) override {
        return WaitForSingleObject(ToHandle(handle), milliseconds);
    }

    bool GetExitCodeProcess(SysHandle process, std::uint32_t& code) override {
        DWORD c = 0;
        if (!::GetExitCodeProcess(ToHandle(process), &c)) return false;
        code = c;
        return true;
    }

    bool GetExitCodeThread(SysHandle thread, std::uint32_t& code) override {
        DWORD c = 0;
        if (!::GetExitCodeThread(ToHandle(thread), &c)) return false;
        code = c;
        return true;
    }

    bool TerminateProcess(SysHandle process, std::uint32_t exitCode) override {
        return ::TerminateProcess(ToHandle(process), exitCode) != FALSE;
    }

    bool CloseHandle(SysHandle handle) override { return ::CloseHandle(ToHandle(handle)) != FALSE; }

    bool PostQuitToThread(std::uint32_t threadId) override {
        return PostThreadMessageA(threadId, WM_QUIT, 0, 0) != FALSE;
    }

    void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

std::unique_ptr<IFileSystem> CreateFileSystem() { return std::make_unique<Win32FileSystem>(); }

}  // namespace rl
