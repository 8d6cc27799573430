// The process-wide record of a run. Main thread only.
#pragma once

#include "files.h"

#include <windows.h>

#include <cstddef>

struct DownloadJob;

constexpr size_t DOWNLOAD_URL_CAPACITY = 1024;

struct UpdaterState {
    HINSTANCE instance;
    wchar_t ownPath[PATH_CAPACITY];         // full path of the running executable
    wchar_t installDir[PATH_CAPACITY];      // ownPath up to its last backslash; the current directory
    wchar_t* serverBase;                    // update mode: first argument, inside the command line
    wchar_t* archivePath;                   // update mode: second argument, inside the command line
    wchar_t downloadUrl[DOWNLOAD_URL_CAPACITY];
    wchar_t restartCommand[PATH_CAPACITY];  // quoted path of the client to start after the update
    DownloadJob* currentJob;
    HWND mainWindow;                        // the progress window, null until created
    bool quitRequested;                     // ends the main loop and every message pump
    bool installing;                        // from saving the download on: close requests are dropped
};

extern UpdaterState updaterState;
