// The cryptography contract over CNG.
#include <gtest/gtest.h>

#include "platform/Crypto.h"
#include "tests/contract/CryptoContract.h"

namespace rl {
namespace {

using contract::CryptoContract;
using contract::CryptoFactory;

INSTANTIATE_TEST_SUITE_P(Cng, CryptoContract, ::testing::Values(CryptoFactory(&CreateCrypto)),
                         [](const auto&) { return "System"; });

}  // namespace
}  // namespace rl
