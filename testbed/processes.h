// Starting and waiting for programs the way the tests need them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A started process; the handles close when it goes.
struct StartedProcess {
    HANDLE process = nullptr;
    DWORD id = 0;
    StartedProcess() = default;
    StartedProcess(StartedProcess&& other) noexcept;
    StartedProcess& operator=(StartedProcess&& other) noexcept;
    StartedProcess(const StartedProcess&) = delete;
    ~StartedProcess();
    explicit operator bool() const { return process != nullptr; }
    // Waits up to timeoutMs; true and the exit code when it ended.
    bool wait(DWORD timeoutMs, DWORD* exitCode = nullptr) const;
};

// Starts commandLine exactly as given (the program splits it itself) with the limited token
// linked to the caller's elevated one, as a Windows shell starts a program for an
// administrator. Without a linked token (the caller is not elevated) it starts plainly.
StartedProcess startLimited(const std::wstring& commandLine, const std::wstring& directory = L"");

// Starts commandLine exactly as given with the caller's own token.
StartedProcess startPlain(const std::wstring& commandLine, const std::wstring& directory = L"");

// TokenElevation and TokenElevationType of a process (-1 when they cannot be read).
void readElevation(HANDLE process, int* elevated, int* elevationType);

// The first top-level window of process processId whose class is className and that accept
// (when given) takes; null when there is none.
HWND findTopWindow(DWORD processId, const wchar_t* className, bool (*accept)(HWND) = nullptr);

// Ids of the running processes whose program file lies in directory (letter case ignored).
std::vector<DWORD> processesRunningFrom(const std::wstring& directory);

// Waits up to timeoutMs for every process running from directory to end; those still running
// then are terminated. True when all had ended by themselves.
bool waitForProcessesFrom(const std::wstring& directory, DWORD timeoutMs);
