// Files, folders, version strings and processes on Linux, with the contract
// of the Windows functions the file utilities call: POSIX files and folders,
// installed desktop entries in place of version resources, fork/exec for the
// shell verbs, pidfds and /proc for process and thread handles, signals for
// quitting and terminating. Every failure leaves a Windows code as the
// thread's last error.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <thread>

#include "platform/Files.h"
#include "platform/linux/CalendarTime.h"
#include "platform/linux/CommandLineSplit.h"
#include "platform/linux/ErrorCodes.h"

extern char** environ;

namespace rl {

namespace {

// Windows codes this adapter picks itself rather than through an errno.
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorFileExists = 80;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorAlreadyExists = 183;
constexpr std::uint32_t kErrorNotSupported = 50;
constexpr std::uint32_t kErrorNoAssociation = 1155;
// The plain ShellExecute's results: any value above 32 means started;
// SE_ERR_NOASSOC.
constexpr std::intptr_t kShellStarted = 42;
constexpr std::intptr_t kShellNoAssociation = 31;
constexpr std::uint32_t kErrorResourceTypeNotFound = 1813;
constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// CreateFile's other disposition, accepted for completeness.
constexpr std::uint32_t kTruncateExisting = 5;

// Seconds from 1 January 1601 to 1 January 1970, and file-time units.
constexpr std::int64_t kFileEpochSeconds = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10000000;

constexpr std::uint32_t kThreadPollMs = 10;

// The C library's own declarations of these lack C linkage in some
// versions; the system calls are made directly.
int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0u)); }
int PidfdSignal(int pidfd, int signal) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0u));
}

bool Fail(std::uint32_t code) {
    linuxerr::SetThreadLastError(code);
    return false;
}

bool FailErrno(int error) {
    linuxerr::SetThreadLastErrorFromErrno(error);
    return false;
}

bool Succeed() {
    linuxerr::SetThreadLastError(0);
    return true;
}

FileTime ToFileTime(std::int64_t seconds, std::int64_t nanoseconds) {
    const std::int64_t ticks = (seconds + kFileEpochSeconds) * kTicksPerSecond + nanoseconds / 100;
    return ticks > 0 ? static_cast<FileTime>(ticks) : 0;
}

timespec ToTimespec(FileTime time) {
    const auto ticks = static_cast<std::int64_t>(time);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ticks / kTicksPerSecond - kFileEpochSeconds);
    ts.tv_nsec = static_cast<long>(ticks % kTicksPerSecond * 100);
    return ts;
}

std::string BaseName(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

std::uint32_t AttributesOf(const std::string& name, const struct stat& st) {
    std::uint32_t attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= kFileAttributeDirectory;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= kFileAttributeReadOnly;
    const std::string base = BaseName(name);
    if (base.size() > 1 && base[0] == '.' && base != "..") attributes |= kFileAttributeHidden;
    return attributes == 0 ? kFileAttributeNormal : attributes;
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// A program's name looked up as the shell does; empty when not found. Empty
// PATH entries (the current folder) are skipped on purpose.
std::string FindInPath(const std::string& name) {
    const char* env = std::getenv("PATH");
    const std::string path = env != nullptr && *env != '\0' ? env : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string folder = path.substr(start, end - start);
        if (!folder.empty()) {
            const std::string candidate = Join(folder, name);
            if (IsExecutableFile(candidate)) return candidate;
        }
        start = end + 1;
    }
    return {};
}

// The arguments of a command line as Windows programs split theirs: blanks
// separate arguments outside quotes; 2n backslashes before a quote give n
// and the quote opens or closes a quoted part, 2n+1 give n and a literal
// quote; other backslashes are literal; "" inside a quoted part is a quote.
std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size();) {
        const char c = line[i];
        if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument) args.push_back(current);
            current.clear();
            inArgument = false;
            ++i;
            continue;
        }
        inArgument = true;
        if (c == '\\') {
            std::size_t n = 0;
            while (i < line.size() && line[i] == '\\') ++n, ++i;
            if (i < line.size() && line[i] == '"') {
                current.append(n / 2, '\\');
                if (n % 2 == 1) {
                    current += '"';
                    ++i;
                }
            } else {
                current.append(n, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                current += '"';
                i += 2;
                continue;
            }
            quoted = !quoted;
            ++i;
            continue;
        }
        current += c;
        ++i;
    }
    if (inArgument) args.push_back(current);
    return args;
}

// "scheme:..." as a URL names it; a path never has a colon before its first
// slash here, and one letter is not taken for a scheme.
bool LooksLikeUrl(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon < 2) return false;
    if (!std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

bool ReadAll(int fd, void* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (got < size) {
        const ssize_t n = read(fd, bytes + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// What runs in a new child: default signal handling, the working folder,
// then the program. A failure goes to the parent as the errno through the
// report pipe, which closes by itself when the exec succeeds. Only
// async-signal-safe calls here: the parent may have other threads.
[[noreturn]] void ExecChild(const char* program, char* const* argv, const char* directory, int report) {
    for (int s = 1; s < NSIG; ++s) {
        if (s == SIGKILL || s == SIGSTOP) continue;
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigaction(s, &action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int error = 0;
    if (directory != nullptr && chdir(directory) != 0) {
        error = errno;
    } else {
        execve(program, argv, environ);
        error = errno;
    }
    while (write(report, &error, sizeof error) < 0 && errno == EINTR) {
    }
    _exit(127);
}

// One entry of a desktop entry's [Desktop Entry] group.
struct DesktopEntry {
    std::string type;
    std::string name;
    std::string exec;
    bool hidden = false;
};

// The escapes of a string value: \s \n \t \r \\; others stay as written, so
// that Exec's own quoting can read them.
std::string UnescapeValue(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        switch (next) {
            case 's': out += ' '; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '\\': out += '\\'; break;
            default: out += '\\'; out += next; break;
        }
    }
    return out;
}

bool ReadDesktopEntry(const std::string& path, DesktopEntry& entry) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    bool inMainGroup = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        if (line[first] == '[') {
            inMainGroup = line.compare(first, std::string::npos, "[Desktop Entry]") == 0;
            continue;
        }
        if (!inMainGroup) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(first, eq - first);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
        const std::size_t start = line.find_first_not_of(" \t", eq + 1);
        const std::string value = UnescapeValue(start == std::string::npos ? std::string() : line.substr(start));
        if (key == "Type") entry.type = value;
        else if (key == "Name") entry.name = value;
        else if (key == "Exec") entry.exec = value;
        else if (key == "Hidden") entry.hidden = value == "true";
    }
    return true;
}

// The program of an Exec value: its first argument, with the quoting of
// Exec (double quotes, inside which \" \` \$ \\ stand for the character).
std::string ExecProgram(const std::string& exec) {
    std::size_t i = exec.find_first_not_of(" \t");
    if (i == std::string::npos) return {};
    std::string program;
    if (exec[i] == '"') {
        for (++i; i < exec.size() && exec[i] != '"'; ++i) {
            if (exec[i] == '\\' && i + 1 < exec.size() && std::strchr("\"`$\\", exec[i + 1]) != nullptr) ++i;
            program += exec[i];
        }
        return program;
    }
    const std::size_t end = exec.find_first_of(" \t", i);
    return exec.substr(i, end == std::string::npos ? std::string::npos : end - i);
}

// Application folders in order of precedence.
std::vector<std::string> ApplicationFolders() {
    std::vector<std::string> folders;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (dataHome != nullptr && dataHome[0] == '/')
        folders.push_back(Join(dataHome, "applications"));
    else if (home != nullptr && home[0] == '/')
        folders.push_back(Join(home, ".local/share/applications"));
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    const std::string list = dataDirs != nullptr && *dataDirs != '\0' ? dataDirs : "/usr/local/share:/usr/share";
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        const std::string folder = list.substr(start, end - start);
        // Relative entries are invalid and ignored.
        if (!folder.empty() && folder[0] == '/') folders.push_back(Join(folder, "applications"));
        start = end + 1;
    }
    return folders;
}

bool SameFile(const std::string& path, const struct stat& target) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino;
}

// openat2 has no wrapper in every C library.
int OpenAt2(int folder, const std::string& path, int flags, std::uint64_t resolve) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = resolve;
    return static_cast<int>(syscall(SYS_openat2, folder, path.c_str(), &how, sizeof how));
}

// A folder below `base`, reached name by name without following a link and
// without leaving `base`: openat2 where the kernel has it, else a walk with
// O_NOFOLLOW. -1 with errno set on failure.
int OpenFolderBeneath(int base, const std::string& relative) {
    if (relative.empty()) return fcntl(base, F_DUPFD_CLOEXEC, 0);
    // A link anywhere on the way gives ELOOP, the last name included.
    const int fd = OpenAt2(base, relative, O_PATH | O_DIRECTORY | O_CLOEXEC,
                           RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
    if (fd >= 0 || errno != ENOSYS) return fd;
    int folder = fcntl(base, F_DUPFD_CLOEXEC, 0);
    std::size_t start = 0;
    while (folder >= 0 && start < relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        const std::string name = relative.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            close(folder);
            errno = EXDEV;
            return -1;
        }
        const int next = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int error = errno;
        struct stat st {};
        if (next < 0 && error == ENOTDIR && fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            error = ELOOP;
        close(folder);
        folder = next;
        errno = error;
    }
    return folder;
}

// Whether a folder on the way to the cache folder is safe: owned by root or
// by us, and writable by nobody else, unless it is root's sticky folder
// (as /tmp is), where nobody can rename or remove what is not theirs.
bool SafeAncestor(const struct stat& st) {
    const uid_t self = geteuid();
    if (st.st_uid != 0 && st.st_uid != self) return false;
    if (S_ISLNK(st.st_mode)) return true;  // its own mode means nothing
    if (!S_ISDIR(st.st_mode)) return false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
    return (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0;
}

// The folder and every folder above it up to /, as written.
bool SafeAncestors(std::string path) {
    for (;;) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !SafeAncestor(st)) return false;
        if (path == "/") return true;
        path = DirName(path);
    }
}

// A version "resource" here is this tag followed by the entry's name.
constexpr char kResourceTag[] = "RL desktop entry\n";
constexpr std::size_t kResourceTagSize = sizeof kResourceTag - 1;

enum class HandleKind { File, Process, Thread };

struct HandleEntry {
    HandleKind kind = HandleKind::File;
    pid_t pid = 0;       // process: its id; thread: its thread group
    pid_t tid = 0;       // thread only
    bool ownChild = false;
    bool reaped = false;
    std::uint32_t exitCode = 0;
    bool terminated = false;  // killed through TerminateProcess
    std::uint32_t terminateCode = 0;
};

// The thread group a thread id belongs to, from /proc; 0 when it is gone.
pid_t ThreadGroupOf(std::uint32_t tid) {
    std::ifstream status("/proc/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 5, "Tgid:") == 0) return static_cast<pid_t>(std::atol(line.c_str() + 5));
    return 0;
}

// A signal's end as an exit code: 128 + the signal, as shells report it.
std::uint32_t CodeOf(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) return static_cast<std::uint32_t>(info.si_status);
    return 128u + static_cast<std::uint32_t>(info.si_status);
}

// Where a call's path is reached: below the checked temporary folder its
// parent folder's descriptor (reached without links) and its last name;
// elsewhere the current folder and the whole path.
struct Located {
    int folder = AT_FDCWD;
    std::string name;
    bool beneath = false;
    Located() = default;
    Located(const Located&) = delete;
    Located& operator=(const Located&) = delete;
    ~Located() {
        if (folder >= 0) close(folder);
    }
    // O_NOFOLLOW / AT_SYMLINK_NOFOLLOW below the checked folder only.
    int NoFollow() const { return beneath ? O_NOFOLLOW : 0; }
    int AtNoFollow() const { return beneath ? AT_SYMLINK_NOFOLLOW : 0; }
};

class LinuxFileSystem : public IFileSystem {
public:
    ~LinuxFileSystem() override {
        while (!handles_.empty()) CloseHandle(static_cast<SysHandle>(handles_.begin()->first));
        if (tempFd_ >= 0) close(tempFd_);
    }

    PathStyle Style() const override { return PathStyle::Posix; }

    std::uint32_t LastError() override { return linuxerr::ThreadLastError(); }

    // Files -----------------------------------------------------------------

    // The copy goes to a new file beside the destination that then takes its
    // name: a running program can be replaced, and the destination is a new
    // file with a fresh creation time, as on Windows.
    bool CopyFile(const std::string& source, const std::string& destination, bool failIfExists) override {
        // Reading the source leaves its last-access time alone, as on
        // Windows; only its owner may ask for that.
        Located src;
        if (!Locate(source, src)) return false;
        const int readFlags = O_RDONLY | O_CLOEXEC | src.NoFollow();
        int in = openat(src.folder, src.name.c_str(), readFlags | O_NOATIME);
        if (in < 0 && errno == EPERM) in = openat(src.folder, src.name.c_str(), readFlags);
        if (in < 0) return FailErrno(errno);
        struct stat from {};
        if (fstat(in, &from) != 0 || S_ISDIR(from.st_mode)) {
            const int error = S_ISDIR(from.st_mode) ? EISDIR : errno;
            close(in);
            return FailErrno(error);
        }

        std::string target = destination;
        struct stat to {};
        if (lstat(target.c_str(), &to) == 0) {
            // A link is followed, so that the file it names is replaced.
            if (S_ISLNK(to.st_mode)) {
                char* real = realpath(target.c_str(), nullptr);
                if (real != nullptr) {
                    target = real;
                    std::free(real);
                }
            }
            if (stat(target.c_str(), &to) == 0) {
                std::uint32_t refusal = 0;
                if (failIfExists) refusal = kErrorFileExists;
                else if (S_ISDIR(to.st_mode)) refusal = kErrorAccessDenied;
                else if (to.st_dev == from.st_dev && to.st_ino == from.st_ino) refusal = kErrorSharingViolation;
                // Windows refuses to overwrite a read-only file; a rename
                // would not notice the file's mode, so it is checked here.
                else if ((to.st_mode & S_IWUSR) == 0) refusal = kErrorAccessDenied;
                if (refusal != 0) {
                    close(in);
                    return Fail(refusal);
                }
            }
        }

        std::string temp = Join(DirName(target), "." + BaseName(target) + ".XXXXXX");
        const int out = mkostemp(temp.data(), O_CLOEXEC);
        if (out < 0) {
            const int error = errno;
            close(in);
            return FailErrno(error);
        }

        int error = CopyContents(in, out);
        // Windows keeps the source's last-write time on a copy.
        const timespec times[2] = {{0, UTIME_OMIT}, from.st_mtim};
        if (error == 0 && (fchmod(out, from.st_mode & 0777) != 0 || futimens(out, times) != 0)) error = errno;
        if (close(out) != 0 && error == 0) error = errno;
        close(in);
        if (error == 0) error = Rename(AT_FDCWD, temp, AT_FDCWD, target, failIfExists);
        if (error != 0) {
            unlink(temp.c_str());
            return error == EEXIST ? Fail(kErrorFileExists) : FailErrno(error);
        }
        return Succeed();
    }

    // Windows share modes have no counterpart here: they are accepted and
    // not enforced.
    SysHandle CreateFile(const std::string& name, std::uint32_t access, std::uint32_t, std::uint32_t disposition,
                         std::uint32_t attributes) override {
        const bool reading = (access & kGenericRead) != 0;
        const bool appending = (access & kFileAppendData) != 0 && (access & kGenericWrite) == 0;
        const bool writing = (access & kGenericWrite) != 0 || appending;
        int flags = O_CLOEXEC | (reading && writing ? O_RDWR : writing ? O_WRONLY : O_RDONLY);
        if (appending) flags |= O_APPEND;
        switch (disposition) {
            case kCreateNew: flags |= O_CREAT | O_EXCL; break;
            case kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
            case kOpenExisting: break;
            case kOpenAlways: flags |= O_CREAT; break;
            case kTruncateExisting: flags |= O_TRUNC; break;
            default: Fail(kErrorInvalidParameter); return kInvalidHandle;
        }
        const mode_t mode = (attributes & kFileAttributeReadOnly) != 0 ? 0444 : 0666;
        Located at;
        if (!Locate(name, at)) return kInvalidHandle;
        const int fd = openat(at.folder, at.name.c_str(), flags | at.NoFollow(), mode);
        if (fd < 0) {
            FailErrno(errno);
            return kInvalidHandle;
        }
        // Windows opens a folder only when asked for backup semantics.
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            close(fd);
            Fail(kErrorAccessDenied);
            return kInvalidHandle;
        }
        handles_[fd] = HandleEntry{};
        Succeed();
        return static_cast<SysHandle>(fd);
    }

    bool WriteFile(SysHandle file, const void* data, std::uint32_t count, std::uint32_t& written) override {
        written = 0;
        const int fd = FdOf(file, HandleKind::File);
        if (fd < 0) return Fail(kErrorInvalidHandle);
        const auto* bytes = static_cast<const char*>(data);
        while (written < count) {
            const ssize_t n = write(fd, bytes + written, count - written);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return FailErrno(errno);
            written += static_cast<std::uint32_t>(n);
        }
        return Succeed();
    }

    bool ReadFile(SysHandle file, void* data, std::uint32_t count, std::uint32_t& read) override {
        read = 0;
        const int fd = FdOf(file, HandleKind::File);
        if (fd < 0) return Fail(kErrorInvalidHandle);
        for (;;) {
            const ssize_t n = ::read(fd, data, count);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return FailErrno(errno);
            read = static_cast<std::uint32_t>(n);
            return Succeed();
        }
    }

    // As on Windows, a read-only file is refused, and so is a folder.
    bool DeleteFile(const std::string& name) override {
        Located at;
        if (!Locate(name, at)) return false;
        struct stat st {};
        if (fstatat(at.folder, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return FailErrno(errno);
        if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0))
            return Fail(kErrorAccessDenied);
        if (unlinkat(at.folder, at.name.c_str(), 0) != 0) return FailErrno(errno);
        return Succeed();
    }

    bool GetFileTimes(SysHandle file, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite) override {
        const int fd = FdOf(file, HandleKind::File);
        if (fd < 0) return Fail(kErrorInvalidHandle);
        struct statx st {};
        if (statx(fd, "", AT_EMPTY_PATH, STATX_ATIME | STATX_MTIME | STATX_BTIME, &st) != 0) return FailErrno(errno);
        // Not every file system keeps a birth time.
        if (creation != nullptr)
            *creation = (st.stx_mask & STATX_BTIME) != 0 ? ToFileTime(st.stx_btime.tv_sec, st.stx_btime.tv_nsec) : 0;
        if (lastAccess != nullptr) *lastAccess = ToFileTime(st.stx_atime.tv_sec, st.stx_atime.tv_nsec);
        if (lastWrite != nullptr) *lastWrite = ToFileTime(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
        return Succeed();
    }

    // A creation time cannot be set on Linux; it is ignored. A time of 0
    // leaves that time alone, as on Windows.
    bool SetFileTimes(SysHandle file, const FileTime*, const FileTime* lastAccess,
                      const FileTime* lastWrite) override {
        const int fd = FdOf(file, HandleKind::File);
        if (fd < 0) return Fail(kErrorInvalidHandle);
        timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
        if (lastAccess != nullptr && *lastAccess != 0) times[0] = ToTimespec(*lastAccess);
        if (lastWrite != nullptr && *lastWrite != 0) times[1] = ToTimespec(*lastWrite);
        if (futimens(fd, times) != 0) return FailErrno(errno);
        return Succeed();
    }

    std::uint32_t GetFileAttributes(const std::string& name) override {
        Located at;
        struct stat st {};
        if (!Locate(name, at) || !StatAt(at, st)) return kInvalidFileAttributes;
        Succeed();
        return AttributesOf(name, st);
    }

    // Only the read-only bit has a counterpart: the write permissions.
    bool SetFileAttributes(const std::string& name, std::uint32_t attributes) override {
        Located at;
        if (!Locate(name, at)) return false;
        return ChangeMode(at, [attributes](mode_t mode) {
            mode &= 07777;
            if ((attributes & kFileAttributeReadOnly) != 0)
                return mode & static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
            return mode | S_IWUSR;
        });
    }

    // Renames within one file system, as MoveFileEx without
    // MOVEFILE_COPY_ALLOWED does. A restart of Windows has no counterpart.
    bool MoveFileEx(const std::string& existing, const std::string& newName, std::uint32_t flags) override {
        if ((flags & kMovefileDelayUntilReboot) != 0) return Fail(kErrorNotSupported);
        if (newName.empty()) return Fail(kErrorInvalidParameter);
        const bool replace = (flags & kMovefileReplaceExisting) != 0;
        Located from;
        Located target;
        if (!Locate(existing, from) || !Locate(newName, target)) return false;
        struct stat st {};
        // A link below the checked folder is not moved to where it would be
        // followed.
        if (from.beneath && fstatat(from.folder, from.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            return FailErrno(ELOOP);
        struct stat to {};
        if (replace && fstatat(target.folder, target.name.c_str(), &to, AT_SYMLINK_NOFOLLOW) == 0) {
            // Windows replaces neither a folder nor a read-only file; a
            // rename would not notice the mode.
            if (S_ISDIR(to.st_mode) || (!S_ISLNK(to.st_mode) && (to.st_mode & S_IWUSR) == 0))
                return Fail(kErrorAccessDenied);
        }
        const bool writeThrough = (flags & kMovefileWriteThrough) != 0;
        if (writeThrough) {
            // The content first: a rename that reaches the disk before the
            // data would leave an empty file under the old name after a
            // power cut.
            const int fd = openat(from.folder, from.name.c_str(), O_RDONLY | O_CLOEXEC | from.NoFollow());
            if (fd < 0) return FailErrno(errno);
            const int error = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
            close(fd);
            if (error != 0) return FailErrno(error);
        }
        if (const int error = Rename(from.folder, from.name, target.folder, target.name, !replace); error != 0)
            return error == EEXIST ? Fail(kErrorAlreadyExists) : FailErrno(error);
        if (writeThrough) {
            const int folder = target.beneath ? openat(target.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                              : open(DirName(newName).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (folder >= 0) {
                fsync(folder);
                close(folder);
            }
        }
        return Succeed();
    }

    // The permission bits only: an installed program must stay executable,
    // a private file private.
    bool CopyPermissions(const std::string& model, const std::string& file) override {
        Located from;
        Located to;
        struct stat st {};
        if (!Locate(model, from) || !StatAt(from, st) || !Locate(file, to)) return false;
        return ChangeMode(to, [&st](mode_t) { return st.st_mode & 0777; });
    }

    // Folders ---------------------------------------------------------------

    std::uint32_t FindEntry(const std::string& name, std::uint32_t attributeMask) override {
        Located at;
        if (!Locate(name, at)) return linuxerr::ThreadLastError();
        struct stat st {};
        if (fstatat(at.folder, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return linuxerr::SetThreadLastErrorFromErrno(errno);
        // A link counts as what it names; a dangling one as a plain file.
        // Below the checked folder a link is not followed at all.
        if (S_ISLNK(st.st_mode) && at.beneath) return linuxerr::SetThreadLastErrorFromErrno(ELOOP);
        struct stat target {};
        if (S_ISLNK(st.st_mode) && stat(name.c_str(), &target) == 0) st = target;
        const std::uint32_t special =
            AttributesOf(name, st) & (kFileAttributeHidden | kFileAttributeSystem | kFileAttributeDirectory);
        if ((special & ~attributeMask) != 0) {
            linuxerr::SetThreadLastError(kErrorFileNotFoundCode);
            return kErrorFileNotFoundCode;
        }
        linuxerr::SetThreadLastError(0);
        return 0;
    }

    bool CreateDirectory(const std::string& name) override {
        Located at;
        if (!Locate(name, at)) return false;
        if (mkdirat(at.folder, at.name.c_str(), 0777) != 0)
            return errno == EEXIST ? Fail(kErrorAlreadyExists) : FailErrno(errno);
        return Succeed();
    }

    bool RemoveDirectory(const std::string& name) override {
        Located at;
        if (!Locate(name, at)) return false;
        struct stat st {};
        if (at.beneath && fstatat(at.folder, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            return FailErrno(ELOOP);
        if (unlinkat(at.folder, at.name.c_str(), AT_REMOVEDIR) != 0)
            return FailErrno(errno == EEXIST ? ENOTEMPTY : errno);
        return Succeed();
    }

    // As GetTempFileName: prefix, a hexadecimal number from 1 to FFFF that
    // starts from the clock and moves on past names already taken, ".TMP".
    std::string TempFileName(const std::string& folder, const std::string& prefix) override {
        std::string base = folder;
        if (base.empty()) {
            char cwd[4096];
            if (getcwd(cwd, sizeof cwd) == nullptr) {
                FailErrno(errno);
                return {};
            }
            base = cwd;
        }
        Located at;
        if (!Locate(base, at)) return {};
        const int where = at.beneath ? OpenFolderBeneath(at.folder, at.name)
                                     : open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (where < 0) {
            FailErrno(errno);
            return {};
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        unsigned number = static_cast<unsigned>((now.tv_sec * 1000 + now.tv_nsec / 1000000) & 0xFFFF);
        const std::string stem = prefix.substr(0, 3);
        for (unsigned tries = 0; tries < 0xFFFF; ++tries, ++number) {
            number &= 0xFFFF;
            if (number == 0) number = 1;
            char name[32];
            std::snprintf(name, sizeof name, "%X.TMP", number);
            const int fd = openat(where, (stem + name).c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
            if (fd >= 0) {
                close(fd);
                close(where);
                Succeed();
                return Join(base, stem + name);
            }
            if (errno != EEXIST) {
                const int error = errno;
                close(where);
                FailErrno(error);
                return {};
            }
        }
        close(where);
        Fail(kErrorFileExists);
        return {};
    }

    // The user's own temporary folder, never a shared one such as /tmp:
    // the update log and the staged update files live here, where no other
    // user can plant or swap a file. "$XDG_CACHE_HOME/restlevel/tmp/"
    // (~/.cache when that is unset or not absolute); missing folders are
    // made private (0700). The cache folder and every folder above it, as
    // written and as resolved, must be root's or ours and writable by nobody
    // else (root's sticky folders aside); our two folders must be our own
    // real folders closed to everyone else. Otherwise there is no temporary
    // folder at all. The checked folder stays open: later calls below it
    // start from it and follow no link.
    std::string TempPath() override {
        const std::string cache = CacheHome();
        if (cache.empty()) {
            Fail(kErrorPathNotFoundCode);
            return {};
        }
        if (const int error = MakePrivateFolders(cache); error != 0) {
            FailErrno(error);
            return {};
        }
        char* real = realpath(cache.c_str(), nullptr);
        if (real == nullptr) {
            FailErrno(errno);
            return {};
        }
        const std::string resolved = real;
        std::free(real);
        if (!SafeAncestors(cache) || !SafeAncestors(resolved)) {
            Fail(kErrorAccessDenied);
            return {};
        }
        int folder = open(resolved.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        for (const char* name : {"restlevel", "tmp"}) {
            if (folder < 0) break;
            if (mkdirat(folder, name, 0700) != 0 && errno != EEXIST) {
                const int error = errno;
                close(folder);
                folder = -1;
                errno = error;
                break;
            }
            const int next = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            const int error = errno;
            close(folder);
            folder = next;
            errno = error;
            struct stat st {};
            if (folder >= 0 && (fstat(folder, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0)) {
                close(folder);
                folder = -1;
                errno = EACCES;
            }
        }
        if (folder < 0) {
            Fail(errno == ELOOP || errno == ENOTDIR || errno == EACCES ? kErrorAccessDenied
                                                                       : linuxerr::WinErrorFromErrno(errno));
            return {};
        }
        if (tempFd_ >= 0) close(tempFd_);
        tempFd_ = folder;
        tempPath_ = Join(Join(cache, "restlevel"), "tmp") + "/";
        Succeed();
        return tempPath_;
    }

    std::string ComputerName() override {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) != 0) {
            FailErrno(errno);
            return {};
        }
        Succeed();
        return name;
    }

    // Times -----------------------------------------------------------------

    // Through the zone's rules for that date, not only today's offset.
    bool FileTimeToLocalFileTime(FileTime utc, FileTime& local) override {
        const auto ticks = static_cast<std::int64_t>(utc);
        if (ticks < 0) return Fail(kErrorInvalidParameter);
        const auto seconds = static_cast<time_t>(ticks / kTicksPerSecond - kFileEpochSeconds);
        tzset();
        std::tm tm{};
        if (localtime_r(&seconds, &tm) == nullptr) return FailErrno(errno);
        const std::int64_t result = ticks + static_cast<std::int64_t>(tm.tm_gmtoff) * kTicksPerSecond;
        if (result < 0) return Fail(kErrorInvalidParameter);
        local = static_cast<FileTime>(result);
        return Succeed();
    }

    bool LocalFileTimeToFileTime(FileTime local, FileTime& utc) override {
        const auto ticks = static_cast<std::int64_t>(local);
        if (ticks < 0) return Fail(kErrorInvalidParameter);
        const auto wall = static_cast<time_t>(ticks / kTicksPerSecond - kFileEpochSeconds);
        std::tm tm{};
        if (gmtime_r(&wall, &tm) == nullptr) return FailErrno(errno);
        // The zone decides whether summer time applies on that date.
        tm.tm_isdst = -1;
        tm.tm_wday = -1;
        const time_t seconds = mktime(&tm);
        if (tm.tm_wday == -1) return Fail(kErrorInvalidParameter);
        const std::int64_t result = (static_cast<std::int64_t>(seconds) + kFileEpochSeconds) * kTicksPerSecond +
                                    ticks % kTicksPerSecond;
        if (result < 0) return Fail(kErrorInvalidParameter);
        utc = static_cast<FileTime>(result);
        return Succeed();
    }

    SystemTime LocalTime() override {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        tzset();
        std::tm tm{};
        localtime_r(&now.tv_sec, &tm);
        return linuxtime::FromTm(tm, static_cast<std::uint16_t>(now.tv_nsec / 1000000));
    }

    // Version information -------------------------------------------------

    // Linux programs carry no version resource; the installed desktop entry
    // that starts the file is what describes it, and its Name stands for the
    // file description.
    bool ReadVersionResource(const std::string& file, std::vector<std::uint8_t>& resource) override {
        struct stat target {};
        if (stat(file.c_str(), &target) != 0) return FailErrno(errno);
        std::set<std::string> seen;  // desktop-file ids: the first folder wins
        for (const std::string& folder : ApplicationFolders()) {
            for (const auto& [id, path] : DesktopFiles(folder)) {
                if (!seen.insert(id).second) continue;
                DesktopEntry entry;
                if (!ReadDesktopEntry(path, entry) || entry.hidden || entry.type != "Application" ||
                    entry.name.empty())
                    continue;
                std::string program = ExecProgram(entry.exec);
                if (!program.empty() && program.find('/') == std::string::npos) program = FindInPath(program);
                if (program.empty() || !SameFile(program, target)) continue;
                resource.assign(kResourceTag, kResourceTag + kResourceTagSize);
                resource.insert(resource.end(), entry.name.begin(), entry.name.end());
                return Succeed();
            }
        }
        return Fail(kErrorResourceTypeNotFound);
    }

    bool QueryVersionValue(const std::vector<std::uint8_t>& resource, const std::string& subBlock,
                           std::vector<std::uint8_t>& value) override {
        if (resource.size() < kResourceTagSize ||
            !std::equal(kResourceTag, kResourceTag + kResourceTagSize, resource.begin()))
            return Fail(kErrorInvalidParameter);
        if (EqualsNoCase(subBlock, "\\VarFileInfo\\Translation")) {
            // U.S. English, Unicode: the one translation there is.
            value = {0x09, 0x04, 0xB0, 0x04};
            return Succeed();
        }
        if (EqualsNoCase(subBlock, "\\StringFileInfo\\040904B0\\FileDescription")) {
            value.assign(resource.begin() + static_cast<std::ptrdiff_t>(kResourceTagSize), resource.end());
            value.push_back(0);
            return Succeed();
        }
        return Fail(kErrorResourceTypeNotFound);
    }

    // Processes and threads -------------------------------------------------

    bool ShellExecute(const ShellExecuteRequest& request, SysHandle& process) override {
        process = kInvalidHandle;
        std::vector<std::string> argv;
        std::string program;
        bool handler = false;
        const std::uint32_t refusal = PlanExecution(request, program, argv, handler);
        if (refusal != 0) return Fail(refusal);
        const bool keep = (request.Mask & kSeeMaskNoCloseProcess) != 0;

        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        const char* directory = request.Directory.empty() ? nullptr : request.Directory.c_str();

        int report[2];
        if (pipe2(report, O_CLOEXEC) != 0) return FailErrno(errno);
        const pid_t pid = fork();
        if (pid < 0) {
            const int error = errno;
            close(report[0]);
            close(report[1]);
            return FailErrno(error);
        }
        if (pid == 0) {
            close(report[0]);
            if (keep) ExecChild(program.c_str(), args.data(), directory, report[1]);
            // Not waited for: a middle process starts the program and ends at
            // once, so the program belongs to init and leaves no zombie here.
            const pid_t grandchild = fork();
            if (grandchild == 0) ExecChild(program.c_str(), args.data(), directory, report[1]);
            if (grandchild < 0) {
                const int error = errno;
                while (write(report[1], &error, sizeof error) < 0 && errno == EINTR) {
                }
            }
            _exit(0);
        }
        close(report[1]);
        int error = 0;
        std::size_t got = 0;
        ReadAll(report[0], &error, sizeof error, got);
        close(report[0]);
        if (got != sizeof error) error = 0;

        if (!keep || error != 0) {
            siginfo_t info{};
            while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED) != 0 && errno == EINTR) {
            }
        }
        if (error != 0) {
            // No handler program for a document or a verb.
            if (error == ENOENT && handler) return Fail(kErrorNoAssociation);
            return FailErrno(error);
        }
        if (!keep) return Succeed();

        const int fd = PidfdOpen(pid);
        if (fd < 0) {
            // No handle to give: the child is still reaped when it ends.
            std::thread([pid] {
                siginfo_t info{};
                while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED) != 0 && errno == EINTR) {
                }
            }).detach();
            return Succeed();
        }
        HandleEntry entry;
        entry.kind = HandleKind::Process;
        entry.pid = pid;
        entry.ownChild = true;
        handles_[fd] = entry;
        process = static_cast<SysHandle>(fd);
        return Succeed();
    }

    // Started and not waited for; the plain form's codes are the small ones
    // of the file errors, anything else reads as "no association" (31).
    std::intptr_t ShellExecuteCode(WindowHandle owner, const std::string& verb, const std::string& file,
                                   const std::string& parameters, const std::string& directory, int show) override {
        ShellExecuteRequest request;
        request.Owner = owner;
        request.Verb = verb;
        request.File = file;
        request.Parameters = parameters;
        request.Directory = directory;
        request.Show = show;
        SysHandle process = kInvalidHandle;
        if (ShellExecute(request, process)) return kShellStarted;
        const std::uint32_t code = linuxerr::ThreadLastError();
        return code != 0 && code <= static_cast<std::uint32_t>(kShellExecuteErrorLimit) ? static_cast<std::intptr_t>(code)
                                                                                         : kShellNoAssociation;
    }

    // Any thread id is visible as /proc/<tid>; the handle is a descriptor of
    // its task folder, which keeps naming that very thread even when the id
    // is reused after it ends.
    SysHandle OpenThread(std::uint32_t, std::uint32_t threadId) override {
        const pid_t group = threadId == 0 ? 0 : ThreadGroupOf(threadId);
        if (group == 0) {
            Fail(kErrorInvalidParameter);
            return kInvalidHandle;
        }
        const std::string task = "/proc/" + std::to_string(group) + "/task/" + std::to_string(threadId);
        const int fd = open(task.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            Fail(kErrorInvalidParameter);
            return kInvalidHandle;
        }
        HandleEntry entry;
        entry.kind = HandleKind::Thread;
        entry.pid = group;
        entry.tid = static_cast<pid_t>(threadId);
        handles_[fd] = entry;
        Succeed();
        return static_cast<SysHandle>(fd);
    }

    SysHandle OpenProcess(std::uint32_t access, std::uint32_t processId) override {
        if (processId == 0 || processId > static_cast<std::uint32_t>(std::numeric_limits<pid_t>::max())) {
            Fail(kErrorInvalidParameter);
            return kInvalidHandle;
        }
        const auto pid = static_cast<pid_t>(processId);
        const int fd = PidfdOpen(pid);
        if (fd < 0) {
            Fail(errno == EPERM ? kErrorAccessDenied : kErrorInvalidParameter);
            return kInvalidHandle;
        }
        // Opening for termination needs the right to signal it, as Windows
        // checks the access asked for when opening.
        if ((access & kProcessTerminate) != 0 && PidfdSignal(fd, 0) != 0 && errno == EPERM) {
            close(fd);
            Fail(kErrorAccessDenied);
            return kInvalidHandle;
        }
        HandleEntry entry;
        entry.kind = HandleKind::Process;
        entry.pid = pid;
        handles_[fd] = entry;
        Succeed();
        return static_cast<SysHandle>(fd);
    }

    std::uint32_t WaitForObject(SysHandle handle, std::uint32_t milliseconds) override {
        const auto found = handles_.find(ToFd(handle));
        if (found == handles_.end() || found->second.kind == HandleKind::File) {
            Fail(kErrorInvalidHandle);
            return kWaitFailed;
        }
        const int fd = found->first;
        HandleEntry& entry = found->second;
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        const auto left = [&]() -> int {
            if (milliseconds == kInfinite) return -1;
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            return static_cast<int>(std::max<std::int64_t>(ms, 0));
        };
        if (entry.kind == HandleKind::Thread) {
            for (;;) {
                if (ThreadEnded(fd)) return kWaitObject0;
                const int remaining = left();
                if (remaining == 0) return kWaitTimeout;
                const auto step = remaining < 0 ? kThreadPollMs : std::min<std::uint32_t>(kThreadPollMs, remaining);
                SleepMs(step);
            }
        }
        if (entry.reaped) return kWaitObject0;
        for (;;) {
            // A pidfd reads as ready once its process has ended.
            pollfd p{fd, POLLIN, 0};
            const int n = poll(&p, 1, left());
            if (n > 0) return kWaitObject0;
            if (n == 0) return kWaitTimeout;
            if (errno != EINTR) {
                FailErrno(errno);
                return kWaitFailed;
            }
        }
    }

    // A child we started is reaped here once it has ended, and its code is
    // kept. Another process's code cannot be read once it has ended unless
    // it is a child of ours still unreaped; otherwise it reads as 0.
    bool GetExitCodeProcess(SysHandle process, std::uint32_t& code) override {
        const auto found = handles_.find(ToFd(process));
        if (found == handles_.end() || found->second.kind != HandleKind::Process) return Fail(kErrorInvalidHandle);
        HandleEntry& entry = found->second;
        if (!entry.reaped) {
            pollfd p{found->first, POLLIN, 0};
            if (poll(&p, 1, 0) == 0) {
                code = kStillActive;
                return Succeed();
            }
            siginfo_t info{};
            const int options = WEXITED | WNOHANG | (entry.ownChild ? 0 : WNOWAIT);
            const bool ended = waitid(P_PIDFD, static_cast<id_t>(found->first), &info, options) == 0 && info.si_pid != 0;
            std::uint32_t result = ended ? CodeOf(info) : 0;
            // Windows gives the code TerminateProcess was given.
            if (entry.terminated && ended && info.si_code == CLD_KILLED && info.si_status == SIGKILL)
                result = entry.terminateCode;
            if (!entry.ownChild) {
                code = result;
                return Succeed();
            }
            if (!ended) {
                // Ended but not yet reapable: report it as running.
                code = kStillActive;
                return Succeed();
            }
            entry.reaped = true;
            entry.exitCode = result;
        }
        code = entry.exitCode;
        return Succeed();
    }

    // Linux keeps no thread exit codes: 0 once the thread has ended.
    bool GetExitCodeThread(SysHandle thread, std::uint32_t& code) override {
        const auto found = handles_.find(ToFd(thread));
        if (found == handles_.end() || found->second.kind != HandleKind::Thread) return Fail(kErrorInvalidHandle);
        code = ThreadEnded(found->first) ? 0 : kStillActive;
        return Succeed();
    }

    bool TerminateProcess(SysHandle process, std::uint32_t exitCode) override {
        const auto found = handles_.find(ToFd(process));
        if (found == handles_.end() || found->second.kind != HandleKind::Process) return Fail(kErrorInvalidHandle);
        HandleEntry& entry = found->second;
        // A process that has ended and been reaped cannot be terminated;
        // Windows answers that with access denied.
        if (entry.reaped) return Fail(kErrorAccessDenied);
        if (PidfdSignal(found->first, SIGKILL) != 0)
            return Fail(errno == ESRCH || errno == EPERM ? kErrorAccessDenied : linuxerr::WinErrorFromErrno(errno));
        if (!entry.terminated) {
            entry.terminated = true;
            entry.terminateCode = exitCode;
        }
        return Succeed();
    }

    // Closing a child's handle reaps it when it has ended; one still running
    // is left to a thread that reaps it when it ends, so that no zombie
    // stays behind.
    bool CloseHandle(SysHandle handle) override {
        const auto found = handles_.find(ToFd(handle));
        if (found == handles_.end()) return Fail(kErrorInvalidHandle);
        const int fd = found->first;
        const HandleEntry entry = found->second;
        handles_.erase(found);
        if (entry.kind == HandleKind::Process && entry.ownChild && !entry.reaped) {
            siginfo_t info{};
            if (waitid(P_PIDFD, static_cast<id_t>(fd), &info, WEXITED | WNOHANG) != 0 || info.si_pid == 0) {
                const pid_t pid = entry.pid;
                std::thread([pid] {
                    siginfo_t ended{};
                    while (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED) != 0 && errno == EINTR) {
                    }
                }).detach();
            }
        }
        if (close(fd) != 0 && errno != EINTR) return FailErrno(errno);
        return Succeed();
    }

    // The Linux program ends its event loop in order on SIGTERM, which goes
    // to the thread's whole process.
    bool PostQuitToThread(std::uint32_t threadId) override {
        const pid_t group = threadId == 0 ? 0 : ThreadGroupOf(threadId);
        if (group == 0) return Fail(kErrorInvalidParameter);
        if (kill(group, SIGTERM) != 0)
            return Fail(errno == EPERM ? kErrorAccessDenied : kErrorInvalidParameter);
        return Succeed();
    }

    void Sleep(std::uint32_t milliseconds) override { SleepMs(milliseconds); }

private:
    std::map<int, HandleEntry> handles_;
    // The temporary folder as last checked, held open, and its path with
    // the final '/'.
    int tempFd_ = -1;
    std::string tempPath_;

    // Where a path is reached (see Located): below the temporary folder of
    // the current environment, from its checked descriptor (checked now if
    // it has not been); a path there that cannot be reached without a link
    // fails. False with the error set.
    bool Locate(const std::string& path, Located& at) {
        at.name = path;
        const std::string cache = CacheHome();
        if (cache.empty()) return true;
        const std::string prefix = Join(Join(cache, "restlevel"), "tmp") + "/";
        if (path.compare(0, prefix.size(), prefix) != 0) return true;
        // The held folder only while its path still names it; otherwise the
        // path is checked afresh.
        struct stat held {};
        struct stat named {};
        const bool same = tempFd_ >= 0 && tempPath_ == prefix && fstat(tempFd_, &held) == 0 &&
                          stat(prefix.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                          held.st_ino == named.st_ino;
        if (!same && TempPath().empty()) return Fail(kErrorAccessDenied);
        std::string rest = path.substr(prefix.size());
        while (!rest.empty() && rest.back() == '/') rest.pop_back();
        const std::size_t slash = rest.rfind('/');
        at.name = slash == std::string::npos ? rest : rest.substr(slash + 1);
        if (at.name.empty()) at.name = ".";
        if (at.name == "..") return Fail(kErrorAccessDenied);
        at.beneath = true;
        at.folder = OpenFolderBeneath(tempFd_, slash == std::string::npos ? std::string() : rest.substr(0, slash));
        if (at.folder < 0) return errno == EXDEV ? Fail(kErrorAccessDenied) : FailErrno(errno);
        return true;
    }

    // stat as the calls by name do it: a link is followed, except below the
    // checked folder, where it is refused.
    static bool StatAt(const Located& at, struct stat& st) {
        if (fstatat(at.folder, at.name.c_str(), &st, at.AtNoFollow()) != 0) return FailErrno(errno);
        if (S_ISLNK(st.st_mode)) return FailErrno(ELOOP);
        return true;
    }

    // Sets the permission bits that `change` makes of the current ones; below
    // the checked folder on the file itself, reached without a link.
    template <typename Change>
    static bool ChangeMode(const Located& at, Change change) {
        if (!at.beneath) {
            struct stat st {};
            if (stat(at.name.c_str(), &st) != 0) return FailErrno(errno);
            if (chmod(at.name.c_str(), change(st.st_mode)) != 0) return FailErrno(errno);
            return Succeed();
        }
        const int fd = openat(at.folder, at.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return FailErrno(errno);
        struct stat st {};
        int error = fstat(fd, &st) != 0 ? errno : S_ISLNK(st.st_mode) ? ELOOP : 0;
        // A path descriptor cannot be changed itself; its /proc name reaches
        // the very file it holds.
        if (error == 0 && chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), change(st.st_mode)) != 0)
            error = errno;
        close(fd);
        return error == 0 ? Succeed() : FailErrno(error);
    }

    static int ToFd(SysHandle handle) {
        return handle > static_cast<SysHandle>(std::numeric_limits<int>::max()) ? -1 : static_cast<int>(handle);
    }

    int FdOf(SysHandle handle, HandleKind kind) const {
        const auto found = handles_.find(ToFd(handle));
        return found != handles_.end() && found->second.kind == kind ? found->first : -1;
    }

    // $XDG_CACHE_HOME, or ~/.cache; empty when neither can be found.
    static std::string CacheHome() {
        const char* cache = std::getenv("XDG_CACHE_HOME");
        if (cache != nullptr && cache[0] == '/') return cache;
        std::string home;
        if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
            home = env;
        } else {
            std::vector<char> buffer(16384);
            passwd entry{};
            passwd* found = nullptr;
            if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
                found->pw_dir != nullptr && found->pw_dir[0] == '/')
                home = found->pw_dir;
        }
        return home.empty() ? std::string() : Join(home, ".cache");
    }

    // Makes a folder and its missing parents, each new one 0700; 0 or an
    // errno.
    static int MakePrivateFolders(const std::string& folder) {
        for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
            const std::string part = folder.substr(0, slash);
            if (!part.empty() && part.back() != '/' && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
                return errno;
            if (slash == std::string::npos) return 0;
        }
    }

    static void SleepMs(std::uint32_t milliseconds) {
        timespec want{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
        timespec left{};
        while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
    }

    // Ended once its task folder is gone or it is a zombie (Z) or dead (X).
    static bool ThreadEnded(int taskFd) {
        const int fd = openat(taskFd, "stat", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return true;
        char buffer[512];
        std::size_t got = 0;
        const bool ok = ReadAll(fd, buffer, sizeof buffer - 1, got);
        close(fd);
        if (!ok || got == 0) return true;
        buffer[got] = '\0';
        // "tid (name) S ...": the name may hold anything, so the state
        // follows the last ')'.
        const char* end = std::strrchr(buffer, ')');
        if (end == nullptr || end[1] == '\0' || end[2] == '\0') return true;
        return end[2] == 'Z' || end[2] == 'X';
    }

    // 0 or an errno.
    static int CopyContents(int in, int out) {
        for (;;) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
            if (n == 0) return 0;
            if (n > 0) continue;
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EPERM) break;
            return errno;
        }
        // Plain reads and writes where the kernel cannot copy for us; both
        // files' positions have moved on with what was copied so far.
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const ssize_t n = read(in, buffer.data(), buffer.size());
            if (n == 0) return 0;
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            std::size_t done = 0;
            while (done < static_cast<std::size_t>(n)) {
                const ssize_t w = write(out, buffer.data() + done, static_cast<std::size_t>(n) - done);
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) return errno;
                done += static_cast<std::size_t>(w);
            }
        }
    }

    // 0 or an errno; without overwriting, an existing name gives EEXIST.
    static int Rename(int fromFolder, const std::string& from, int toFolder, const std::string& to,
                      bool failIfExists) {
        if (!failIfExists) return renameat(fromFolder, from.c_str(), toFolder, to.c_str()) == 0 ? 0 : errno;
        if (renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
        if (errno != EINVAL && errno != ENOSYS) return errno;
        // A file system without the no-replace rename: a link cannot
        // replace a name either.
        if (linkat(fromFolder, from.c_str(), toFolder, to.c_str(), 0) != 0) return errno;
        unlinkat(fromFolder, from.c_str(), 0);
        return 0;
    }

    // The desktop files under an applications folder with their ids (the
    // path below the folder with '/' as '-'), sorted for a stable order.
    static std::vector<std::pair<std::string, std::string>> DesktopFiles(const std::string& folder) {
        namespace fs = std::filesystem;
        std::vector<std::pair<std::string, std::string>> files;
        std::error_code ec;
        fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
        for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            const fs::path& path = it->path();
            if (path.extension() != ".desktop" || !it->is_regular_file(ec)) continue;
            std::string id = path.lexically_relative(folder).string();
            std::replace(id.begin(), id.end(), '/', '-');
            files.emplace_back(id, path.string());
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    // What to run for a request: 0 and the program with its arguments, or
    // the Windows code of the refusal.
    // handler: the program is the desktop's opener or the elevation tool.
    static std::uint32_t PlanExecution(const ShellExecuteRequest& request, std::string& program,
                                       std::vector<std::string>& argv, bool& handler) {
        const bool open = request.Verb.empty() || EqualsNoCase(request.Verb, "open");
        const bool elevated = EqualsNoCase(request.Verb, "runas");
        if (!open && !elevated) return kErrorNoAssociation;
        if (request.File.empty()) return kErrorFileNotFoundCode;

        // A relative name is looked for in the working folder first, as the
        // program will run there, then here, then (a bare name) on PATH.
        std::string target;
        struct stat st {};
        const std::string& file = request.File;
        if (file[0] != '/' && !request.Directory.empty() && stat(Join(request.Directory, file).c_str(), &st) == 0)
            target = Join(request.Directory, file);
        else if (stat(file.c_str(), &st) == 0)
            target = file;
        else if (file.find('/') == std::string::npos)
            target = FindInPath(file);
        if (!target.empty() && target[0] != '/') {
            char cwd[4096];
            if (getcwd(cwd, sizeof cwd) != nullptr) target = Join(cwd, target);
        }

        const std::vector<std::string> params = SplitCommandLine(request.Parameters);
        const bool executable = !target.empty() && IsExecutableFile(target);
        // Nothing is run as another user here: a root run of a program the
        // user could have replaced is no elevation but a gift.
        if (elevated) return kErrorNoAssociation;
        if (executable) {
            program = target;
            argv = {file};
            argv.insert(argv.end(), params.begin(), params.end());
            return 0;
        }
        // A document, a folder or a URL goes to the desktop's opener.
        if (target.empty() && !LooksLikeUrl(file)) {
            errno = 0;
            stat(file.c_str(), &st);
            return errno == ENOTDIR ? kErrorPathNotFoundCode : kErrorFileNotFoundCode;
        }
        program = FindInPath("xdg-open");
        if (program.empty()) return kErrorNoAssociation;
        argv = {program, target.empty() ? file : target};
        handler = true;
        return 0;
    }
};

}  // namespace

std::vector<std::string> SplitWindowsCommandLine(const std::string& line) { return SplitCommandLine(line); }

std::unique_ptr<IFileSystem> CreateFileSystem() { return std::make_unique<LinuxFileSystem>(); }

}  // namespace rl
