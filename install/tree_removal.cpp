#include "tree_removal.h"

#include "files.h"
#include "text.h"

#include <windows.h>

#include <cwchar>

void removeTree(const wchar_t* base, const wchar_t* suffix, const wchar_t* pattern, TreeVisitHandler onVisit)
{
    if (!base || !*base || !pattern || !*pattern)
        return;
    wchar_t directory[TREE_PATH_CAPACITY];
    // A path cut to fit would name another directory: such a tree is passed over.
    if (formatText(directory, TREE_PATH_CAPACITY, L"%s%s", base, suffix ? suffix : L"") < 0 ||
        isDirectory(directory) != 1)
        return;
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
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
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
