#include "files.h"

#include "result_codes.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

void setNormalAttributes(const wchar_t* path)
{
    (void)SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);  // a missing file shows at the open
}

}  // namespace

int copyFile(const wchar_t* source, const wchar_t* destination)
{
    if (!source || !destination)
        return RESULT_MISSING_ARGUMENT;
    setNormalAttributes(source);
    FILE* in = _wfopen(source, L"rbS");
    if (!in)
        return RESULT_FILE_OPEN;
    setNormalAttributes(destination);  // a read-only file in the way is replaced all the same
    FILE* out = _wfopen(destination, L"wbS");
    if (!out) {
        fclose(in);
        return RESULT_FILE_OPEN;
    }
    char* block = static_cast<char*>(malloc(COPY_BLOCK_SIZE));
    if (!block) {
        fclose(in);
        fclose(out);
        return RESULT_NO_MEMORY;
    }
    (void)fseek(in, 0, SEEK_SET);  // a fresh stream already stands at the start
    bool complete = true;
    size_t got;
    do {
        got = fread(block, 1, COPY_BLOCK_SIZE, in);
        if (fwrite(block, 1, got, out) != got)
            complete = false;
    } while (got == COPY_BLOCK_SIZE && complete);
    if (ferror(in))
        complete = false;
    fclose(in);
    // The last buffered bytes are written here; flushed on its own, since a failed flush is
    // not always seen in the result of the close.
    if (fflush(out) != 0)
        complete = false;
    if (fclose(out) != 0)
        complete = false;
    free(block);
    setNormalAttributes(destination);
    return complete ? RESULT_OK : RESULT_FILE_WRITE;
}

int writeFileData(const wchar_t* path, const void* data, size_t length)
{
    if (!path || !data || length == 0)
        return RESULT_MISSING_ARGUMENT;
    FILE* out = _wfopen(path, L"wbS");
    if (!out)
        return RESULT_FILE_WRITE;
    // The runtime's fwrite counts in 32 bits inside: a block of 2 GiB and more goes in pieces.
    const char* next = static_cast<const char*>(data);
    size_t left = length;
    bool complete = true;
    while (left > 0 && complete) {
        size_t piece = left < WRITE_PIECE_SIZE ? left : WRITE_PIECE_SIZE;
        complete = fwrite(next, 1, piece, out) == piece;
        next += piece;
        left -= piece;
    }
    // As in copyFile: the tail still in the stream's buffer is written by a flush of its own.
    if (fflush(out) != 0)
        complete = false;
    if (fclose(out) != 0)
        complete = false;
    setNormalAttributes(path);
    return complete ? RESULT_OK : RESULT_FILE_WRITE;
}

int deleteFile(const wchar_t* path)
{
    if (!path)
        return RESULT_MISSING_ARGUMENT;
    setNormalAttributes(path);
    if (!DeleteFileW(path))
        return static_cast<int>(GetLastError());
    return RESULT_OK;
}

int isExistingFile(const wchar_t* path)
{
    if (!path)
        return 0;
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int isDirectory(const wchar_t* path)
{
    if (!path)
        return -1;
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
