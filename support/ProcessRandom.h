// The process-wide pseudo-random generator that the scrambler's wiping and
// the random-bytes fallback share. Not for secrets on its own; used from the
// user-interface thread only.
#pragma once

#include <cstdint>

namespace rl {

// Reseeds the generator from the clock.
void RandomizeProcess();

// A value from 0 to 255.
std::uint8_t ProcessRandomByte();

}  // namespace rl
