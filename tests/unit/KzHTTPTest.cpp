// The HTTP client against a fake internet port: the order of the calls and
// their arguments, the flags, the URL splitting, the credentials, the header
// queries with their buffer limit, the error texts of every failure, the
// judging of the result, the progress bar, and that every handle is closed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Application.h"
#include "support/VorlLibText.h"
#include "tests/fakes/FakeInternet.h"
#include "tests/fakes/FakeProgressBar.h"
#include "tests/fakes/FakeTextSystem.h"
#include "update/KzHTTP.h"

namespace rl {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Only message processing matters here; it shows in the internet's log.
class PumpingApplication : public IApplication {
public:
    std::vector<std::string>* log = nullptr;
    int pumps = 0;
    bool throwOnPump = false;

    std::string ExeName() override { return "RestLevel.exe"; }
    std::vector<std::string> Arguments() override { return {}; }
    std::uint32_t CurrentThreadId() override { return 1; }
    std::uint32_t CurrentProcessId() override { return 1; }
    bool HasMainForm() override { return true; }
    void CloseMainForm() override {}
    void MessageBox(const std::string&, std::uint32_t) override {}
    void ProcessMessages() override {
        ++pumps;
        if (log != nullptr) log->push_back("ProcessMessages");
        if (throwOnPump) throw std::runtime_error("handler failed");
    }
    [[noreturn]] void Terminate(int) override { std::abort(); }
};

constexpr char kUrl[] = "http://halvane.example/restlevel/RestLevel.zbin";

struct GetArgs {
    IProgressBar* progress = nullptr;
    std::uint32_t connectTimeout = 0;
    std::uint32_t receiveTimeout = 0;
    std::string userName = NullStringValue;
    std::string password = NullStringValue;
    bool reload = false;
    bool noRedirect = false;
    bool wantLocation = false;
    bool wantRawHeaders = false;
    std::string extraHeaders;
    std::uint64_t bodyLimit = kPackageBodyLimit;
};

struct Outcome {
    bool ok = false;
    std::string body;
    std::uint32_t status = 0;
    std::uint64_t length = 0;
    double lastModified = 0.0;
    std::string error;
    std::string location;
    std::string rawHeaders;
};

struct HeadArgs {
    std::string extraHeaders;
    std::string requestData;
    IProgressBar* reveal = nullptr;
    std::uint32_t connectTimeout = 0;
    std::uint32_t receiveTimeout = 0;
    std::string userName = NullStringValue;
    std::string password = NullStringValue;
    bool reload = false;
    bool noRedirect = false;
    bool wantLocation = false;
    bool wantRawHeaders = false;
    bool wantBody = false;
};

class KzHTTPTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetInternetPort(&net);
        SetTextSystemPort(&sys);
        SetApplicationPort(&app);
        net.textSystem = &sys;
        app.log = &net.log;
        bar.journal = &net.log;
        sys.moduleMessages[kErrorInternetInternalError] = "An internal error occurred\r\n";
        sys.moduleMessages[kErrorInternetInvalidUrl] = "The URL is invalid\r\n";
        sys.moduleMessages[kErrorInternetNameNotResolved] = "The server name or address could not be resolved\r\n";
        sys.moduleMessages[kErrorInternetCannotConnect] = "A connection with the server could not be established\r\n";
        sys.moduleMessages[kErrorInternetConnectionReset] = "The connection with the server was reset\r\n";
    }
    void TearDown() override {
        // Every path closes everything it opened, and only that.
        EXPECT_EQ(net.OpenHandles(), 0) << "handles left open";
        EXPECT_THAT(net.misuse, IsEmpty());
        SetInternetPort(nullptr);
        SetTextSystemPort(nullptr);
        SetApplicationPort(nullptr);
    }

    Outcome Get(const std::string& url, const GetArgs& a = {}) {
        Outcome o;
        std::uint32_t length = 0;
        o.ok = HTTPGet(url, o.body, o.status, length, o.lastModified, o.error, a.progress, a.connectTimeout,
                       a.receiveTimeout, a.userName, a.password, a.reload, a.noRedirect, a.bodyLimit,
                       a.wantLocation ? &o.location : nullptr, a.wantRawHeaders ? &o.rawHeaders : nullptr,
                       a.extraHeaders);
        o.length = length;
        return o;
    }

    Outcome Head(const std::string& url, const HeadArgs& a = {}) {
        Outcome o;
        o.ok = HTTPHead(url, a.extraHeaders, a.requestData, o.status, o.length, o.lastModified, o.error, a.reveal,
                        a.connectTimeout, a.receiveTimeout, a.userName, a.password, a.reload, a.noRedirect,
                        a.wantLocation ? &o.location : nullptr, a.wantRawHeaders ? &o.rawHeaders : nullptr,
                        a.wantBody ? &o.body : nullptr);
        return o;
    }

    // The calls of one kind, in order.
    std::vector<std::string> Calls(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& line : net.log)
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }

    fake::Internet net;
    fake::TextSystem sys;
    fake::ProgressBar bar;
    PumpingApplication app;
};

// Call order and arguments ----------------------------------------------

TEST_F(KzHTTPTest, GetMakesItsCallsInOrder) {
    net.response.Body(std::string(24000, 'z'), 12000);
    net.response.location = "https://mirror.example/x";
    net.response.lastModified = SystemTime{2024, 3, 5, 15, 10, 20, 30, 0};
    GetArgs a;
    a.progress = &bar;
    a.connectTimeout = 20000;
    a.receiveTimeout = 5000;
    a.reload = true;
    a.noRedirect = true;
    a.wantLocation = true;
    a.wantRawHeaders = true;
    a.extraHeaders = "X-Test: 1\r\n";
    const Outcome o = Get("https://halvane.example/restlevel/RestLevel.zbin", a);

    EXPECT_TRUE(o.ok);
    EXPECT_THAT(net.log, ElementsAre("InternetOpenA RestLevel", "InternetSetOptionA 2 20000",
                                     "InternetSetOptionA 6 5000", "InternetConnectA halvane.example:443",
                                     "HttpOpenRequestA GET /restlevel/RestLevel.zbin", "InternetSetOptionA 6 5000",
                                     "HttpSendRequestA", "ProgressBar.Show", "ProgressBar.BringToFront",
                                     "ProgressBar.Repaint", "HttpQueryInfoA 0x20000005", "HttpQueryInfoA 0x4000000B",
                                     "HttpQueryInfoA 0x20000013", "HttpQueryInfoA 0x00000021",
                                     "HttpQueryInfoA 0x00000016", "HttpQueryInfoA 0x00000005",  //
                                     "ProcessMessages", "InternetQueryDataAvailable", "InternetReadFile 12000",
                                     "ProgressBar.SetPosition 500",  //
                                     "ProcessMessages", "InternetQueryDataAvailable", "InternetReadFile 12000",
                                     "ProgressBar.SetPosition 1000",  //
                                     "ProcessMessages", "InternetQueryDataAvailable", "InternetReadFile 16384",  //
                                     "InternetCloseHandle request", "InternetCloseHandle internet"))
        << "each read takes what is available; at the end a whole buffer is asked for";

    ASSERT_EQ(net.opens.size(), 1u);
    EXPECT_EQ(net.opens[0].accessType, kInternetOpenTypePreconfig);
    EXPECT_EQ(net.opens[0].flags, 0u);
    // The time-outs go on the internet handle; the receive time-out on the
    // request too, where Wine's WinInet takes it.
    const InetHandle internet = net.connects.at(0).internet;
    ASSERT_EQ(net.options.size(), 3u);
    EXPECT_EQ(net.options[0].handle, internet);
    EXPECT_EQ(net.options[1].handle, internet);
    EXPECT_EQ(net.options[2].handle, net.requests.at(0).handle);
    EXPECT_EQ(net.connects[0].service, kInternetServiceHttp);
    EXPECT_EQ(net.connects[0].flags, 0u);
    EXPECT_EQ(net.connects[0].context, 1u);
    ASSERT_EQ(net.requests.size(), 1u);
    const auto& r = net.requests[0];
    EXPECT_THAT(r.acceptTypes, ElementsAre("*/*"));
    EXPECT_EQ(r.context, 1u);
    EXPECT_EQ(r.headers, "X-Test: 1\r\n");
    EXPECT_FALSE(r.optional.has_value()) << "GET sends no optional data";
    EXPECT_EQ(r.optionalLength, 0u);
    std::vector<std::uint32_t> bufferSizes;
    for (const auto& q : r.queries) bufferSizes.push_back(q.bufferSize);
    EXPECT_THAT(bufferSizes, ElementsAre(4u, 16u, 4u, 1024u, 1024u, 1024u)) << "the length also as text";

    EXPECT_EQ(o.body, std::string(24000, 'z'));
    EXPECT_EQ(o.status, 200u);
    EXPECT_EQ(o.length, 24000u);
    EXPECT_EQ(o.location, "https://mirror.example/x");
    EXPECT_EQ(o.rawHeaders, net.response.RawHeaderText());
    EXPECT_EQ(o.error, "");
}

TEST_F(KzHTTPTest, TheUserAgentIsTheApplicationsTitle) {
    SetApplicationTitle("RestLevel Beta");
    Get(kUrl);
    SetApplicationTitle("RestLevel");
    EXPECT_EQ(net.opens.at(0).agent, "RestLevel Beta");
}

TEST_F(KzHTTPTest, HeadMakesItsCallsInOrder) {
    net.response.Body("ignored", 0);
    HeadArgs a;
    a.requestData = "probe=1";
    a.extraHeaders = "X-Test: 2\r\n";
    a.reveal = &bar;
    const Outcome o = Head(kUrl, a);

    EXPECT_TRUE(o.ok);
    EXPECT_THAT(net.log, ElementsAre("InternetOpenA RestLevel", "InternetConnectA halvane.example:80",
                                     "HttpOpenRequestA HEAD /restlevel/RestLevel.zbin", "HttpSendRequestA",
                                     "ProgressBar.Show", "ProgressBar.BringToFront", "ProgressBar.Repaint",
                                     "HttpQueryInfoA 0x20000005", "HttpQueryInfoA 0x4000000B",
                                     "HttpQueryInfoA 0x20000013", "InternetCloseHandle request",
                                     "InternetCloseHandle internet"))
        << "no time-outs set when they are 0, no Location or raw headers unless asked, no read unless asked";
    const auto& r = net.requests.at(0);
    EXPECT_EQ(r.headers, "X-Test: 2\r\n");
    EXPECT_EQ(r.optional, std::optional<std::string>("probe=1"));
    EXPECT_EQ(r.optionalLength, 7u);
    EXPECT_EQ(o.length, 7u);
    EXPECT_EQ(o.status, 200u);
}

TEST_F(KzHTTPTest, HeadWithoutDataSendsNone) {
    Head(kUrl);
    EXPECT_FALSE(net.requests.at(0).optional.has_value());
    EXPECT_EQ(net.requests.at(0).optionalLength, 0u);
}

TEST_F(KzHTTPTest, HeadReadsABodyOnlyWhenAskedAndWithoutPumping) {
    net.response.Body(std::string(20000, 'h'), 5000);
    HeadArgs a;
    a.wantBody = true;
    a.reveal = &bar;
    const Outcome o = Head(kUrl, a);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.body, std::string(20000, 'h'));
    EXPECT_EQ(Calls("InternetReadFile").size(), 5u);
    EXPECT_EQ(app.pumps, 0);
    EXPECT_THAT(bar.positions, IsEmpty()) << "the revealed control is no progress bar for HEAD";
}

// Flags -----------------------------------------------------------------

TEST_F(KzHTTPTest, RequestFlags) {
    constexpr std::uint32_t kNoRedirect = 0x8000 | 0x4000 | 0x200000;
    const struct {
        const char* url;
        bool reload;
        bool noRedirect;
        std::uint32_t flags;
    } cases[] = {
        {"http://h/x", false, false, 0x800},
        {"http://h/x", true, false, 0x80000000u},
        {"https://h/x", false, false, 0x800 | 0x800000},
        {"https://h/x", true, true, 0x80000000u | 0x800000 | kNoRedirect},
        {"http://h/x", false, true, 0x800 | kNoRedirect},
        {"HTTPS://h/x", false, false, 0x800},  // the scheme test is case-sensitive
        {"httpsx://h/x", false, false, 0x800 | 0x800000},  // only the first five characters count
    };
    for (const auto& c : cases) {
        net.requests.clear();
        GetArgs g;
        g.reload = c.reload;
        g.noRedirect = c.noRedirect;
        Get(c.url, g);
        HeadArgs h;
        h.reload = c.reload;
        h.noRedirect = c.noRedirect;
        Head(c.url, h);
        ASSERT_EQ(net.requests.size(), 2u);
        EXPECT_EQ(net.requests[0].flags, c.flags) << "GET " << c.url << " reload " << c.reload;
        EXPECT_EQ(net.requests[1].flags, c.flags) << "HEAD " << c.url << " reload " << c.reload;
    }
}

// URL splitting ---------------------------------------------------------

TEST_F(KzHTTPTest, SplitsTheUrl) {
    const struct {
        const char* url;
        const char* host;
        std::uint16_t port;
        const char* object;
    } cases[] = {
        {"http://halvane.example", "halvane.example", 80, "/"},
        {"http://halvane.example/", "halvane.example", 80, "/"},
        {"https://halvane.example/restlevel/", "halvane.example", 443, "/restlevel/"},
        {"http://127.0.0.1:8080/a/b.zbin?x=1&y=2", "127.0.0.1", 8080, "/a/b.zbin?x=1&y=2"},
        {"https://halvane.example:8443/x", "halvane.example", 8443, "/x"},
        {"http://halvane.example:abc/x", "halvane.example", 80, "/x"},
        {"https://halvane.example:abc/x", "halvane.example", 443, "/x"},
        {"http://halvane.example:/x", "halvane.example", 80, "/x"},
        {"http://halvane.example:0443/x", "halvane.example", 443, "/x"},
        // Not a port: wrapping to 16 bits would reach another one.
        {"http://halvane.example:65617/x", "halvane.example", 80, "/x"},
        {"http://halvane.example:-1/x", "halvane.example", 80, "/x"},
        {"http://halvane.example:65535/x", "halvane.example", 65535, "/x"},
        // Sent as plain HTTP to port 80: the scheme test is case-sensitive.
        {"HTTPS://HALVANE.EXAMPLE/NOTES.RTF", "HALVANE.EXAMPLE", 80, "/NOTES.RTF"},
        {"http://halvane.example/ notes.rtf \r\n", "halvane.example", 80, "/notes.rtf"},
        {"  http://halvane.example/notes.rtf", "halvane.example", 80, "/notes.rtf"},
        {"http:// halvane.example : 8080 /x", "halvane.example", 8080, "/x"},
    };
    for (const auto& c : cases) {
        net.connects.clear();
        net.requests.clear();
        Get(c.url);
        ASSERT_EQ(net.connects.size(), 1u) << c.url;
        EXPECT_EQ(net.connects[0].host, c.host) << c.url;
        EXPECT_EQ(net.connects[0].port, c.port) << c.url;
        EXPECT_EQ(net.requests.at(0).objectName, c.object) << c.url;
    }
}

// Credentials -----------------------------------------------------------

TEST_F(KzHTTPTest, CredentialsPassAsTextOrAsNone) {
    using Text = std::optional<std::string>;
    const struct {
        std::string userName, password;
        Text sentUser, sentPassword;
    } cases[] = {
        {NullStringValue, NullStringValue, std::nullopt, std::nullopt},
        {"", "", Text(""), Text("")},
        {"anna", NullStringValue, Text("anna"), std::nullopt},
        {NullStringValue, "secret", std::nullopt, Text("secret")},
        {"<nullstrval1>", "<NuLlStRVAl1> ", Text("<nullstrval1>"), Text("<NuLlStRVAl1> ")},  // exact text only
    };
    for (const auto& c : cases) {
        net.connects.clear();
        GetArgs g;
        g.userName = c.userName;
        g.password = c.password;
        Get(kUrl, g);
        HeadArgs h;
        h.userName = c.userName;
        h.password = c.password;
        Head(kUrl, h);
        ASSERT_EQ(net.connects.size(), 2u);
        for (const auto& connect : net.connects) {
            EXPECT_EQ(connect.userName, c.sentUser) << "user " << c.userName;
            EXPECT_EQ(connect.password, c.sentPassword) << "password " << c.password;
        }
    }
}

// Headers ---------------------------------------------------------------

TEST_F(KzHTTPTest, TextHeadersThatDoNotFitTheBufferComeBackEmpty) {
    // 1024 bytes hold 1023 characters and the terminating zero.
    for (const std::size_t size : {std::size_t{1023}, std::size_t{1024}, std::size_t{5000}}) {
        const std::string text(size, 'L');
        net.response.location = text;
        net.response.rawHeaders = text;
        GetArgs g;
        g.wantLocation = g.wantRawHeaders = true;
        const Outcome get = Get(kUrl, g);
        HeadArgs h;
        h.wantLocation = h.wantRawHeaders = true;
        const Outcome head = Head(kUrl, h);
        const std::string expected = size < 1024 ? text : "";
        EXPECT_EQ(get.location, expected) << size;
        EXPECT_EQ(get.rawHeaders, expected) << size;
        EXPECT_EQ(head.location, expected) << size;
        EXPECT_EQ(head.rawHeaders, expected) << size;
        EXPECT_TRUE(get.ok && head.ok) << "a header that does not fit fails nothing";
    }
}

TEST_F(KzHTTPTest, LastModifiedIsTheServersTimeWithoutZoneConversion) {
    sys.utcOffsetMinutes = 120;  // would show if the time were converted
    net.response.lastModified = SystemTime{2024, 3, 5, 15, 10, 20, 30, 0};
    const double expected = 45366.0 + (10 * 3600 + 20 * 60 + 30) / 86400.0;  // 15 March 2024 10:20:30
    EXPECT_DOUBLE_EQ(Get(kUrl).lastModified, expected);
    EXPECT_DOUBLE_EQ(Head(kUrl).lastModified, expected);

    net.response.lastModified.reset();
    EXPECT_EQ(Get(kUrl).lastModified, 0.0);
    EXPECT_EQ(Head(kUrl).lastModified, 0.0);

    net.response.lastModified = SystemTime{2024, 13, 0, 1, 0, 0, 0, 0};  // no date: the fallback
    EXPECT_EQ(Get(kUrl).lastModified, 0.0);
}

TEST_F(KzHTTPTest, AbsentHeadersGiveZero) {
    net.response.status.reset();
    net.response.Body("body", 0, false);
    const Outcome get = Get(kUrl);
    EXPECT_FALSE(get.ok) << "no status is no success";
    EXPECT_EQ(get.status, 0u);
    EXPECT_EQ(get.length, 0u);
    EXPECT_EQ(get.body, "body");
    const Outcome head = Head(kUrl);
    EXPECT_FALSE(head.ok);
    EXPECT_EQ(head.status, 0u);
    EXPECT_EQ(head.length, 0u);
}

// Failures --------------------------------------------------------------

struct FailureCase {
    const char* name;
    void (*arrange)(fake::Internet&);
    const char* getError;
    const char* headError;
    std::vector<std::string> calls;  // between the open and the closes
    std::vector<std::string> closes;
};

TEST_F(KzHTTPTest, EveryFailureHasItsErrorText) {
    const FailureCase cases[] = {
        {"open", [](fake::Internet& n) { n.openError = kErrorInternetInternalError; }, "", "", {}, {}},
        {"connect", [](fake::Internet& n) { n.connectError = kErrorInternetNameNotResolved; },
         "Connect Failed: The server name or address could not be resolved (0x00002EE7)", "proxy: no route",
         {"InternetConnectA halvane.example:80"},
         {"InternetCloseHandle internet"}},
        {"open request", [](fake::Internet& n) { n.openRequestError = kErrorInternetInvalidUrl; },
         "Open Request Failed: The URL is invalid (0x00002EE5)", "proxy: no route",
         {"InternetConnectA halvane.example:80", "HttpOpenRequestA VERB /restlevel/RestLevel.zbin"},
         {"InternetCloseHandle internet"}},
        {"send", [](fake::Internet& n) { n.sendError = kErrorInternetCannotConnect; },
         "Send Request Failed: A connection with the server could not be established (0x00002EFD)",
         "proxy: no route",
         {"InternetConnectA halvane.example:80", "HttpOpenRequestA VERB /restlevel/RestLevel.zbin",
          "HttpSendRequestA"},
         {"InternetCloseHandle request", "InternetCloseHandle internet"}},
    };
    for (const auto& c : cases) {
        for (const char* verb : {"GET", "HEAD"}) {
            const bool get = std::string(verb) == "GET";
            net = fake::Internet();
            net.textSystem = &sys;
            net.responseInfo = "proxy: no route";
            c.arrange(net);
            app.log = &net.log;
            bar.journal = &net.log;
            bar.calls.clear();
            Outcome o;
            o.body = o.error = o.location = o.rawHeaders = "stale";
            o.status = 7;
            o.length = 7;
            o.lastModified = 7.0;
            if (get) {
                GetArgs a;
                a.progress = &bar;
                a.wantLocation = a.wantRawHeaders = true;
                std::uint32_t length = 7;
                o.ok = HTTPGet(kUrl, o.body, o.status, length, o.lastModified, o.error, a.progress, 0, 0,
                               a.userName, a.password, false, false, kPackageBodyLimit, &o.location,
                               &o.rawHeaders);
                o.length = length;
            } else {
                o.ok = HTTPHead(kUrl, "", "", o.status, o.length, o.lastModified, o.error, &bar, 0, 0,
                                NullStringValue, NullStringValue, false, false, &o.location, &o.rawHeaders,
                                &o.body);
            }
            SCOPED_TRACE(std::string(c.name) + " " + verb);
            EXPECT_FALSE(o.ok);
            EXPECT_EQ(o.error, get ? c.getError : c.headError);
            EXPECT_EQ(o.status, 0u);
            EXPECT_EQ(o.length, 0u);
            EXPECT_EQ(o.lastModified, 0.0);
            EXPECT_EQ(o.body, "");
            EXPECT_EQ(o.location, "");
            EXPECT_EQ(o.rawHeaders, "");
            EXPECT_THAT(bar.calls, IsEmpty()) << "nothing is revealed before a send succeeds";

            // The failing step is the last one taken; what was opened is
            // closed, the request first.
            std::vector<std::string> expected{"InternetOpenA RestLevel"};
            for (std::string call : c.calls) {
                if (const auto at = call.find("VERB"); at != std::string::npos) call.replace(at, 4, verb);
                expected.push_back(call);
            }
            std::vector<std::string> seen;
            for (const auto& line : net.log)
                if (line != "InternetGetLastResponseInfoA") seen.push_back(line);
            expected.insert(expected.end(), c.closes.begin(), c.closes.end());
            EXPECT_THAT(seen, ElementsAreArray(expected));
            EXPECT_EQ(net.OpenHandles(), 0);
            EXPECT_THAT(net.misuse, IsEmpty());
        }
    }
}

TEST_F(KzHTTPTest, WithoutAPortEveryRequestFailsQuietly) {
    SetInternetPort(nullptr);
    std::string body = "stale";
    std::string error = "stale";
    std::uint32_t status = 7;
    std::uint32_t length = 7;
    double lastModified = 7.0;
    EXPECT_FALSE(HTTPGet(kUrl, body, status, length, lastModified, error, nullptr, 0, 0, NullStringValue,
                         NullStringValue, false, false));
    EXPECT_EQ(body, "");
    EXPECT_EQ(error, "");
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(lastModified, 0.0);
    EXPECT_THAT(net.log, IsEmpty());
}

// Judging ---------------------------------------------------------------

TEST_F(KzHTTPTest, A404FillsTheBodyAndFailsWithoutText) {
    net.response.status = 404;
    net.response.Body("<html>No such file</html>");
    const Outcome get = Get(kUrl);
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.status, 404u);
    EXPECT_EQ(get.body, "<html>No such file</html>");
    EXPECT_EQ(get.error, "");

    const Outcome head = Head(kUrl);
    EXPECT_FALSE(head.ok);
    EXPECT_EQ(head.status, 404u);
    EXPECT_EQ(head.error, "");
}

TEST_F(KzHTTPTest, StatusRange) {
    const struct {
        std::uint32_t status;
        bool ok;
    } cases[] = {{199, false}, {200, true}, {204, true}, {299, true}, {300, false}, {302, false}, {500, false}};
    for (const auto& c : cases) {
        net.response.status = c.status;
        net.response.Body("x");
        EXPECT_EQ(Get(kUrl).ok, c.ok) << c.status;
        EXPECT_EQ(Head(kUrl).ok, c.ok) << c.status;
    }
}

TEST_F(KzHTTPTest, WithoutContentLengthAnyBodySucceedsAndTheBarStays) {
    for (const std::string& body : {std::string(), std::string("short"), std::string(50000, 'b')}) {
        net.response.Body(body, 7000, false);
        bar.position = 250;
        GetArgs a;
        a.progress = &bar;
        const Outcome o = Get(kUrl, a);
        EXPECT_TRUE(o.ok) << body.size();
        EXPECT_EQ(o.body, body);
        EXPECT_EQ(o.length, 0u);
        EXPECT_EQ(bar.position, 250);
        EXPECT_THAT(bar.positions, IsEmpty());
    }
}

TEST_F(KzHTTPTest, ABodyShorterThanAnnouncedFailsWithoutText) {
    net.response.Body(std::string(60, 's'));
    net.response.contentLength = 100;
    const Outcome o = Get(kUrl);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.body.size(), 60u);
    EXPECT_EQ(o.length, 100u);
    EXPECT_EQ(o.error, "");

    net.response.contentLength = 60;
    EXPECT_TRUE(Get(kUrl).ok) << "exactly the announced length";
    net.response.contentLength = 50;
    EXPECT_TRUE(Get(kUrl).ok) << "more than announced is not short";
}

TEST_F(KzHTTPTest, AFailedReadFailsTheGetWithTheExtendedErrorText) {
    // With or without an announced length: the body may be cut anywhere.
    for (const bool announced : {true, false}) {
        net.response.Body("first|second|third", 6, announced);
        net.response.readFailsAt = 1;
        net.responseInfo = "  \r\n";
        const Outcome o = Get(kUrl);
        EXPECT_FALSE(o.ok) << "announced " << announced;
        EXPECT_EQ(o.body, "first|");
        EXPECT_EQ(o.error, "The connection with the server was reset (0x00002EFF)") << "announced " << announced;
        EXPECT_EQ(Calls("InternetReadFile").size(), 2u) << "reading stops at the failure";
        net.log.clear();
    }
    // A failure at the very end, after every byte arrived, is a failure too.
    net.response.Body("whole", 0, false);
    net.response.readFailsAt = 1;
    EXPECT_FALSE(Get(kUrl).ok);
}

TEST_F(KzHTTPTest, AFailedHeadReadGivesTheResponseText) {
    net.response.Body("abc", 1);
    net.response.readFailsAt = 2;
    net.responseInfo = "550 gone";
    HeadArgs a;
    a.wantBody = true;
    const Outcome o = Head(kUrl, a);
    EXPECT_TRUE(o.ok) << "HEAD is judged by its status";
    EXPECT_EQ(o.body, "ab");
    EXPECT_EQ(o.error, "550 gone");
}

TEST_F(KzHTTPTest, ExtendedErrorText) {
    const struct {
        std::uint32_t lastError;
        const char* response;
        bool responseFails;
        const char* text;
    } cases[] = {
        {kErrorInternetConnectionReset, "", false, "The connection with the server was reset (0x00002EFF)"},
        {kErrorInternetConnectionReset, "\r\n 421 closing\r\n", false,
         "The connection with the server was reset (0x00002EFF) \r\n 421 closing"},
        {0, "\t421 closing \r\n", false, "421 closing"},  // no error: the response text alone
        {kErrorInternetConnectionReset, "421 closing", true, "The connection with the server was reset (0x00002EFF)"},
        {0, "", true, ""},
    };
    for (const auto& c : cases) {
        sys.lastError = c.lastError;
        net.responseInfo = c.response;
        net.responseInfoFails = c.responseFails;
        EXPECT_EQ(ExtendedErrorText(), c.text) << c.lastError << " '" << c.response << "'";
    }
    net.responseInfoFails = false;
    net.responseInfo = "226 done\r\n";
    EXPECT_EQ(ResponseInfoText(), "226 done\r\n");
    EXPECT_THAT(net.responseInfoBufferSizes, ::testing::Each(1024u));
}

// Progress and message processing ---------------------------------------

TEST_F(KzHTTPTest, ProgressFollowsTheAnnouncedLength) {
    const struct {
        std::size_t size;
        std::size_t chunk;
        std::uint32_t announced;
        std::vector<int> positions;
    } cases[] = {
        {40000, 16384, 40000, {409, 819, 1000}},  // reads are at most 16384 bytes
        {3, 1, 3, {333, 666, 1000}},              // the integer part, not rounded
        {100000, 40000, 100000, {163, 327, 400, 563, 727, 800, 963, 1000}},
        {30, 10, 20, {500, 1000, 1000}},  // more than announced keeps the bar full
    };
    for (const auto& c : cases) {
        net.response.Body(std::string(c.size, 'p'), c.chunk);
        net.response.contentLength = c.announced;
        bar.positions.clear();
        GetArgs a;
        a.progress = &bar;
        Get(kUrl, a);
        EXPECT_EQ(bar.positions, c.positions) << c.size << " in chunks of " << c.chunk;
    }
}

TEST_F(KzHTTPTest, AFailingProgressBarDoesNotStopTheDownload) {
    net.response.Body(std::string(40000, 'p'), 10000);
    bar.throwOnSetPosition = true;
    GetArgs a;
    a.progress = &bar;
    const Outcome o = Get(kUrl, a);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.body.size(), 40000u);
    EXPECT_EQ(bar.positions.size(), 4u);
}

TEST_F(KzHTTPTest, MessagesAreProcessedBeforeEveryRead) {
    net.response.Body(std::string(50000, 'm'), 9000);
    net.onRead = [&](std::size_t read) { EXPECT_EQ(app.pumps, static_cast<int>(read) + 1) << "read " << read; };
    const Outcome o = Get(kUrl);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(app.pumps, 7) << "six chunks and the read at the end";
}

TEST_F(KzHTTPTest, AnExceptionWhileProcessingMessagesFailsTheRequest) {
    net.response.Body("body");
    app.throwOnPump = true;
    const Outcome o = Get(kUrl);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, "handler failed");
    EXPECT_THAT(Calls("InternetCloseHandle"),
                ElementsAre("InternetCloseHandle request", "InternetCloseHandle internet"));
}

// Body limits -----------------------------------------------------------

TEST_F(KzHTTPTest, ABodyPastItsLimitFailsWithoutKeepingWhatIsBeyond) {
    constexpr std::uint64_t kLimit = 100;
    const std::string tooLong = "Response body exceeds 100 bytes";
    struct Case {
        const char* name;
        std::size_t size;
        std::size_t chunk;
        std::optional<std::uint64_t> announced;
        bool ok;
        std::vector<std::uint32_t> reads;  // the counts asked for
    };
    const Case cases[] = {
        {"exactly the limit", 100, 40, std::nullopt, true, {40, 40, 20, 1}},
        {"announced, exactly the limit", 100, 40, 100, true, {40, 40, 20, 1}},
        // At most one byte beyond the limit is asked for, and none is kept.
        {"one byte more", 101, 40, std::nullopt, false, {40, 40, 21}},
        {"far more in one chunk", 1000000, 0, std::nullopt, false, {101}},
        // An announcement past the limit fails before any read...
        {"announced past the limit", 150, 40, 150, false, {}},
        // ...also past 32 bits, where the number form wraps to a small length.
        {"announced past 32 bits", 50, 40, 4294967296ull + 50, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        net = fake::Internet();
        net.textSystem = &sys;
        net.response.Body(std::string(c.size, 'x'), c.chunk, false);
        net.response.contentLength = c.announced;
        GetArgs a;
        a.bodyLimit = kLimit;
        const Outcome o = Get(kUrl, a);
        EXPECT_EQ(o.ok, c.ok);
        EXPECT_EQ(o.error, c.ok ? "" : tooLong);
        EXPECT_LE(o.body.size(), kLimit);
        EXPECT_EQ(o.body, std::string(o.body.size(), 'x'));
        EXPECT_EQ(net.requests.at(0).reads, c.reads);
        EXPECT_EQ(o.status, 200u) << "the headers are still given";
        EXPECT_EQ(net.OpenHandles(), 0);
    }
}

TEST_F(KzHTTPTest, TheDefaultLimitIsThePackages) {
    // Announced one byte past it: refused before reading.
    net.response.Body("x");
    net.response.contentLength = kPackageBodyLimit + 1;
    const Outcome o = Get(kUrl);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, "Response body exceeds " + std::to_string(kPackageBodyLimit) + " bytes");
    EXPECT_THAT(Calls("InternetReadFile"), IsEmpty());
    EXPECT_GE(kPackageBodyLimit, kTextBodyLimit);
}

TEST_F(KzHTTPTest, AHeadBodyHasTheTextLimit) {
    net.response.Body(std::string(kTextBodyLimit + 1, 'h'), 1 << 20, false);
    HeadArgs a;
    a.wantBody = true;
    const Outcome o = Head(kUrl, a);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, "Response body exceeds " + std::to_string(kTextBodyLimit) + " bytes");
    EXPECT_LE(o.body.size(), kTextBodyLimit);
}

// Time limit ------------------------------------------------------------

class KzHTTPTimeLimitTest : public KzHTTPTest {
protected:
    static constexpr std::int64_t kCountsPerMs = 1000;  // the fake counter runs at 1 MHz
    void Advance(double ms) { sys.counter += static_cast<std::int64_t>(ms * kCountsPerMs); }
};

TEST_F(KzHTTPTimeLimitTest, ABodyThatTricklesStopsWhenTheTimeIsUp) {
    // One byte per read, each a second apart: the body would take 600 s.
    net.response.Body(std::string(600, 't'), 1);
    net.onRead = [&](std::size_t) { Advance(1000); };
    const HttpTimeLimit limit(10000);
    const Outcome o = Get(kUrl);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, kTimeLimitExceeded);
    EXPECT_EQ(o.body, std::string(10, 't')) << "what came in time is kept";
    EXPECT_EQ(Calls("InternetReadFile").size(), 10u) << "no read after the end";
    EXPECT_TRUE(limit.Exceeded());
    EXPECT_THAT(Calls("InternetCloseHandle"),
                ElementsAre("InternetCloseHandle request", "InternetCloseHandle internet"));
}

TEST_F(KzHTTPTimeLimitTest, ARequestAfterTheEndFailsAtOnce) {
    const HttpTimeLimit limit(1000);
    Advance(1000);
    const Outcome get = Get(kUrl);
    EXPECT_FALSE(get.ok);
    EXPECT_EQ(get.error, kTimeLimitExceeded);
    HeadArgs h;
    h.wantBody = true;
    const Outcome head = Head(kUrl, h);
    EXPECT_FALSE(head.ok);
    EXPECT_EQ(head.error, kTimeLimitExceeded);
    EXPECT_THAT(net.log, IsEmpty()) << "nothing is opened";
    EXPECT_TRUE(limit.Exceeded());
}

TEST_F(KzHTTPTimeLimitTest, TimeOutsAreCutToTheTimeLeft) {
    struct Case {
        std::uint32_t connect, receive;
        std::vector<std::string> options;  // internet handle, then request
    };
    // 4000 ms of the limit are left when the request starts.
    const Case cases[] = {
        {20000, 0, {"InternetSetOptionA 2 4000", "InternetSetOptionA 6 4000", "InternetSetOptionA 6 4000"}},
        {0, 1500, {"InternetSetOptionA 2 4000", "InternetSetOptionA 6 1500", "InternetSetOptionA 6 1500"}},
    };
    for (const Case& c : cases) {
        net.log.clear();
        const HttpTimeLimit limit(5000);
        Advance(1000);
        GetArgs a;
        a.connectTimeout = c.connect;
        a.receiveTimeout = c.receive;
        EXPECT_TRUE(Get(kUrl, a).ok);
        EXPECT_EQ(Calls("InternetSetOptionA"), c.options);
        EXPECT_FALSE(limit.Exceeded());
    }
    // Without a limit the platform's time-outs stay.
    net.log.clear();
    EXPECT_TRUE(Get(kUrl).ok);
    EXPECT_THAT(Calls("InternetSetOptionA"), IsEmpty());
}

TEST_F(KzHTTPTimeLimitTest, LimitsNestAndEndWithTheirScope) {
    {
        const HttpTimeLimit outer(2000);
        {
            const HttpTimeLimit inner(60000);  // the outer end still rules
            net.log.clear();
            Get(kUrl);
            EXPECT_EQ(Calls("InternetSetOptionA").front(), "InternetSetOptionA 2 2000");
            Advance(2000);
            EXPECT_EQ(Get(kUrl).error, kTimeLimitExceeded);
            EXPECT_TRUE(inner.Exceeded());
        }
        EXPECT_TRUE(outer.Exceeded());
    }
    EXPECT_TRUE(Get(kUrl).ok) << "no limit once the scopes ended";
}

TEST_F(KzHTTPTimeLimitTest, AFailureAfterTheEndCountsAsOutOfTime) {
    // The port's own time-out ends the read just after the limit: the text
    // is the port's, and the limit knows the time was up.
    net.response.Body("abc", 1);
    net.response.readFailsAt = 1;
    net.response.readError = kErrorInternetTimeout;
    net.onRead = [&](std::size_t read) {
        if (read == 1) Advance(3000);
    };
    sys.moduleMessages[kErrorInternetTimeout] = "The operation timed out\r\n";
    const HttpTimeLimit limit(2000);
    const Outcome o = Get(kUrl);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, "The operation timed out (0x00002EE2)");
    EXPECT_TRUE(limit.Exceeded());
}

}  // namespace
}  // namespace rl
