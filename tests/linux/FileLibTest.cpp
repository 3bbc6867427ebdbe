// The file utilities over the Linux files-and-processes adapter: copies and
// their times, inflating zlib streams made by Python, folders and temporary
// files, path resolution, desktop entries as version strings, and starting,
// waiting for and closing real processes. Needs no test services.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/TextSystem.h"
#include "platform/linux/ErrorCodes.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"
#include "tests/linux/LinuxTestSupport.h"

extern char** environ;

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::Run;
using linuxtest::ReadFile;
using linuxtest::ScopedEnv;
using linuxtest::WriteFile;
namespace fs = std::filesystem;

constexpr double kUnixEpochDays = 25569.0;  // 1 January 1970 as a date-time

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// A path's permission bits, the link's target's for a link; -1 without it.
int ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Text lines and stretches of random bytes, so that the stream has both
// compressed and stored blocks.
std::string MixedData(std::size_t size, std::uint32_t start) {
    std::string data;
    data.reserve(size + 256);
    std::uint32_t state = start;
    const auto next = [&state] { return state = state * 1664525u + 1013904223u; };
    int line = 0;
    while (data.size() < size) {
        if (next() % 4 == 0) {
            const std::size_t n = 512 + next() % 4096;
            for (std::size_t i = 0; i < n; ++i) data += static_cast<char>(next() >> 24);
        } else {
            data += "line " + std::to_string(++line) + ": RestLevel update package, file times kept\n";
        }
    }
    data.resize(size);
    return data;
}

// The zlib stream Python's zlib module makes of the data.
std::string PythonCompress(const std::string& data, const std::string& folder) {
    const std::string in = folder + "/plain.bin";
    const std::string out = folder + "/packed.z";
    WriteFile(in, data);
    const auto r = Run("python3 -c 'import sys,zlib; open(sys.argv[2],\"wb\").write(zlib.compress(open(sys.argv[1],"
                       "\"rb\").read()))' '" + in + "' '" + out + "'");
    EXPECT_EQ(r.status, 0) << "python3 could not compress";
    return ReadFile(out);
}

// A local date-time as the program gives one (days since 30 December 1899).
double LocalDateTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<double>(timegm(&tm)) / 86400.0 + kUnixEpochDays;
}

// The same wall-clock time as a UTC date-time, through the C library's zone.
double UtcDateTimeOfLocal(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    tzset();
    return static_cast<double>(mktime(&tm)) / 86400.0 + kUnixEpochDays;
}

struct statx StatX(const std::string& path) {
    struct statx st {};
    statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st);
    return st;
}

// Children of this process that have ended and were never reaped.
std::vector<pid_t> ZombieChildren() {
    std::vector<pid_t> zombies;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = ReadFile("/proc/" + name + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int parent = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == getpid() &&
            state == 'Z')
            zombies.push_back(std::stoi(name));
    }
    return zombies;
}

// A process started here (not through the adapter), reaped by the test.
pid_t Spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    std::vector<std::string> copy = argv;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0 ? pid : -1;
}

std::vector<std::string> SplitAtZeros(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t zero = text.find('\0'); zero != std::string::npos; zero = text.find('\0', start)) {
        parts.push_back(text.substr(start, zero - start));
        start = zero + 1;
    }
    return parts;
}

class FileLibTest : public linuxtest::FilesAdapterTest {};

// Copies ------------------------------------------------------------------

TEST_F(FileLibTest, CopyOntoAnExistingFileReplacesItWithTheSourcesTimes) {
    const std::string source = Path("new.bin");
    const std::string destination = Path("installed.bin");
    const std::string content = MixedData(300000, 7);
    WriteFile(source, content);
    WriteFile(destination, std::string(500000, 'x'));
    // Times with whole microseconds survive the 100-ns file times exactly.
    const timespec times[2] = {{1583056800, 123456000}, {1614592800, 654321000}};
    ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    const auto oldInode = StatX(destination).stx_ino;
    const std::time_t before = std::time(nullptr);

    ASSERT_TRUE(CopyFileWithTimes(source, destination, false));
    EXPECT_EQ(FileLastStep, "") << FileLastError;

    // Times first: reading the copy would move its access time.
    const struct statx copied = StatX(destination);
    EXPECT_EQ(copied.stx_atime.tv_sec, times[0].tv_sec);
    EXPECT_EQ(copied.stx_atime.tv_nsec, static_cast<std::uint32_t>(times[0].tv_nsec));
    EXPECT_EQ(copied.stx_mtime.tv_sec, times[1].tv_sec);
    EXPECT_EQ(copied.stx_mtime.tv_nsec, static_cast<std::uint32_t>(times[1].tv_nsec));
    // Reading the source for the copy did not touch its own access time.
    EXPECT_EQ(StatX(source).stx_atime.tv_sec, times[0].tv_sec);
    EXPECT_NE(copied.stx_ino, oldInode) << "the destination was rewritten in place";
    EXPECT_EQ(ReadFile(destination), content);
    EXPECT_EQ(port->GetFileAttributes(destination), kFileAttributeNormal);
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 2)
        << "a temporary file was left beside the destination";

    if ((copied.stx_mask & STATX_BTIME) == 0)
        GTEST_SKIP() << "this file system keeps no creation (birth) time; the new creation time is not checked";
    EXPECT_GE(copied.stx_btime.tv_sec, before);
}

// Reads the whole file through the adapter in pieces of `chunk` bytes; the
// number of reads that gave bytes.
std::string ReadThroughPort(IFileSystem& port, SysHandle file, std::uint32_t chunk, int& reads, bool& ended) {
    std::string data;
    std::vector<char> buffer(chunk);
    reads = 0;
    ended = false;
    for (int guard = 0; guard < 100000; ++guard) {
        std::uint32_t read = 0;
        if (!port.ReadFile(file, buffer.data(), chunk, read)) break;
        if (read == 0) {
            ended = true;
            break;
        }
        ++reads;
        data.append(buffer.data(), read);
    }
    return data;
}

TEST_F(FileLibTest, ReadFileGivesTheContentFromItsPositionThenZeroAtTheEnd) {
    const std::string name = Path("package.bin");
    const std::string content = MixedData(150001, 3);
    WriteFile(name, content);
    const SysHandle file = port->CreateFile(name, kGenericRead, kFileShareRead, kOpenExisting, 0);
    ASSERT_NE(file, kInvalidHandle);
    int reads = 0;
    bool ended = false;
    EXPECT_EQ(ReadThroughPort(*port, file, 65536, reads, ended), content);
    EXPECT_TRUE(ended);
    EXPECT_EQ(reads, 3);
    std::uint32_t read = 7;
    char byte = 0;
    EXPECT_TRUE(port->ReadFile(file, &byte, 1, read)) << "at the end, again";
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(port->CloseHandle(file));

    // A handle without read access reads nothing.
    const SysHandle writer = port->CreateFile(name, kGenericWrite, 0, kOpenExisting, 0);
    ASSERT_NE(writer, kInvalidHandle);
    EXPECT_FALSE(port->ReadFile(writer, &byte, 1, read));
    EXPECT_EQ(read, 0u);
    EXPECT_NE(port->LastError(), 0u);
    EXPECT_TRUE(port->CloseHandle(writer));
}

TEST_F(FileLibTest, CopyCarriesReadOnlyAndWillNotOverwriteAReadOnlyFile) {
    const std::string source = Path("locked.cfg");
    const std::string destination = Path("copy.cfg");
    WriteFile(source, "read-only settings\n");
    ASSERT_EQ(chmod(source.c_str(), 0444), 0);
    WriteFile(destination, "old");

    ASSERT_TRUE(CopyFileWithTimes(source, destination, true));
    EXPECT_EQ(ReadFile(destination), "read-only settings\n");
    EXPECT_EQ(port->GetFileAttributes(destination) & kFileAttributeReadOnly, kFileAttributeReadOnly);

    // As on Windows, a read-only destination is not replaced, even for a
    // user whom the folder's permissions would let rename over it.
    const std::string other = Path("other.cfg");
    WriteFile(other, "newer");
    EXPECT_FALSE(CopyFileWithTimes(other, destination, false));
    EXPECT_EQ(FileLastStep, "Allocate Copy Buffers");
    EXPECT_EQ(port->LastError(), 5u);
    EXPECT_EQ(ReadFile(destination), "read-only settings\n");
}

TEST_F(FileLibTest, CopyReplacesARunningProgram) {
    const std::string program = Path("running-tool");
    fs::copy_file(RL_FILE_HELPER, program);
    const pid_t pid = Spawn({program, "sleep"});
    ASSERT_GT(pid, 0);
    // The kernel refuses to write into a file that a process executes.
    ASSERT_TRUE(linuxtest::WaitFor([&] { return linuxtest::RealPath("/proc/" + std::to_string(pid) + "/exe") ==
                                                linuxtest::RealPath(program); },
                                   5s));

    const std::string update = Path("update.bin");
    WriteFile(update, "#!/bin/sh\nexit 0\n");
    EXPECT_TRUE(CopyFileWithTimes(update, program, false)) << FileLastError;
    EXPECT_EQ(ReadFile(program), "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(kill(pid, 0), 0) << "the running program was disturbed";
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST_F(FileLibTest, CopyOfAMissingSourceFailsAndLeavesNothing) {
    EXPECT_FALSE(CopyFileWithTimes(Path("missing"), Path("dest"), false));
    EXPECT_EQ(FileLastStep, "Allocate Copy Buffers");
    EXPECT_EQ(port->LastError(), 2u);
    EXPECT_FALSE(FileLastError.empty());
    EXPECT_TRUE(fs::is_empty(temp.Path()));
}

// Inflating ---------------------------------------------------------------

TEST_F(FileLibTest, DecompressWritesEveryByteOfPythonsStreams) {
    const struct {
        const char* name;
        std::string data;
    } cases[] = {
        {"small text", "RestLevel\r\nversion 1.0\r\n"},
        {"nothing", ""},
        {"exactly one chunk", MixedData(65536, 1)},
        {"one byte past a chunk", MixedData(65537, 2)},
        {"several megabytes", MixedData(5 * 1024 * 1024 + 123, 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string packed = PythonCompress(c.data, temp.Path());
        const std::string destination = Path("out.bin");
        // An older, longer file there is replaced, not overwritten in part.
        WriteFile(destination, std::string(c.data.size() + 70000, 'o'));
        EXPECT_TRUE(DecompressToFile(packed, destination, 0));
        EXPECT_EQ(FileLastErrorCode, 0u) << FileLastError;
        const std::string written = ReadFile(destination);
        EXPECT_EQ(written.size(), c.data.size());
        EXPECT_TRUE(written == c.data);
    }
}

TEST_F(FileLibTest, DecompressSetsTheLastWriteTimeFromLocalTime) {
    // A zone with summer time, so that summer and winter dates differ from
    // each other and from today's offset.
    ScopedEnv zone("TZ", "Europe/Berlin");
    tzset();
    const std::string packed = PythonCompress("dated", temp.Path());
    const struct {
        const char* name;
        int date[6];
    } cases[] = {
        {"summer", {2024, 7, 15, 12, 34, 56}},
        {"winter", {2023, 1, 9, 23, 30, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto& d = c.date;
        const std::string file = Path(std::string(c.name) + ".bin");
        ASSERT_TRUE(DecompressToFile(packed, file, LocalDateTime(d[0], d[1], d[2], d[3], d[4], d[5])));
        const double expected = UtcDateTimeOfLocal(d[0], d[1], d[2], d[3], d[4], d[5]);
        EXPECT_NEAR(GetFileDateUTC(file), expected, 0.5 / 86400.0);
        EXPECT_NEAR(static_cast<double>(StatX(file).stx_mtime.tv_sec) / 86400.0 + kUnixEpochDays, expected,
                    0.5 / 86400.0);
    }
    // The summer case is two hours ahead of UTC there.
    EXPECT_NEAR(UtcDateTimeOfLocal(2024, 7, 15, 12, 34, 56), LocalDateTime(2024, 7, 15, 10, 34, 56), 1e-9);
}

TEST_F(FileLibTest, DecompressOfDataThatStopsEarlyFails) {
    const std::string packed = PythonCompress(MixedData(400000, 4), temp.Path());
    const struct {
        const char* name;
        std::string data;
    } cases[] = {
        {"cut in the middle", packed.substr(0, packed.size() / 2)},
        {"cut before the checksum", packed.substr(0, packed.size() - 4)},
        {"no data at all", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(DecompressToFile(c.data, Path("partial.bin"), 0));
        EXPECT_EQ(FileLastErrorCode, kErrorHandleEof);
        EXPECT_NE(FileLastError.find("incomplete"), std::string::npos) << FileLastError;
    }
}

TEST_F(FileLibTest, DecompressOfADamagedStreamThrowsWithTheMessageRecorded) {
    const std::string packed = PythonCompress(MixedData(200000, 5), temp.Path());
    std::string flipped = packed;
    for (std::size_t i = flipped.size() / 3; i < flipped.size() / 3 + 64; ++i) flipped[i] = static_cast<char>(~flipped[i]);
    std::string badHeader = packed;
    badHeader[1] = static_cast<char>(badHeader[1] ^ 0x01);  // the header's check bits
    for (const std::string& data : {flipped, badHeader}) {
        FileLastErrorCode = 99;
        try {
            DecompressToFile(data, Path("damaged.bin"), 0);
            ADD_FAILURE() << "no decompression error";
        } catch (const EDecompressionError& e) {
            EXPECT_FALSE(std::string(e.what()).empty());
            EXPECT_EQ(FileLastError, e.what());
            EXPECT_EQ(FileLastErrorCode, 0u);
        }
    }
}

TEST_F(FileLibTest, DecompressIntoAMissingFolderReportsTheCreation) {
    EXPECT_FALSE(DecompressToFile(PythonCompress("x", temp.Path()), Path("no-such-folder/out.bin"), 0));
    EXPECT_EQ(FileLastErrorCode, 2u);
    const std::string tail = " at Create File";
    ASSERT_GT(FileLastError.size(), tail.size());
    EXPECT_EQ(FileLastError.substr(FileLastError.size() - tail.size()), tail);
    EXPECT_NE(FileLastError.find(std::strerror(ENOENT)), std::string::npos) << FileLastError;
}

TEST_F(FileLibTest, FileDateOfAMissingFileIsZero) { EXPECT_EQ(GetFileDateUTC(Path("missing")), 0.0); }

// Folders and temporary files -------------------------------------------

TEST_F(FileLibTest, MakeFolderPathCreatesMissingFoldersOnly) {
    const std::string deep = Path("A/B");
    EXPECT_EQ(MakeFolderPath(deep), 0);
    EXPECT_TRUE(fs::is_directory(Path("A")));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_EQ(MakeFolderPath(deep + "/"), 1);
    EXPECT_EQ(MakeFolderPath(deep), 1);

    // Below a regular file nothing can be created, whoever runs the test.
    WriteFile(Path("plain"), "file");
    EXPECT_EQ(MakeFolderPath(Path("plain/sub/more")), 2);
    EXPECT_EQ(MakeFolderPath("/"), 1);
}

TEST_F(FileLibTest, CreateTempFileMakesNewEmptyFilesWithWindowsNames) {
    // Names the clock would pick first are taken already and must survive.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned start = static_cast<unsigned>((now.tv_sec * 1000 + now.tv_nsec / 1000000) & 0xFFFF);
    std::set<std::string> taken;
    for (unsigned i = 0; i < 3000; ++i) {
        const unsigned n = (start + i) % 0x10000;
        if (n == 0) continue;
        char name[32];
        std::snprintf(name, sizeof name, "HLV%X.TMP", n);
        WriteFile(Path(name), "keep");
        taken.insert(Path(name));
    }

    const std::regex pattern("HLV[0-9A-F]+\\.TMP");
    std::set<std::string> made;
    for (int i = 0; i < 40; ++i) {
        const std::string name = CreateTempFile(temp.Path());
        ASSERT_FALSE(name.empty());
        EXPECT_EQ(fs::path(name).parent_path(), fs::path(temp.Path()));
        EXPECT_TRUE(std::regex_match(fs::path(name).filename().string(), pattern)) << name;
        EXPECT_EQ(taken.count(name), 0u) << name;
        EXPECT_TRUE(made.insert(name).second) << name << " given twice";
        ASSERT_TRUE(fs::is_regular_file(name));
        EXPECT_EQ(fs::file_size(name), 0u);
    }
    for (const std::string& name : taken) ASSERT_EQ(ReadFile(name), "keep") << name;

    EXPECT_EQ(CreateTempFile(Path("missing-folder")), "");
}

TEST_F(FileLibTest, CreateTempFileWithoutAFolderUsesTheCurrentOne) {
    const fs::path here = fs::current_path();
    fs::current_path(temp.Path());
    const std::string name = CreateTempFile("");
    fs::current_path(here);
    ASSERT_FALSE(name.empty());
    EXPECT_TRUE(fs::exists(fs::path(temp.Path()) / fs::path(name).filename())) << name;
}

// The update log and the staged update files go here: a folder of the
// user's own that nobody else can write to, never the shared /tmp.
TEST_F(FileLibTest, TempFolderIsPrivateToTheUser) {
    const std::string home = Path("home");
    const std::string cache = Path("cache");
    const std::string cacheWithSlash = cache + "/";
    ScopedEnv homeVariable("HOME", home.c_str());
    ScopedEnv tmpdir("TMPDIR", "/tmp");  // not taken: /tmp is shared
    const auto modeOf = [](const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    const struct {
        const char* cacheHome;  // XDG_CACHE_HOME; null: unset
        std::string folder;
    } cases[] = {
        {nullptr, home + "/.cache/restlevel/tmp/"},
        {"", home + "/.cache/restlevel/tmp/"},
        {"relative/cache", home + "/.cache/restlevel/tmp/"},  // only an absolute path counts
        {cache.c_str(), cache + "/restlevel/tmp/"},
        {cacheWithSlash.c_str(), cache + "/restlevel/tmp/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cacheHome != nullptr ? c.cacheHome : "(unset)");
        ScopedEnv cacheHome("XDG_CACHE_HOME", c.cacheHome);
        ASSERT_EQ(GetTempFolder(), c.folder);
        // Made where missing, each new folder closed to everyone else.
        const std::string tmp = c.folder.substr(0, c.folder.size() - 1);
        EXPECT_EQ(modeOf(tmp), 0700);
        EXPECT_EQ(modeOf(fs::path(tmp).parent_path().string()), 0700);
        EXPECT_EQ(modeOf(fs::path(tmp).parent_path().parent_path().string()), 0700);
    }
}

TEST_F(FileLibTest, TempFolderThatOthersCouldReachIsRefused) {
    const std::string cache = Path("cache");
    ScopedEnv cacheHome("XDG_CACHE_HOME", cache.c_str());
    const std::string app = cache + "/restlevel";
    const std::string tmp = app + "/tmp";
    ASSERT_EQ(GetTempFolder(), tmp + "/");

    // Open to others, at either level: someone may have planted files.
    chmod(tmp.c_str(), 0777);
    EXPECT_EQ(GetTempFolder(), "");
    chmod(tmp.c_str(), 0700);
    chmod(app.c_str(), 0755);
    EXPECT_EQ(GetTempFolder(), "");
    chmod(app.c_str(), 0700);
    ASSERT_EQ(GetTempFolder(), tmp + "/");

    // A link, even to a private folder of the user's own.
    const std::string elsewhere = Path("elsewhere");
    fs::create_directory(elsewhere);
    chmod(elsewhere.c_str(), 0700);
    fs::remove(tmp);
    fs::create_directory_symlink(elsewhere, tmp);
    EXPECT_EQ(GetTempFolder(), "");
    fs::remove(tmp);

    // Something else by that name.
    WriteFile(tmp, "not a folder");
    EXPECT_EQ(GetTempFolder(), "");
    fs::remove(tmp);

    // Another user's folder (only root can make one here).
    if (geteuid() == 0) {
        fs::create_directory(tmp);
        chmod(tmp.c_str(), 0700);
        ASSERT_EQ(chown(tmp.c_str(), 65534, 65534), 0);
        EXPECT_EQ(GetTempFolder(), "");
        fs::remove(tmp);
    }
    EXPECT_EQ(GetTempFolder(), tmp + "/") << "made afresh";
}

// The cache folder and every folder above it decide who could swap the
// temporary folder away after it was checked: all must be root's or ours and
// writable by nobody else, except a sticky folder of root's such as /tmp.
TEST_F(FileLibTest, CacheFolderThatSomeoneElseCouldSwapIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make another user's folders";
    constexpr uid_t kSomeoneElse = 65534;
    const struct {
        const char* name;
        unsigned parentMode;
        uid_t parentOwner;
        uid_t cacheOwner;
        bool linkedThroughParent;  // the cache folder is a link to a folder in the parent
        bool accepted;
    } cases[] = {
        {"private folders", 0755, 0, 0, false, true},
        {"root's sticky folder above, as /tmp", 01777, 0, 0, false, true},
        {"cache folder owned by someone else", 0755, 0, kSomeoneElse, false, false},
        {"folder above owned by someone else", 0755, kSomeoneElse, 0, false, false},
        {"folder above writable by others", 0757, 0, 0, false, false},
        {"folder above writable by its group", 0775, 0, 0, false, false},
        {"someone else's sticky folder above", 01777, kSomeoneElse, 0, false, false},
        {"cache folder resolves into a folder writable by others", 0757, 0, 0, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string root = Path("case");
        fs::remove_all(root);
        const std::string parent = root + "/parent";
        fs::create_directories(parent);
        std::string cache = parent + "/cache";
        fs::create_directory(cache);
        ASSERT_EQ(chmod(cache.c_str(), 0700), 0);
        ASSERT_EQ(chown(cache.c_str(), c.cacheOwner, c.cacheOwner), 0);
        ASSERT_EQ(chown(parent.c_str(), c.parentOwner, c.parentOwner), 0);
        ASSERT_EQ(chmod(parent.c_str(), c.parentMode), 0);
        if (c.linkedThroughParent) {
            // The name as written lies in a private folder; what it names
            // does not.
            const std::string link = Path("linked");
            fs::remove(link);
            fs::create_directory_symlink(cache, link);
            cache = link;
        }
        ScopedEnv cacheHome("XDG_CACHE_HOME", cache.c_str());
        const std::string tmp = cache + "/restlevel/tmp/";
        EXPECT_EQ(GetTempFolder(), c.accepted ? tmp : "");
        // Nor is anything written there by name.
        const SysHandle file = port->CreateFile(tmp + "update.log", kGenericWrite, 0, kCreateAlways, 0);
        EXPECT_EQ(file != kInvalidHandle, c.accepted);
        if (file != kInvalidHandle) port->CloseHandle(file);
        else EXPECT_EQ(port->LastError(), 5u);
        fs::remove(Path("linked"));
        fs::remove_all(root);
    }
}

// A link planted below the checked temporary folder after the check, at the
// log's name, a staged file's name or the staging folder's name: every call
// by name there fails and nothing outside is read, written or removed.
TEST_F(FileLibTest, LinksPlantedInTheTempFolderAreNotFollowed) {
    const std::string cache = Path("cache");
    ScopedEnv cacheHome("XDG_CACHE_HOME", cache.c_str());
    const std::string tmp = GetTempFolder();
    ASSERT_EQ(tmp, cache + "/restlevel/tmp/");
    const std::string outside = Path("outside");
    const std::string outsideFolder = Path("outside-folder");
    const std::string model = Path("model");
    WriteFile(model, "");
    chmod(model.c_str(), 0600);
    const auto untouched = [&] {
        EXPECT_EQ(ReadFile(outside), "theirs");
        EXPECT_EQ(ModeOf(outside), 0644);
        EXPECT_EQ(ReadFile(outsideFolder + "/staged.exe"), "theirs");
        EXPECT_EQ(std::distance(fs::directory_iterator(outsideFolder), fs::directory_iterator()), 1);
    };
    const auto create = [&](const std::string& name, std::uint32_t access, std::uint32_t disposition) {
        const SysHandle file = port->CreateFile(name, access, 0, disposition, 0);
        if (file == kInvalidHandle) return port->LastError();
        std::uint32_t written = 0;
        port->WriteFile(file, "ours", 4, written);
        port->CloseHandle(file);
        return 0u;
    };
    // The Windows code a call by name left, 0 when it succeeded.
    const auto result = [&](bool ok) { return ok ? 0u : port->LastError(); };
    const std::string link = tmp + "update.log";  // a file's name: a link to a file
    const std::string stage = tmp + "stage";      // a folder's name: a link to a folder
    const struct {
        const char* name;
        std::function<std::uint32_t()> call;  // the Windows code it gives
    } cases[] = {
        {"log created anew", [&] { return create(link, kGenericWrite, kCreateAlways); }},
        {"log appended to", [&] { return create(link, kFileAppendData, kOpenAlways); }},
        {"log read", [&] { return create(link, kGenericRead, kOpenExisting); }},
        {"staged file created new", [&] { return create(link, kGenericWrite, kCreateNew); }},
        {"file in a linked staging folder",
         [&] { return create(stage + "/new.exe", kGenericWrite, kCreateAlways); }},
        {"file replaced in a linked staging folder",
         [&] { return create(stage + "/staged.exe", kGenericWrite, kCreateAlways); }},
        {"attributes", [&] { return result(port->GetFileAttributes(link) != kInvalidFileAttributes); }},
        {"attributes in the folder",
         [&] { return result(port->GetFileAttributes(stage + "/staged.exe") != kInvalidFileAttributes); }},
        {"made read-only",
         [&] { return result(port->SetFileAttributes(link, kFileAttributeReadOnly)); }},
        {"permissions given", [&] { return result(port->CopyPermissions(model, link)); }},
        {"permissions taken", [&] { return result(port->CopyPermissions(link, model)); }},
        {"deleted in the folder", [&] { return result(port->DeleteFile(stage + "/staged.exe")); }},
        {"moved away", [&] { return result(port->MoveFileEx(link, Path("moved"), kMovefileReplaceExisting)); }},
        {"moved out of the folder",
         [&] { return result(port->MoveFileEx(stage + "/staged.exe", Path("moved"), kMovefileReplaceExisting)); }},
        {"moved into the folder",
         [&] {
             WriteFile(Path("ours"), "ours");
             return result(port->MoveFileEx(Path("ours"), stage + "/staged.exe", kMovefileReplaceExisting));
         }},
        {"copied from", [&] { return result(port->CopyFile(link, Path("copy"), false)); }},
        {"looked for", [&] { return port->FindEntry(link, 0); }},
        {"temporary file in the folder", [&] { return result(!port->TempFileName(stage, "rl").empty()); }},
        {"folder made", [&] { return result(port->CreateDirectory(stage + "/sub")); }},
        {"folder removed", [&] { return result(port->RemoveDirectory(stage)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(outsideFolder);
        fs::create_directory(outsideFolder);
        WriteFile(outside, "theirs");
        chmod(outside.c_str(), 0644);
        WriteFile(outsideFolder + "/staged.exe", "theirs");
        fs::remove(link);
        fs::remove(stage);
        fs::create_symlink(outside, link);
        fs::create_directory_symlink(outsideFolder, stage);
        const std::uint32_t code = c.call();
        // ERROR_CANT_RESOLVE_FILENAME; a new file's name that is taken, ERROR_FILE_EXISTS.
        EXPECT_EQ(code, std::string(c.name) == "staged file created new" ? 80u : 1921u);
        untouched();
        EXPECT_FALSE(Exists(Path("moved")));
        EXPECT_FALSE(Exists(Path("copy")));
    }

    // The link itself may go: that touches nothing outside.
    EXPECT_TRUE(port->DeleteFile(link));
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(outside), "theirs");
}

// Kernels before 5.6 have no openat2: the adapter then walks below the
// checked folder name by name, and refuses links and ".." as well. A child
// process where openat2 answers ENOSYS shows it; its exit code is the first
// row that went wrong.
TEST_F(FileLibTest, TheWalkWithoutOpenat2FollowsNoLinkEither) {
    const std::string cache = Path("cache");
    ScopedEnv cacheHome("XDG_CACHE_HOME", cache.c_str());
    const std::string tmp = GetTempFolder();
    ASSERT_EQ(tmp, cache + "/restlevel/tmp/");
    const std::string outsideFolder = Path("outside-folder");
    fs::create_directory(outsideFolder);
    fs::create_directory_symlink(outsideFolder, tmp + "stage");
    fs::create_directories(tmp + "real/deeper");
    fs::create_directory_symlink(outsideFolder, tmp + "real/linked");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(100);
        if (syscall(SYS_openat2, AT_FDCWD, ".", nullptr, 0) == 0 || errno != ENOSYS) _exit(101);
        // A fresh adapter checks the folder itself on its first call there.
        const std::unique_ptr<IFileSystem> files = CreateFileSystem();
        const auto code = [&](const std::string& name, std::uint32_t disposition) {
            const SysHandle file = files->CreateFile(name, kGenericWrite, 0, disposition, 0);
            if (file == kInvalidHandle) return files->LastError();
            files->CloseHandle(file);
            return 0u;
        };
        const struct {
            std::string name;
            std::uint32_t code;
        } rows[] = {
            {tmp + "real/deeper/ok.exe", 0},
            {tmp + "stage/new.exe", 1921},
            {tmp + "real/linked/new.exe", 1921},
            {tmp + "real/deeper/../../../outside.exe", 5},
        };
        for (std::size_t i = 0; i < std::size(rows); ++i)
            if (code(rows[i].name, kCreateNew) != rows[i].code) _exit(static_cast<int>(i + 1));
        if (!files->TempFileName(tmp + "real/linked", "rl").empty() || files->LastError() != 1921) _exit(20);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "100: no filter; 101: openat2 still there; else the failing row";
    EXPECT_TRUE(Exists(tmp + "real/deeper/ok.exe"));
    EXPECT_TRUE(fs::is_empty(outsideFolder));
    EXPECT_FALSE(Exists(Path("outside.exe")));
}

// Real files and folders below the checked folder are used as before.
TEST_F(FileLibTest, TheTempFolderWorksWithoutLinks) {
    const std::string cache = Path("cache");
    ScopedEnv cacheHome("XDG_CACHE_HOME", cache.c_str());
    const std::string tmp = GetTempFolder();
    ASSERT_EQ(tmp, cache + "/restlevel/tmp/");
    const std::string stage = tmp + "stage";
    ASSERT_TRUE(port->CreateDirectory(stage));
    const SysHandle file = port->CreateFile(stage + "/a.exe", kGenericWrite, 0, kCreateNew, 0);
    ASSERT_NE(file, kInvalidHandle);
    std::uint32_t written = 0;
    EXPECT_TRUE(port->WriteFile(file, "new", 3, written));
    port->CloseHandle(file);
    EXPECT_EQ(port->GetFileAttributes(stage + "/a.exe"), kFileAttributeNormal);
    EXPECT_EQ(port->FindEntry(stage + "/a.exe", 0), 0u);
    const std::string temporary = port->TempFileName(stage, "rlx");
    EXPECT_EQ(temporary.rfind(stage + "/rlx", 0), 0u) << temporary;
    EXPECT_TRUE(port->MoveFileEx(stage + "/a.exe", stage + "/b.exe", kMovefileReplaceExisting | kMovefileWriteThrough));
    EXPECT_TRUE(port->CopyPermissions(tmp, stage + "/b.exe"));
    EXPECT_EQ(ModeOf(stage + "/b.exe"), 0700);
    EXPECT_TRUE(port->SetFileAttributes(stage + "/b.exe", kFileAttributeReadOnly));
    EXPECT_EQ(ModeOf(stage + "/b.exe"), 0500);
    EXPECT_TRUE(port->CopyFile(stage + "/b.exe", Path("copy"), false));
    EXPECT_EQ(ReadFile(Path("copy")), "new");
    EXPECT_TRUE(port->SetFileAttributes(stage + "/b.exe", 0));
    EXPECT_TRUE(port->DeleteFile(stage + "/b.exe"));
    EXPECT_TRUE(port->DeleteFile(temporary));
    EXPECT_TRUE(port->RemoveDirectory(stage + "/"));
    EXPECT_FALSE(Exists(stage));
}

// CREATE_NEW makes a new file or nothing: an existing name, a link (even one
// to nothing) among them, fails with ERROR_FILE_EXISTS.
TEST_F(FileLibTest, CreateNewNeverOpensWhatIsThere) {
    const std::string existing = Path("existing");
    WriteFile(existing, "theirs");
    const std::string dangling = Path("dangling");
    const std::string target = Path("would-be-made");
    fs::create_symlink(target, dangling);
    const std::string linked = Path("linked");
    fs::create_symlink(existing, linked);
    for (const std::string& name : {existing, dangling, linked}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(port->CreateFile(name, kGenericWrite, 0, kCreateNew, 0), kInvalidHandle);
        EXPECT_EQ(port->LastError(), 80u);
    }
    EXPECT_EQ(ReadFile(existing), "theirs");
    EXPECT_FALSE(Exists(target));
    const SysHandle made = port->CreateFile(Path("new"), kGenericWrite, 0, kCreateNew, 0);
    ASSERT_NE(made, kInvalidHandle);
    port->CloseHandle(made);
    EXPECT_TRUE(Exists(Path("new")));
}

TEST_F(FileLibTest, ResolvePathOnPosixPaths) {
    const std::string base = Path("prog/bin");
    fs::create_directories(base);
    WriteFile(base + "/tool", "");
    const struct {
        std::string base;
        std::string path;
        std::string expected;
    } cases[] = {
        {base + "/", "/etc/hosts", "/etc/hosts"},
        {base + "/", "../data/x.txt", Path("prog/data/x.txt")},
        {base + "/", "../../x.txt", Path("x.txt")},
        {base + "/", "data/x.txt", base + "/data/x.txt"},
        {base + "/", "./x.txt", base + "/x.txt"},
        // Without the slash: a folder is still a folder, a file gives its own.
        {base, "../x.txt", Path("prog/x.txt")},
        {base, "x.txt", base + "/x.txt"},
        {base + "/tool", "x.txt", base + "/x.txt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ResolvePath(c.base, c.path), c.expected) << c.base << " + " << c.path;
}

// Version strings from desktop entries ----------------------------------

TEST_F(FileLibTest, VersionDescriptionIsTheNameOfTheDesktopEntryThatStartsTheFile) {
    const std::string bin = Path("bin");
    fs::create_directories(bin);
    const std::string tool = bin + "/rl sample tool";
    fs::copy_file(RL_FILE_HELPER, tool);
    fs::copy_file(RL_FILE_HELPER, bin + "/rl-sample-tool");
    fs::create_symlink(tool, bin + "/link-to-tool");
    const std::string onPath = bin + "/rl-sample-tool";

    const std::string entry = "[Desktop Entry]\nType=Application\nName[de]=Beispielwerkzeug\nName=Sample Tool\n";
    const struct {
        const char* name;
        std::string userEntry;    // in XDG_DATA_HOME, "" = none
        std::string systemEntry;  // in XDG_DATA_DIRS, "" = none
        std::string file;
        const char* expected;
    } cases[] = {
        {"quoted path with a blank", entry + "Exec=\"" + tool + "\" %F\n", "", tool, "Sample Tool"},
        {"program on PATH", entry + "Exec=rl-sample-tool --start\n", "", onPath, "Sample Tool"},
        {"through a link", entry + "Exec=" + bin + "/link-to-tool\n", "", tool, "Sample Tool"},
        {"system folder", "", entry + "Exec=\"" + tool + "\"\n", tool, "Sample Tool"},
        {"another program", entry + "Exec=/bin/true\n", "", tool, ""},
        {"hidden entry", entry + "Hidden=true\nExec=\"" + tool + "\"\n", "", tool, ""},
        {"a link entry", "[Desktop Entry]\nType=Link\nName=Link\nExec=\"" + tool + "\"\n", "", tool, ""},
        {"Exec of another group", entry + "[Desktop Action new]\nExec=\"" + tool + "\"\n", "", tool, ""},
        {"hidden by the user", "[Desktop Entry]\nHidden=true\n", entry + "Exec=\"" + tool + "\"\n", tool, ""},
        {"missing file", entry + "Exec=\"" + tool + "\"\n", "", bin + "/missing", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string root = Path(std::string("xdg-") + std::to_string(&c - cases));
        const std::string user = root + "/home/applications/sub";
        const std::string system = root + "/system/applications/sub";
        fs::create_directories(user);
        fs::create_directories(system);
        if (!c.userEntry.empty()) WriteFile(user + "/rl-sample.desktop", c.userEntry);
        if (!c.systemEntry.empty()) WriteFile(system + "/rl-sample.desktop", c.systemEntry);
        ScopedEnv home("XDG_DATA_HOME", (root + "/home").c_str());
        ScopedEnv dirs("XDG_DATA_DIRS", (root + "/system").c_str());
        ScopedEnv path("PATH", (bin + ":/usr/bin:/bin").c_str());

        EXPECT_EQ(GetVersionInfoText(c.file, 1), c.expected);
        EXPECT_EQ(GetVersionInfoText(c.file, 0), "");
    }
}

// Running and closing programs ------------------------------------------

TEST_F(FileLibTest, RunAndWaitGivesTheExitCode) {
    const struct {
        const char* parameters;
        std::uint32_t code;
    } cases[] = {
        {"-c \"exit 7\"", 7},
        {"-c true", 0},
        // Killed by a signal: 128 + the signal, as a shell reports it.
        {"-c \"kill -9 $$\"", 137},
    };
    for (const auto& c : cases) {
        std::uint32_t code = 12345;
        EXPECT_TRUE(RunAndWait(0, "", "/bin/sh", c.parameters, "", kSwShowNormal, true, &code)) << c.parameters;
        EXPECT_EQ(code, c.code) << c.parameters;
    }
    EXPECT_TRUE(ZombieChildren().empty());
}

TEST_F(FileLibTest, ParametersAreSplitAsWindowsProgramsSplitThem) {
    const std::string out = Path("args.out");
    const struct {
        const char* parameters;
        std::vector<std::string> args;
    } cases[] = {
        {"a b\t c", {"a", "b", "c"}},
        {"\"with blank\" x", {"with blank", "x"}},
        {"ab\"c d\"e", {"abc de"}},
        {"C:\\Dir\\file.txt", {"C:\\Dir\\file.txt"}},
        {"\\\"quoted\\\"", {"\"quoted\""}},
        {"\"ends in a backslash\\\\\" next", {"ends in a backslash\\", "next"}},
        {"\"a\\\\\\\"b\"", {"a\\\"b"}},
        {"\"\" x", {"", "x"}},
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.parameters);
        fs::remove(out);
        const std::string parameters = std::string("args ") + out + (*c.parameters ? " " : "") + c.parameters;
        std::uint32_t code = 1;
        ASSERT_TRUE(RunAndWait(0, "open", RL_FILE_HELPER, parameters, "", kSwShowNormal, true, &code));
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(SplitAtZeros(ReadFile(out)), c.args);
    }
}

TEST_F(FileLibTest, RunAndWaitUsesTheWorkingFolder) {
    const std::string work = Path("work");
    fs::create_directories(work);
    const std::string out = Path("cwd.out");
    ASSERT_TRUE(RunAndWait(0, "", RL_FILE_HELPER, "cwd " + out, work, kSwHide, true));
    EXPECT_EQ(ReadFile(out), linuxtest::RealPath(work));
}

TEST_F(FileLibTest, RunAndWaitReportsWhatCannotBeStarted) {
    const struct {
        const char* name;
        std::string verb, file, directory;
        std::uint32_t error;
    } cases[] = {
        {"missing program", "", Path("no-such-program"), "", 2},
        {"missing bare name", "open", "rl-no-such-program", "", 2},
        {"missing working folder", "", RL_FILE_HELPER, Path("no-such-folder"), 2},
        {"unknown verb", "print", RL_FILE_HELPER, "", 1155},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint32_t code = 12345;
        EXPECT_FALSE(RunAndWait(0, c.verb, c.file, "exit 0", c.directory, kSwShowNormal, true, &code));
        EXPECT_EQ(port->LastError(), c.error);
        EXPECT_EQ(code, 12345u);
    }
    EXPECT_TRUE(ZombieChildren().empty());
}

TEST_F(FileLibTest, RunWithoutWaitingLeavesNoZombie) {
    const std::string out = Path("started.out");
    std::uint32_t code = 12345;
    ASSERT_TRUE(RunAndWait(0, "", RL_FILE_HELPER, "args " + out + " started", "", kSwShowNormal, false, &code));
    EXPECT_EQ(code, 12345u) << "no process handle, so no exit code";
    ASSERT_TRUE(linuxtest::WaitFor([&] { return Exists(out); }, 10s));
    EXPECT_EQ(SplitAtZeros(ReadFile(out)), std::vector<std::string>{"started"});
    // Give an unreaped child time to become a zombie before looking.
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(ZombieChildren().empty());
}

// Each of these lasts at least the 5 s that the routine waits after asking.
TEST_F(FileLibTest, CloseProcessEndsAProgramThatAnswersSigterm) {
    const std::string ready = Path("ready");
    const pid_t pid = Spawn({RL_FILE_HELPER, "term-exits", ready});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(linuxtest::WaitFor([&] { return Exists(ready); }, 10s));

    EXPECT_TRUE(CloseProcess(static_cast<std::uint32_t>(pid), static_cast<std::uint32_t>(pid), 3000));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "not ended by its own answer: " << status;
}

TEST_F(FileLibTest, CloseProcessKillsAProgramThatIgnoresSigterm) {
    const std::string ready = Path("ready");
    const pid_t pid = Spawn({RL_FILE_HELPER, "ignore-term", ready});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(linuxtest::WaitFor([&] { return Exists(ready); }, 10s));

    EXPECT_TRUE(CloseProcess(static_cast<std::uint32_t>(pid), static_cast<std::uint32_t>(pid), 500));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WNOHANG), pid) << "still running";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

// The port's own refusals -----------------------------------------------

TEST_F(FileLibTest, PortRefusesWithWindowsCodes) {
    WriteFile(Path("a"), "a");
    WriteFile(Path("b"), "b");
    EXPECT_FALSE(port->CopyFile(Path("a"), Path("b"), true));
    EXPECT_EQ(port->LastError(), 80u);
    EXPECT_EQ(ReadFile(Path("b")), "b");
    EXPECT_TRUE(port->CopyFile(Path("a"), Path("c"), true));
    EXPECT_EQ(ReadFile(Path("c")), "a");

    EXPECT_FALSE(port->CreateDirectory(temp.Path()));
    EXPECT_EQ(port->LastError(), 183u);
    EXPECT_EQ(port->CreateFile(temp.Path(), kGenericRead, 0, kOpenExisting, 0), kInvalidHandle);
    EXPECT_EQ(port->LastError(), 5u);
    EXPECT_EQ(port->GetFileAttributes(Path("missing")), kInvalidFileAttributes);
    EXPECT_EQ(port->LastError(), 2u);
    EXPECT_EQ(port->FindEntry(Path("a/below-a-file"), kFileAttributeDirectory), 3u);
    EXPECT_EQ(port->FindEntry(temp.Path(), 0), 2u) << "a folder only counts when the mask asks for folders";

    // An id that no longer names anything: a child that has been reaped.
    const pid_t gone = Spawn({"/bin/true"});
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    EXPECT_EQ(port->OpenProcess(kSynchronize, static_cast<std::uint32_t>(gone)), kInvalidHandle);
    EXPECT_EQ(port->LastError(), 87u);
    EXPECT_EQ(port->OpenThread(kSynchronize, static_cast<std::uint32_t>(gone)), kInvalidHandle);
    EXPECT_EQ(port->LastError(), 87u);
    EXPECT_FALSE(port->PostQuitToThread(static_cast<std::uint32_t>(gone)));
    EXPECT_EQ(port->LastError(), 87u);
    EXPECT_FALSE(port->CloseHandle(12345));
    EXPECT_EQ(port->LastError(), 6u);
}

}  // namespace
}  // namespace rl
