// Signed updates: the statement that vouches for one published file, and its
// verification with the keys a program trusts.
//
// A statement is the text of NAME.sig beside the published file NAME:
//
//   KzUpdate signature 1
//   name: linux-x86_64/restlevel.zbin
//   time: 1765432100
//   sha256: <64 lowercase hex digits>
//   unpacked-sha256: <64 lowercase hex digits>      (packages only)
//   signature: <128 lowercase hex digits: r || s>
//
// every line ended by LF, at most kMaxStatementSize bytes. The signature is
// ECDSA P-256 over SHA-256 of every byte before "signature: ".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Crypto.h"

namespace rl {

// The system's cryptography; null when none is installed.
void SetCryptoPort(ICrypto* port);
ICrypto* CryptoPort();

inline constexpr std::size_t kMaxStatementSize = 4096;
inline constexpr std::size_t kMaxSignedNameSize = 1024;
inline constexpr char kSignatureSuffix[] = ".sig";

struct TUpdateStatement {
    std::string name;        // the path below the server's top folder
    std::uint64_t time = 0;  // seconds since 1970-01-01 UTC
    Sha256Digest sha256{};   // of the file as served
    // Of the file a package inflates to; absent for anything else.
    std::optional<Sha256Digest> unpackedSha256;
    P256Signature signature{};
    std::size_t signedSize = 0;  // the bytes the signature covers
};

// Reads a statement strictly; anything but the exact form is refused whole.
// False with a short reason for the log.
bool ParseStatement(const std::string& text, TUpdateStatement& statement, std::string& reason);

// Parses the statement and checks that one of the keys signed it. No keys, no
// cryptography or a refusing one: not valid.
bool VerifyStatement(const std::string& text, const std::vector<P256PublicKey>& keys, TUpdateStatement& statement,
                     std::string& reason);

// A valid statement that vouches for the file at the address, as served with
// that Last-Modified: its name, its time, and the unpacked file's hash for a
// package (only for a package).
bool VerifyStatementFor(const std::string& text, const std::vector<P256PublicKey>& keys, const std::string& url,
                        double lastModified, bool package, TUpdateStatement& statement, std::string& reason);

// Whether a digest came and equals the signed one; else the reason: kDiffers,
// or that it could not be made.
bool DigestMatches(const std::optional<Sha256Digest>& actual, const Sha256Digest& expected, const char* differs,
                   std::string& reason);

// SHA-256 through the cryptography port; nothing when it cannot hash (a file
// also when it cannot be opened or read to its end).
std::optional<Sha256Digest> HashData(const void* data, std::size_t size);
std::optional<Sha256Digest> HashFile(const std::string& name);

std::string DigestHex(const Sha256Digest& digest);

// The address of a file's statement: ".sig" added to its path, before the
// query string if there is one.
std::string SignatureURL(const std::string& url);
// Whether the statement names the file at the address: the address's path
// (before "?") ends with "/" and the name.
bool NameMatchesURL(const std::string& name, const std::string& url);

// A statement's time as a UTC date-time, and whether it is the instant of a
// server's Last-Modified (a UTC date-time; 0 for none) in whole seconds.
double StatementDateTime(std::uint64_t time);
bool SameSecond(std::uint64_t time, double lastModified);

// The requests of the check and the download -------------------------------

class PlainCredentials;

// Fetches the statement of the file at the address (anew, never from a cache)
// and verifies it for that file as VerifyStatementFor does; its text too.
bool FetchStatement(const std::string& url, double lastModified, bool package, const std::vector<P256PublicKey>& keys,
                    const PlainCredentials& credentials, TUpdateStatement& statement, std::string& text,
                    std::string& reason);
// Whether the fetched plain file (the listing, the release notes) is the one
// its statement vouches for.
bool VerifyFetchedFile(const std::string& url, const std::string& body, double lastModified,
                       const std::vector<P256PublicKey>& keys, const PlainCredentials& credentials,
                       std::string& reason);

// Short reasons for the log, after "Could not verify NAME: ".
inline constexpr char kReasonNotValid[] = "signature not valid";
inline constexpr char kReasonOtherFile[] = "signed for another file";
inline constexpr char kReasonTimeDiffers[] = "signed time differs from the server's";
inline constexpr char kReasonNotPackage[] = "signed without the unpacked file's hash";
inline constexpr char kReasonNotPlain[] = "signed as a package";
inline constexpr char kReasonContentDiffers[] = "content differs from the signed";
inline constexpr char kReasonUnpackedDiffers[] = "unpacked content differs from the signed";
inline constexpr char kReasonOlder[] = "signed time is older than the installed file's";
inline constexpr char kReasonCannotHash[] = "cannot be hashed";
inline constexpr char kReasonNoSignature[] = "no signature (HTTP ";
inline constexpr char kReasonNotFetched[] = "signature could not be fetched: ";
inline constexpr char kCouldNotVerify[] = "Could not verify ";

}  // namespace rl
