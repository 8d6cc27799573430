// window_demo.exe [--status TEXT] [--detail TEXT] [--progress FRACTION] [--stay MS]
// Shows the updater's progress window, made by the program's own window code with the
// settings of the current directory (when it has a zolt.ini), sets its lines and bar, keeps it
// alive for MS milliseconds (default 3000), and writes the chosen font face to
// "<own file name>.font". For screenshots and for tests that read the window from outside.
#include "progress_window.h"
#include "settings.h"
#include "updater_state.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    std::wstring status = L"   ", detail = L"   ";
    float progress = 0.0f;
    DWORD stay = 3000;
    for (int i = 1; i + 1 < __argc; i += 2) {
        std::wstring option = __wargv[i];
        if (option == L"--status")
            status = __wargv[i + 1];
        else if (option == L"--detail")
            detail = __wargv[i + 1];
        else if (option == L"--progress")
            progress = static_cast<float>(_wtof(__wargv[i + 1]));
        else if (option == L"--stay")
            stay = wcstoul(__wargv[i + 1], nullptr, 10);
    }
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    (void)loadSettings(current, L"\\zolt.ini", true);  // without settings every face is enumerated
    updaterState.instance = instance;
    createFonts();
    if (!registerWindowClass() || !createMainWindow())
        return 1;
    wchar_t own[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
    if (FILE* out = _wfopen((std::wstring(own, length) + L".font").c_str(), L"wb")) {
        char face[128] = "";
        WideCharToMultiByte(CP_UTF8, 0, windowFontFace(), -1, face, sizeof face, nullptr, nullptr);
        fputs(face, out);
        fclose(out);
    }
    ShowWindow(updaterState.mainWindow, SW_SHOW);
    setStatusText(status.c_str());
    setDetailText(detail.c_str());
    setProgress(progress);
    updateMainWindow();
    for (DWORD start = GetTickCount(); GetTickCount() - start < stay && !updaterState.quitRequested;) {
        pumpMessages();
        Sleep(20);
    }
    return 0;
}
