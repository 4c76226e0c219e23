// qn38-idle-floor READS MS SECONDS: the floor of the polling design's cost.
// Every MS milliseconds, READS reads of the slot's presence register through
// the real DLL's ZQ_ReadPCI (an open, one control request and a close of the
// dump device each, as every query of the library makes them), for SECONDS
// seconds. Run by idle-cost beside the installed product's idle tool.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "QN38HotPlug.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: qn38-idle-floor BUS READS MS SECONDS\n");
        return 2;
    }
    const unsigned bus = static_cast<unsigned>(std::wcstoul(argv[1], nullptr, 0));
    const unsigned reads = static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 0));
    const DWORD interval = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 0));
    const ULONGLONG end = GetTickCount64() + std::wcstoull(argv[4], nullptr, 0) * 1000;
    unsigned failed = 0;
    while (GetTickCount64() < end) {
        for (unsigned read = 0; read < reads; ++read) {
            std::uint32_t value = 0;
            if (ZQ_ReadPCI(bus, 0x58, &value) == 0) ++failed;
        }
        Sleep(interval);
    }
    std::printf("failed reads: %u\n", failed);
    return 0;
}
