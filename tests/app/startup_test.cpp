#include "startup.h"

#include "updater_state.h"

#include <gtest/gtest.h>

#include <string>

TEST(ModeChoice, UninstallIsAnySubstringOfTheCommandLine)
{
    const struct {
        const wchar_t* line;
        bool uninstall;
    } table[] = {
        {L"-uninstall", true},
        {L"first -uninstall last", true},
        {L"x-uninstallx", true},  // also inside a longer argument
        {L"-Uninstall", false},   // letter case counts
        {L"-uninstal", false},
        {L"", false},
    };
    for (const auto& row : table)
        EXPECT_EQ(isUninstallRequest(row.line), row.uninstall) << row.line;
}

TEST(ModeChoice, LauncherForNoArgumentsOrTheOwnPathAlone)
{
    const wchar_t* own = L"C:\\Zolt\\Updater.exe";
    const struct {
        const wchar_t* line;
        bool launcher;
    } table[] = {
        {L"", true},
        {L"C:\\Zolt\\Updater.exe", true},
        {L"c:\\zolt\\UPDATER.EXE", true},
        {L"C:\\Zolt\\Updater.exe x", false},
        {L"\"C:\\Zolt\\Updater.exe\"", false},  // compared as a whole
        {L"https://base path third", false},
    };
    for (const auto& row : table)
        EXPECT_EQ(isLauncherRequest(row.line, own), row.launcher) << row.line;
    EXPECT_TRUE(isLauncherRequest(nullptr, own));
}

TEST(FindInstallDirectory, IsTheFolderOfTheRunningProgram)
{
    findInstallDirectory();
    std::wstring own = updaterState.ownPath;
    std::wstring dir = updaterState.installDir;
    ASSERT_GT(own.size(), dir.size());
    EXPECT_EQ(own.substr(0, dir.size() + 1), dir + L"\\");
    EXPECT_EQ(own.substr(dir.size() + 1), L"app_tests.exe");
}
