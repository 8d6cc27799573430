// A stand-in for the client program. Installed under the client's names (zolt.exe, ...), it
// appends its command line as one UTF-8 line to "<own file name>.starts" beside itself, and
// with "--stay MS" stays running for MS milliseconds before it exits with code 0.
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

    if (const wchar_t* stay = wcsstr(line, L"--stay "))
        Sleep(static_cast<DWORD>(wcstoul(stay + 7, nullptr, 10)));
    return 0;
}
