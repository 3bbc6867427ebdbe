// The public keys that an update must be signed with. They are built into
// the program (the build option RL_UPDATE_KEYS, and a test build's own key);
// nothing at run time adds or changes one.
#pragma once

#include <vector>

#include "platform/Crypto.h"

namespace rl {

// Empty when the program was built without a key: it then never updates.
const std::vector<P256PublicKey>& BuiltInUpdateKeys();

}  // namespace rl
