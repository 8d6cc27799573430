#include "install_journal.h"

#include "upgrade_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

const wchar_t INSTALL_JOURNAL_NAME[] = L"upgrade.journal";

namespace {

constexpr char JOURNAL_NAME_NARROW[] = "upgrade.journal";
constexpr char HEADER[] = "updater installation journal";
constexpr char DONE[] = "done";
// Kinds of line: "kind<TAB>path[<TAB>second]". A line's change happens only after the line
// was written, so a line cut short by a crash stands for a change that never happened.
constexpr char CREATED_FILE[] = "created file";
constexpr char CREATED_FOLDER[] = "created folder";
constexpr char KEPT_ASIDE[] = "kept aside";     // deleted once the run succeeds
constexpr char MOVED_ASIDE[] = "moved aside";   // stays once the run succeeds
constexpr char ATTRIBUTES[] = "attributes";
constexpr size_t PENDING_CAPACITY = 1 << 16;    // the lines of several entries, written at once
constexpr size_t LINE_PATH_CAPACITY = 2 * MAX_PATH;
constexpr LONGLONG JOURNAL_SIZE_LIMIT = 1 << 28;  // far beyond any run's; larger is no journal of ours
constexpr unsigned NAME_NUMBER_MASK = 0xFFFFF;  // five hex digits: "~uXXXXX" fits an 8.3 name
constexpr int NAME_TRIES = 64;
constexpr wchar_t BACKUP_PREFIX[] = L"backup.old.";  // the temporary folder's files are "bacXXXX.tmp"
constexpr size_t TEMP_DIR_CAPACITY = 240;

HANDLE journal = INVALID_HANDLE_VALUE;
char pending[PENDING_CAPACITY];
size_t pendingLength = 0;
bool pendingLost = false;  // a record did not fit: the next write fails
unsigned nameNumber = 0;

bool exists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Appends "kind<TAB>first[<TAB>second]\n" to the records not yet written.
void record(const char* kind, const wchar_t* first, const wchar_t* second)
{
    char line[3 * 2 * LINE_PATH_CAPACITY + 64];
    size_t length = static_cast<size_t>(snprintf(line, sizeof line, "%s\t", kind));
    const wchar_t* paths[] = {first, second};
    for (const wchar_t* path : paths) {
        if (!path)
            continue;
        if (path == second)
            line[length++] = '\t';
        int bytes = WideCharToMultiByte(CP_UTF8, 0, path, -1, line + length, static_cast<int>(sizeof line - length - 2),
                                        nullptr, nullptr);
        if (bytes <= 0) {
            pendingLost = true;
            return;
        }
        length += static_cast<size_t>(bytes) - 1;  // without the terminator
    }
    line[length++] = '\n';
    if (pendingLength + length > PENDING_CAPACITY) {
        DWORD reason = 0;
        if (writeJournal(&reason) != 0)
            pendingLost = true;
    }
    memcpy(pending + pendingLength, line, length);
    pendingLength += length;
}

bool removeFile(const wchar_t* path)
{
    if (DeleteFileW(path) || !exists(path))
        return true;
    // Read-only, hidden or system: cleared first, as every file the program deletes.
    (void)SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);  // a failure shows in the deletion
    return DeleteFileW(path) || !exists(path);
}

bool toWide(const char* text, wchar_t (&path)[LINE_PATH_CAPACITY])
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, path, LINE_PATH_CAPACITY) > 0;
}

// One line of the journal, split in place. False when it is not a line of ours.
struct Line {
    const char* kind;
    wchar_t first[LINE_PATH_CAPACITY];
    wchar_t second[LINE_PATH_CAPACITY];
};

bool parseLine(char* text, Line* line)
{
    char* tab = strchr(text, '\t');
    line->kind = text;
    if (!tab)
        return false;
    *tab = '\0';
    char* second = strchr(tab + 1, '\t');
    if (second)
        *second++ = '\0';
    bool paired = !strcmp(text, KEPT_ASIDE) || !strcmp(text, MOVED_ASIDE) || !strcmp(text, ATTRIBUTES);
    bool single = !strcmp(text, CREATED_FILE) || !strcmp(text, CREATED_FOLDER);
    if ((!paired && !single) || (paired != (second != nullptr)) || !toWide(tab + 1, line->first))
        return false;
    if (paired && !toWide(second, line->second))
        return false;
    wchar_t* end = nullptr;
    if (!strcmp(text, ATTRIBUTES))
        (void)wcstoul(line->second, &end, 16);
    return strcmp(text, ATTRIBUTES) || (end != line->second && *end == L'\0');
}

// Moves a file that cannot be deleted (a running program's) out of the way, into the
// temporary folder.
bool moveIntoTempFolder(const wchar_t* path)
{
    wchar_t temp[MAX_PATH];
    return freshTempName(temp) && MoveFileExW(path, temp, 0);
}

// Undoes one change; false when it could not be undone.
bool undoLine(const Line& line)
{
    if (!strcmp(line.kind, CREATED_FILE))
        return removeFile(line.first);
    if (!strcmp(line.kind, CREATED_FOLDER)) {
        (void)RemoveDirectoryW(line.first);  // one that holds another program's files stays
        return true;
    }
    if (!strcmp(line.kind, ATTRIBUTES)) {
        if (exists(line.first))
            (void)SetFileAttributesW(line.first, wcstoul(line.second, nullptr, 16));  // as the file had them
        return true;
    }
    // Kept or moved aside: no file at aside means that the move never happened.
    if (!exists(line.second))
        return true;
    if (!removeFile(line.first) && !moveIntoTempFolder(line.first))
        return false;
    return MoveFileExW(line.second, line.first, 0) != 0;
}

// Reads the journal whole into a new buffer ending in a zero byte; null when it cannot.
char* readJournal()
{
    HANDLE file = CreateFileW(INSTALL_JOURNAL_NAME, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    LARGE_INTEGER size = {};
    char* text = nullptr;
    if (GetFileSizeEx(file, &size) && size.QuadPart < JOURNAL_SIZE_LIMIT)
        text = static_cast<char*>(malloc(static_cast<size_t>(size.QuadPart) + 1));
    DWORD read = 0;
    if (text && (!ReadFile(file, text, static_cast<DWORD>(size.QuadPart), &read, nullptr) || read != size.QuadPart)) {
        free(text);
        text = nullptr;
    }
    CloseHandle(file);
    if (text)
        text[read] = '\0';
    return text;
}

// Plays the journal back: undoes its changes in reverse order, or, when the run got to its end
// (or finish says so), deletes the old files it kept. -1 when the journal cannot be read
// whole, else the number of changes that could not be undone; the journal goes when that is 0.
int replayJournal(bool* finished, bool finish)
{
    char* text = readJournal();
    if (!text)
        return -1;
    // Whole lines only: a last one without its line end was cut before its change was made.
    size_t count = 0;
    for (char* c = text; *c; ++c)
        count += *c == '\n';
    if (count == 0 && !strncmp(HEADER, text, strlen(text))) {
        free(text);  // cut within its first line, which is written before the run's first change
        (void)DeleteFileW(INSTALL_JOURNAL_NAME);  // one that stays is played back again harmlessly
        return 0;
    }
    char** lines = static_cast<char**>(malloc((count + 1) * sizeof(char*)));
    Line* line = static_cast<Line*>(malloc(sizeof(Line)));
    bool readable = lines && line && count > 0;
    size_t total = 0;
    for (char* start = text; readable && total < count; ++total) {
        char* end = strchr(start, '\n');
        *end = '\0';
        if (end > start && end[-1] == '\r')
            end[-1] = '\0';
        lines[total] = start;
        start = end + 1;
    }
    readable = readable && !strcmp(lines[0], HEADER);
    *finished = finish;
    for (size_t i = 1; readable && i < total; ++i) {
        if (!strcmp(lines[i], DONE)) {
            *finished = true;
            continue;
        }
        char copy[3 * 2 * LINE_PATH_CAPACITY + 64];
        (void)snprintf(copy, sizeof copy, "%s", lines[i]);  // parsing splits it; the replay needs it again
        readable = strlen(lines[i]) < sizeof copy - 1 && parseLine(copy, line);
    }
    int failures = readable ? 0 : -1;
    for (size_t i = total; readable && i-- > 1;) {
        if (!strcmp(lines[i], DONE) || !parseLine(lines[i], line))
            continue;
        if (!*finished)
            failures += undoLine(*line) ? 0 : 1;
        else if (!strcmp(line->kind, KEPT_ASIDE) && exists(line->second))
            (void)removeFile(line->second);  // a running program's file stays, as its entry's line says
    }
    free(line);
    free(lines);
    free(text);
    if (failures == 0)
        (void)DeleteFileW(INSTALL_JOURNAL_NAME);  // one that stays is played back again harmlessly
    return failures;
}

void closeJournal()
{
    if (journal != INVALID_HANDLE_VALUE)
        CloseHandle(journal);
    journal = INVALID_HANDLE_VALUE;
    pendingLength = 0;
    pendingLost = false;
}

void logUnfinished(int failures)
{
    (void)logLine("ERROR: %d changes could not be undone; %s keeps them for the next start\n", failures,
                  JOURNAL_NAME_NARROW);
}

}  // namespace

int beginJournal(DWORD* reason)
{
    closeJournal();
    nameNumber = GetTickCount();  // names of different runs rarely meet; a taken one is skipped
    journal = CreateFileW(INSTALL_JOURNAL_NAME, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (journal == INVALID_HANDLE_VALUE) {
        *reason = GetLastError();
        return 11;
    }
    (void)snprintf(pending, PENDING_CAPACITY, "%s\n", HEADER);
    pendingLength = strlen(pending);
    return flushJournal(reason);  // on the disk before the run's first change
}

void recordCreated(const wchar_t* path, bool isFolder)
{
    record(isFolder ? CREATED_FOLDER : CREATED_FILE, path, nullptr);
}

void recordKeptAside(const wchar_t* path, const wchar_t* aside, bool stays)
{
    record(stays ? MOVED_ASIDE : KEPT_ASIDE, path, aside);
}

void recordAttributes(const wchar_t* path, DWORD attributes)
{
    wchar_t value[16];
    (void)_snwprintf(value, 15, L"%lx", static_cast<unsigned long>(attributes));
    value[15] = L'\0';
    record(ATTRIBUTES, path, value);
}

int writeJournal(DWORD* reason)
{
    DWORD written = 0;
    bool wrote = pendingLength == 0 ||
                 (WriteFile(journal, pending, static_cast<DWORD>(pendingLength), &written, nullptr) &&
                  written == pendingLength);
    *reason = wrote ? 0 : GetLastError();
    pendingLength = 0;
    return wrote && !pendingLost ? 0 : 11;
}

int flushJournal(DWORD* reason)
{
    int result = writeJournal(reason);
    // A volume that cannot flush keeps the safety against a stopped process: the run goes on.
    (void)FlushFileBuffers(journal);
    return result;
}

bool freshNameBeside(const wchar_t* path, const wchar_t* extension, wchar_t (&name)[MAX_PATH])
{
    const wchar_t* slash = wcsrchr(path, L'\\');
    const wchar_t* forward = wcsrchr(path, L'/');
    if (forward > slash)
        slash = forward;
    int folder = slash ? static_cast<int>(slash - path + 1) : 0;
    nameNumber = (nameNumber + 1) & NAME_NUMBER_MASK;
    int length = _snwprintf(name, MAX_PATH - 1, L"%.*s~u%05X%s", folder, path, nameNumber, extension);
    name[MAX_PATH - 1] = L'\0';
    return length > 0;
}

bool freshTempName(wchar_t (&name)[MAX_PATH])
{
    wchar_t tempDir[TEMP_DIR_CAPACITY];
    DWORD length = GetTempPathW(TEMP_DIR_CAPACITY, tempDir);
    if (length == 0 || length >= TEMP_DIR_CAPACITY)
        return false;  // a temporary folder too long for the buffer: none
    for (int tries = 0; tries < NAME_TRIES; ++tries) {
        nameNumber = (nameNumber + 1) & NAME_NUMBER_MASK;
        UINT unique = (nameNumber & 0xFFFF) ? (nameNumber & 0xFFFF) : 1;  // 0 would make a file
        if (GetTempFileNameW(tempDir, BACKUP_PREFIX, unique, name) && !exists(name))
            return true;
    }
    return false;
}

void commitJournal()
{
    DWORD reason = 0;
    (void)snprintf(pending + pendingLength, PENDING_CAPACITY - pendingLength, "%s\n", DONE);
    pendingLength += strlen(DONE) + 1;
    // Without the "done" line the journal says to undo the run: it goes as soon as it is played.
    // On the disk before the old files go, or a power cut could keep neither version whole.
    (void)flushJournal(&reason);
    closeJournal();
    bool finished = false;
    (void)replayJournal(&finished, true);
}

int undoJournal()
{
    closeJournal();
    bool finished = false;
    int failures = replayJournal(&finished, false);
    if (failures == 0)
        (void)logLine("The install directory is as it was before this installation\n");
    else if (failures < 0)
        (void)logLine("ERROR: %s cannot be read whole; it stays as it is\n", JOURNAL_NAME_NARROW);
    else
        logUnfinished(failures);
    return failures;
}

void recoverInterruptedInstall()
{
    if (!exists(INSTALL_JOURNAL_NAME))
        return;
    bool finished = false;
    int failures = replayJournal(&finished, false);
    if (failures < 0)
        (void)logLine("ERROR: %s of an installation that did not end cannot be read whole; it stays as it is\n",
                      JOURNAL_NAME_NARROW);
    else if (failures > 0)
        logUnfinished(failures);
    else if (finished)
        (void)logLine("Deleted the old files that the last installation kept\n");
    else
        (void)logLine("Put the install directory back as it was before an installation that did not end\n");
}
