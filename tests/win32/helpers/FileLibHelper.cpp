// A small program that the file utilities' tests start, wait for and close.
//
//   rl_filelib_helper exit CODE [FILE]  writes its arguments and its working
//                                       folder to FILE, then exits with CODE
//   rl_filelib_helper sleep             sleeps for ever without a message queue
//   rl_filelib_helper loop EVENT        runs a message loop, sets the named
//                                       event once its queue exists, and
//                                       exits with 3 when the loop ends
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "exit") == 0) {
        if (argc >= 4) {
            std::FILE* out = std::fopen(argv[3], "wb");
            if (out == nullptr) return 100;
            for (int i = 1; i < argc; ++i) std::fprintf(out, "%s\n", argv[i]);
            char folder[MAX_PATH] = {};
            GetCurrentDirectoryA(MAX_PATH, folder);
            std::fprintf(out, "%s\n", folder);
            std::fclose(out);
        }
        return std::atoi(argv[2]);
    }
    if (argc >= 2 && std::strcmp(argv[1], "sleep") == 0) {
        for (;;) Sleep(INFINITE);
    }
    if (argc >= 3 && std::strcmp(argv[1], "loop") == 0) {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // creates the queue
        const HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
        if (ready == nullptr) return 101;
        SetEvent(ready);
        CloseHandle(ready);
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
        return 3;
    }
    return 99;
}
