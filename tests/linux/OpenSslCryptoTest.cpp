// The cryptography contract over OpenSSL's libcrypto, and what libcurl, which
// shares the library and the thread, needs from it.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include "platform/Crypto.h"
#include "tests/contract/CryptoContract.h"

namespace rl {
namespace {

using contract::CryptoContract;
using contract::CryptoFactory;

INSTANTIATE_TEST_SUITE_P(OpenSsl, CryptoContract, ::testing::Values(CryptoFactory(&CreateCrypto)),
                         [](const auto&) { return "System"; });

// libcurl takes the thread's queued errors as its own: a refused key or
// signature must leave none behind.
TEST(OpenSslCryptoTest, FailuresLeaveNoQueuedError) {
    const std::unique_ptr<ICrypto> crypto = CreateCrypto();
    ERR_clear_error();
    const P256PublicKey key = contract::FromHex<64>(contract::known::kKey);
    P256PublicKey offCurve = key;
    offCurve[63] ^= 1;
    P256Signature zero{};
    EXPECT_FALSE(crypto->VerifyP256(offCurve, "abc", 3, zero));
    EXPECT_FALSE(crypto->VerifyP256(key, "abc", 3, contract::FromHex<64>(contract::known::kSignature)));
    EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
}  // namespace rl
