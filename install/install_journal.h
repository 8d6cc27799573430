// Install journal: the safety of an installation. Before each change to the install directory
// the installer records it in "upgrade.journal" (UTF-8 text, a line per change), so that a run
// that fails puts everything back, and one that died is put back at the next start. Old files
// are kept aside, renamed within their own folder (or into the temporary folder), until the
// run is over. Paths are taken as given: relative ones against the current directory, which
// is the install directory. Main thread only; one run at a time.
#pragma once

#include <windows.h>

extern const wchar_t INSTALL_JOURNAL_NAME[];  // "upgrade.journal"

// Results: 0, or 11 (the installer's SZ_ERROR_FAIL) with the system's reason in *reason.
// Starts the run's journal. One already there (a run that could not be put back) is left
// alone, and the run may not start.
int beginJournal(DWORD* reason);
// Records a file or folder that the run is about to create (on undo: deleted, removed).
void recordCreated(const wchar_t* path, bool isFolder);
// Records that path is about to be kept aside at aside (on undo: put back over what is at
// path). When the run succeeds a kept file is deleted, unless it stays (a file the entry's
// line names) or cannot be deleted.
void recordKeptAside(const wchar_t* path, const wchar_t* aside, bool stays);
// Records path's attributes before the run changes them on a file it keeps (on undo: set back).
void recordAttributes(const wchar_t* path, DWORD attributes);
// Writes what was recorded since the last call to the journal: call it before the changes.
// That is enough when the process is stopped; a power cut may still lose what was written.
int writeJournal(DWORD* reason);
// Writes as writeJournal, then has the system put the journal on the disk, so that a power cut
// never keeps a rename or deletion made after it without its line. It takes milliseconds:
// call it once before a batch of such changes, not per change.
int flushJournal(DWORD* reason);
// A fresh name in path's folder, free now, for a file of the run's own (extension ".tmp" or
// ".old"). False when path has no room for one.
bool freshNameBeside(const wchar_t* path, const wchar_t* extension, wchar_t (&name)[MAX_PATH]);
// A fresh name in the temporary folder, free now ("bacXXXX.tmp"). False when there is none.
bool freshTempName(wchar_t (&name)[MAX_PATH]);

// Ends a run that succeeded: deletes what was kept aside and the journal.
void commitJournal();
// Ends a run that failed: puts the install directory back as it was and logs that. 0 when
// everything went back (the journal is gone), else the number of changes that could not be
// undone (the journal stays for the next start).
int undoJournal();
// At start, before anything else: puts back what a run that died left, and logs it. Nothing
// happens without a journal; one that cannot be read whole stays where it is.
void recoverInterruptedInstall();
