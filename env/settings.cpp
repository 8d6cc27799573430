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

namespace {

constexpr size_t LINE_PIECE_CHARS = 254;  // longer lines are read, and rewritten, in pieces
constexpr wchar_t BYTE_ORDER_MARK = 0xFEFF;
constexpr unsigned char UTF16_MARK_BYTES[] = {0xFF, 0xFE};
constexpr size_t REGISTRY_KEY_CAPACITY = 512;
constexpr wchar_t REGISTRY_KEY_PREFIX[] = L"SOFTWARE\\zolt\\";
constexpr DWORD SECTION_LIST_CAPACITY = 4096;  // section names read when looking for an entry
constexpr DWORD KEY_LIST_CAPACITY = 64;        // enough to tell that a section holds a key
constexpr size_t COMPARE_BLOCK_SIZE = 4096;    // bytes of the scratch copy compared at a time
// The default of a read that tells an absent key from a present one: every merged value is
// trimmed of the characters up to 0x20, so none reads as this.
constexpr wchar_t ABSENT_VALUE[] = L"\x01";

wchar_t installDirectory[SETTINGS_DIR_CAPACITY];
wchar_t settingsFile[SETTINGS_DIR_CAPACITY];
wchar_t readBuffers[SETTINGS_READ_BUFFERS][SETTINGS_TEXT_CAPACITY];
size_t readIndex;
wchar_t proxy[PROXY_ADDRESS_CAPACITY];
// Set while the scratch copy may hold entries that the settings file lacks: until the next
// load nothing may replace the copy.
bool scratchCopyNeeded;

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

// How a merge treats a key that the settings file already holds.
enum class MergeMode {
    Replace,     // the source's value wins
    AddMissing,  // the settings file's value stays
};

// What a merge did: entries found, entries written, and entries left alone because the
// settings file holds their key (AddMissing only).
struct MergeCount {
    int found;
    int written;
    int present;
};

// Every entry of the source is now in the settings file.
bool mergedWhole(const MergeCount& count)
{
    return count.written + count.present == count.found;
}

bool settingsHoldKey(const wchar_t* section, const wchar_t* key)
{
    wchar_t value[2];
    (void)GetPrivateProfileStringW(section, key, ABSENT_VALUE, value, 2, settingsFile);
    return value[0] != ABSENT_VALUE[0];
}

// Merges the entries of one pass over source into the settings file.
MergeCount mergePass(FILE* source, bool wide, MergeMode mode)
{
    wchar_t section[SETTINGS_TEXT_CAPACITY] = L"";
    wchar_t line[LINE_PIECE_CHARS + 1];
    MergeCount count = {0, 0, 0};
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
        ++count.found;
        if (mode == MergeMode::AddMissing && settingsHoldKey(section, key))
            ++count.present;
        else if (WritePrivateProfileStringW(section, key, value, settingsFile))
            ++count.written;
    }
    return count;
}

// Folds the entries of fileName (in the install directory) into the settings file. The source
// is read as single-byte text and, when that finds no entry, once more as UTF-16. With
// deleteAfter the source is deleted once it has been read, but only when every entry it holds
// is in the settings file: otherwise it stays and is merged again next time. A source that
// cannot be opened merges nothing.
MergeCount mergeIniFile(const wchar_t* fileName, MergeMode mode, bool deleteAfter)
{
    wchar_t sourcePath[SETTINGS_DIR_CAPACITY];
    (void)formatText(sourcePath, SETTINGS_DIR_CAPACITY, L"%s\\%s", installDirectory, fileName);
    for (int pass = 1;; ++pass) {
        FILE* source = _wfopen(sourcePath, L"rb");
        if (!source)
            return MergeCount{0, 0, 0};
        bool wide = pass == 2;
        MergeCount count = mergePass(source, wide, mode);
        fclose(source);
        if (count.found > 0 || wide) {
            if (deleteAfter && mergedWhole(count))
                (void)deleteFile(sourcePath);  // a source that stays is merged again next time
            return count;
        }
    }
}

bool writeUnits(FILE* file, const wchar_t* text)
{
    size_t length = wcslen(text);
    return fwrite(text, sizeof(wchar_t), length, file) == length;
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

bool isWideSettingsFile()
{
    return isWideFile(settingsFile);
}

// Copies the settings file to the scratch copy. False when the copy is incomplete; it is then
// deleted, since left behind it would pass for the remains of a rewrite that died. Refused
// while the copy holds entries that the settings file may lack.
bool makeScratchCopy()
{
    if (scratchCopyNeeded)
        return false;
    if (copyFile(settingsFile, CONVERSION_FILE_NAME) == RESULT_OK)
        return true;
    (void)deleteFile(CONVERSION_FILE_NAME);
    return false;
}

// Puts the scratch copy back as the settings file. Should that fail, the copy is the only whole
// one: it stays, untouched for the rest of the load, and is recovered at the next start.
void restoreFromScratchCopy()
{
    if (copyFile(CONVERSION_FILE_NAME, settingsFile) != RESULT_OK)
        scratchCopyNeeded = true;
}

// What laying out a settings text made: entry lines, and whether every piece was taken.
struct Layout {
    int entries;
    bool complete;
};

// The clean layout of the UTF-16 text in source, handed piece by piece to put (which returns
// false when it could not take one): the mark, then one line per entry, no blanks around it,
// and one empty line before each section that follows an entry.
template <typename Put>
Layout layOutSettings(FILE* source, Put&& put)
{
    const wchar_t mark[] = {BYTE_ORDER_MARK, L'\0'};
    Layout layout = {0, put(mark)};
    wchar_t line[LINE_PIECE_CHARS + 1];
    while (readLinePiece(source, true, line)) {
        wchar_t* text = line;
        while (isBlankOrMark(*text))
            ++text;
        trimText(text);
        if (*text == L'\0')
            continue;
        if (*text == L'[') {
            if (layout.entries > 0)
                layout.complete = put(L"\r\n") && layout.complete;
        } else {
            ++layout.entries;
        }
        layout.complete = put(text) && layout.complete;
        layout.complete = put(L"\r\n") && layout.complete;
    }
    return layout;
}

// Rewrites the settings file in clean layout from the scratch copy. Returns the number of entry
// lines. A rewrite that finds no entry or fails to write puts the previous content back and
// keeps the copy.
int rewriteFromScratchCopy()
{
    FILE* copy = _wfopen(CONVERSION_FILE_NAME, L"rb");
    FILE* target = copy ? _wfopen(settingsFile, L"wb") : nullptr;
    Layout layout = {0, false};
    if (copy && target)
        layout = layOutSettings(copy, [target](const wchar_t* text) { return writeUnits(target, text); });
    if (copy)
        fclose(copy);
    if (target) {
        if (fflush(target) != 0)  // as in copyFile: a failed flush does not always fail the close
            layout.complete = false;
        if (fclose(target) != 0)
            layout.complete = false;
    }
    if (layout.entries > 0 && layout.complete) {
        (void)deleteFile(CONVERSION_FILE_NAME);  // one that stays is told apart at the next start
        return layout.entries;
    }
    restoreFromScratchCopy();
    return 0;
}

// Rewrites the settings file in clean layout through a scratch copy; only a UTF-16 file, since
// single-byte text read two bytes at a time would come out as nonsense. Returns the number of
// entry lines.
int normaliseSettingsFile()
{
    if (!isWideSettingsFile() || !makeScratchCopy())
        return 0;
    return rewriteFromScratchCopy();
}

bool isInInstallDirectory(const wchar_t* fileName)
{
    wchar_t path[SETTINGS_DIR_CAPACITY];
    (void)formatText(path, SETTINGS_DIR_CAPACITY, L"%s\\%s", installDirectory, fileName);
    return isExistingFile(path);
}

// All or nothing: when the copy or any entry's write fails, the file is left, or put back, as
// it was, and the conversion is tried again at the next start.
void convertSettingsFile()
{
    if (!makeScratchCopy())
        return;
    if (writeFileData(settingsFile, UTF16_MARK_BYTES, sizeof UTF16_MARK_BYTES) != RESULT_OK) {
        restoreFromScratchCopy();
        return;
    }
    // Judged by what was written, not by whether the copy could be deleted: another program
    // may hold it open.
    MergeCount merged = mergeIniFile(CONVERSION_FILE_NAME, MergeMode::Replace, true);
    if (!mergedWhole(merged)) {
        restoreFromScratchCopy();
        return;
    }
    if (merged.written > 0)
        (void)normaliseSettingsFile();
}

// True when some section of the settings file holds a key.
bool settingsHoldEntry()
{
    static wchar_t sections[SECTION_LIST_CAPACITY];
    wchar_t keys[KEY_LIST_CAPACITY];
    DWORD length = GetPrivateProfileSectionNamesW(sections, SECTION_LIST_CAPACITY, settingsFile);
    for (const wchar_t* name = sections; name < sections + length && *name; name += wcslen(name) + 1) {
        if (GetPrivateProfileStringW(name, nullptr, L"", keys, KEY_LIST_CAPACITY, settingsFile) > 0)
            return true;
    }
    return false;
}

// Compares an open file with a text handed to it piece by piece.
struct PrefixMatch {
    FILE* file;
    bool differs;
    bool ended;  // the file ended before the text did

    bool take(const void* bytes, size_t count)
    {
        const unsigned char* next = static_cast<const unsigned char*>(bytes);
        for (size_t i = 0; i < count && !differs && !ended; ++i) {
            int c = fgetc(file);
            if (c == EOF)
                ended = true;
            else if (c != next[i])
                differs = true;
        }
        return true;
    }
    // The file holds the text or a beginning of it.
    bool isPrefix() { return !differs && (ended || fgetc(file) == EOF); }
};

// True when the settings file holds the scratch copy, or its clean layout, or a beginning of
// either: a copy put back, or a rewrite, that was cut short. Everything in it then came from
// the copy.
bool settingsAreCutFromScratchCopy()
{
    const bool wideCopy = isWideFile(CONVERSION_FILE_NAME);
    for (int laidOut = 0; laidOut <= 1; ++laidOut) {
        if (laidOut && !wideCopy)
            break;  // only UTF-16 is ever rewritten
        FILE* settings = _wfopen(settingsFile, L"rb");
        FILE* copy = settings ? _wfopen(CONVERSION_FILE_NAME, L"rb") : nullptr;
        bool cut = false;
        if (copy) {
            PrefixMatch match = {settings, false, false};
            if (laidOut) {
                (void)layOutSettings(copy, [&match](const wchar_t* text) {
                    return match.take(text, wcslen(text) * sizeof(wchar_t));
                });
            } else {
                unsigned char block[COMPARE_BLOCK_SIZE];
                size_t got;
                while (!match.differs && !match.ended && (got = fread(block, 1, sizeof block, copy)) > 0)
                    (void)match.take(block, got);
            }
            cut = match.isPrefix();
            fclose(copy);
        }
        if (settings)
            fclose(settings);
        if (cut)
            return true;
    }
    return false;
}

// The scratch copy is deleted only after a complete rewrite or conversion, so one that exists
// may hold entries that the settings file lost when a run died, or when a disk filled, half
// way. Nothing of it is lost, and nothing replaces a value the settings file holds on its own.
void recoverInterruptedRewrite()
{
    if (!isInInstallDirectory(CONVERSION_FILE_NAME))
        return;
    MergeCount merged;
    if (!settingsHoldEntry()) {
        // Cut before its first entry, or gone: every entry comes back.
        merged = mergeIniFile(CONVERSION_FILE_NAME, MergeMode::Replace, true);
    } else if (settingsAreCutFromScratchCopy()) {
        // What is there came from the copy, the last line perhaps cut: the copy goes back whole.
        restoreFromScratchCopy();
        if (scratchCopyNeeded)
            return;
        (void)deleteFile(CONVERSION_FILE_NAME);  // the settings file holds all of it now
        (void)normaliseSettingsFile();
        return;
    } else {
        // Written to since (by the client), or the copy is stale: only missing keys come back.
        merged = mergeIniFile(CONVERSION_FILE_NAME, MergeMode::AddMissing, true);
    }
    if (!mergedWhole(merged)) {
        scratchCopyNeeded = true;  // the copy stays as it is until every entry is back
        return;
    }
    // A single-byte result is converted by the load that follows; a wide one is tidied here.
    if (merged.written > 0)
        (void)normaliseSettingsFile();
}

}  // namespace

int loadSettings(const wchar_t* installDir, const wchar_t* fileName)
{
    if (!installDir || !fileName)
        return RESULT_MISSING_ARGUMENT;
    copyCut(installDirectory, SETTINGS_DIR_CAPACITY, installDir, wcslen(installDir));
    while (*fileName == L'\\')
        ++fileName;
    (void)formatText(settingsFile, SETTINGS_DIR_CAPACITY, L"%s\\%s", installDirectory, fileName);

    scratchCopyNeeded = false;
    recoverInterruptedRewrite();
    if (!isExistingFile(settingsFile) && isInInstallDirectory(PENDING_SETTINGS_FILE_NAME))  // creates it
        (void)mergeIniFile(PENDING_SETTINGS_FILE_NAME, MergeMode::Replace, true);
    if (!isExistingFile(settingsFile))
        return RESULT_SETTINGS_MISSING;

    if (!isWideSettingsFile())
        convertSettingsFile();

    // A file the conversion had to leave single-byte takes the merge as single-byte text, and
    // is converted at a later start.
    MergeCount merged;
    if (readInt(L"special", L"force_default_ini") == 1) {
        if (!isInInstallDirectory(DEFAULT_SETTINGS_FILE_NAME))
            return RESULT_OK;
        merged = mergeIniFile(DEFAULT_SETTINGS_FILE_NAME, MergeMode::Replace, false);
    } else {
        merged = mergeIniFile(PENDING_SETTINGS_FILE_NAME, MergeMode::Replace, true);
    }
    if (merged.written > 0)
        (void)normaliseSettingsFile();
    return RESULT_OK;
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
