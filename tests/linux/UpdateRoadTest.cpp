// The whole update road with the real Linux programs: version 1 installed in
// a folder of the test, a loopback HTTPS server (tests/support/http_server.py)
// whose folder tools/publish-update.py wrote from version 2 (the same program
// with bytes appended), and the release notes. Version 1 starts, shows the
// notes, the test presses Enter, and the download, the installer and the
// restart run as a user's would. Then the faults on the same road: the server
// dies mid-download, a damaged package, a folder the user cannot write, a
// previous instance that will not end, the installer killed between two
// files. Files from an update listing take rl_update_road_helper, a program
// wired as restlevel whose component has a FileListURL.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/linux/LinuxTestSupport.h"
#include "tests/unit/CommandLineCases.h"

// Last: Xlib's macros clash with names in the headers above.
#include <X11/Xlib.h>

#ifndef RL_SOURCE_DIR
#error "RL_SOURCE_DIR names the source tree"
#endif

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::Lines;
using linuxtest::LogTime;
using linuxtest::ReadFile;
using linuxtest::SetModified;
using linuxtest::WriteFile;
namespace fs = std::filesystem;

// Generous: the machine is shared.
constexpr auto kDeadline = 30s;
// The installer waits 15 s for a previous instance, then 5 s after asking it
// to quit and up to 10 s for it, before it ends it.
constexpr auto kPreviousInstanceDeadline = 90s;

constexpr char kNotesWindow[] = "RestLevel Update";
constexpr char kMainWindow[] = "RestLevel";
constexpr char kBoxTitle[] = "RestLevel";
constexpr char kNotes[] = "{\\rtf1\\ansi{\\fonttbl{\\f0 Sans;}}\\f0\\fs28\\b Version 2\\b0\\par A quieter rest.\\par}";
// A zone with summer time, as POSIX writes it (no time-zone database needed).
constexpr char kCentralEurope[] = "CET-1CEST,M3.5.0,M10.5.0/3";

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kWinterNoon = 1768478400;  // 2026-01-15 12:00:00 UTC
constexpr std::int64_t kSummerNoon = 1784116800;  // 2026-07-15 12:00:00 UTC

constexpr char kInstalledCorrectly[] = "Update appears to have installed correctly.";
constexpr char kIncomplete[] = "One or more issues prevent the update from being complete.";
constexpr char kUpToDate[] = "Software is already up-to-date.";
constexpr unsigned kProgramMode = 0755;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

struct FileState {
    bool exists = false;
    std::int64_t seconds = 0;
    long nanoseconds = 0;
    unsigned mode = 0;
};

FileState StateOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {};
    return {true, static_cast<std::int64_t>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec, st.st_mode & 07777u};
}

// Bodies compared by size and first difference: printing them helps nobody.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                         << " were expected; the first difference at offset "
                                         << (diff.first - actual.begin());
}

// Each row's test is named after the row, and shown by its name.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& row) {
    return row.param.name;
}

// Processes -------------------------------------------------------------------

std::vector<pid_t> AllProcesses() {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid > 0 && *end == '\0') pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return pids;
}

std::string ExeOf(pid_t pid) {
    std::error_code ec;
    const fs::path target = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return ec ? std::string() : target.string();
}

// The state letter of /proc/PID/stat ('R', 'S', 'T' stopped, 'Z' ended); 0
// when the process is gone.
char StateLetter(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '\0' : stat[close + 2];
}

bool Running(pid_t pid) {
    const char state = StateLetter(pid);
    return state != '\0' && state != 'Z' && state != 'X';
}

std::vector<std::string> CommandLineOf(pid_t pid) {
    const std::string raw = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> argv;
    std::size_t start = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\0') continue;
        argv.push_back(raw.substr(start, i - start));
        start = i + 1;
    }
    return argv;
}

// The running processes whose program is that very file (not an earlier
// file of that name, which the kernel shows as "(deleted)").
std::vector<pid_t> ProcessesOf(const std::string& path) {
    std::vector<pid_t> found;
    for (const pid_t pid : AllProcesses())
        if (ExeOf(pid) == path && Running(pid)) found.push_back(pid);
    return found;
}

// The running installer ("/KzUpdate" as its first argument) whose program
// lies below the folder; 0 when there is none.
pid_t InstallerBelow(const std::string& folder) {
    for (const pid_t pid : AllProcesses()) {
        const std::vector<std::string> argv = CommandLineOf(pid);
        if (argv.size() >= 2 && argv[1] == "/KzUpdate" && ExeOf(pid).rfind(folder + "/", 0) == 0 && Running(pid))
            return pid;
    }
    return 0;
}

// The files below the folder that the process has open for writing.
std::vector<std::string> WrittenBelow(pid_t pid, const std::string& folder) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::vector<std::string> written;
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr) return written;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::error_code ec;
        const std::string target = fs::read_symlink(fds + "/" + entry->d_name, ec).string();
        if (ec || target.rfind(folder + "/", 0) != 0) continue;
        // "flags:\t0100001": the access mode in the lowest octal digits.
        const std::string info = ReadFile("/proc/" + std::to_string(pid) + "/fdinfo/" + entry->d_name);
        const std::size_t flags = info.find("flags:");
        if (flags != std::string::npos && (std::strtoul(info.c_str() + flags + 6, nullptr, 8) & O_ACCMODE) != O_RDONLY)
            written.push_back(target);
    }
    closedir(dir);
    return written;
}

// The log --------------------------------------------------------------------------

// The download's update log, kept open from its first line: the installer
// appends to that file, and the next start's check replaces it with a file
// of its own.
class KeptLog {
public:
    ~KeptLog() {
        if (fd_ >= 0) close(fd_);
    }
    // Waits until the log begins with that text, then holds on to it.
    bool Keep(const std::string& path, const std::string& begin) {
        return linuxtest::WaitFor(
            [&] {
                const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) return false;
                char buffer[512];
                const ssize_t n = pread(fd, buffer, sizeof buffer, 0);
                if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)).rfind(begin, 0) == 0) {
                    fd_ = fd;
                    return true;
                }
                close(fd);
                return false;
            },
            kDeadline);
    }
    std::string Text() const {
        std::string text;
        char buffer[4096];
        for (off_t at = 0;;) {
            const ssize_t n = fd_ >= 0 ? pread(fd_, buffer, sizeof buffer, at) : 0;
            if (n <= 0) return text;
            text.append(buffer, static_cast<std::size_t>(n));
            at += n;
        }
    }
    bool Has(const std::string& text) const { return Text().find(text) != std::string::npos; }

private:
    int fd_ = -1;
};

// The file that the log's "Save to " fragment names for the package of that
// local path.
std::string StagedFor(const std::string& log, const std::string& localPath) {
    const std::size_t download = log.find("Download ");
    const std::size_t named = log.find("(" + localPath + ") ... OK\r\nSave to ", download);
    if (download == std::string::npos || named == std::string::npos) return {};
    const std::size_t start = log.find("Save to ", named) + 8;
    return log.substr(start, log.find(" ... ", start) - start);
}

// A folder the user cannot write, for the life of the object: read-only
// permissions, and as root (who writes anyway) the immutable attribute.
class UnwritableFolder {
public:
    explicit UnwritableFolder(const std::string& path) : path_(path) {
        if (geteuid() == 0) {
            immutable_ = linuxtest::Run("chattr +i " + Quote(path) + " 2>/dev/null").status == 0;
            ok_ = immutable_;
        } else {
            ok_ = chmod(path.c_str(), 0555) == 0;
        }
    }
    ~UnwritableFolder() {
        if (immutable_) linuxtest::Run("chattr -i " + Quote(path_));
        chmod(path_.c_str(), 0755);
    }
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;
    bool Ok() const { return ok_; }

private:
    std::string path_;
    bool immutable_ = false;
    bool ok_ = false;
};

// The fixture --------------------------------------------------------------------

// A program published as two versions: `installed` is version 1, a day older
// than version 2, which the server holds.
struct Versions {
    std::string installed;  // the installed file
    std::string one;        // version 1's bytes
    std::string two;        // version 2's bytes
    std::int64_t serverTime = 0;
};

class UpdateRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(linuxtest::ServiceEnv("DISPLAY").empty());
        ASSERT_FALSE(linuxtest::ServiceEnv("RL_TEST_SINK").empty());
        ASSERT_TRUE(screen_.Open());
        fs::create_directories(Path("bin"));
    }

    void TearDown() override {
        // Whatever the road started and left running: the installer, the
        // restarted program, the elevated run.
        for (const pid_t pid : AllProcesses())
            if (ExeOf(pid).rfind(folder_.Path() + "/", 0) == 0) kill(pid, SIGKILL);
    }

    std::string Path(const std::string& name) const { return folder_.Path() + "/" + name; }
    std::string Install(const std::string& name) const { return Path("install/" + name); }
    std::string Staging(const std::string& program) const { return Path("cache/restlevel/tmp/" + program); }
    std::string LogFile() const { return Path("cache/restlevel/tmp/RestLevel Update.log"); }

    // Installs version 1 of a file and puts version 2 (version 1 with those
    // bytes appended) in the folder to publish; version 2 is dated serverTime,
    // version 1 a day earlier.
    Versions TwoVersions(const std::string& name, const std::string& one, const std::string& appended,
                         std::int64_t serverTime, unsigned mode) {
        Versions v;
        v.installed = Install(name);
        v.one = one;
        v.two = v.one + appended;
        v.serverTime = serverTime;
        WriteFile(v.installed, v.one);
        WriteFile(Path("dist/" + name), v.two);
        chmod(v.installed.c_str(), mode);
        chmod(Path("dist/" + name).c_str(), mode);
        SetModified(v.installed, serverTime - kDay);
        SetModified(Path("dist/" + name), serverTime);
        return v;
    }

    // The server's folder, written and signed by the publishing tool from
    // dist/ (with the build's test key unless another is given).
    void Publish(const std::string& program, bool listing, const std::string& key = RL_TEST_SIGNING_KEY) {
        WriteFile(Path("notes.rtf"), kNotes);
        std::string command = RL_PYTHON " " RL_SOURCE_DIR "/tools/publish-update.py " + Quote(Path("dist")) + " " +
                              Quote(Path("server")) + " --key " + Quote(key) + " --under linux-x86_64 --program " +
                              program + " --notes " + Quote(Path("notes.rtf")) + " --notes-name RestLevel.rtf";
        if (listing) command += " --listing files.txt";
        const auto result = linuxtest::Run(command + " 2>&1");
        ASSERT_EQ(result.status, 0) << result.output;
    }

    // Writes FILE.sig for the file as it is now, with the build's test key:
    // its name on the server, its time, and the bytes it inflates to.
    void Sign(const std::string& file, const std::string& name, std::int64_t seconds, const std::string& unpacked) {
        WriteFile(Path("unpacked"), unpacked);
        const auto result = linuxtest::Run(
            RL_PYTHON " -c \"import importlib.util, sys; s = importlib.util.spec_from_file_location('tool', sys.argv[1]); "
            "t = importlib.util.module_from_spec(s); s.loader.exec_module(t); "
            "open(sys.argv[3] + '.sig', 'wb').write(t.signed_statement(t.load_key(sys.argv[2]), sys.argv[4], "
            "int(sys.argv[5]), open(sys.argv[3], 'rb').read(), open(sys.argv[6], 'rb').read()))\" " RL_SOURCE_DIR
            "/tools/publish-update.py " +
            Quote(RL_TEST_SIGNING_KEY) + " " + Quote(file) + " " + name + " " + std::to_string(seconds) + " " +
            Quote(Path("unpacked")) + " 2>&1");
        ASSERT_EQ(result.status, 0) << result.output;
    }

    std::map<std::string, std::string> Env(const std::string& server) const {
        std::map<std::string, std::string> env = linuxtest::UserEnv(folder_.Path());
        env["RESTLEVEL_UPDATE_SERVER"] = server;
        return env;
    }

    // The test server over the test's server folder, with its request log.
    linuxtest::TestServer Serve() const {
        return linuxtest::TestServer(Path("server"), linuxtest::ServerCert(), Path("server.requests"));
    }

    std::unique_ptr<linuxtest::Child> Start(const std::string& program, const std::vector<std::string>& arguments,
                                            const std::map<std::string, std::string>& env) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        auto child = std::make_unique<linuxtest::Child>(argv, env, true);
        EXPECT_TRUE(child->Started());
        return child;
    }

    // Version 1 shows the release notes; Enter answers Yes. The download's
    // log is kept from its first text on.
    void AnswerYes(const linuxtest::Child& program, KeptLog& log, const std::string& logBegins) {
        const Window notes = screen_.WaitFor(program.Pid(), kNotesWindow);
        ASSERT_NE(notes, 0u) << "no release notes";
        ASSERT_TRUE(linuxtest::Screen::Press(notes, "Return"));
        ASSERT_TRUE(log.Keep(LogFile(), logBegins)) << "no download log; the log reads:\n" << ReadFile(LogFile());
    }

    // The program that the installer starts at its end: once the log says
    // so, the one running process of that file other than `other` and other
    // than an installer; 0 if none. (Before, a process just forked by the
    // previous instance to start the installer would count.)
    pid_t WaitForRestart(const KeptLog& log, const std::string& path, pid_t other,
                         std::chrono::milliseconds timeout = kDeadline) {
        pid_t found = 0;
        linuxtest::WaitFor(
            [&] {
                if (!log.Has("\r\nStart New Version\r\n")) return false;
                for (const pid_t pid : ProcessesOf(path)) {
                    const std::vector<std::string> argv = CommandLineOf(pid);
                    if (pid != other && (argv.size() < 2 || argv[1] != "/KzUpdate")) found = pid;
                }
                return found != 0;
            },
            timeout);
        return found;
    }

    // The staging's registry values and keys, one line each, as restlevel-reg
    // lists them (the empty "Files" key left out).
    std::vector<std::string> StagingRegistry() const {
        const auto result = linuxtest::Run("XDG_CONFIG_HOME=" + Quote(Path("config")) + " " RL_REG_TOOL
                                           " query 'HKCU\\Software\\Halvane\\KzAutoUpdate' /s 2>&1");
        std::vector<std::string> lines;
        std::istringstream in(result.output);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line != "HKEY_CURRENT_USER\\Software\\Halvane\\KzAutoUpdate\\Files")
                lines.push_back(line);
        return lines;
    }

    // The staging is gone: the registry keeps only the log's name, and the
    // staging folder is removed.
    void ExpectStagingCleared(const std::string& program) {
        EXPECT_EQ(StagingRegistry(), (std::vector<std::string>{"HKEY_CURRENT_USER\\Software\\Halvane\\KzAutoUpdate",
                                                                "    LogFile    REG_SZ    " + LogFile()}));
        std::error_code ec;
        EXPECT_FALSE(fs::exists(Staging(program), ec)) << "the staging folder stays";
    }

    // The next start is a first run again, which shows the settings window
    // once the program is up.
    void ForgetConfigured() {
        linuxtest::Run("XDG_CONFIG_HOME=" + Quote(Path("config")) + " " RL_REG_TOOL
                       " delete 'HKCU\\SOFTWARE\\Halvane\\RestLevel' /v Configured /f >/dev/null 2>&1");
    }

    bool StagingLeft() const {
        for (const std::string& line : StagingRegistry())
            if (line.find("TempPath") != std::string::npos) return true;
        return false;
    }

    // The restarted program's own check: up to date.
    std::string UpToDateLog(const std::vector<std::pair<std::string, std::int64_t>>& files) const {
        std::vector<std::string> lines;
        for (const auto& [remote, time] : files)
            lines.push_back("Check File " + remote + " ... " + LogTime(time) + " Up-to-date Local @ " + LogTime(time));
        lines.push_back(kUpToDate);
        return Lines(lines);
    }

    // A fake pkexec first on the program's PATH: it notes its arguments and
    // runs them, as an accepted password dialog would.
    std::string FakePkexec() {
        const std::string script = "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> " +
                                   Quote(Path("pkexec.args")) + "\nexec \"$@\"\n";
        WriteFile(Path("bin/pkexec"), script);
        chmod(Path("bin/pkexec").c_str(), 0755);
        return Path("bin");
    }

    linuxtest::TempDir folder_;
    linuxtest::Screen screen_;
};

// The road ------------------------------------------------------------------------

struct RoadCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* zone;  // TZ of the programs; null: as the test runs
    std::int64_t serverTime;
};
void PrintTo(const RoadCase& c, std::ostream* out) { *out << c.name; }

class UpdateRoadInstallTest : public UpdateRoadTest, public ::testing::WithParamInterface<RoadCase> {};

TEST_P(UpdateRoadInstallTest, InstallsVersion2AndStartsIt) {
    const RoadCase& c = GetParam();
    const std::int64_t serverTime = c.serverTime != 0 ? c.serverTime : std::time(nullptr) / 60 * 60 - 3600;
    const Versions v = TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    Publish("restlevel", false);
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);
    auto env = Env(server.Url("/"));
    if (c.zone != nullptr) env["TZ"] = c.zone;

    auto one = Start(v.installed, c.arguments, env);
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    const pid_t two = WaitForRestart(log, v.installed, one->Pid());
    ASSERT_NE(two, 0) << "version 2 does not run; the log reads:\n" << log.Text();

    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.two)) << "the installed file";
    EXPECT_TRUE(SameBytes(ReadFile("/proc/" + std::to_string(two) + "/exe"), v.two)) << "the running program";
    EXPECT_EQ(CommandLineOf(two), [&] {
        std::vector<std::string> argv{v.installed};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        return argv;
    }()) << "the arguments of version 1, each whole";
    const FileState installed = StateOf(v.installed);
    EXPECT_EQ(installed.seconds, serverTime) << "the server's Last-Modified";
    EXPECT_EQ(installed.nanoseconds, 0);
    EXPECT_EQ(installed.mode, kProgramMode) << "still executable";
    EXPECT_FALSE(Running(one->Pid())) << "version 1 still runs";

    const std::string staged = StagedFor(log.Text(), v.installed);
    ASSERT_EQ(staged.rfind(Staging("restlevel") + "/HLV", 0), 0u) << log.Text();
    EXPECT_EQ(log.Text(), Lines({
                              "restlevel.zbin (" + v.installed + ") ... will be updated",
                              "Files to update: 1",
                              "Download restlevel.zbin (" + v.installed + ") ... OK",
                              "Save to " + staged + " ... OK",
                              "Start " + staged,
                              "Update " + staged + " to " + v.installed + " ... Updated",
                              kInstalledCorrectly,
                              "Start New Version",
                          }));

    // Version 2's first start shows the settings window once its check is
    // done: the staging is gone and the update found in place.
    ASSERT_NE(screen_.WaitFor(two, kMainWindow), 0u) << "version 2 shows no window";
    ExpectStagingCleared("restlevel");
    EXPECT_EQ(ReadFile(LogFile()), UpToDateLog({{"restlevel.zbin", serverTime}}));
    // Each file with its signature; a package's only once it is newer.
    EXPECT_EQ(server.Requests(),
              // version 1's check
              "HEAD /linux-x86_64/restlevel.zbin\nGET /linux-x86_64/restlevel.zbin.sig\n"
              "GET /RestLevel.rtf\nGET /RestLevel.rtf.sig\n"
              // the download
              "HEAD /linux-x86_64/restlevel.zbin\nGET /linux-x86_64/restlevel.zbin.sig\n"
              "GET /linux-x86_64/restlevel.zbin\n"
              // version 2's check
              "HEAD /linux-x86_64/restlevel.zbin\nGET /RestLevel.rtf\nGET /RestLevel.rtf.sig\n");
}

INSTANTIATE_TEST_SUITE_P(
    Road, UpdateRoadInstallTest,
    ::testing::Values(RoadCase{"NoArguments", {}, nullptr, 0},
                      // The second argument reaches version 2 whole; the
                      // package is dated in winter, in a zone with summer time.
                      RoadCase{"ArgumentsWithABlankWinterPackage", {"one", "two words"}, kCentralEurope, kWinterNoon},
                      RoadCase{"SummerPackage", {}, kCentralEurope, kSummerNoon}),
    CaseName<RoadCase>);

// Files from a listing ----------------------------------------------------------------

struct ListingCase {
    const char* name;
    bool programChanges;  // or only the listed file
};
void PrintTo(const ListingCase& c, std::ostream* out) { *out << c.name; }

class UpdateRoadListingTest : public UpdateRoadTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(UpdateRoadListingTest, InstallsTheListedFileBesideTheProgram) {
    const ListingCase& c = GetParam();
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    Versions helper =
        TwoVersions("roadhelper", ReadFile(RL_UPDATE_ROAD_HELPER), "\nversion 2\n", serverTime, kProgramMode);
    const std::string program = helper.installed;
    if (!c.programChanges) {
        // The same file and time on both sides.
        WriteFile(Path("dist/roadhelper"), helper.one);
        SetModified(Path("dist/roadhelper"), serverTime);
        SetModified(program, serverTime);
        helper.two = helper.one;
    }
    // A private file stays private.
    const Versions data = TwoVersions("data/readme.txt", "Read me.\n", "Version 2.\n", serverTime, 0600);
    const std::string readme = data.installed;
    Publish("roadhelper", true);
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);

    auto one = Start(program, {}, Env(server.Url()));
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "Got file listing from "));
    const pid_t two = WaitForRestart(log, program, one->Pid());
    ASSERT_NE(two, 0) << "the program does not run again; the log reads:\n" << log.Text();
    // Its own check is done once its log says so.
    EXPECT_TRUE(linuxtest::WaitFor([&] { return ReadFile(LogFile()).find(kUpToDate) != std::string::npos; }, kDeadline));

    EXPECT_TRUE(SameBytes(ReadFile(program), helper.two));
    EXPECT_TRUE(SameBytes(ReadFile("/proc/" + std::to_string(two) + "/exe"), helper.two));
    EXPECT_TRUE(SameBytes(ReadFile(readme), data.two));
    EXPECT_EQ(StateOf(readme).seconds, serverTime);
    EXPECT_EQ(StateOf(readme).mode, 0600u) << "the installed file keeps the permissions of the one it replaced";
    EXPECT_EQ(StateOf(program).mode, kProgramMode);

    const std::string text = log.Text();
    const std::string stagedProgram = StagedFor(text, program);
    const std::string stagedReadme = StagedFor(text, readme);
    ASSERT_FALSE(stagedReadme.empty()) << text;
    std::vector<std::string> lines{"Got file listing from " + server.Url("/linux-x86_64/files.txt"),
                                   "roadhelper.zbin (" + program + ") ... " +
                                       (c.programChanges ? "will be updated" : "is up to date"),
                                   "data/readme.zbin (" + readme + ") ... will be updated"};
    // The registry lists the staged files by name.
    std::vector<std::pair<std::string, std::string>> installs;
    if (c.programChanges) {
        lines.insert(lines.end(), {"Files to update: 2", "Download roadhelper.zbin (" + program + ") ... OK",
                                   "Save to " + stagedProgram + " ... OK"});
        installs.emplace_back(stagedProgram, program);
    } else {
        lines.push_back("Files to update: 1");
    }
    lines.insert(lines.end(), {"Download data/readme.zbin (" + readme + ") ... OK", "Save to " + stagedReadme + " ... OK",
                               // Without its own file among them, the program
                               // itself installs the files.
                               "Start " + (c.programChanges ? stagedProgram : program)});
    installs.emplace_back(stagedReadme, readme);
    std::sort(installs.begin(), installs.end(), [](const auto& a, const auto& b) {
        return fs::path(a.first).filename() < fs::path(b.first).filename();
    });
    for (const auto& [staged, destination] : installs)
        lines.push_back("Update " + staged + " to " + destination + " ... Updated");
    lines.insert(lines.end(), {kInstalledCorrectly, "Start New Version"});
    EXPECT_EQ(text, Lines(lines));

    EXPECT_EQ(ReadFile(LogFile()), "Downloaded File Listing " + server.Url("/linux-x86_64/files.txt") + "\r\n" +
                                       UpToDateLog({{"roadhelper.zbin", serverTime}, {"data/readme.zbin", serverTime}}));
    ExpectStagingCleared("roadhelper");
}

INSTANTIATE_TEST_SUITE_P(Listing, UpdateRoadListingTest,
                         ::testing::Values(ListingCase{"ProgramAndListedFile", true},
                                           ListingCase{"OnlyTheListedFile", false}),
                         CaseName<ListingCase>);

// Faults ---------------------------------------------------------------------------

// The download stops half-way: version 1 starts as usual, keeps its file,
// and its next start clears what was staged.
struct DownloadFaultCase {
    const char* name;
    bool serverDies;  // or the package is damaged
};
void PrintTo(const DownloadFaultCase& c, std::ostream* out) { *out << c.name; }

class UpdateRoadDownloadFaultTest : public UpdateRoadTest, public ::testing::WithParamInterface<DownloadFaultCase> {};

TEST_P(UpdateRoadDownloadFaultTest, Version1StartsAndItsNextStartClearsTheStaging) {
    const DownloadFaultCase& c = GetParam();
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v = TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    Publish("restlevel", false);
    const std::string package = Path("server/linux-x86_64/restlevel.zbin");
    if (!c.serverDies) {
        // Bytes in the middle of the deflate data overwritten: the stream
        // still begins well and has its size and time.
        std::string bytes = ReadFile(package);
        ASSERT_GT(bytes.size(), 4096u);
        for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) bytes[i] = static_cast<char>(0xFF);
        WriteFile(package, bytes);
        SetModified(package, serverTime);
        // Signed as it is: a publisher's broken package, which only the
        // inflating finds out.
        ASSERT_NO_FATAL_FAILURE(Sign(package, "linux-x86_64/restlevel.zbin", serverTime, v.two));
    }
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);
    // A package stops after 64 KiB; the notes are whole.
    const std::string address = server.Url(c.serverDies ? "/hold/65536" : "");

    auto one = Start(v.installed, {}, Env(address));
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    if (c.serverDies) {
        ASSERT_TRUE(linuxtest::WaitFor(
            [&] { return server.Requests().find("GET /hold/65536/linux-x86_64/restlevel.zbin\n") != std::string::npos; },
            kDeadline));
        server.Die();
    }

    // The program goes on to its first start's settings window.
    ASSERT_NE(screen_.WaitFor(one->Pid(), kMainWindow), 0u) << "version 1 does not start; the log reads:\n"
                                                              << log.Text();
    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one)) << "version 1 is touched";
    EXPECT_EQ(StateOf(v.installed).seconds, serverTime - kDay);
    EXPECT_EQ(InstallerBelow(folder_.Path()), 0) << "an installer runs";
    const std::string text = log.Text();
    const std::string expected = Lines({"restlevel.zbin (" + v.installed + ") ... will be updated", "Files to update: 1"}) +
                                 "Download restlevel.zbin (" + v.installed + ") ... ";
    EXPECT_EQ(text.rfind(expected, 0), 0u) << text;
    if (c.serverDies) {
        EXPECT_EQ(text.find("Error HTTP ", expected.size()), expected.size()) << text;
    } else {
        const std::size_t save = text.find("OK\r\nSave to " + Staging("restlevel") + "/HLV", expected.size());
        EXPECT_EQ(save, expected.size()) << text;
        EXPECT_NE(text.find(" ... Fatal error: ", save), std::string::npos) << text;
    }
    EXPECT_EQ(text.find("Start "), std::string::npos) << "nothing is launched";
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << "the log ends with a whole line";
    EXPECT_TRUE(StagingLeft()) << "the staging stays until the next start";

    // The next start clears it (the check is off this time).
    one->Stop();
    ForgetConfigured();
    auto again = Start(v.installed, {}, Env(""));
    ASSERT_NE(screen_.WaitFor(again->Pid(), kMainWindow), 0u);
    ExpectStagingCleared("restlevel");
    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdateRoadDownloadFaultTest,
    ::testing::Values(DownloadFaultCase{"ServerDiesMidDownload", true}, DownloadFaultCase{"DamagedPackage", false}),
    CaseName<DownloadFaultCase>);

// The installed folder cannot be written: the installer runs nothing as
// another user, even with an elevation tool at hand, names the folder and
// starts version 1 again.
enum class Elevation { ToolOnPath, Absent };

struct UnwritableCase {
    const char* name;
    Elevation elevation;
};
void PrintTo(const UnwritableCase& c, std::ostream* out) { *out << c.name; }

class UpdateRoadUnwritableTest : public UpdateRoadTest, public ::testing::WithParamInterface<UnwritableCase> {};

TEST_P(UpdateRoadUnwritableTest, Version1StartsAgainAndTheLogSaysWhy) {
    const UnwritableCase& c = GetParam();
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v = TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    Publish("restlevel", false);
    UnwritableFolder unwritable(Path("install"));
    if (!unwritable.Ok()) GTEST_SKIP() << "cannot make a folder unwritable here (as root this takes chattr +i)";
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);
    auto env = Env(server.Url());
    // A fake elevation tool on PATH, or none at all.
    env["PATH"] = c.elevation == Elevation::Absent ? Path("bin") : FakePkexec();

    auto one = Start(v.installed, {}, env);
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    // The installer tells the user, once it has started version 1 again.
    pid_t installer = 0;
    ASSERT_TRUE(linuxtest::WaitFor([&] { return (installer = InstallerBelow(folder_.Path())) != 0; }, kDeadline));
    const Window box = screen_.WaitFor(installer, kBoxTitle);
    ASSERT_NE(box, 0u) << "no message box; the log reads:\n" << log.Text();
    const pid_t again = WaitForRestart(log, v.installed, one->Pid());
    ASSERT_NE(again, 0) << "version 1 is not started again";
    EXPECT_TRUE(linuxtest::Screen::Press(box, "Return"));
    EXPECT_TRUE(linuxtest::WaitFor([&] { return !Running(installer); }, kDeadline)) << "the installer stays";

    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one));
    EXPECT_TRUE(SameBytes(ReadFile("/proc/" + std::to_string(again) + "/exe"), v.one));
    EXPECT_EQ(StateOf(v.installed).seconds, serverTime - kDay);

    const std::string text = log.Text();
    const std::string staged = StagedFor(text, v.installed);
    const std::string update = "Update " + staged + " to " + v.installed + " ... ";
    std::vector<std::string> lines{
        "restlevel.zbin (" + v.installed + ") ... will be updated",
        "Files to update: 1",
        "Download restlevel.zbin (" + v.installed + ") ... OK",
        "Save to " + staged + " ... OK",
        "Start " + staged,
        // The Windows code with the C library's text.
        update + "Failed Permission denied (0x00000005)",
        "Could not update ... folder cannot be written: " + Path("install"),
        kIncomplete,
        "Start New Version",
    };
    EXPECT_EQ(text, Lines(lines));
    EXPECT_FALSE(fs::exists(Path("pkexec.args"))) << "the elevation tool was called:\n" << ReadFile(Path("pkexec.args"));

    // The restarted version 1 cleared the staging at its start; its check
    // offers the update again.
    ASSERT_NE(screen_.WaitFor(again, kNotesWindow), 0u);
    ExpectStagingCleared("restlevel");
}

INSTANTIATE_TEST_SUITE_P(Faults, UpdateRoadUnwritableTest,
                         ::testing::Values(UnwritableCase{"ElevationToolOnPath", Elevation::ToolOnPath},
                                           UnwritableCase{"NoElevationTool", Elevation::Absent}),
                         CaseName<UnwritableCase>);

// Version 1 stops where it would end (SIGSTOP), ignoring the request to
// quit: the installer ends it and goes on.
TEST_F(UpdateRoadTest, APreviousInstanceThatWillNotEndIsEnded) {
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v = TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    Publish("restlevel", false);
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);
    auto env = Env(server.Url());
    env["LD_PRELOAD"] = RL_STOP_AT_EXIT;

    auto one = Start(v.installed, {}, env);
    // Should the installer not end it, a stopped process would outlast the
    // ending signal that the test sends its children.
    const struct KillAtEnd {
        pid_t pid;
        ~KillAtEnd() { kill(pid, SIGKILL); }
    } killAtEnd{one->Pid()};
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    EXPECT_TRUE(linuxtest::WaitFor([&] { return StateLetter(one->Pid()) == 'T'; }, kDeadline))
        << "version 1 does not stop";
    const pid_t two = WaitForRestart(log, v.installed, one->Pid(), kPreviousInstanceDeadline);
    ASSERT_NE(two, 0) << "version 2 does not run; the log reads:\n" << log.Text();

    siginfo_t ended{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(one->Pid()), &ended, WEXITED | WNOHANG | WNOWAIT), 0);
    EXPECT_EQ(ended.si_pid, one->Pid()) << "version 1 still there";
    EXPECT_EQ(ended.si_code, CLD_KILLED);
    EXPECT_EQ(ended.si_status, SIGKILL);
    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.two));
    EXPECT_TRUE(SameBytes(ReadFile("/proc/" + std::to_string(two) + "/exe"), v.two));
    const std::string staged = StagedFor(log.Text(), v.installed);
    EXPECT_EQ(log.Text(), Lines({
                              "restlevel.zbin (" + v.installed + ") ... will be updated",
                              "Files to update: 1",
                              "Download restlevel.zbin (" + v.installed + ") ... OK",
                              "Save to " + staged + " ... OK",
                              "Start " + staged,
                              "Update " + staged + " to " + v.installed + " ... Updated",
                              kInstalledCorrectly,
                              "Start New Version",
                          }));
    ASSERT_NE(screen_.WaitFor(two, kMainWindow), 0u);
    ExpectStagingCleared("restlevel");
}

// The installer is killed while it installs the second of two files: each
// installed file is one version or the other, whole, and the program starts
// and clears the staging.
TEST_F(UpdateRoadTest, AnInstallerKilledBetweenTwoFilesLeavesEveryFileWhole) {
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    // Large enough that copying one takes a while.
    std::string bulk(24 << 20, '\0');
    for (std::size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>((i * 2654435761u) >> 13);
    const Versions helper = TwoVersions("roadhelper", ReadFile(RL_UPDATE_ROAD_HELPER), bulk, serverTime, kProgramMode);
    const Versions data = TwoVersions("data/bulk.bin", bulk, "version 2", serverTime, 0644);
    Publish("roadhelper", true);
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);

    auto one = Start(helper.installed, {}, Env(server.Url()));
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "Got file listing from "));
    // The second file's fragment (the first one is in place) while the
    // installer writes a file below the installed folder, wherever it
    // writes it.
    const auto secondUnderWay = [&] {
        const std::string text = log.Text();
        const std::size_t first = text.find("\r\nUpdate ");
        return first != std::string::npos && text.find("\r\nUpdate ", first + 1) != std::string::npos;
    };
    pid_t installer = 0;
    ASSERT_TRUE(linuxtest::WaitFor([&] { return (installer = InstallerBelow(folder_.Path())) != 0; }, kDeadline));
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    std::vector<std::string> written;
    while (!(secondUnderWay() && !(written = WrittenBelow(installer, Path("install"))).empty()) &&
           Running(installer) && std::chrono::steady_clock::now() < deadline) {
    }
    kill(installer, SIGKILL);
    ASSERT_TRUE(secondUnderWay()) << log.Text();
    // Never the installed file itself, which a crash or a power cut would
    // leave half-written.
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0], helper.installed);
    EXPECT_NE(written[0], data.installed);
    const std::string text = log.Text();
    EXPECT_EQ(text.find(kInstalledCorrectly), std::string::npos) << "the installer finished before the kill:\n" << text;
    EXPECT_TRUE(linuxtest::WaitFor([&] { return !Running(installer); }, kDeadline));

    // Whole files, one version or the other; the first file in place.
    const std::string program = ReadFile(helper.installed);
    const std::string bulkFile = ReadFile(data.installed);
    EXPECT_TRUE(program == helper.one || program == helper.two) << program.size() << " bytes";
    EXPECT_TRUE(bulkFile == data.one || bulkFile == data.two) << bulkFile.size() << " bytes";
    EXPECT_TRUE(program == helper.two || bulkFile == data.two) << "the first file is not installed";
    EXPECT_EQ(StateOf(helper.installed).mode, kProgramMode);
    EXPECT_TRUE(StagingLeft());

    // The user starts the program: it runs, clears the staging, and offers
    // the rest of the update.
    auto again = Start(helper.installed, {}, Env(server.Url()));
    ASSERT_NE(screen_.WaitFor(again->Pid(), kNotesWindow), 0u) << ReadFile(LogFile());
    ExpectStagingCleared("roadhelper");
    EXPECT_NE(ReadFile(LogFile()).find("An update is available and can be installed."), std::string::npos);
}

// Without a display the installer's messages go to standard error. Here the
// test starts the installer itself on a staging whose file no statement
// vouches for.
TEST_F(UpdateRoadTest, WithoutADisplayTheInstallersMessagesGoToStandardError) {
    const std::string reg = "XDG_CONFIG_HOME=" + Quote(Path("config")) + " " RL_REG_TOOL " add ";
    const std::string key = "'HKCU\\Software\\Halvane\\KzAutoUpdate";
    ASSERT_EQ(linuxtest::Run(reg + key + "' /v LogFile /d " + Quote(Path("installer.log")) + " /f").status, 0);
    ASSERT_EQ(linuxtest::Run(reg + key + "\\Files\\HLV1.TMP' /v TempFile /d " + Quote(Path("missing")) + " /f").status,
              0);
    ASSERT_EQ(linuxtest::Run(reg + key + "\\Files\\HLV1.TMP' /v DestFile /d " + Quote(Path("installed")) + " /f").status,
              0);
    WriteFile(Path("installer.log"), "");

    const auto result = linuxtest::Run("env -u DISPLAY XDG_CONFIG_HOME=" + Quote(Path("config")) + " XDG_CACHE_HOME=" +
                                       Quote(Path("cache")) + " PATH=" + Quote(Path("bin")) + " " RL_RESTLEVEL
                                       " /KzUpdate /bin/true 0 0 RestLevel 2>&1");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "RestLevel: The update of RestLevel could not be verified. Nothing was installed.\n");
    const std::string log = ReadFile(Path("installer.log"));
    EXPECT_EQ(log.rfind("Could not verify " + Path("installed") + ": no signature recorded\r\n", 0), 0u) << log;
    const std::string end = Lines({kIncomplete, "Start New Version"});
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), end.size())), end) << log;
}

// A small package that inflates past the limit: the inflating stops there,
// nothing beyond it reaches the disk, version 1 starts as usual and its next
// start clears the staging.
TEST_F(UpdateRoadTest, APackageThatInflatesPastTheLimitIsNotStaged) {
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v = TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    // Version 2 is 256 MiB and one byte of zeros: a few hundred KiB packed,
    // and signed as it is.
    WriteFile(Path("dist/restlevel"), "");
    fs::resize_file(Path("dist/restlevel"), (std::uintmax_t{256} << 20) + 1);
    SetModified(Path("dist/restlevel"), serverTime);
    Publish("restlevel", false);
    const std::string package = Path("server/linux-x86_64/restlevel.zbin");
    ASSERT_LT(fs::file_size(package), 2u << 20);
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);

    auto one = Start(v.installed, {}, Env(server.Url("")));
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    ASSERT_NE(screen_.WaitFor(one->Pid(), kMainWindow), 0u) << "version 1 does not start; the log reads:\n"
                                                              << log.Text();
    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one)) << "version 1 is touched";
    EXPECT_EQ(InstallerBelow(folder_.Path()), 0) << "an installer runs";
    const std::string text = log.Text();
    EXPECT_NE(text.find(" ... The package inflates to more than 268435456 bytes\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Start "), std::string::npos) << "nothing is launched";
    // The partly inflated file is gone; nothing in the staging holds more
    // than the limit.
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(Path("cache"), error))
        if (entry.is_regular_file()) {
            EXPECT_LE(entry.file_size(), 268435456u) << entry.path();
            EXPECT_NE(entry.path().parent_path().string(), Staging("restlevel")) << entry.path() << " is left";
        }

    one->Stop();
    ForgetConfigured();
    auto again = Start(v.installed, {}, Env(""));
    ASSERT_NE(screen_.WaitFor(again->Pid(), kMainWindow), 0u);
    ExpectStagingCleared("restlevel");
    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one));
}

// Signed updates -----------------------------------------------------------------

// The test's own second signing pair, which no build trusts; its private half.
std::string OtherKey(const std::string& folder) {
    const auto made = linuxtest::Run(RL_PYTHON " " RL_SOURCE_DIR "/tools/publish-update.py --new-key " +
                                     Quote(folder + "/other-key") + " 2>&1");
    EXPECT_EQ(made.status, 0) << made.output;
    return folder + "/other-key.pem";
}

// The server's package is not what the program's keys vouch for: the update
// is not offered (no notes, no download), the log says why, and version 1
// goes on to start.
enum class Unvouched { AnotherKey, NewLastModified, NoSignature };

struct UnvouchedCase {
    const char* name;
    Unvouched fault;
    const char* reason;
};
void PrintTo(const UnvouchedCase& c, std::ostream* out) { *out << c.name; }

class UpdateRoadUnvouchedTest : public UpdateRoadTest, public ::testing::WithParamInterface<UnvouchedCase> {};

TEST_P(UpdateRoadUnvouchedTest, IsNotOfferedAndVersion1Starts) {
    const UnvouchedCase& c = GetParam();
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v = TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    const std::string package = Path("server/linux-x86_64/restlevel.zbin");
    std::int64_t served = serverTime;
    if (c.fault == Unvouched::AnotherKey) {
        Publish("restlevel", false, OtherKey(folder_.Path()));
    } else {
        Publish("restlevel", false);
    }
    // An old signed package passed off as new: the same bytes, a new date.
    if (c.fault == Unvouched::NewLastModified) SetModified(package, served = serverTime + 60);
    if (c.fault == Unvouched::NoSignature) fs::remove(package + ".sig");
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);

    auto one = Start(v.installed, {}, Env(server.Url()));
    ASSERT_NE(screen_.WaitFor(one->Pid(), kMainWindow), 0u) << "version 1 does not start; the log reads:\n"
                                                              << ReadFile(LogFile());
    EXPECT_EQ(screen_.Find(one->Pid(), kNotesWindow), 0u);
    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one));
    EXPECT_EQ(InstallerBelow(folder_.Path()), 0) << "an installer runs";
    const std::string log = ReadFile(LogFile());
    const std::string checked = "Check File restlevel.zbin ... " + LogTime(served) + " Needs update from local copy " +
                                LogTime(serverTime - kDay) + "\r\nCould not verify restlevel.zbin: " + c.reason + "\r\n";
    EXPECT_EQ(log.rfind(checked, 0), 0u) << log;
    EXPECT_NE(log.find("\r\nUpdate cannot be installed; one or more error conditions prevent updating.\r\n"),
              std::string::npos)
        << log;
    // Nothing is downloaded.
    EXPECT_EQ(server.Requests(), "HEAD /linux-x86_64/restlevel.zbin\nGET /linux-x86_64/restlevel.zbin.sig\n"
                                 "GET /RestLevel.rtf\nGET /RestLevel.rtf.sig\n");
}

INSTANTIATE_TEST_SUITE_P(Signed, UpdateRoadUnvouchedTest,
                         ::testing::Values(UnvouchedCase{"SignedWithAnotherKey", Unvouched::AnotherKey,
                                                         "signature not valid"},
                                           UnvouchedCase{"OldSignedPackageWithANewLastModified",
                                                         Unvouched::NewLastModified,
                                                         "signed time differs from the server's"},
                                           UnvouchedCase{"NoSignatureOnTheServer", Unvouched::NoSignature,
                                                         "no signature (HTTP 404)"}),
                         CaseName<UnvouchedCase>);

// The package is replaced on the server after it was signed, with the same
// time: the check offers it (its statement holds for that time), the user
// answers Yes, and the download refuses the bytes before it inflates them.
// Nothing is staged, a box says so, and version 1 runs on.
TEST_F(UpdateRoadTest, APackageReplacedAfterSigningIsNotInstalled) {
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v = TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    Publish("restlevel", false);
    const std::string package = Path("server/linux-x86_64/restlevel.zbin");
    WriteFile(Path("replaced"), v.two + "not signed\n");
    const auto packed = linuxtest::Run(RL_PYTHON " -c \"import sys, zlib; open(sys.argv[2], 'wb').write(zlib.compress("
                                       "open(sys.argv[1], 'rb').read(), 9))\" " +
                                       Quote(Path("replaced")) + " " + Quote(package) + " 2>&1");
    ASSERT_EQ(packed.status, 0) << packed.output;
    SetModified(package, serverTime);
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);

    auto one = Start(v.installed, {}, Env(server.Url()));
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    // The box comes before the settings window, which has the same title:
    // then another window.
    const Window box = screen_.WaitFor(one->Pid(), kBoxTitle);
    ASSERT_NE(box, 0u) << "no message box; the log reads:\n" << log.Text();
    EXPECT_TRUE(linuxtest::Screen::Press(box, "Return"));
    ASSERT_TRUE(linuxtest::WaitFor(
        [&] {
            const Window settings = screen_.Find(one->Pid(), kMainWindow);
            return settings != 0 && settings != box;
        },
        kDeadline))
        << "version 1 does not start after a box; the log reads:\n"
        << log.Text();

    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one)) << "version 1 is touched";
    EXPECT_EQ(StateOf(v.installed).seconds, serverTime - kDay);
    EXPECT_EQ(InstallerBelow(folder_.Path()), 0) << "an installer runs";
    const std::string text = log.Text();
    EXPECT_EQ(text.rfind(Lines({"restlevel.zbin (" + v.installed + ") ... will be updated", "Files to update: 1",
                                "Download restlevel.zbin (" + v.installed +
                                    ") ... Could not verify restlevel.zbin: content differs from the signed"}),
                         0),
              0u)
        << text;
    EXPECT_EQ(text.find("Save to "), std::string::npos) << "the package is inflated";
    EXPECT_EQ(text.find("Start "), std::string::npos) << "something is launched";
    ExpectStagingCleared("restlevel");
}

// The staged program is swapped while the installer waits for version 1 to
// end (version 1 stops where it would end, as in the row above with a
// previous instance that will not end): the installer finds the copy it is
// about to move unlike what was signed, installs nothing, says so and starts
// version 1 again.
TEST_F(UpdateRoadTest, AStagedFileSwappedBeforeTheInstallIsNotInstalled) {
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v = TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    Publish("restlevel", false);
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);
    auto env = Env(server.Url());
    env["LD_PRELOAD"] = RL_STOP_AT_EXIT;

    auto one = Start(v.installed, {}, env);
    const struct KillAtEnd {
        pid_t pid;
        ~KillAtEnd() { kill(pid, SIGKILL); }
    } killAtEnd{one->Pid()};
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    // The installer runs and waits: version 1 has stopped.
    ASSERT_TRUE(linuxtest::WaitFor([&] { return StateLetter(one->Pid()) == 'T'; }, kDeadline))
        << "version 1 does not stop";
    pid_t installer = 0;
    ASSERT_TRUE(linuxtest::WaitFor([&] { return (installer = InstallerBelow(folder_.Path())) != 0; }, kDeadline));
    const std::string staged = StagedFor(log.Text(), v.installed);
    ASSERT_FALSE(staged.empty()) << log.Text();
    ASSERT_EQ(log.Text().find("\r\nUpdate "), std::string::npos) << "the installer did not wait:\n" << log.Text();
    // Whoever can write the user's files: another program, whole, in its place.
    const std::string swapped = v.one + "\nnot signed\n";
    WriteFile(staged + ".swap", swapped);
    chmod((staged + ".swap").c_str(), kProgramMode);
    ASSERT_EQ(rename((staged + ".swap").c_str(), staged.c_str()), 0);

    const Window box = screen_.WaitFor(installer, kBoxTitle, kPreviousInstanceDeadline);
    ASSERT_NE(box, 0u) << "no message box; the log reads:\n" << log.Text();
    const pid_t again = WaitForRestart(log, v.installed, one->Pid());
    ASSERT_NE(again, 0) << "version 1 is not started again; the log reads:\n" << log.Text();
    EXPECT_TRUE(linuxtest::Screen::Press(box, "Return"));

    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one)) << "the installed file";
    EXPECT_TRUE(SameBytes(ReadFile("/proc/" + std::to_string(again) + "/exe"), v.one)) << "the running program";
    EXPECT_EQ(StateOf(v.installed).seconds, serverTime - kDay);
    const std::string text = log.Text();
    EXPECT_NE(text.find("Could not verify " + v.installed + ": unpacked content differs from the signed\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find(" ... Updated"), std::string::npos) << text;
    EXPECT_EQ(text.find(kInstalledCorrectly), std::string::npos) << text;
    ASSERT_NE(screen_.WaitFor(again, kNotesWindow), 0u) << "the restarted version 1 does not offer the update again";
    ExpectStagingCleared("restlevel");
}

// An HTTPS package redirected to plain HTTP ------------------------------------

// The package's download is redirected from the HTTPS server to the same
// files over plain HTTP: the request fails with WinInet's code for it, no
// plain request is made, nothing is installed, and version 1 runs on.
TEST_F(UpdateRoadTest, APackageRedirectedFromHttpsToHttpIsNotInstalled) {
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v =
        TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    Publish("restlevel", false);
    linuxtest::TestServer server = Serve();
    linuxtest::TestServer plain(Path("server"), {}, Path("plain.requests"));
    ASSERT_GT(server.Port(), 0);
    ASSERT_GT(plain.Port(), 0);
    // Only the package's GET is redirected; its HEAD and the notes are not.
    const std::string address = server.Url("/moved/restlevel.zbin/" + std::to_string(plain.Port()));

    auto one = Start(v.installed, {}, Env(address));
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    ASSERT_NE(screen_.WaitFor(one->Pid(), kMainWindow), 0u) << "version 1 does not start; the log reads:\n"
                                                              << log.Text();
    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one)) << "version 1 is touched";
    EXPECT_EQ(InstallerBelow(folder_.Path()), 0) << "an installer runs";
    const std::string text = log.Text();
    EXPECT_NE(text.find("Error HTTP 0 Send Request Failed: WinInet Error 12040 "), std::string::npos) << text;
    EXPECT_EQ(text.find("Start "), std::string::npos) << "nothing is launched";
    EXPECT_EQ(ReadFile(Path("plain.requests")), "") << "the package was asked for over plain HTTP";
}

// A settings store that refuses the staging's record, and the argument table -------

// Another process's write transaction on the settings store, for the life of
// the object or until Release: the program's writes wait their busy time-out
// and fail, its reads go on (WAL).
class StoreLock {
public:
    ~StoreLock() {
        Release();
        if (db_ != nullptr) sqlite3_close_v2(db_);
    }
    bool Take(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return false;
        sqlite3_busy_timeout(db_, 5000);
        held_ = sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
        return held_;
    }
    void Release() {
        if (held_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        held_ = false;
    }

private:
    sqlite3* db_ = nullptr;
    bool held_ = false;
};

// The store's files (the database and its write-ahead log) made immutable
// for the life of the object or until Release: every write of the program
// fails at once, also those of the clearing. Only root may do it.
class ReadOnlyStore {
public:
    ~ReadOnlyStore() { Release(); }
    bool Make(const std::vector<std::string>& files) {
        for (const std::string& file : files) {
            if (linuxtest::Run("chattr +i " + Quote(file) + " 2>/dev/null").status != 0) return false;
            files_.push_back(file);
        }
        return true;
    }
    void Release() {
        for (const std::string& file : files_) linuxtest::Run("chattr -i " + Quote(file));
        files_.clear();
    }

private:
    std::vector<std::string> files_;
};

// The store refuses the record of the file just staged (the package's answer
// waits until the test has made it refuse): the download ends there. The user
// is told, the staged files are gone, nothing is launched, and version 1
// starts as usual. The staging's records go as soon as the store takes
// writes: at once when another process held it, at the next start when it
// stays read-only.
enum class Refusal { HeldByAnotherProcess, ReadOnly };

struct StoreCase {
    const char* name;
    Refusal refusal;
};
void PrintTo(const StoreCase& c, std::ostream* out) { *out << c.name; }

class UpdateRoadStoreTest : public UpdateRoadTest, public ::testing::WithParamInterface<StoreCase> {};

TEST_P(UpdateRoadStoreTest, AStoreThatRefusesTheFilesRecordEndsTheDownload) {
    const StoreCase& c = GetParam();
    if (c.refusal == Refusal::ReadOnly && geteuid() != 0)
        GTEST_SKIP() << "only root can make the store's files immutable (chattr +i)";
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v =
        TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    Publish("restlevel", false);
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);
    // The package's GET waits for the file "go" in the server's folder.
    const std::string address = server.Url("/await/restlevel.zbin/go");

    auto one = Start(v.installed, {}, Env(address));
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    ASSERT_TRUE(linuxtest::WaitFor(
        [&] {
            return server.Requests().find("GET /await/restlevel.zbin/go/linux-x86_64/restlevel.zbin\n") !=
                   std::string::npos;
        },
        kDeadline));
    // The staging is recorded by now; the store refuses before the package
    // arrives.
    EXPECT_TRUE(StagingLeft());
    const std::string store = Path("config/restlevel/registry.db");
    StoreLock lock;
    ReadOnlyStore readOnly;
    if (c.refusal == Refusal::HeldByAnotherProcess) {
        ASSERT_TRUE(lock.Take(store));
    } else {
        ASSERT_TRUE(fs::exists(store + "-wal")) << "the store is not in WAL mode";
        if (!readOnly.Make({store, store + "-wal"})) GTEST_SKIP() << "cannot make the store's files immutable here";
    }
    WriteFile(Path("server/go"), "");
    const std::string refused = "Could not record TempFile in the settings store\r\n";
    ASSERT_TRUE(linuxtest::WaitFor([&] { return log.Has(refused); }, kDeadline)) << log.Text();
    // The clearing that follows finds the store free again.
    lock.Release();

    // The box comes before the program's own window (of the same title).
    const Window box = screen_.WaitFor(one->Pid(), kBoxTitle);
    ASSERT_NE(box, 0u) << "no message box; the log reads:\n" << log.Text();
    ASSERT_TRUE(linuxtest::Screen::Press(box, "Return"));
    EXPECT_TRUE(linuxtest::WaitFor([&] { return !screen_.Viewable(box); }, kDeadline)) << "the box stays";
    Window main = 0;
    ASSERT_TRUE(linuxtest::WaitFor([&] { return (main = screen_.Find(one->Pid(), kMainWindow)) != 0 && main != box; },
                                   kDeadline))
        << "version 1 does not start";

    const std::string text = log.Text();
    const std::string staged = StagedFor(text, v.installed);
    ASSERT_EQ(staged.rfind(Staging("restlevel") + "/HLV", 0), 0u) << text;
    EXPECT_EQ(text, Lines({
                        "restlevel.zbin (" + v.installed + ") ... will be updated",
                        "Files to update: 1",
                        "Download restlevel.zbin (" + v.installed + ") ... OK",
                        "Save to " + staged + " ... OK",
                        "Could not record TempFile in the settings store",
                    }));
    EXPECT_EQ(InstallerBelow(folder_.Path()), 0) << "an installer runs";
    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one)) << "version 1 is touched";
    EXPECT_EQ(StateOf(v.installed).seconds, serverTime - kDay);
    // The files and their folder go at once, whatever the store.
    std::error_code ec;
    EXPECT_FALSE(fs::exists(Staging("restlevel"), ec)) << "the staging folder stays";
    if (c.refusal == Refusal::HeldByAnotherProcess) {
        ExpectStagingCleared("restlevel");
        return;
    }

    // The records stay in a store that cannot be written; the next start
    // with a writable store clears them (the check is off this time).
    readOnly.Release();
    EXPECT_TRUE(StagingLeft());
    one->Stop();
    ForgetConfigured();
    auto again = Start(v.installed, {}, Env(""));
    ASSERT_NE(screen_.WaitFor(again->Pid(), kMainWindow), 0u);
    ExpectStagingCleared("restlevel");
    EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.one));
}

INSTANTIATE_TEST_SUITE_P(Faults, UpdateRoadStoreTest,
                         ::testing::Values(StoreCase{"HeldByAnotherProcess", Refusal::HeldByAnotherProcess},
                                           StoreCase{"ReadOnly", Refusal::ReadOnly}),
                         CaseName<StoreCase>);

// Every argument list of the command-line table, one after another, given to
// version 1: version 2 gets each argument back whole, the empty ones and the
// one with a tab among them.
INSTANTIATE_TEST_SUITE_P(ArgumentTable, UpdateRoadInstallTest,
                         ::testing::Values(RoadCase{"EveryArgumentOfTheTable",
                                                    [] {
                                                        std::vector<std::string> all;
                                                        for (const auto& row : commandlinetest::kRoundTrips)
                                                            all.insert(all.end(), row.begin(), row.end());
                                                        return all;
                                                    }(),
                                                    nullptr, 0}),
                         CaseName<RoadCase>);

// A second start while an update is under way ---------------------------------------

// Only the instance that holds the single-instance lock clears an earlier
// staging, and only when no installer holds its lock: a second start during
// the download, or once version 1 has ended while the installer still works,
// leaves the staging to the install.
class UpdateRoadSecondStartTest : public UpdateRoadTest {
protected:
    // The installer's lock file: a look that cannot lock it exclusively
    // finds the installer at work.
    bool InstallerHoldsItsLock() const {
        const int fd = open(Path("cache/restlevel/tmp/RestLevel Installer.lock").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
        close(fd);
        return held;
    }

    // Version 2 installed from the staging and running, the log whole, the
    // staging gone.
    void ExpectTheInstallCompleted(const KeptLog& log, const Versions& v, pid_t previous) {
        const pid_t two = WaitForRestart(log, v.installed, previous);
        ASSERT_NE(two, 0) << "version 2 does not run; the log reads:\n" << log.Text();
        EXPECT_TRUE(SameBytes(ReadFile(v.installed), v.two)) << "the installed file";
        EXPECT_TRUE(SameBytes(ReadFile("/proc/" + std::to_string(two) + "/exe"), v.two)) << "the running program";
        const std::string staged = StagedFor(log.Text(), v.installed);
        ASSERT_EQ(staged.rfind(Staging("restlevel") + "/HLV", 0), 0u) << log.Text();
        EXPECT_EQ(log.Text(), Lines({
                                  "restlevel.zbin (" + v.installed + ") ... will be updated",
                                  "Files to update: 1",
                                  "Download restlevel.zbin (" + v.installed + ") ... OK",
                                  "Save to " + staged + " ... OK",
                                  "Start " + staged,
                                  "Update " + staged + " to " + v.installed + " ... Updated",
                                  kInstalledCorrectly,
                                  "Start New Version",
                              }));
        ASSERT_NE(screen_.WaitFor(two, kMainWindow), 0u) << "version 2 shows no window";
        ExpectStagingCleared("restlevel");
    }
};

TEST_F(UpdateRoadSecondStartTest, ASecondStartDuringTheDownloadLeavesTheStagingToTheInstall) {
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v =
        TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    Publish("restlevel", false);
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);
    // The package's answer waits for the file "go" in the server's folder.
    auto one = Start(v.installed, {}, Env(server.Url("/await/restlevel.zbin/go")));
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    ASSERT_TRUE(linuxtest::WaitFor(
        [&] {
            return server.Requests().find("GET /await/restlevel.zbin/go/linux-x86_64/restlevel.zbin") !=
                   std::string::npos;
        },
        kDeadline));
    ASSERT_TRUE(StagingLeft()) << "the download has made its staging";

    // The second start finds version 1 and ends.
    auto second = Start(v.installed, {}, Env(""));
    ASSERT_TRUE(linuxtest::WaitFor([&] { return !Running(second->Pid()); }, kDeadline)) << "the second start runs on";
    EXPECT_TRUE(StagingLeft()) << "the second start cleared the staging";

    WriteFile(Path("server/go"), "");
    ASSERT_NO_FATAL_FAILURE(ExpectTheInstallCompleted(log, v, one->Pid()));
}

// Version 1 has ended and the installer holds its lock; the test stops it
// there, before it reads the staging, and starts the program: that start
// holds the single-instance lock and still leaves the staging. Ended again,
// it lets the installer go on, which installs version 2 from the staging.
TEST_F(UpdateRoadSecondStartTest, AStartWhileTheInstallerWaitsLeavesItTheStaging) {
    const std::int64_t serverTime = std::time(nullptr) / 60 * 60 - 3600;
    const Versions v =
        TwoVersions("restlevel", ReadFile(RL_RESTLEVEL), "\nRestLevel, version 2\n", serverTime, kProgramMode);
    Publish("restlevel", false);
    linuxtest::TestServer server = Serve();
    ASSERT_GT(server.Port(), 0);

    auto one = Start(v.installed, {}, Env(server.Url()));
    KeptLog log;
    ASSERT_NO_FATAL_FAILURE(AnswerYes(*one, log, "restlevel.zbin ("));
    pid_t installer = 0;
    ASSERT_TRUE(linuxtest::WaitFor(
        [&] {
            installer = InstallerBelow(folder_.Path());
            return installer != 0 && InstallerHoldsItsLock();
        },
        kDeadline))
        << "no installer holds its lock; the log reads:\n" << log.Text();
    ASSERT_EQ(kill(installer, SIGSTOP), 0);
    // A stopped installer would outlast the test's end otherwise.
    const struct GoOnAtEnd {
        pid_t pid;
        ~GoOnAtEnd() { kill(pid, SIGCONT); }
    } goOnAtEnd{installer};
    ASSERT_TRUE(linuxtest::WaitFor([&] { return StateLetter(installer) == 'T'; }, kDeadline));
    // The installer pauses a second after version 1 is gone, before it reads
    // the staging: stopped before that, it has installed nothing yet.
    ASSERT_FALSE(log.Has("Update ")) << "stopped too late; the log reads:\n" << log.Text();
    ASSERT_TRUE(linuxtest::WaitFor([&] { return !Running(one->Pid()); }, kDeadline))
        << "version 1 did not end once the installer held its lock";

    // The start reaches its window, past the point where it clears.
    ForgetConfigured();
    auto second = Start(v.installed, {}, Env(""));
    ASSERT_NE(screen_.WaitFor(second->Pid(), kMainWindow), 0u) << "the start does not run";
    EXPECT_TRUE(StagingLeft()) << "the start cleared the staging under the installer";
    second->Stop();
    // Version 2 shows its window as a first run's again.
    ForgetConfigured();

    ASSERT_EQ(kill(installer, SIGCONT), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectTheInstallCompleted(log, v, one->Pid()));
}

}  // namespace
}  // namespace rl
