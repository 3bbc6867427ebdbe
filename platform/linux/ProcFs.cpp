#include "platform/linux/ProcFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_set>

namespace rl::procfs {

namespace {

// A toolhelp-style entry name field holds at most 259 characters.
constexpr std::size_t kMaxPath = 259;
// Toolhelp reports 0xFFFF for the module load counts on NT; Linux has no
// counterpart either.
constexpr std::uint32_t kNoUsageCount = 0xFFFF;

// The kernel marks the link of an unlinked file; the path it names is
// still the one the program was started from.
constexpr std::string_view kDeleted = " (deleted)";

void StripDeleted(std::string& path) {
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
}

std::string FileName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ParseUnsigned(std::string_view text, std::uint32_t& value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// Reads a whole small file; false when it cannot be opened.
bool ReadFile(const char* path, std::string& content) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

std::string ReadLink(const char* path) {
    char buffer[4096];
    const ssize_t n = readlink(path, buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
    std::string target(buffer, static_cast<std::size_t>(n));
    StripDeleted(target);
    return target;
}

// Numeric entries of a /proc directory.
template <typename F>
void ForEachNumericEntry(const char* dirPath, F&& f) {
    DIR* dir = opendir(dirPath);
    if (dir == nullptr) return;
    while (const dirent* e = readdir(dir)) {
        std::uint32_t id = 0;
        if (ParseUnsigned(e->d_name, id)) f(id);
    }
    closedir(dir);
}

struct Stat {
    std::string comm;
    std::uint32_t ppid = 0;
    long nice = 0;
};

// /proc/<pid>/stat: "pid (comm) state ppid ...". The name may hold spaces
// and parentheses itself, so the fields after it are found from the last ')'.
bool ReadStat(std::uint32_t pid, Stat& stat) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    std::string text;
    if (!ReadFile(path, text)) return false;
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    stat.comm = text.substr(open + 1, close - open - 1);
    // Fields after the name, counted from 3 (state) as proc(5) does.
    int field = 2;
    std::size_t pos = close + 1;
    while (pos < text.size()) {
        while (pos < text.size() && text[pos] == ' ') ++pos;
        const std::size_t end = text.find(' ', pos);
        const std::string_view token(text.data() + pos, (end == std::string::npos ? text.size() : end) - pos);
        ++field;
        if (field == 4) ParseUnsigned(token, stat.ppid);
        if (field == 19) {
            stat.nice = std::strtol(std::string(token).c_str(), nullptr, 10);
            break;
        }
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return true;
}

}  // namespace

bool Available() { return access("/proc/self/stat", R_OK) == 0; }

std::string ExecutablePath(std::uint32_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/exe", pid);
    return ReadLink(path);
}

std::vector<ProcessEntry> ReadProcesses() {
    std::vector<ProcessEntry> processes;
    ForEachNumericEntry("/proc", [&](std::uint32_t pid) {
        Stat stat;
        if (!ReadStat(pid, stat)) return;  // ended meanwhile
        ProcessEntry entry;
        entry.ProcessID = pid;
        const std::string exe = ExecutablePath(pid);
        entry.ExeFile = exe.empty() ? stat.comm : FileName(exe);
        if (entry.ExeFile.size() > kMaxPath) entry.ExeFile.resize(kMaxPath);
        entry.ParentProcessID = stat.ppid;
        // Higher means more CPU, as with Windows' base priority: nice 0 is
        // 20, nice -20 is 40 and nice 19 is 1.
        entry.PriorityBase = static_cast<std::int32_t>(20 - stat.nice);
        processes.push_back(std::move(entry));
    });
    return processes;
}

std::vector<ThreadEntry> ReadThreads() {
    std::vector<ThreadEntry> threads;
    ForEachNumericEntry("/proc", [&](std::uint32_t pid) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%u/task", pid);
        ForEachNumericEntry(path, [&](std::uint32_t tid) { threads.push_back({pid, tid}); });
    });
    return threads;
}

std::optional<std::vector<ModuleEntry>> ReadModules(std::uint32_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u", pid);
    struct stat st {};
    if (::stat(path, &st) != 0) return std::nullopt;

    std::vector<ModuleEntry> modules;
    const std::string exe = ExecutablePath(pid);
    if (exe.empty()) return modules;

    auto add = [&](const std::string& file, ModuleHandleValue base) {
        ModuleEntry m;
        m.ModuleID = 1;
        m.ProcessID = pid;
        m.GlobalUsage = kNoUsageCount;
        m.ProcessUsage = kNoUsageCount;
        m.Module = base;
        m.ModuleName = FileName(file);
        m.ExePath = file;
        modules.push_back(std::move(m));
    };
    add(exe, 0);

    std::snprintf(path, sizeof path, "/proc/%u/maps", pid);
    std::string maps;
    if (!ReadFile(path, maps)) return modules;
    std::unordered_set<std::string_view> seen;
    std::size_t pos = 0;
    while (pos < maps.size()) {
        std::size_t eol = maps.find('\n', pos);
        if (eol == std::string::npos) eol = maps.size();
        const std::string_view line(maps.data() + pos, eol - pos);
        pos = eol + 1;
        // "start-end perms offset dev inode   path": the path starts at the
        // first '/' after the five fields and may hold spaces.
        std::size_t field = 0, i = 0;
        while (i < line.size() && field < 5) {
            while (i < line.size() && line[i] != ' ') ++i;
            while (i < line.size() && line[i] == ' ') ++i;
            ++field;
        }
        if (field < 5 || i >= line.size() || line[i] != '/') continue;
        std::string file(line.substr(i));
        StripDeleted(file);
        std::uintptr_t start = 0;
        const std::size_t dash = line.find('-');
        if (dash != std::string_view::npos) std::from_chars(line.data(), line.data() + dash, start, 16);
        if (file == exe) {
            if (modules.front().Module == 0) modules.front().Module = start;
            continue;
        }
        if (!seen.insert(line.substr(i)).second) continue;
        add(file, start);
    }
    return modules;
}

}  // namespace rl::procfs
