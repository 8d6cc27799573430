#include "tree_removal.h"

#include "processes.h"
#include "temp_install_dir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> visited;

void recordVisit(const wchar_t* name)
{
    visited.push_back(name);
}

void makeTree(const TempInstallDir& dir)
{
    for (const wchar_t* folder : {L"cache", L"cache\\deep", L"cache\\deep\\deeper", L"cache\\empty", L"cache\\.git"})
        CreateDirectoryW(dir.file(folder).c_str(), nullptr);
    for (const wchar_t* file : {L"cache\\a.bin", L"cache\\.hidden", L"cache\\deep\\b.bin", L"cache\\deep\\deeper\\c",
                                L"cache\\.git\\config", L"keep.txt"})
        dir.write(file, "x");
    SetFileAttributesW(dir.file(L"cache\\a.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(dir.file(L"cache\\deep\\b.bin").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
}

}  // namespace

TEST(RemoveTree, RemovesAWholeTreeDepthFirst)
{
    TempInstallDir dir;
    makeTree(dir);
    visited.clear();
    removeTree(dir.path().c_str(), L"\\cache", L"\\*.*", recordVisit);
    EXPECT_FALSE(dir.exists(L"cache"));
    EXPECT_TRUE(dir.exists(L"keep.txt"));  // outside the suffixed directory
    // Every entry was shown by its bare name; dot names are ordinary entries.
    std::vector<std::wstring> expected = {L"a.bin", L".hidden", L"deep", L"b.bin", L"deeper", L"c",
                                          L"empty", L".git", L"config"};
    EXPECT_EQ(visited.size(), expected.size());
    for (const std::wstring& name : expected)
        EXPECT_NE(std::find(visited.begin(), visited.end(), name), visited.end()) << utf8(name);
}

TEST(RemoveTree, LeavesWhatIsInUseWithTheFoldersAboveIt)
{
    TempInstallDir dir;
    makeTree(dir);
    std::wstring holder = installProgram(L"fake_client.exe", dir.path(), L"holder.exe");
    StartedProcess process =
        startPlain(L"\"" + holder + L"\" --hold " + dir.file(L"cache\\deep\\deeper\\c") + L" --stay 120000");
    for (int waited = 0; waited < 100 && dir.read(L"holder.exe.holding").empty(); ++waited)
        Sleep(50);
    ASSERT_EQ(dir.read(L"holder.exe.holding"), "held\n");
    removeTree(dir.path().c_str(), L"", L"\\*.*", nullptr);  // as the uninstall mode does
    EXPECT_TRUE(dir.exists(L"cache\\deep\\deeper\\c"));
    EXPECT_FALSE(dir.exists(L"cache\\deep\\b.bin"));
    EXPECT_FALSE(dir.exists(L"cache\\a.bin"));
    EXPECT_FALSE(dir.exists(L"cache\\empty"));
    EXPECT_FALSE(dir.exists(L"keep.txt"));
    EXPECT_TRUE(dir.exists(L"holder.exe"));  // the running program stays too
    TerminateProcess(process.process, 0);
    process.wait(5000);
}

TEST(RemoveTree, DoesNothingWithoutADirectoryOrForPathsTooLong)
{
    TempInstallDir dir;
    dir.write(L"keep.txt", "x");
    removeTree(dir.path().c_str(), L"\\cache", L"\\*.*", nullptr);  // no cache folder
    removeTree(dir.path().c_str(), L"", L"", nullptr);
    removeTree(nullptr, L"", L"\\*.*", nullptr);
    removeTree(L"", L"", L"\\*.*", nullptr);
    EXPECT_TRUE(dir.exists(L"keep.txt"));

    // Cut to the buffer, this path would name the folder itself (repeated separators fold).
    CreateDirectoryW(dir.file(L"victim").c_str(), nullptr);
    dir.write(L"victim\\precious.txt", "x");
    std::wstring base = dir.file(L"victim");
    std::wstring suffix = std::wstring(TREE_PATH_CAPACITY, L'\\') + L"elsewhere";
    removeTree(base.c_str(), suffix.c_str(), L"\\*.*", nullptr);
    EXPECT_TRUE(dir.exists(L"victim\\precious.txt"));
}
