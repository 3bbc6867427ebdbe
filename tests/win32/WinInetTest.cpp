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

constexpr double kUnixEpochDays = 25569.0;  // 1 January 1970 as a date-time
constexpr double kOneSecond = 1.0 / 86400.0;

double DateTimeOfUnix(std::int64_t seconds) { return kUnixEpochDays + static_cast<double>(seconds) / 86400.0; }


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
                       false, noRedirect, &r.location, &r.raw, extraHeaders);
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

// The adapter's calls one by one, as the client makes them.
TEST_F(WinInetTest, AdapterCallsFetchAFileWithItsHeaders) {
    ASSERT_NE(PortOf(Scheme::Http), 0) << "the loopback server did not start";
    IInternet& net = *internet_;
    const InetHandle internet = net.Open("RestLevel", kInternetOpenTypePreconfig, 0);
    ASSERT_NE(internet, 0u);
    EXPECT_TRUE(net.SetOption(internet, kInternetOptionConnectTimeout, 20000));
    DWORD timeout = 0;
    DWORD size = sizeof(timeout);
    ASSERT_TRUE(InternetQueryOptionA(reinterpret_cast<HINTERNET>(internet), INTERNET_OPTION_CONNECT_TIMEOUT, &timeout,
                                     &size));
    EXPECT_EQ(timeout, 20000u);

    const InetHandle connection = net.Connect(internet, "127.0.0.1", static_cast<std::uint16_t>(PortOf(Scheme::Http)),
                                              nullptr, nullptr, kInternetServiceHttp, 0, 1);
    ASSERT_NE(connection, 0u);
    const InetHandle request =
        net.OpenRequest(connection, "GET", "/RestLevel.zbin", {"*/*"}, kInternetFlagReload, 1);
    ASSERT_NE(request, 0u);
    ASSERT_TRUE(net.SendRequest(request, "", nullptr, 0));

    std::uint32_t status = 0;
    std::uint32_t length = sizeof(status);
    ASSERT_TRUE(net.QueryInfo(request, kHttpQueryStatusCode | kHttpQueryFlagNumber, &status, &length));
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(length, 4u);
    std::uint32_t contentLength = 0;
    length = sizeof(contentLength);
    ASSERT_TRUE(net.QueryInfo(request, kHttpQueryContentLength | kHttpQueryFlagNumber, &contentLength, &length));
    EXPECT_EQ(contentLength, 40000u);
    SYSTEMTIME modified{};
    length = sizeof(modified);
    ASSERT_TRUE(net.QueryInfo(request, kHttpQueryLastModified | kHttpQueryFlagSystemTime, &modified, &length));
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(modified.wYear, 2001);
    EXPECT_EQ(modified.wMonth, 2);
    EXPECT_EQ(modified.wDay, 3);
    EXPECT_EQ(modified.wHour, 4);
    EXPECT_EQ(modified.wMinute, 5);
    EXPECT_EQ(modified.wSecond, 6);

    // Text: the length without the terminating zero; a buffer without room
    // for that zero fails with the size needed.
    char text[64] = {};
    length = sizeof(text);
    ASSERT_TRUE(net.QueryInfo(request, kHttpQueryContentLength, text, &length));
    EXPECT_EQ(std::string(text, length), "40000");
    length = 5;
    SetLastError(0);
    EXPECT_FALSE(net.QueryInfo(request, kHttpQueryContentLength, text, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, 6u);
    length = sizeof(text);
    EXPECT_FALSE(net.QueryInfo(request, kHttpQueryLocation, text, &length));
    EXPECT_EQ(GetLastError(), kErrorHttpHeaderNotFound);

    std::string body;
    char buffer[16384];
    for (;;) {
        std::uint32_t read = 0;
        ASSERT_TRUE(net.ReadFile(request, buffer, sizeof(buffer), read));
        if (read == 0) break;
        body.append(buffer, read);
    }
    EXPECT_TRUE(SameBytes(body, FileContent(kServedFiles[0])));

    std::uint32_t error = 99;
    std::string response = "not touched";
    EXPECT_TRUE(net.LastResponseInfo(error, response, 1024));
    EXPECT_EQ(response, "");

    EXPECT_TRUE(net.CloseHandle(request));
    EXPECT_TRUE(net.CloseHandle(internet));
    EXPECT_FALSE(net.CloseHandle(request)) << "closed handles are gone";
}

// GET and HEAD give each file with its own last-write time as Last-Modified,
// in GMT, to the second.
TEST_F(WinInetTest, FilesComeWithTheirLastModifiedTimes) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    for (const ServedFile& file : kServedFiles) {
        SCOPED_TRACE(file.name);
        const Get get = DoGet(Url(std::string("/") + file.name));
        EXPECT_TRUE(get.ok) << get.error;
        EXPECT_EQ(get.status, 200u);
        EXPECT_EQ(get.length, file.size);
        EXPECT_TRUE(SameBytes(get.body, FileContent(file)));
        EXPECT_EQ(get.error, "");
        EXPECT_NEAR(get.modified, DateTimeOfUnix(file.modified), kOneSecond / 10);

        const Head head = DoHead(Url(std::string("/") + file.name));
        EXPECT_TRUE(head.ok) << head.error;
        EXPECT_EQ(head.status, 200u);
        EXPECT_EQ(head.length, file.size);
        EXPECT_EQ(head.body, "") << "HEAD has no body";
        EXPECT_NEAR(head.modified, DateTimeOfUnix(file.modified), kOneSecond / 10);
        EXPECT_NE(head.raw.find("HTTP/1.1 200"), std::string::npos) << head.raw;
    }
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

// A 404 brings its error page as the body; the request fails with no error
// text.
TEST_F(WinInetTest, NotFoundBringsItsPageAndFails) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    const Get get = DoGet(Url("/missing.bin"));
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.status, 404u);
    EXPECT_EQ(get.body, "Status 404\n");
    EXPECT_EQ(get.length, 11u);
    EXPECT_EQ(get.error, "");

    const Head head = DoHead(Url("/missing.bin"));
    EXPECT_FALSE(head.ok);
    EXPECT_EQ(head.status, 404u);
    EXPECT_EQ(head.length, 11u);
    EXPECT_EQ(head.error, "");
}

// Bodies that end otherwise than their headers said, in order.
TEST_F(WinInetTest, BodiesThatEndOtherwiseThanAnnounced) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    struct Case {
        const char* path;
        bool ok;
        std::size_t received;  // bytes the body must hold
    };
    const Case cases[] = {
        // No length: whatever came is the body, and the bar stays put.
        {"/nolength/100000", true, 100000},
        {"/nolength/0", true, 0},
        // The server closes after 60000 of 100000 bytes; the reads simply end.
        {"/short/100000/60000", false, 60000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        WatchedProgressBar bar;
        bar.initial = 5;
        const Get get = DoGet(Url(c.path), &bar);
        EXPECT_EQ(get.ok, c.ok) << get.error;
        EXPECT_EQ(get.status, 200u);
        EXPECT_TRUE(SameBytes(get.body, Pattern(c.received)));
        EXPECT_EQ(get.error, "");
        if (get.length == 0) {
            EXPECT_TRUE(bar.positions.empty()) << "without a length the bar stays where it was";
            EXPECT_EQ(bar.Position(), 5);
        }
    }
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

// A redirect is followed unless no-redirect is set; then the answer is the
// redirect itself, with its Location.
TEST_F(WinInetTest, RedirectsFollowedUnlessNoRedirect) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    const std::string target = Url("/RestLevel.zbin");
    for (const char* code : {"301", "302", "303", "307"}) {
        SCOPED_TRACE(code);
        const std::string url = Url(std::string("/redirect?to=/RestLevel.zbin&code=") + code);
        const Get followed = DoGet(url);
        EXPECT_TRUE(followed.ok) << followed.error;
        EXPECT_EQ(followed.status, 200u);
        EXPECT_TRUE(SameBytes(followed.body, FileContent(kServedFiles[0])));
        EXPECT_NEAR(followed.modified, DateTimeOfUnix(kServedFiles[0].modified), kOneSecond / 10);
        const Head headFollowed = DoHead(url);
        EXPECT_TRUE(headFollowed.ok);
        EXPECT_EQ(headFollowed.length, kServedFiles[0].size);

        const Get kept = DoGet(url, nullptr, true);
        EXPECT_FALSE(kept.ok);
        EXPECT_EQ(kept.status, static_cast<std::uint32_t>(std::atoi(code)));
        EXPECT_EQ(kept.location, target);
        EXPECT_EQ(kept.body, std::string("Status ") + code + "\n");
        EXPECT_EQ(kept.error, "");
        const Head headKept = DoHead(url, true);
        EXPECT_FALSE(headKept.ok);
        EXPECT_EQ(headKept.status, static_cast<std::uint32_t>(std::atoi(code)));
        EXPECT_EQ(headKept.location, target);
    }
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

// Location and the raw headers come back only when they fit 1024 bytes with
// their terminating zero.
TEST_F(WinInetTest, HeaderTextsLongerThanTheBufferComeBackEmpty) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    const std::string prefix = "http://127.0.0.1:" + std::to_string(PortOf(Scheme::Http));
    for (const std::size_t size : {std::size_t{1023}, std::size_t{1024}}) {
        SCOPED_TRACE(size);
        const std::string path = "/" + std::string(size - prefix.size() - 1, 'p');
        const Get get = DoGet(Url("/redirect?to=" + path), nullptr, true);
        EXPECT_EQ(get.status, 302u);
        EXPECT_EQ(get.location, size == 1023 ? prefix + path : "");
        EXPECT_EQ(get.raw, "") << "the raw headers hold the Location too";
    }
    const Get small = DoGet(Url("/redirect?to=/x"), nullptr, true);
    EXPECT_EQ(small.raw.rfind("HTTP/1.1 302", 0), 0u) << small.raw;
    EXPECT_NE(small.raw.find("\r\nLocation: " + prefix + "/x\r\n"), std::string::npos) << small.raw;
}

// Basic authentication with the user name and password of the connection.
TEST_F(WinInetTest, BasicAuthentication) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    struct Case {
        const char* path;
        const char* user;
        const char* password;
        std::uint32_t status;
    };
    const Case cases[] = {
        {"/auth/kim/s3cret/RestLevel.zbin", "kim", "s3cret", 200},
        {"/auth/kim/s3cret/RestLevel.zbin", "kim", "wrong", 401},
        {"/auth/kim/s3cret/RestLevel.zbin", NullStringValue, NullStringValue, 401},
        {"/auth/kim//RestLevel.zbin", "kim", "", 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.user + ":" + c.password);
        const Get get = DoGet(Url(c.path), nullptr, false, c.user, c.password);
        EXPECT_EQ(get.status, c.status);
        EXPECT_EQ(get.ok, c.status == 200) << get.error;
        if (c.status == 200) {
            EXPECT_TRUE(SameBytes(get.body, FileContent(kServedFiles[0])));
        }
        const Head head = DoHead(Url(c.path), false, c.user, c.password);
        EXPECT_EQ(head.status, c.status);
    }
}

// The object name keeps its query; the agent is the application's title; the
// extra headers go out as they are.
TEST_F(WinInetTest, QueryStringAndRequestHeadersReachTheServer) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    const Get get = DoGet(Url("/echo?file=RestLevel.zbin&v=1%202"), nullptr, false, NullStringValue,
                          NullStringValue, "X-RestLevel-Test: yes\r\n");
    EXPECT_TRUE(get.ok) << get.error;
    EXPECT_EQ(get.body.rfind("GET /echo?file=RestLevel.zbin&v=1%202 HTTP/1.1\n", 0), 0u) << get.body;
    EXPECT_NE(get.body.find("\nQuery: file=RestLevel.zbin&v=1%202\n"), std::string::npos) << get.body;
    EXPECT_NE(get.body.find("\nUser-Agent: RestLevel\n"), std::string::npos) << get.body;
    EXPECT_NE(get.body.find("\nAccept: */*\n"), std::string::npos) << get.body;
    EXPECT_NE(get.body.find("\nX-RestLevel-Test: yes\n"), std::string::npos) << get.body;
}

// Nothing listens on the port: the send fails with WinInet's code.
TEST_F(WinInetTest, ClosedPortFailsAtTheSend) {
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/RestLevel.zbin";

    const Get get = DoGet(url);
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.status, 0u);
    EXPECT_EQ(get.error, "Send Request Failed: " + SysErrorText(12029));
    const Head head = DoHead(url);
    EXPECT_FALSE(head.ok);
    EXPECT_EQ(head.error, "");
}

// A server that stops sending: the read fails once the receive time-out has
// passed.
TEST_F(WinInetTest, StalledBodyFailsAfterTheReceiveTimeout) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine 8's WinInet ignores INTERNET_OPTION_RECEIVE_TIMEOUT on the internet handle (a stub) "
                        "and waits for a stalled body without end";
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
    EXPECT_EQ(error, SysErrorText(12002));
}

// HTTPS with a server certificate from the test CA, which only this test's
// ROOT store trusts.
TEST_F(WinInetTest, HttpsWithTheTrustedTestCa) {
    ASSERT_NE(PortOf(Scheme::HttpsTrusted), 0);
    ASSERT_TRUE(trustedCa_ != nullptr && trustedCa_->Added());
    const Get get = DoGet(Url("/RestLevel.zbin", Scheme::HttpsTrusted));
    EXPECT_TRUE(get.ok) << get.error;
    EXPECT_EQ(get.status, 200u);
    EXPECT_TRUE(SameBytes(get.body, FileContent(kServedFiles[0])));
    EXPECT_NEAR(get.modified, DateTimeOfUnix(kServedFiles[0].modified), kOneSecond / 10);

    const Head head = DoHead(Url("/late.bin", Scheme::HttpsTrusted));
    EXPECT_TRUE(head.ok) << head.error;
    EXPECT_EQ(head.length, kServedFiles[3].size);
    EXPECT_NEAR(head.modified, DateTimeOfUnix(kServedFiles[3].modified), kOneSecond / 10);
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

// A certificate from a CA nobody trusts fails the request.
TEST_F(WinInetTest, HttpsWithAnUntrustedCertificateFails) {
    ASSERT_NE(PortOf(Scheme::HttpsUntrusted), 0);
    const Get get = DoGet(Url("/RestLevel.zbin", Scheme::HttpsUntrusted));
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.body, "");
    EXPECT_EQ(get.error, "Send Request Failed: " + SysErrorText(12045));
    const Head head = DoHead(Url("/RestLevel.zbin", Scheme::HttpsUntrusted));
    EXPECT_FALSE(head.ok);
    EXPECT_EQ(head.status, 0u);
}

}  // namespace
}  // namespace rl
namespace rl { namespace {
TEST_F(WinInetTest, ZZExperiment) {
    ASSERT_NE(PortOf(Scheme::Http), 0);
    IInternet& net = *internet_;
    const InetHandle internet = net.Open("RestLevel", kInternetOpenTypePreconfig, 0);
    const InetHandle connection = net.Connect(internet, "127.0.0.1", static_cast<std::uint16_t>(PortOf(Scheme::Http)),
                                              nullptr, nullptr, kInternetServiceHttp, 0, 1);
    const InetHandle request = net.OpenRequest(connection, "GET", "/slow/20/20/300", {"*/*"}, kInternetFlagReload, 1);
    ASSERT_TRUE(net.SendRequest(request, "", nullptr, 0));
    char buffer[16384];
    for (int i = 0; i < 6; ++i) {
        const DWORD t0 = GetTickCount();
        std::uint32_t read = 0;
        const bool ok = net.ReadFile(request, buffer, sizeof buffer, read);
        printf("read ok=%d n=%u after %lu ms\n", ok, read, GetTickCount() - t0);
        if (read == 0) break;
    }
    net.CloseHandle(request);
    // query data available
    const InetHandle r2 = net.OpenRequest(connection, "GET", "/slow/20/20/300", {"*/*"}, kInternetFlagReload, 1);
    ASSERT_TRUE(net.SendRequest(r2, "", nullptr, 0));
    for (int i = 0; i < 4; ++i) {
        const DWORD t0 = GetTickCount();
        DWORD avail = 0;
        BOOL ok = InternetQueryDataAvailable(reinterpret_cast<HINTERNET>(r2), &avail, 0, 0);
        printf("avail ok=%d n=%lu after %lu ms\n", ok, avail, GetTickCount() - t0);
        std::uint32_t read = 0;
        net.ReadFile(r2, buffer, avail, read);
    }
    net.CloseHandle(r2);
    net.CloseHandle(internet);
    // https -> http redirect
    ASSERT_NE(PortOf(Scheme::HttpsTrusted), 0);
    const Get g = DoGet(Url("/redirect?to=" + Url("/RestLevel.zbin"), Scheme::HttpsTrusted));
    printf("redirect ok=%d status=%u size=%zu error=%s\n", g.ok, g.status, g.body.size(), g.error.c_str());
    // receive timeout on request handle: stall
    const InetHandle i3 = net.Open("RestLevel", kInternetOpenTypePreconfig, 0);
    const InetHandle c3 = net.Connect(i3, "127.0.0.1", static_cast<std::uint16_t>(PortOf(Scheme::Http)),
                                              nullptr, nullptr, kInternetServiceHttp, 0, 1);
    const InetHandle r3 = net.OpenRequest(c3, "GET", "/stall/100/50", {"*/*"}, kInternetFlagReload, 1);
    printf("setopt %d\n", net.SetOption(r3, kInternetOptionReceiveTimeout, 1000));
    ASSERT_TRUE(net.SendRequest(r3, "", nullptr, 0));
    for (int i = 0; i < 3; ++i) {
        const DWORD t0 = GetTickCount();
        std::uint32_t read = 0;
        const bool ok = net.ReadFile(r3, buffer, sizeof buffer, read);
        printf("stall read ok=%d n=%u after %lu ms err=%lu\n", ok, read, GetTickCount() - t0, GetLastError());
        if (!ok || read == 0) break;
    }
    net.CloseHandle(i3);
}
}}
