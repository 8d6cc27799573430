#include "archive_installer.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(EntryNames, OnlyNamesWindowsCanMakeAreCreatable)
{
    const struct {
        const wchar_t* name;
        bool creatable;
    } table[] = {
        {L"a.txt", true},
        {L"bin/client.dll", true},
        {L"bin\\client.dll", true},
        {L"./a.txt", true},
        {L"a/./b.txt", true},
        {L".hidden", true},
        {L"a b/c d.txt", true},
        {L"a.b.c", true},
        {L"x\x7f.txt", true},  // DEL is no control character to Windows
        {L"\u65e5\u672c/\u540d\u524d.txt", true},
        // Empty names and parts.
        {L"", false},
        {L"a//b.txt", false},
        {L"a/", false},
        {L"a\\\\b.txt", false},
        // Control characters.
        {L"a\x01.txt", false},
        {L"a\tb.txt", false},
        {L"dir\x1f/b.txt", false},
        // Characters Windows reserves.
        {L"b|bad.txt", false},
        {L"a<b", false},
        {L"a>b", false},
        {L"a\"b", false},
        {L"what?.txt", false},
        {L"*.txt", false},
        {L"dir*/b.txt", false},
        // Parts that end in a dot or a blank, which Windows strips; a name that ends in ".".
        {L"a.", false},
        {L"a ", false},
        {L"dot./x.txt", false},
        {L"blank /x.txt", false},
        {L"a/.", false},
        {L".", false},
    };
    for (const auto& row : table)
        EXPECT_EQ(isCreatableEntryName(row.name), row.creatable) << testing::PrintToString(std::wstring(row.name));
    EXPECT_FALSE(isCreatableEntryName(nullptr));
}
