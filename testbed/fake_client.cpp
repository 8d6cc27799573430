// A stand-in for the client program. Installed under the client's names (zolt.exe, ...), it
// appends its command line as one UTF-8 line to "<own file name>.starts" beside itself.
//   --hold PATH   opens PATH for reading, shared for reading only (it can be neither deleted,
//                 moved nor written while held), then writes "<own file name>.holding"
//   --stay MS     stays running for MS milliseconds before it exits with code 0
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t own[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring record = std::wstring(own, length) + L".starts";

    const wchar_t* line = GetCommandLineW();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1)
        WideCharToMultiByte(CP_UTF8, 0, line, -1, &utf8[0], bytes, nullptr, nullptr);
    if (FILE* out = _wfopen(record.c_str(), L"ab")) {
        fprintf(out, "%s\n", utf8.c_str());
        fclose(out);
    }

    HANDLE held = INVALID_HANDLE_VALUE;
    if (const wchar_t* hold = wcsstr(line, L"--hold ")) {
        std::wstring path(hold + 7);
        path = path.substr(0, path.find(L' '));
        held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (FILE* marker = _wfopen((std::wstring(own, length) + L".holding").c_str(), L"wb")) {
            fprintf(marker, "%s\n", held == INVALID_HANDLE_VALUE ? "failed" : "held");
            fclose(marker);
        }
    }
    if (const wchar_t* stay = wcsstr(line, L"--stay "))
        Sleep(static_cast<DWORD>(wcstoul(stay + 7, nullptr, 10)));
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return 0;
}
