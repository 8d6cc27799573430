// Archive installer: unpacks a 7z archive over the current directory (the install directory)
// entry by entry with the LZMA SDK's decoder, lists the run in upgrade.log, and reports through
// an event handler. Main thread; blocks for the whole run.
#pragma once

#include <cstddef>

// Events sent to the handler; the payload is valid only during the call.
namespace InstallEvent {
enum : int {
    Started = 22,     // archive opened: the archive name (narrow)
    EntryName = 7,    // before each entry: its name in UTF-8 with "/" separators
    Progress = 5,     // after EntryName: unsigned short, (index + 1) / entries * 32700
    FileLocked = 8,   // each pass of the wait for a locked file: its name in UTF-8 with "\"
    Failed = 4,       // at the end of a failed run: the message for the user (narrow)
};
}

using InstallEventHandler = int (*)(int event, const void* payload);  // result ignored

constexpr int PROGRESS_SCALE = 32700;
// Passes of about 3 s each that a locked file is waited for before it is moved aside or
// written beside itself as ".new": about a minute in all. The running program's own file is
// not waited for: it cannot be released while the program runs.
constexpr int LOCK_WAIT_PASSES = 20;

// Installs every entry of archiveName (narrow, relative to the current directory), all or
// nothing. Returns the LZMA SDK's result: 0 (SZ_OK) when every entry was installed; 1 also when
// the archive cannot be opened (no event then), 11 (SZ_ERROR_FAIL) when a file cannot be
// written, or when the archive cannot be installed whole (then nothing is written at all: a
// name that would leave the install directory or that Windows cannot create, a path too long,
// a folder where the archive has a file or a file where it has a folder, names that clash
// inside the archive, too little free space, an earlier run's upgrade.journal); -1 for a null
// name. A run that fails after its first change puts the install directory back as it was
// before (install_journal.h) before it sends Failed. handler may be null: then no events are
// sent and a locked file is not waited for. A file that stays is moved into the temporary
// folder (or, when that is on another volume, beside itself) under a new name of its own, or
// else the entry is written beside it as ".new"; the entry's log line says which. When Failed
// is sent, the thread's last error is the system's reason for the failing operation, or 0
// when it has none.
int installArchive(const char* archiveName, InstallEventHandler handler);

// Gives the next installArchive memory (from malloc, capacity bytes) to decode its solid blocks
// into; the run frees it when it ends. Memory that is already in use costs nothing to touch
// again, while the system zeroes each page of a fresh block on its first touch. A second offer
// before a run replaces the first.
void offerDecodingMemory(void* memory, size_t capacity);

// Whether an entry name (UTF-16, "/" or "\" as separators) stays inside the install
// directory: no absolute or drive path, no "..", no ":" and no reserved device name.
bool isSafeEntryName(const wchar_t* name);

// Whether Windows can create an entry name (UTF-16, "/" or "\" as separators): not empty, no
// empty part, no control character or any of < > " | ? *, no part ending in a dot or a blank
// ("." alone is a part that stays where it is, but cannot end the name).
bool isCreatableEntryName(const wchar_t* name);

// Whether an entry (UTF-16, "/" or "\" as separators) fits Windows' path limits without
// long-path support when it is made under the current directory: files below MAX_PATH,
// folders with room for an 8.3 name within it.
bool fitsPathLimits(const wchar_t* name, bool isDir);
