// The verifier of signed updates against a stand-in for the cryptography:
// a package's statement is read, verified with the trusted keys, matched
// with the file's address and the server's time, and the package and the
// file it inflates to are hashed and compared. Each case changes one thing.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/KzFileLib.h"
#include "tests/fakes/FakeCrypto.h"
#include "tests/fakes/FakeFileSystem.h"
#include "tests/unit/UpdateTestValues.h"
#include "update/UpdateSignature.h"

namespace rl {
namespace {

using updatetest::kSecond;
using updatetest::kT0;

constexpr char kName[] = "linux-x86_64/restlevel.zbin";
constexpr char kURL[] = "https://halvane.example/restlevel/linux-x86_64/restlevel.zbin";
constexpr std::uint64_t kTime = 1709294400;  // kT0: 2024-03-01 12:00:00 UTC
constexpr char kPackageBytes[] = "x\x9c package bytes as served";
constexpr char kProgramBytes[] = "the program, version 2";
constexpr char kUnpacked[] = "/home/u/.cache/restlevel/HLV1.TMP";

// What one verification is given.
struct Inputs {
    std::string statement;
    std::vector<P256PublicKey> keys;
    std::string url;
    double lastModified = 0;
    std::string package;
    std::string unpacked;
};

// Changes the first occurrence of `from` in the text.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// Every line ended by CR LF.
std::string WithCrLf(const std::string& text) {
    std::string result;
    for (const char c : text) result += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return result;
}

// The hex digit at `at` changed to another.
std::string DigitChanged(std::string text, std::size_t at) {
    text[at] = text[at] == '0' ? '1' : '0';
    return text;
}

std::string BitFlipped(std::string text, std::size_t at) {
    text[at] = static_cast<char>(text[at] ^ 0x01);
    return text;
}

class UpdateSignatureTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetFileSystemPort(&files);
        SetCryptoPort(&crypto);
        files.style = PathStyle::Posix;
        files.folders = {"/home/u/.cache/restlevel"};
    }
    void TearDown() override {
        SetCryptoPort(nullptr);
        SetFileSystemPort(nullptr);
    }

    static std::string Signed(const std::string& name = kName, std::uint64_t time = kTime) {
        return fake::Crypto::Statement(fake::Crypto::Key(1), name, time, kPackageBytes, std::string(kProgramBytes));
    }
    static Inputs Valid() {
        return {Signed(), {fake::Crypto::Key(1)}, kURL, kT0, kPackageBytes, kProgramBytes};
    }
    // The whole verification of a package as the download makes it; the
    // reason, empty when everything holds.
    std::string Verify(const Inputs& in) {
        TUpdateStatement statement;
        std::string reason;
        if (!VerifyStatementFor(in.statement, in.keys, in.url, in.lastModified, true, statement, reason)) return reason;
        if (!DigestMatches(HashData(in.package.data(), in.package.size()), statement.sha256, kReasonContentDiffers,
                           reason))
            return reason;
        files.files[kUnpacked].data = in.unpacked;
        if (!DigestMatches(HashFile(kUnpacked), *statement.unpackedSha256, kReasonUnpackedDiffers, reason))
            return reason;
        return "";
    }

    fake::FileSystem files;
    fake::Crypto crypto;
};

TEST_F(UpdateSignatureTest, OnlyTheExactStatementOfATrustedKeyVouchesForThePackage) {
    const std::string valid = Signed();
    const std::size_t signatureAt = valid.find("signature: ") + std::string("signature: ").size();
    const std::size_t shaAt = valid.find("sha256: ") + std::string("sha256: ").size();
    const std::size_t unpackedAt = valid.find("unpacked-sha256: ") + std::string("unpacked-sha256: ").size();
    const std::string body = valid.substr(0, valid.find("signature: "));
    const P256PublicKey key = fake::Crypto::Key(1);
    const std::string malformed = "malformed signature: ";
    struct Case {
        const char* name;
        std::function<void(Inputs&)> change;
        std::string reason;
    } cases[] = {
        {"valid", [](Inputs&) {}, ""},
        {"the second of two trusted keys", [](Inputs& in) { in.keys = {fake::Crypto::Key(2), fake::Crypto::Key(1)}; },
         ""},
        {"another key", [](Inputs& in) { in.keys = {fake::Crypto::Key(2)}; }, kReasonNotValid},
        {"no trusted key", [](Inputs& in) { in.keys.clear(); }, kReasonNotValid},
        {"the address with a query", [](Inputs& in) { in.url += "?channel=beta&v=2"; }, ""},

        // Each field changed after signing.
        {"name changed", [&](Inputs& in) { in.statement = Replaced(valid, "restlevel.zbin", "restlevel.zbim"); },
         kReasonNotValid},
        {"time changed", [&](Inputs& in) { in.statement = Replaced(valid, "1709294400", "1709294401"); },
         kReasonNotValid},
        {"sha256 changed", [&](Inputs& in) { in.statement = DigitChanged(valid, shaAt + 10); }, kReasonNotValid},
        {"unpacked-sha256 changed", [&](Inputs& in) { in.statement = DigitChanged(valid, unpackedAt + 63); },
         kReasonNotValid},
        {"signature changed in r", [&](Inputs& in) { in.statement = DigitChanged(valid, signatureAt); },
         kReasonNotValid},
        {"signature changed in s", [&](Inputs& in) { in.statement = DigitChanged(valid, signatureAt + 127); },
         kReasonNotValid},
        {"another version of the format",
         [&](Inputs& in) {
             in.statement = fake::Crypto::SignBody(key, Replaced(body, "signature 1", "signature 2"));
         },
         malformed + "unknown first line"},

        // The files themselves.
        {"a flipped bit in the package", [](Inputs& in) { in.package = BitFlipped(in.package, 5); },
         kReasonContentDiffers},
        {"a byte more in the package", [](Inputs& in) { in.package += '\0'; }, kReasonContentDiffers},
        {"a flipped bit in the unpacked file", [](Inputs& in) { in.unpacked = BitFlipped(in.unpacked, 0); },
         kReasonUnpackedDiffers},
        {"the unpacked file cut short", [](Inputs& in) { in.unpacked.pop_back(); }, kReasonUnpackedDiffers},
        {"a flipped bit in the signature's text",
         [&](Inputs& in) { in.statement = BitFlipped(valid, signatureAt + 64); },  // a digit, not a letter
         kReasonNotValid},

        // The statement's form.
        {"empty", [](Inputs& in) { in.statement.clear(); }, malformed + "empty"},
        {"truncated in the signature", [&](Inputs& in) { in.statement = valid.substr(0, valid.size() - 10); },
         malformed + "the last line has no LF"},
        {"truncated before the signature", [&](Inputs& in) { in.statement = body; },
         malformed + "no signature line where expected"},
        {"truncated after the first line", [&](Inputs& in) { in.statement = valid.substr(0, 21); },
         malformed + "no name line"},
        {"oversized", [&](Inputs& in) { in.statement = valid + std::string(kMaxStatementSize, '\n'); },
         malformed + "longer than 4096 bytes"},
        {"garbage", [](Inputs& in) { in.statement = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16); },
         malformed + "not printable ASCII with LF line ends"},
        {"CR LF line ends",
         [&](Inputs& in) { in.statement = fake::Crypto::SignBody(key, WithCrLf(body)); },
         malformed + "not printable ASCII with LF line ends"},
        {"name and time reordered",
         [&](Inputs& in) {
             const std::string reordered = "KzUpdate signature 1\ntime: 1709294400\nname: " + std::string(kName) +
                                           body.substr(body.find("\nsha256: "));
             in.statement = fake::Crypto::SignBody(key, reordered);
         },
         malformed + "no name line"},
        {"a line repeated",
         [&](Inputs& in) {
             in.statement = fake::Crypto::SignBody(key, Replaced(body, "time: 1709294400\n",
                                                                 "time: 1709294400\ntime: 1709294400\n"));
         },
         malformed + "no sha256 line"},
        {"an unknown line",
         [&](Inputs& in) { in.statement = fake::Crypto::SignBody(key, body + "comment: signed on a Friday\n"); },
         malformed + "no signature line where expected"},
        {"uppercase hex",
         [&](Inputs& in) {
             std::string upper = body;
             for (std::size_t i = shaAt; i < shaAt + 64; ++i)
                 if (upper[i] >= 'a' && upper[i] <= 'f') upper[i] = static_cast<char>(upper[i] - 'a' + 'A');
             in.statement = fake::Crypto::SignBody(key, upper);
         },
         malformed + "sha256 not 64 lowercase hex digits"},
        {"a line after the signature", [&](Inputs& in) { in.statement = valid + "x\n"; },
         malformed + "lines after the signature"},
        {"a byte after the last LF", [&](Inputs& in) { in.statement = valid + "x"; },
         malformed + "the last line has no LF"},
        {"a blank at the end of a line",
         [&](Inputs& in) { in.statement = fake::Crypto::SignBody(key, Replaced(body, "400\n", "400 \n")); },
         malformed + "time not a plain number"},

        // Another file, another time.
        {"a statement for another file",
         [](Inputs& in) { in.url = "https://halvane.example/restlevel/RestLevel.zbin"; }, kReasonOtherFile},
        {"a name that only ends the same way",
         [](Inputs& in) { in.url = "https://halvane.example/restlevel/old-linux-x86_64/restlevel.zbin"; },
         kReasonOtherFile},
        {"the statement of the listing beside the package",
         [](Inputs& in) {
             in.statement = fake::Crypto::Statement(fake::Crypto::Key(1), "linux-x86_64/files.txt", kTime,
                                                    kPackageBytes, std::string(kProgramBytes));
         },
         kReasonOtherFile},
        {"an older time under a newer Last-Modified",
         [](Inputs& in) { in.statement = Signed(kName, kTime - 86400); }, kReasonTimeDiffers},
        {"a Last-Modified one second later", [](Inputs& in) { in.lastModified = kT0 + kSecond; }, kReasonTimeDiffers},
        {"no Last-Modified", [](Inputs& in) { in.lastModified = 0; }, kReasonTimeDiffers},
        {"a package signed without its unpacked hash",
         [](Inputs& in) {
             in.statement = fake::Crypto::Statement(fake::Crypto::Key(1), kName, kTime, kPackageBytes, std::nullopt);
         },
         kReasonNotPackage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Inputs in = Valid();
        c.change(in);
        EXPECT_EQ(Verify(in), c.reason);
    }
}

TEST_F(UpdateSignatureTest, NamesAndTimesHaveOneSpellingOnly) {
    const P256PublicKey key = fake::Crypto::Key(1);
    const std::string sha = std::string(64, 'a');
    const auto statement = [&](const std::string& name, const std::string& time) {
        return fake::Crypto::SignBody(key, "KzUpdate signature 1\nname: " + name + "\ntime: " + time +
                                               "\nsha256: " + sha + "\n");
    };
    struct Case {
        std::string name;
        std::string time;
        std::string reason;
    } cases[] = {
        {"RestLevel.rtf", "0", ""},
        {"a/b/c.zbin", "1709294400", ""},
        {std::string(kMaxSignedNameSize, 'n'), "1", ""},
        {std::string(kMaxSignedNameSize + 1, 'n'), "1", "name not allowed"},
        {"", "1", "name not allowed"},
        {"/RestLevel.zbin", "1", "name not allowed"},
        {"a//b.zbin", "1", "name not allowed"},
        {"a/", "1", "name not allowed"},
        {"a/./b.zbin", "1", "name not allowed"},
        {"../b.zbin", "1", "name not allowed"},
        {"a/..", "1", "name not allowed"},
        {"a\\b.zbin", "1", "name not allowed"},
        {"a\tb.zbin", "1", "not printable ASCII with LF line ends"},
        {"caf\xc3\xa9.zbin", "1", "not printable ASCII with LF line ends"},
        {"a.zbin", "01", "time not a plain number"},
        {"a.zbin", "+1", "time not a plain number"},
        {"a.zbin", "-1", "time not a plain number"},
        {"a.zbin", "", "time not a plain number"},
        {"a.zbin", "1e9", "time not a plain number"},
        {"a.zbin", "99999999999999999999", "time not a plain number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40) + " / " + c.time);
        TUpdateStatement parsed;
        std::string reason;
        const bool valid = VerifyStatement(statement(c.name, c.time), {key}, parsed, reason);
        EXPECT_EQ(valid, c.reason.empty());
        EXPECT_EQ(reason, c.reason.empty() ? "" : "malformed signature: " + c.reason);
        if (valid) {
            EXPECT_EQ(parsed.name, c.name);
            EXPECT_EQ(std::to_string(parsed.time), c.time);
            EXPECT_FALSE(parsed.unpackedSha256.has_value());
        }
    }
}

TEST_F(UpdateSignatureTest, AStatementOfAPlainFileIsNotAPackagesAndTheOtherWayRound) {
    const P256PublicKey key = fake::Crypto::Key(1);
    const std::string listingURL = "https://halvane.example/restlevel/linux-x86_64/files.txt?v=3";
    const std::string plain = fake::Crypto::Statement(key, "linux-x86_64/files.txt", kTime, "a=b\n", std::nullopt);
    const std::string package =
        fake::Crypto::Statement(key, "linux-x86_64/files.txt", kTime, "a=b\n", std::string("inflated"));
    TUpdateStatement statement;
    std::string reason;
    EXPECT_TRUE(VerifyStatementFor(plain, {key}, listingURL, kT0, false, statement, reason)) << reason;
    EXPECT_EQ(statement.sha256, fake::Crypto::Digest("a=b\n"));
    EXPECT_FALSE(VerifyStatementFor(package, {key}, listingURL, kT0, false, statement, reason));
    EXPECT_EQ(reason, kReasonNotPlain);
    EXPECT_FALSE(VerifyStatementFor(plain, {key}, listingURL, kT0, true, statement, reason));
    EXPECT_EQ(reason, kReasonNotPackage);
}

TEST_F(UpdateSignatureTest, WithoutWorkingCryptographyNothingVerifies) {
    Inputs in = Valid();
    crypto.refuseVerify = true;
    EXPECT_EQ(Verify(in), kReasonNotValid);
    crypto.refuseVerify = false;
    crypto.canHash = false;
    EXPECT_EQ(Verify(in), kReasonCannotHash);
    EXPECT_FALSE(HashData("x", 1).has_value());
    crypto.canHash = true;
    SetCryptoPort(nullptr);
    EXPECT_EQ(Verify(in), kReasonNotValid);
    EXPECT_FALSE(HashData("x", 1).has_value());
    EXPECT_FALSE(HashFile(kUnpacked).has_value());
}

TEST_F(UpdateSignatureTest, AFileIsHashedInChunksToItsEndAndClosed) {
    std::string big(200 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 9));
    files.files[kUnpacked].data = big;
    EXPECT_EQ(HashFile(kUnpacked), fake::Crypto::Digest(big));
    EXPECT_GE(files.readSizes.size(), 4u) << "read in chunks, not whole";
    for (const std::uint32_t size : files.readSizes) EXPECT_LE(size, 1024u * 1024u);
    EXPECT_EQ(files.OpenHandles(), 0u);

    files.files[kUnpacked].data.clear();
    EXPECT_EQ(HashFile(kUnpacked), fake::Crypto::Digest(""));

    // Missing, or a read that fails: no digest at all, not that of a part.
    EXPECT_FALSE(HashFile("/home/u/.cache/restlevel/gone").has_value());
    files.files[kUnpacked].data = big;
    files.failing = {std::string("ReadFile ") + kUnpacked};
    EXPECT_FALSE(HashFile(kUnpacked).has_value());
    EXPECT_EQ(files.OpenHandles(), 0u);
}

TEST(UpdateSignatureAddress, TheSignatureSitsBesideTheFileAndNamesItsPath) {
    EXPECT_EQ(SignatureURL("https://h.example/u/RestLevel.zbin"), "https://h.example/u/RestLevel.zbin.sig");
    EXPECT_EQ(SignatureURL("https://h.example/u/RestLevel.zbin?channel=beta&v=2"),
              "https://h.example/u/RestLevel.zbin.sig?channel=beta&v=2");
    EXPECT_EQ(SignatureURL("http://127.0.0.1:8080/files.txt?"), "http://127.0.0.1:8080/files.txt.sig?");

    struct Case {
        const char* name;
        const char* url;
        bool matches;
    } cases[] = {
        {"RestLevel.zbin", "https://h.example/u/RestLevel.zbin", true},
        {"RestLevel.zbin", "https://h.example/u/RestLevel.zbin?x=/RestLevel.zbin", true},
        {"u/RestLevel.zbin", "https://h.example/u/RestLevel.zbin", true},
        {"RestLevel.zbin", "https://h.example/u/restlevel.zbin", false},  // the server's names are exact
        {"RestLevel.zbin", "https://h.example/u/XRestLevel.zbin", false},
        {"RestLevel.zbin", "https://h.example/u/?RestLevel.zbin", false},
        {"RestLevel.zbin", "https://h.example/u/RestLevel.zbin.sig", false},
        {"v/RestLevel.zbin", "https://h.example/u/RestLevel.zbin", false},
        {"", "https://h.example/u/", false},
    };
    for (const Case& c : cases) EXPECT_EQ(NameMatchesURL(c.name, c.url), c.matches) << c.name << " " << c.url;
}

}  // namespace
}  // namespace rl
