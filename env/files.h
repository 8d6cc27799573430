// File helpers. Every file they write or copy is left with normal attributes, and every file
// they delete or copy from has its read-only, hidden and system attributes cleared first.
// Results: RESULT_OK, RESULT_MISSING_ARGUMENT, the codes below, or a system error code.
#pragma once

#include <cstddef>

constexpr size_t PATH_CAPACITY = 520;     // characters of a path buffer, terminator included
constexpr size_t COPY_BLOCK_SIZE = 65536;  // bytes moved per read by copyFile
constexpr size_t WRITE_PIECE_SIZE = size_t(1) << 30;  // most bytes handed to one write

// Copies source to destination, replacing it (also when it is read-only). RESULT_FILE_OPEN when either file cannot be
// opened, RESULT_NO_MEMORY when the copy buffer cannot be allocated, RESULT_FILE_WRITE when a
// read, a write or the closing of the copy fails (the destination is then incomplete).
[[nodiscard]] int copyFile(const wchar_t* source, const wchar_t* destination);

// Writes length bytes of data as the whole file. RESULT_MISSING_ARGUMENT for a null path or
// data or a length of 0 (no file is made); RESULT_FILE_WRITE when the file cannot be opened or
// not every byte reached it (a failed write, flush or close; the file is then incomplete).
[[nodiscard]] int writeFileData(const wchar_t* path, const void* data, size_t length);

// Deletes the file, also when it is read-only, hidden or system: RESULT_OK or the system error.
int deleteFile(const wchar_t* path);

// 1 when the path exists and is not a directory, else 0 (also for null).
int isExistingFile(const wchar_t* path);
// 1 when the path is a directory, 0 when it is missing or not a directory, -1 for null.
int isDirectory(const wchar_t* path);
