// update_run_bench.exe updater DIR ARGUMENTS
//   Starts DIR\updater.exe ARGUMENTS in DIR with the limited token, as a Windows shell starts
//   it, watches its window without disturbing it and prints one line of figures:
//     exit=E total_ms=T window_ms=.. download_ms=.. save_ms=.. install_ms=.. exit_ms=.. peak_mb=P
//   window: start to the window shown; download: to "Finalize download"; save: to
//   "Installing files" (the archive saved and the download worker shut down); install: to the
//   archive's deletion after the last entry; exit: from there to the end of the process.
// update_run_bench.exe byhand DIR CURL URL EXTRACTOR
//   The same work by hand: CURL -s -o upgrade.rtp URL, then EXTRACTOR x upgrade.rtp, in DIR;
//   prints exit=E total_ms=T download_ms=.. extract_ms=..
#include "processes.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

namespace {

constexpr DWORD POLL_MS = 5;
// The watch must not slow what it watches: under Wine each look at another process's window
// or memory is a call to the Wine server, which the program needs for every file it writes.
// Its window is looked for until found, its peak memory read every this many polls.
constexpr int MEMORY_POLLS = 10;
constexpr DWORD RUN_LIMIT_MS = 30 * 60 * 1000;

double nowMs()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring statusOf(HWND window)
{
    wchar_t text[256] = L"";
    InternalGetWindowText(GetDlgItem(window, 5), text, 256);  // sends nothing
    return text;
}

// The program's window once it is shown. Looked for by its class, which Wine answers in one call
// to its server; going through every top window asks it about each one, which slowed the
// program's own start, for which the server loads its libraries.
HWND shownWindowOf(DWORD processId)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, L"Software Update", nullptr); window;
         window = FindWindowExW(nullptr, window, L"Software Update", nullptr)) {
        DWORD owner = 0;
        if (GetWindowThreadProcessId(window, &owner) && owner == processId && IsWindowVisible(window))
            return window;
    }
    return nullptr;
}

int runUpdater(const std::wstring& dir, const std::wstring& arguments)
{
    std::wstring archive = dir + L"\\upgrade.rtp";
    double start = nowMs();
    StartedProcess updater = startLimited(L"\"" + dir + L"\\updater.exe\" " + arguments, dir);
    if (!updater) {
        fprintf(stderr, "cannot start updater.exe (error %lu)\n", GetLastError());
        return 2;
    }
    double shown = 0, finalizing = 0, installing = 0, installed = 0;
    SIZE_T peak = 0;
    DWORD exitCode = 0;
    bool ended = false;
    HWND window = nullptr;
    for (int poll = 0; !ended && nowMs() - start < RUN_LIMIT_MS; ++poll) {
        ended = updater.wait(POLL_MS, &exitCode);
        PROCESS_MEMORY_COUNTERS memory = {};
        memory.cb = sizeof memory;
        // The peak only grows: the last reading before the end holds it, give or take the
        // last polls, which fall in the run's quiet end.
        if ((ended || poll % MEMORY_POLLS == 0) && GetProcessMemoryInfo(updater.process, &memory, sizeof memory) &&
            memory.PeakWorkingSetSize > peak)
            peak = memory.PeakWorkingSetSize;
        double now = nowMs();
        if (!window)
            window = shownWindowOf(updater.id);
        if (window && !shown)
            shown = now;
        std::wstring status = window ? statusOf(window) : L"";
        if (status == L"Finalize download" && !finalizing)
            finalizing = now;
        if (status == L"Installing files" && !installing)
            installing = now;
        if (installing && !installed && GetFileAttributesW(archive.c_str()) == INVALID_FILE_ATTRIBUTES)
            installed = now;
    }
    double end = nowMs();
    if (!ended) {
        TerminateProcess(updater.process, 1);
        exitCode = 1;
    }
    // Phases whose end was not seen take no time; the failure shows in the exit code.
    if (!installed)
        installed = installing ? installing : end;
    if (!installing)
        installing = installed;
    if (!finalizing)
        finalizing = installing;
    if (!shown)
        shown = finalizing;
    printf("exit=%lu total_ms=%.0f window_ms=%.0f download_ms=%.0f save_ms=%.0f install_ms=%.0f exit_ms=%.0f "
           "peak_mb=%.1f\n",
           exitCode, end - start, shown - start, finalizing - shown, installing - finalizing, installed - installing,
           end - installed, static_cast<double>(peak) / (1 << 20));
    return ended && exitCode == 0 ? 0 : 1;
}

bool runAndWait(const std::wstring& commandLine, const std::wstring& dir)
{
    StartedProcess process = startPlain(commandLine, dir);
    DWORD exitCode = 1;
    return process && process.wait(RUN_LIMIT_MS, &exitCode) && exitCode == 0;
}

int runByHand(const std::wstring& dir, const std::wstring& curl, const std::wstring& url,
              const std::wstring& extractor)
{
    double start = nowMs();
    bool downloaded = runAndWait(L"\"" + curl + L"\" -s -o upgrade.rtp " + url, dir);
    double middle = nowMs();
    bool extracted = downloaded && runAndWait(L"\"" + extractor + L"\" x upgrade.rtp", dir);
    double end = nowMs();
    printf("exit=%d total_ms=%.0f download_ms=%.0f extract_ms=%.0f\n", extracted ? 0 : 1, end - start,
           middle - start, end - middle);
    return extracted ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"updater" && argc == 4)
        return runUpdater(argv[2], argv[3]);
    if (mode == L"byhand" && argc == 6)
        return runByHand(argv[2], argv[3], argv[4], argv[5]);
    fprintf(stderr, "usage: update_run_bench.exe updater DIR ARGUMENTS\n"
                    "       update_run_bench.exe byhand DIR CURL URL EXTRACTOR\n");
    return 2;
}
