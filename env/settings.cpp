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

wchar_t installDirectory[SETTINGS_DIR_CAPACITY];
wchar_t settingsFile[SETTINGS_DIR_CAPACITY];
wchar_t readBuffers[SETTINGS_READ_BUFFERS][SETTINGS_TEXT_CAPACITY];
size_t readIndex;
wchar_t proxy[PROXY_ADDRESS_CAPACITY];

bool isBlankOrMark(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r') || c == BYTE_ORDER_MARK;
}

// Single-byte text: each byte is the character with the same code.
wchar_t decodeSingleByte(int byte)
{
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
            c = decodeSingleByte(low);
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

// Merges the entries of one pass over source into the settings file; returns their number.
int mergePass(FILE* source, bool wide)
{
    wchar_t section[SETTINGS_TEXT_CAPACITY] = L"";
    wchar_t line[LINE_PIECE_CHARS + 1];
    int count = 0;
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
        (void)WritePrivateProfileStringW(section, key, value, settingsFile);  // unreported
        ++count;
    }
    return count;
}

// Folds the entries of fileName (in the install directory) into the settings file. The source
// is read as single-byte text and, when that finds no entry, once more as UTF-16. Returns the
// number of entries written; with deleteAfter the source is deleted once it has been read.
int mergeIniFile(const wchar_t* fileName, bool deleteAfter)
{
    wchar_t sourcePath[SETTINGS_DIR_CAPACITY];
    (void)formatText(sourcePath, SETTINGS_DIR_CAPACITY, L"%s\\%s", installDirectory, fileName);
    for (int pass = 1;; ++pass) {
        FILE* source = _wfopen(sourcePath, L"rb");
        if (!source)
            return 0;
        bool wide = pass == 2;
        int count = mergePass(source, wide);
        fclose(source);
        if (count > 0 || wide) {
            if (deleteAfter)
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

// Rewrites the settings file as UTF-16 with one entry per line, no blanks around it, and one
// empty line before each section that follows an entry. Returns the number of entry lines; a
// rewrite that finds none puts the previous content back and keeps the scratch copy.
int normaliseSettingsFile()
{
    (void)copyFile(settingsFile, CONVERSION_FILE_NAME);  // a failed copy shows at the open below
    FILE* copy = _wfopen(CONVERSION_FILE_NAME, L"rb");
    FILE* target = copy ? _wfopen(settingsFile, L"wb") : nullptr;
    int entries = 0;
    if (copy && target) {
        const wchar_t mark[] = {BYTE_ORDER_MARK, L'\0'};
        (void)writeUnits(target, mark);  // write failures are not reported by the rewrite
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
                    (void)writeUnits(target, L"\r\n");
            } else {
                ++entries;
            }
            (void)writeUnits(target, text);
            (void)writeUnits(target, L"\r\n");
        }
    }
    if (copy)
        fclose(copy);
    if (target)
        fclose(target);
    if (entries > 0)
        (void)deleteFile(CONVERSION_FILE_NAME);  // a leftover copy does no harm
    else
        (void)copyFile(CONVERSION_FILE_NAME, settingsFile);  // puts the previous content back
    return entries;
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

void convertSettingsFile()
{
    (void)copyFile(settingsFile, CONVERSION_FILE_NAME);
    (void)writeFileData(settingsFile, UTF16_MARK_BYTES, sizeof UTF16_MARK_BYTES);
    if (mergeIniFile(CONVERSION_FILE_NAME, true) > 0)
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
