#include "tree_removal.h"

#include "processes.h"
#include "temp_install_dir.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
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

bool wasVisited(const wchar_t* name)
{
    return std::find(visited.begin(), visited.end(), name) != visited.end();
}

bool isLink(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Waits up to 10 s for path to become (or stop being) a link.
bool waitForLink(const std::wstring& path, bool present)
{
    for (int waited = 0; waited < 500; ++waited) {
        if (isLink(path) == present)
            return true;
        Sleep(20);
    }
    return false;
}

// A junction, as Windows makes one without privileges; false where the file system refuses.
bool makeJunction(const std::wstring& link, const std::wstring& target)
{
    struct {
        DWORD tag;
        WORD dataLength, reserved, substituteOffset, substituteLength, printOffset, printLength;
        wchar_t names[2 * MAX_PATH];
    } mountPoint = {};
    std::wstring substitute = L"\\??\\" + target;
    if (substitute.size() + 2 > 2 * MAX_PATH || !CreateDirectoryW(link.c_str(), nullptr))
        return false;
    mountPoint.tag = IO_REPARSE_TAG_MOUNT_POINT;
    mountPoint.substituteLength = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    mountPoint.printOffset = static_cast<WORD>(mountPoint.substituteLength + sizeof(wchar_t));  // empty print name
    substitute.copy(mountPoint.names, substitute.size());
    mountPoint.dataLength = static_cast<WORD>(4 * sizeof(WORD) + mountPoint.printOffset + sizeof(wchar_t));
    HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD returned = 0;
    bool made = handle != INVALID_HANDLE_VALUE &&
                DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, &mountPoint, mountPoint.dataLength + 8u, nullptr, 0,
                                &returned, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (!made)
        RemoveDirectoryW(link.c_str());
    return made && isLink(link);
}

// The Unix name of a Windows path under Wine; empty elsewhere.
std::wstring unixPath(const std::wstring& path)
{
    using UnixName = char*(CDECL*)(const wchar_t*);
    auto toUnix = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = toUnix ? toUnix(path.c_str()) : nullptr;
    if (!name)
        return L"";
    wchar_t wide[2 * MAX_PATH] = {};
    MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 2 * MAX_PATH - 1);
    HeapFree(GetProcessHeap(), 0, name);
    return wide;
}

// Wine starts a Unix program detached, with no process handle: callers wait for its effect.
bool startUnixProgram(const std::wstring& commandLine)
{
    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    if (info.hProcess) {
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    return true;
}

enum LinkKind { LINK_NONE, LINK_JUNCTION, LINK_UNIX };

// A directory link for one test, made the best way the platform has. Windows makes a junction.
// Wine 8 makes no link through Win32 (FSCTL_SET_REPARSE_POINT fails with 50, CreateSymbolicLinkW
// succeeds and makes nothing), but it reports a Unix symbolic link to a directory as a reparse
// point and can run Unix programs: there ln makes the link, and rm takes it away at the end.
class DirectoryLink {
public:
    DirectoryLink(const std::wstring& link, const std::wstring& target) : link_(link)
    {
        if (makeJunction(link, target)) {
            kind_ = LINK_JUNCTION;
            return;
        }
        unixLink_ = unixPath(link);
        std::wstring unixTarget = unixPath(target);
        if (!unixLink_.empty() && !unixTarget.empty() &&
            startUnixProgram(L"Z:\\bin\\ln -s \"" + unixTarget + L"\" \"" + unixLink_ + L"\"") &&
            waitForLink(link, true))
            kind_ = LINK_UNIX;
    }
    ~DirectoryLink()
    {
        if (!isLink(link_))
            return;
        if (kind_ == LINK_JUNCTION)
            RemoveDirectoryW(link_.c_str());
        else if (kind_ == LINK_UNIX && startUnixProgram(L"Z:\\bin\\rm \"" + unixLink_ + L"\""))
            waitForLink(link_, false);
    }
    DirectoryLink(const DirectoryLink&) = delete;
    DirectoryLink& operator=(const DirectoryLink&) = delete;

    LinkKind kind() const { return kind_; }

private:
    std::wstring link_;
    std::wstring unixLink_;
    LinkKind kind_ = LINK_NONE;
};

const char* const NO_LINK = "this platform makes no directory link that Win32 reports as a reparse point "
                            "(no junction, no Wine with a Unix ln)";

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

TEST(RemoveTree, RemovesLinksWithoutEnteringThem)
{
    TempInstallDir dir;
    makeTree(dir);
    CreateDirectoryW(dir.file(L"outside").c_str(), nullptr);
    dir.write(L"outside\\precious.txt", "x");
    DirectoryLink link(dir.file(L"cache\\deep\\linked"), dir.file(L"outside"));
    if (link.kind() == LINK_NONE) {
        GTEST_SKIP() << NO_LINK;
    }
    visited.clear();
    removeTree(dir.path().c_str(), L"\\cache", L"\\*.*", recordVisit);
    EXPECT_EQ(dir.read(L"outside\\precious.txt"), "x");
    EXPECT_TRUE(wasVisited(L"linked"));  // an entry like any other
    EXPECT_FALSE(wasVisited(L"precious.txt"));
    EXPECT_FALSE(dir.exists(L"cache\\a.bin"));
    EXPECT_FALSE(dir.exists(L"cache\\deep\\deeper"));
    // Wine cannot remove a Unix link through Win32 (RemoveDirectoryW fails with 145 while the
    // target holds files): there it stays, and so do the folders above it.
    if (link.kind() == LINK_JUNCTION) {
        EXPECT_FALSE(dir.exists(L"cache"));
    }
}

TEST(RemoveTree, RemovesATopFolderThatIsALinkButNotItsTarget)
{
    TempInstallDir dir;
    CreateDirectoryW(dir.file(L"elsewhere").c_str(), nullptr);
    dir.write(L"elsewhere\\precious.txt", "x");
    DirectoryLink link(dir.file(L"cache"), dir.file(L"elsewhere"));
    if (link.kind() == LINK_NONE) {
        GTEST_SKIP() << NO_LINK;
    }
    visited.clear();
    removeTree(dir.path().c_str(), L"\\cache", L"\\*.*", recordVisit);
    EXPECT_EQ(dir.read(L"elsewhere\\precious.txt"), "x");
    EXPECT_TRUE(visited.empty());
    if (link.kind() == LINK_JUNCTION) {
        EXPECT_FALSE(dir.exists(L"cache"));
    }
}
