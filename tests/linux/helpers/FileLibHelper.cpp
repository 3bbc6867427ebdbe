// A small program the file-utility tests start: it shows what it was given
// and reacts to SIGTERM in a chosen way.
//
//   rl_file_helper args OUT ARG...    writes the ARGs to OUT, each ended by a zero byte
//   rl_file_helper cwd OUT            writes its working folder to OUT
//   rl_file_helper exit N             exits with code N
//   rl_file_helper term-exits READY   creates READY, then exits with 0 on SIGTERM
//   rl_file_helper ignore-term READY  creates READY, ignores SIGTERM and waits
//   rl_file_helper sleep              waits
// Waiting ends after 60 s at the latest, so a failed test leaves nothing behind.
// OUT is written under another name and then renamed: once it exists, it is whole.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool WriteWhole(const std::string& path, const std::string& content) {
    const std::string temp = path + ".part";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    return std::fclose(f) == 0 && ok && std::rename(temp.c_str(), path.c_str()) == 0;
}

[[noreturn]] void WaitAWhile() {
    for (int i = 0; i < 600; ++i) usleep(100000);
    _exit(3);
}

void ExitOnTerm(int) { _exit(0); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    if (mode == "args" && argc >= 3) {
        std::string content;
        for (int i = 3; i < argc; ++i) content.append(argv[i], std::strlen(argv[i]) + 1);
        return WriteWhole(argv[2], content) ? 0 : 1;
    }
    if (mode == "cwd" && argc == 3) {
        char cwd[4096];
        return getcwd(cwd, sizeof cwd) != nullptr && WriteWhole(argv[2], cwd) ? 0 : 1;
    }
    if (mode == "exit" && argc == 3) return std::atoi(argv[2]);
    if ((mode == "term-exits" || mode == "ignore-term") && argc == 3) {
        struct sigaction action {};
        action.sa_handler = mode == "term-exits" ? ExitOnTerm : SIG_IGN;
        sigaction(SIGTERM, &action, nullptr);
        if (!WriteWhole(argv[2], "ready")) return 1;
        WaitAWhile();
    }
    if (mode == "sleep") WaitAWhile();
    return 2;
}
