// The libcurl internet adapter against the loopback test server, through the
// HTTP client and, where the adapter's own contract matters, through the port.
#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Http.h"
#include "platform/Platform.h"
#include "platform/TextSystem.h"
#include "platform/linux/ErrorCodes.h"
#include "support/Application.h"
#include "support/VorlLibText.h"
#include "tests/contract/InternetContract.h"
#include "tests/linux/LinuxTestSupport.h"
#include "update/KzHTTP.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::ScopedEnv;
using linuxtest::TempDir;
using linuxtest::TestServer;
using contract::InternetContract;

const std::string kCerts = RL_TEST_CERT_DIR;

// The server's generated bodies: byte i is i % 251.
std::string Pattern(std::size_t count) {
    std::string s(count, '\0');
    for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<char>(i % 251);
    return s;
}

// Days since 30 December 1899 for a time in seconds since 1970 (UTC).
double DateTimeOf(std::int64_t unixSeconds) { return 25569.0 + static_cast<double>(unixSeconds) / 86400.0; }

// Records the positions it is given, and what the window event saw.
class RecordingBar : public IProgressBar {
public:
    int Position() const override { return position_; }
    void SetPosition(int position) override {
        position_ = position;
        positions.push_back(position);
    }
    int Max() const override { return 1000; }
    void Show() override { ++shown; }
    void BringToFront() override {}
    void Repaint() override {}

    std::vector<int> positions;
    int shown = 0;

private:
    int position_ = 0;
};

// The application port of the test: its pump is the real one.
class PumpingApplication : public IApplication {
public:
    std::string ExeName() override { return {}; }
    std::vector<std::string> Arguments() override { return {}; }
    std::uint32_t CurrentThreadId() override { return 0; }
    std::uint32_t CurrentProcessId() override { return 0; }
    bool HasMainForm() override { return false; }
    void CloseMainForm() override {}
    void MessageBox(const std::string&, std::uint32_t) override {}
    void ProcessMessages() override { MessagePump().ProcessMessages(); }
    [[noreturn]] void Terminate(int) override { std::abort(); }
};

struct Get {
    bool ok = false;
    std::string body;
    std::uint32_t status = 0;
    std::uint32_t length = 0;
    double lastModified = 0;
    std::string error;
    std::string location;
};

struct Head {
    bool ok = false;
    std::uint32_t status = 0;
    std::uint64_t length = 0;
    double lastModified = 0;
    std::string error;
    std::string rawHeaders;
};

class CurlInternetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new TempDir;
        plain_ = new TestServer(root_->Path());
        tls_ = new TestServer(root_->Path(), linuxtest::ServerCert());
        untrusted_ = new TestServer(root_->Path(), {kCerts + "/untrusted.pem", kCerts + "/untrusted.key"});
    }
    static void TearDownTestSuite() {
        delete untrusted_;
        delete tls_;
        delete plain_;
        delete root_;
    }

    void SetUp() override {
        ASSERT_NE(plain_->Port(), 0) << "the test server did not start";
        ASSERT_NE(tls_->Port(), 0);
        ASSERT_NE(untrusted_->Port(), 0);
        SetInternetPort(internet_.get());
        SetTextSystemPort(text_.get());
        SetApplicationPort(&application_);
    }
    void TearDown() override {
        SetApplicationPort(nullptr);
        SetTextSystemPort(nullptr);
        SetInternetPort(nullptr);
    }

    static std::string Put(const std::string& name, const std::string& content, std::int64_t mtime) {
        const std::string path = root_->Path() + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        const utimbuf times{static_cast<time_t>(mtime), static_cast<time_t>(mtime)};
        utime(path.c_str(), &times);
        return "/" + name;
    }

    Get HttpGet(const std::string& url, IProgressBar* bar = nullptr, std::uint32_t receiveTimeout = 0,
                const std::string& user = NullStringValue, const std::string& password = NullStringValue,
                bool noRedirect = false) {
        Get g;
        g.ok = HTTPGet(url, g.body, g.status, g.length, g.lastModified, g.error, bar, 20000, receiveTimeout, user,
                       password, false, noRedirect, kPackageBodyLimit, &g.location);
        return g;
    }

    Head HttpHead(const std::string& url, const std::string& data = {}) {
        Head h;
        h.ok = HTTPHead(url, "", data, h.status, h.length, h.lastModified, h.error, nullptr, 20000, 0,
                        NullStringValue, NullStringValue, false, false, nullptr, &h.rawHeaders);
        return h;
    }

    static TempDir* root_;
    static TestServer* plain_;
    static TestServer* tls_;
    static TestServer* untrusted_;
    std::unique_ptr<IInternet> internet_ = CreateInternet();
    std::unique_ptr<ITextSystem> text_ = CreateTextSystem();
    PumpingApplication application_;
};

TempDir* CurlInternetTest::root_ = nullptr;
TestServer* CurlInternetTest::plain_ = nullptr;
TestServer* CurlInternetTest::tls_ = nullptr;
TestServer* CurlInternetTest::untrusted_ = nullptr;

// The older forms of an HTTP date are read as well; a header that is no
// date gives 0.
TEST_F(CurlInternetTest, LastModifiedInTheOlderDateFormsAndNone) {
    struct Case {
        const char* path;
        double expected;
    };
    const Case cases[] = {
        {"/lastmod/Sunday,%2006-Nov-94%2008:49:37%20GMT/nolength/1", DateTimeOf(784111777)},
        {"/lastmod/Sun%20Nov%20%206%2008:49:37%201994/nolength/1", DateTimeOf(784111777)},
        {"/lastmod/yesterday/nolength/1", 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Head h = HttpHead(plain_->Url(c.path));
        EXPECT_TRUE(h.ok) << h.error;
        EXPECT_DOUBLE_EQ(h.lastModified, c.expected);
    }
}

TEST_F(CurlInternetTest, HeadSendsItsRequestData) {
    const Head h = HttpHead(plain_->Url("/echo"), "abc=1");
    EXPECT_TRUE(h.ok) << h.error;
    EXPECT_NE(h.rawHeaders.find("X-Request-Body-Length: 5\r\n"), std::string::npos) << h.rawHeaders;
}

// A body cut short fails its read with the code of how the connection
// ended: an orderly close and a reset.
TEST_F(CurlInternetTest, ABodyCutShortGivesTheCodeOfItsEnd) {
    struct Case {
        const char* path;
        const char* errorPart;
    };
    for (const Case& c : {Case{"/short/50000/20000", "12030"}, Case{"/drop/50000/20000", "1203"}}) {
        SCOPED_TRACE(c.path);
        const Get g = HttpGet(plain_->Url(c.path));
        EXPECT_FALSE(g.ok);
        EXPECT_EQ(g.status, 200u);
        EXPECT_EQ(g.body, Pattern(20000));
        EXPECT_NE(g.error.find(c.errorPart), std::string::npos) << g.error;
    }
}

TEST_F(CurlInternetTest, BodyStreamsWhileWindowEventsRun) {
    // The server sends a quarter of the body and holds the rest back until a
    // window event, seeing the bar move, opens its gate: a read that waited
    // for the whole body, or a loop that handled no event, would never end.
    const std::string gate = root_->Path() + "/gate-open";
    std::remove(gate.c_str());
    RecordingBar bar;
    std::vector<int> seenByEvent;
    QTimer timer;  // interval 0: runs whenever pending events are processed
    QObject::connect(&timer, &QTimer::timeout, [&] {
        seenByEvent.push_back(bar.Position());
        if (bar.Position() > 0) std::ofstream{gate};
    });
    timer.start(0);

    const Get g = HttpGet(plain_->Url("/gate/200000/50000/gate-open"), &bar, 5000);
    timer.stop();
    std::remove(gate.c_str());

    ASSERT_TRUE(g.ok) << g.error;
    EXPECT_EQ(g.body, Pattern(200000));
    EXPECT_EQ(bar.positions.back(), 1000);
    EXPECT_TRUE(std::any_of(seenByEvent.begin(), seenByEvent.end(), [](int p) { return p > 0 && p < 1000; }));
}

// An empty user name is a user name: it is sent.
TEST_F(CurlInternetTest, AnEmptyUserNameIsSent) {
    const Get g = HttpGet(plain_->Url("/auth//pw/echo"), nullptr, 0, "", "pw");
    EXPECT_TRUE(g.ok) << g.error;
    EXPECT_NE(g.body.find("\nCredentials: :pw\n"), std::string::npos) << g.body;
}

TEST_F(CurlInternetTest, HttpsWithTheTestCaTrustedThroughSslCertFile) {
    const std::string path = Put("secure.bin", Pattern(3000000), 1234567890);
    {
        const ScopedEnv trust("SSL_CERT_FILE", (kCerts + "/ca.pem").c_str());
        const Get g = HttpGet(tls_->Url(path));
        EXPECT_TRUE(g.ok) << g.error;
        EXPECT_EQ(g.body, Pattern(3000000));
        EXPECT_DOUBLE_EQ(g.lastModified, DateTimeOf(1234567890));
        // localhost is named in the certificate as well.
        const Head h = HttpHead("https://localhost:" + std::to_string(tls_->Port()) + path);
        EXPECT_TRUE(h.ok) << h.error;
        EXPECT_EQ(h.length, 3000000u);
    }
    // Without it the system's store alone does not know the test CA.
    const ScopedEnv noTrust("SSL_CERT_FILE", nullptr);
    const Get g = HttpGet(tls_->Url(path));
    EXPECT_FALSE(g.ok);
    EXPECT_TRUE(g.error.starts_with("Send Request Failed: ")) << g.error;
    EXPECT_NE(g.error.find("12045"), std::string::npos) << g.error;
    EXPECT_EQ(g.body, "");
}

// The system's store stays trusted when SSL_CERT_FILE names another CA. The
// test runs itself again in a mount namespace of its own, where the system
// bundle holds the test CA as well (root only; skipped elsewhere).
TEST_F(CurlInternetTest, SystemStoreStaysTrustedBesideSslCertFile) {
    if (std::getenv("RL_SYSTEM_STORE_PROBE") != nullptr) {
        const ScopedEnv other("SSL_CERT_FILE", (kCerts + "/other-ca.pem").c_str());
        const Get g = HttpGet(tls_->Url("/echo"));
        EXPECT_TRUE(g.ok) << g.error;
        return;
    }
    std::string bundle;
    if (CURL* probe = curl_easy_init()) {
        char* path = nullptr;
        if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path != nullptr) bundle = path;
        curl_easy_cleanup(probe);
    }
    if (geteuid() != 0 || bundle.empty() || linuxtest::Run("unshare -m true 2>/dev/null").status != 0)
        GTEST_SKIP() << "needs root, unshare and a system CA bundle";

    const TempDir dir;
    const std::string withTestCa = dir.Path() + "/bundle.pem";
    ASSERT_EQ(linuxtest::Run("cat '" + bundle + "' '" + kCerts + "/ca.pem' > '" + withTestCa + "'").status, 0);
    const std::string self = linuxtest::RealPath("/proc/self/exe");
    const auto r = linuxtest::Run("unshare -m --propagation private sh -c \"mount --bind '" + withTestCa + "' '" +
                                  bundle + "' && RL_SYSTEM_STORE_PROBE=1 exec '" + self +
                                  "' --gtest_filter=CurlInternetTest.SystemStoreStaysTrustedBesideSslCertFile\" 2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("[  PASSED  ] 1 test."), std::string::npos) << r.output;
}

TEST_F(CurlInternetTest, StalledServerFailsAfterTheReceiveTimeOut) {
    // Part of the body, then silence: what came is kept, the read fails,
    // long before the 30 s that apply when no time-out is set.
    const auto start = std::chrono::steady_clock::now();
    const Get body = HttpGet(plain_->Url("/stall/100000/30000"), nullptr, 300);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_FALSE(body.ok);
    EXPECT_EQ(body.status, 200u);
    EXPECT_EQ(body.body, Pattern(30000));
    EXPECT_NE(body.error.find("12002"), std::string::npos) << body.error;

    // No answer at all: the request itself fails.
    const Get headers = HttpGet(plain_->Url("/hang"), nullptr, 300);
    EXPECT_FALSE(headers.ok);
    EXPECT_EQ(headers.status, 0u);
    EXPECT_TRUE(headers.error.starts_with("Send Request Failed: ")) << headers.error;
    EXPECT_NE(headers.error.find("12002"), std::string::npos) << headers.error;
}

// The port itself -----------------------------------------------------------

class CurlPortTest : public CurlInternetTest {
protected:
    // Opens a GET or HEAD of the path on the plain server and sends it.
    InetHandle Send(const std::string& path, const std::string& verb = "GET", std::uint32_t receiveTimeout = 0) {
        session_ = internet_->Open("porttest", kInternetOpenTypePreconfig, 0);
        if (receiveTimeout != 0) internet_->SetOption(session_, kInternetOptionReceiveTimeout, receiveTimeout);
        connection_ = internet_->Connect(session_, "127.0.0.1", plain_->Port(), nullptr, nullptr,
                                         kInternetServiceHttp, 0, 1);
        const InetHandle request = internet_->OpenRequest(connection_, verb, path, {"*/*"}, kInternetFlagReload, 1);
        EXPECT_TRUE(internet_->SendRequest(request, "", nullptr, 0)) << linuxerr::ThreadLastError();
        return request;
    }
    void TearDown() override {
        if (session_ != 0) internet_->CloseHandle(session_);
        CurlInternetTest::TearDown();
    }
    InetHandle session_ = 0;
    InetHandle connection_ = 0;
};

// A number asked for into fewer than 4 bytes fails with the size needed.
TEST_F(CurlPortTest, ANumberNeedsFourBytes) {
    const InetHandle request = Send("/nolength/5");
    std::uint32_t number = 0;
    std::uint32_t length = 3;
    EXPECT_FALSE(internet_->QueryInfo(request, kHttpQueryStatusCode | kHttpQueryFlagNumber, &number, &length));
    EXPECT_EQ(linuxerr::ThreadLastError(), 122u);
    EXPECT_EQ(length, 4u);
}

TEST_F(CurlPortTest, ReadsHandOutWhatHasArrived) {
    // The server holds the rest back until the first part has been read.
    const std::string gate = root_->Path() + "/port-gate";
    std::remove(gate.c_str());
    const InetHandle request = Send("/gate/100000/30000/port-gate", "GET", 5000);
    std::string body;
    char buffer[16384];
    std::uint32_t read = 0;
    while (body.size() < 30000 && internet_->ReadFile(request, buffer, sizeof buffer, read) && read > 0)
        body.append(buffer, read);
    EXPECT_EQ(body, Pattern(30000));
    std::ofstream{gate};
    while (internet_->ReadFile(request, buffer, sizeof buffer, read) && read > 0) body.append(buffer, read);
    std::remove(gate.c_str());
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(body, Pattern(100000));
}

TEST_F(CurlPortTest, SilenceFailsTheRead) {
    const InetHandle request = Send("/stall/100000/30000", "GET", 300);
    std::string body;
    char buffer[16384];
    std::uint32_t read = 0;
    while (internet_->ReadFile(request, buffer, sizeof buffer, read) && read > 0) body.append(buffer, read);
    EXPECT_EQ(body, Pattern(30000));
    EXPECT_EQ(linuxerr::ThreadLastError(), kErrorInternetTimeout);
    std::uint32_t error = 0;
    std::string text;
    EXPECT_TRUE(internet_->LastResponseInfo(error, text, 1024));
    EXPECT_EQ(error, kErrorInternetTimeout);
    EXPECT_NE(text, "");
    EXPECT_FALSE(internet_->LastResponseInfo(error, text, 2));
    EXPECT_EQ(linuxerr::ThreadLastError(), 122u);
}

TEST_F(CurlPortTest, ClosingTheSessionClosesWhatCameFromIt) {
    const InetHandle request = Send("/nolength/10");
    ASSERT_TRUE(internet_->CloseHandle(session_));
    EXPECT_FALSE(internet_->CloseHandle(connection_));
    EXPECT_FALSE(internet_->CloseHandle(request));
    EXPECT_EQ(linuxerr::ThreadLastError(), 6u);
    session_ = 0;
}

// The shared contract ----------------------------------------------------------

// The adapter with the test CA trusted through SSL_CERT_FILE, and servers
// started once for every case of the contract.
class CurlRig : public contract::InternetRig {
public:
    IInternet& Internet() override { return *internet_; }
    ITextSystem& Text() override { return *text_; }
    std::string Url(contract::Site site, const std::string& path) override {
        return Servers().Of(site).Url(path);
    }
    int ClosedPort() override {
        // A port that was just free: bind, note it, close.
        TestServer gone(Servers().root.Path());
        return gone.Port();
    }

private:
    struct ServerSet {
        TempDir root;
        TestServer plain{root.Path()};
        TestServer trusted{root.Path(), linuxtest::ServerCert()};
        TestServer wrongName{root.Path(), {kCerts + "/wrongname.pem", kCerts + "/wrongname.key"}};
        TestServer untrusted{root.Path(), {kCerts + "/untrusted.pem", kCerts + "/untrusted.key"}};
        TestServer& Of(contract::Site site) {
            switch (site) {
                case contract::Site::Plain: return plain;
                case contract::Site::Trusted: return trusted;
                case contract::Site::WrongName: return wrongName;
                case contract::Site::Untrusted: return untrusted;
            }
            return plain;
        }
    };
    static ServerSet& Servers() {
        static ServerSet servers;  // stopped at the process's end
        return servers;
    }

    ScopedEnv trust_{"SSL_CERT_FILE", (kCerts + "/ca.pem").c_str()};
    std::unique_ptr<IInternet> internet_ = CreateInternet();
    std::unique_ptr<ITextSystem> text_ = CreateTextSystem();
};

INSTANTIATE_TEST_SUITE_P(Curl, InternetContract,
                         ::testing::Values(contract::RigFactory([] { return std::make_unique<CurlRig>(); })));

}  // namespace
}  // namespace rl
