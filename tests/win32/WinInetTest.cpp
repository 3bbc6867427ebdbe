// The internet adapter over Wine's WinInet, and the HTTP client through it,
// against the loopback test server (tests/support/http_server.py) started by
// these tests.
#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Http.h"
#include "platform/TextSystem.h"
#include "support/Application.h"
#include "support/VorlLibText.h"
#include "tests/contract/InternetContract.h"
#include "tests/win32/UpdateTestSupport.h"
#include "tests/win32/Win32TestSupport.h"
#include "update/KzHTTP.h"

namespace rl {
namespace {

using win32test::LoopbackServer;
using win32test::RunningUnderWine;
using win32test::SameBytes;
using win32test::TrustedTestCa;
using win32test::UnixPathOf;
using contract::InternetContract;



// The server's generated bodies: byte (offset % 251) at every offset.
std::string Pattern(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// The application port as the program's user-interface thread has it: pending
// messages are processed by the real message pump.
class PumpingApplication : public IApplication {
public:
    std::string ExeName() override { return win32test::ModulePath(); }
    std::vector<std::string> Arguments() override { return {}; }
    std::uint32_t CurrentThreadId() override { return GetCurrentThreadId(); }
    std::uint32_t CurrentProcessId() override { return GetCurrentProcessId(); }
    bool HasMainForm() override { return false; }
    void CloseMainForm() override {}
    void MessageBox(const std::string&, std::uint32_t) override {}
    void ProcessMessages() override {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    [[noreturn]] void Terminate(int exitCode) override { ExitProcess(static_cast<UINT>(exitCode)); }
};

struct ServedFile {
    const char* name;
    std::size_t size;
    std::int64_t modified;  // seconds since 1970, UTC
};

// Files of the served folder, each with its own last-write time.
const ServedFile kServedFiles[] = {
    {"RestLevel.zbin", 40000, 981173106},  // 2001-02-03 04:05:06
    {"old.bin", 1, 315532802},             // 1980-01-01 00:00:02
    {"eve.bin", 0, 946684799},             // 1999-12-31 23:59:59, empty
    {"late.bin", 70000, 2224670400},       // 2040-06-30 12:00:00, past 32-bit seconds
};

std::string FileContent(const ServedFile& file) {
    std::string bytes(file.size, '\0');
    for (std::size_t i = 0; i < file.size; ++i) bytes[i] = static_cast<char>((i * 7 + file.name[0]) & 0xFF);
    return bytes;
}

enum class Scheme { Http, HttpsTrusted, HttpsUntrusted };

class WinInetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        folder_ = new std::string(std::string(temp) + "rl-wininet-" + std::to_string(GetCurrentProcessId()));
        CreateDirectoryA(folder_->c_str(), nullptr);
        for (const ServedFile& file : kServedFiles) {
            const std::string path = *folder_ + "\\" + file.name;
            { std::ofstream(path, std::ios::binary) << FileContent(file); }
            HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            const std::uint64_t ticks = (static_cast<std::uint64_t>(file.modified) + 11644473600ull) * 10000000ull;
            FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
            SetFileTime(h, nullptr, nullptr, &time);
            CloseHandle(h);
        }
        servers_ = new std::map<Scheme, std::unique_ptr<LoopbackServer>>();
    }

    static void TearDownTestSuite() {
        delete servers_;
        servers_ = nullptr;
        delete trustedCa_;
        trustedCa_ = nullptr;
        for (const ServedFile& file : kServedFiles) DeleteFileA((*folder_ + "\\" + file.name).c_str());
        RemoveDirectoryA(folder_->c_str());
        delete folder_;
        folder_ = nullptr;
    }

    void SetUp() override {
        previousInternet_ = InternetPort();
        previousText_ = TextSystemPort();
        previousApplication_ = ApplicationPort();
        SetInternetPort(internet_.get());
        SetTextSystemPort(text_.get());
        SetApplicationPort(&application_);
    }

    void TearDown() override {
        SetInternetPort(previousInternet_);
        SetTextSystemPort(previousText_);
        SetApplicationPort(previousApplication_);
    }

    // The server of that scheme, started on first use; the trusted one with
    // the test CA in the ROOT store.
    static int PortOf(Scheme scheme) {
        auto& server = (*servers_)[scheme];
        if (!server) {
            const std::string root = UnixPathOf(*folder_);
            switch (scheme) {
                case Scheme::Http: server = std::make_unique<LoopbackServer>(root); break;
                case Scheme::HttpsTrusted:
                    if (trustedCa_ == nullptr) trustedCa_ = new TrustedTestCa();
                    server = std::make_unique<LoopbackServer>(root, win32test::TrustedServer());
                    break;
                case Scheme::HttpsUntrusted:
                    server =
                        std::make_unique<LoopbackServer>(root, win32test::UntrustedServer());
                    break;
            }
        }
        return server->Port();
    }

    // HTTPS goes to "localhost": the certificates name it besides 127.0.0.1,
    // and Wine matches only a certificate's host names (see
    // HttpsToAnAddressNamedInTheCertificate).
    static std::string Url(const std::string& path, Scheme scheme = Scheme::Http) {
        const char* host = scheme == Scheme::Http ? "http://127.0.0.1:" : "https://localhost:";
        return host + std::to_string(PortOf(scheme)) + path;
    }

    struct Get {
        bool ok = false;
        std::string body;
        std::uint32_t status = 0;
        std::uint32_t length = 0;
        double modified = 0;
        std::string error;
        std::string location;
        std::string raw;
    };

    static Get DoGet(const std::string& url, IProgressBar* progress = nullptr, bool noRedirect = false,
                     const std::string& user = NullStringValue, const std::string& password = NullStringValue,
                     const std::string& extraHeaders = "") {
        Get r;
        r.ok = HTTPGet(url, r.body, r.status, r.length, r.modified, r.error, progress, 20000, 0, user, password,
                       false, noRedirect, kPackageBodyLimit, &r.location, &r.raw, extraHeaders);
        return r;
    }

    struct Head {
        bool ok = false;
        std::uint32_t status = 0;
        std::uint64_t length = 0;
        double modified = 0;
        std::string error;
        std::string location;
        std::string raw;
        std::string body;
    };

    static Head DoHead(const std::string& url, bool noRedirect = false, const std::string& user = NullStringValue,
                       const std::string& password = NullStringValue) {
        Head r;
        r.ok = HTTPHead(url, "", "", r.status, r.length, r.modified, r.error, nullptr, 20000, 0, user, password, true,
                        noRedirect, &r.location, &r.raw, &r.body);
        return r;
    }

    std::unique_ptr<IInternet> internet_ = CreateInternet();
    std::unique_ptr<ITextSystem> text_ = CreateTextSystem();
    PumpingApplication application_;

    static std::string* folder_;
    static std::map<Scheme, std::unique_ptr<LoopbackServer>>* servers_;
    static TrustedTestCa* trustedCa_;

private:
    IInternet* previousInternet_ = nullptr;
    ITextSystem* previousText_ = nullptr;
    IApplication* previousApplication_ = nullptr;
};

std::string* WinInetTest::folder_ = nullptr;
std::map<Scheme, std::unique_ptr<LoopbackServer>>* WinInetTest::servers_ = nullptr;
TrustedTestCa* WinInetTest::trustedCa_ = nullptr;

// Options set through the port reach WinInet's handle.
TEST_F(WinInetTest, OptionsReachTheHandle) {
    IInternet& net = *internet_;
    const InetHandle internet = net.Open("RestLevel", kInternetOpenTypePreconfig, 0);
    ASSERT_NE(internet, 0u);
    EXPECT_TRUE(net.SetOption(internet, kInternetOptionConnectTimeout, 20000));
    DWORD timeout = 0;
    DWORD size = sizeof(timeout);
    ASSERT_TRUE(InternetQueryOptionA(reinterpret_cast<HINTERNET>(internet), INTERNET_OPTION_CONNECT_TIMEOUT, &timeout,
                                     &size));
    EXPECT_EQ(timeout, 20000u);
    EXPECT_TRUE(net.CloseHandle(internet));
}

// A progress bar that keeps every position it was given and, on the first,
// posts a message to a window of this thread, whose handling it notes.
class WatchedProgressBar : public IProgressBar {
public:
    WatchedProgressBar() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "RestLevelProgressWatch";
        RegisterClassA(&wc);
        window_ = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~WatchedProgressBar() override { DestroyWindow(window_); }

    std::vector<int> positions;
    int positionWhenHandled = -1;  // the bar's position when the posted message was handled

    int Position() const override { return positions.empty() ? initial : positions.back(); }
    void SetPosition(int position) override {
        if (positions.empty()) PostMessageA(window_, WM_APP, 0, 0);
        positions.push_back(position);
    }
    int Max() const override { return 1000; }
    void Show() override {}
    void BringToFront() override {}
    void Repaint() override {}

    int initial = 0;

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_APP) {
            auto* self = reinterpret_cast<WatchedProgressBar*>(GetWindowLongPtrA(window, GWLP_USERDATA));
            self->positionWhenHandled = self->Position();
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    HWND window_ = nullptr;
};

// A body cut short by an orderly close: WinInet's reads simply end, so the
// request fails for its length, without an error text.
TEST_F(WinInetTest, ABodyCutShortFailsWithoutText) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    const Get get = DoGet(Url("/short/100000/60000"));
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.status, 200u);
    EXPECT_TRUE(SameBytes(get.body, Pattern(60000)));
    EXPECT_EQ(get.error, "");
}

// The server resets the connection in the middle of the body. The body is
// made larger than what the sockets can buffer, so the headers have surely
// been read when the reset comes. Wine then either ends the body without an
// error or fails the read with Winsock's WSAECONNRESET (10054, where Windows
// gives ERROR_INTERNET_CONNECTION_RESET); bytes still buffered at the reset
// are lost. Either way the body is short and the request fails.
TEST_F(WinInetTest, ConnectionDroppedMidBodyFails) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    WatchedProgressBar bar;
    const Get get = DoGet(Url("/drop/16000000/12000000"), &bar);
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.status, 200u);
    EXPECT_EQ(get.length, 16000000u);
    EXPECT_LE(get.body.size(), 12000000u);
    EXPECT_TRUE(SameBytes(get.body, Pattern(get.body.size())));
    if (!bar.positions.empty()) {
        EXPECT_LT(bar.positions.back(), 1000);
    }
}

// A body that comes slowly: the bar rises to 1000, and a message posted to
// this thread while the body comes in is handled before it ends.
TEST_F(WinInetTest, SlowBodyAdvancesTheBarAndLetsMessagesThrough) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    WatchedProgressBar bar;
    const Get get = DoGet(Url("/slow/200000/5/150"), &bar);
    EXPECT_TRUE(get.ok) << get.error;
    EXPECT_TRUE(SameBytes(get.body, Pattern(200000)));
    ASSERT_FALSE(bar.positions.empty());
    EXPECT_TRUE(std::is_sorted(bar.positions.begin(), bar.positions.end()));
    EXPECT_EQ(bar.positions.back(), 1000);
    EXPECT_GT(bar.positionWhenHandled, 0);
    EXPECT_LT(bar.positionWhenHandled, 1000) << "the message waited for the whole body";
}

TEST_F(WinInetTest, PermanentRedirect308) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    const std::string url = Url("/redirect?to=/RestLevel.zbin&code=308");
    const Get kept = DoGet(url, nullptr, true);
    EXPECT_EQ(kept.status, 308u);
    EXPECT_EQ(kept.location, Url("/RestLevel.zbin"));

    const Get followed = DoGet(url);
    if (followed.status == 308 && RunningUnderWine())
        GTEST_SKIP() << "Wine 8's WinInet does not follow 308 Permanent Redirect (it answers the 308 itself)";
    EXPECT_TRUE(followed.ok) << followed.error;
    EXPECT_TRUE(SameBytes(followed.body, FileContent(kServedFiles[0])));
}

// A server that stops sending: the read fails once the receive time-out has
// passed, with WinInet's time-out code (Wine's WinInet gives Winsock's; it
// takes the time-out only on the request handle, where the client sets it as
// well).
TEST_F(WinInetTest, StalledBodyFailsAfterTheReceiveTimeout) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    std::string body;
    std::uint32_t status = 0;
    std::uint32_t length = 0;
    double modified = 0;
    std::string error;
    EXPECT_FALSE(HTTPGet(Url("/stall/100000/30000"), body, status, length, modified, error, nullptr, 20000, 1000,
                         NullStringValue, NullStringValue, true, false));
    EXPECT_EQ(status, 200u);
    EXPECT_TRUE(SameBytes(body, Pattern(30000)));
    EXPECT_EQ(error, SysErrorText(RunningUnderWine() ? WSAETIMEDOUT : 12002));
}

// The certificate names 127.0.0.1 as an IP address entry besides its host
// name.
TEST_F(WinInetTest, HttpsToAnAddressNamedInTheCertificate) {
    ASSERT_NE(PortOf(Scheme::HttpsTrusted), 0);
    const Get get = DoGet("https://127.0.0.1:" + std::to_string(PortOf(Scheme::HttpsTrusted)) + "/RestLevel.zbin");
    if (!get.ok && RunningUnderWine() && get.error == "Send Request Failed: " + SysErrorText(12038))
        GTEST_SKIP() << "Wine 8 matches only host names of a certificate, not its IP addresses: " << get.error;
    EXPECT_TRUE(get.ok) << get.error;
    EXPECT_TRUE(SameBytes(get.body, FileContent(kServedFiles[0])));
}

// The shared contract ----------------------------------------------------------

// WinInet with the test CA in the ROOT store while a case runs, and servers
// started once for every case. HTTPS goes to "localhost": Wine matches only a
// certificate's host names.
class WinInetRig : public contract::InternetRig {
public:
    IInternet& Internet() override { return *internet_; }
    ITextSystem& Text() override { return *text_; }
    std::string Url(contract::Site site, const std::string& path) override {
        const int port = Servers().Of(site).Port();
        const char* scheme = site == contract::Site::Plain ? "http://127.0.0.1:" : "https://localhost:";
        return scheme + std::to_string(port) + path;
    }
    int ClosedPort() override {
        // A port that was just free: bind, note it, close.
        SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        closesocket(probe);
        return ntohs(address.sin_port);
    }

private:
    // The test CA's certificate for another host, beside its server certificate.
    static LoopbackServer::Options WrongName() {
        LoopbackServer::Options options = win32test::TrustedServer();
        for (std::string* file : {&options.tlsCert, &options.tlsKey})
            file->replace(file->rfind("server."), 6, "wrongname");
        return options;
    }
    struct ServerSet {
        std::string root = UnixPathOf(Root());
        LoopbackServer plain{root};
        LoopbackServer trusted{root, win32test::TrustedServer()};
        LoopbackServer wrongName{root, WrongName()};
        LoopbackServer untrusted{root, win32test::UntrustedServer()};
        LoopbackServer& Of(contract::Site site) {
            switch (site) {
                case contract::Site::Plain: return plain;
                case contract::Site::Trusted: return trusted;
                case contract::Site::WrongName: return wrongName;
                case contract::Site::Untrusted: return untrusted;
            }
            return plain;
        }
        // An empty folder: the contract asks only for generated answers.
        static std::string Root() {
            char temp[MAX_PATH] = {};
            GetTempPathA(MAX_PATH, temp);
            const std::string folder = std::string(temp) + "rl-contract-" + std::to_string(GetCurrentProcessId());
            CreateDirectoryA(folder.c_str(), nullptr);
            return folder;
        }
    };
    static ServerSet& Servers() {
        static ServerSet servers;  // stopped at the process's end
        return servers;
    }

    TrustedTestCa ca_;
    std::unique_ptr<IInternet> internet_ = CreateInternet();
    std::unique_ptr<ITextSystem> text_ = CreateTextSystem();
};

INSTANTIATE_TEST_SUITE_P(WinInet, InternetContract,
                         ::testing::Values(contract::RigFactory([] { return std::make_unique<WinInetRig>(); })));

}  // namespace
}  // namespace rl
