#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/VorlLibText.h"
#include "tests/fakes/FakeTextSystem.h"

namespace rl {
namespace {

class TextTest : public ::testing::Test {
protected:
    fake::TextSystem sys;
    void SetUp() override { SetTextSystemPort(&sys); }
    void TearDown() override { SetTextSystemPort(nullptr); }
};

// Character sets --------------------------------------------------------

int Members(const CharSet& set) {
    int n = 0;
    for (unsigned c = 0; c < 256; ++c) n += set.Contains(static_cast<std::uint8_t>(c)) ? 1 : 0;
    return n;
}

TEST(CharSets, HoldTheirMembers) {
    EXPECT_EQ(Members(PrintableChars), 224);
    EXPECT_FALSE(PrintableChars.Contains('\x1f'));
    EXPECT_TRUE(PrintableChars.Contains(' '));
    EXPECT_TRUE(PrintableChars.Contains('\xff'));

    EXPECT_EQ(Members(FileNameChars), 224 - 9);
    for (const char c : std::string("\"*/:<>?\\|")) EXPECT_FALSE(FileNameChars.Contains(c)) << c;
    for (const char c : std::string(" .-_'~\x7f\xe4")) EXPECT_TRUE(FileNameChars.Contains(c)) << c;
    EXPECT_FALSE(FileNameChars.Contains('\t'));

    EXPECT_EQ(Members(VarNameChars), 10 + 26 + 26 + 1);
    for (const char c : std::string("09AZaz_")) EXPECT_TRUE(VarNameChars.Contains(c)) << c;
    for (const char c : std::string(" %-.$\xe4")) EXPECT_FALSE(VarNameChars.Contains(c)) << c;
}

// Error texts -----------------------------------------------------------

TEST(ErrorCodeNameTest, LooksUpTheTable) {
    const struct {
        std::int64_t code;
        const char* name;
    } cases[] = {
        {0, "ERROR_SUCCESS"},  // not NO_ERROR: the first name wins
        {1, "ERROR_INVALID_FUNCTION"},
        {5, "ERROR_ACCESS_DENIED"},
        {10, "ERROR_BAD_ENVIRONMENT"},  // "1=" must not match "10="
        {1208, "ERROR_EXTENDED_ERROR"},
        {1717, "RPC_S_UNKNOWN_IF"},
        {9003, "DNS_ERROR_RCODE_NAME_ERROR"},
        {10013, "WSAEACCES"},
        {10035, "WSAEWOULDBLOCK"},
        {12002, "ERROR_INTERNET_TIMEOUT"},
        {12029, "ERROR_INTERNET_CANNOT_CONNECT"},
        {12152, "ERROR_HTTP_INVALID_SERVER_RESPONSE"},
        {40000, "Unknown Error 40000"},
        {-5, "Unknown Error -5"},
        {2147483648LL, "Unknown Error 2147483648"},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrorCodeName(c.code), c.name) << c.code;
}

TEST(ErrorCodeNameTest, TableEntriesAreCodeEqualsNameWithOneEntryPerCode) {
    std::vector<bool> seen(70000, false);
    for (const std::string entry : ErrorNameTable()) {
        const auto eq = entry.find('=');
        ASSERT_NE(eq, std::string::npos) << entry;
        ASSERT_GT(eq, 0u) << entry;
        ASSERT_LT(eq + 1, entry.size()) << entry;
        ASSERT_EQ(entry.find_first_not_of("0123456789"), eq) << entry;
        ASSERT_EQ(entry.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_", eq + 1), std::string::npos) << entry;
        const auto code = std::stoul(entry.substr(0, eq));
        ASSERT_LT(code, seen.size()) << entry;
        EXPECT_FALSE(seen[code]) << "second name for " << code << ": " << entry;
        seen[code] = true;
    }
}

TEST_F(TextTest, SysErrorTextUsesTheSystemMessageWithoutItsPeriod) {
    sys.systemMessages[5] = "Access denied.\r\n";
    EXPECT_EQ(SysErrorText(5), "Access denied (0x00000005)");
    EXPECT_EQ(SysErrorText(-5), "Access denied (0x00000005)");
    ASSERT_EQ(sys.messageCalls.size(), 2u);
    for (const auto& call : sys.messageCalls) {
        EXPECT_EQ(call.module, "");
        EXPECT_EQ(call.flags, 0x3200u);
        EXPECT_EQ(call.code, 5u);
        EXPECT_EQ(call.language, 0u);
        EXPECT_EQ(call.bufferSize, 256u);
    }
}

TEST_F(TextTest, SysErrorTextTable) {
    sys.systemMessages = {
        {2, "The system cannot find the file specified.\r\n"},
        {13, "The data is invalid...  \r\n\r\n"},
        {87, "The parameter is incorrect.\r\nSee the second line.\r\n"},
        {88, "Tabs\tand\r\n\r\n\tbreaks\x01together."},
        {89, "Umlaut \xe4\xf6\xfc kept."},
        {90, " . \r\n"},  // nothing left: the name is used
        {1208, "An extended error has occurred.\r\n"},
        {12345, "A code beyond WinInet's range.\r\n"},
    };
    sys.moduleMessages = {
        {12002, "The operation timed out\r\n"},
        {12029, "A connection with the server could not be established\r\n"},
        {12100, ".\r\n"},
    };
    const struct {
        std::int32_t code;
        const char* text;
    } cases[] = {
        {2, "The system cannot find the file specified (0x00000002)"},
        {13, "The data is invalid (0x0000000D)"},
        {87, "The parameter is incorrect. See the second line (0x00000057)"},
        {88, "Tabs and breaks together (0x00000058)"},
        {89, "Umlaut \xe4\xf6\xfc kept (0x00000059)"},
        {90, "Unknown Error 90 (0x0000005A)"},
        {3, "ERROR_PATH_NOT_FOUND (0x00000003)"},  // no message: the name
        {1208, "An extended error has occurred (0x000004B8)"},  // no network error to report
        {12002, "The operation timed out (0x00002EE2)"},
        {-12029, "A connection with the server could not be established (0x00002EFD)"},
        {12100, "WinInet Error 12100 (0x00002F44)"},
        {12156, "WinInet Error 12156 (0x00002F7C)"},
        {12345, "A code beyond WinInet's range (0x00003039)"},
        {31999, "Unknown Error 31999 (0x00007CFF)"},
        {40000, "Unknown Error 40000 (0x00009C40)"},
        {std::numeric_limits<std::int32_t>::min(), "Unknown Error 2147483648 (0x80000000)"},
    };
    for (const auto& c : cases) EXPECT_EQ(SysErrorText(c.code), c.text) << c.code;
}

TEST_F(TextTest, SysErrorTextAsksTheWinInetModuleOnlyForItsRange) {
    const struct {
        std::uint32_t code;
        const char* module;  // null: no message asked for
    } cases[] = {
        {12000, ""}, {12001, "wininet.dll"}, {12156, "wininet.dll"}, {12157, ""}, {31999, ""}, {32000, nullptr},
    };
    for (const auto& c : cases) {
        sys.messageCalls.clear();
        SysErrorText(static_cast<std::int32_t>(c.code));
        if (c.module == nullptr) {
            EXPECT_TRUE(sys.messageCalls.empty()) << c.code;
            continue;
        }
        ASSERT_EQ(sys.messageCalls.size(), 1u) << c.code;
        EXPECT_EQ(sys.messageCalls[0].module, c.module) << c.code;
        EXPECT_EQ(sys.messageCalls[0].flags, std::string(c.module).empty() ? 0x3200u : 0x2A00u) << c.code;
        EXPECT_EQ(sys.messageCalls[0].bufferSize, 256u) << c.code;
    }
}

TEST_F(TextTest, SysErrorTextOfExtendedErrorReportsTheNetworkProvider) {
    sys.systemMessages[1208] = "An extended error has occurred.\r\n";
    sys.netErrorAvailable = true;
    sys.netProviderError = 53;
    sys.netDescription = "The network path was not found.";
    sys.netProvider = "Microsoft Windows Network";
    EXPECT_EQ(SysErrorText(1208),
              "Extended Error 53: The network path was not found. [Microsoft Windows Network] (0x000004B8)");
    EXPECT_EQ(sys.netBufferSizes, (std::vector<std::uint32_t>{255, 255}));
}

TEST_F(TextTest, LastErrorTextReadsTheThreadsLastError) {
    sys.systemMessages[6] = "The handle is invalid.\r\n";
    sys.lastError = 6;
    EXPECT_EQ(LastErrorText(), "The handle is invalid (0x00000006)");
    sys.lastError = 0x80070005u;  // taken as a signed code
    EXPECT_EQ(LastErrorText(), "Unknown Error 2147024891 (0x7FF8FFFB)");
}

TEST(TextWithoutPort, SysErrorTextFallsBackToTheName) {
    SetTextSystemPort(nullptr);
    EXPECT_EQ(SysErrorText(5), "ERROR_ACCESS_DENIED (0x00000005)");
    EXPECT_EQ(SysErrorText(12002), "WinInet Error 12002 (0x00002EE2)");
    EXPECT_EQ(LastErrorText(), "ERROR_SUCCESS (0x00000000)");
}

// Characters ------------------------------------------------------------

TEST(FilterCharsTest, Table) {
    const struct {
        const char* text;
        CharSet allowed;
        bool upper;
        const char* replacement;
        bool collapse;
        const char* expected;
    } cases[] = {
        {"RestLevel: Update?", FileNameChars, false, "", false, "RestLevel Update"},
        {"a\r\nb", PrintableChars, false, " ", true, "a b"},
        {"a\r\nb", PrintableChars, false, " ", false, "a  b"},
        {"\r\nab\r\n", PrintableChars, false, " ", true, " ab "},
        {"a::b::c", FileNameChars, false, "_", true, "a_b_c"},
        {"a::b", FileNameChars, false, "_-", false, "a_-_-b"},
        {"a::b", FileNameChars, false, "_-", true, "a_-b"},
        {"a::b", FileNameChars, false, "", true, "ab"},
        {"abc:xyz\xe4", FileNameChars, true, "", false, "ABCXYZ\xe4"},
        {"", PrintableChars, false, " ", true, ""},
        {"\x01\x02\x03", PrintableChars, false, "?", true, "?"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FilterChars(c.text, c.allowed, c.upper, c.replacement, c.collapse), c.expected) << c.text;
}

TEST_F(TextTest, HasPrefixTable) {
    const struct {
        const char* text;
        const char* prefix;
        bool caseSensitive;
        bool match;
        const char* rest;  // what the rest holds afterwards
    } cases[] = {
        {"Encr:0a1b2c", "Encr:", true, true, "0a1b2c"},
        {"encr:0a1b2c", "Encr:", true, false, "untouched"},
        {"encr:0a1b2c", "Encr:", false, true, "0a1b2c"},
        {"ENCR:", "Encr:", false, true, ""},
        {"Enc", "Encr:", true, false, "untouched"},
        {"Enc", "Encr:", false, false, "untouched"},
        {"plain", "", true, true, "plain"},
        {"", "", false, true, ""},
        {"", "x", true, false, "untouched"},
    };
    for (const auto& c : cases) {
        std::string rest = "untouched";
        EXPECT_EQ(HasPrefix(c.text, c.prefix, c.caseSensitive, &rest), c.match) << c.text << " / " << c.prefix;
        EXPECT_EQ(rest, c.rest) << c.text << " / " << c.prefix;
        EXPECT_EQ(HasPrefix(c.text, c.prefix, c.caseSensitive), c.match) << c.text << " / " << c.prefix;
    }
}

TEST_F(TextTest, HasPrefixWithoutCaseAsksTheSystemForTheUsersLocale) {
    EXPECT_TRUE(HasPrefix("encr:xyz", "Encr:", false));
    ASSERT_EQ(sys.compareCalls.size(), 1u);
    EXPECT_EQ(sys.compareCalls[0].locale, 0x400u);
    EXPECT_EQ(sys.compareCalls[0].flags, 1u);  // NORM_IGNORECASE
    EXPECT_EQ(sys.compareCalls[0].a, "encr:");
    EXPECT_EQ(sys.compareCalls[0].b, "Encr:");

    sys.compareCalls.clear();
    EXPECT_TRUE(HasPrefix("Encr:xyz", "Encr:", true));
    EXPECT_TRUE(sys.compareCalls.empty());
}

TEST(TrimCharsTest, Table) {
    const struct {
        const char* text;
        const char* chars;
        int minLength;
        int mode;
        const char* expected;
    } cases[] = {
        {"C:\\Temp\\RestLevel\\\\", "\\", 0, kTrimTrailing, "C:\\Temp\\RestLevel"},
        {"\\\\\\", "\\", 0, kTrimTrailing, ""},
        {"\\\\\\", "\\", 0, kTrimLeading, ""},
        {"  abc  ", " ", 0, kTrimLeading, "abc  "},
        {"  abc  ", " ", 0, kTrimTrailing, "  abc"},
        {"  abc  ", " ", 0, kTrimBoth, "abc"},
        {" \t-abc-\t ", " \t-", 0, kTrimBoth, "abc"},
        {"xxxx", "x", 2, kTrimTrailing, "xx"},
        {"xxxx", "x", 2, kTrimLeading, "xx"},
        {"xxxx", "x", 3, kTrimBoth, "xxx"},
        {"xxabcxx", "x", 5, kTrimBoth, "xxabc"},
        {"xxabcxx", "x", 4, kTrimBoth, "xabc"},
        {"ab", "ab", 5, kTrimBoth, "ab"},
        {"ab", "ab", -1, kTrimBoth, ""},
        {"  abc  ", " ", 0, 3, "  abc  "},
        {"  abc  ", "", 0, kTrimBoth, "  abc  "},
        {"", " ", 0, kTrimBoth, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TrimChars(c.text, c.chars, c.minLength, c.mode), c.expected)
            << c.text << " min " << c.minLength << " mode " << c.mode;
}

TEST(CopyAndDropTest, Table) {
    const struct {
        int n;
        const char* copyFrom;
        const char* dropRight;
    } cases[] = {
        {-1, "abcdef", "abcdef"}, {0, "abcdef", "abcdef"}, {1, "abcdef", "abcde"}, {2, "bcdef", "abcd"},
        {5, "ef", "a"},           {6, "f", ""},            {7, "", ""},            {100, "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CopyFrom("abcdef", c.n), c.copyFrom) << c.n;
        EXPECT_EQ(DropRightChars("abcdef", c.n), c.dropRight) << c.n;
    }
    EXPECT_EQ(CopyFrom("", 1), "");
    EXPECT_EQ(DropRightChars("", 1), "");
}

TEST(FindFromTest, Table) {
    const struct {
        const char* pattern;
        const char* text;
        int start;
        bool caseSensitive;
        int expected;
    } cases[] = {
        {"b", "abcabc", 1, true, 2},
        {"b", "abcabc", 2, true, 2},
        {"b", "abcabc", 3, true, 5},
        {"b", "abcabc", 6, true, 0},
        {"b", "abcabc", 7, true, 0},
        {"b", "abcabc", 0, true, 2},
        {"b", "abcabc", -5, true, 2},
        {"B", "abcabc", 1, true, 0},
        {"B", "abcabc", 1, false, 2},
        {"cA", "abcabc", 1, false, 3},
        {"abc", "abcabc", 4, true, 4},
        {"abcd", "abc", 1, true, 0},
        {"", "abc", 1, true, 0},
        {"a", "", 1, true, 0},
        {"\xc4", "\xe4", 1, false, 0},  // only A..Z and a..z fold
        {"[", "{", 1, false, 0},
        {"\r\n", "line\r\nline", 1, true, 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FindFrom(c.pattern, c.text, c.start, c.caseSensitive), c.expected)
            << c.pattern << " in " << c.text << " from " << c.start;
}

TEST(ReplaceAllTest, Table) {
    const struct {
        const char* pattern;
        const char* replacement;
        const char* text;
        bool ignoreCase;
        const char* expected;
    } cases[] = {
        {"aa", "b", "aaaaa", false, "bba"},
        {"a", "aa", "aaa", false, "aaaaaa"},  // replaced text is not scanned again
        {"", "x", "abc", false, "abc"},
        {"abc", "", "xabcxabc", false, "xx"},
        {"AB", "x", "abAB", false, "abx"},
        {"AB", "x", "abAbab", true, "xxx"},
        {"%appdir%", "C:\\Prog", "%appdir%\\a;%appdir%\\b", false, "C:\\Prog\\a;C:\\Prog\\b"},
        {"x", "y", "", false, ""},
        {"long", "s", "lon", false, "lon"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReplaceAll(c.pattern, c.replacement, c.text, c.ignoreCase), c.expected) << c.text;
}

TEST(DequoteTest, Table) {
    const struct {
        const char* text;
        char quote;
        const char* expected;
    } cases[] = {
        {"\"\"", '"', ""},
        {"\"", '"', ""},
        {"ab\"\"cd", '"', "ab\"cd"},
        {"\"a\"\"b\"", '"', "a\"b"},
        {"\"\"\"\"", '"', "\""},
        {"\"abc", '"', "\"abc"},
        {"abc\"", '"', "abc\""},
        {"abc", '"', "abc"},
        {"'it''s'", '\'', "it's"},
        {"\"x\"", '\'', "\"x\""},
        {"", '"', ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Dequote(c.text, c.quote), c.expected) << c.text;
}

TEST(FieldsTest, GetFieldTable) {
    const std::optional<char> none;
    const struct {
        const char* text;
        int n;
        std::optional<char> quote;
        const char* expected;
    } cases[] = {
        {"a,b,c", 1, none, "a"},
        {"a,b,c", 2, none, "b"},
        {"a,b,c", 3, none, "c"},
        {"a,b,c", 4, none, ""},
        {"a,b,c", 0, none, ""},
        {",b,", 1, none, ""},
        {",b,", 2, none, "b"},
        {",b,", 3, none, ""},
        {",b,", 4, none, ""},
        {"", 1, none, ""},
        {"a,\"b,c\",d", 2, '"', "b,c"},
        {"a,\"b,c\",d", 3, '"', "d"},
        {"a,\"b,c\",d", 2, none, "\"b"},
        {"\"x\"\"y\",z", 1, '"', "x\"y"},
        {"x\"a,b\"y,z", 1, '"', "x\"a,b\"y"},  // quoted inside, not enclosed
    };
    for (const auto& c : cases) EXPECT_EQ(GetField(c.text, ',', c.n, c.quote), c.expected) << c.text << " #" << c.n;
}

TEST(FieldsTest, GetFieldsBeforeAndAfterTable) {
    const std::optional<char> none;
    const std::string url = "http://updates.example:8080/restlevel/RestLevel.exe";
    const struct {
        std::string text;
        int n;
        std::optional<char> quote;
        const char* before;
        const char* after;
    } cases[] = {
        {url, 1, none, "http:", "/updates.example:8080/restlevel/RestLevel.exe"},
        {url, 2, none, "http:/", "updates.example:8080/restlevel/RestLevel.exe"},
        {url, 3, none, "http://updates.example:8080", "restlevel/RestLevel.exe"},
        {url, 4, none, "http://updates.example:8080/restlevel", "RestLevel.exe"},
        {url, 5, none, url.c_str(), ""},  // one more than the text holds
        {url, 6, none, url.c_str(), ""},
        {url, 0, none, "", url.c_str()},
        {" \t a/b/c \r\n", 1, none, "a", "b/c"},
        {" \t a/b/c \r\n", 3, none, "a/b/c", ""},
        {"a/b/", 3, none, "a/b/", ""},
        {"a/b/", 2, none, "a/b", ""},
        {"", 1, none, "", ""},
        {"\"x/y\"/z", 1, '"', "\"x/y\"", "z"},
        {"\"x/y\"/z", 1, none, "\"x", "y\"/z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetFieldsBefore(c.text, '/', c.n, c.quote), c.before) << c.text << " #" << c.n;
        EXPECT_EQ(GetFieldsAfter(c.text, '/', c.n, c.quote), c.after) << c.text << " #" << c.n;
    }
}

// Expansion -------------------------------------------------------------

TEST(ExpandVariablesTest, Table) {
    std::vector<std::string> asked;
    const VariableResolver resolver = [&asked](const std::string& text, const std::string& name, int tag) {
        asked.push_back(name);
        if (name == "appdir") return std::string("C:\\Program Files\\RestLevel");
        return "<" + name + "|" + std::to_string(tag) + "|" + std::to_string(text.size()) + ">";
    };
    const struct {
        const char* text;
        char delimiter;
        const char* expected;
    } cases[] = {
        {"%appdir%\\RestLevel.exe", '%', "C:\\Program Files\\RestLevel\\RestLevel.exe"},
        {"x%other%y", '%', "x<other|7|9>y"},
        {"%%", '%', "<|7|2>"},
        {"100% sure", '%', "100% sure"},
        {"a%b", '%', "a%b"},
        {"a%", '%', "a%"},
        {"%a-b%", '%', "%a-b%"},
        {"%y.z%w%", '%', "%y.z<w|7|7>"},
        {"%A_9%", '%', "<A_9|7|5>"},
        {"$appdir$/x", '$', "C:\\Program Files\\RestLevel/x"},
        {"%appdir%", '$', "%appdir%"},
        {"", '%', ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ExpandVariables(c.text, c.delimiter, 7, resolver), c.expected) << c.text;
    EXPECT_EQ(ExpandVariables("a%name%b", '%', 0, nullptr), "ab");
}

TEST_F(TextTest, ExpandEnvVarsAsksForTheSizeThenExpands) {
    sys.environment = {{"TEMP", "C:\\Users\\me\\Temp"}, {"EMPTY", ""}};
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"%TEMP%\\RestLevel", "C:\\Users\\me\\Temp\\RestLevel"},
        {"%UNKNOWN%\\x", "%UNKNOWN%\\x"},
        {"a%EMPTY%b", "ab"},
        {"100%", "100%"},
        {"", ""},
    };
    for (const auto& c : cases) {
        sys.expandBufferSizes.clear();
        EXPECT_EQ(ExpandEnvVars(c.text), c.expected) << c.text;
        const auto size = static_cast<std::uint32_t>(std::string(c.expected).size() + 1);
        EXPECT_EQ(sys.expandBufferSizes, (std::vector<std::uint32_t>{0, size})) << c.text;
    }
}

TEST_F(TextTest, ExpandEnvVarsDropsTrailingZerosAndFailsEmpty) {
    sys.environment = {{"A", "value"}};
    sys.expandOverstates = 4;  // the ANSI form may ask for more than it uses
    EXPECT_EQ(ExpandEnvVars("%A%!"), "value!");
    sys.expandFails = true;
    EXPECT_EQ(ExpandEnvVars("%A%!"), "");
    SetTextSystemPort(nullptr);
    EXPECT_EQ(ExpandEnvVars("%A%!"), "");
}

// Secrets and random bytes ----------------------------------------------

TEST_F(TextTest, WipeSecretOverwritesInPlaceThenEmpties) {
    struct Recorder : fake::TextSystem {
        std::vector<std::string> seen;
        std::vector<const void*> buffers;
        bool CallRandomBytes(std::uintptr_t function, void* buffer, std::uint32_t count) override {
            seen.emplace_back(static_cast<const char*>(buffer), count);
            buffers.push_back(buffer);
            return fake::TextSystem::CallRandomBytes(function, buffer, count);
        }
    } recorder;
    SetTextSystemPort(&recorder);

    std::string secret = "user:password with some length";
    const void* data = secret.data();
    WipeSecret(secret, 3);
    EXPECT_TRUE(secret.empty());
    ASSERT_EQ(recorder.seen.size(), 3u);
    EXPECT_EQ(recorder.seen[0], "user:password with some length");
    EXPECT_EQ(recorder.seen[1], std::string(30, '\xa5'));
    EXPECT_EQ(recorder.seen[2], std::string(30, '\xa5'));
    for (const void* b : recorder.buffers) EXPECT_EQ(b, data);

    for (const int passes : {0, -1}) {
        recorder.seen.clear();
        std::string s = "abc";
        WipeSecret(s, passes);
        EXPECT_TRUE(s.empty());
        EXPECT_TRUE(recorder.seen.empty());
    }
    std::string empty;
    WipeSecret(empty, 3);
    EXPECT_TRUE(empty.empty());
}

TEST_F(TextTest, FillRandomLooksUpTheSystemFunctionOnce) {
    std::uint8_t buffer[16] = {};
    FillRandom(buffer, sizeof buffer);
    FillRandom(buffer, 8);
    EXPECT_EQ(sys.randomLookups, 1);
    EXPECT_EQ(sys.randomCalls, (std::vector<std::uint32_t>{16, 8}));
    for (const std::uint8_t b : buffer) EXPECT_EQ(b, 0xA5);

    // A new port is looked up afresh.
    fake::TextSystem other;
    SetTextSystemPort(&other);
    FillRandom(buffer, 4);
    EXPECT_EQ(other.randomLookups, 1);
}

TEST_F(TextTest, FillRandomFallsBackAndLooksUpAgainWhileMissing) {
    sys.randomAvailable = false;
    std::vector<std::uint8_t> a(256, 0);
    std::vector<std::uint8_t> b(256, 0);
    FillRandom(a.data(), static_cast<std::uint32_t>(a.size()));
    FillRandom(b.data(), static_cast<std::uint32_t>(b.size()));
    EXPECT_EQ(sys.randomLookups, 2);
    EXPECT_TRUE(sys.randomCalls.empty());
    EXPECT_NE(a, std::vector<std::uint8_t>(256, 0));
    EXPECT_NE(a, b);

    sys.randomAvailable = true;
    FillRandom(a.data(), 4);
    EXPECT_EQ(sys.randomLookups, 3);
    EXPECT_EQ(sys.randomCalls, (std::vector<std::uint32_t>{4}));
}

// Clocks and time zones -------------------------------------------------

TEST_F(TextTest, MillisecondsFromTheCounterOrTheTick) {
    const struct {
        bool frequencyFails;
        std::int64_t frequency;
        bool counterFails;
        std::int64_t counter;
        std::uint32_t tick;
        double expected;
    } cases[] = {
        {false, 1000000, false, 2500000, 7, 2500.0},
        {false, 10000000, false, 123456789, 7, 12345.6789},
        {true, 1000000, false, 2500000, 4242, 4242.0},
        {false, 0, false, 2500000, 4242, 4242.0},
        {false, -1, false, 2500000, 4242, 4242.0},
        {false, 1000000, true, 2500000, 4242, 4242.0},
        {true, 0, false, 0, 0xFFFFFFFFu, 4294967295.0},  // the tick is unsigned
    };
    for (const auto& c : cases) {
        fake::TextSystem s;
        s.frequencyFails = c.frequencyFails;
        s.frequency = c.frequency;
        s.counterFails = c.counterFails;
        s.counter = c.counter;
        s.tick = c.tick;
        SetTextSystemPort(&s);
        EXPECT_DOUBLE_EQ(Milliseconds(), c.expected) << c.frequency << " " << c.counter;
    }
}

TEST_F(TextTest, MillisecondsKeepsTheFrequencyOnceKnown) {
    sys.frequencyFails = true;
    sys.tick = 10;
    EXPECT_EQ(Milliseconds(), 10.0);
    EXPECT_EQ(Milliseconds(), 10.0);
    EXPECT_EQ(sys.frequencyQueries, 2);  // asked again while it fails

    sys.frequencyFails = false;
    sys.counter = 3000000;
    EXPECT_EQ(Milliseconds(), 3000.0);
    sys.counter = 3000500;
    EXPECT_EQ(Milliseconds(), 3000.5);
    EXPECT_EQ(sys.frequencyQueries, 3);
}

TEST(DateTimeConversion, Table) {
    const struct {
        double dateTime;
        SystemTime time;
    } cases[] = {
        {0.0, {1899, 12, 6, 30, 0, 0, 0, 0}},
        {2.75, {1900, 1, 1, 1, 18, 0, 0, 0}},
        {45000.5, {2023, 3, 3, 15, 12, 0, 0, 0}},
        {45351.0 + (13 * 3600 + 14 * 60 + 15.678) / 86400.0, {2024, 2, 4, 29, 13, 14, 15, 678}},
        {-1.25, {1899, 12, 5, 29, 6, 0, 0, 0}},
        {-693593.0, {1, 1, 1, 1, 0, 0, 0, 0}},
        {2958465.0, {9999, 12, 5, 31, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SystemTime t;
        ASSERT_TRUE(DateTimeToSystemTime(c.dateTime, t)) << c.dateTime;
        EXPECT_EQ(t, c.time) << c.dateTime;
        const auto back = SystemTimeToDateTime(c.time);
        ASSERT_TRUE(back.has_value()) << c.dateTime;
        EXPECT_NEAR(*back, c.dateTime, 1e-9) << c.dateTime;
    }

    SystemTime t;
    // A millisecond before midnight rounds up into the next day.
    ASSERT_TRUE(DateTimeToSystemTime(1.0 - 0.1 / 86400000.0, t));
    EXPECT_EQ(t, (SystemTime{1899, 12, 0, 31, 0, 0, 0, 0}));
    for (const double bad : {2958466.0, -693594.0, 1e300, std::nan(""), std::numeric_limits<double>::infinity()})
        EXPECT_FALSE(DateTimeToSystemTime(bad, t)) << bad;
    for (const SystemTime& bad : {SystemTime{2023, 2, 0, 29}, SystemTime{2024, 13, 0, 1}, SystemTime{0, 1, 0, 1},
                                  SystemTime{2024, 1, 0, 0}, SystemTime{2024, 1, 0, 1, 24},
                                  SystemTime{2024, 1, 0, 1, 0, 60}, SystemTime{2024, 1, 0, 1, 0, 0, 60},
                                  SystemTime{2024, 1, 0, 1, 0, 0, 0, 1000}})
        EXPECT_FALSE(SystemTimeToDateTime(bad).has_value()) << bad.Year << "-" << bad.Month << "-" << bad.Day;
}

TEST_F(TextTest, UtcToLocalDateTimeTable) {
    const double noon = 45000.5;  // 15 March 2023 12:00 UTC
    const struct {
        int offsetMinutes;
        bool tzFails, toFileFails, toLocalFails, toSystemFails;
        double utc;
        double expected;
        bool usesFallback;
    } cases[] = {
        {120, false, false, false, false, noon, noon + 2.0 / 24, false},
        {-300, false, false, false, false, noon, noon - 5.0 / 24, false},
        {-60, false, false, false, false, 45000.02, 45000.02 - 1.0 / 24, false},
        {330, true, false, false, false, noon, noon + 5.5 / 24, true},
        {120, true, true, false, false, noon, noon, true},
        {120, true, false, true, false, noon, noon, true},
        {120, true, false, false, true, noon, noon, true},
        {120, false, false, false, false, std::nan(""), std::nan(""), false},
        {120, false, false, false, false, 1e9, 1e9, false},
    };
    for (const auto& c : cases) {
        fake::TextSystem s;
        s.utcOffsetMinutes = c.offsetMinutes;
        s.tzConversionFails = c.tzFails;
        s.toFileFails = c.toFileFails;
        s.toLocalFileFails = c.toLocalFails;
        s.toSystemFails = c.toSystemFails;
        SetTextSystemPort(&s);
        const double local = UtcToLocalDateTime(c.utc);
        if (std::isnan(c.expected))
            EXPECT_TRUE(std::isnan(local));
        else
            EXPECT_NEAR(local, c.expected, 1e-8) << c.offsetMinutes << " " << c.utc;
        EXPECT_EQ(s.fallbackCalls > 0, c.usesFallback) << c.offsetMinutes;
    }
    SetTextSystemPort(nullptr);
    EXPECT_EQ(UtcToLocalDateTime(noon), noon);
}

// Input -----------------------------------------------------------------

TEST_F(TextTest, IsShiftDownReadsTheShiftKeysState) {
    const struct {
        std::int16_t state;
        bool down;
    } cases[] = {{0, false}, {1, false}, {-128, true}, {-127, true}, {std::numeric_limits<std::int16_t>::min(), true}};
    for (const auto& c : cases) {
        sys.shiftState = c.state;
        EXPECT_EQ(IsShiftDown(), c.down) << c.state;
    }
    EXPECT_EQ(sys.keyQueries, std::vector<int>(std::size(cases), 0x10));
    SetTextSystemPort(nullptr);
    EXPECT_FALSE(IsShiftDown());
}

}  // namespace
}  // namespace rl
