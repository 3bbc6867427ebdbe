// What every internet adapter does, through the HTTP client and through the
// port, checked the same way against the loopback test server
// (tests/support/http_server.py): the libcurl adapter on Linux and WinInet
// under Wine. Include it in one test file per test program and instantiate
// InternetContract with a factory of rigs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Http.h"
#include "platform/TextSystem.h"
#include "platform/UpdateUi.h"
#include "support/Application.h"
#include "support/VorlLibText.h"
#include "update/KzHTTP.h"

namespace rl::contract {

// The servers a rig runs, each over the same generated paths.
enum class Site {
    Plain,      // HTTP
    Trusted,    // HTTPS with a certificate of a CA the adapter trusts
    WrongName,  // HTTPS, that CA, a certificate for another host
    Untrusted,  // HTTPS with a certificate of a CA nobody trusts
};

// The adapter under test, its build's text system, and the loopback servers.
class InternetRig {
public:
    virtual ~InternetRig() = default;
    virtual IInternet& Internet() = 0;
    virtual ITextSystem& Text() = 0;
    // The address of a path ("/...") on that server.
    virtual std::string Url(Site site, const std::string& path) = 0;
    // A port of 127.0.0.1 where nothing listens.
    virtual int ClosedPort() = 0;
};
using RigFactory = std::function<std::unique_ptr<InternetRig>()>;

// The server's generated bodies: byte i is i % 251.
inline std::string Pattern(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// Days since 30 December 1899 for seconds since 1970 (UTC).
inline double DateTimeOfUnix(std::int64_t seconds) { return 25569.0 + static_cast<double>(seconds) / 86400.0; }

class RecordingBar : public IProgressBar {
public:
    int Position() const override { return positions.empty() ? 0 : positions.back(); }
    void SetPosition(int position) override { positions.push_back(position); }
    int Max() const override { return 1000; }
    void Show() override { ++shown; }
    void BringToFront() override {}
    void Repaint() override {}
    std::vector<int> positions;
    int shown = 0;
};

struct GetResult {
    bool ok = false;
    std::string body;
    std::uint32_t status = 0;
    std::uint32_t length = 0;
    double modified = 0;
    std::string error;
    std::string location;
    std::string raw;
};

struct HeadResult {
    bool ok = false;
    std::uint32_t status = 0;
    std::uint64_t length = 0;
    double modified = 0;
    std::string error;
    std::string location;
    std::string raw;
    std::string body;
};

struct GetOptions {
    IProgressBar* bar = nullptr;
    bool noRedirect = false;
    std::string user = NullStringValue;
    std::string password = NullStringValue;
    std::string extraHeaders;
    std::uint32_t receiveTimeout = 0;
    std::uint64_t bodyLimit = kPackageBodyLimit;
};

class InternetContract : public ::testing::TestWithParam<RigFactory> {
protected:
    void SetUp() override {
        rig_ = GetParam()();
        previousInternet_ = InternetPort();
        previousText_ = TextSystemPort();
        previousApplication_ = ApplicationPort();
        SetInternetPort(&rig_->Internet());
        SetTextSystemPort(&rig_->Text());
        SetApplicationPort(nullptr);
    }
    void TearDown() override {
        SetInternetPort(previousInternet_);
        SetTextSystemPort(previousText_);
        SetApplicationPort(previousApplication_);
        rig_.reset();
    }

    std::string Url(const std::string& path, Site site = Site::Plain) { return rig_->Url(site, path); }
    IInternet& Net() { return rig_->Internet(); }
    int ClosedPort() { return rig_->ClosedPort(); }
    std::uint32_t LastError() { return rig_->Text().ThreadLastError(); }

    static GetResult Get(const std::string& url, const GetOptions& o = {}) {
        GetResult r;
        r.ok = HTTPGet(url, r.body, r.status, r.length, r.modified, r.error, o.bar, 20000, o.receiveTimeout, o.user,
                       o.password, false, o.noRedirect, o.bodyLimit, &r.location, &r.raw, o.extraHeaders);
        return r;
    }
    static HeadResult Head(const std::string& url, bool noRedirect = false,
                           const std::string& user = NullStringValue,
                           const std::string& password = NullStringValue) {
        HeadResult r;
        r.ok = HTTPHead(url, "", "", r.status, r.length, r.modified, r.error, nullptr, 20000, 0, user, password, true,
                        noRedirect, &r.location, &r.raw, &r.body);
        return r;
    }
    static std::string SendFailed(std::uint32_t code) { return "Send Request Failed: " + SysErrorText(code); }

    // A request of the port sent by hand on the plain server.
    struct Sent {
        InetHandle internet = 0;
        InetHandle request = 0;
    };
    Sent Send(const std::string& path, int port) {
        Sent s;
        s.internet = Net().Open("RestLevel", kInternetOpenTypePreconfig, 0);
        const InetHandle connection = Net().Connect(s.internet, "127.0.0.1", static_cast<std::uint16_t>(port),
                                                    nullptr, nullptr, kInternetServiceHttp, 0, 1);
        s.request = Net().OpenRequest(connection, "GET", path, {"*/*"}, kInternetFlagReload, 1);
        EXPECT_TRUE(Net().SendRequest(s.request, "", nullptr, 0)) << LastError();
        return s;
    }
    // The plain server's port, from its address.
    int PlainPort() {
        const std::string url = Url("/");
        return std::stoi(url.substr(url.rfind(':') + 1));
    }

private:
    std::unique_ptr<InternetRig> rig_;
    IInternet* previousInternet_ = nullptr;
    ITextSystem* previousText_ = nullptr;
    IApplication* previousApplication_ = nullptr;
};

// The client's requests ------------------------------------------------------

TEST_P(InternetContract, AFileComesWithItsHeaders) {
    // 2038-01-19 03:14:08 is past 32-bit seconds.
    for (const std::int64_t seconds : {std::int64_t{946684799}, std::int64_t{1582977600}, std::int64_t{2147483648}}) {
        SCOPED_TRACE(seconds);
        const std::string path = "/lastmod/" + std::to_string(seconds) + "/slow/5000/1/0";
        const GetResult get = Get(Url(path));
        EXPECT_TRUE(get.ok) << get.error;
        EXPECT_EQ(get.status, 200u);
        EXPECT_EQ(get.length, 5000u);
        EXPECT_EQ(get.body, Pattern(5000));
        EXPECT_DOUBLE_EQ(get.modified, DateTimeOfUnix(seconds));
        EXPECT_EQ(get.error, "");

        const HeadResult head = Head(Url(path));
        EXPECT_TRUE(head.ok) << head.error;
        EXPECT_EQ(head.status, 200u);
        EXPECT_EQ(head.length, 5000u);
        EXPECT_EQ(head.body, "") << "HEAD has no body";
        EXPECT_DOUBLE_EQ(head.modified, DateTimeOfUnix(seconds));
        EXPECT_EQ(head.raw.rfind("HTTP/1.1 200", 0), 0u) << head.raw;
        EXPECT_NE(head.raw.find("\r\nContent-Length: 5000\r\n"), std::string::npos) << head.raw;
        EXPECT_TRUE(head.raw.ends_with("\r\n\r\n")) << head.raw;
    }
}

TEST_P(InternetContract, LastModifiedAsTheServerSendsIt) {
    struct Case {
        const char* path;
        double expected;
    };
    const Case cases[] = {
        {"/lastmod/Sun,%2006%20Nov%201994%2008:49:37%20GMT/nolength/1", DateTimeOfUnix(784111777)},
        // No header: 0.
        {"/nolastmod/nolength/1", 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const HeadResult head = Head(Url(c.path));
        EXPECT_TRUE(head.ok) << head.error;
        EXPECT_DOUBLE_EQ(head.modified, c.expected);
    }
}

TEST_P(InternetContract, NotFoundBringsItsPageAndFails) {
    const GetResult get = Get(Url("/status/404"));
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.status, 404u);
    EXPECT_EQ(get.body, "Status 404\n");
    EXPECT_EQ(get.length, 11u);
    EXPECT_EQ(get.error, "") << "no read failed";

    const HeadResult head = Head(Url("/status/404"));
    EXPECT_FALSE(head.ok);
    EXPECT_EQ(head.status, 404u);
    EXPECT_EQ(head.length, 11u);
    EXPECT_EQ(head.error, "");
}

TEST_P(InternetContract, BodiesWithoutLengthOrShorterThanAnnounced) {
    struct Case {
        const char* path;
        bool ok;
        std::size_t atMost;  // the bytes the body holds at most (all of them when it succeeds)
    };
    const Case cases[] = {
        // No length: whatever came is the body, and the bar stays put.
        {"/nolength/70000", true, 70000},
        {"/nolength/0", true, 0},
        // More than the adapter holds at once.
        {"/nolength/3000000", true, 3000000},
        // The server closes after 20000 of 50000 bytes.
        {"/short/50000/20000", false, 20000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RecordingBar bar;
        GetOptions o;
        o.bar = &bar;
        const GetResult get = Get(Url(c.path), o);
        EXPECT_EQ(get.ok, c.ok) << get.error;
        EXPECT_EQ(get.status, 200u);
        if (c.ok) {
            EXPECT_EQ(get.body, Pattern(c.atMost));
            EXPECT_TRUE(bar.positions.empty()) << "no length, no progress";
        } else {
            EXPECT_LE(get.body.size(), c.atMost);
            EXPECT_EQ(get.body, Pattern(get.body.size()));
        }
    }
}

TEST_P(InternetContract, ASlowBodyAdvancesTheBar) {
    RecordingBar bar;
    GetOptions o;
    o.bar = &bar;
    const GetResult get = Get(Url("/slow/200000/5/150"), o);
    ASSERT_TRUE(get.ok) << get.error;
    EXPECT_EQ(get.body, Pattern(200000));
    EXPECT_EQ(bar.shown, 1);
    ASSERT_FALSE(bar.positions.empty());
    EXPECT_TRUE(std::is_sorted(bar.positions.begin(), bar.positions.end()));
    EXPECT_EQ(bar.positions.back(), 1000);
    EXPECT_GE(std::count_if(bar.positions.begin(), bar.positions.end(), [](int p) { return p > 0 && p < 1000; }), 4)
        << "the bar moves as the pieces come";
}

TEST_P(InternetContract, RedirectsFollowedUnlessNoRedirect) {
    const std::string target = Url("/nolength/3000");
    for (const char* code : {"301", "302", "303", "307"}) {
        SCOPED_TRACE(code);
        const std::string url = Url(std::string("/redirect?to=/nolength/3000&code=") + code);
        const GetResult followed = Get(url);
        EXPECT_TRUE(followed.ok) << followed.error;
        EXPECT_EQ(followed.status, 200u);
        EXPECT_EQ(followed.body, Pattern(3000));
        EXPECT_EQ(followed.location, "");
        EXPECT_TRUE(Head(url).ok);

        GetOptions o;
        o.noRedirect = true;
        const GetResult kept = Get(url, o);
        EXPECT_FALSE(kept.ok);
        EXPECT_EQ(kept.status, static_cast<std::uint32_t>(std::stoi(code)));
        EXPECT_EQ(kept.location, target);
        EXPECT_EQ(kept.body, std::string("Status ") + code + "\n");
        EXPECT_EQ(kept.error, "");
        const HeadResult headKept = Head(url, true);
        EXPECT_FALSE(headKept.ok);
        EXPECT_EQ(headKept.location, target);
    }
}

// Location and the raw headers come back only when they fit 1024 bytes with
// their terminating zero.
TEST_P(InternetContract, HeaderTextsLongerThanTheBufferComeBackEmpty) {
    const std::string prefix = Url("");
    GetOptions o;
    o.noRedirect = true;
    for (const std::size_t size : {std::size_t{1023}, std::size_t{1024}}) {
        SCOPED_TRACE(size);
        const std::string path = "/" + std::string(size - prefix.size() - 1, 'p');
        const GetResult get = Get(Url("/redirect?to=" + path), o);
        EXPECT_EQ(get.status, 302u);
        EXPECT_EQ(get.location, size == 1023 ? prefix + path : "");
        EXPECT_EQ(get.raw, "") << "the raw headers hold the Location too";
    }
    const GetResult small = Get(Url("/redirect?to=/x"), o);
    EXPECT_EQ(small.raw.rfind("HTTP/1.1 302", 0), 0u) << small.raw;
    EXPECT_NE(small.raw.find("\r\nLocation: " + prefix + "/x\r\n"), std::string::npos) << small.raw;
}

TEST_P(InternetContract, BasicAuthentication) {
    struct Case {
        const char* path;
        std::string user;
        std::string password;
        std::uint32_t status;
    };
    const Case cases[] = {
        {"/auth/anna/s3cret/echo", "anna", "s3cret", 200},
        {"/auth/anna/s3cret/echo", "anna", "wrong", 401},
        {"/auth/anna/s3cret/echo", NullStringValue, NullStringValue, 401},
        {"/auth/anna//echo", "anna", "", 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " as '" + c.user + "'");
        GetOptions o;
        o.user = c.user;
        o.password = c.password;
        const GetResult get = Get(Url(c.path), o);
        EXPECT_EQ(get.status, c.status);
        EXPECT_EQ(get.ok, c.status == 200) << get.error;
        if (c.status == 200) {
            EXPECT_NE(get.body.find("\nCredentials: " + c.user + ":" + c.password + "\n"), std::string::npos)
                << get.body;
        }
        EXPECT_EQ(Head(Url(c.path), false, c.user, c.password).status, c.status);
    }
}

// The object name keeps its query; the agent is the application's title; the
// extra headers go out as they are.
TEST_P(InternetContract, QueryAgentAndHeadersReachTheServer) {
    GetOptions o;
    o.extraHeaders = "X-RestLevel-Test: yes\r\n";
    const GetResult get = Get(Url("/echo?name=a%20b&x=1"), o);
    ASSERT_TRUE(get.ok) << get.error;
    EXPECT_EQ(get.body.rfind("GET /echo?name=a%20b&x=1 HTTP/1.1\n", 0), 0u) << get.body;
    EXPECT_NE(get.body.find("\nQuery: name=a%20b&x=1\n"), std::string::npos) << get.body;
    EXPECT_NE(get.body.find("\nUser-Agent: " + ApplicationTitle() + "\n"), std::string::npos) << get.body;
    EXPECT_NE(get.body.find("\nAccept: */*\n"), std::string::npos) << get.body;
    EXPECT_NE(get.body.find("\nX-RestLevel-Test: yes\n"), std::string::npos) << get.body;
}

TEST_P(InternetContract, ClosedPortFailsAtTheSend) {
    const std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x";
    const GetResult get = Get(url);
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.status, 0u);
    EXPECT_EQ(get.error, SendFailed(kErrorInternetCannotConnect));
    const HeadResult head = Head(url);
    EXPECT_FALSE(head.ok);
    EXPECT_EQ(head.status, 0u);
}

// A server that stops sending: what came is kept and the request fails once
// the receive time-out has passed (the error text is the adapter's).
TEST_P(InternetContract, SilenceFailsAfterTheReceiveTimeOut) {
    GetOptions o;
    o.receiveTimeout = 500;
    const GetResult body = Get(Url("/stall/100000/30000"), o);
    EXPECT_FALSE(body.ok);
    EXPECT_EQ(body.status, 200u);
    EXPECT_LE(body.body.size(), 30000u);
    EXPECT_EQ(body.body, Pattern(body.body.size()));
    EXPECT_NE(body.error, "");

    // No answer at all: the send fails.
    const GetResult headers = Get(Url("/hang"), o);
    EXPECT_FALSE(headers.ok);
    EXPECT_EQ(headers.status, 0u);
    EXPECT_EQ(headers.error.rfind("Send Request Failed: ", 0), 0u) << headers.error;
}

// HTTPS ------------------------------------------------------------------------

TEST_P(InternetContract, HttpsWithATrustedCertificate) {
    const GetResult get = Get(Url("/lastmod/1234567890/slow/3000000/1/0", Site::Trusted));
    EXPECT_TRUE(get.ok) << get.error;
    EXPECT_EQ(get.body, Pattern(3000000));
    EXPECT_DOUBLE_EQ(get.modified, DateTimeOfUnix(1234567890));
    const HeadResult head = Head(Url("/slow/70000/1/0", Site::Trusted));
    EXPECT_TRUE(head.ok) << head.error;
    EXPECT_EQ(head.length, 70000u);
}

// A certificate that cannot be trusted, or one for another host, fails the
// send with WinInet's code for each.
TEST_P(InternetContract, HttpsWithACertificateThatDoesNotHoldFails) {
    struct Case {
        Site site;
        std::uint32_t code;
    };
    const Case cases[] = {{Site::Untrusted, kErrorInternetInvalidCa},
                          {Site::WrongName, kErrorInternetSecCertCnInvalid}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const GetResult get = Get(Url("/echo", c.site));
        EXPECT_FALSE(get.ok);
        EXPECT_EQ(get.status, 0u);
        EXPECT_EQ(get.body, "");
        EXPECT_EQ(get.error, SendFailed(c.code));
        const HeadResult head = Head(Url("/echo", c.site));
        EXPECT_FALSE(head.ok);
        EXPECT_EQ(head.status, 0u);
    }
}

// An HTTPS request is never answered over plain HTTP: a redirect to http
// fails the send (and no body of the plain answer comes back); told not to
// follow redirects, the redirect itself is the answer. HTTPS to HTTPS is
// followed.
TEST_P(InternetContract, HttpsRedirectedToHttpFails) {
    const std::string plain = Url("/nolength/3000");
    const std::string url = Url("/redirect?to=" + plain, Site::Trusted);
    const GetResult get = Get(url);
    EXPECT_FALSE(get.ok);
    EXPECT_TRUE(get.body.empty()) << get.body.size() << " bytes of the plain answer";
    EXPECT_EQ(get.status, 0u);
    EXPECT_EQ(get.error, SendFailed(kErrorInternetHttpsToHttpOnRedir));
    const HeadResult head = Head(url);
    EXPECT_FALSE(head.ok);
    EXPECT_EQ(head.status, 0u);

    GetOptions o;
    o.noRedirect = true;
    const GetResult kept = Get(url, o);
    EXPECT_EQ(kept.status, 302u);
    EXPECT_EQ(kept.location, plain);
    EXPECT_EQ(kept.error, "");

    const GetResult secure = Get(Url("/redirect?to=/nolength/3000", Site::Trusted));
    EXPECT_TRUE(secure.ok) << secure.error;
    EXPECT_EQ(secure.body, Pattern(3000));
}

// Limits -----------------------------------------------------------------------

TEST_P(InternetContract, ABodyPastItsLimitFails) {
    struct Case {
        const char* path;
        std::uint64_t limit;
        bool ok;
    };
    const Case cases[] = {
        {"/nolength/70000", 70000, true},
        {"/nolength/70001", 70000, false},
        // A body without end, and a length past the limit announced.
        {"/endless", 1u << 20, false},
        {"/short/5000000/10", kTextBodyLimit, false},
    };
    for (const Case& c : cases) {
        for (const Site site : {Site::Plain, Site::Trusted}) {
            SCOPED_TRACE(std::string(c.path) + (site == Site::Plain ? " http" : " https"));
            GetOptions o;
            o.bodyLimit = c.limit;
            const GetResult get = Get(Url(c.path, site), o);
            EXPECT_EQ(get.ok, c.ok);
            EXPECT_EQ(get.status, 200u);
            EXPECT_LE(get.body.size(), c.limit);
            EXPECT_EQ(get.body, Pattern(get.body.size()));
            EXPECT_EQ(get.error, c.ok ? "" : "Response body exceeds " + std::to_string(c.limit) + " bytes");
        }
    }
}

// A server that never goes silent for long, one byte at a time: the receive
// time-out never runs out, the time limit does.
TEST_P(InternetContract, ATrickleEndsWithTheTimeLimit) {
    // The address first: the server may still be starting.
    const std::string url = Url("/slow/100/100/150");  // 15 s
    const HttpTimeLimit limit(4000);
    const GetResult get = Get(url);
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.status, 200u);
    EXPECT_EQ(get.error, kTimeLimitExceeded);
    EXPECT_GT(get.body.size(), 0u) << "each read takes what has come";
    EXPECT_LT(get.body.size(), 100u);
    EXPECT_EQ(get.body, Pattern(get.body.size()));
    EXPECT_TRUE(limit.Exceeded());
}

// The port itself --------------------------------------------------------------

TEST_P(InternetContract, QueryInfoKeepsTheBufferContract) {
    // 2023-11-14 22:13:20, a Tuesday.
    const Sent s = Send("/lastmod/1700000000/slow/5/1/0", PlainPort());

    // Text: the length without the zero on success; the size with it when
    // too small.
    char text[8] = {};
    std::uint32_t length = sizeof text;
    ASSERT_TRUE(Net().QueryInfo(s.request, kHttpQueryStatusCode, text, &length));
    EXPECT_EQ(std::string(text, length), "200");
    length = 1;
    EXPECT_FALSE(Net().QueryInfo(s.request, kHttpQueryContentLength, text, &length));
    EXPECT_EQ(LastError(), 122u);
    EXPECT_EQ(length, 2u);

    // Numbers are 4 bytes.
    std::uint32_t number = 0;
    length = 4;
    ASSERT_TRUE(Net().QueryInfo(s.request, kHttpQueryContentLength | kHttpQueryFlagNumber, &number, &length));
    EXPECT_EQ(number, 5u);
    EXPECT_EQ(length, 4u);

    // A system time is 16 bytes: year, month, day of week, day, hour,
    // minute, second, ms.
    std::uint16_t time[8] = {};
    length = sizeof time;
    ASSERT_TRUE(Net().QueryInfo(s.request, kHttpQueryLastModified | kHttpQueryFlagSystemTime, time, &length));
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(std::vector<std::uint16_t>(time, time + 8),
              (std::vector<std::uint16_t>{2023, 11, 2, 14, 22, 13, 20, 0}));

    char location[64];
    length = sizeof location;
    EXPECT_FALSE(Net().QueryInfo(s.request, kHttpQueryLocation, location, &length));
    EXPECT_EQ(LastError(), kErrorHttpHeaderNotFound);

    // The body to its end; no response text after a success.
    std::string body;
    char buffer[64];
    std::uint32_t read = 0;
    while (Net().ReadFile(s.request, buffer, sizeof buffer, read) && read > 0) body.append(buffer, read);
    EXPECT_EQ(body, Pattern(5));
    std::uint32_t error = 99;
    std::string response = "not touched";
    EXPECT_TRUE(Net().LastResponseInfo(error, response, 1024));
    EXPECT_EQ(response, "");

    EXPECT_TRUE(Net().CloseHandle(s.request));
    EXPECT_TRUE(Net().CloseHandle(s.internet));
    EXPECT_FALSE(Net().CloseHandle(s.request)) << "closed handles are gone";
}

// What is available is what has arrived: a body in three pieces comes in
// three parts, not at once when it is whole.
TEST_P(InternetContract, DataAvailableIsWhatHasArrived) {
    const Sent s = Send("/slow/30/3/300", PlainPort());
    std::string body;
    std::vector<std::uint32_t> parts;
    for (int i = 0; i < 10; ++i) {
        std::uint32_t available = 0;
        ASSERT_TRUE(Net().QueryDataAvailable(s.request, available)) << LastError();
        if (available == 0) break;
        parts.push_back(available);
        std::string chunk(available, '\0');
        std::uint32_t read = 0;
        ASSERT_TRUE(Net().ReadFile(s.request, chunk.data(), available, read));
        EXPECT_EQ(read, available) << "what is available is read without waiting";
        body.append(chunk, 0, read);
    }
    EXPECT_EQ(body, Pattern(30));
    EXPECT_GE(parts.size(), 3u);
    for (const std::uint32_t part : parts) EXPECT_LE(part, 10u);
    Net().CloseHandle(s.internet);
}

}  // namespace rl::contract
