// guard_runner.exe ALLOW-CANCEL INITIAL-WAIT: runs the process guard's waitForClients in a
// process of its own (Cancel ends the program), with the settings of the current directory
// when it has a zolt.ini, and writes "returned" to "<own file name>.returned" when it returns.
#include "process_guard.h"
#include "settings.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    (void)loadSettings(current, L"\\zolt.ini", true);  // without settings Exec reads empty
    waitForClients(_wtoi(argv[1]), _wtoi(argv[2]));
    wchar_t own[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
    if (FILE* out = _wfopen((std::wstring(own, length) + L".returned").c_str(), L"wb")) {
        fputs("returned\n", out);
        fclose(out);
    }
    return 0;
}
