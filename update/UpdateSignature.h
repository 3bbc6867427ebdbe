// Signed updates: the statement that vouches for one published file, and its
// verification with the keys a program trusts.
#pragma once

#include "platform/Crypto.h"

namespace rl {

// The system's cryptography; null when none is installed.
void SetCryptoPort(ICrypto* port);
ICrypto* CryptoPort();

}  // namespace rl
