// The real restlevel's start-up update check against the loopback test
// server (tests/support/http_server.py), over HTTPS with a test CA that only
// these tests trust (SSL_CERT_FILE) and over plain HTTP: a newer package
// brings up the release notes and the program runs on after Escape; a package
// of the program's own time shows nothing; a server that cannot be reached
// does not keep the program from starting.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/linux/LinuxTestSupport.h"

// Last: Xlib's macros clash with names in the headers above.
#include <X11/Xlib.h>

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::Lines;
using linuxtest::LogTime;
using linuxtest::ReadFile;
using linuxtest::WriteFile;
namespace fs = std::filesystem;

// Generous: the machine is shared.
constexpr auto kDeadline = 30s;
constexpr char kNotesWindow[] = "RestLevel Update";
constexpr char kMainWindow[] = "RestLevel";
// Release notes in large red letters, which the test finds on the screen.
constexpr char kNotes[] =
    "{\\rtf1\\ansi{\\fonttbl{\\f0 Sans;}}{\\colortbl;\\red255\\green0\\blue0;}"
    "\\f0\\fs72\\cf1\\b Version 9\\par New: a quieter rest\\par}";

class UpdateCheckProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(linuxtest::ServiceEnv("DISPLAY").empty());
        ASSERT_FALSE(linuxtest::ServiceEnv("RL_TEST_SINK").empty());
        ASSERT_TRUE(screen_.Open());
        exeTime_ = linuxtest::ModifiedSeconds(RL_RESTLEVEL);
        ASSERT_GT(exeTime_, 0);
    }

    // The server's folder as the publishing tool writes it, signed with the
    // build's test key: a package dated `packageTime` (only its time counts
    // here) and the notes.
    void Publish(std::int64_t packageTime, const std::string& notes = kNotes) {
        WriteFile(Path("dist/restlevel"), "a program");
        linuxtest::SetModified(Path("dist/restlevel"), packageTime);
        WriteFile(Path("notes.rtf"), notes);
        const auto result = linuxtest::Run(RL_PYTHON " " RL_SOURCE_DIR "/tools/publish-update.py '" + Path("dist") +
                                           "' '" + Path("server") + "' --key '" RL_TEST_SIGNING_KEY
                                           "' --under linux-x86_64 --program restlevel --notes '" +
                                           Path("notes.rtf") + "' --notes-name RestLevel.rtf 2>&1");
        ASSERT_EQ(result.status, 0) << result.output;
    }

    std::string Path(const std::string& name) const { return folder_.Path() + "/" + name; }
    std::string LogFile() const { return Path("cache/restlevel/tmp/RestLevel Update.log"); }

    // A first run of the program (the settings window opens once it is
    // created) for this server address; nullopt: the variable is unset.
    std::unique_ptr<linuxtest::Child> Start(std::optional<std::string> server) {
        std::map<std::string, std::string> env = linuxtest::UserEnv(folder_.Path());
        if (server) env["RESTLEVEL_UPDATE_SERVER"] = *server;
        auto program = std::make_unique<linuxtest::Child>(std::vector<std::string>{RL_RESTLEVEL}, env, true);
        EXPECT_TRUE(program->Started());
        return program;
    }

    // The test server over the test's server folder, with its request log.
    linuxtest::TestServer Serve(bool tls) const {
        return linuxtest::TestServer(Path("server"), tls ? linuxtest::ServerCert() : std::vector<std::string>{},
                                     Path("server.requests"));
    }

    linuxtest::TempDir folder_;
    linuxtest::Screen screen_;
    std::int64_t exeTime_ = 0;
};

TEST_F(UpdateCheckProgramTest, ANewerPackageShowsTheNotesAndEscapeLetsTheProgramRunOn) {
    ASSERT_NO_FATAL_FAILURE(Publish(exeTime_ + 3600));
    linuxtest::TestServer server = Serve(true);
    ASSERT_GT(server.Port(), 0);
    auto program = Start(server.Url("/"));

    const Window notes = screen_.WaitFor(program->Pid(), kNotesWindow);
    ASSERT_NE(notes, 0u) << "no release-notes window";
    EXPECT_EQ(screen_.Find(program->Pid(), kMainWindow), 0u) << "the settings window waits for the answer";
    EXPECT_TRUE(linuxtest::WaitFor([&] { return screen_.RedPixels(notes) > 200; }, kDeadline))
        << "the notes' red letters are not on the screen";
    // The newer package's signature, and the notes' own.
    EXPECT_EQ(server.Requests(), "HEAD /linux-x86_64/restlevel.zbin\nGET /linux-x86_64/restlevel.zbin.sig\n"
                                 "GET /RestLevel.rtf\nGET /RestLevel.rtf.sig\n");
    EXPECT_EQ(ReadFile(LogFile()), Lines({"Check File restlevel.zbin ... " + LogTime(exeTime_ + 3600) +
                                              " Needs update from local copy " + LogTime(exeTime_),
                                          "An update is available and can be installed."}));

    // Escape answers No; the start goes on to the settings window.
    EXPECT_TRUE(linuxtest::Screen::Press(notes, "Escape"));
    EXPECT_TRUE(linuxtest::WaitFor([&] { return screen_.Find(program->Pid(), kNotesWindow) == 0; }, kDeadline))
        << "the notes stay open";
    EXPECT_NE(screen_.WaitFor(program->Pid(), kMainWindow), 0u) << "the program did not run on";
    EXPECT_EQ(kill(program->Pid(), 0), 0) << "the program ended";
}

// A session that ends while the notes wait for an answer takes the program
// with it.
TEST_F(UpdateCheckProgramTest, AnEndSignalWhileTheNotesWaitEndsTheStart) {
    ASSERT_NO_FATAL_FAILURE(Publish(exeTime_ + 3600));
    linuxtest::TestServer server = Serve(false);
    ASSERT_GT(server.Port(), 0);
    auto program = Start(server.Url());
    ASSERT_NE(screen_.WaitFor(program->Pid(), kNotesWindow), 0u);
    kill(program->Pid(), SIGTERM);
    const auto ended = [&] {
        const std::string stat = ReadFile("/proc/" + std::to_string(program->Pid()) + "/stat");
        const std::size_t close = stat.rfind(')');
        return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
    };
    if (!linuxtest::WaitFor(ended, kDeadline)) {
        ADD_FAILURE() << "the program waits for an answer nobody gives";
        program->Kill(SIGKILL);
        return;
    }
    EXPECT_EQ(screen_.Find(program->Pid(), kMainWindow), 0u);
}

TEST_F(UpdateCheckProgramTest, APackageOfTheProgramsOwnTimeShowsNothing) {
    ASSERT_NO_FATAL_FAILURE(Publish(exeTime_));
    linuxtest::TestServer server = Serve(false);
    ASSERT_GT(server.Port(), 0);
    auto program = Start(server.Url());

    // The check is done before the settings window opens.
    ASSERT_NE(screen_.WaitFor(program->Pid(), kMainWindow), 0u);
    EXPECT_EQ(screen_.Find(program->Pid(), kNotesWindow), 0u);
    EXPECT_EQ(ReadFile(LogFile()), Lines({"Check File restlevel.zbin ... " + LogTime(exeTime_) +
                                              " Up-to-date Local @ " + LogTime(exeTime_),
                                          "Software is already up-to-date."}));
    EXPECT_EQ(server.Requests(), "HEAD /linux-x86_64/restlevel.zbin\nGET /RestLevel.rtf\nGET /RestLevel.rtf.sig\n");
}

TEST_F(UpdateCheckProgramTest, AServerThatCannotBeReachedDoesNotStopTheStart) {
    // A port that was just free: nobody listens there.
    int closedPort = 0;
    {
        linuxtest::TestServer gone = Serve(false);
        closedPort = gone.Port();
    }
    ASSERT_GT(closedPort, 0);
    auto program = Start("http://127.0.0.1:" + std::to_string(closedPort));
    ASSERT_NE(screen_.WaitFor(program->Pid(), kMainWindow), 0u);
    EXPECT_EQ(screen_.Find(program->Pid(), kNotesWindow), 0u);
    const std::string log = ReadFile(LogFile());
    EXPECT_EQ(log.rfind("Check File restlevel.zbin ... Could not check restlevel.zbin: HTTP 0 ", 0), 0u) << log;
    EXPECT_NE(log.find("\r\nUpdate cannot be installed; one or more error conditions prevent updating.\r\n"),
              std::string::npos)
        << log;
}

TEST_F(UpdateCheckProgramTest, AnEmptyServerAddressTurnsTheCheckOff) {
    auto program = Start(std::string());
    ASSERT_NE(screen_.WaitFor(program->Pid(), kMainWindow), 0u);
    EXPECT_FALSE(fs::exists(Path("cache"))) << "no check, no log, not even the folder";
}

// Release notes that never end, or that come a byte a second, do not hold the
// start: the first stop at the notes' body limit, the second at the check's
// time limit, which fails the check (no question, although the package is
// newer). Either way the program goes on to its settings window.
struct HostileNotesCase {
    const char* name;
    const char* wrapper;      // the server's answer for every file below the address
    std::int64_t packageAge;  // seconds the package is newer than the program
    const char* logPart;
    // Bytes of notes (0: the usual ones): a trickle slow for them and quick
    // for the package's signature, which comes before them.
    std::size_t notesSize = 0;
};
void PrintTo(const HostileNotesCase& c, std::ostream* out) { *out << c.name; }

class UpdateCheckHostileNotesTest : public UpdateCheckProgramTest,
                                    public ::testing::WithParamInterface<HostileNotesCase> {};

TEST_P(UpdateCheckHostileNotesTest, TheProgramStartsWithinTheTimeLimit) {
    const HostileNotesCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Publish(exeTime_ + c.packageAge,
                                    c.notesSize == 0 ? kNotes : "{\\rtf1 " + std::string(c.notesSize - 8, 'n') + "}"));
    linuxtest::TestServer server = Serve(true);
    ASSERT_GT(server.Port(), 0);
    const auto start = std::chrono::steady_clock::now();
    auto program = Start(server.Url(c.wrapper));

    // The check's time limit (30 s), and time to start on a busy machine.
    ASSERT_NE(screen_.WaitFor(program->Pid(), kMainWindow, 30s + kDeadline), 0u)
        << "the start is held; the log reads:\n"
        << ReadFile(LogFile());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s + kDeadline);
    EXPECT_EQ(screen_.Find(program->Pid(), kNotesWindow), 0u);
    const std::string log = ReadFile(LogFile());
    EXPECT_NE(log.find(std::string("RTF Info Not Available: HTTP 200 ") + c.logPart), std::string::npos) << log;
    EXPECT_EQ(log.find("Could not verify"), std::string::npos) << "the notes are what failed:\n" << log;
    // Well below the endless body's growth: only the limit's worth was kept.
    const std::string status = ReadFile("/proc/" + std::to_string(program->Pid()) + "/status");
    const std::size_t peak = status.find("VmHWM:");
    ASSERT_NE(peak, std::string::npos);
    EXPECT_LT(std::stol(status.substr(peak + 6)), 400L * 1024) << "kB at the peak";
}

INSTANTIATE_TEST_SUITE_P(
    Notes, UpdateCheckHostileNotesTest,
    ::testing::Values(HostileNotesCase{"NeverEnding", "/endless", 0, "Response body exceeds 4194304 bytes"},
                      HostileNotesCase{"Trickling", "/trickle/20", 3600, "Time limit exceeded", 4000}),
    [](const ::testing::TestParamInfo<HostileNotesCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace rl
