// SHA-256 and the verification of ECDSA P-256 signatures, from the operating
// system's own cryptography (CNG on Windows, OpenSSL's libcrypto on Linux):
// nothing of the kind is written here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace rl {

using Sha256Digest = std::array<std::uint8_t, 32>;
// A P-256 public key: the coordinates X || Y of its point, big-endian.
using P256PublicKey = std::array<std::uint8_t, 64>;
// An ECDSA signature: r || s, big-endian.
using P256Signature = std::array<std::uint8_t, 64>;

class ISha256 {
public:
    virtual ~ISha256() = default;
    virtual void Update(const void* data, std::size_t size) = 0;
    // The digest of everything given; the object is spent afterwards.
    virtual Sha256Digest Finish() = 0;
};

class ICrypto {
public:
    virtual ~ICrypto() = default;
    // Null when the system cannot hash.
    virtual std::unique_ptr<ISha256> NewSha256() = 0;
    // True only when the signature is a valid ECDSA signature of
    // SHA-256(message) by the key; anything else (another key or message, a
    // point off the curve, r or s out of range, a failing system) is false.
    virtual bool VerifyP256(const P256PublicKey& key, const void* message, std::size_t size,
                            const P256Signature& signature) = 0;
};

// The adapter of the build's operating system.
std::unique_ptr<ICrypto> CreateCrypto();

}  // namespace rl
