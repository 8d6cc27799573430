#include "processes.h"

#include <tlhelp32.h>

#include <cwchar>

namespace {

StartedProcess startWith(HANDLE token, const std::wstring& commandLine, const std::wstring& directory)
{
    std::wstring line = commandLine;  // CreateProcess may write into its command line
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    const wchar_t* dir = directory.empty() ? nullptr : directory.c_str();
    BOOL started = token ? CreateProcessAsUserW(token, nullptr, &line[0], nullptr, nullptr, FALSE, 0,
                                                nullptr, dir, &startup, &info)
                         : CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, dir,
                                          &startup, &info);
    StartedProcess result;
    if (started) {
        CloseHandle(info.hThread);
        result.process = info.hProcess;
        result.id = info.dwProcessId;
    }
    return result;
}

}  // namespace

StartedProcess::StartedProcess(StartedProcess&& other) noexcept : process(other.process), id(other.id)
{
    other.process = nullptr;
}

StartedProcess& StartedProcess::operator=(StartedProcess&& other) noexcept
{
    if (this != &other) {
        if (process)
            CloseHandle(process);
        process = other.process;
        id = other.id;
        other.process = nullptr;
    }
    return *this;
}

StartedProcess::~StartedProcess()
{
    if (process)
        CloseHandle(process);
}

bool StartedProcess::wait(DWORD timeoutMs, DWORD* exitCode) const
{
    if (!process || WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(process, exitCode);
    return true;
}

StartedProcess startLimited(const std::wstring& commandLine, const std::wstring& directory)
{
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &own))
        return startPlain(commandLine, directory);
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    HANDLE primary = nullptr;
    if (GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size) && linked.LinkedToken) {
        if (!DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                              TokenPrimary, &primary))
            primary = nullptr;
        CloseHandle(linked.LinkedToken);
    }
    CloseHandle(own);
    if (!primary)
        return startPlain(commandLine, directory);
    StartedProcess result = startWith(primary, commandLine, directory);
    CloseHandle(primary);
    return result;
}

StartedProcess startPlain(const std::wstring& commandLine, const std::wstring& directory)
{
    return startWith(nullptr, commandLine, directory);
}

void readElevation(HANDLE process, int* elevated, int* elevationType)
{
    *elevated = *elevationType = -1;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return;
    TOKEN_ELEVATION elevation = {};
    TOKEN_ELEVATION_TYPE type = {};
    DWORD size = 0;
    if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
        *elevated = static_cast<int>(elevation.TokenIsElevated);
    if (GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size))
        *elevationType = static_cast<int>(type);
    CloseHandle(token);
}

namespace {

// The program file of a process. The system knows it from the process's creation on; the
// module list, the other source, is empty until the new process has loaded its program.
bool programFileOf(DWORD processId, wchar_t (&path)[MAX_PATH])
{
    if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId)) {
        DWORD size = MAX_PATH;
        BOOL named = QueryFullProcessImageNameW(process, 0, path, &size);
        CloseHandle(process);
        if (named)
            return true;
    }
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (modules == INVALID_HANDLE_VALUE)
        return false;
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    bool listed = Module32FirstW(modules, &module);  // the first module is the program file
    if (listed)
        wcscpy(path, module.szExePath);
    CloseHandle(modules);
    return listed;
}

}  // namespace

std::vector<DWORD> processesRunningFrom(const std::wstring& directory)
{
    std::vector<DWORD> found;
    std::wstring prefix = directory + L"\\";
    HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (processes == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof process;
    for (BOOL more = Process32FirstW(processes, &process); more; more = Process32NextW(processes, &process)) {
        wchar_t path[MAX_PATH];
        if (programFileOf(process.th32ProcessID, path) && _wcsnicmp(path, prefix.c_str(), prefix.size()) == 0)
            found.push_back(process.th32ProcessID);
    }
    CloseHandle(processes);
    return found;
}

bool waitForProcessesFrom(const std::wstring& directory, DWORD timeoutMs)
{
    // A process may start another just before it ends (a restart): only an empty answer that
    // holds for a while counts.
    constexpr DWORD QUIET_MS = 500;
    DWORD start = GetTickCount();
    DWORD quietSince = start;
    for (;;) {
        std::vector<DWORD> running = processesRunningFrom(directory);
        if (!running.empty())
            quietSince = GetTickCount();
        else if (GetTickCount() - quietSince >= QUIET_MS)
            return true;
        if (!running.empty() && GetTickCount() - start >= timeoutMs) {
            for (DWORD id : running) {
                if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
                    TerminateProcess(process, 1);
                    CloseHandle(process);
                }
            }
            return false;
        }
        Sleep(50);
    }
}

namespace {

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    bool (*accept)(HWND);
    HWND found;
};

BOOL CALLBACK matchTopWindow(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[64] = L"";
    GetClassNameW(window, className, 64);
    if (owner != search->processId || wcscmp(className, search->className) != 0 ||
        (search->accept && !search->accept(window)))
        return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

HWND findTopWindow(DWORD processId, const wchar_t* className, bool (*accept)(HWND))
{
    WindowSearch search = {processId, className, accept, nullptr};
    EnumWindows(matchTopWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}
