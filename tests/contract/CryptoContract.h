// What every cryptography adapter does, against the known answers of
// CryptoKnownAnswers.h: OpenSSL's libcrypto on Linux and CNG under Wine. Include it in one test
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
#include "tests/contract/CryptoKnownAnswers.h"

namespace rl::contract {

using CryptoFactory = std::function<std::unique_ptr<ICrypto>()>;

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
