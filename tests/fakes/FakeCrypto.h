// A stand-in for the cryptography port that is no cryptography at all: a
// deterministic 32-byte digest from a simple mix, and a "signature" that is a
// function of the key and the message's digest. It lets the tests sign
// statements and see every refusal without any real key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Crypto.h"

namespace rl::fake {

class Crypto : public ICrypto {
public:
    // Switches for failure.
    bool canHash = true;       // false: NewSha256 gives null
    bool refuseVerify = false;  // true: every signature is refused

    std::unique_ptr<ISha256> NewSha256() override;
    bool VerifyP256(const P256PublicKey& key, const void* message, std::size_t size,
                    const P256Signature& signature) override;

    // The fake digest of the bytes.
    static Sha256Digest Digest(const std::string& data);
    // A key of its own for each number.
    static P256PublicKey Key(std::uint8_t which);
    // The signature that VerifyP256 accepts for this key and message.
    static P256Signature Sign(const P256PublicKey& key, const std::string& message);

    // A statement in the .sig form signed with the key: the digest of `data`,
    // and of `unpacked` for a package.
    static std::string Statement(const P256PublicKey& key, const std::string& name, std::uint64_t time,
                                 const std::string& data, const std::optional<std::string>& unpacked);
    // The statement's lines before the signature, as given, signed: for
    // statements with any digest at all.
    static std::string SignBody(const P256PublicKey& key, const std::string& body);
    static std::string Hex(const std::uint8_t* bytes, std::size_t size);
};

}  // namespace rl::fake
