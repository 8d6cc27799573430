#include "archive_installer.h"

#include "install_journal.h"
#include "text.h"
#include "upgrade_log.h"

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include <algorithm>

extern "C" {
#include "7z.h"
#include "7zBuf.h"
#include "7zCrc.h"
#include "7zFile.h"
}

namespace {

constexpr size_t READ_BUFFER_SIZE = 1 << 18;       // 256 KiB look-ahead block
constexpr size_t WORKING_DIR_CAPACITY = 256;       // the log line shows at most 255 characters
constexpr size_t PATH_PART_CAPACITY = 260;
constexpr size_t FULL_PATH_CAPACITY = 2 * MAX_PATH;  // room to see that a path is too long
// Without long-path support Windows takes file paths below MAX_PATH, and folder paths that
// leave room for an 8.3 name (12 characters) within it.
constexpr size_t FILE_PATH_LIMIT = MAX_PATH - 1;
constexpr size_t FOLDER_PATH_LIMIT = MAX_PATH - 12 - 1;
constexpr UInt32 NO_BLOCK = 0xFFFFFFFF;
constexpr UInt32 ATTRIBUTE_HIGH_BITS = 0xF0000000;  // set: only the low 15 bits are Windows ones
constexpr UInt32 ATTRIBUTE_LOW_BITS = 0x7FFF;
constexpr DWORD LOCK_FIRST_SLEEP_MS = 1000;
constexpr DWORD LOCK_SECOND_SLEEP_MS = 2000;
constexpr char RULE[] = "----------------------------------------------------------------------------\n";
constexpr UInt32 NO_FOLDER = 0xFFFFFFFF;            // an entry without data (empty file, folder)
constexpr size_t LARGE_WRITE_BYTES = 4 << 20;       // writing this much may take noticeable time
constexpr size_t LOG_FIELDS_CAPACITY = 64;          // time, attribute letters and size of a line
constexpr UInt64 CLUSTER_BYTES = 4096;              // what a file takes on disk is rounded up to this
constexpr UInt64 FREE_SPACE_MARGIN = 1 << 20;       // folders and the log, with room to spare
constexpr UInt64 JOURNAL_BYTES_PER_ENTRY = 1024;    // an entry's lines in upgrade.journal, at most
constexpr int NAME_TRIES = 64;                      // fresh names tried before giving up
constexpr char JOURNAL_FAILURE[] = "can not write the installation journal";
// Outcomes of making way for an entry's file: the old one went aside, or it stays where it is.
constexpr int KEPT_ASIDE = 0;
constexpr int STAYS = 1;
constexpr wchar_t REPLACEMENT_EXTENSION[] = L".new";  // an entry whose old file stays is written as this
// Entries whose files are written but wait for their renames, which then follow one flush of
// the journal. Larger batches gain little once the flush is a small part of a batch's time.
constexpr size_t BATCH_CAPACITY = 256;
constexpr size_t PREFAULT_RUN_BYTES = 64 << 10;  // well within the pages any process may lock at once

void* allocate(ISzAllocPtr, size_t size)
{
    return size ? malloc(size) : nullptr;
}

void release(ISzAllocPtr, void* block)
{
    free(block);
}

const ISzAlloc heap = {allocate, release};

// The decoded solid block: one buffer, as large as the largest block, serves every block of the
// run. A fresh buffer per block has the system zero all its pages again, which takes longer than
// decoding a block of stored binaries or well-packed text.
Byte* keptBlock = nullptr;
size_t keptBlockCapacity = 0;
size_t largestBlockSize = 0;  // the run's, known before the first block is decoded

// Has the system give a fresh buffer's pages in runs before the decoder writes them. A run's
// lock takes its pages in one call; the decoder's first touches fault once per page, which costs
// several times more (measured under Wine: 256 MiB in about 0.2 s against 1.0 to 1.4 s).
void prefault(Byte* buffer, size_t size)
{
    for (size_t offset = 0; offset < size; offset += PREFAULT_RUN_BYTES) {
        size_t length = size - offset < PREFAULT_RUN_BYTES ? size - offset : PREFAULT_RUN_BYTES;
        if (!VirtualLock(buffer + offset, length))
            return;  // the pages left come at their first touch
        (void)VirtualUnlock(buffer + offset, length);  // locked only to have the pages given
    }
}

void* allocateBlock(ISzAllocPtr, size_t size)
{
    if (size <= keptBlockCapacity)
        return keptBlock;
    free(keptBlock);
    keptBlockCapacity = size > largestBlockSize ? size : largestBlockSize;
    keptBlock = static_cast<Byte*>(malloc(keptBlockCapacity));
    if (!keptBlock && keptBlockCapacity > size)
        keptBlock = static_cast<Byte*>(malloc(keptBlockCapacity = size));  // this block, at least
    if (!keptBlock)
        keptBlockCapacity = 0;
    else
        prefault(keptBlock, keptBlockCapacity);
    return keptBlock;
}

void keepBlock(ISzAllocPtr, void*)
{
    // kept for the next block; releaseKeptBlock() frees it when the run ends
}

void releaseKeptBlock()
{
    free(keptBlock);
    keptBlock = nullptr;
    keptBlockCapacity = 0;
    largestBlockSize = 0;
}

const ISzAlloc blockHeap = {allocateBlock, keepBlock};

// One run of installArchive: everything it holds, released by finish().
struct Run {
    const char* archiveName;
    InstallEventHandler handler;
    CFileInStream archive;
    CLookToRead2 reader;
    CSzArEx database;
    UInt16* name = nullptr;        // the current entry's name, UTF-16
    size_t nameCapacity = 0;       // in units
    UInt32 blockIndex = NO_BLOCK;  // decoding cache across the entries of a solid block
    Byte* block = nullptr;
    size_t blockSize = 0;
    wchar_t ownImage[FULL_PATH_CAPACITY] = {};  // the running program's file; empty when unknown
    DWORD reason = 0;                           // the system's reason for the failure, if it gave one
    bool journaled = false;                     // changes are recorded: a failure puts them back
    wchar_t checkedFolder[FULL_PATH_CAPACITY] = {};  // no file stands on the way to it
    wchar_t madeFolder[FULL_PATH_CAPACITY] = {};     // it and every folder on its way exist
    const char* failure = nullptr;  // why the run fails, for the log once the entry's line is open
};

// An entry of the batch: listed in the log and, for a file, put in place at the batch's end.
struct PendingEntry {
    UInt32 index;
    bool isDir;
    bool existed;  // an old file was at path when the new one was written
    bool program;  // the old file is a running program's
    bool quick;    // the old file goes to aside, as the journal says
    UInt32 place;  // placeOf(path)
    wchar_t path[FULL_PATH_CAPACITY];  // the entry's name with "\\" separators
    wchar_t fresh[MAX_PATH];           // the new file, written whole
    HANDLE freshFile;                  // still open on it until it has its name; null once closed
    wchar_t aside[MAX_PATH];
};

PendingEntry batch[BATCH_CAPACITY];
size_t batchCount = 0;

void send(const Run& run, int event, const void* payload)
{
    if (run.handler)
        (void)run.handler(event, payload);  // the handler's answer means nothing here
}

// Reads entry index's name into the name buffer, growing it when the name is longer.
SRes loadName(Run& run, UInt32 index)
{
    size_t length = SzArEx_GetFileNameUtf16(&run.database, index, nullptr);
    if (length > run.nameCapacity) {
        free(run.name);
        run.nameCapacity = 0;
        run.name = static_cast<UInt16*>(malloc(length * sizeof(UInt16)));
        if (!run.name)
            return SZ_ERROR_MEM;
        run.nameCapacity = length;
    }
    (void)SzArEx_GetFileNameUtf16(&run.database, index, run.name);
    return SZ_OK;
}

// UTF-8 form of a name into a fresh SDK buffer: 0, 2 (no memory) or 11 (cannot convert).
SRes toUtf8(const UInt16* name, CBuf* out)
{
    size_t units = 0;
    while (name[units])
        ++units;
    size_t size = 3 * units + 100;
    if (size > INT_MAX || !Buf_Create(out, size, &heap))
        return SZ_ERROR_MEM;
    int written = WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<const wchar_t*>(name), static_cast<int>(units),
                                      reinterpret_cast<char*>(out->data), static_cast<int>(size - 1), nullptr,
                                      nullptr);
    if (written <= 0 || static_cast<size_t>(written) >= size)
        return SZ_ERROR_FAIL;
    out->data[written] = 0;
    return SZ_OK;
}

// Sends event with the UTF-8 form of name; nothing is sent when it cannot be converted.
void sendName(const Run& run, int event, const UInt16* name)
{
    if (!run.handler)
        return;
    CBuf text;
    Buf_Init(&text);
    if (toUtf8(name, &text) == SZ_OK)
        send(run, event, text.data);
    Buf_Free(&text, &heap);
}

bool exists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool isSeparator(wchar_t c)
{
    return c == L'/' || c == L'\\';
}

bool isReservedDeviceName(const wchar_t* component, size_t length)
{
    // The device is the part before the first dot; Windows also ignores trailing blanks there.
    size_t base = 0;
    while (base < length && component[base] != L'.')
        ++base;
    while (base > 0 && component[base - 1] == L' ')
        --base;
    wchar_t upper[5] = {};
    if (base < 3 || base > 4)
        return false;
    for (size_t i = 0; i < base; ++i)
        upper[i] = static_cast<wchar_t>(towupper(component[i]));
    if (base == 3)
        return !wcscmp(upper, L"CON") || !wcscmp(upper, L"PRN") || !wcscmp(upper, L"AUX") || !wcscmp(upper, L"NUL");
    bool numbered = upper[3] >= L'1' && upper[3] <= L'9';
    return numbered && (!wcsncmp(upper, L"COM", 3) || !wcsncmp(upper, L"LPT", 3));
}

// Components made only of dots and blanks (".." among them) climb or vanish under Windows'
// path rules; a lone "." is harmless.
bool isClimbingComponent(const wchar_t* component, size_t length)
{
    if (length == 1 && component[0] == L'.')
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (component[i] != L'.' && component[i] != L' ')
            return false;
    }
    return length > 0;
}

// Whether folder is known or one of the folders on its way; both ("\\" separators).
bool isOnTheWayTo(const wchar_t* known, const wchar_t* folder)
{
    size_t length = wcslen(folder);
    return !wcsncmp(known, folder, length) && (known[length] == L'\0' || known[length] == L'\\');
}

// Creates folder when it is missing, recorded in the journal first. 0, or 11 when the journal
// cannot be written.
SRes makeFolder(Run& run, const wchar_t* folder)
{
    if (isOnTheWayTo(run.madeFolder, folder) || exists(folder))
        return SZ_OK;
    recordCreated(folder, true);
    if (writeJournal(&run.reason) != 0)
        return SZ_ERROR_FAIL;
    (void)CreateDirectoryW(folder, nullptr);  // a failure shows when the entry's file is made
    return SZ_OK;
}

// Makes every folder on the way to the entry (and a folder entry itself) and turns its "/"
// into "\\".
SRes makeFolders(Run& run, UInt16* name, bool isDir)
{
    wchar_t* path = reinterpret_cast<wchar_t*>(name);
    for (wchar_t* c = path; *c; ++c) {
        if (*c == L'/') {
            *c = L'\0';
            SRes result = makeFolder(run, path);
            *c = L'\\';
            if (result != SZ_OK)
                return result;
        }
    }
    SRes result = isDir ? makeFolder(run, path) : SZ_OK;
    wchar_t* last = wcsrchr(path, L'\\');
    size_t known = isDir ? wcslen(path) : last ? static_cast<size_t>(last - path) : 0;
    (void)formatText(run.madeFolder, FULL_PATH_CAPACITY, L"%.*s", static_cast<int>(known), path);  // fits: a shorter path
    return result;
}


// Whether path names the running program's own file, which cannot go while the program runs.
bool isOwnImage(const Run& run, const wchar_t* path)
{
    wchar_t full[FULL_PATH_CAPACITY];
    DWORD length = GetFullPathNameW(path, FULL_PATH_CAPACITY, full, nullptr);
    return run.ownImage[0] && length > 0 && length < FULL_PATH_CAPACITY &&
           CompareStringOrdinal(full, -1, run.ownImage, -1, TRUE) == CSTR_EQUAL;
}

// Whether path is a program's file in use: the running program's own, or a program file that
// cannot be opened for writing. It can be renamed but not deleted while that program runs.
void logFileNote(const char* format, const wchar_t* path);

bool isRunningProgram(const Run& run, const wchar_t* path)
{
    if (isOwnImage(run, path))
        return true;
    const wchar_t* extension = wcsrchr(path, L'.');
    if (!extension || (_wcsicmp(extension, L".exe") && _wcsicmp(extension, L".dll")))
        return false;
    HANDLE probe = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(probe);
    return false;
}

// A fresh name beside path that no file has now.
bool freeNameBeside(const wchar_t* path, wchar_t (&name)[MAX_PATH])
{
    for (int tries = 0; tries < NAME_TRIES; ++tries) {
        if (!freshNameBeside(path, L".old", name))
            return false;
        if (!exists(name))
            return true;
    }
    return false;
}

// Keeps path aside under a name of its own, recorded first: beside it, or (inTemp) in the
// temporary folder. A file that stays there after the run (stays) is named in the entry's
// line. KEPT_ASIDE, STAYS when it could not move, or 11 when the journal cannot be written.
int keepAside(Run& run, const wchar_t* path, bool inTemp, bool stays)
{
    wchar_t aside[MAX_PATH];
    if (inTemp ? !freshTempName(aside) : !freeNameBeside(path, aside))
        return STAYS;
    recordKeptAside(path, aside, stays);
    if (flushJournal(&run.reason) != 0)
        return SZ_ERROR_FAIL;
    if (!MoveFileExW(path, aside, 0))
        return STAYS;  // the journal's line stands for nothing: there is no file at aside
    if (stays)
        logFileNote(" (old file moved aside to %s)", aside);
    return KEPT_ASIDE;
}

// Makes way for the entry at path when the quick move aside failed or was not for it: a
// running program's file goes into the temporary folder (else beside itself, and stays); a
// locked one is waited for (with a handler, the events naming path), then moved into the
// temporary folder; else the entry is written as ".new" (STAYS).
int clearWayFor(Run& run, const wchar_t* path, bool program)
{
    int kept = program ? keepAside(run, path, true, true) : STAYS;
    if (kept == STAYS)
        kept = keepAside(run, path, false, program);
    // The program's own file is released only when it ends: it is not waited for.
    if (kept != STAYS || !run.handler || isOwnImage(run, path))
        return kept;
    (void)releaseLog();  // the lines so far reach the log before the wait; a lost line does not stop the run
    for (int pass = 0; pass < LOCK_WAIT_PASSES; ++pass) {
        sendName(run, InstallEvent::FileLocked, reinterpret_cast<const UInt16*>(path));
        Sleep(LOCK_FIRST_SLEEP_MS);
        if ((kept = keepAside(run, path, false, false)) != STAYS)
            return kept;
        Sleep(LOCK_SECOND_SLEEP_MS);
    }
    // A client may have started during the wait: the handler looks once more.
    sendName(run, InstallEvent::EntryName, reinterpret_cast<const UInt16*>(path));
    if ((kept = keepAside(run, path, false, false)) != STAYS)
        return kept;
    return keepAside(run, path, true, true);
}

// The entry's bytes go to a new file of the run's own beside path, made with CREATE_NEW so
// that no file of anyone else is ever taken. It is opened for renaming too: it gets its name
// through the same handle, which saves the system opening it again by name.
// 0, or the system's reason.
DWORD createFreshFile(const wchar_t* path, CSzFile* out, wchar_t (&fresh)[MAX_PATH])
{
    for (int tries = 0; tries < NAME_TRIES; ++tries) {
        if (!freshNameBeside(path, L".tmp", fresh))
            return ERROR_FILENAME_EXCED_RANGE;
        out->handle = CreateFileW(fresh, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out->handle != INVALID_HANDLE_VALUE)
            return 0;
        DWORD reason = GetLastError();
        if (reason != ERROR_FILE_EXISTS && reason != ERROR_ALREADY_EXISTS)
            return reason;
    }
    return ERROR_FILE_EXISTS;
}

// The name with the extension ".new" that the entry is written as when its file stays.
bool replacementName(const wchar_t* path, wchar_t (&replacement)[MAX_PATH])
{
    wchar_t drive[PATH_PART_CAPACITY], dir[PATH_PART_CAPACITY], file[PATH_PART_CAPACITY], ext[PATH_PART_CAPACITY];
    if (_wsplitpath_s(path, drive, PATH_PART_CAPACITY, dir, PATH_PART_CAPACITY, file, PATH_PART_CAPACITY, ext,
                      PATH_PART_CAPACITY) != 0)
        return false;
    int written = _snwprintf(replacement, MAX_PATH - 1, L"%s%s%s%s", drive, dir, file, REPLACEMENT_EXTENSION);
    if (written < 0)
        return false;
    replacement[written] = L'\0';
    return true;
}

// Records why the run fails, for logOutputFailure.
SRes failOutput(Run& run, const char* what, DWORD reason)
{
    run.reason = reason;
    run.failure = what;
    return SZ_ERROR_FAIL;
}

// Ends the entry's line of the log with what failOutput recorded, if anything.
void logOutputFailure(Run& run)
{
    if (!run.failure)
        return;
    (void)logLine("\r");
    (void)logLine("ERROR: %s\n", run.failure);
    run.failure = nullptr;
}

// Continues the entry's log line with a note naming a file (format holds one "%s").
void logFileNote(const char* format, const wchar_t* path)
{
    CBuf utf8;
    Buf_Init(&utf8);
    if (toUtf8(reinterpret_cast<const UInt16*>(path), &utf8) == SZ_OK)
        (void)logLine(format, reinterpret_cast<const char*>(utf8.data));  // a lost note does not stop the run
    Buf_Free(&utf8, &heap);
}

void closeFreshFile(PendingEntry& entry)
{
    if (entry.freshFile)
        (void)CloseHandle(entry.freshFile);  // written whole already: nothing is lost
    entry.freshFile = nullptr;
}

// Gives the entry's new file the name target, through its open handle when the system allows
// that, else by name once it is closed. The file is closed afterwards either way.
bool renameFreshFile(PendingEntry& entry, const wchar_t* target)
{
    // Sized for a full path: the rename takes it whole, whatever folder the file is in.
    struct {
        FILE_RENAME_INFO info;
        wchar_t room[FULL_PATH_CAPACITY];
    } rename = {};
    DWORD length = GetFullPathNameW(target, FULL_PATH_CAPACITY, rename.info.FileName, nullptr);
    bool renamed = false;
    if (entry.freshFile && length > 0 && length < FULL_PATH_CAPACITY) {
        rename.info.ReplaceIfExists = FALSE;
        rename.info.FileNameLength = length * sizeof(wchar_t);
        renamed = SetFileInformationByHandle(entry.freshFile, FileRenameInfo, &rename, sizeof rename) != FALSE;
    }
    closeFreshFile(entry);
    return renamed || MoveFileExW(entry.fresh, target, 0);
}

// Writes the entry's bytes to a file of the run's own beside its place, recorded first with
// what its renames will do. At every moment the entry's file is old or new, never half written.
// The file stays open for its rename.
SRes writeFreshFile(Run& run, PendingEntry& entry, size_t offset, size_t size)
{
    const wchar_t* path = entry.path;
    entry.existed = exists(path);
    CSzFile out;
    File_Construct(&out);
    DWORD reason = createFreshFile(path, &out, entry.fresh);
    if (reason != 0)
        return failOutput(run, "can not open output file", reason);
    recordCreated(entry.fresh, false);
    // Most old files go aside by a quick rename at the batch's end, recorded now with the new file.
    entry.program = entry.existed && isRunningProgram(run, path);
    entry.quick = entry.existed && !entry.program && freeNameBeside(path, entry.aside);
    if (entry.quick)
        recordKeptAside(path, entry.aside, false);
    else if (!entry.existed)
        recordCreated(path, false);
    if (writeJournal(&reason) != 0) {
        (void)File_Close(&out);  // the journal's failure is what gets reported
        return failOutput(run, JOURNAL_FAILURE, reason);
    }
    size_t written = size;
    WRes wrote = File_Write(&out, run.block + offset, &written);
    if (wrote != 0 || written != size) {
        (void)File_Close(&out);  // the write error is what gets reported
        return failOutput(run, "can not write output file", static_cast<DWORD>(wrote));
    }
    entry.freshFile = out.handle;
    return SZ_OK;
}

// Gives the entry's new file its name once the old file is kept aside (or, when that stays,
// the name ".new"), then the entry's attributes. The journal is on the disk up to here.
SRes placeFile(Run& run, PendingEntry& entry)
{
    const wchar_t* path = entry.path;
    const wchar_t* target = path;
    wchar_t replacement[MAX_PATH];
    if (entry.existed && !(entry.quick && MoveFileExW(path, entry.aside, 0))) {
        int kept = clearWayFor(run, path, entry.program);
        if (kept == SZ_ERROR_FAIL)
            return failOutput(run, JOURNAL_FAILURE, run.reason);
        if (kept == STAYS) {
            if (!replacementName(path, replacement))
                return failOutput(run, "can not open output file", ERROR_FILENAME_EXCED_RANGE);
            // An older ".new" is kept aside like any file; the stayed file's attributes change below.
            DWORD attributes = GetFileAttributesW(replacement);
            kept = attributes == INVALID_FILE_ATTRIBUTES ? KEPT_ASIDE : keepAside(run, replacement, false, false);
            if (kept != KEPT_ASIDE)
                return failOutput(run, kept == STAYS ? "can not open output file" : JOURNAL_FAILURE, run.reason);
            if (attributes == INVALID_FILE_ATTRIBUTES)
                recordCreated(replacement, false);
            recordAttributes(path, GetFileAttributesW(path));
            if (flushJournal(&run.reason) != 0)
                return failOutput(run, JOURNAL_FAILURE, run.reason);
            logFileNote(" (written as %s)", replacement);
            target = replacement;
        }
    }
    if (!renameFreshFile(entry, target))
        return failOutput(run, "can not open output file", GetLastError());

    // The entry's attributes, or normal ones; failures are passed over.
    UInt32 attributes = FILE_ATTRIBUTE_NORMAL;
    if (SzBitWithVals_Check(&run.database.Attribs, entry.index)) {
        attributes = run.database.Attribs.Vals[entry.index];
        if (attributes & ATTRIBUTE_HIGH_BITS)
            attributes &= ATTRIBUTE_LOW_BITS;
    }
    if (attributes == FILE_ATTRIBUTE_ARCHIVE)
        return SZ_OK;  // what the file has from its creation: no call needed
    if (!SetFileAttributesW(path, attributes))
        (void)SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);  // attributes Windows refuses: normal ones
    return SZ_OK;
}

void attributeLetters(const CSzArEx& database, UInt32 index, bool isDir, char (&letters)[6])
{
    bool defined = SzBitWithVals_Check(&database.Attribs, index);
    UInt32 attributes = defined ? database.Attribs.Vals[index] : 0;
    letters[0] = (attributes & FILE_ATTRIBUTE_DIRECTORY) || isDir ? 'D' : '.';
    letters[1] = attributes & FILE_ATTRIBUTE_READONLY ? 'R' : '.';
    letters[2] = attributes & FILE_ATTRIBUTE_HIDDEN ? 'H' : '.';
    letters[3] = attributes & FILE_ATTRIBUTE_SYSTEM ? 'S' : '.';
    letters[4] = attributes & FILE_ATTRIBUTE_ARCHIVE ? 'A' : '.';
    letters[5] = '\0';
}

// "yyyy-mm-dd hh:mm:ss" of the stored modification time, no time-zone conversion; 19 blanks
// without one.
void modificationTime(const CSzArEx& database, UInt32 index, char (&text)[20])
{
    memset(text, ' ', 19);
    text[19] = '\0';
    if (!SzBitWithVals_Check(&database.MTime, index))
        return;
    const CNtfsFileTime& stored = database.MTime.Vals[index];
    uint64_t ticks = (uint64_t(stored.High) << 32) | stored.Low;
    uint64_t seconds = ticks / 10000000;
    uint64_t days = seconds / 86400;
    unsigned secondOfDay = static_cast<unsigned>(seconds % 86400);
    // Days since 1601-01-01 to a civil date: 1601 starts a 400-year cycle.
    uint64_t cycles = days / 146097;
    uint64_t dayOfCycle = days % 146097;
    uint64_t centuries = dayOfCycle / 36524;
    if (centuries == 4)
        centuries = 3;
    dayOfCycle -= centuries * 36524;
    uint64_t quads = dayOfCycle / 1461;
    dayOfCycle %= 1461;
    uint64_t yearsInQuad = dayOfCycle / 365;
    if (yearsInQuad == 4)
        yearsInQuad = 3;
    unsigned dayOfYear = static_cast<unsigned>(dayOfCycle - yearsInQuad * 365);
    uint64_t year = 1601 + cycles * 400 + centuries * 100 + quads * 4 + yearsInQuad;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const unsigned monthDays[] = {31, leap ? 29u : 28u, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    unsigned month = 0;
    while (month < 11 && dayOfYear >= monthDays[month])
        dayOfYear -= monthDays[month++];
    (void)snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", static_cast<unsigned>(year % 10000),
                   month + 1, dayOfYear + 1, secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60);
}

// The entry's line of the log, up to its name (with "/" separators, and the "/" of a folder),
// in one write.
SRes logEntry(const Run& run, UInt32 index, bool isDir, const UInt16* name)
{
    char letters[6];
    attributeLetters(run.database, index, isDir, letters);
    char time[20];
    modificationTime(run.database, index, time);
    char fields[LOG_FIELDS_CAPACITY];
    (void)snprintf(fields, sizeof fields, "%s %s %10llu  ", time, letters,
                   static_cast<unsigned long long>(SzArEx_GetFileSize(&run.database, index)));
    CBuf utf8;
    Buf_Init(&utf8);
    SRes result = toUtf8(name, &utf8);
    const char* messages[4] = {index == 0 ? "\n" : "\f\n", fields};
    size_t count = 2;
    if (result == SZ_OK) {
        for (Byte* c = utf8.data; *c; ++c)
            *c = *c == '\\' ? '/' : *c;  // an entry's own names never hold one
        messages[count++] = reinterpret_cast<const char*>(utf8.data);
        if (isDir)
            messages[count++] = "/";
    }
    (void)logMessages(messages, count);  // a lost log line does not stop the run
    Buf_Free(&utf8, &heap);
    return result;
}

// Ends the batch: the journal's lines go to the disk at once, then each entry is listed in the
// log and its file put in place, in archive order. The batch is empty afterwards.
SRes endBatch(Run& run)
{
    if (batchCount == 0)
        return SZ_OK;
    DWORD reason = 0;
    bool written = flushJournal(&reason) == 0;
    SRes result = SZ_OK;
    holdLog();  // one opening of the log for the batch's lines: under Wine an opening costs as much as a file
    for (size_t i = 0; i < batchCount && result == SZ_OK; ++i) {
        PendingEntry& entry = batch[i];
        result = logEntry(run, entry.index, entry.isDir, reinterpret_cast<const UInt16*>(entry.path));
        if (result == SZ_OK && !written)
            result = failOutput(run, JOURNAL_FAILURE, reason);
        else if (result == SZ_OK && !entry.isDir)
            result = placeFile(run, entry);
    }
    // After a failure the files not yet in place are closed, so that the undo can delete them.
    for (size_t i = 0; i < batchCount; ++i)
        closeFreshFile(batch[i]);
    batchCount = 0;
    (void)releaseLog();  // a lost log line does not stop the run
    logOutputFailure(run);
    return result;
}

// Ends the run at entry index: the batch's entries, which came before it, are put in place and
// listed first, then the entry's line with the failure.
SRes failEntry(Run& run, UInt32 index, bool isDir, SRes result)
{
    const char* failure = run.failure;
    DWORD reason = run.reason;
    run.failure = nullptr;
    SRes ended = endBatch(run);
    if (ended != SZ_OK)
        return ended;
    run.failure = failure;
    run.reason = reason;
    (void)logEntry(run, index, isDir, run.name);  // the run fails anyway
    logOutputFailure(run);
    return result;
}

// The place an entry goes to: a hash of its full path in upper case, the same for every name
// of that place. Two places that share a hash only end a batch early.
UInt32 placeOf(const UInt16* name)
{
    wchar_t full[FULL_PATH_CAPACITY];
    DWORD length = GetFullPathNameW(reinterpret_cast<const wchar_t*>(name), FULL_PATH_CAPACITY, full, nullptr);
    if (length == 0 || length >= FULL_PATH_CAPACITY)
        return 0;  // refused before the run: not reached
    (void)CharUpperBuffW(full, length);
    UInt32 hash = 2166136261u;  // FNV-1a
    for (DWORD i = 0; i < length; ++i)
        hash = (hash ^ full[i]) * 16777619u;
    return hash;
}

// Whether an entry must see the batch's renames done first: it goes where a file of the batch
// goes, or it may be the ".new" that a file of the batch is written as.
bool waitsForBatch(const UInt16* name, UInt32 place)
{
    const wchar_t* text = reinterpret_cast<const wchar_t*>(name);
    size_t length = wcslen(text);
    size_t extension = wcslen(REPLACEMENT_EXTENSION);
    if (batchCount > 0 && length >= extension && !_wcsicmp(text + length - extension, REPLACEMENT_EXTENSION))
        return true;
    for (size_t i = 0; i < batchCount; ++i) {
        if (!batch[i].isDir && batch[i].place == place)
            return true;
    }
    return false;
}

// Installs an entry: its file is written now, its renames wait in the batch.
SRes installEntry(Run& run, UInt32 index)
{
    bool isDir = SzArEx_IsDir(&run.database, index);
    SRes result = loadName(run, index);
    if (result != SZ_OK) {
        SRes ended = endBatch(run);  // the entries before it, as they came first
        return ended != SZ_OK ? ended : result;
    }
    UInt32 place = placeOf(run.name);
    if (waitsForBatch(run.name, place) && (result = endBatch(run)) != SZ_OK)
        return result;
    if (run.handler) {
        sendName(run, InstallEvent::EntryName, run.name);
        unsigned short progress = static_cast<unsigned short>(static_cast<float>(index + 1) /
                                                              static_cast<float>(run.database.NumFiles) *
                                                              static_cast<float>(PROGRESS_SCALE));
        send(run, InstallEvent::Progress, &progress);
    }

    size_t offset = 0;
    size_t processed = 0;
    if (!isDir) {
        // The name again before a step that may take noticeable time: decoding a new block,
        // writing a large file. The handler shows it if it has not yet, and checks for clients.
        UInt32 folder = run.database.FileToFolder[index];
        bool decodes = folder != NO_FOLDER && folder != run.blockIndex;
        if (decodes)
            sendName(run, InstallEvent::EntryName, run.name);
        result = SzArEx_Extract(&run.database, &run.reader.vt, index, &run.blockIndex, &run.block, &run.blockSize,
                                &offset, &processed, &blockHeap, &heap);
        if (result != SZ_OK)
            return failEntry(run, index, isDir, result);
        if (decodes || processed >= LARGE_WRITE_BYTES)
            sendName(run, InstallEvent::EntryName, run.name);
    }
    PendingEntry& entry = batch[batchCount];  // there is room: a full batch is ended at once
    entry.index = index;
    entry.isDir = isDir;
    entry.place = place;
    entry.freshFile = nullptr;
    result = makeFolders(run, run.name, isDir);
    if (result != SZ_OK)
        return failEntry(run, index, isDir, failOutput(run, JOURNAL_FAILURE, run.reason));
    if (formatText(entry.path, FULL_PATH_CAPACITY, L"%s", reinterpret_cast<const wchar_t*>(run.name)) < 0) {
        return failEntry(run, index, isDir,
                         failOutput(run, "can not open output file", ERROR_FILENAME_EXCED_RANGE));
    }
    if (!isDir && (result = writeFreshFile(run, entry, offset, processed)) != SZ_OK)
        return failEntry(run, index, isDir, result);
    return ++batchCount == BATCH_CAPACITY ? endBatch(run) : SZ_OK;
}

// Whether a file (no folder) stands on the way to the entry name (with "/" separators), or at
// the name itself when it is a folder entry. Folders checked for an entry before are not
// checked again: below a missing folder nothing exists.
bool fileStandsInTheWay(Run& run, const wchar_t* name, bool isDir)
{
    wchar_t path[FULL_PATH_CAPACITY];
    (void)formatText(path, FULL_PATH_CAPACITY, L"%s", name);  // fits: the name's length was checked
    size_t folder = wcslen(path);
    if (!isDir) {
        while (folder > 0 && path[folder - 1] != L'/')
            --folder;
        if (folder-- == 0)
            return false;  // a file at the top: no folder on its way
    }
    path[folder] = L'\0';
    for (size_t at = 0; at < folder; ++at)
        path[at] = path[at] == L'/' ? L'\\' : path[at];
    if (isOnTheWayTo(run.checkedFolder, path))
        return false;
    for (size_t at = 1; at <= folder; ++at) {
        if (at < folder && path[at] != L'\\')
            continue;
        path[at] = L'\0';
        DWORD attributes = isOnTheWayTo(run.checkedFolder, path) ? FILE_ATTRIBUTE_DIRECTORY : GetFileAttributesW(path);
        path[at] = at < folder ? L'\\' : L'\0';
        if (attributes == INVALID_FILE_ATTRIBUTES)
            break;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return true;
    }
    (void)formatText(run.checkedFolder, FULL_PATH_CAPACITY, L"%s", path);
    return false;
}

// Why the entry whose name is in the name buffer cannot be installed as it stands (the start
// of its log line), or null when it can. Checks the disk for what stands in the entry's way.
const char* refusalOf(Run& run, UInt32 index)
{
    const wchar_t* name = reinterpret_cast<const wchar_t*>(run.name);
    if (!isSafeEntryName(name))
        return "entry name leaves the install directory: ";
    if (!isCreatableEntryName(name))
        return "entry name Windows cannot create: ";
    if (wcschr(name, L'\\'))
        return "entry name with \"\\\" as separator: ";  // only "/" makes folders
    bool isDir = SzArEx_IsDir(&run.database, index);
    if (!fitsPathLimits(name, isDir))
        return "entry path too long for Windows: ";
    if (fileStandsInTheWay(run, name, isDir))
        return "a file stands where the archive has a folder: ";
    if (isDir)
        return nullptr;
    // A folder is no locked file: waiting for it or moving it aside would lose what it holds.
    DWORD attributes = GetFileAttributesW(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return "a folder stands where the archive has a file: ";
    return nullptr;
}

// Logs why the run is refused, with the name of entry index (in the name buffer).
SRes refuse(Run& run, const char* refusal)
{
    CBuf utf8;
    Buf_Init(&utf8);
    const char* shown = !run.name[0] ? "(empty)"
                        : toUtf8(run.name, &utf8) == SZ_OK ? reinterpret_cast<const char*>(utf8.data)
                                                           : "(not convertible)";
    (void)logLine("ERROR: %s%s\n", refusal, shown);
    Buf_Free(&utf8, &heap);
    return SZ_ERROR_FAIL;
}

// Names of the archive that Windows would take for one file or folder: a name used as a file
// and as a folder, or two that differ only in case. The refusal, with its entry's name loaded.
const char* clashOf(Run& run)
{
    UInt32 count = run.database.NumFiles;
    const size_t* offsets = run.database.FileNameOffsets;
    if (count < 2)
        return nullptr;
    // Every name folded to upper case, "/" as the lowest character so that a folder's entries
    // sort right after its own name.
    size_t units = offsets[count];
    wchar_t* folded = static_cast<wchar_t*>(malloc(units * sizeof(wchar_t)));
    UInt32* order = static_cast<UInt32*>(malloc(count * sizeof(UInt32)));
    const char* clash = folded && order ? nullptr : "";
    for (size_t i = 0; !clash && i < units; ++i) {
        const Byte* unit = run.database.FileNames + 2 * i;
        folded[i] = static_cast<wchar_t>(unit[0] | unit[1] << 8);
    }
    if (!clash) {
        (void)CharUpperBuffW(folded, static_cast<DWORD>(units));
        for (size_t i = 0; i < units; ++i)
            folded[i] = folded[i] == L'/' ? 1 : folded[i];
        for (UInt32 i = 0; i < count; ++i)
            order[i] = i;
        std::sort(order, order + count,
                  [&](UInt32 a, UInt32 b) { return wcscmp(folded + offsets[a], folded + offsets[b]) < 0; });
    }
    for (UInt32 i = 1; !clash && i < count; ++i) {
        UInt32 before = order[i - 1], after = order[i];
        const wchar_t* first = folded + offsets[before];
        const wchar_t* second = folded + offsets[after];
        size_t length = wcslen(first);
        bool file = !SzArEx_IsDir(&run.database, before);
        if (!wcscmp(first, second)) {
            if (memcmp(run.database.FileNames + 2 * offsets[before], run.database.FileNames + 2 * offsets[after],
                       2 * (length + 1)))
                clash = "entry names that differ only in case: ";
            else if (file != !SzArEx_IsDir(&run.database, after))
                clash = "entry name used as a file and as a folder: ";
        } else if (file && !wcsncmp(first, second, length) && second[length] == 1) {
            clash = "entry name used as a file and as a folder: ";
        }
        if (clash)
            (void)loadName(run, after);  // a failure leaves an earlier name to show
    }
    free(folded);
    free(order);
    return clash && *clash ? clash : nullptr;
}

// Refuses an archive whose new files do not fit beside the old ones, which stay until the end.
SRes checkFreeSpace(Run& run)
{
    UInt64 needed = FREE_SPACE_MARGIN + JOURNAL_BYTES_PER_ENTRY * run.database.NumFiles;
    for (UInt32 index = 0; index < run.database.NumFiles; ++index)
        needed += (SzArEx_GetFileSize(&run.database, index) + CLUSTER_BYTES - 1) / CLUSTER_BYTES * CLUSTER_BYTES;
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(L".", &available, nullptr, nullptr) || available.QuadPart >= needed)
        return SZ_OK;  // a volume that does not say is not refused
    (void)logLine("ERROR: not enough free space in the install directory: %llu bytes needed, %llu free\n",
                  static_cast<unsigned long long>(needed), static_cast<unsigned long long>(available.QuadPart));
    run.reason = ERROR_DISK_FULL;
    return SZ_ERROR_FAIL;
}

// Refuses an archive with any entry that could not be installed where it belongs, before
// anything is written, so that a refused archive leaves the install directory as it was.
SRes checkNames(Run& run)
{
    for (UInt32 index = 0; index < run.database.NumFiles; ++index) {
        SRes result = loadName(run, index);
        if (result != SZ_OK)
            return result;
        const char* refusal = refusalOf(run, index);
        if (refusal)
            return refuse(run, refusal);
    }
    const char* clash = clashOf(run);
    return clash ? refuse(run, clash) : checkFreeSpace(run);
}

void logFailure(SRes result, const char** message)
{
    switch (result) {
    case SZ_ERROR_NO_ARCHIVE:
        (void)logLine("%s\n", "Not in 7z format\n");
        *message = "Archive does not exist or is not in a desired format";
        break;
    case SZ_ERROR_UNSUPPORTED:
        (void)logLine("ERROR: %s\n", "decoder doesn't support this archive");
        *message = "Archive format unsupported";
        break;
    case SZ_ERROR_MEM:
        (void)logLine("ERROR: %s\n", "can not allocate memory");
        *message = "Can not allocate memory";
        break;
    case SZ_ERROR_CRC:
        (void)logLine("ERROR: %s\n", "CRC error");
        *message = "A checksum error occurred in the archive";
        break;
    case SZ_ERROR_DATA:
        (void)logLine("ERROR: %s\n", "DATA error");
        *message = "A data error occurred in the archive";
        break;
    default:
        (void)logLine("ERROR #%d\n", result);
        *message = "An unspecified error occured, see upgrade log for details";
        break;
    }
}

SRes finish(Run& run, SRes result)
{
    releaseKeptBlock();  // the decoding cache's block
    SzArEx_Free(&run.database, &heap);
    free(run.name);
    free(run.reader.buf);
    (void)File_Close(&run.archive.file);  // read-only: nothing is lost when closing fails
    if (result == SZ_OK) {
        if (run.journaled)
            commitJournal();
        (void)logLine("\r");
        (void)logLine("Everything is Ok\n");
        return SZ_OK;
    }
    const char* message = nullptr;
    logFailure(result, &message);
    if (run.journaled)
        (void)undoJournal();  // it logs what it could not put back
    // The reason shown with the message is the failing operation's, not what the log's own
    // file calls left behind.
    SetLastError(run.reason);
    send(run, InstallEvent::Failed, message);
    return result;
}

void logWorkingDirectory()
{
    char full[4 * MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof full, full);
    if (length == 0 || length >= sizeof full)
        full[0] = '\0';
    char shown[WORKING_DIR_CAPACITY];
    (void)formatTextNarrow(shown, WORKING_DIR_CAPACITY, "%s", full);  // a longer one is cut to fit
    (void)logLine("Working directory: %s\n", shown);
}

}  // namespace

bool isSafeEntryName(const wchar_t* name)
{
    if (!name || isSeparator(name[0]) || wcschr(name, L':'))
        return false;  // absolute, UNC or device paths, drive letters, alternate streams
    const wchar_t* component = name;
    for (;;) {
        const wchar_t* end = component;
        while (*end && !isSeparator(*end))
            ++end;
        size_t length = static_cast<size_t>(end - component);
        if (isClimbingComponent(component, length) || isReservedDeviceName(component, length))
            return false;
        if (!*end)
            return true;
        component = end + 1;
    }
}

// Names Windows would refuse to create: empty names or parts, control characters, the
// characters Windows reserves, and parts that end in a dot or a blank (Windows strips those).
bool isCreatableEntryName(const wchar_t* name)
{
    if (!name || !*name)
        return false;
    const wchar_t* component = name;
    for (;;) {
        const wchar_t* end = component;
        for (; *end && !isSeparator(*end); ++end) {
            if (*end < 0x20 || wcschr(L"<>\"|?*", *end))
                return false;
        }
        size_t length = static_cast<size_t>(end - component);
        bool here = length == 1 && component[0] == L'.';  // names the folder it is in
        if (length == 0 || (!here && (component[length - 1] == L'.' || component[length - 1] == L' ')))
            return false;
        if (!*end)
            return !here;  // the name must end in a name of its own
        component = end + 1;
    }
}

bool fitsPathLimits(const wchar_t* name, bool isDir)
{
    wchar_t full[FULL_PATH_CAPACITY];
    DWORD length = GetFullPathNameW(name, FULL_PATH_CAPACITY, full, nullptr);
    if (length == 0 || length >= FULL_PATH_CAPACITY)
        return false;
    const wchar_t* lastSeparator = wcsrchr(full, L'\\');
    size_t folderLength = isDir ? length : lastSeparator ? static_cast<size_t>(lastSeparator - full) : 0;
    return folderLength <= FOLDER_PATH_LIMIT && (isDir || length <= FILE_PATH_LIMIT);
}

void offerDecodingMemory(void* memory, size_t capacity)
{
    releaseKeptBlock();
    keptBlock = static_cast<Byte*>(memory);
    keptBlockCapacity = memory ? capacity : 0;
}

int installArchive(const char* archiveName, InstallEventHandler handler)
{
    if (!archiveName) {
        releaseKeptBlock();  // an offer is for this run only
        return -1;
    }
    (void)logLine(RULE);
    logWorkingDirectory();
    (void)logLine("Archive filename : %s\n", archiveName);

    Run run;
    run.archiveName = archiveName;
    run.handler = handler;
    DWORD ownLength = GetModuleFileNameW(nullptr, run.ownImage, FULL_PATH_CAPACITY);
    if (ownLength == 0 || ownLength >= FULL_PATH_CAPACITY)
        run.ownImage[0] = L'\0';  // unknown: every locked file is waited for
    if (InFile_Open(&run.archive.file, archiveName) != 0) {
        (void)logLine("ERROR: %s\n", "can not open input file");
        releaseKeptBlock();
        return SZ_ERROR_DATA;
    }
    FileInStream_CreateVTable(&run.archive);
    LookToRead2_CreateVTable(&run.reader, False);
    run.reader.buf = static_cast<Byte*>(malloc(READ_BUFFER_SIZE));
    SzArEx_Init(&run.database);
    if (!run.reader.buf)
        return finish(run, SZ_ERROR_MEM);
    run.reader.bufSize = READ_BUFFER_SIZE;
    run.reader.realStream = &run.archive.vt;
    LookToRead2_INIT(&run.reader)
    CrcGenerateTable();

    SRes result = SzArEx_Open(&run.database, &run.reader.vt, &heap, &heap);
    if (result == SZ_OK)
        result = checkNames(run);
    if (result == SZ_OK && beginJournal(&run.reason) != 0) {
        (void)logLine("ERROR: %s\n", "can not create the installation journal upgrade.journal");
        result = SZ_ERROR_FAIL;
    }
    if (result != SZ_OK)
        return finish(run, result);
    run.journaled = true;
    for (UInt32 folder = 0; folder < run.database.db.NumFolders; ++folder) {
        UInt64 size = SzAr_GetFolderUnpackSize(&run.database.db, folder);
        if (size > largestBlockSize && size <= SIZE_MAX)
            largestBlockSize = static_cast<size_t>(size);
    }
    send(run, InstallEvent::Started, archiveName);
    batchCount = 0;
    for (UInt32 index = 0; index < run.database.NumFiles && result == SZ_OK; ++index)
        result = installEntry(run, index);
    if (result == SZ_OK)
        result = endBatch(run);
    return finish(run, result);
}
