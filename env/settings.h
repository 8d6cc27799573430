// Settings store: the client's settings file zolt.ini in the install directory, its pending
// update and default files, the few values published under HKEY_LOCAL_MACHINE, and the proxy
// address. Every read and write goes to the file through the platform's profile functions at
// the time of the call; nothing is cached but the proxy address. Main thread only.
//
// Sections and keys the program uses:
//   [special]       force_default_ini      1: merge zolt_default.ini (kept) instead of zolt_upd.ini
//   [General]       UpgradeLaunch          program named by the launcher mode ("zolt.exe")
//   [General]       upgrade_never_ask, upgrade_never_ask_tmp, upgrade_do_not_ask
//   [universe]      host, port             forms the full kit's download path
//   [proxy]         address, port          proxy for the downloads (port 8080 when absent)
//   [international] codepage<N>            font face for Windows code page N
//   [Launch]        Exec                   the client program, restarted after an update
#pragma once

#include <cstddef>

constexpr size_t SETTINGS_DIR_CAPACITY = 512;    // install directory and settings path
constexpr size_t SETTINGS_TEXT_CAPACITY = 256;   // values, keys and section names: 255 characters
constexpr size_t SETTINGS_READ_BUFFERS = 5;
constexpr size_t PROXY_ADDRESS_CAPACITY = 256;
constexpr int DEFAULT_PROXY_PORT = 8080;

extern const wchar_t SETTINGS_FILE_NAME[];         // "zolt.ini"
extern const wchar_t PENDING_SETTINGS_FILE_NAME[];  // "zolt_upd.ini", merged and deleted
extern const wchar_t DEFAULT_SETTINGS_FILE_NAME[];  // "zolt_default.ini", merged and kept
extern const wchar_t CONVERSION_FILE_NAME[];        // "zolt_tmp_ascii.ini", left by earlier versions
extern const wchar_t MERGE_FILE_NAME[];             // "zolt_tmp_merge.ini", scratch: entries merged
extern const wchar_t NEW_FILE_NAME[];               // "zolt_tmp_new.ini", scratch: the next zolt.ini

// Finds the settings file (fileName, such as "\zolt.ini", inside installDir) and, with
// mayWrite, folds the pending or default settings into it, converted to UTF-16 and in clean
// layout. The settings file is replaced whole or not at all: its next content is made and read
// back beside it, then takes its name; when it cannot, the file stays as it was and the pending
// settings stay for the next start. A file that an earlier version left cut beside its scratch
// copy "zolt_tmp_ascii.ini" is first put back from the copy byte for byte. Single-byte files
// are read in the system's ANSI code page. Without mayWrite the settings are used as they are.
// RESULT_OK when the settings file exists afterwards, RESULT_SETTINGS_MISSING when not.
[[nodiscard]] int loadSettings(const wchar_t* installDir, const wchar_t* fileName, bool mayWrite);

// Full path of the settings file, fixed by loadSettings.
const wchar_t* settingsPath();

// The value (at most 255 characters) in a rotating buffer of 5, empty when absent.
const wchar_t* readString(const wchar_t* section, const wchar_t* key);
// The value as GetPrivateProfileIntW reads it, -1 when absent.
int readInt(const wchar_t* section, const wchar_t* key);
// Writes value as decimal text; returns the platform call's success flag.
bool writeInt(const wchar_t* section, const wchar_t* key, int value);

// Sets a REG_SZ value under HKEY_LOCAL_MACHINE\SOFTWARE\zolt\<section>. RESULT_OK,
// RESULT_REGISTRY_PATH_TOO_LONG when the key path would reach 512 characters,
// RESULT_REGISTRY_KEY or RESULT_REGISTRY_VALUE; RESULT_MISSING_ARGUMENT for a null argument.
int writeRegistryString(const wchar_t* section, const wchar_t* valueName, const wchar_t* text);

// Builds "address:port" from section proxy once; no proxy when the address is empty or the
// whole text does not fit 255 characters.
void buildProxyAddress();
// The proxy address, or null when there is none.
const wchar_t* proxyAddress();

// Removes every character of code 0x20 or below from both ends, in place.
void trimText(wchar_t* text);
// Removes every occurrence of character from text, in place; returns how many went, or -1
// for a null text or a zero character.
int removeChar(wchar_t* text, wchar_t character);
// Heap copy owned by the caller (free()), or null for null text or a failed allocation.
wchar_t* duplicateText(const wchar_t* text);
