// run_limited.exe COMMAND-LINE: starts COMMAND-LINE, exactly as written, with the limited token
// linked to the caller's elevated one (as a Windows shell does), waits for it and exits with
// its exit code. Under Wine every plain start is an elevated administrator.
#include "processes.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain()
{
    // The rest of the own command line after the program name, unchanged.
    const wchar_t* line = GetCommandLineW();
    if (*line == L'"') {
        line = wcschr(line + 1, L'"');
        line = line ? line + 1 : L"";
    } else {
        while (*line && *line != L' ' && *line != L'\t')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    if (!*line) {
        fwprintf(stderr, L"usage: run_limited.exe COMMAND-LINE\n");
        return 2;
    }
    StartedProcess child = startLimited(line);
    if (!child) {
        fwprintf(stderr, L"run_limited: cannot start (error %lu)\n", GetLastError());
        return 3;
    }
    DWORD exitCode = 0;
    child.wait(INFINITE, &exitCode);
    return static_cast<int>(exitCode);
}
