#include "modes.h"

#include "process_guard.h"
#include "settings.h"
#include "startup.h"
#include "tree_removal.h"
#include "updater_state.h"

#include <initializer_list>

namespace {

constexpr int CLIENT_EXIT_WAIT_SECONDS = 1;
constexpr int UPDATE_WAIT_SECONDS = 10;  // an update that holds the install longer is left to finish
constexpr DWORD WAIT_STEP_MS = 1000;
constexpr wchar_t BLOCKING_FILE[] = L"PControl.ini";  // no folder: it lives in the Windows folder
constexpr wchar_t BLOCKING_SECTION[] = L"Browser";

}  // namespace

void runUninstallMode()
{
    // The folder is emptied only while no update writes it, and an update started now stays away.
    bool claimed = claimUpdaterRun(updaterState.installDir);
    for (int waited = 0; !claimed && waited < UPDATE_WAIT_SECONDS; ++waited) {
        Sleep(WAIT_STEP_MS);
        claimed = claimUpdaterRun(updaterState.installDir);
    }
    if (!claimed)
        showAnotherInstanceAndExit();
    waitForClients(1, CLIENT_EXIT_WAIT_SECONDS);
    // Nothing is reported: a value that cannot be cleared stays as it was.
    for (const wchar_t* value : {L"BLOCK1", L"BLOCK2"})
        (void)WritePrivateProfileStringW(BLOCKING_SECTION, value, L"", BLOCKING_FILE);
    for (const wchar_t* value : {L"BLOCK1", L"BLOCK2"})
        (void)writeRegistryString(BLOCKING_SECTION, value, L"");
    removeTree(updaterState.installDir, L"", L"\\*.*", nullptr);  // the running program stays
    exitProcess(0);
}
