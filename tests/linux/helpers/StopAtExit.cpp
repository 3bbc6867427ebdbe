// Preloaded into a program (LD_PRELOAD) by the update tests: the program
// stops itself (SIGSTOP) where it would end through _exit, as a previous
// instance that hangs on its way out and ignores every request to quit. Only
// the process it was loaded into stops; its children neither inherit the
// preload nor stop in _exit.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace {

pid_t gStopping = 0;

__attribute__((constructor)) void Arm() {
    gStopping = getpid();
    unsetenv("LD_PRELOAD");
}

}  // namespace

extern "C" [[noreturn]] void _exit(int status) {
    if (getpid() == gStopping) raise(SIGSTOP);
    for (;;) syscall(SYS_exit_group, status);
}
