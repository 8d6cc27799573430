#include "tree_removal.h"

#include "files.h"
#include "text.h"

#include <windows.h>

#include <cwchar>

namespace {

// A junction or symbolic link (or any other reparse point) leads somewhere that is not the
// tree's: the entry itself goes, what it leads to is never entered. Its attributes are left
// alone, as setting them through a link could land on the target.
void removeLink(const wchar_t* path, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        (void)RemoveDirectoryW(path);  // removes the link, not the target's folder
    else
        (void)DeleteFileW(path);  // a link that stays keeps its directories too
}

}  // namespace

void removeTree(const wchar_t* base, const wchar_t* suffix, const wchar_t* pattern, TreeVisitHandler onVisit)
{
    if (!base || !*base || !pattern || !*pattern)
        return;
    wchar_t directory[TREE_PATH_CAPACITY];
    // A path cut to fit would name another directory: such a tree is passed over.
    if (formatText(directory, TREE_PATH_CAPACITY, L"%s%s", base, suffix ? suffix : L"") < 0)
        return;
    DWORD attributes = GetFileAttributesW(directory);  // of a link itself, not of its target
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        removeLink(directory, attributes);
        return;
    }
    wchar_t search[TREE_PATH_CAPACITY];
    if (formatText(search, TREE_PATH_CAPACITY, L"%s%s", directory, pattern) < 0)
        return;

    WIN32_FIND_DATAW found;
    HANDLE entries = FindFirstFileW(search, &found);
    if (entries != INVALID_HANDLE_VALUE) {
        do {
            if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L".."))
                continue;
            if (onVisit)
                onVisit(found.cFileName);
            wchar_t entry[TREE_PATH_CAPACITY];
            if (formatText(entry, TREE_PATH_CAPACITY, L"%s\\%s", directory, found.cFileName) < 0)
                continue;  // too long for the buffers: passed over
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                removeLink(entry, found.dwFileAttributes);
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                wchar_t subdirectory[TREE_PATH_CAPACITY];
                (void)formatText(subdirectory, TREE_PATH_CAPACITY, L"\\%s", found.cFileName);  // shorter than entry
                removeTree(directory, subdirectory, pattern, onVisit);
            } else {
                (void)deleteFile(entry);  // a file that stays keeps its directories too
            }
        } while (FindNextFileW(entries, &found));
        FindClose(entries);
    }
    (void)RemoveDirectoryW(directory);  // fails while something in it stays
}
