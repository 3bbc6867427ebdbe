// The real RestLevel.exe's start-up update check under Wine, against the
// loopback test server (tests/support/http_server.py, a Unix program that
// Wine starts for us): over HTTPS with a test CA in the prefix's "ROOT" store
// and over plain HTTP. A newer package brings up the release notes and the
// program runs on after Escape; a package of the program's own time shows
// nothing; a server that cannot be reached does not keep the program from
// starting.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/Win32UpdateWindows.h"
#include "platform/win32/Win32Window.h"
#include "tests/win32/UpdateTestSupport.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using win32test::CaptionOf;
using win32test::LastWrite;
using win32test::LogTime;
using win32test::LoopbackServer;
using win32test::PressKeyToClose;
using win32test::ReadText;
using win32test::ScopedVariable;
using win32test::SetLastWrite;
using win32test::TrustedTestCa;
using win32test::UnixPathOf;
using win32test::VisibleWindowOf;
using win32test::WaitFor;
using win32test::WriteText;

// Starting a Wine process can take a while on a busy machine.
constexpr auto kDeadline = 90s;
constexpr char kSettingsKey[] = "HKCU\\SOFTWARE\\Halvane\\RestLevel";
constexpr char kNotesCaption[] = "RestLevel Update";
// Release notes with a line that the rich edit shows as text.
constexpr char kNotes[] =
    "{\\rtf1\\ansi{\\fonttbl{\\f0 Tahoma;}}{\\colortbl;\\red255\\green0\\blue0;}"
    "\\f0\\fs28\\cf1\\b Version 9\\b0\\par New: a quieter rest\\par}";
constexpr std::int64_t kTicksPerSecond = 10000000;

std::string ProgramPath() {
    const std::string self = win32test::ModulePath();
    return self.substr(0, self.find_last_of('\\') + 1) + "RestLevel.exe";
}

// Whether a connection to the port on 127.0.0.1 is refused.
bool Refused(int port) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    const bool refused = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0;
    closesocket(s);
    WSACleanup();
    return refused;
}

// WM_GETTEXT itself: GetWindowText gives only captions across processes.
std::string TextOf(HWND window) {
    char text[1024] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 30000, &length);
    return text;
}

class UpdateCheckProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        log_ = std::string(temp) + "RestLevel Update.log";
        DeleteFileA(log_.c_str());
        folder_ = std::string(temp) + "RestLevelUpdateCheck-" + std::to_string(GetCurrentProcessId()) + "\\";
        CreateDirectoryA(folder_.c_str(), nullptr);
        CreateDirectoryA((folder_ + "server").c_str(), nullptr);
        DeleteFileA(Requests().c_str());
        exeTime_ = LastWrite(ProgramPath());
        ASSERT_NE(exeTime_, 0u);
        // A first run: the settings window opens once creation is done.
        win32test::Reg(std::string("delete \"") + kSettingsKey + "\" /f");
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    // The server's folder as the publishing tool writes it, signed with the
    // build's test key: a package dated `packageTime` (a file time; only the
    // time counts here) and the notes.
    void Publish(std::uint64_t packageTime, const std::string& notes = kNotes) {
        WriteText(folder_ + "dist\\RestLevel.exe", "a program");
        ASSERT_TRUE(SetLastWrite(folder_ + "dist\\RestLevel.exe", packageTime));
        WriteText(folder_ + "notes.rtf", notes);
        const win32test::UnixResult result = win32test::RunUnix(
            {RL_PYTHON, win32test::SourcePath("/tools/publish-update.py"), UnixPathOf(folder_ + "dist"),
             UnixPathOf(folder_ + "server"), "--key", RL_TEST_SIGNING_KEY, "--program", "RestLevel.exe", "--notes",
             UnixPathOf(folder_ + "notes.rtf"), "--notes-name", "RestLevel.rtf"});
        ASSERT_EQ(result.status, 0) << result.output;
    }

    std::string Requests() const { return folder_ + "requests.log"; }
    std::unique_ptr<LoopbackServer> Serve(bool tls) {
        const std::string log = UnixPathOf(Requests());
        return std::make_unique<LoopbackServer>(UnixPathOf(folder_ + "server"),
                                                tls ? win32test::TrustedServer(log) : LoopbackServer::Options{log, "", ""});
    }
    static std::string Lines(const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines) text += line + "\r\n";
        return text;
    }

    std::string folder_;
    std::string log_;
    std::uint64_t exeTime_ = 0;
};

TEST_F(UpdateCheckProgramTest, ANewerPackageShowsTheNotesAndEscapeLetsTheProgramRunOn) {
    ASSERT_NO_FATAL_FAILURE(Publish(exeTime_ + 3600 * kTicksPerSecond));
    TrustedTestCa ca;
    ASSERT_TRUE(ca.Added());
    auto server = Serve(true);
    ASSERT_GT(server->Port(), 0);
    // Wine's WinInet matches the certificate's host by its DNS name.
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", ("https://localhost:" + std::to_string(server->Port()) + "/").c_str());
    win32test::StartedProgram program(ProgramPath());
    ASSERT_NE(program.ProcessId(), 0u);

    HWND notes = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (notes = VisibleWindowOf(program.ProcessId(), win32::kUpdateInfoClass)) != nullptr; },
                        kDeadline))
        << "no release-notes window";
    EXPECT_EQ(CaptionOf(notes), kNotesCaption);
    const std::string shown = TextOf(GetDlgItem(notes, win32::kIdUpdateNotes));
    EXPECT_NE(shown.find("Version 9"), std::string::npos) << shown;
    EXPECT_NE(shown.find("New: a quieter rest"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("\\rtf1"), std::string::npos) << "the notes show as RTF markup";
    EXPECT_EQ(VisibleWindowOf(program.ProcessId(), win32::kMainWindowClass), nullptr)
        << "the settings window waits for the answer";
    // The newer package's signature, and the notes' own.
    EXPECT_EQ(ReadText(Requests()),
              "HEAD /RestLevel.zbin\nGET /RestLevel.zbin.sig\nGET /RestLevel.rtf\nGET /RestLevel.rtf.sig\n");
    EXPECT_EQ(ReadText(log_), Lines({"Check File RestLevel.zbin ... " + LogTime(exeTime_ + 3600 * kTicksPerSecond) +
                                         " Needs update from local copy " + LogTime(exeTime_),
                                     "An update is available and can be installed."}));

    // Escape answers No; the start goes on to the settings window.
    EXPECT_TRUE(PressKeyToClose(notes, kNotesCaption, "Escape")) << "the notes stay open";
    EXPECT_TRUE(WaitFor([&] { return VisibleWindowOf(program.ProcessId(), win32::kMainWindowClass) != nullptr; },
                        kDeadline))
        << "the program did not run on";
}

TEST_F(UpdateCheckProgramTest, APackageOfTheProgramsOwnTimeShowsNothing) {
    ASSERT_NO_FATAL_FAILURE(Publish(exeTime_));
    auto server = Serve(false);
    ASSERT_GT(server->Port(), 0);
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", ("http://127.0.0.1:" + std::to_string(server->Port())).c_str());
    win32test::StartedProgram program(ProgramPath());

    // The check is done before the settings window opens.
    ASSERT_TRUE(WaitFor([&] { return VisibleWindowOf(program.ProcessId(), win32::kMainWindowClass) != nullptr; },
                        kDeadline));
    EXPECT_EQ(VisibleWindowOf(program.ProcessId(), win32::kUpdateInfoClass), nullptr);
    EXPECT_EQ(ReadText(log_), Lines({"Check File RestLevel.zbin ... " + LogTime(exeTime_) + " Up-to-date Local @ " +
                                         LogTime(exeTime_),
                                     "Software is already up-to-date."}));
}

TEST_F(UpdateCheckProgramTest, AServerThatCannotBeReachedDoesNotStopTheStart) {
    int closedPort = 0;
    {
        auto gone = Serve(false);
        closedPort = gone->Port();
    }
    ASSERT_GT(closedPort, 0);
    // The server ends soon after its tether is gone.
    ASSERT_TRUE(WaitFor([&] { return Refused(closedPort); }, kDeadline));
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", ("http://127.0.0.1:" + std::to_string(closedPort)).c_str());
    win32test::StartedProgram program(ProgramPath());
    ASSERT_TRUE(WaitFor([&] { return VisibleWindowOf(program.ProcessId(), win32::kMainWindowClass) != nullptr; },
                        kDeadline));
    EXPECT_EQ(VisibleWindowOf(program.ProcessId(), win32::kUpdateInfoClass), nullptr);
    const std::string log = ReadText(log_);
    EXPECT_EQ(log.rfind("Check File RestLevel.zbin ... Could not check RestLevel.zbin: HTTP 0 ", 0), 0u) << log;
    EXPECT_NE(log.find("\r\nUpdate cannot be installed; one or more error conditions prevent updating.\r\n"),
              std::string::npos)
        << log;
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
    TrustedTestCa ca;
    ASSERT_TRUE(ca.Added());
    ASSERT_NO_FATAL_FAILURE(Publish(exeTime_ + c.packageAge * kTicksPerSecond,
                                    c.notesSize == 0 ? kNotes : "{\\rtf1 " + std::string(c.notesSize - 8, 'n') + "}"));
    auto server = Serve(true);
    ASSERT_GT(server->Port(), 0);
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER",
                           ("https://localhost:" + std::to_string(server->Port()) + c.wrapper).c_str());
    win32test::StartedProgram program(ProgramPath());
    ASSERT_NE(program.ProcessId(), 0u);

    // The check's time limit (30 s), and time to start on a busy machine.
    ASSERT_TRUE(WaitFor([&] { return VisibleWindowOf(program.ProcessId(), win32::kMainWindowClass) != nullptr; },
                        30s + kDeadline))
        << "the start is held; the log reads:\n"
        << ReadText(log_);
    EXPECT_EQ(VisibleWindowOf(program.ProcessId(), win32::kUpdateInfoClass), nullptr);
    const std::string log = ReadText(log_);
    EXPECT_NE(log.find(std::string("RTF Info Not Available: HTTP 200 ") + c.logPart), std::string::npos) << log;
    EXPECT_EQ(log.find("Could not verify"), std::string::npos) << "the notes are what failed:\n" << log;
}

INSTANTIATE_TEST_SUITE_P(
    Notes, UpdateCheckHostileNotesTest,
    ::testing::Values(HostileNotesCase{"NeverEnding", "/endless", 0, "Response body exceeds 4194304 bytes"},
                      HostileNotesCase{"Trickling", "/trickle/20", 3600, "Time limit exceeded", 4000}),
    [](const ::testing::TestParamInfo<HostileNotesCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace rl
