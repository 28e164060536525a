// A small Win32 program that holds a serial port open: opens \\.\NAME,
// prints "opened NAME pid N", keeps the handle until the signal file
// exists (or the time limit passes), closes it and prints "closed NAME".
//
//   opener NAME SIGNAL-FILE [SECONDS]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: opener NAME SIGNAL-FILE [SECONDS]\n");
        return 2;
    }
    std::string path = std::string("\\\\.\\") + argv[1];
    int seconds = argc > 3 ? std::atoi(argv[3]) : 60;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("open %s failed: error %lu\n", argv[1], GetLastError());
        std::fflush(stdout);
        return 1;
    }
    std::printf("opened %s pid %lu\n", argv[1], GetCurrentProcessId());
    std::fflush(stdout);
    for (int waited = 0; waited < seconds * 10; ++waited) {
        if (GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES) break;
        Sleep(100);
    }
    if (!CloseHandle(port)) {
        std::printf("close %s failed: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    std::printf("closed %s\n", argv[1]);
    std::fflush(stdout);
    return 0;
}
