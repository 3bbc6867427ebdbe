// Prints what KWin's window list says is in front, so that the tests can run
// it as the session's user (KWin offers the list only to clients whose
// program file it can read):
//   "none" and exit status 2 when it cannot connect; otherwise
//   "active PID fullscreen 0|1 lost 0|1" at the start and at every change,
// reading every 20 ms until its standard input closes.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/linux/PlasmaWindows.h"

int main() {
    auto windows = rl::wayland::TPlasmaWindows::Connect();
    if (!windows) {
        std::printf("none\n");
        return 2;
    }
    std::string last;
    for (;;) {
        const std::uint32_t pid = windows->ActiveProcessId();
        const std::string now = "active " + std::to_string(pid) + " fullscreen " +
                                (windows->FullScreenActive() ? "1" : "0") + " lost " + (windows->Lost() ? "1" : "0");
        if (now != last) {
            std::printf("%s\n", now.c_str());
            std::fflush(stdout);
            last = now;
        }
        pollfd in{0, POLLIN, 0};
        if (poll(&in, 1, 20) > 0) {
            char c;
            if (read(0, &c, 1) <= 0) return 0;
        }
    }
}
