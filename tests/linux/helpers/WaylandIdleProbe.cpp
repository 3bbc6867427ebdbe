// Reads the idle time of the Wayland session it runs in and prints it, so
// that the tests can run it as the compositor's user:
//   "protocol NAME" once, then "idle MS at TICK" (or "idle none at TICK")
//   every 100 ms, TICK on the monotonic clock in milliseconds,
// until its standard input closes. Exit status 2 when it cannot connect.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "platform/ClockInput.h"
#include "platform/linux/WaylandIdle.h"

namespace {

std::uint32_t Tick() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

}  // namespace

int main() {
    auto source = rl::wayland::IdleSource::Connect(nullptr, Tick());
    if (source == nullptr) {
        std::printf("protocol none\n");
        return 2;
    }
    std::printf("protocol %s\n", rl::wayland::ProtocolName(source->Protocol()));
    std::fflush(stdout);
    for (;;) {
        const std::uint32_t now = Tick();
        const std::uint32_t last = source->LastInputTick(now);
        if (last == rl::kNoInputTick)
            std::printf("idle none at %u\n", now);
        else
            std::printf("idle %u at %u\n", now - last, now);
        if (std::fflush(stdout) != 0) return 1;
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, 100) > 0) {
            char c = 0;
            if (read(STDIN_FILENO, &c, 1) <= 0) return 0;
        }
    }
}
