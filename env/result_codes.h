// Result codes shared by the whole program. 0 is success; the program's own failures have
// codes of their own in the 400s; other failures pass the system's error code up unchanged.
#pragma once

constexpr int RESULT_OK = 0;
constexpr int RESULT_MISSING_ARGUMENT = -1;
constexpr int RESULT_NO_MEMORY = 400;             // the buffer of a copy cannot be allocated
constexpr int RESULT_FILE_OPEN = 410;             // a file of a copy cannot be opened
constexpr int RESULT_FILE_WRITE = 411;            // a file cannot be written
constexpr int RESULT_REGISTRY_KEY = 455;          // a registry key cannot be created or opened
constexpr int RESULT_REGISTRY_VALUE = 456;        // a registry value cannot be written
constexpr int RESULT_REGISTRY_PATH_TOO_LONG = 459;
constexpr int RESULT_SETTINGS_MISSING = 460;      // no settings file in the install directory
