#include "tests/fakes/FakeCrypto.h"

#include <cstring>

namespace rl::fake {

namespace {

// Four FNV-1a lanes, each started from its own value, each finished with a mixer: any
// changed byte changes every lane, and the result does not depend on how the
// data was cut into updates.
class MixHash : public ISha256 {
public:
    void Update(const void* data, std::size_t size) override {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        for (std::size_t i = 0; i < size; ++i)
            for (std::size_t lane = 0; lane < 4; ++lane) lanes_[lane] = (lanes_[lane] ^ bytes[i]) * kPrime;
        length_ += size;
    }
    Sha256Digest Finish() override {
        Sha256Digest digest{};
        for (std::size_t lane = 0; lane < 4; ++lane) {
            std::uint64_t x = lanes_[lane] ^ (length_ * 0x9E3779B97F4A7C15ull);
            x ^= x >> 30;
            x *= 0xBF58476D1CE4E5B9ull;
            x ^= x >> 27;
            x *= 0x94D049BB133111EBull;
            x ^= x >> 31;
            for (std::size_t b = 0; b < 8; ++b) digest[lane * 8 + b] = static_cast<std::uint8_t>(x >> (56 - 8 * b));
        }
        return digest;
    }

private:
    static constexpr std::uint64_t kPrime = 0x100000001B3ull;
    std::uint64_t lanes_[4] = {0xCBF29CE484222325ull, 0x84222325CBF29CE4ull, 0x1234567887654321ull,
                               0x0F1E2D3C4B5A6978ull};
    std::uint64_t length_ = 0;
};

}  // namespace

std::unique_ptr<ISha256> Crypto::NewSha256() {
    if (!canHash) return nullptr;
    return std::make_unique<MixHash>();
}

bool Crypto::VerifyP256(const P256PublicKey& key, const void* message, std::size_t size,
                        const P256Signature& signature) {
    if (refuseVerify) return false;
    return Sign(key, std::string(static_cast<const char*>(message), size)) == signature;
}

Sha256Digest Crypto::Digest(const std::string& data) {
    MixHash hash;
    hash.Update(data.data(), data.size());
    return hash.Finish();
}

P256PublicKey Crypto::Key(std::uint8_t which) {
    P256PublicKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(which * 31 + i * 7 + 1);
    return key;
}

P256Signature Crypto::Sign(const P256PublicKey& key, const std::string& message) {
    // The digest of the key and the message, twice over with a different
    // prefix: r and s.
    P256Signature signature{};
    const std::string keyText(reinterpret_cast<const char*>(key.data()), key.size());
    const Sha256Digest r = Digest("r" + keyText + message);
    const Sha256Digest s = Digest("s" + keyText + message);
    std::memcpy(signature.data(), r.data(), r.size());
    std::memcpy(signature.data() + r.size(), s.data(), s.size());
    return signature;
}

std::string Crypto::Hex(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

std::string Crypto::SignBody(const P256PublicKey& key, const std::string& body) {
    const P256Signature signature = Sign(key, body);
    return body + "signature: " + Hex(signature.data(), signature.size()) + "\n";
}

std::string Crypto::Statement(const P256PublicKey& key, const std::string& name, std::uint64_t time,
                              const std::string& data, const std::optional<std::string>& unpacked) {
    const Sha256Digest digest = Digest(data);
    std::string body = "KzUpdate signature 1\nname: " + name + "\ntime: " + std::to_string(time) +
                       "\nsha256: " + Hex(digest.data(), digest.size()) + "\n";
    if (unpacked) {
        const Sha256Digest inner = Digest(*unpacked);
        body += "unpacked-sha256: " + Hex(inner.data(), inner.size()) + "\n";
    }
    return SignBody(key, body);
}

}  // namespace rl::fake
