#include "archive_installer.h"

#include <gtest/gtest.h>

TEST(EntryNames, OnlyNamesInsideTheInstallDirectoryAreSafe)
{
    const struct {
        const wchar_t* name;
        bool safe;
    } table[] = {
        {L"a.txt", true},
        {L"bin/client.dll", true},
        {L"bin\\client.dll", true},
        {L"./a.txt", true},
        {L"a..b/c..txt", true},
        {L"console.txt", true},
        {L"COM0", true},
        {L"COM10.txt", true},
        {L"LPTX", true},
        {L"\u65e5\u672c/\u540d\u524d.txt", true},
        // Absolute, drive, UNC and device forms.
        {L"/etc/x", false},
        {L"\\x", false},
        {L"\\\\server\\share\\x", false},
        {L"\\\\?\\C:\\x", false},
        {L"C:\\x", false},
        {L"C:x", false},
        // Climbing out, with either separator, or through components Windows strips away.
        {L"..", false},
        {L"../x", false},
        {L"a/../../x", false},
        {L"a\\..\\x", false},
        {L"a/..", false},
        {L"a/... /x", false},
        // Alternate data streams.
        {L"a.txt:hidden", false},
        {L"a.txt::$DATA", false},
        // Reserved device names, in any case, with or without an extension.
        {L"CON", false},
        {L"con.txt", false},
        {L"bin/Nul", false},
        {L"PRN.log.old", false},
        {L"aux", false},
        {L"COM1", false},
        {L"lpt9.dat", false},
        {L"CON .txt", false},
    };
    for (const auto& row : table)
        EXPECT_EQ(isSafeEntryName(row.name), row.safe) << row.name;
    EXPECT_FALSE(isSafeEntryName(nullptr));
}
