#include "process_guard.h"

#include "resource.h"
#include "settings.h"
#include "startup.h"
#include "text.h"
#include "updater_state.h"

#include <tlhelp32.h>

#include <cstdlib>
#include <cwchar>

namespace {

constexpr wchar_t CLIENT_FRAGMENT[] = L"zolt";
constexpr wchar_t OLD_CLIENT_FRAGMENT[] = L"kelmar";
constexpr wchar_t CLIENT_PROGRAM[] = L"zolt.exe";
constexpr wchar_t OLD_CLIENT_PROGRAM[] = L"kelmar.exe";
constexpr size_t NAME_PART_CAPACITY = 257;
constexpr wchar_t RUN_CLAIM_PREFIX[] = L"Global\\updater-run-";
constexpr wchar_t ANOTHER_INSTANCE_TEXT[] = L"Another instance of the updater is running already.\nWill exit now.";
constexpr wchar_t START_LOCK_PREFIX[] = L"Global\\updater-start-";
constexpr uint64_t FNV_OFFSET_BASIS = 14695981039346656037ULL;  // 64-bit FNV-1a
constexpr uint64_t FNV_PRIME = 1099511628211ULL;
constexpr DWORD WAIT_STEP_MS = 1000;
constexpr DWORD SETTLE_MS = 250;
constexpr DWORD AFTER_TERMINATE_MS = 500;
constexpr int FOLLOW_UP_STEPS = 5;
constexpr UINT PROMPT_STYLE_WITH_CANCEL = MB_SYSTEMMODAL | MB_ICONQUESTION | MB_YESNOCANCEL;
constexpr UINT PROMPT_STYLE = MB_SYSTEMMODAL | MB_ICONQUESTION | MB_YESNO;
constexpr wchar_t PROMPT_WITH_CANCEL[] =
    L"Waiting for other processes to exit...\nDo you want to terminate all %s processes?\n\n"
    L"'Yes' to terminate %s processes,\n'No' to continue waiting,\n'Cancel' to exit.";
constexpr wchar_t PROMPT[] =
    L"Waiting for other processes to exit...\nDo you want to terminate all %s processes?\n\n"
    L"'Yes' to terminate %s processes,\n'No' to continue waiting.";

HANDLE startLock;  // held from lockInstallStart to unlockInstallStart

// Calls visit for every process of a snapshot until it returns true; false without a snapshot.
template <typename Visit>
bool forEachProcess(Visit visit)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (visit(entry))
            break;
    }
    CloseHandle(snapshot);
    return true;
}

bool runsExecutable(DWORD processId, const wchar_t* path)
{
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (modules == INVALID_HANDLE_VALUE)
        return false;  // a process whose modules cannot be listed is passed over
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    bool found = false;
    for (BOOL more = Module32FirstW(modules, &module); more && !found; more = Module32NextW(modules, &module))
        found = _wcsicmp(module.szExePath, path) == 0;
    CloseHandle(modules);
    return found;
}

// Waits while a client runs, one second at a time, at most steps seconds.
void waitWhileClientRuns(int steps)
{
    for (int step = 0; step < steps && isClientRunning(); ++step)
        Sleep(WAIT_STEP_MS);
}

void terminateClients()
{
    wchar_t program[GUARD_TEXT_CAPACITY];
    clientProgramName(program, GUARD_TEXT_CAPACITY);
    (void)terminateByName(program);  // which ids went does not matter, only whether any remain
    (void)terminateByName(CLIENT_PROGRAM);
    (void)terminateByName(OLD_CLIENT_PROGRAM);
    Sleep(WAIT_STEP_MS);
    waitWhileClientRuns(FOLLOW_UP_STEPS);
}

constexpr size_t EXEC_CAPACITY = SETTINGS_TEXT_CAPACITY + 4;  // a value and the ".exe" added to it

// Where the arguments of an Exec value start: the blank after the first ".exe" that ends a
// word, or null when the value holds none ("my.exec.exe -x" has them after the second).
wchar_t* findExecArguments(wchar_t* exec)
{
    for (wchar_t* at = wcsstr(exec, L".exe"); at; at = wcsstr(at + 1, L".exe")) {
        wchar_t next = at[4];
        if (next == L'\0')
            return nullptr;
        if (next == L' ' || next == L'\t')
            return at + 4;
    }
    return nullptr;
}

}  // namespace

void clientProgramName(wchar_t* buffer, size_t size)
{
    clientCommand(buffer, size, nullptr, 0);
}

void clientCommand(wchar_t* program, size_t programSize, wchar_t* arguments, size_t argumentsSize)
{
    wchar_t exec[EXEC_CAPACITY];
    (void)formatText(exec, EXEC_CAPACITY, L"%s", readString(L"Launch", L"Exec"));  // always fits
    if (exec[0] && !wcsstr(exec, L".exe")) {
        size_t length = wcslen(exec);
        (void)formatText(exec + length, EXEC_CAPACITY - length, L".exe");
    }
    const wchar_t* rest = L"";
    if (wchar_t* end = findExecArguments(exec)) {
        *end = L'\0';
        rest = end + 1;
    }
    if (wcslen(exec) < 5) {
        (void)formatText(program, programSize, L"%s.exe", CLIENT_FRAGMENT);
        rest = L"";  // the default client takes none
    } else {
        (void)formatText(program, programSize, L"%s", exec);  // cut to fit
    }
    if (arguments) {
        (void)formatText(arguments, argumentsSize, L"%s", rest);  // cut to fit
        trimText(arguments);
    }
}

DWORD findProcessByName(const wchar_t* first, const wchar_t* second)
{
    DWORD found = 0;
    (void)forEachProcess([&](const PROCESSENTRY32W& entry) {
        if ((first && *first && !wcsstr(entry.szExeFile, first)) ||
            (second && *second && !wcsstr(entry.szExeFile, second)))
            return false;
        found = entry.th32ProcessID;
        return true;
    });
    return found;
}

bool isClientRunning()
{
    // One snapshot for both names: a snapshot is the dearest part of the check.
    bool found = false;
    (void)forEachProcess([&](const PROCESSENTRY32W& entry) {
        found = wcsstr(entry.szExeFile, CLIENT_FRAGMENT) || wcsstr(entry.szExeFile, OLD_CLIENT_FRAGMENT);
        return found;
    });
    return found;
}

DWORD findOtherInstance(const wchar_t* path, DWORD skipId)
{
    if (!path || !*path)
        return 0;
    wchar_t drive[NAME_PART_CAPACITY], dir[NAME_PART_CAPACITY], file[NAME_PART_CAPACITY], ext[NAME_PART_CAPACITY];
    if (_wsplitpath_s(path, drive, NAME_PART_CAPACITY, dir, NAME_PART_CAPACITY, file, NAME_PART_CAPACITY, ext,
                      NAME_PART_CAPACITY) != 0)
        return 0;  // a path this long names no running program
    if (wchar_t* quote = wcschr(file, L'"'))
        *quote = L'\0';
    if (wchar_t* quote = wcschr(ext, L'"'))
        *quote = L'\0';
    wchar_t image[2 * NAME_PART_CAPACITY];
    (void)formatText(image, 2 * NAME_PART_CAPACITY, L"%s%s", file[0] ? file : CLIENT_FRAGMENT,
                     ext[0] ? ext : L".exe");

    DWORD found = 0;
    (void)forEachProcess([&](const PROCESSENTRY32W& entry) {
        if (entry.th32ProcessID == skipId || _wcsicmp(entry.szExeFile, image) != 0)
            return false;
        if (!runsExecutable(entry.th32ProcessID, path))
            return false;
        found = entry.th32ProcessID;
        return true;
    });
    return found;
}

void installObjectName(const wchar_t* prefix, const wchar_t* installDir, wchar_t* name, size_t size)
{
    // The folder's final path: long names, the drive behind a mapped letter, junctions followed.
    wchar_t path[PATH_CAPACITY] = L"";
    HANDLE folder = CreateFileW(installDir ? installDir : L"", FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    DWORD length = 0;
    if (folder != INVALID_HANDLE_VALUE) {
        length = GetFinalPathNameByHandleW(folder, path, PATH_CAPACITY, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        CloseHandle(folder);
    }
    if (length == 0 || length >= PATH_CAPACITY)  // a folder that cannot be opened: its path as given
        (void)formatText(path, PATH_CAPACITY, L"%s", installDir ? installDir : L"");  // cut to fit
    // Letter case does not tell two folders apart; a hash keeps the name within an object name's length.
    (void)CharLowerBuffW(path, static_cast<DWORD>(wcslen(path)));
    uint64_t hash = FNV_OFFSET_BASIS;
    for (const wchar_t* c = path; *c; ++c)
        hash = (hash ^ static_cast<uint16_t>(*c)) * FNV_PRIME;
    (void)formatText(name, size, L"%s%016llx", prefix, static_cast<unsigned long long>(hash));
}

bool claimUpdaterRun(const wchar_t* installDir)
{
    static HANDLE claim;  // held until the process ends
    if (claim)
        return true;
    wchar_t name[INSTALL_OBJECT_NAME_CAPACITY];
    installObjectName(RUN_CLAIM_PREFIX, installDir, name, INSTALL_OBJECT_NAME_CAPACITY);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex)
        return GetLastError() != ERROR_ACCESS_DENIED;  // denied: another user's run holds it
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);  // so that the claim goes once its holder ends
        return false;
    }
    claim = mutex;
    return true;
}

bool isUpdaterRunClaimed(const wchar_t* installDir)
{
    wchar_t name[INSTALL_OBJECT_NAME_CAPACITY];
    installObjectName(RUN_CLAIM_PREFIX, installDir, name, INSTALL_OBJECT_NAME_CAPACITY);
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
    if (!mutex)
        return GetLastError() == ERROR_ACCESS_DENIED;  // denied: another user's run holds it
    CloseHandle(mutex);
    return true;
}

void showAnotherInstanceAndExit()
{
    (void)MessageBoxW(updaterState.mainWindow, ANOTHER_INSTANCE_TEXT, loadText(IDS_UPDATE_CAPTION),
                      MB_ICONERROR | MB_SYSTEMMODAL);  // any answer ends the run
    exitProcess(0);
}

bool lockInstallStart(const wchar_t* installDir, DWORD waitMs)
{
    if (startLock)
        return true;
    wchar_t name[INSTALL_OBJECT_NAME_CAPACITY];
    installObjectName(START_LOCK_PREFIX, installDir, name, INSTALL_OBJECT_NAME_CAPACITY);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex)
        mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);  // another user's start made it
    if (!mutex)
        return false;
    // Abandoned: a start that ended holding it, which changed nothing by halves.
    DWORD waited = WaitForSingleObject(mutex, waitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return false;
    }
    startLock = mutex;
    return true;
}

void unlockInstallStart()
{
    if (!startLock)
        return;
    (void)ReleaseMutex(startLock);  // held by this thread: it cannot fail
    CloseHandle(startLock);
    startLock = nullptr;
}

DWORD terminateByName(const wchar_t* name)
{
    if (!name || !*name)
        return 0;
    DWORD own = GetCurrentProcessId();
    DWORD last = 0;
    (void)forEachProcess([&](const PROCESSENTRY32W& entry) {
        if (entry.th32ProcessID == own || _wcsicmp(entry.szExeFile, name) != 0)
            return false;
        last = entry.th32ProcessID;
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID)) {
            (void)TerminateProcess(process, 0);  // one that survives brings the question back
            CloseHandle(process);
            Sleep(AFTER_TERMINATE_MS);
        }
        return false;  // every match is treated
    });
    return last;
}

void waitForClients(int allowCancel, int initialWaitSeconds)
{
    if (initialWaitSeconds > 0) {
        waitWhileClientRuns(initialWaitSeconds);
        Sleep(SETTLE_MS);
    }
    while (isClientRunning()) {
        wchar_t prompt[GUARD_TEXT_CAPACITY];
        (void)formatText(prompt, GUARD_TEXT_CAPACITY, allowCancel ? PROMPT_WITH_CANCEL : PROMPT, CLIENT_FRAGMENT,
                         CLIENT_FRAGMENT);
        int answer = MessageBoxW(updaterState.mainWindow, prompt, loadText(IDS_UPDATE_CAPTION),
                                 allowCancel ? PROMPT_STYLE_WITH_CANCEL : PROMPT_STYLE);
        if (answer == IDYES) {
            terminateClients();
        } else if (allowCancel && answer != IDNO) {
            endProgram();  // Cancel, or a question that could not be shown where Cancel is offered
        } else {
            waitWhileClientRuns(FOLLOW_UP_STEPS);  // No, or a question not shown without Cancel
        }
    }
}
