// run_limited.exe COMMAND-LINE, or run_limited.exe @FILE: starts COMMAND-LINE (or the first line
// of FILE, UTF-8), exactly as written, with the limited token linked to the caller's elevated
// one (as a Windows shell does), waits for it and exits with its exit code. Under Wine every
// plain start is an elevated administrator. The file form keeps quotes and blanks exact: Wine
// quotes every Unix argument that holds one.
#include "processes.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

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
    std::wstring commandLine = line;
    if (*line == L'@') {
        FILE* in = _wfopen(line + 1, L"rb");
        if (!in) {
            fwprintf(stderr, L"run_limited: cannot read the command line file\n");
            return 2;
        }
        char text[8192] = "";
        size_t got = fread(text, 1, sizeof text - 1, in);
        fclose(in);
        text[got] = '\0';
        text[strcspn(text, "\r\n")] = '\0';
        wchar_t wide[8192];
        MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 8192);
        commandLine = wide;
    }
    StartedProcess child = startLimited(commandLine);
    if (!child) {
        fwprintf(stderr, L"run_limited: cannot start (error %lu)\n", GetLastError());
        return 3;
    }
    DWORD exitCode = 0;
    child.wait(INFINITE, &exitCode);
    return static_cast<int>(exitCode);
}
