#include "modes.h"

#include "download_client.h"
#include "process_guard.h"
#include "progress_window.h"
#include "request_setup.h"
#include "resource.h"
#include "settings.h"
#include "startup.h"
#include "system_survey.h"
#include "text.h"
#include "tree_removal.h"
#include "update_controller.h"
#include "updater_state.h"

#include <cwchar>

namespace {

constexpr int UPDATE_STALL_TIMEOUT_MS = 30000;
constexpr int CLIENT_EXIT_WAIT_SECONDS = 15;
constexpr DWORD SECOND_LOOK_MS = 1000;
constexpr DWORD IDLE_SLEEP_MS = 100;
constexpr wchar_t ELEVATED_TEXT[] =
    L"You are running the application as Windows Administrator.\nPlease refrain from updating or installing "
    L"using elevated Windows User privileges.\n\nThe update will quit now.\n";

// An administrator whose token is elevated in full, as "Run as administrator" gives it.
bool isElevatedAdministrator()
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &administrators))
        return false;  // without the group's SID the check is skipped
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member))
        member = FALSE;
    bool refused = false;
    HANDLE token = nullptr;
    if (member && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION elevation = {};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
            size == sizeof elevation && elevation.TokenIsElevated) {
            TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
            refused = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) &&
                      size == sizeof type && type == TokenElevationTypeFull;
        }
        CloseHandle(token);
    }
    FreeSid(administrators);
    return refused;
}

// Splits "base path third" in place; false without two blanks.
bool splitCommandLine(wchar_t* commandLine)
{
    wchar_t* first = wcschr(commandLine, L' ');
    wchar_t* second = first ? wcschr(first + 1, L' ') : nullptr;
    if (!second)
        return false;
    *first = L'\0';
    *second = L'\0';
    updaterState.serverBase = commandLine;
    updaterState.archivePath = first + 1;
    return true;
}

void buildRestartCommand()
{
    wchar_t program[PATH_CAPACITY];
    wchar_t arguments[PATH_CAPACITY];
    clientCommand(program, PATH_CAPACITY, arguments, PATH_CAPACITY);
    // Only the path is quoted: the arguments follow it, as a shell would start the client.
    (void)formatText(updaterState.restartCommand, PATH_CAPACITY, L"\"%s\\%s\"%s%s", updaterState.installDir, program,
                     arguments[0] ? L" " : L"", arguments);
}

void showCacheEntry(const wchar_t* name)
{
    if (!updaterState.mainWindow)
        return;
    setDetailText(name);
    updateMainWindow();
    pumpMessages();
}

void showPhase(const wchar_t* status)
{
    setStatusText(status);
    updateMainWindow();
    pumpMessages();
}

void runMainLoop()
{
    MSG message;
    while (!updaterState.quitRequested) {
        if (!PeekMessageW(&message, updaterState.mainWindow, 0, 0, PM_REMOVE)) {
            // Idle for at most the pause, but wake at once for input or the controller's
            // timer: a plain sleep would add up to a pause to every tick.
            (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, IDLE_SLEEP_MS, QS_ALLINPUT);  // either way, look again
            continue;
        }
        if (message.message == WM_QUIT)
            break;
        if (message.message == WM_NCRBUTTONDOWN)
            continue;
        (void)TranslateMessage(&message);
        (void)DispatchMessageW(&message);
    }
}

}  // namespace

void runUpdateMode(wchar_t* commandLine)
{
    if (osMajorVersion > 5 && isElevatedAdministrator()) {
        (void)MessageBoxW(nullptr, ELEVATED_TEXT, L"System", MB_ICONERROR | MB_SYSTEMMODAL | MB_TOPMOST);
        exitProcess(0);
    }
    resetTransferRate();
    setTextModule(updaterState.instance);
    createFonts();
    buildProxyAddress();
    setProxyCredential(readString(L"connection", L"proxy_auth"));
    startDownloadWorker(UPDATE_STALL_TIMEOUT_MS);
    buildUserAgents(0.0f, 0);
    startClock();
    if (!registerWindowClass() || !createMainWindow())
        exitProcess(0);

    if (!splitCommandLine(commandLine))
        errorExit(IDS_BAD_PARAMETERS);
    // One run per install: the claim decides, whether or not its holder is seen (it may be
    // another user's, or run the install under another spelling of its path).
    bool claimed = claimUpdaterRun(updaterState.installDir);
    if (!claimed || findOtherInstance(updaterState.ownPath, GetCurrentProcessId())) {
        Sleep(SECOND_LOOK_MS);
        if (!claimed)
            claimed = claimUpdaterRun(updaterState.installDir);  // its holder may have ended meanwhile
        if (!claimed)
            showAnotherInstanceAndExit();
    }
    (void)SetCurrentDirectoryW(updaterState.installDir);  // it was made current at the start already
    buildRestartCommand();
    (void)formatText(updaterState.downloadUrl, DOWNLOAD_URL_CAPACITY, L"%s/%s", updaterState.serverBase,
                     updaterState.archivePath);
    if (readInt(L"General", L"upgrade_never_ask") == 1)
        (void)writeInt(L"General", L"upgrade_never_ask_tmp", 1);

    (void)ShowWindow(updaterState.mainWindow, SW_SHOW);
    updateMainWindow();
    setStatusText(L"Search Processess...");
    setDetailText(L" ");
    updateMainWindow();
    pumpMessages();
    waitForClients(1, CLIENT_EXIT_WAIT_SECONDS);
    if (wcsstr(updaterState.archivePath, L"kitfull")) {
        showPhase(L"Cleanup caches...");
        removeTree(updaterState.installDir, L"\\cache", L"\\*.*", showCacheEntry);
    }
    showPhase(L"Initiate download...");
    startDownload();
    (void)SetTimer(updaterState.mainWindow, UPDATE_TIMER_ID, UPDATE_TIMER_PERIOD_MS, nullptr);

    runMainLoop();
    updaterState.currentJob = nullptr;
    shutdownDownloadClient();  // the worker stops before the process ends, job or not
    exitProcess(0);
}
