// What every cryptography adapter does, against known answers made with
// Python (hashlib; python3-cryptography for the P-256 key and signatures):
// OpenSSL's libcrypto on Linux and CNG under Wine. Include it in one test
// file per test program and instantiate CryptoContract with a factory.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Crypto.h"

namespace rl::contract {

using CryptoFactory = std::function<std::unique_ptr<ICrypto>()>;

template <std::size_t N>
std::array<std::uint8_t, N> FromHex(const char* hex) {
    std::array<std::uint8_t, N> bytes{};
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (std::size_t i = 0; i < N; ++i)
        bytes[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) * 16 + nibble(hex[2 * i + 1]));
    return bytes;
}

template <std::size_t N>
std::string ToHex(const std::array<std::uint8_t, N>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

// 1 MiB and 7 bytes: byte i is (7 i + 3) mod 256.
inline std::string LongMessage() {
    std::string bytes(1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + 3) % 256);
    return bytes;
}

namespace known {
constexpr char kSha256Empty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kSha256Abc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kSha256Long[] = "d66748f132ea9164919c3bc3f127603f3216ea88a1df2f6f250e362dc5379d13";

constexpr char kMessage[] = "KzUpdate signature 1\nname: RestLevel.zbin\ntime: 1765432100\n";
constexpr char kKey[] =
    "945bafbfe49bbffe5c33d49cd083da75ce805aaf1f2a82cfb010e0968163582a"
    "40f7f692a325069e22cc0fe04c0e68322f4459e45106d54325ee23b8c66bd184";
constexpr char kOtherKey[] =
    "71aab3296e2f2cd1267ab24326e2ae6a745f46e97a8ebb192c87be37581e0e34"
    "8e2abe32c4ec035d53f74352fb695082df92028f20f761e0a5e75af9324c1671";
// kKey's point mirrored, (X, p - Y): on the curve, another key.
constexpr char kMirroredKey[] =
    "945bafbfe49bbffe5c33d49cd083da75ce805aaf1f2a82cfb010e0968163582a"
    "bf08096c5cdaf962dd33f01fb3f197cdd0bba61caef92abcda11dc4739942e7b";
// kKey's signatures of kMessage, of the empty message and of LongMessage().
constexpr char kSignature[] =
    "6c5b18fb9323a0046ef63e322e0b39168656c6b59e418c37ec9d846263d11225"
    "3d6344d39e279299e7708af65bc30057f329b0c0c3e8727f6171e328c030586e";
constexpr char kSignatureOfEmpty[] =
    "f7d368fa401886d2960c1c32f6fc94be0ccfaf86ac33b55b9fe22d4b0ecfb1d9"
    "b3472090dfc60b04a16a18f5906ce7a67784d8c87470f16c0ecc5cc174d77586";
constexpr char kSignatureOfLong[] =
    "1861483408b0732838cf11d632c397d63036ceefce69012dcf614e1314974e25"
    "e983000558d1b196ae5de5f90f94814d46ed663db833a454e74944d12dc09f96";
// kOtherKey's signature of kMessage.
constexpr char kOtherSignature[] =
    "14fb96aa81687542ea18ca71a7f6a91ab4d6e957c6f09b3c8b86920df3bdeac4"
    "193c084bc80f5e1b8cd4e758bb346b7864da58d1f6b6a51c8480412b374d04e8";
// n - s of kSignature: (r, n - s) is the same signature in ECDSA.
constexpr char kMirroredS[] = "c29cbb2b61d86d67188f7509a43cffa7c9bd49ece32f2c059247e79a3c32cce3";
// The order of the group.
constexpr char kOrder[] = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
}  // namespace known

class CryptoContract : public ::testing::TestWithParam<CryptoFactory> {
protected:
    void SetUp() override {
        crypto = GetParam()();
        ASSERT_NE(crypto, nullptr);
    }

    std::string Sha256InChunks(const std::string& data, const std::vector<std::size_t>& chunks) {
        const std::unique_ptr<ISha256> hash = crypto->NewSha256();
        if (!hash) return "no hasher";
        std::size_t at = 0;
        for (const std::size_t chunk : chunks) {
            hash->Update(data.data() + at, chunk);
            at += chunk;
        }
        hash->Update(data.data() + at, data.size() - at);
        return ToHex(hash->Finish());
    }

    std::unique_ptr<ICrypto> crypto;
};

TEST_P(CryptoContract, Sha256KnownAnswers) {
    const std::string abc = "abc";
    const std::string longMessage = LongMessage();
    struct Case {
        const char* name;
        const std::string* data;
        std::vector<std::size_t> chunks;  // then the rest in one
        const char* digest;
    };
    const std::string empty;
    const Case cases[] = {
        {"nothing", &empty, {}, known::kSha256Empty},
        {"abc at once", &abc, {}, known::kSha256Abc},
        {"abc with empty updates between", &abc, {0, 1, 0, 2, 0}, known::kSha256Abc},
        {"long at once", &longMessage, {}, known::kSha256Long},
        // Across the 64-byte blocks, the last 8 bytes past the first 1 MiB.
        {"long in odd chunks", &longMessage, {1, 63, 64, 65, 127, 4093, 65537, 978625}, known::kSha256Long},
    };
    for (const Case& c : cases) EXPECT_EQ(Sha256InChunks(*c.data, c.chunks), c.digest) << c.name;
}

TEST_P(CryptoContract, HashersAreIndependentAndOutliveTheAdapter) {
    std::unique_ptr<ISha256> first = crypto->NewSha256();
    std::unique_ptr<ISha256> second = crypto->NewSha256();
    ASSERT_TRUE(first && second);
    first->Update("a", 1);
    second->Update("ab", 2);
    crypto.reset();
    first->Update("bc", 2);
    second->Update("c", 1);
    EXPECT_EQ(ToHex(first->Finish()), known::kSha256Abc);
    EXPECT_EQ(ToHex(second->Finish()), known::kSha256Abc);
}

TEST_P(CryptoContract, VerifyP256KnownAnswers) {
    const auto key = FromHex<64>(known::kKey);
    const auto signature = FromHex<64>(known::kSignature);
    const std::string message = known::kMessage;
    const std::string longMessage = LongMessage();
    const auto flip = [](auto bytes, std::size_t index, std::uint8_t mask) {
        bytes[index] ^= mask;
        return bytes;
    };
    const auto withR = [&](const char* hex) {
        P256Signature changed = signature;
        const auto r = FromHex<32>(hex);
        std::copy(r.begin(), r.end(), changed.begin());
        return changed;
    };
    const auto withS = [&](const char* hex) {
        P256Signature changed = signature;
        const auto s = FromHex<32>(hex);
        std::copy(s.begin(), s.end(), changed.begin() + 32);
        return changed;
    };
    const char* const zero = "0000000000000000000000000000000000000000000000000000000000000000";
    const char* const allOnes = "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
    std::string messageFlipped = message;
    messageFlipped[7] ^= 0x01;
    std::string longFlippedAtTheEnd = longMessage;
    longFlippedAtTheEnd[longFlippedAtTheEnd.size() - 1] ^= 0x80;

    struct Case {
        const char* name;
        P256PublicKey key;
        std::string message;
        P256Signature signature;
        bool valid;
    };
    const Case cases[] = {
        {"valid", key, message, signature, true},
        {"valid, empty message", key, "", FromHex<64>(known::kSignatureOfEmpty), true},
        {"valid, long message", key, longMessage, FromHex<64>(known::kSignatureOfLong), true},
        {"valid, s mirrored to n - s", key, message, withS(known::kMirroredS), true},
        {"the other key's own signature", FromHex<64>(known::kOtherKey), message,
         FromHex<64>(known::kOtherSignature), true},
        {"a bit flipped in the message", key, messageFlipped, signature, false},
        {"the last bit of a long message flipped", key, longFlippedAtTheEnd, FromHex<64>(known::kSignatureOfLong),
         false},
        {"the message one byte shorter", key, message.substr(0, message.size() - 1), signature, false},
        {"a bit flipped in r", key, message, flip(signature, 13, 0x10), false},
        {"a bit flipped in s", key, message, flip(signature, 50, 0x02), false},
        {"a bit flipped in the key", flip(key, 5, 0x40), message, signature, false},
        {"r = 0", key, message, withR(zero), false},
        {"s = 0", key, message, withS(zero), false},
        {"r = n", key, message, withR(known::kOrder), false},
        {"s = n", key, message, withS(known::kOrder), false},
        {"s = 2^256 - 1", key, message, withS(allOnes), false},
        {"a key off the curve", flip(key, 63, 0x01), message, signature, false},
        {"an all-zero key", P256PublicKey{}, message, signature, false},
        {"the mirrored key, on the curve", FromHex<64>(known::kMirroredKey), message, signature, false},
        {"the signature of another key", key, message, FromHex<64>(known::kOtherSignature), false},
        {"the signature of another message", key, message, FromHex<64>(known::kSignatureOfEmpty), false},
    };
    for (const Case& row : cases) {
        const void* data = row.message.empty() ? nullptr : row.message.data();
        EXPECT_EQ(crypto->VerifyP256(row.key, data, row.message.size(), row.signature), row.valid) << row.name;
    }
}

}  // namespace rl::contract
