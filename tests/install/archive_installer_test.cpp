// The installer on real archives made by 7zz (testbed/make_archives.py), unpacked into a
// scratch install directory.
#include "archive_installer.h"
#include "install_journal.h"

#include "processes.h"
#include "temp_install_dir.h"
#include "test_archives.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char ARCHIVE_NAME[] = "upgrade.rtp";
constexpr char MTIME_TEXT[] = "2024-02-29 13:45:07";  // every entry's stored time
const std::vector<std::wstring> METHOD_ARCHIVES = {L"lzma.7z", L"lzma2.7z", L"ppmd.7z",
                                                   L"bcj.7z", L"bcj2.7z", L"nonsolid.7z"};
const std::vector<std::wstring> DIRECTORIES = {L"dir", L"dir/sub", L"dir/emptydir", L"big", L"\u65e5\u672c"};

struct Event {
    int code;
    std::string text;       // the payload as text (not for Progress)
    unsigned progress = 0;  // Progress only
    DWORD reason = 0;       // the thread's last error when the event came
};

std::vector<Event> events;

int recordEvent(int code, const void* payload)
{
    DWORD reason = GetLastError();  // before anything here can change it
    Event event{code, "", 0, reason};
    if (code == InstallEvent::Progress)
        event.progress = *static_cast<const unsigned short*>(payload);
    else
        event.text = static_cast<const char*>(payload);
    events.push_back(event);
    return 0;
}

std::vector<Event> eventsOf(int code)
{
    std::vector<Event> found;
    for (const Event& event : events) {
        if (event.code == code)
            found.push_back(event);
    }
    return found;
}

bool isDirectoryEntry(const std::wstring& path)
{
    for (const std::wstring& dir : DIRECTORIES) {
        if (dir == path)
            return true;
    }
    return false;
}

std::wstring windowsPath(std::wstring path)
{
    for (wchar_t& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    return path;
}

// A scratch install directory holding the archive as upgrade.rtp.
struct Install {
    TempInstallDir dir;
    explicit Install(const std::wstring& archive)
    {
        events.clear();
        if (!archive.empty())
            CopyFileW(testArchive(archive).c_str(), dir.file(L"upgrade.rtp").c_str(), FALSE);
    }
    int run(bool withHandler = true) { return installArchive(ARCHIVE_NAME, withHandler ? recordEvent : nullptr); }
    DWORD attributes(const std::wstring& path) const
    {
        return GetFileAttributesW(dir.file(windowsPath(path)).c_str());
    }
    // The last line of the log that holds text, without its stamp; empty when there is none.
    std::string lastLineWith(const std::string& text) const
    {
        std::string found;
        for (const std::string& line : logTexts()) {
            if (line.find(text) != std::string::npos)
                found = line;
        }
        return found;
    }
    // The log's lines, each with its stamp checked and taken off; unstamped lines stay as they are.
    std::vector<std::string> logTexts() const
    {
        std::vector<std::string> texts;
        std::string log = dir.read(L"upgrade.log");
        size_t start = 0;
        while (start < log.size()) {
            size_t end = log.find("\r\n", start);
            if (end == std::string::npos)
                end = log.size();
            std::string line = log.substr(start, end - start);
            size_t stamp = line.find(" VRT: ");
            texts.push_back(stamp == std::string::npos ? line : line.substr(stamp + 6));
            start = end + 2;
        }
        return texts;
    }
};

std::string utf8Name(const std::wstring& path)
{
    return utf8(path);
}

std::string listingLine(const char* time, const char* letters, unsigned long long size, const std::string& name)
{
    char line[512];
    snprintf(line, sizeof line, "%s %s %10llu  %s", time, letters, size, name.c_str());
    return line;
}

// What a run refused before writing anything reports: no Started, one Failed with the
// unspecified text; returns the log's lines.
std::vector<std::string> refusedUpFront(const Install& install)
{
    EXPECT_TRUE(eventsOf(InstallEvent::Started).empty());
    std::vector<Event> failed = eventsOf(InstallEvent::Failed);
    EXPECT_EQ(failed.size(), 1u);
    if (!failed.empty())
        EXPECT_EQ(failed[0].text, "An unspecified error occured, see upgrade log for details");
    return install.logTexts();
}

}  // namespace

TEST(InstallArchive, UnpacksEveryMethodEntryForEntry)
{
    for (size_t i = 0; i < METHOD_ARCHIVES.size(); ++i) {
        const std::wstring& archive = METHOD_ARCHIVES[i];
        SCOPED_TRACE(utf8(archive));
        Install install(archive);
        // Memory to decode into: none, too small for any block, or larger than every block; never clean.
        size_t offered = i % 3 == 0 ? 0 : i % 3 == 1 ? 16 : 1 << 20;
        if (offered)
            offerDecodingMemory(memset(malloc(offered), 0xCD, offered), offered);
        ASSERT_EQ(install.run(), 0);
        std::vector<ArchiveEntry> entries = archiveListing(archive);
        ASSERT_EQ(entries.size(), 8u);
        for (const ArchiveEntry& entry : entries) {
            DWORD attributes = install.attributes(entry.path);
            if (isDirectoryEntry(entry.path)) {
                EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
                    << utf8(entry.path);
            } else {
                EXPECT_EQ(install.dir.read(windowsPath(entry.path)), treeFile(entry.path)) << utf8(entry.path);
            }
        }
        // Events: Started, then a name and a progress step per entry, in archive order. The
        // name comes again before a block is decoded and before its file is written.
        std::vector<Event> firsts;
        std::string lastName;
        for (const Event& event : events) {
            if (event.code == InstallEvent::EntryName && event.text == lastName)
                continue;
            if (event.code == InstallEvent::EntryName)
                lastName = event.text;
            firsts.push_back(event);
        }
        EXPECT_GE(events.size() - firsts.size(), 2u);
        events = firsts;
        ASSERT_EQ(events.size(), 1 + 2 * entries.size());
        EXPECT_EQ(events[0].code, InstallEvent::Started);
        EXPECT_EQ(events[0].text, "upgrade.rtp");
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(events[1 + 2 * i].code, InstallEvent::EntryName);
            EXPECT_EQ(events[1 + 2 * i].text, utf8Name(entries[i].path));
            EXPECT_EQ(events[2 + 2 * i].code, InstallEvent::Progress);
            EXPECT_EQ(events[2 + 2 * i].progress, static_cast<unsigned>((i + 1) * 32700.0f / 8.0f));
        }
        EXPECT_EQ(events.back().progress, 32700u);
    }
}

TEST(InstallArchive, ListsTheRunInTheUpgradeLog)
{
    Install install(L"lzma2.7z");
    ASSERT_EQ(install.run(false), 0);
    EXPECT_TRUE(events.empty());  // no handler, no events
    std::vector<std::string> texts = install.logTexts();
    std::vector<ArchiveEntry> entries = archiveListing(L"lzma2.7z");
    ASSERT_EQ(texts.size(), 3 + entries.size() + 1);
    EXPECT_EQ(texts[0], std::string(76, '-'));
    EXPECT_EQ(texts[1], "Working directory: " + utf8(install.dir.path()));
    EXPECT_EQ(texts[2], "Archive filename : upgrade.rtp");
    for (size_t i = 0; i < entries.size(); ++i) {
        bool isDir = isDirectoryEntry(entries[i].path);
        // 7zz keeps Unix modes in the high bits; of the Windows bits files carry A, folders D.
        EXPECT_EQ(texts[3 + i], listingLine(MTIME_TEXT, isDir ? "D...." : "....A", entries[i].size,
                                            utf8Name(entries[i].path) + (isDir ? "/" : "")));
    }
    EXPECT_EQ(texts.back(), "Everything is Ok");
    // Every line of the log is stamped.
    std::string log = install.dir.read(L"upgrade.log");
    size_t lines = 0;
    for (size_t at = 0; (at = log.find("\r\n", at)) != std::string::npos; at += 2)
        ++lines;
    size_t stamps = 0;
    for (size_t at = 0; (at = log.find(" VRT: ", at)) != std::string::npos; at += 6)
        ++stamps;
    EXPECT_EQ(stamps, lines);
}

TEST(InstallArchive, AnEmptyArchiveInstallsNothingAndSucceeds)
{
    Install install(L"empty.7z");
    ASSERT_EQ(install.run(), 0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, InstallEvent::Started);
    std::vector<std::string> texts = install.logTexts();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[3], "");  // the lone "\r" of the empty listing
    EXPECT_EQ(texts[4], "Everything is Ok");
}

TEST(InstallArchive, EntriesWithoutAttributesOrTimesStayNormal)
{
    Install install(L"noattr.7z");
    ASSERT_EQ(install.run(), 0);
    std::vector<std::string> texts = install.logTexts();
    std::vector<ArchiveEntry> entries = archiveListing(L"noattr.7z");
    for (size_t i = 0; i < entries.size(); ++i) {
        bool isDir = isDirectoryEntry(entries[i].path);
        EXPECT_EQ(texts[3 + i], listingLine("                   ", isDir ? "D...." : ".....", entries[i].size,
                                            utf8Name(entries[i].path) + (isDir ? "/" : "")));
        if (!isDir) {
            EXPECT_EQ(install.attributes(entries[i].path) &
                          (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
                      0u);
        }
    }
}

TEST(InstallArchive, AppliesStoredAttributesOverProtectedOldFiles)
{
    const DWORD special = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const struct {
        const wchar_t* archive;
        DWORD expected;  // of the special bits
        const char* letters;
    } table[] = {
        {L"readonly.7z", FILE_ATTRIBUTE_READONLY, ".R..A"},  // Unix bits above: the low 15 bits apply
        {L"hidden.7z", FILE_ATTRIBUTE_HIDDEN, "..H.A"},      // plain values apply whole
        {L"system.7z", FILE_ATTRIBUTE_SYSTEM, "...SA"},
        {L"rhs.7z", special, ".RHSA"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(utf8(row.archive));
        Install install(row.archive);
        install.dir.write(L"a.txt", "old content");
        SetFileAttributesW(install.dir.file(L"a.txt").c_str(), special);
        ASSERT_EQ(install.run(), 0);
        SetFileAttributesW(install.dir.file(L"a.txt").c_str(), install.attributes(L"a.txt") & ~FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(install.dir.read(L"a.txt"), treeFile(L"a.txt"));
        SetFileAttributesW(install.dir.file(L"a.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
        std::string listed;
        for (const std::string& text : install.logTexts()) {
            if (text.find("  a.txt") != std::string::npos)
                listed = text;
        }
        EXPECT_EQ(listed, listingLine(MTIME_TEXT, row.letters, 6, "a.txt"));
    }
    for (const auto& row : table) {
        Install install(row.archive);
        ASSERT_EQ(install.run(), 0);
        EXPECT_EQ(install.attributes(L"a.txt") & special, row.expected) << utf8(row.archive);
        SetFileAttributesW(install.dir.file(L"a.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(InstallArchive, ADamagedBlockLeavesTheInstallDirectoryAsItWas)
{
    // The third of four stored entries; the last of six solid blocks, after five were written;
    // the last of 300, after more files took their names than the installer renames at once.
    const struct {
        const wchar_t* archive;
        const char* entry;  // the failing entry's listing, which the failure follows on its line
    } table[] = {{L"crc.7z", "  dir/sub/c.bin"},
                 {L"blocks.7z", "  \xe6\x97\xa5\xe6\x9c\xac/"},
                 {L"many.7z", "  m/f299.txt"}};
    for (const auto& row : table) {
        SCOPED_TRACE(utf8(row.archive));
        Install install(row.archive);
        install.dir.write(L"a.txt", "old");
        SetFileAttributesW(install.dir.file(L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        install.dir.write(L"empty.bin", "old");
        CreateDirectoryW(install.dir.file(L"big").c_str(), nullptr);
        install.dir.write(L"big\\one.bin", "old one");
        std::string before = install.dir.snapshot();
        EXPECT_EQ(install.run(), 3);
        EXPECT_EQ(install.dir.snapshot(), before);
        std::vector<Event> failed = eventsOf(InstallEvent::Failed);
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].text, "A checksum error occurred in the archive");
        std::string line = install.lastLineWith("ERROR: CRC error");
        EXPECT_NE(line.find(row.entry), std::string::npos) << line;
        EXPECT_EQ(install.logTexts().back(), "The install directory is as it was before this installation");
        SetFileAttributesW(install.dir.file(L"a.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(InstallArchive, ReportsArchivesItCannotRead)
{
    const struct {
        const wchar_t* archive;  // empty: no archive file
        int result;
        const char* logged;
        const char* message;     // null: no event at all
    } table[] = {
        {L"notarchive.7z", 17, "Not in 7z format", "Archive does not exist or is not in a desired format"},
        {L"", 1, "ERROR: can not open input file", nullptr},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(utf8(row.archive));
        Install install(row.archive);
        EXPECT_EQ(install.run(), row.result);
        std::string log = install.dir.read(L"upgrade.log");
        EXPECT_NE(log.find(row.logged), std::string::npos) << log;
        if (row.message) {
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].code, InstallEvent::Failed);
            EXPECT_EQ(events[0].text, row.message);
        } else {
            EXPECT_TRUE(events.empty());
        }
    }

    Install truncated(L"truncated.7z");
    int result = truncated.run();
    EXPECT_NE(result, 0);
    std::vector<Event> failed = eventsOf(InstallEvent::Failed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_TRUE(eventsOf(InstallEvent::Started).empty());
    EXPECT_FALSE(truncated.dir.exists(L"a.txt"));

    Install none(L"");
    EXPECT_EQ(installArchive(nullptr, recordEvent), -1);
    EXPECT_FALSE(none.dir.exists(L"upgrade.log"));
    EXPECT_TRUE(events.empty());
}

TEST(InstallArchive, RefusesArchivesWithNamesOutsideTheInstallDirectory)
{
    const struct {
        const wchar_t* archive;
        const char* name;
    } table[] = {
        {L"climb.7z", "../x.txt"},   {L"absolute.7z", "/x.txt"}, {L"backslash.7z", "a\\..\\x.txt"},
        {L"drive.7z", "C:x.txt"},    {L"stream.7z", "x.txt:s"},  {L"device.7z", "sub/CON.txt"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        Install install(row.archive);
        EXPECT_EQ(install.run(), 11);
        EXPECT_FALSE(install.dir.exists(L"good.txt"));  // nothing at all was written
        EXPECT_FALSE(install.dir.exists(L"sub"));
        std::vector<std::string> texts = refusedUpFront(install);
        ASSERT_GE(texts.size(), 5u);
        EXPECT_EQ(texts[3], std::string("ERROR: entry name leaves the install directory: ") + row.name);
        EXPECT_EQ(texts[4], "ERROR #11");
    }
}

TEST(InstallArchive, CutsALongWorkingDirectoryInTheLog)
{
    TempInstallDir dir;
    std::wstring deep = dir.path();
    while (deep.size() < 240)
        deep += L"\\" + std::wstring(std::min<size_t>(40, 250 - deep.size()), L'd');
    deep += L"\\" + std::wstring(259 - deep.size() - 1, L'e');  // 259 characters in all
    std::wstring walk = dir.path();
    for (size_t at = dir.path().size() + 1; at <= deep.size(); ++at) {
        if (at == deep.size() || deep[at] == L'\\')
            CreateDirectoryW(deep.substr(0, at).c_str(), nullptr);
    }
    ASSERT_TRUE(SetCurrentDirectoryW(deep.c_str()));
    events.clear();
    EXPECT_EQ(installArchive("missing.7z", recordEvent), 1);
    FILE* in = _wfopen((deep + L"\\upgrade.log").c_str(), L"rb");
    ASSERT_NE(in, nullptr);
    char buffer[4096] = {};
    fread(buffer, 1, sizeof buffer - 1, in);
    fclose(in);
    std::string log = buffer;
    EXPECT_NE(log.find("Working directory: " + utf8(deep.substr(0, 255)) + "\r\n"), std::string::npos) << log;
    SetCurrentDirectoryW(dir.path().c_str());
}

namespace {

// A stand-in client holding a file open so that it can be neither deleted, moved nor written.
StartedProcess holdFile(const TempInstallDir& dir, const std::wstring& name, DWORD forMs)
{
    std::wstring holder = installProgram(L"fake_client.exe", dir.path(), L"holder.exe");
    StartedProcess process = startPlain(L"\"" + holder + L"\" --hold " + dir.file(name) + L" --stay " +
                                        std::to_wstring(forMs));
    for (int waited = 0; waited < 200 && dir.read(L"holder.exe.holding").empty(); ++waited)
        Sleep(50);
    EXPECT_EQ(dir.read(L"holder.exe.holding"), "held\n");
    return process;
}

}  // namespace

TEST(InstallArchive, WaitsForALockedFileThatComesFree)
{
    Install install(L"lzma2.7z");
    install.dir.write(L"a.txt", "old content");
    StartedProcess holder = holdFile(install.dir, L"a.txt", 4000);
    ASSERT_EQ(install.run(), 0);
    std::vector<Event> locked = eventsOf(InstallEvent::FileLocked);
    ASSERT_GE(locked.size(), 1u);
    EXPECT_LE(locked.size(), 3u);
    EXPECT_EQ(locked[0].text, "a.txt");
    EXPECT_EQ(install.dir.read(L"a.txt"), treeFile(L"a.txt"));  // under its own name
    EXPECT_FALSE(install.dir.exists(L"a.new"));
    holder.wait(10000);
}

TEST(InstallArchive, WritesBesideAFileThatStaysLocked)
{
    // Without a handler nothing is waited for: the file is moved aside or, as here where it
    // cannot move, the entry is written beside it as ".new", and the run goes on.
    Install install(L"lzma2.7z");
    CreateDirectoryW(install.dir.file(L"dir").c_str(), nullptr);
    CreateDirectoryW(install.dir.file(L"dir\\sub").c_str(), nullptr);
    install.dir.write(L"dir\\sub\\c.bin", "old content");
    StartedProcess holder = holdFile(install.dir, L"dir\\sub\\c.bin", 120000);
    ASSERT_EQ(install.run(false), 0);
    EXPECT_EQ(install.dir.read(L"dir\\sub\\c.bin"), "old content");
    EXPECT_EQ(install.dir.read(L"dir\\sub\\c.new"), treeFile(L"dir/sub/c.bin"));
    EXPECT_EQ(install.dir.read(L"big\\two.bin"), treeFile(L"big/two.bin"));  // entries after it too
    // The entry's line says that the file stayed old and where the new one went.
    std::string line = install.lastLineWith("  dir/sub/c.bin");
    EXPECT_EQ(line, listingLine(MTIME_TEXT, "....A", 5000, "dir/sub/c.bin (written as dir\\sub\\c.new)"));
    TerminateProcess(holder.process, 0);
    holder.wait(10000);
}

TEST(InstallArchive, GivesUpWaitingForALockedFileAfterAboutAMinute)
{
    Install install(L"lzma2.7z");
    install.dir.write(L"a.txt", "old content");
    StartedProcess holder = holdFile(install.dir, L"a.txt", 300000);
    DWORD start = GetTickCount();
    ASSERT_EQ(install.run(), 0);
    DWORD took = GetTickCount() - start;
    EXPECT_EQ(eventsOf(InstallEvent::FileLocked).size(), static_cast<size_t>(LOCK_WAIT_PASSES));
    EXPECT_GE(took, 55000u);
    EXPECT_EQ(install.dir.read(L"a.txt"), "old content");
    EXPECT_EQ(install.dir.read(L"a.new"), treeFile(L"a.txt"));
    TerminateProcess(holder.process, 0);
    holder.wait(10000);
}

TEST(InstallArchive, RefusesArchivesItCouldNotInstallWhole)
{
    // Each is refused before anything is written: the first entry is not there afterwards.
    const struct {
        const wchar_t* archive;
        const char* line;           // the log's refusal
        const wchar_t* folder;      // a folder made in the install directory first, holding keep.txt
        const wchar_t* firstEntry;
        const wchar_t* file = nullptr;  // a file made in the install directory first
    } table[] = {
        {L"pipe.7z", "entry name Windows cannot create: b|bad.txt", nullptr, L"a_good.txt"},
        {L"less.7z", "entry name Windows cannot create: b<x.txt", nullptr, L"a_good.txt"},
        {L"greater.7z", "entry name Windows cannot create: b>x.txt", nullptr, L"a_good.txt"},
        {L"quote.7z", "entry name Windows cannot create: b\"x.txt", nullptr, L"a_good.txt"},
        {L"question.7z", "entry name Windows cannot create: b?x.txt", nullptr, L"a_good.txt"},
        {L"star.7z", "entry name Windows cannot create: b*x.txt", nullptr, L"a_good.txt"},
        {L"control.7z", "entry name Windows cannot create: b\x01x.txt", nullptr, L"a_good.txt"},
        {L"emptypart.7z", "entry name Windows cannot create: a//x.txt", nullptr, L"a_good.txt"},
        {L"trailingdot.7z", "entry name Windows cannot create: dot./x.txt", nullptr, L"a_good.txt"},
        {L"trailingblank.7z", "entry name Windows cannot create: x.txt ", nullptr, L"a_good.txt"},
        {L"longpath.7z", "entry path too long for Windows: ", nullptr, L"a_good.txt"},
        // A folder where the archive has a file is no locked file: it is neither waited for
        // nor moved away.
        {L"lzma2.7z", "a folder stands where the archive has a file: big/two.bin", L"big\\two.bin", L"a.txt"},
        {L"lzma2.7z", "a file stands where the archive has a folder: dir", nullptr, L"a.txt", L"dir"},
        {L"backslashpart.7z", "entry name with \"\\\" as separator: b\\x.txt", nullptr, L"a_good.txt"},
        {L"fileandfolder.7z", "entry name used as a file and as a folder: xx/z.txt", nullptr, L"a_good.txt"},
        {L"case.7z", "entry names that differ only in case: ", nullptr, L"a_good.txt"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(utf8(row.archive));
        Install install(row.archive);
        if (row.folder) {
            CreateDirectoryW(install.dir.file(L"big").c_str(), nullptr);
            CreateDirectoryW(install.dir.file(row.folder).c_str(), nullptr);
            install.dir.write(std::wstring(row.folder) + L"\\keep.txt", "the user's file");
        }
        if (row.file)
            install.dir.write(row.file, "the user's file");
        DWORD start = GetTickCount();
        EXPECT_EQ(install.run(), 11);
        EXPECT_LT(GetTickCount() - start, 30000u);  // no wait for a lock (that would be a minute)
        EXPECT_FALSE(install.dir.exists(row.firstEntry));
        EXPECT_TRUE(eventsOf(InstallEvent::FileLocked).empty());
        std::vector<std::string> texts = refusedUpFront(install);
        ASSERT_GE(texts.size(), 5u);
        EXPECT_EQ(texts[3].rfind(std::string("ERROR: ") + row.line, 0), 0u) << texts[3];
        EXPECT_EQ(texts[4], "ERROR #11");
        if (row.folder) {
            EXPECT_EQ(install.dir.read(std::wstring(row.folder) + L"\\keep.txt"), "the user's file");
        }
        if (row.file)
            EXPECT_EQ(install.dir.read(row.file), "the user's file");
    }
}

// Puts a stand-in for the program's own file in the install directory and runs it, so that
// the file can be moved but not deleted; its bytes go to old.
static StartedProcess startOldUpdater(const Install& install, std::string* old)
{
    installProgram(L"fake_client.exe", install.dir.path(), L"updater.exe");
    *old = install.dir.read(L"updater.exe");
    StartedProcess running = startPlain(L"\"" + install.dir.file(L"updater.exe") + L"\" --stay 30000");
    for (int waited = 0; waited < 200 && install.dir.read(L"updater.exe.starts").empty(); ++waited)
        Sleep(50);
    return running;
}

TEST(InstallArchive, MovesAFileThatCannotBeDeletedAsideOnEveryRun)
{
    // A running program's file can be moved but not deleted. A file of another program in the
    // temporary folder, under the name that the entry's place in the archive would give, is
    // left alone.
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    std::wstring foreign = std::wstring(temp) + L"bac1.tmp";
    {
        FILE* out = _wfopen(foreign.c_str(), L"wb");
        ASSERT_NE(out, nullptr);
        fputs("another program's file", out);
        fclose(out);
    }
    Install install(L"selfupdate.7z");
    std::vector<std::wstring> backups;
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        std::string old;
        StartedProcess running = startOldUpdater(install, &old);
        ASSERT_EQ(DeleteFileW(install.dir.file(L"updater.exe").c_str()), FALSE);  // it is in use
        ASSERT_EQ(install.run(false), 0);
        EXPECT_EQ(install.dir.read(L"updater.exe"), SELF_UPDATE_BYTES);
        EXPECT_FALSE(install.dir.exists(L"updater.new"));
        // The entry's line names the old file's new place, a file of its own in the temporary folder.
        std::string line = install.lastLineWith("  updater.exe");
        const std::string note = " (old file moved aside to ";
        size_t at = line.find(note);
        ASSERT_NE(at, std::string::npos) << line;
        ASSERT_EQ(line.back(), ')') << line;
        std::string backup = line.substr(at + note.size(), line.size() - at - note.size() - 1);
        EXPECT_EQ(line.substr(0, at), listingLine(MTIME_TEXT, "....A", sizeof SELF_UPDATE_BYTES - 1, "updater.exe"));
        backups.push_back(std::wstring(backup.begin(), backup.end()));  // the temporary folder's name is plain
        EXPECT_EQ(backups.back().rfind(std::wstring(temp) + L"bac", 0), 0u) << backup;
        EXPECT_EQ(readFileBytes(backups.back()), old);
        TerminateProcess(running.process, 0);
        running.wait(10000);
    }
    EXPECT_NE(backups[0], backups[1]);
    EXPECT_EQ(readFileBytes(foreign), "another program's file");
    for (const std::wstring& backup : backups)
        DeleteFileW(backup.c_str());
    DeleteFileW(foreign.c_str());
}

TEST(InstallArchive, AFailureCarriesOnlyTheFailingOperationsReason)
{
    // Failures the system gave no reason for come with none (0), whatever the log's own file
    // calls left behind.
    const struct {
        const wchar_t* archive;
        int result;
    } table[] = {
        {L"crc.7z", 3}, {L"notarchive.7z", 17}, {L"truncated.7z", 6}, {L"climb.7z", 11}, {L"pipe.7z", 11},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(utf8(row.archive));
        Install install(row.archive);
        EXPECT_EQ(install.run(), row.result);
        std::vector<Event> failed = eventsOf(InstallEvent::Failed);
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].reason, 0u);
    }
    // The journal cannot be made, here because a folder has its name: the system's reason.
    Install install(L"lzma2.7z");
    CreateDirectoryW(install.dir.file(L"upgrade.journal").c_str(), nullptr);
    HANDLE probe = CreateFileW(install.dir.file(L"upgrade.journal").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD expected = GetLastError();
    ASSERT_EQ(probe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(install.run(), 11);
    std::vector<Event> failed = eventsOf(InstallEvent::Failed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].reason, expected);
    EXPECT_FALSE(install.dir.exists(L"a.txt"));
    EXPECT_NE(install.dir.read(L"upgrade.log").find("ERROR: can not create the installation journal"),
              std::string::npos);
}

TEST(InstallArchive, RefusesAnArchiveThatDoesNotFitBesideTheOldFiles)
{
    // The install directory on a small volume with less room than the archive's files take.
    std::unique_ptr<Install> install;
    {
        TempFolderOnSmallVolume small;
        install.reset(new Install(L"lzma2.7z"));
    }
    install->dir.write(L"a.txt", "old");
    ULARGE_INTEGER available;
    ASSERT_TRUE(GetDiskFreeSpaceExW(install->dir.path().c_str(), &available, nullptr, nullptr));
    ASSERT_GT(available.QuadPart, 300000u);
    install->dir.write(L"filler", std::string(available.QuadPart - 300000, 'f'));
    std::string before = install->dir.snapshot();
    EXPECT_EQ(install->run(), 11);
    EXPECT_EQ(install->dir.snapshot(), before);
    std::vector<std::string> texts = refusedUpFront(*install);
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[3].rfind("ERROR: not enough free space in the install directory: ", 0), 0u) << texts[3];
    EXPECT_EQ(eventsOf(InstallEvent::Failed)[0].reason, static_cast<DWORD>(ERROR_DISK_FULL));
}

TEST(InstallArchive, KeepsAFileThatCannotBeDeletedBesideItWhenTheTemporaryFolderIsElsewhere)
{
    Install install(L"selfupdate.7z");
    TempFolderOnSmallVolume elsewhere;
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        std::string old;
        StartedProcess running = startOldUpdater(install, &old);
        ASSERT_EQ(install.run(false), 0);
        EXPECT_EQ(install.dir.read(L"updater.exe"), SELF_UPDATE_BYTES);
        EXPECT_FALSE(install.dir.exists(L"updater.new"));
        std::string line = install.lastLineWith("  updater.exe (old file moved aside to ~u");
        ASSERT_EQ(line.back(), ')') << line;
        std::string aside = line.substr(line.find("~u"), line.size() - line.find("~u") - 1);
        EXPECT_EQ(install.dir.read(std::wstring(aside.begin(), aside.end())), old);
        TerminateProcess(running.process, 0);
        running.wait(10000);
        install.dir.write(L"upgrade.log", "");
    }
}

TEST(InstallJournal, AStartPutsBackWhatARunLeftAndLeavesAJournalItCannotRead)
{
    const std::string kept = "updater installation journal\nkept aside\ta.txt\t~u00002.old\ncreated file\tb.txt\n";
    const struct {
        std::string journal;
        const char* a;  // a.txt afterwards
        bool asideStays, bStays, journalStays;
        const char* logged;
    } table[] = {
        // A last line cut short stands for a change that was never made.
        {kept + "kept aside\tc.txt", "old", false, false, false, "Put the install directory back as it was before"},
        {kept + "done\n", "new", false, true, false, "Deleted the old files that the last installation kept"},
        {"updater installation journal\nkept aside\ta.txt\n", "new", true, true, true, "cannot be read whole"},
        {"updater installation jour", "new", true, true, false, "Put the install directory back as it was before"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.logged);
        TempInstallDir dir;
        dir.write(L"a.txt", "new");
        dir.write(L"~u00002.old", "old");
        dir.write(L"b.txt", "new b");
        dir.write(L"upgrade.journal", row.journal);
        recoverInterruptedInstall();
        EXPECT_EQ(dir.read(L"a.txt"), row.a);
        EXPECT_EQ(dir.exists(L"~u00002.old"), row.asideStays);
        EXPECT_EQ(dir.exists(L"b.txt"), row.bStays);
        EXPECT_EQ(dir.read(L"upgrade.journal"), row.journalStays ? row.journal : "");
        EXPECT_NE(dir.read(L"upgrade.log").find(row.logged), std::string::npos) << dir.read(L"upgrade.log");
    }
}
