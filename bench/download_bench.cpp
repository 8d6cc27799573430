// download_bench.exe URL: downloads URL with the program's download client, polling it every
// 100 ms as the update controller does (a failed attempt is followed at once by one that goes
// on from it, at most 3 in all), and prints one line of figures:
//   status=S bytes=N wall_ms=W cpu_ms=C peak_mb=P
// (wall time and CPU time from job creation to the data in hand; peak resident memory of the
// whole process). Exit code 0 when the job ended as Done.
#include "download_client.h"
#include "request_setup.h"
#include "text.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>

namespace {

double milliseconds(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;
}

// CPU time of the whole process so far, user and kernel.
double processCpuMs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return milliseconds(kernel) + milliseconds(user);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fwprintf(stderr, L"usage: download_bench.exe URL\n");
        return 2;
    }
    startClock();
    buildUserAgents(0.0f, 0);
    startDownloadWorker(30000);

    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    double cpuBefore = processCpuMs();
    QueryPerformanceCounter(&begin);
    DownloadJob* job = createDownload(argv[1]);
    int status = downloadStatus(job);
    for (int attempt = 1;; ++attempt) {
        while (status == DownloadStatus::Queued || status == DownloadStatus::Transferring ||
               status == DownloadStatus::NoTransfer) {
            Sleep(100);
            sweepStalledDownloads();
            (void)downloadStatusText(job);
            uint32_t received = 0, total = 0;
            (void)downloadCounts(job, &received, &total);
            status = downloadStatus(job);
        }
        if (status == DownloadStatus::Done || attempt == 3)
            break;
        job = createResumedDownload(argv[1], job);
        status = downloadStatus(job);
    }
    const unsigned char* data = downloadData(job);
    uint32_t size = downloadSize(job);
    volatile unsigned char touch = data && size ? data[size - 1] : 0;  // the data is in hand
    (void)touch;
    QueryPerformanceCounter(&end);

    double cpuDuring = processCpuMs() - cpuBefore;
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    printf("status=%d bytes=%u wall_ms=%.0f cpu_ms=%.0f peak_mb=%.1f\n", status, size,
           1000.0 * static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart),
           cpuDuring, static_cast<double>(memory.PeakWorkingSetSize) / (1 << 20));
    releaseDownload(job);
    shutdownDownloadClient();
    return status == DownloadStatus::Done ? 0 : 1;
}
