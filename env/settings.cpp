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

// What one pass over a merge source did: entries found, and how many of them were written.
struct MergeCount {
    int found;
    int written;
};

// Merges the entries of one pass over source into the settings file.
MergeCount mergePass(FILE* source, bool wide)
{
    wchar_t section[SETTINGS_TEXT_CAPACITY] = L"";
    wchar_t line[LINE_PIECE_CHARS + 1];
    MergeCount count = {0, 0};
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
        if (WritePrivateProfileStringW(section, key, value, settingsFile))
            ++count.written;
    }
    return count;
}

// Folds the entries of fileName (in the install directory) into the settings file. The source
// is read as single-byte text and, when that finds no entry, once more as UTF-16. Returns the
// number of entries written. With deleteAfter the source is deleted once it has been read, but
// only when every entry it holds was written: otherwise it stays and is merged again next time.
int mergeIniFile(const wchar_t* fileName, bool deleteAfter)
{
    wchar_t sourcePath[SETTINGS_DIR_CAPACITY];
    (void)formatText(sourcePath, SETTINGS_DIR_CAPACITY, L"%s\\%s", installDirectory, fileName);
    for (int pass = 1;; ++pass) {
        FILE* source = _wfopen(sourcePath, L"rb");
        if (!source)
            return 0;
        bool wide = pass == 2;
        MergeCount count = mergePass(source, wide);
        fclose(source);
        if (count.found > 0 || wide) {
            if (deleteAfter && count.written == count.found)
                (void)deleteFile(sourcePath);  // a source that stays is merged again next time
            return count.written;
        }
    }
}

bool writeUnits(FILE* file, const wchar_t* text)
{
    size_t length = wcslen(text);
    return fwrite(text, sizeof(wchar_t), length, file) == length;
}

// Copies the settings file to the scratch copy. False when the copy is incomplete; it is then
// deleted, since left behind it would pass for the remains of a rewrite that died.
bool makeScratchCopy()
{
    if (copyFile(settingsFile, CONVERSION_FILE_NAME) == RESULT_OK)
        return true;
    (void)deleteFile(CONVERSION_FILE_NAME);
    return false;
}

// Rewrites the settings file as UTF-16 with one entry per line, no blanks around it, and one
// empty line before each section that follows an entry. Returns the number of entry lines. The
// file is only rewritten from a complete scratch copy; a rewrite that finds no entry or fails
// to write puts the previous content back and keeps the copy.
int normaliseSettingsFile()
{
    if (!makeScratchCopy())
        return 0;
    FILE* copy = _wfopen(CONVERSION_FILE_NAME, L"rb");
    FILE* target = copy ? _wfopen(settingsFile, L"wb") : nullptr;
    int entries = 0;
    bool written = target != nullptr;
    if (copy && target) {
        const wchar_t mark[] = {BYTE_ORDER_MARK, L'\0'};
        written = writeUnits(target, mark);
        wchar_t line[LINE_PIECE_CHARS + 1];
        while (readLinePiece(copy, true, line)) {
            wchar_t* text = line;
            while (isBlankOrMark(*text))
                ++text;
            trimText(text);
            if (*text == L'\0')
                continue;
            if (*text == L'[') {
                if (entries > 0)
                    written = writeUnits(target, L"\r\n") && written;
            } else {
                ++entries;
            }
            written = writeUnits(target, text) && written;
            written = writeUnits(target, L"\r\n") && written;
        }
    }
    if (copy)
        fclose(copy);
    if (target) {
        if (fflush(target) != 0)  // as in copyFile: a failed flush does not always fail the close
            written = false;
        if (fclose(target) != 0)
            written = false;
    }
    if (entries > 0 && written) {
        (void)deleteFile(CONVERSION_FILE_NAME);  // a leftover copy is merged back only into an empty file
        return entries;
    }
    // Puts the previous content back; should that fail too, the copy is recovered at the next start.
    (void)copyFile(CONVERSION_FILE_NAME, settingsFile);
    return 0;
}

bool isInInstallDirectory(const wchar_t* fileName)
{
    wchar_t path[SETTINGS_DIR_CAPACITY];
    (void)formatText(path, SETTINGS_DIR_CAPACITY, L"%s\\%s", installDirectory, fileName);
    return isExistingFile(path);
}

// A file whose first byte is FF or whose second is FE is taken as UTF-16 already.
bool isWideSettingsFile()
{
    unsigned char head[4] = {0, 0, 0, 0};
    FILE* file = _wfopen(settingsFile, L"rb");
    if (!file)
        return true;  // unreadable: left as it is
    (void)fread(head, 1, sizeof head, file);  // a shorter file leaves zeros
    fclose(file);
    return head[0] == UTF16_MARK_BYTES[0] || head[1] == UTF16_MARK_BYTES[1];
}

// All or nothing: when the copy or any entry's write fails, the file is left, or put back, as
// it was, and the conversion is tried again at the next start.
void convertSettingsFile()
{
    if (!makeScratchCopy())
        return;
    if (writeFileData(settingsFile, UTF16_MARK_BYTES, sizeof UTF16_MARK_BYTES) != RESULT_OK) {
        (void)copyFile(CONVERSION_FILE_NAME, settingsFile);
        return;
    }
    int merged = mergeIniFile(CONVERSION_FILE_NAME, true);
    if (isInInstallDirectory(CONVERSION_FILE_NAME)) {
        (void)copyFile(CONVERSION_FILE_NAME, settingsFile);  // not every entry was written
        return;
    }
    if (merged > 0)
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

// A run that died between truncating the settings file and finishing its rewrite leaves the
// scratch copy behind and the settings file without an entry: the copy's entries go back in.
void recoverInterruptedRewrite()
{
    if (!isInInstallDirectory(CONVERSION_FILE_NAME) || settingsHoldEntry())
        return;
    // A single-byte result is converted by the load that follows; a wide one is tidied here.
    if (mergeIniFile(CONVERSION_FILE_NAME, true) > 0 && isWideSettingsFile())
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

    recoverInterruptedRewrite();
    if (!isExistingFile(settingsFile) && isInInstallDirectory(PENDING_SETTINGS_FILE_NAME))
        (void)mergeIniFile(PENDING_SETTINGS_FILE_NAME, true);  // creates the settings file
    if (!isExistingFile(settingsFile))
        return RESULT_SETTINGS_MISSING;

    if (!isWideSettingsFile())
        convertSettingsFile();

    int merged;
    if (readInt(L"special", L"force_default_ini") == 1) {
        if (!isInInstallDirectory(DEFAULT_SETTINGS_FILE_NAME))
            return RESULT_OK;
        merged = mergeIniFile(DEFAULT_SETTINGS_FILE_NAME, false);
    } else {
        merged = mergeIniFile(PENDING_SETTINGS_FILE_NAME, true);
    }
    if (merged > 0)
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
