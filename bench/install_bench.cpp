// install_bench.exe ARCHIVE: installs ARCHIVE (narrow name) into the current directory with
// installArchive and no handler, and prints one line of figures:
//   result=R wall_ms=W peak_mb=P
// (wall time of the call; peak resident memory of the process). Exit code 0 on success.
#include "archive_installer.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: install_bench.exe ARCHIVE\n");
        return 2;
    }
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    int result = installArchive(argv[1], nullptr);
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    printf("result=%d wall_ms=%.0f peak_mb=%.1f\n", result,
           1000.0 * static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart),
           static_cast<double>(memory.PeakWorkingSetSize) / (1 << 20));
    return result == 0 ? 0 : 1;
}
