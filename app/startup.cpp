#include "startup.h"

#include "download_client.h"
#include "install_journal.h"
#include "launcher.h"
#include "modes.h"
#include "process_guard.h"
#include "resource.h"
#include "result_codes.h"
#include "settings.h"
#include "system_survey.h"
#include "text.h"
#include "updater_state.h"

#include <cstdlib>
#include <cwchar>

UpdaterState updaterState;

namespace {

constexpr wchar_t SETTINGS_FILE_ARGUMENT[] = L"\\zolt.ini";
constexpr wchar_t UNINSTALL_SWITCH[] = L"-uninstall";
constexpr DWORD START_LOCK_WAIT_MS = 5000;

// Puts back what an installation that died left half done, unless that run is still going.
void recoverInterruptedRun()
{
    if (!isUpdaterRunClaimed(updaterState.installDir))
        recoverInterruptedInstall();
}

}  // namespace

void exitProcess(unsigned code)
{
    // The worker thread must not be torn down running by the runtime's exit handlers.
    shutdownDownloadClient();  // safe without a worker
    ExitProcess(code);
}

void endProgram()
{
    shutdownDownloadClient();  // safe without a worker
    exit(0);
}

void errorExit(unsigned stringId)
{
    const wchar_t* text = loadText(stringId);
    const wchar_t* caption = loadText(IDS_UPDATE_CAPTION);
    (void)MessageBoxW(updaterState.mainWindow, text, caption, MB_ICONERROR | MB_SYSTEMMODAL);  // any answer ends the run
    exitProcess(0);
}

bool isUninstallRequest(const wchar_t* commandLine)
{
    return commandLine && wcsstr(commandLine, UNINSTALL_SWITCH) != nullptr;
}

bool isLauncherRequest(const wchar_t* commandLine, const wchar_t* ownPath)
{
    return !commandLine || commandLine[0] == L'\0' || _wcsicmp(commandLine, ownPath) == 0;
}

void findInstallDirectory()
{
    DWORD length = GetModuleFileNameW(nullptr, updaterState.ownPath, PATH_CAPACITY);
    updaterState.ownPath[length < PATH_CAPACITY ? length : PATH_CAPACITY - 1] = L'\0';  // cut to fit
    wcscpy(updaterState.installDir, updaterState.ownPath);
    wchar_t* lastSeparator = wcsrchr(updaterState.installDir, L'\\');
    if (lastSeparator)
        *lastSeparator = L'\0';
}

int runUpdater(HINSTANCE instance, wchar_t* commandLine)
{
    updaterState.instance = instance;
    findInstallDirectory();
    // Every bare file name of the program is relative to the install directory.
    if (!SetCurrentDirectoryW(updaterState.installDir))
        errorExit(IDS_SETTINGS_MISSING);
    // One start at a time reads and writes the install's settings; one that waits too long
    // reads them as they are and writes nothing to them.
    const bool startLocked = lockInstallStart(updaterState.installDir, START_LOCK_WAIT_MS);
    // A journal is looked at only under the lock: never while another start reads it.
    if (startLocked)
        recoverInterruptedRun();

    if (isUninstallRequest(commandLine)) {
        unlockInstallStart();
        runUninstallMode();
    }

    if (loadSettings(updaterState.installDir, SETTINGS_FILE_ARGUMENT, startLocked) == RESULT_SETTINGS_MISSING)
        errorExit(IDS_SETTINGS_MISSING);
    unlockInstallStart();
    // A failed survey leaves the version at 0, which the update mode and the User-Agent allow for.
    (void)surveySystem(&osMajorVersion, &osMinorVersion);

    if (isLauncherRequest(commandLine, updaterState.ownPath))
        return runLauncherMode();
    runUpdateMode(commandLine);
    return 0;
}
