// The program's entry and the choice of its mode.
#pragma once

#include <windows.h>

// The body of the entry point: the common start, then the mode the command line selects
// (uninstall, launcher or update). commandLine is the text after the program name; the update
// mode splits it in place. Returns 0; the modes that end the process do so with code 0.
int runUpdater(HINSTANCE instance, wchar_t* commandLine);

// Ends the process at once with code: no unwinding, no return.
[[noreturn]] void exitProcess(unsigned code);

// Ends the program through the runtime's normal exit with code 0, after stopping the download
// worker, so that no running thread or held lock is torn down by the exit handlers.
[[noreturn]] void endProgram();

// Shows string stringId in an error box (caption "Update", system-modal, owned by the progress
// window when there is one) and ends the process with code 0.
[[noreturn]] void errorExit(unsigned stringId);

// "-uninstall" anywhere in the command line, also inside a longer argument.
bool isUninstallRequest(const wchar_t* commandLine);
// No arguments, or only the program's own path (letter case ignored).
bool isLauncherRequest(const wchar_t* commandLine, const wchar_t* ownPath);

// Fills ownPath and installDir of updaterState from the module's file name.
void findInstallDirectory();
