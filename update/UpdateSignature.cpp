#include "update/UpdateSignature.h"

namespace rl {

namespace {
ICrypto* gCrypto = nullptr;
}  // namespace

void SetCryptoPort(ICrypto* port) { gCrypto = port; }
ICrypto* CryptoPort() { return gCrypto; }

}  // namespace rl
