#include "settings.h"

#include "files.h"
#include "result_codes.h"
#include "text.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

const wchar_t SETTINGS_FILE_NAME[] = L"zolt.ini";
const wchar_t PENDING_SETTINGS_FILE_NAME[] = L"zolt_upd.ini";
const wchar_t DEFAULT_SETTINGS_FILE_NAME[] = L"zolt_default.ini";
const wchar_t CONVERSION_FILE_NAME[] = L"zolt_tmp_ascii.ini";
const wchar_t MERGE_FILE_NAME[] = L"zolt_tmp_merge.ini";
const wchar_t NEW_FILE_NAME[] = L"zolt_tmp_new.ini";

namespace {

constexpr size_t LINE_PIECE_CHARS = 254;  // longer lines are read, and rewritten, in pieces
constexpr wchar_t BYTE_ORDER_MARK = 0xFEFF;
constexpr unsigned char UTF16_MARK_BYTES[] = {0xFF, 0xFE};
constexpr size_t REGISTRY_KEY_CAPACITY = 512;
constexpr wchar_t REGISTRY_KEY_PREFIX[] = L"SOFTWARE\\zolt\\";
constexpr size_t COMPARE_BLOCK_SIZE = 4096;  // bytes compared at a time
// The default of a read that tells an absent key from a present one: every merged value is
// trimmed of the characters up to 0x20, so none reads as this.
constexpr wchar_t ABSENT_VALUE[] = L"\x01";

wchar_t installDirectory[SETTINGS_DIR_CAPACITY];
wchar_t settingsFile[SETTINGS_DIR_CAPACITY];
wchar_t readBuffers[SETTINGS_READ_BUFFERS][SETTINGS_TEXT_CAPACITY];
size_t readIndex;
wchar_t proxy[PROXY_ADDRESS_CAPACITY];

bool isBlankOrMark(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r') || c == BYTE_ORDER_MARK;
}

// Single-byte text is in the system's ANSI code page, as the profile functions write it; on a
// double-byte code page a lead byte takes the next byte with it. A byte that the code page
// does not map stands for the character with the same code.
wchar_t decodeSingleByte(int byte, FILE* file)
{
    char bytes[2] = {static_cast<char>(byte), 0};
    int length = 1;
    if (IsDBCSLeadByte(static_cast<BYTE>(byte))) {
        int trail = fgetc(file);
        if (trail != EOF) {
            bytes[1] = static_cast<char>(trail);
            length = 2;
        }
    }
    wchar_t decoded;
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, length, &decoded, 1) == 1)
        return decoded;
    if (length == 2)
        (void)ungetc(static_cast<unsigned char>(bytes[1]), file);  // read again on its own
    return static_cast<wchar_t>(static_cast<unsigned char>(byte));
}

// Reads the next piece of a line, at most LINE_PIECE_CHARS characters, ending after its line
// feed if one comes first. Single-byte text reads a CR LF pair as LF; wide text takes every two
// bytes as one UTF-16 little-endian character, CR and LF kept. False at the end of the file.
bool readLinePiece(FILE* file, bool wide, wchar_t (&line)[LINE_PIECE_CHARS + 1])
{
    size_t length = 0;
    while (length < LINE_PIECE_CHARS) {
        int low = fgetc(file);
        if (low == EOF)
            break;
        wchar_t c;
        if (wide) {
            int high = fgetc(file);
            if (high == EOF)
                break;  // half a character at the end is not text
            c = static_cast<wchar_t>(low | (high << 8));
        } else if (low == '\r') {
            int next = fgetc(file);
            if (next == '\n')
                c = L'\n';
            else {
                if (next != EOF)
                    (void)ungetc(next, file);  // one byte of push-back is always available
                c = L'\r';
            }
        } else {
            c = decodeSingleByte(low, file);
        }
        line[length++] = c;
        if (c == L'\n')
            break;
    }
    line[length] = L'\0';
    return length > 0;
}

// Copies at most capacity - 1 characters of text, stopping at its end.
void copyCut(wchar_t* destination, size_t capacity, const wchar_t* text, size_t length)
{
    if (length > capacity - 1)
        length = capacity - 1;
    wmemcpy(destination, text, length);
    destination[length] = L'\0';
}

// A section line: the name after the "[", trimmed, then stripped of every bracket.
void openSection(wchar_t (&section)[SETTINGS_TEXT_CAPACITY], const wchar_t* afterBracket)
{
    copyCut(section, SETTINGS_TEXT_CAPACITY, afterBracket, wcslen(afterBracket));
    trimText(section);
    (void)removeChar(section, L'[');
    (void)removeChar(section, L']');
}

// Calls visit(section, key, value) for every entry of one pass over source; returns how many.
template <typename Visit>
int forEachEntry(FILE* source, bool wide, Visit&& visit)
{
    wchar_t section[SETTINGS_TEXT_CAPACITY] = L"";
    wchar_t line[LINE_PIECE_CHARS + 1];
    int found = 0;
    while (readLinePiece(source, wide, line)) {
        const wchar_t* at = line;
        if (section[0] == L'\0') {
            // Whatever stands before the first section, a byte-order mark included, is skipped.
            while (*at && *at != L'[' && *at != L'\r' && *at != L'\n')
                ++at;
            if (*at == L'[')
                openSection(section, at + 1);
            continue;
        }
        while (isBlankOrMark(*at))
            ++at;
        if (*at == L'[') {
            openSection(section, at + 1);
            continue;
        }
        const wchar_t* equals = wcschr(at, L'=');
        if (!equals)
            continue;
        wchar_t key[SETTINGS_TEXT_CAPACITY];
        wchar_t value[SETTINGS_TEXT_CAPACITY];
        copyCut(key, SETTINGS_TEXT_CAPACITY, at, static_cast<size_t>(equals - at));
        trimText(key);
        if (key[0] == L'\0')
            continue;
        copyCut(value, SETTINGS_TEXT_CAPACITY, equals + 1, wcslen(equals + 1));
        trimText(value);
        ++found;
        visit(section, key, value);
    }
    return found;
}

// Calls visit for every entry of the file at path, read as single-byte text and, when that
// finds no entry, once more as UTF-16; a file known to be UTF-16 (wide) is read only as such.
// The number of entries, or -1 when it cannot be opened.
template <typename Visit>
int readEntries(const wchar_t* path, bool wide, Visit&& visit)
{
    for (;; wide = true) {
        FILE* source = _wfopen(path, L"rb");
        if (!source)
            return -1;
        int found = forEachEntry(source, wide, visit);
        fclose(source);
        if (found > 0 || wide)
            return found;
    }
}

// Folds the entries of source into target in file order, so that a later duplicate wins.
int mergeInto(const wchar_t* target, const wchar_t* source)
{
    return readEntries(source, false, [target](const wchar_t* section, const wchar_t* key, const wchar_t* value) {
        (void)WritePrivateProfileStringW(section, key, value, target);  // read back before it is used
    });
}

bool holdsKey(const wchar_t* path, const wchar_t* section, const wchar_t* key)
{
    wchar_t value[2];
    (void)GetPrivateProfileStringW(section, key, ABSENT_VALUE, value, 2, path);
    return value[0] != ABSENT_VALUE[0];
}

// True when the file at path holds the key of every entry of source (a missing source has none).
bool holdsEveryKey(const wchar_t* path, const wchar_t* source, bool wide)
{
    bool all = true;
    (void)readEntries(source, wide, [&](const wchar_t* section, const wchar_t* key, const wchar_t*) {
        all = all && holdsKey(path, section, key);
    });
    return all;
}

void writeUnits(FILE* file, const wchar_t* text)
{
    (void)fwrite(text, sizeof(wchar_t), wcslen(text), file);  // what reached the file is compared afterwards
}

// A file whose first byte is FF or whose second is FE is taken as UTF-16.
bool isWideFile(const wchar_t* path)
{
    unsigned char head[4] = {0, 0, 0, 0};
    FILE* file = _wfopen(path, L"rb");
    if (!file)
        return true;  // unreadable: left as it is
    (void)fread(head, 1, sizeof head, file);  // a shorter file leaves zeros
    fclose(file);
    return head[0] == UTF16_MARK_BYTES[0] || head[1] == UTF16_MARK_BYTES[1];
}

// The clean layout of the UTF-16 text in source, handed piece by piece to put: the mark, then
// one line per entry, no blanks around it, and one empty line before each section that follows
// an entry.
template <typename Put>
void layOutSettings(FILE* source, Put&& put)
{
    const wchar_t mark[] = {BYTE_ORDER_MARK, L'\0'};
    put(mark);
    bool afterEntry = false;
    wchar_t line[LINE_PIECE_CHARS + 1];
    while (readLinePiece(source, true, line)) {
        wchar_t* text = line;
        while (isBlankOrMark(*text))
            ++text;
        trimText(text);
        if (*text == L'\0')
            continue;
        if (*text == L'[') {
            if (afterEntry)
                put(L"\r\n");
        } else {
            afterEntry = true;
        }
        put(text);
        put(L"\r\n");
    }
}

// How the bytes of a file stand to a text.
enum class Match { Differs, Beginning, Whole };

// Compares an open file with a text handed to it piece by piece.
struct FileMatch {
    FILE* file;
    bool differs;
    bool ended;  // the file ended before the text did

    void take(const void* bytes, size_t count)
    {
        const unsigned char* next = static_cast<const unsigned char*>(bytes);
        for (size_t i = 0; i < count && !differs && !ended; ++i) {
            int c = fgetc(file);
            if (c == EOF)
                ended = true;
            else if (c != next[i])
                differs = true;
        }
    }
    Match result()
    {
        if (differs)
            return Match::Differs;
        if (ended)
            return Match::Beginning;
        return fgetc(file) == EOF ? Match::Whole : Match::Differs;
    }
};

// Compares the file at path with the bytes of the file text or, laidOut, with its clean layout.
Match compareWith(const wchar_t* path, const wchar_t* text, bool laidOut)
{
    FILE* file = _wfopen(path, L"rb");
    FILE* source = file ? _wfopen(text, L"rb") : nullptr;
    Match result = Match::Differs;
    if (source) {
        FileMatch match = {file, false, false};
        if (laidOut) {
            layOutSettings(source, [&match](const wchar_t* piece) { match.take(piece, wcslen(piece) * sizeof(wchar_t)); });
        } else {
            unsigned char block[COMPARE_BLOCK_SIZE];
            size_t got;
            while (!match.differs && !match.ended && (got = fread(block, 1, sizeof block, source)) > 0)
                match.take(block, got);
        }
        result = match.result();
        fclose(source);
    }
    if (file)
        fclose(file);
    return result;
}

// Writes the clean layout of the UTF-16 file source as the file target; false when target cannot be made.
bool writeLayout(const wchar_t* source, const wchar_t* target)
{
    FILE* in = _wfopen(source, L"rb");
    FILE* out = in ? _wfopen(target, L"wb") : nullptr;
    if (out) {
        layOutSettings(in, [out](const wchar_t* piece) { writeUnits(out, piece); });
        (void)fclose(out);  // what reached the file is compared afterwards
    }
    if (in)
        fclose(in);
    return out != nullptr;
}

void installPath(wchar_t (&path)[SETTINGS_DIR_CAPACITY], const wchar_t* fileName)
{
    (void)formatText(path, SETTINGS_DIR_CAPACITY, L"%s\\%s", installDirectory, fileName);
}

bool isInInstallDirectory(const wchar_t* fileName)
{
    wchar_t path[SETTINGS_DIR_CAPACITY];
    installPath(path, fileName);
    return isExistingFile(path);
}

// Gives the whole file at path the settings file's name in one step. False when the name
// cannot be taken, for one while another program holds the settings file: it stays as it was.
bool takeSettingsName(const wchar_t* path)
{
    (void)SetFileAttributesW(settingsFile, FILE_ATTRIBUTE_NORMAL);  // a read-only file is replaced too; a missing one needs nothing
    return MoveFileExW(path, settingsFile, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

// Makes the settings file's next content beside it and only then gives it the settings file's
// name: the settings file's UTF-16 text (or the entries of a single-byte one) with the entries
// of extraName (none when null) merged in, in clean layout. It takes the name only when it is
// the whole layout and holds the key of every entry of both. Returns the number of entries of
// extraName, or -1 when they were not applied (it could not be read, or the settings file not
// replaced).
int replaceSettings(const wchar_t* extraName)
{
    wchar_t mergePath[SETTINGS_DIR_CAPACITY];
    wchar_t newPath[SETTINGS_DIR_CAPACITY];
    wchar_t extraPath[SETTINGS_DIR_CAPACITY] = L"";
    installPath(mergePath, MERGE_FILE_NAME);
    installPath(newPath, NEW_FILE_NAME);
    if (extraName)
        installPath(extraPath, extraName);
    // Leftovers of an earlier start are never read: deleted (read-only ones too) or overwritten.
    (void)deleteFile(mergePath);
    (void)deleteFile(newPath);
    const bool present = isExistingFile(settingsFile);
    const bool converting = present && !isWideFile(settingsFile);
    int extra = -1;
    bool made = present && !converting ? copyFile(settingsFile, mergePath) == RESULT_OK
                                       : writeFileData(mergePath, UTF16_MARK_BYTES, sizeof UTF16_MARK_BYTES) == RESULT_OK;
    if (made) {
        if (converting)
            (void)mergeInto(mergePath, settingsFile);  // checked below with the rest
        extra = extraName ? mergeInto(mergePath, extraPath) : 0;
        if ((extra > 0 || converting) &&
            !(writeLayout(mergePath, newPath) && compareWith(newPath, mergePath, true) == Match::Whole &&
              holdsEveryKey(newPath, settingsFile, !converting) && holdsEveryKey(newPath, extraPath, false) &&
              takeSettingsName(newPath)))
            extra = -1;
    }
    (void)deleteFile(mergePath);  // one left behind is made afresh next time
    (void)deleteFile(newPath);
    return extra;
}

// An earlier version of the program rewrote the settings file in place from a scratch copy, so
// one that died left the file empty or cut beside the copy: the copy then goes back byte for
// byte. Beside a whole settings file the copy is stale and goes without bringing a key back.
// False while a copy that must go back cannot: nothing is written to the settings until it has.
bool recoverEarlierRewrite()
{
    wchar_t copyPath[SETTINGS_DIR_CAPACITY];
    installPath(copyPath, CONVERSION_FILE_NAME);
    if (!isExistingFile(copyPath))
        return true;
    int entries = 0;
    if (isExistingFile(settingsFile))
        entries = readEntries(settingsFile, isWideFile(settingsFile), [](const wchar_t*, const wchar_t*, const wchar_t*) {});
    if (entries < 0)
        return false;  // unreadable now: told apart at a later start
    if (entries == 0 || compareWith(settingsFile, copyPath, false) == Match::Beginning ||
        (isWideFile(copyPath) && compareWith(settingsFile, copyPath, true) == Match::Beginning))
        return takeSettingsName(copyPath);
    (void)deleteFile(copyPath);  // one that stays is told apart again next time
    return true;
}

// Folds the pending settings, or the defaults while they are forced, into the settings file,
// converting it to UTF-16 on the way. The pending file goes once applied, or when it holds
// nothing; the defaults stay.
void applyPendingSettings()
{
    if (readInt(L"special", L"force_default_ini") == 1) {
        (void)replaceSettings(isInInstallDirectory(DEFAULT_SETTINGS_FILE_NAME) ? DEFAULT_SETTINGS_FILE_NAME : nullptr);
        return;
    }
    const bool pending = isInInstallDirectory(PENDING_SETTINGS_FILE_NAME);
    if (replaceSettings(pending ? PENDING_SETTINGS_FILE_NAME : nullptr) >= 0 && pending) {
        wchar_t pendingPath[SETTINGS_DIR_CAPACITY];
        installPath(pendingPath, PENDING_SETTINGS_FILE_NAME);
        (void)deleteFile(pendingPath);  // one that stays is merged again next time
    }
}

}  // namespace

int loadSettings(const wchar_t* installDir, const wchar_t* fileName, bool mayWrite)
{
    if (!installDir || !fileName)
        return RESULT_MISSING_ARGUMENT;
    copyCut(installDirectory, SETTINGS_DIR_CAPACITY, installDir, wcslen(installDir));
    while (*fileName == L'\\')
        ++fileName;
    (void)formatText(settingsFile, SETTINGS_DIR_CAPACITY, L"%s\\%s", installDirectory, fileName);

    if (mayWrite && recoverEarlierRewrite())
        applyPendingSettings();
    return isExistingFile(settingsFile) ? RESULT_OK : RESULT_SETTINGS_MISSING;
}

const wchar_t* settingsPath()
{
    return settingsFile;
}

const wchar_t* readString(const wchar_t* section, const wchar_t* key)
{
    readIndex = (readIndex + 1) % SETTINGS_READ_BUFFERS;
    wchar_t* value = readBuffers[readIndex];
    (void)GetPrivateProfileStringW(section, key, L"", value,
                                   static_cast<DWORD>(SETTINGS_TEXT_CAPACITY), settingsFile);
    return value;
}

int readInt(const wchar_t* section, const wchar_t* key)
{
    return static_cast<int>(GetPrivateProfileIntW(section, key, -1, settingsFile));
}

bool writeInt(const wchar_t* section, const wchar_t* key, int value)
{
    wchar_t text[16];
    (void)formatText(text, sizeof text / sizeof text[0], L"%d", value);  // always fits
    return WritePrivateProfileStringW(section, key, text, settingsFile) != FALSE;
}

int writeRegistryString(const wchar_t* section, const wchar_t* valueName, const wchar_t* text)
{
    if (!section || !valueName || !text)
        return RESULT_MISSING_ARGUMENT;
    constexpr size_t prefixLength = sizeof REGISTRY_KEY_PREFIX / sizeof(wchar_t) - 1;
    if (wcslen(section) + prefixLength >= REGISTRY_KEY_CAPACITY)
        return RESULT_REGISTRY_PATH_TOO_LONG;
    wchar_t keyPath[REGISTRY_KEY_CAPACITY];
    (void)formatText(keyPath, REGISTRY_KEY_CAPACITY, L"%s%s", REGISTRY_KEY_PREFIX, section);

    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return RESULT_REGISTRY_KEY;
    DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    LONG set = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
    (void)RegCloseKey(key);  // nothing is left to undo when closing fails
    return set == ERROR_SUCCESS ? RESULT_OK : RESULT_REGISTRY_VALUE;
}

void buildProxyAddress()
{
    proxy[0] = L'\0';
    const wchar_t* address = readString(L"proxy", L"address");
    if (address[0] == L'\0')
        return;
    int port = readInt(L"proxy", L"port");
    if (port == -1)
        port = DEFAULT_PROXY_PORT;
    // A cut address would name another host: an address that does not fit means no proxy.
    if (formatText(proxy, PROXY_ADDRESS_CAPACITY, L"%s:%d", address, port) < 0)
        proxy[0] = L'\0';
}

const wchar_t* proxyAddress()
{
    return proxy[0] ? proxy : nullptr;
}

void trimText(wchar_t* text)
{
    if (!text)
        return;
    size_t start = 0;
    while (text[start] && static_cast<unsigned>(text[start]) <= 0x20)
        ++start;
    size_t end = wcslen(text);
    while (end > start && static_cast<unsigned>(text[end - 1]) <= 0x20)
        --end;
    wmemmove(text, text + start, end - start);
    text[end - start] = L'\0';
}

int removeChar(wchar_t* text, wchar_t character)
{
    if (!text || character == L'\0')
        return -1;
    int removed = 0;
    wchar_t* out = text;
    for (const wchar_t* in = text; *in; ++in) {
        if (*in == character)
            ++removed;
        else
            *out++ = *in;
    }
    *out = L'\0';
    return removed;
}

wchar_t* duplicateText(const wchar_t* text)
{
    if (!text)
        return nullptr;
    size_t size = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(malloc(size));
    if (copy)
        memcpy(copy, text, size);
    return copy;
}
