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

// Claims the one run of the updater at path for this process, for as long as it lives: true
// when no other process holds the claim. Two updaters that start at the same moment see each
// other; the claim lets exactly one of them go on. Also true when no claim can be made at all.
bool claimUpdaterRun(const wchar_t* path);
// Whether some process, this one included, holds the claim on the run of the updater at path.
bool isUpdaterRunClaimed(const wchar_t* path);

// Terminates every process but this one whose image name is name (letter case ignored);
// returns the id of the last one that matched, or 0.
DWORD terminateByName(const wchar_t* name);

// Returns once no client runs. First waits up to initialWaitSeconds for the clients to end
// by themselves, then asks the user to terminate them: Yes terminates (Exec of [Launch],
// zolt.exe, kelmar.exe), No waits some more, and Cancel (offered with allowCancel) ends the
// program with exit code 0. A question that cannot be shown counts as Cancel where Cancel is
// offered, else as No.
void waitForClients(int allowCancel, int initialWaitSeconds);
