#include "archive_installer.h"

#include "text.h"
#include "upgrade_log.h"

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

extern "C" {
#include "7z.h"
#include "7zBuf.h"
#include "7zCrc.h"
#include "7zFile.h"
}

namespace {

constexpr size_t READ_BUFFER_SIZE = 1 << 18;       // 256 KiB look-ahead block
constexpr size_t WORKING_DIR_CAPACITY = 256;       // the log line shows at most 255 characters
constexpr size_t TEMP_DIR_CAPACITY = 240;
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
constexpr wchar_t BACKUP_PREFIX[] = L"backup.old.";
constexpr UInt32 NO_FOLDER = 0xFFFFFFFF;            // an entry without data (empty file, folder)
constexpr size_t LARGE_WRITE_BYTES = 4 << 20;       // writing this much may take noticeable time
constexpr size_t LOG_FIELDS_CAPACITY = 64;          // time, attribute letters and size of a line

void* allocate(ISzAllocPtr, size_t size)
{
    return size ? malloc(size) : nullptr;
}

void release(ISzAllocPtr, void* block)
{
    free(block);
}

const ISzAlloc heap = {allocate, release};

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
};

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

// Makes every directory on the way to the entry and turns its "/" into "\".
void createParentDirectories(UInt16* name)
{
    for (UInt16* c = name; *c; ++c) {
        if (*c == '/') {
            *c = 0;
            (void)CreateDirectoryW(reinterpret_cast<const wchar_t*>(name), nullptr);  // usually exists
            *c = '\\';
        }
    }
}

void clearAttributes(const wchar_t* path)
{
    // Ignored: a missing file shows when it is tested for.
    (void)SetFileAttributesW(path, 0);
    (void)SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
}

bool exists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Whether path names the running program's own file, which cannot go while the program runs.
bool isOwnImage(const Run& run, const wchar_t* path)
{
    wchar_t full[FULL_PATH_CAPACITY];
    DWORD length = GetFullPathNameW(path, FULL_PATH_CAPACITY, full, nullptr);
    return run.ownImage[0] && length > 0 && length < FULL_PATH_CAPACITY &&
           CompareStringOrdinal(full, -1, run.ownImage, -1, TRUE) == CSTR_EQUAL;
}

// Moves a file that cannot be deleted into the temporary folder, onto an empty file made
// there for it, so that no other program's file is ever replaced. False when it stays.
bool moveAside(const wchar_t* path, wchar_t (&backup)[MAX_PATH])
{
    wchar_t tempDir[TEMP_DIR_CAPACITY];
    DWORD length = GetTempPathW(TEMP_DIR_CAPACITY, tempDir);
    if (length == 0 || length >= TEMP_DIR_CAPACITY)
        return false;  // a temporary folder too long for the buffer: no move aside
    if (!GetTempFileNameW(tempDir, BACKUP_PREFIX, 0, backup))  // 0: a new, unused name
        return false;
    if (MoveFileExW(path, backup, MOVEFILE_REPLACE_EXISTING))
        return true;
    (void)DeleteFileW(backup);  // only the empty file made above; the entry goes to ".new"
    return false;
}

// Deletes the existing file; a locked one is waited for (with a handler), then moved aside.
// True when it was moved aside, to backup.
bool clearWayFor(const Run& run, const wchar_t* path, wchar_t (&backup)[MAX_PATH])
{
    if (!exists(path))
        return false;  // a new file: nothing in the way
    clearAttributes(path);
    (void)DeleteFileW(path);  // a file that stays is handled below
    // The program's own file is released only when it ends: it is not waited for.
    if (run.handler && exists(path) && !isOwnImage(run, path)) {
        for (int pass = 0; pass < LOCK_WAIT_PASSES && exists(path); ++pass) {
            sendName(run, InstallEvent::FileLocked, run.name);
            Sleep(LOCK_FIRST_SLEEP_MS);
            SetLastError(0);
            if (DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND)
                break;
            Sleep(LOCK_SECOND_SLEEP_MS);
            clearAttributes(path);
        }
    }
    return exists(path) && moveAside(path, backup);
}

// Opens the entry's file, or the same name with the extension ".new" (into replacement) when
// that fails. 1 for the file itself, 2 for the ".new" file, 0 when neither opens (reason: the
// system's reason of the last attempt).
int openOutput(const wchar_t* path, CSzFile* out, wchar_t (&replacement)[MAX_PATH], DWORD* reason)
{
    WRes opened = OutFile_OpenW(out, path);
    *reason = static_cast<DWORD>(opened);
    if (opened == 0)
        return 1;
    wchar_t drive[PATH_PART_CAPACITY], dir[PATH_PART_CAPACITY], file[PATH_PART_CAPACITY], ext[PATH_PART_CAPACITY];
    if (_wsplitpath_s(path, drive, PATH_PART_CAPACITY, dir, PATH_PART_CAPACITY, file, PATH_PART_CAPACITY, ext,
                      PATH_PART_CAPACITY) != 0)
        return 0;
    int written = _snwprintf(replacement, MAX_PATH - 1, L"%s%s%s.new", drive, dir, file);
    if (written < 0)
        return 0;
    replacement[written] = L'\0';
    opened = OutFile_OpenW(out, replacement);
    *reason = static_cast<DWORD>(opened);
    return opened == 0 ? 2 : 0;
}

SRes failOutput(Run& run, const char* what, DWORD reason)
{
    run.reason = reason;
    (void)logLine("\r");
    (void)logLine("ERROR: %s\n", what);
    return SZ_ERROR_FAIL;
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

// Replaces the existing file with the entry's bytes and gives it the entry's attributes.
SRes writeFileEntry(Run& run, UInt32 index, size_t offset, size_t size)
{
    const wchar_t* path = reinterpret_cast<const wchar_t*>(run.name);
    wchar_t backup[MAX_PATH];
    if (clearWayFor(run, path, backup))
        logFileNote(" (old file moved aside to %s)", backup);
    CSzFile out;
    File_Construct(&out);
    wchar_t replacement[MAX_PATH];
    DWORD reason = 0;
    int opened = openOutput(path, &out, replacement, &reason);
    if (opened == 0)
        return failOutput(run, "can not open output file", reason);
    if (opened == 2)
        logFileNote(" (written as %s)", replacement);
    size_t written = size;
    WRes wrote = File_Write(&out, run.block + offset, &written);
    if (wrote != 0 || written != size) {
        (void)File_Close(&out);  // the write error is what gets reported
        return failOutput(run, "can not write output file", static_cast<DWORD>(wrote));
    }
    WRes closed = File_Close(&out);
    if (closed != 0)
        return failOutput(run, "can not close output file", static_cast<DWORD>(closed));

    // The entry's attributes, or normal ones; failures are passed over.
    UInt32 attributes = FILE_ATTRIBUTE_NORMAL;
    if (SzBitWithVals_Check(&run.database.Attribs, index)) {
        attributes = run.database.Attribs.Vals[index];
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

// The entry's line of the log, up to its name (and the "/" of a folder), in one write.
SRes logEntry(const Run& run, UInt32 index, bool isDir)
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
    SRes result = toUtf8(run.name, &utf8);
    const char* messages[4] = {index == 0 ? "\n" : "\f\n", fields};
    size_t count = 2;
    if (result == SZ_OK) {
        messages[count++] = reinterpret_cast<const char*>(utf8.data);
        if (isDir)
            messages[count++] = "/";
    }
    (void)logMessages(messages, count);  // a lost log line does not stop the run
    Buf_Free(&utf8, &heap);
    return result;
}

SRes installEntry(Run& run, UInt32 index)
{
    bool isDir = SzArEx_IsDir(&run.database, index);
    SRes result = loadName(run, index);
    if (result != SZ_OK)
        return result;
    if (run.handler) {
        sendName(run, InstallEvent::EntryName, run.name);
        unsigned short progress = static_cast<unsigned short>(static_cast<float>(index + 1) /
                                                              static_cast<float>(run.database.NumFiles) *
                                                              static_cast<float>(PROGRESS_SCALE));
        send(run, InstallEvent::Progress, &progress);
    }
    result = logEntry(run, index, isDir);
    if (result != SZ_OK)
        return result;

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
                                &offset, &processed, &heap, &heap);
        if (result != SZ_OK)
            return result;
        if (decodes || processed >= LARGE_WRITE_BYTES)
            sendName(run, InstallEvent::EntryName, run.name);
    }
    createParentDirectories(run.name);
    if (isDir) {
        (void)CreateDirectoryW(reinterpret_cast<const wchar_t*>(run.name), nullptr);  // may exist
        return SZ_OK;
    }
    return writeFileEntry(run, index, offset, processed);
}

// Why the entry whose name is in the name buffer cannot be installed as it stands (the start
// of its log line), or null when it can. Checks the disk only for what stands in a file's way.
const char* refusalOf(const Run& run, UInt32 index)
{
    const wchar_t* name = reinterpret_cast<const wchar_t*>(run.name);
    if (!isSafeEntryName(name))
        return "entry name leaves the install directory: ";
    if (!isCreatableEntryName(name))
        return "entry name Windows cannot create: ";
    bool isDir = SzArEx_IsDir(&run.database, index);
    if (!fitsPathLimits(name, isDir))
        return "entry path too long for Windows: ";
    if (isDir)
        return nullptr;
    // A folder is no locked file: waiting for it or moving it aside would lose what it holds.
    DWORD attributes = GetFileAttributesW(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return "a folder stands where the archive has a file: ";
    return nullptr;
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
        if (!refusal)
            continue;
        CBuf utf8;
        Buf_Init(&utf8);
        const char* shown = !run.name[0] ? "(empty)"
                            : toUtf8(run.name, &utf8) == SZ_OK ? reinterpret_cast<const char*>(utf8.data)
                                                               : "(not convertible)";
        (void)logLine("ERROR: %s%s\n", refusal, shown);
        Buf_Free(&utf8, &heap);
        return SZ_ERROR_FAIL;
    }
    return SZ_OK;
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
    free(run.block);  // the decoding cache's block came from the same heap
    SzArEx_Free(&run.database, &heap);
    free(run.name);
    free(run.reader.buf);
    (void)File_Close(&run.archive.file);  // read-only: nothing is lost when closing fails
    if (result == SZ_OK) {
        (void)logLine("\r");
        (void)logLine("Everything is Ok\n");
        return SZ_OK;
    }
    const char* message = nullptr;
    logFailure(result, &message);
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

int installArchive(const char* archiveName, InstallEventHandler handler)
{
    if (!archiveName)
        return -1;
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
    if (result != SZ_OK)
        return finish(run, result);
    send(run, InstallEvent::Started, archiveName);
    for (UInt32 index = 0; index < run.database.NumFiles && result == SZ_OK; ++index)
        result = installEntry(run, index);
    return finish(run, result);
}
