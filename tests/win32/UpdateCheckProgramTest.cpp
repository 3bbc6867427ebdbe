// The real RestLevel.exe's start-up update check under Wine, against the
// loopback test server (tests/support/http_server.py, a Unix program that
// Wine starts for us): over HTTPS with a test CA in the prefix's "ROOT" store
// and over plain HTTP. A newer package brings up the release notes and the
// program runs on after Escape; a package of the program's own time shows
// nothing; a server that cannot be reached does not keep the program from
// starting.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/Win32UpdateWindows.h"
#include "platform/win32/Win32Window.h"
#include "tests/win32/Win32TestSupport.h"

#ifndef RL_SOURCE_DIR
#error "RL_SOURCE_DIR names the source tree (a Unix path)"
#endif
#ifndef RL_TEST_CERT_DIR
#error "RL_TEST_CERT_DIR names the folder of make_test_ca.sh's certificates (a Unix path)"
#endif

namespace rl {
namespace {

using namespace std::chrono_literals;
using win32test::WaitFor;

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

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Wine's own conversion to the Unix path (kernel32 exports it under Wine only).
std::string UnixPathOf(const std::string& windowsPath) {
    using Fn = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return std::string();
    const std::wstring wide(windowsPath.begin(), windowsPath.end());
    char* unix = convert(wide.c_str());
    if (unix == nullptr) return std::string();
    std::string result(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

std::uint64_t LastWrite(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

bool SetLastWrite(const std::string& path, std::uint64_t time) {
    const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME t{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    const bool ok = SetFileTime(file, nullptr, nullptr, &t) != FALSE;
    CloseHandle(file);
    return ok;
}

// A file time in the log's form "yyyy-mm-dd hh:nn:ss" (UTC, seconds cut).
std::string LogTime(std::uint64_t time) {
    const FILETIME t{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    SYSTEMTIME s{};
    FileTimeToSystemTime(&t, &s);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute,
                  s.wSecond);
    return text;
}

// A Unix program started through Wine, which hands back no process handle:
// the loopback server, tied to a socket of ours (run_tethered.py) on which
// it reports its port and through which it ends when we close it.
class LoopbackServer {
public:
    LoopbackServer(const std::string& unixRoot, const std::string& unixLog, bool tls) {
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
        started_ = true;
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener_, 1) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        std::string line = "Z:\\usr\\bin\\python3 " + Quoted(RL_SOURCE_DIR "/tests/win32/helpers/run_tethered.py") +
                           " " + std::to_string(ntohs(address.sin_port)) + " " +
                           Quoted(RL_SOURCE_DIR "/tests/support/http_server.py") + " --root " + Quoted(unixRoot) +
                           " --log " + Quoted(unixLog);
        if (tls) line += " --tls " + Quoted(RL_TEST_CERT_DIR "/server.pem") + " " + Quoted(RL_TEST_CERT_DIR "/server.key");
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return;
        if (info.hThread != nullptr) CloseHandle(info.hThread);
        if (info.hProcess != nullptr) CloseHandle(info.hProcess);

        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(listener_, &ready);
        timeval timeout{30, 0};
        if (select(0, &ready, nullptr, nullptr, &timeout) != 1) return;
        tether_ = accept(listener_, nullptr, nullptr);
        if (tether_ == INVALID_SOCKET) return;
        std::string text;
        char c = 0;
        while (text.size() < 64 && recv(tether_, &c, 1, 0) == 1 && c != '\n') text += c;
        if (text.rfind("PORT ", 0) == 0) port_ = std::atoi(text.c_str() + 5);
    }
    ~LoopbackServer() {
        if (tether_ != INVALID_SOCKET) closesocket(tether_);
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        if (started_) WSACleanup();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // 0 when the server did not start.
    int Port() const { return port_; }

private:
    static std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET tether_ = INVALID_SOCKET;
    int port_ = 0;
};

// The test CA in the current user's "ROOT" store while the object lives;
// WinInet then trusts the test server's certificate.
class TrustedTestCa {
public:
    TrustedTestCa() {
        std::ifstream in("Z:" RL_TEST_CERT_DIR "/ca.der", std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        der_ = bytes.str();
        if (der_.empty()) return;
        HCERTSTORE store = OpenRoot();
        if (store == nullptr) return;
        added_ = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, Bytes(), Size(),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
        // Closing the store writes the certificate into the registry.
        CertCloseStore(store, 0);
    }
    ~TrustedTestCa() {
        if (!added_) return;
        HCERTSTORE store = OpenRoot();
        if (store == nullptr) return;
        if (PCCERT_CONTEXT ca = CertCreateCertificateContext(X509_ASN_ENCODING, Bytes(), Size())) {
            if (PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ca,
                                                                  nullptr))
                CertDeleteCertificateFromStore(found);
            CertFreeCertificateContext(ca);
        }
        CertCloseStore(store, 0);
    }
    TrustedTestCa(const TrustedTestCa&) = delete;
    TrustedTestCa& operator=(const TrustedTestCa&) = delete;
    bool Added() const { return added_; }

private:
    static HCERTSTORE OpenRoot() {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "ROOT");
    }
    const BYTE* Bytes() const { return reinterpret_cast<const BYTE*>(der_.data()); }
    DWORD Size() const { return static_cast<DWORD>(der_.size()); }

    std::string der_;
    bool added_ = false;
};

// The server address for the programs this test starts; they inherit it.
class ServerVariable {
public:
    explicit ServerVariable(const std::string& value) {
        char old[1024] = {};
        const DWORD length = GetEnvironmentVariableA(kName, old, sizeof(old));
        if (length > 0 && length < sizeof(old)) old_ = old;
        else if (length == 0 && GetLastError() != ERROR_ENVVAR_NOT_FOUND) old_ = "";
        SetEnvironmentVariableA(kName, value.c_str());
    }
    ~ServerVariable() { SetEnvironmentVariableA(kName, old_ ? old_->c_str() : nullptr); }
    ServerVariable(const ServerVariable&) = delete;
    ServerVariable& operator=(const ServerVariable&) = delete;

private:
    static constexpr char kName[] = "RESTLEVEL_UPDATE_SERVER";
    std::optional<std::string> old_;
};

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

HWND VisibleWindowOf(DWORD processId, const char* windowClass) {
    struct Search {
        DWORD processId;
        const char* windowClass;
        HWND found;
    } search{processId, windowClass, nullptr};
    EnumWindows(
        [](HWND w, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            char name[64] = {};
            GetClassNameA(w, name, sizeof(name));
            if (owner != s->processId || std::string(name) != s->windowClass || !IsWindowVisible(w)) return TRUE;
            s->found = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// WM_GETTEXT itself: GetWindowText gives only captions across processes.
std::string TextOf(HWND window) {
    char text[1024] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 30000, &length);
    return text;
}

std::string CaptionOf(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

// Runs a Unix program through Wine, which hands back no process handle.
void StartUnixProgram(const std::string& commandLine) {
    std::string line = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    if (info.hThread != nullptr) CloseHandle(info.hThread);
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
}

// A real key press through the X server, with xdotool; true once the window
// has gone. Wine drops a key that arrives before both sides agree on the
// window: it is made the foreground window first, and xdotool waits for the
// X focus to be on it before it sends the key. A key lost all the same is
// sent again while the window is still there (xdotool finds no window by
// that title once it has gone, and then sends nothing).
bool PressKeyToClose(HWND window, const std::string& title, const std::string& key) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!WaitFor(
                [&] {
                    SetForegroundWindow(window);
                    return !IsWindow(window) || GetForegroundWindow() == window;
                },
                kDeadline))
            return false;
        StartUnixProgram("Z:\\usr\\bin\\xdotool search --name \"^" + title + "$\" windowfocus --sync %1 key " + key);
        if (WaitFor([&] { return !IsWindow(window); }, 20s)) return true;
    }
    return false;
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
        WriteText(folder_ + "server\\RestLevel.zbin", "a zlib stream; only its time counts here");
        WriteText(folder_ + "server\\RestLevel.rtf", kNotes);
        exeTime_ = LastWrite(ProgramPath());
        ASSERT_NE(exeTime_, 0u);
        // A first run: the settings window opens once creation is done.
        win32test::Reg(std::string("delete \"") + kSettingsKey + "\" /f");
    }
    void TearDown() override {
        DeleteFileA((folder_ + "server\\RestLevel.zbin").c_str());
        DeleteFileA((folder_ + "server\\RestLevel.rtf").c_str());
        DeleteFileA(Requests().c_str());
        RemoveDirectoryA((folder_ + "server").c_str());
        RemoveDirectoryA(folder_.c_str());
    }

    std::string Requests() const { return folder_ + "requests.log"; }
    std::unique_ptr<LoopbackServer> Serve(bool tls) {
        return std::make_unique<LoopbackServer>(UnixPathOf(folder_ + "server"), UnixPathOf(Requests()), tls);
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
    ASSERT_TRUE(SetLastWrite(folder_ + "server\\RestLevel.zbin", exeTime_ + 3600 * kTicksPerSecond));
    TrustedTestCa ca;
    ASSERT_TRUE(ca.Added());
    auto server = Serve(true);
    ASSERT_GT(server->Port(), 0);
    // Wine's WinInet matches the certificate's host by its DNS name.
    ServerVariable address("https://localhost:" + std::to_string(server->Port()) + "/");
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
    EXPECT_EQ(ReadText(Requests()), "HEAD /RestLevel.zbin\nGET /RestLevel.rtf\n");
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
    ASSERT_TRUE(SetLastWrite(folder_ + "server\\RestLevel.zbin", exeTime_));
    auto server = Serve(false);
    ASSERT_GT(server->Port(), 0);
    ServerVariable address("http://127.0.0.1:" + std::to_string(server->Port()));
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
    ServerVariable address("http://127.0.0.1:" + std::to_string(closedPort));
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

}  // namespace
}  // namespace rl
