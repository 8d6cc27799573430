// Process guard: keeps the client out of the way while files are replaced, and finds another
// running updater. The client is any process whose image name contains "zolt" or "kelmar".
// Main thread only.
#pragma once

#include <windows.h>

constexpr size_t GUARD_TEXT_CAPACITY = 520;

// The client program: Exec of section Launch, with ".exe" appended when it holds none, and
// "zolt.exe" for anything shorter than 5 characters. Arguments after the ".exe" (Exec
// "zolt.exe -x") are not part of the name. Cut to fit size.
void clientProgramName(wchar_t* buffer, size_t size);
// As clientProgramName, and also the arguments that Exec gives after the program's ".exe",
// without blanks around them (empty when there are none), cut to fit argumentsSize; arguments
// may be null.
void clientCommand(wchar_t* program, size_t programSize, wchar_t* arguments, size_t argumentsSize);

// Id of the first process whose image name contains every non-empty fragment (case counts),
// or 0. The own process is not skipped.
DWORD findProcessByName(const wchar_t* first, const wchar_t* second);

// Whether some client (zolt or kelmar) is running.
bool isClientRunning();

// Id of a process other than skipId that runs the executable at path (compared without
// regard to case), or 0. Processes running a same-named program from elsewhere do not count.
DWORD findOtherInstance(const wchar_t* path, DWORD skipId);

constexpr size_t INSTALL_OBJECT_NAME_CAPACITY = 64;

// The name of an object that stands for the install directory installDir: prefix and a hash of
// the folder's final path in lower case, so that every spelling of one folder (a short name, a
// mapped drive, a junction) gives one name. Cut to fit size.
void installObjectName(const wchar_t* prefix, const wchar_t* installDir, wchar_t* name, size_t size);

// Claims the one update run of the install directory for this process, for as long as it
// lives: true when no other process holds the claim (another user's included). Two updaters
// that start at the same moment see each other; the claim lets exactly one of them go on. Also
// true when no claim can be made at all.
bool claimUpdaterRun(const wchar_t* installDir);

// Tells the user that another updater runs the install ("Another instance ...") and ends the
// process with exit code 0.
[[noreturn]] void showAnotherInstanceAndExit();

// Takes the lock that lets one start at a time read and write the settings of the install
// directory, waiting for it at most waitMs: false when another start still holds it then, or
// when it cannot be had at all. unlockInstallStart lets it go; the end of the process does too.
bool lockInstallStart(const wchar_t* installDir, DWORD waitMs);
void unlockInstallStart();

// Whether some process, this one included, holds the claim on the update run of installDir.
bool isUpdaterRunClaimed(const wchar_t* installDir);

// Terminates every process but this one whose image name is name (letter case ignored);
// returns the id of the last one that matched, or 0.
DWORD terminateByName(const wchar_t* name);

// Returns once no client runs. First waits up to initialWaitSeconds for the clients to end
// by themselves, then asks the user to terminate them: Yes terminates (Exec of [Launch],
// zolt.exe, kelmar.exe), No waits some more, and Cancel (offered with allowCancel) ends the
// program with exit code 0. A question that cannot be shown counts as Cancel where Cancel is
// offered, else as No.
void waitForClients(int allowCancel, int initialWaitSeconds);
