// The statement's strict reader, its verification through the cryptography
// port, and the hashing of data and files (in chunks, through the file port).
#include "update/UpdateSignature.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string_view>
#include <vector>

#include "support/KzFileLib.h"
#include "update/KzHTTP.h"
#include "update/UpdateRequests.h"

namespace rl {

namespace {

ICrypto* gCrypto = nullptr;

constexpr char kHeaderLine[] = "KzUpdate signature 1";
constexpr char kNameField[] = "name: ";
constexpr char kTimeField[] = "time: ";
constexpr char kShaField[] = "sha256: ";
constexpr char kUnpackedField[] = "unpacked-sha256: ";
constexpr char kSignatureField[] = "signature: ";
constexpr char kMalformed[] = "malformed signature: ";

constexpr std::uint32_t kHashChunk = 64 * 1024;
constexpr double kUnixEpochDateTime = 25569.0;  // 1970-01-01 as a date-time
constexpr double kSecondsPerDay = 86400.0;

bool Fail(std::string& reason, const std::string& why) {
    reason = why;
    return false;
}

bool Malformed(std::string& reason, const std::string& what) { return Fail(reason, kMalformed + what); }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // uppercase too: one spelling only
}

template <std::size_t N>
bool ParseHex(std::string_view text, std::array<std::uint8_t, N>& bytes) {
    if (text.size() != 2 * N) return false;
    for (std::size_t i = 0; i < N; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

bool ParseTime(std::string_view text, std::uint64_t& time) {
    // No sign, no leading zero, and small enough for any date-time.
    if (text.empty() || text.size() > 15 || (text[0] == '0' && text.size() > 1)) return false;
    time = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        time = time * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

bool ValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxSignedNameSize || name.front() == '/') return false;
    if (name.find('\\') != std::string_view::npos) return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        const std::string_view segment = name.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..") return false;
        if (end == name.size()) return true;
        start = end + 1;
    }
}

// The line at `at` with the field's prefix; its value, and `at` moved past
// its LF.
bool TakeField(const std::string& text, std::size_t& at, const char* field, std::string_view& value) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    const std::string_view line(text.data() + at, end - at);
    const std::string_view prefix(field);
    if (line.substr(0, prefix.size()) != prefix) return false;
    value = line.substr(prefix.size());
    at = end + 1;
    return true;
}

bool StartsWithField(const std::string& text, std::size_t at, const char* field) {
    return text.compare(at, std::string_view(field).size(), field) == 0;
}

}  // namespace

void SetCryptoPort(ICrypto* port) { gCrypto = port; }
ICrypto* CryptoPort() { return gCrypto; }

bool ParseStatement(const std::string& text, TUpdateStatement& statement, std::string& reason) {
    statement = TUpdateStatement();
    if (text.empty()) return Malformed(reason, "empty");
    if (text.size() > kMaxStatementSize) return Malformed(reason, "longer than 4096 bytes");
    for (const char c : text)
        if (c != '\n' && (c < 0x20 || c > 0x7E)) return Malformed(reason, "not printable ASCII with LF line ends");
    if (text.back() != '\n') return Malformed(reason, "the last line has no LF");

    std::size_t at = 0;
    std::string_view value;
    if (!TakeField(text, at, kHeaderLine, value) || !value.empty()) return Malformed(reason, "unknown first line");
    if (!TakeField(text, at, kNameField, value)) return Malformed(reason, "no name line");
    if (!ValidName(value)) return Malformed(reason, "name not allowed");
    statement.name = std::string(value);
    if (!TakeField(text, at, kTimeField, value)) return Malformed(reason, "no time line");
    if (!ParseTime(value, statement.time)) return Malformed(reason, "time not a plain number");
    if (!TakeField(text, at, kShaField, value)) return Malformed(reason, "no sha256 line");
    if (!ParseHex(value, statement.sha256)) return Malformed(reason, "sha256 not 64 lowercase hex digits");
    if (StartsWithField(text, at, kUnpackedField)) {
        Sha256Digest unpacked{};
        if (!TakeField(text, at, kUnpackedField, value) || !ParseHex(value, unpacked))
            return Malformed(reason, "unpacked-sha256 not 64 lowercase hex digits");
        statement.unpackedSha256 = unpacked;
    }
    statement.signedSize = at;
    if (!TakeField(text, at, kSignatureField, value)) return Malformed(reason, "no signature line where expected");
    if (!ParseHex(value, statement.signature)) return Malformed(reason, "signature not 128 lowercase hex digits");
    if (at != text.size()) return Malformed(reason, "lines after the signature");
    return true;
}

bool VerifyStatement(const std::string& text, const std::vector<P256PublicKey>& keys, TUpdateStatement& statement,
                     std::string& reason) {
    if (!ParseStatement(text, statement, reason)) return false;
    ICrypto* crypto = CryptoPort();
    if (crypto != nullptr)
        for (const P256PublicKey& key : keys)
            if (crypto->VerifyP256(key, text.data(), statement.signedSize, statement.signature)) return true;
    return Fail(reason, kReasonNotValid);
}

bool VerifyStatementFor(const std::string& text, const std::vector<P256PublicKey>& keys, const std::string& url,
                        double lastModified, bool package, TUpdateStatement& statement, std::string& reason) {
    if (!VerifyStatement(text, keys, statement, reason)) return false;
    if (!NameMatchesURL(statement.name, url)) return Fail(reason, kReasonOtherFile);
    if (!SameSecond(statement.time, lastModified)) return Fail(reason, kReasonTimeDiffers);
    if (package && !statement.unpackedSha256) return Fail(reason, kReasonNotPackage);
    if (!package && statement.unpackedSha256) return Fail(reason, kReasonNotPlain);
    return true;
}

bool DigestMatches(const std::optional<Sha256Digest>& actual, const Sha256Digest& expected, const char* differs,
                   std::string& reason) {
    if (!actual) return Fail(reason, kReasonCannotHash);
    if (*actual != expected) return Fail(reason, differs);
    return true;
}

std::optional<Sha256Digest> HashData(const void* data, std::size_t size) {
    ICrypto* crypto = CryptoPort();
    std::unique_ptr<ISha256> hash = crypto != nullptr ? crypto->NewSha256() : nullptr;
    if (hash == nullptr) return std::nullopt;
    hash->Update(data, size);
    return hash->Finish();
}

std::optional<Sha256Digest> HashFile(const std::string& name) {
    ICrypto* crypto = CryptoPort();
    IFileSystem* files = FileSystemPort();
    if (crypto == nullptr || files == nullptr) return std::nullopt;
    std::unique_ptr<ISha256> hash = crypto->NewSha256();
    if (hash == nullptr) return std::nullopt;
    const SysHandle file = files->CreateFile(name, kGenericRead, kFileShareRead, kOpenExisting, 0);
    if (file == kInvalidHandle) return std::nullopt;
    std::vector<std::uint8_t> buffer(kHashChunk);
    bool complete = false;
    for (;;) {
        std::uint32_t read = 0;
        if (!files->ReadFile(file, buffer.data(), kHashChunk, read)) break;
        if (read == 0) {
            complete = true;
            break;
        }
        hash->Update(buffer.data(), read);
    }
    files->CloseHandle(file);
    if (!complete) return std::nullopt;
    return hash->Finish();
}

std::string DigestHex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::string SignatureURL(const std::string& url) {
    const std::size_t query = url.find('?');
    if (query == std::string::npos) return url + kSignatureSuffix;
    return url.substr(0, query) + kSignatureSuffix + url.substr(query);
}

bool NameMatchesURL(const std::string& name, const std::string& url) {
    const std::string path = url.substr(0, url.find('?'));
    const std::string tail = "/" + name;
    return !name.empty() && path.size() >= tail.size() &&
           path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
}

double StatementDateTime(std::uint64_t time) {
    return kUnixEpochDateTime + static_cast<double>(time) / kSecondsPerDay;
}

bool SameSecond(std::uint64_t time, double lastModified) {
    if (lastModified <= 0) return false;
    const long long seconds = std::llround((lastModified - kUnixEpochDateTime) * kSecondsPerDay);
    return seconds >= 0 && static_cast<std::uint64_t>(seconds) == time;
}

bool FetchStatement(const std::string& url, double lastModified, bool package, const std::vector<P256PublicKey>& keys,
                    const PlainCredentials& credentials, TUpdateStatement& statement, std::string& text,
                    std::string& reason) {
    std::uint32_t status = 0, length = 0;
    double modified = 0;
    std::string error;
    text.clear();
    if (!HTTPGet(SignatureURL(url), text, status, length, modified, error, nullptr, kConnectTimeoutMs,
                 kReceiveTimeoutMs, credentials.userName, credentials.password, true, false, kMaxStatementSize)) {
        text.clear();
        // A server that answered without it; not one that could not be reached.
        if (status != 0 && (status < 200 || status > 299))
            return Fail(reason, kReasonNoSignature + std::to_string(status) + ")");
        return Fail(reason, kReasonNotFetched + HttpFailure(status, error));
    }
    return VerifyStatementFor(text, keys, url, lastModified, package, statement, reason);
}

bool VerifyFetchedFile(const std::string& url, const std::string& body, double lastModified,
                       const std::vector<P256PublicKey>& keys, const PlainCredentials& credentials,
                       std::string& reason) {
    TUpdateStatement statement;
    std::string text;
    return FetchStatement(url, lastModified, false, keys, credentials, statement, text, reason) &&
           DigestMatches(HashData(body.data(), body.size()), statement.sha256, kReasonContentDiffers, reason);
}

}  // namespace rl
