#include "support/ProcessRandom.h"

#include <chrono>
#include <random>

namespace rl {

namespace {

std::mt19937& Generator() {
    static std::mt19937 generator;
    return generator;
}

}  // namespace

void RandomizeProcess() {
    // Two clocks, so that reseeding twice within one tick of the coarse
    // clock still starts the generator in two different states.
    const auto wall = std::chrono::system_clock::now().time_since_epoch().count();
    const auto steady = std::chrono::steady_clock::now().time_since_epoch().count();
    std::seed_seq start{static_cast<std::uint32_t>(wall), static_cast<std::uint32_t>(wall >> 32),
                       static_cast<std::uint32_t>(steady), static_cast<std::uint32_t>(steady >> 32)};
    Generator().seed(start);
}

std::uint8_t ProcessRandomByte() { return static_cast<std::uint8_t>(Generator()() >> 24); }

}  // namespace rl
